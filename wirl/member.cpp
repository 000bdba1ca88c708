// The Wirl member: a step-by-step collector of the boot servers' image lists.
// Each call does one step (discovery, a LIST, or one gather window) and the
// caller paces the cycle; ImageList grows by one record per answering server.
#include "../dhcp/bootp_wire.h"
#include "../dhcp/codec.h"
#include "../dhcp/exchange.h"
#include "../net/net.h"
#include "wirl.h"

namespace {

constexpr UINT16 kClientPort = kDhcpClientPort;
constexpr UINT32 kRecordHeader = 10;            // server (4), port (2), length (4)
constexpr UINT64 kGatherTickPerUnit = 100'000;  // RetryTimeout x 10 ms
constexpr UINT8 kGatherWindowCap = 8;
constexpr UINT32 kFirstImageListRoom = 512;

UINT16 ListPort(const ProtocolInstance *Instance) {
  return Instance->State.AlternatePortMode == 1 ? kWirlAlternatePort : kDhcpServerPort;
}

// Grows Block (Length bytes used) to NewLength bytes; null when memory runs out
// (Block is then untouched).
UINT8 *GrowBlock(UINT8 *Block, UINTN Length, UINTN NewLength) {
  UINT8 *Grown = static_cast<UINT8 *>(AllocZeroed(NewLength));
  if (Grown == nullptr) return nullptr;
  if (Block != nullptr) CopyBytes(Grown, Block, Length);
  return Grown;
}

}  // namespace

UINT8 *CollectBootImageList(const OptionIndex *VendorOptions, UINT32 *LengthOut) {
  UINT8 *List = nullptr;
  UINT32 Total = 0;
  INT32 Position = 0;
  UINT32 Length = 0;
  bool Found = false;
  while (const UINT8 *Value = OptionIndexFind(VendorOptions, kWirlImageList, &Length, &Position)) {
    Found = true;
    if (Length == 0) continue;
    UINT8 *Grown = GrowBlock(List, Total, static_cast<UINTN>(Total) + Length);
    if (Grown == nullptr) {
      FreeAndNull(List);
      return nullptr;
    }
    CopyBytes(Grown + Total, Value, Length);
    FreeAndNull(List);
    List = Grown;
    Total += Length;
  }
  if (!Found || List == nullptr) return nullptr;
  if (LengthOut != nullptr) *LengthOut = Total;
  return List;
}

BOOLEAN RecordListReply(ProtocolInstance *Instance, PacketSlot *Slot) {
  if (!(Slot->slotFlags & ORVALE_SLOT_FLAG_WIRL)) return FALSE;
  UINT32 Length = 0;
  const UINT8 *Server = OptionIndexFind(&Slot->options, kOptServerId, &Length, nullptr);
  if (Server == nullptr || Length < 4) return FALSE;
  const UINT8 *Type = OptionIndexFind(&Slot->vendorOptions, kWirlMessageType, &Length, nullptr);
  if (Type == nullptr || Length < 1 || *Type != kWirlList) return FALSE;

  UINT32 ListLength = 0;
  UINT8 *List = CollectBootImageList(&Slot->vendorOptions, &ListLength);
  if (List == nullptr) return TRUE;
  PacketRecord &Packets = Instance->Packets;
  const UINT32 Used = Packets.ImageList != nullptr ? Packets.ImageListLength : 0;
  // The record must fit the 32-bit length the caller reads.
  if (ListLength > 0xFFFFFFFFu - kRecordHeader || Used > 0xFFFFFFFFu - kRecordHeader - ListLength) {
    FreeAndNull(List);
    return TRUE;
  }
  const UINT32 NewLength = Used + kRecordHeader + ListLength;
  // Room grows geometrically, so a burst of replies costs a few copies of the
  // list rather than one per reply; ImageListLength stays exact.
  UINT8 *Grown = Packets.ImageList;
  const bool Ours = Grown != nullptr && Grown == Instance->ImageListBlock;
  if (!Ours || NewLength > Instance->ImageListCapacity) {
    UINT32 Capacity = MaxOf<UINT32>(kFirstImageListRoom, Ours ? Instance->ImageListCapacity : Used);
    while (Capacity < NewLength) Capacity = Capacity > 0x7FFFFFFFu ? NewLength : Capacity * 2;
    Grown = GrowBlock(Packets.ImageList, Used, Capacity);
    if (Grown == nullptr) {
      FreeAndNull(List);
      return TRUE;
    }
    FreeAndNull(Packets.ImageList);
    Instance->ImageListBlock = Grown;
    Instance->ImageListCapacity = Capacity;
  }
  UINT8 *Record = Grown + Used;
  CopyBytes(Record, Server, 4);
  const UINT16 Port = ListPort(Instance);
  CopyBytes(Record + 4, &Port, 2);
  CopyBytes(Record + 6, &ListLength, 4);
  CopyBytes(Record + kRecordHeader, List, ListLength);
  Packets.ImageList = Grown;
  Packets.ImageListLength = NewLength;
  FreeAndNull(List);
  return TRUE;
}

