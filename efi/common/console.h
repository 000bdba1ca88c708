// Console lines of our UEFI applications; lines stay under 80 columns so
// that the firmware's terminal never wraps them. In the real-firmware suite
// each check prints exactly one line "ORVALE-CHECK <name> PASS|FAIL <detail>"
// that tools/run-ovmf-suite.sh turns into a test result.
#ifndef ORVALE_EFI_COMMON_CONSOLE_H
#define ORVALE_EFI_COMMON_CONSOLE_H

#include "include/efi/efi_system.h"

void ConsoleInit(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *Out);

class Line {
 public:
  Line &Text(const char *Ascii);
  Line &Text(const CHAR16 *Wide, UINTN MaxUnits);
  Line &Dec(UINT64 Value);
  Line &Hex(UINT64 Value);
  // The status by its UEFI name without the EFI_ prefix, or in hex when unnamed.
  Line &Status(EFI_STATUS Value);
  // The status by its full UEFI name (EFI_TIMEOUT), or in hex when unnamed.
  Line &EfiStatus(EFI_STATUS Value);
  Line &Ipv4(const UINT8 *Address);
  Line &Mac(const UINT8 *Address);
  // Writes the line with CR LF.
  void Emit();

 private:
  void Put(CHAR16 Unit);
  static constexpr UINTN kCapacity = 79;
  CHAR16 units_[kCapacity + 3] = {};
  UINTN length_ = 0;
};

// Starts a check line; the caller appends the detail and emits it.
Line Check(const char *Name, bool Pass);

// Check lines started so far, and how many of them failed.
UINTN ChecksRun();
UINTN FailedChecks();

#endif
