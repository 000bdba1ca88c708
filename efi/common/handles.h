// Handles by protocol, and bringing up the network controllers: shared by
// our UEFI applications.
#ifndef ORVALE_EFI_COMMON_HANDLES_H
#define ORVALE_EFI_COMMON_HANDLES_H

#include "include/efi/efi_app.h"
#include "include/efi/efi_protocols.h"

// Every handle carrying a protocol, freed with the object; none on failure.
struct HandleBuffer {
  EFI_BOOT_SERVICES *Bs;
  EFI_HANDLE *Handles = nullptr;
  UINTN Count = 0;
  HandleBuffer(EFI_BOOT_SERVICES *BootServices, EFI_GUID *Protocol);
  ~HandleBuffer();
  HandleBuffer(const HandleBuffer &) = delete;
  HandleBuffer &operator=(const HandleBuffer &) = delete;
};

inline UINTN CountHandles(EFI_BOOT_SERVICES *Bs, EFI_GUID *Protocol) { return HandleBuffer(Bs, Protocol).Count; }

// Connects every network PCI function recursively: its driver makes the SNP
// handle, the firmware's MNP driver the MNP service binding, and a loaded
// network driver binds on top. Should no handle carry Wanted afterwards,
// every SNP handle is connected once more, so that a driver loaded after MNP
// came up gets its turn. AfterConnect (may be null) runs after each
// ConnectController; *LastStatus (may be null) is the last PCI connect's
// result, EFI_NOT_FOUND with no NIC. Returns the number of NICs.
UINTN ConnectNetworkControllers(EFI_BOOT_SERVICES *Bs, EFI_GUID *Wanted, void (*AfterConnect)(),
                                EFI_STATUS *LastStatus);

#endif
