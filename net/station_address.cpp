// The members that deal in the station's addresses: Arp and SetStationIp.
#include "net.h"

EFI_STATUS EFIAPI Arp(OrvaleProtocol *This, EFI_IP_ADDRESS *IpAddr, EFI_MAC_ADDRESS *MacAddr) {
  MemberEntry Entry(This);
  if (!Entry.Ok()) return Entry.Status();
  ProtocolInstance *Instance = Entry.Instance();
  if (IpAddr == nullptr) return EFI_INVALID_PARAMETER;
  // With no MacAddr the answer still fills the cache.
  EFI_MAC_ADDRESS Scratch;
  EFI_MAC_ADDRESS *Hardware = MacAddr != nullptr ? MacAddr : &Scratch;
  ZeroBytes(Hardware->Addr, MinOf<UINTN>(Instance->Binding->SnpMode.HwAddressSize, sizeof(Hardware->Addr)));
  if (LookupArpCache(Instance, IpAddr, Hardware)) return EFI_SUCCESS;
  return ResolveArp(Instance, IpAddr, Hardware);
}

// No validation: the caller's values are taken as they are.
EFI_STATUS EFIAPI SetStationIp(OrvaleProtocol *This, EFI_IP_ADDRESS *NewStationIp, EFI_IP_ADDRESS *NewSubnetMask) {
  MemberEntry Entry(This);
  if (!Entry.Ok()) return Entry.Status();
  ProtocolInstance *Instance = Entry.Instance();
  if (NewStationIp != nullptr) {
    Instance->Mode.StationIp = *NewStationIp;
    Instance->Packets.StationIpSet = TRUE;
  }
  if (NewSubnetMask != nullptr) Instance->Mode.SubnetMask = *NewSubnetMask;
  return EFI_SUCCESS;
}
