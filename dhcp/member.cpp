// The Dhcp member: the WIRL boot when BootMode is 16, PXE DHCP with proxy
// offers otherwise.
#include "../net/net.h"
#include "../pxe/pxe.h"
#include "../wirl/wirl.h"
#include "exchange.h"

namespace {

EFI_STATUS PxeBranch(ProtocolInstance *Instance, BOOLEAN SortOffers, const EFI_PXE_BASE_CODE_IP_FILTER *Filter) {
  if (Instance->PxeIdentityState == kPxeIdentityUnbuilt) BuildPxeOptionTemplate(Instance);
  const EFI_STATUS Result = PxeDhcp(Instance, SortOffers);
  if (Result == EFI_SUCCESS) {
    PacketRecord &Packets = Instance->Packets;
    Packets.DhcpDiscoverValid = TRUE;
    Packets.DhcpAckReceived = TRUE;
    CopyBytes(&Packets.DhcpAck, &Packets.ParsedPackets[kParsedAck].packet, sizeof(DhcpPacket));
    if (Packets.ProxyOfferReceived) {
      CopyBytes(&Packets.ProxyOffer, &Packets.ParsedPackets[kParsedProxyOffer].packet, sizeof(DhcpPacket));
    }
  }
  (void)ApplyIpFilter(Instance, Filter);
  return Result;
}

}  // namespace

EFI_STATUS EFIAPI Dhcp(OrvaleProtocol *This, BOOLEAN SortOffers) {
  MemberEntry Entry(This);
  if (!Entry.Ok()) return Entry.Status();
  ProtocolInstance *Instance = Entry.Instance();
  // After the call the station address is the only one admitted.
  const EFI_PXE_BASE_CODE_IP_FILTER Filter = StationOnlyFilter();
  ExchangeBuffers Buffers(Instance);
  if (!Buffers.Held()) return EFI_OUT_OF_RESOURCES;
  if (Instance->Packets.BootMode == ORVALE_BOOT_MODE_WIRL) return WirlBoot(Instance, &Filter);
  return PxeBranch(Instance, SortOffers, &Filter);
}