EFI_STATUS WirlCollectReplies(ProtocolInstance *Instance) {
  TimerEvent Timer;
  EFI_STATUS Status = Timer.Arm(static_cast<UINT64>(Instance->RetryTimeout) * kGatherTickPerUnit);
  if (EFI_ERROR(Status)) return Status;
  Instance->RetryTimeout = 2;
  // The room held past the list is trusted only within this call: between
  // calls the caller may have freed or replaced the block.
  Instance->ImageListBlock = nullptr;
  UINT16 FromPort = ListPort(Instance);
  UINT16 ToPort = kClientPort;
  while (ReceiveDhcpReply(Instance, RecordListReply, kUdpAnySrcIp | kUdpAnySrcPort, nullptr, &FromPort,
                          Instance->Mode.StationIp.v4.Addr, &ToPort, &Instance->ReplySlots[kSlotReceive],
                          Timer.Get()) == EFI_SUCCESS) {
    FromPort = ListPort(Instance);
    ToPort = kClientPort;
  }
  if (Instance->RetryTimeout < kGatherWindowCap) {
    Instance->RetryTimeout = static_cast<UINT8>(Instance->RetryTimeout * 2);
  }
  return EFI_SUCCESS;
}

EFI_STATUS WirlListStep(ProtocolInstance *Instance) {
  PacketRecord &Packets = Instance->Packets;
  EFI_STATUS Status = EFI_NO_RESPONSE;
  if (Packets.WirlSendListPending == 1) {
    UINT8 Destination[4];
    WirlDestination(Instance, Destination);
    StartListInform(Instance, false);
    BootpOf(Instance->DhcpTxPacket)->secs.set(Instance->SecsCounter);
    const UINT16 Port = ListPort(Instance);
    Status = SendDhcpMessage(Instance, Destination, &Port, Instance->Mode.StationIp.v4.Addr, &kClientPort);
    if (!EFI_ERROR(Status)) {
      Packets.WirlSendListPending = 0;
      Packets.WirlCollectPending = 1;
      return EFI_SUCCESS;
    }
  }
  if (Packets.WirlCollectPending == 1) {
    const EFI_STATUS Collected = WirlCollectReplies(Instance);
    if (EFI_ERROR(Collected)) return Collected;
    Instance->State.AlternatePortMode = Instance->State.AlternatePortMode == 1 ? 0 : 1;
    Packets.WirlCollectPending = 0;
    Packets.WirlSendListPending = 1;
    return EFI_SUCCESS;
  }
  return Status;
}

EFI_STATUS WirlPoll(ProtocolInstance *Instance, const EFI_PXE_BASE_CODE_IP_FILTER *Filter) {
  PacketRecord &Packets = Instance->Packets;
  if (Packets.WirlNeedDiscovery == 1) {
    Packets.DhcpDiscoverValid = FALSE;
    Packets.DhcpAckReceived = FALSE;
    Packets.ProxyOfferReceived = FALSE;
    Instance->HeldSlots = 0;
    Packets.ReservedWord = 0;
    const EFI_STATUS Result = ObtainWirlAddress(Instance, true);
    if (Result == EFI_NO_MEDIA) return Result;
    if (!EFI_ERROR(Result)) {
      Packets.WirlNeedDiscovery = 0;
      Packets.WirlSendListPending = 1;
    }
    (void)ApplyIpFilter(Instance, Filter);
    return Result;
  }
  if (Packets.WirlSendListPending == 1 || Packets.WirlCollectPending == 1) return WirlListStep(Instance);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Wirl(OrvaleProtocol *This) {
  MemberEntry Entry(This);
  if (!Entry.Ok()) return Entry.Status();
  ProtocolInstance *Instance = Entry.Instance();
  const EFI_PXE_BASE_CODE_IP_FILTER Filter = StationOnlyFilter();
  ExchangeBuffers Buffers(Instance);
  if (!Buffers.Held()) return EFI_OUT_OF_RESOURCES;
  const EFI_STATUS Result = WirlPoll(Instance, &Filter);
  Instance->Packets.WirlStatus = Result;
  return Result;
}
