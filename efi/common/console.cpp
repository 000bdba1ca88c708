#include "console.h"

namespace {

EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *gOut = nullptr;
UINTN gChecksRun = 0;
UINTN gFailedChecks = 0;

const char *StatusName(EFI_STATUS Value) {
  switch (Value) {
    case EFI_SUCCESS: return "SUCCESS";
    case EFI_LOAD_ERROR: return "LOAD_ERROR";
    case EFI_INVALID_PARAMETER: return "INVALID_PARAMETER";
    case EFI_UNSUPPORTED: return "UNSUPPORTED";
    case EFI_BAD_BUFFER_SIZE: return "BAD_BUFFER_SIZE";
    case EFI_BUFFER_TOO_SMALL: return "BUFFER_TOO_SMALL";
    case EFI_NOT_READY: return "NOT_READY";
    case EFI_DEVICE_ERROR: return "DEVICE_ERROR";
    case EFI_OUT_OF_RESOURCES: return "OUT_OF_RESOURCES";
    case EFI_NO_MEDIA: return "NO_MEDIA";
    case EFI_NOT_FOUND: return "NOT_FOUND";
    case EFI_ACCESS_DENIED: return "ACCESS_DENIED";
    case EFI_NO_RESPONSE: return "NO_RESPONSE";
    case EFI_NO_MAPPING: return "NO_MAPPING";
    case EFI_TIMEOUT: return "TIMEOUT";
    case EFI_NOT_STARTED: return "NOT_STARTED";
    case EFI_ALREADY_STARTED: return "ALREADY_STARTED";
    case EFI_ABORTED: return "ABORTED";
    case EFI_ICMP_ERROR: return "ICMP_ERROR";
    case EFI_TFTP_ERROR: return "TFTP_ERROR";
    case EFI_PROTOCOL_ERROR: return "PROTOCOL_ERROR";
    case EFI_SECURITY_VIOLATION: return "SECURITY_VIOLATION";
    case EFI_END_OF_FILE: return "END_OF_FILE";
    default: return nullptr;
  }
}

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

void ConsoleInit(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *Out) { gOut = Out; }

// Text beyond the capacity is dropped: a cut detail is better than a wrapped line.
void Line::Put(CHAR16 Unit) {
  if (length_ < kCapacity) units_[length_++] = Unit;
}

Line &Line::Text(const char *Ascii) {
  for (; *Ascii != '\0'; ++Ascii) Put(static_cast<CHAR16>(static_cast<UINT8>(*Ascii)));
  return *this;
}

Line &Line::Text(const CHAR16 *Wide, UINTN MaxUnits) {
  for (UINTN i = 0; i < MaxUnits && Wide[i] != 0; ++i) {
    // Only printable ASCII, so a wrong name cannot inject control sequences.
    Put(Wide[i] >= 0x20 && Wide[i] < 0x7F ? Wide[i] : u'?');
  }
  return *this;
}

Line &Line::Dec(UINT64 Value) {
  char digits[20];
  UINTN count = 0;
  do {
    digits[count++] = static_cast<char>('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  while (count != 0) Put(static_cast<CHAR16>(digits[--count]));
  return *this;
}

Line &Line::Hex(UINT64 Value) {
  Text("0x");
  int shift = 60;
  while (shift > 0 && ((Value >> shift) & 0xF) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) Put(static_cast<CHAR16>(kHexDigits[(Value >> shift) & 0xF]));
  return *this;
}

Line &Line::Status(EFI_STATUS Value) {
  const char *name = StatusName(Value);
  return name != nullptr ? Text(name) : Hex(Value);
}

Line &Line::EfiStatus(EFI_STATUS Value) {
  const char *name = StatusName(Value);
  return name != nullptr ? Text("EFI_").Text(name) : Hex(Value);
}

Line &Line::Ipv4(const UINT8 *Address) {
  for (UINTN i = 0; i < 4; ++i) {
    if (i != 0) Put(u'.');
    Dec(Address[i]);
  }
  return *this;
}

Line &Line::Mac(const UINT8 *Address) {
  for (UINTN i = 0; i < 6; ++i) {
    if (i != 0) Put(u':');
    Put(static_cast<CHAR16>(kHexDigits[Address[i] >> 4]));
    Put(static_cast<CHAR16>(kHexDigits[Address[i] & 0xF]));
  }
  return *this;
}

void Line::Emit() {
  units_[length_] = u'\r';
  units_[length_ + 1] = u'\n';
  units_[length_ + 2] = 0;
  if (gOut != nullptr) gOut->OutputString(gOut, units_);
  length_ = 0;
}

Line Check(const char *Name, bool Pass) {
  ++gChecksRun;
  if (!Pass) ++gFailedChecks;
  Line line;
  line.Text("ORVALE-CHECK ").Text(Name).Text(Pass ? " PASS" : " FAIL");
  return line;
}

UINTN ChecksRun() { return gChecksRun; }
UINTN FailedChecks() { return gFailedChecks; }
