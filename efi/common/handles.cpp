#include "handles.h"

namespace {

EFI_GUID kPciIoGuid = EFI_PCI_IO_PROTOCOL_GUID;
EFI_GUID kSnpGuid = EFI_SIMPLE_NETWORK_PROTOCOL_GUID;

}  // namespace

HandleBuffer::HandleBuffer(EFI_BOOT_SERVICES *BootServices, EFI_GUID *Protocol) : Bs(BootServices) {
  if (EFI_ERROR(Bs->LocateHandleBuffer(ByProtocol, Protocol, nullptr, &Count, &Handles))) {
    Handles = nullptr;
    Count = 0;
  }
}

HandleBuffer::~HandleBuffer() {
  if (Handles != nullptr) Bs->FreePool(Handles);
}

UINTN ConnectNetworkControllers(EFI_BOOT_SERVICES *Bs, EFI_GUID *Wanted, void (*AfterConnect)(),
                                EFI_STATUS *LastStatus) {
  UINTN nics = 0;
  EFI_STATUS status = EFI_NOT_FOUND;
  {
    HandleBuffer pci(Bs, &kPciIoGuid);
    for (UINTN i = 0; i < pci.Count; ++i) {
      EFI_PCI_IO_PROTOCOL *io = nullptr;
      if (EFI_ERROR(Bs->HandleProtocol(pci.Handles[i], &kPciIoGuid, reinterpret_cast<VOID **>(&io))) ||
          io == nullptr) {
        continue;
      }
      UINT32 classCode = 0;
      if (EFI_ERROR(io->Pci.Read(io, EfiPciIoWidthUint32, PCI_CLASS_CODE_OFFSET, 1, &classCode))) continue;
      if ((classCode >> 24) != PCI_CLASS_NETWORK) continue;
      ++nics;
      status = Bs->ConnectController(pci.Handles[i], nullptr, nullptr, TRUE);
      if (AfterConnect != nullptr) AfterConnect();
    }
  }
  if (LastStatus != nullptr) *LastStatus = status;
  if (CountHandles(Bs, Wanted) != 0) return nics;
  HandleBuffer snp(Bs, &kSnpGuid);
  for (UINTN i = 0; i < snp.Count; ++i) {
    Bs->ConnectController(snp.Handles[i], nullptr, nullptr, FALSE);
    if (AfterConnect != nullptr) AfterConnect();
  }
  return nics;
}
