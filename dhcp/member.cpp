// The Dhcp member: the WIRL boot when BootMode is 16. The PXE branch is not
// built yet and reports EFI_UNSUPPORTED.
#include "../net/net.h"
#include "../wirl/wirl.h"
#include "exchange.h"

EFI_STATUS EFIAPI Dhcp(OrvaleProtocol *This, BOOLEAN) {
  if (This == nullptr) return EFI_INVALID_PARAMETER;
  ProtocolInstance *Instance = InstanceFromThis(This);
  MemberLock Lock(Instance);
  if (!Lock.Held()) return Lock.Status();
  if (This->State == nullptr || !This->State->Started) return EFI_NOT_STARTED;
  // After the call the station address is the only one admitted.
  const EFI_PXE_BASE_CODE_IP_FILTER Filter = StationOnlyFilter();
  ExchangeBuffers Buffers(Instance);
  if (!Buffers.Held()) return EFI_OUT_OF_RESOURCES;
  if (Instance->Packets.BootMode != ORVALE_BOOT_MODE_WIRL) return EFI_UNSUPPORTED;
  return WirlBoot(Instance, &Filter);
}
