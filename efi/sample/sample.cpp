// The sample boot image: a small UEFI application that the boot server hands
// out, so that a successful network boot is visible. It greets, names the
// address the machine was booted with (the StationIp the Orvale driver
// publishes on its started children) and returns to its caller.
#include "../common/console.h"
#include "include/efi/efi_app.h"
#include "include/orvale/orvale_protocol.h"

namespace {

EFI_GUID kOrvaleProtocolGuid = ORVALE_PROTOCOL_GUID;
EFI_GUID kLoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;

bool HasAddress(const OrvaleProtocol *P) {
  if (P == nullptr || P->Mode == nullptr || P->State == nullptr || !P->State->Started) return false;
  const UINT8 *ip = P->Mode->StationIp.v4.Addr;
  return (ip[0] | ip[1] | ip[2] | ip[3]) != 0;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI OrvaleSampleEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  EFI_BOOT_SERVICES *bs = SystemTable->BootServices;
  ConsoleInit(SystemTable->ConOut);

  EFI_LOADED_IMAGE_PROTOCOL *self = nullptr;
  bs->HandleProtocol(ImageHandle, &kLoadedImageGuid, reinterpret_cast<VOID **>(&self));
  Line greeting;
  greeting.Text("ORVALE-SAMPLE Hello from the network boot image");
  if (self != nullptr) greeting.Text(" (").Dec(self->ImageSize).Text(" bytes)");
  greeting.Emit();

  EFI_HANDLE *handles = nullptr;
  UINTN count = 0;
  if (EFI_ERROR(bs->LocateHandleBuffer(ByProtocol, &kOrvaleProtocolGuid, nullptr, &count, &handles))) count = 0;
  UINTN shown = 0;
  for (UINTN i = 0; i < count; ++i) {
    OrvaleProtocol *p = nullptr;
    if (EFI_ERROR(bs->HandleProtocol(handles[i], &kOrvaleProtocolGuid, reinterpret_cast<VOID **>(&p)))) continue;
    if (!HasAddress(p)) continue;
    Line()
        .Text("ORVALE-SAMPLE booted with address ")
        .Ipv4(p->Mode->StationIp.v4.Addr)
        .Text("/")
        .Ipv4(p->Mode->SubnetMask.v4.Addr)
        .Emit();
    ++shown;
  }
  if (handles != nullptr) bs->FreePool(handles);
  if (shown == 0) {
    Line().Text("ORVALE-SAMPLE no address: ").Dec(count).Text(" Orvale instance(s), none with an address").Emit();
  }
  return EFI_SUCCESS;
}
