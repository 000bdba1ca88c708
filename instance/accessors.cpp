// The accessor and configuration members (BisVerify, GetDhcpAck,
// GetWirlReply, FindOption, GetBootFile, SetPackets).
#include "../dhcp/codec.h"
#include "../dhcp/exchange.h"
#include "instance.h"

namespace {

// The packet copies take no lock and work in any state.
EFI_STATUS CopyPacketOut(const DhcpPacket *Packet, UINTN *BufferSize, VOID *Buffer) {
  if (*BufferSize < sizeof(DhcpPacket)) {
    *BufferSize = sizeof(DhcpPacket);
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Buffer == nullptr) return EFI_INVALID_PARAMETER;
  CopyBytes(Buffer, Packet, sizeof(DhcpPacket));
  *BufferSize = sizeof(DhcpPacket);
  return EFI_SUCCESS;
}
}  // namespace

EFI_STATUS EFIAPI BisVerify(OrvaleProtocol *This, VOID *DataObject, UINT32 DataObjectLength, VOID *Credentials,
                            UINT32 CredentialsLength, BOOLEAN *IsVerified) {
  MemberEntry Entry(This);
  if (!Entry.Ok()) return Entry.Status();
  if (DataObject == nullptr || DataObjectLength == 0 || Credentials == nullptr || CredentialsLength == 0 ||
      IsVerified == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  BIS_APPLICATION_HANDLE Application = nullptr;
  EFI_BIS_PROTOCOL *Bis = ProbeBis(&Application, nullptr);
  if (Bis == nullptr) return EFI_INVALID_PARAMETER;
  EFI_BIS_DATA CredentialData = {CredentialsLength, static_cast<UINT8 *>(Credentials)};
  EFI_BIS_DATA ObjectData = {DataObjectLength, static_cast<UINT8 *>(DataObject)};
  const EFI_STATUS Status = Bis->VerifyBootObject(Application, &CredentialData, &ObjectData, IsVerified);
  Bis->Shutdown(Application);
  return Status;
}

EFI_STATUS EFIAPI GetDhcpAck(OrvaleProtocol *This, UINTN *BufferSize, VOID *Buffer) {
  if (This == nullptr || BufferSize == nullptr || This->Packets == nullptr) return EFI_INVALID_PARAMETER;
  if (!This->Packets->DhcpAckReceived) return EFI_NOT_READY;
  return CopyPacketOut(&This->Packets->DhcpAck, BufferSize, Buffer);
}

EFI_STATUS EFIAPI GetWirlReply(OrvaleProtocol *This, UINTN *BufferSize, VOID *Buffer) {
  if (This == nullptr || BufferSize == nullptr || This->Packets == nullptr) return EFI_INVALID_PARAMETER;
  if (This->Packets->BootMode != ORVALE_BOOT_MODE_WIRL || !This->Packets->PxeReplyReceived) return EFI_NOT_READY;
  return CopyPacketOut(&This->Packets->PxeReply, BufferSize, Buffer);
}

// The result reaches the caller through FindOptionResult; a null index is
// refused rather than followed.
EFI_STATUS EFIAPI FindOption(OrvaleProtocol *This, OptionIndex *Index, UINT8 Code, UINT32 *LengthOut,
                             INT32 *Position) {
  MemberEntry Entry(This);
  if (!Entry.Ok()) return Entry.Status();
  ProtocolInstance *Instance = Entry.Instance();
  Instance->Packets.FindOptionResult = nullptr;
  if (Index == nullptr) return EFI_INVALID_PARAMETER;
  Instance->Packets.FindOptionResult = OptionIndexFind(Index, Code, LengthOut, Position);
  return EFI_SUCCESS;
}

// The result reaches the caller through GetBootFileResult.
EFI_STATUS EFIAPI GetBootFile(OrvaleProtocol *This, PacketSlot *Slot, UINT32 *LengthOut) {
  MemberEntry Entry(This);
  if (!Entry.Ok()) return Entry.Status();
  ProtocolInstance *Instance = Entry.Instance();
  Instance->Packets.GetBootFileResult = nullptr;
  if (Slot == nullptr) return EFI_INVALID_PARAMETER;
  Instance->Packets.GetBootFileResult = GetBootFileName(Slot, LengthOut);
  return EFI_SUCCESS;
}

// The six flag pointers are accepted and not read; no flag changes. The
// ParsedPackets entries are indexed by the DHCP parser only.
EFI_STATUS EFIAPI SetPackets(OrvaleProtocol *This, BOOLEAN *, BOOLEAN *, BOOLEAN *, BOOLEAN *, BOOLEAN *, BOOLEAN *,
                             DhcpPacket *NewDhcpDiscover, DhcpPacket *NewDhcpAck, DhcpPacket *NewProxyOffer,
                             DhcpPacket *NewPxeDiscover, DhcpPacket *NewPxeReply, DhcpPacket *NewPxeBisReply) {
  MemberEntry Entry(This);
  if (!Entry.Ok()) return Entry.Status();
  ProtocolInstance *Instance = Entry.Instance();

  PacketRecord &Packets = Instance->Packets;
  if (Packets.ParsedPackets == nullptr) {
    Packets.ParsedPackets = static_cast<PacketSlot *>(AllocZeroed(kParsedPacketCount * sizeof(PacketSlot)));
    if (Packets.ParsedPackets == nullptr) return EFI_OUT_OF_RESOURCES;
  }
  Packets.ReservedPointer = nullptr;

  constexpr UINT64 kLength = sizeof(DhcpPacket);
  if (NewDhcpDiscover != nullptr) CopyBytes(&Packets.DhcpDiscover, NewDhcpDiscover, sizeof(DhcpPacket));
  if (NewDhcpAck != nullptr) SavePacket(Instance, &Packets.DhcpAck, NewDhcpAck, kLength, kParsedAck);
  if (NewProxyOffer != nullptr) SavePacket(Instance, &Packets.ProxyOffer, NewProxyOffer, kLength, kParsedProxyOffer);
  if (NewPxeDiscover != nullptr) CopyBytes(&Packets.PxeDiscover, NewPxeDiscover, sizeof(DhcpPacket));
  if (NewPxeReply != nullptr) SavePacket(Instance, &Packets.PxeReply, NewPxeReply, kLength, kParsedReply);
  if (NewPxeBisReply != nullptr) {
    SavePacket(Instance, &Packets.PxeBisReply, NewPxeBisReply, kLength, kParsedBisReply);
  }
  return EFI_SUCCESS;
}

