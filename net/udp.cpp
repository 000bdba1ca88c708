// The UdpWrite and UdpRead members and their locked work: argument rules,
// the source-port counter, the UDP checksum (RFC 768) and port matching.
#include "../instance/members.h"
#include "net.h"
#include "probe.h"

#include "ip_address.h"
#include "ipv4_wire.h"
#include "udp_wire.h"

namespace {

constexpr UINT16 kWriteFlags = EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT | EFI_PXE_BASE_CODE_UDP_OPFLAGS_MAY_FRAGMENT;
constexpr UINT16 kReadFlags = 0x001F;  // ANY_SRC_IP through USE_FILTER
constexpr UINT16 kFirstPort = 2070;
constexpr UINTN kPseudoHeaderOffset = kTxUdpHeaderOffset - sizeof(UdpPseudoHeader);
// An upper header longer than this can never leave: headers and data behind
// the IPv4 header are at most 1468 bytes unless fragmented.
constexpr UINTN kMaxUpperHeader = 1468 - sizeof(UdpHeader);
// Upper headers up to this size are received on the stack, longer ones in pool.
constexpr UINTN kInlineUpperHeader = 64;
static_assert(kPseudoHeaderOffset == 72, "pseudo-header directly in front of the UDP header");
static_assert(kTxUpperHeaderOffset == kTxUdpHeaderOffset + sizeof(UdpHeader), "upper header behind UDP");
static_assert(kTxUpperHeaderOffset + kMaxUpperHeader <= kPacketBufferSize, "upper header fits TxBuffer");

UINT16 OnesSum(const void *Bytes, UINTN Length) { return static_cast<UINT16>(~InternetChecksum(Bytes, Length)); }

// The checksum of two runs taken as one stream. A second run that starts at
// an odd position of the stream has its sum byte-swapped (RFC 1071 2.(B)).
UINT16 TwoRunChecksum(const void *Front, UINTN FrontLength, const void *Data, UINTN DataLength) {
  UINT32 Back = OnesSum(Data, DataLength);
  if (FrontLength % 2 != 0) Back = static_cast<UINT16>((Back >> 8) | (Back << 8));
  UINT32 Sum = static_cast<UINT32>(OnesSum(Front, FrontLength)) + Back;
  Sum = (Sum & 0xFFFF) + (Sum >> 16);
  Sum = (Sum & 0xFFFF) + (Sum >> 16);
  return static_cast<UINT16>(~Sum);
}

void FillPseudoHeader(UdpPseudoHeader *Pseudo, const void *Source, const void *Destination, UINT16 UdpLength) {
  CopyBytes(&Pseudo->source, Source, kIpv4AddressLength);
  CopyBytes(&Pseudo->destination, Destination, kIpv4AddressLength);
  Pseudo->zero = 0;
  Pseudo->protocol = kIpProtocolUdp;
  Pseudo->udpLength.set(UdpLength);
}

// A zeroed pool block released with its owner's scope.
class PoolBlock {
 public:
  explicit PoolBlock(UINTN Size) : block_(Size != 0 ? static_cast<UINT8 *>(AllocZeroed(Size)) : nullptr) {}
  ~PoolBlock() { FreeAndNull(block_); }
  PoolBlock(const PoolBlock &) = delete;
  PoolBlock &operator=(const PoolBlock &) = delete;
  UINT8 *Get() const { return block_; }

 private:
  UINT8 *block_;
};

}  // namespace

UINT16 TakeSourcePort(ProtocolInstance *Instance) {
  const UINT16 Port = Instance->SourcePort;
  Instance->SourcePort = Port == 0xFFFF ? kFirstPort : static_cast<UINT16>(Port + 1);
  return Port;
}

EFI_STATUS UdpWriteLocked(ProtocolInstance *Instance, UINT16 OpFlags, EFI_IP_ADDRESS *DestIp,
                          EFI_PXE_BASE_CODE_UDP_PORT *DestPort, EFI_IP_ADDRESS *GatewayIp, EFI_IP_ADDRESS *SrcIp,
                          EFI_PXE_BASE_CODE_UDP_PORT *SrcPort, UINTN *HeaderSize, VOID *HeaderPtr, UINTN *BufferSize,
                          VOID *BufferPtr) {
  ORVALE_PROBE(kProbeUdpSend);
  const UINTN UpperLength = HeaderSize != nullptr ? *HeaderSize : 0;
  if (BufferSize == nullptr || BufferPtr == nullptr || DestIp == nullptr || DestPort == nullptr ||
      (UpperLength != 0 && HeaderPtr == nullptr) || (OpFlags & ~kWriteFlags) != 0) {
    return EFI_INVALID_PARAMETER;
  }
  if (*BufferSize > kUdpMaxLength || UpperLength > kUdpMaxLength ||
      *BufferSize + UpperLength + sizeof(UdpHeader) > kUdpMaxLength) {
    return EFI_BAD_BUFFER_SIZE;
  }
  if (UpperLength > kMaxUpperHeader) return EFI_BAD_BUFFER_SIZE;
  if (Instance->TxBuffer == nullptr) return EFI_NOT_STARTED;
  const UINT16 UdpLength = static_cast<UINT16>(*BufferSize + UpperLength + sizeof(UdpHeader));

  EFI_PXE_BASE_CODE_UDP_PORT LocalPort = 0;
  if (SrcPort == nullptr) {
    SrcPort = &LocalPort;
    OpFlags |= EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT;
  }
  if (OpFlags & EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT) *SrcPort = TakeSourcePort(Instance);

  const EFI_IP_ADDRESS Source = SrcIp != nullptr ? *SrcIp : Instance->Mode.StationIp;
  UINT8 *Front = Instance->TxBuffer + kPseudoHeaderOffset;
  FillPseudoHeader(reinterpret_cast<UdpPseudoHeader *>(Front), Source.v4.Addr, DestIp->v4.Addr, UdpLength);
  UdpHeader *Udp = reinterpret_cast<UdpHeader *>(Instance->TxBuffer + kTxUdpHeaderOffset);
  Udp->sourcePort.set(*SrcPort);
  Udp->destinationPort.set(*DestPort);
  Udp->length.set(UdpLength);
  Udp->checksum.set(0);
  CopyBytes(Instance->TxBuffer + kTxUpperHeaderOffset, HeaderPtr, UpperLength);

  UINT16 Checksum = TwoRunChecksum(Front, sizeof(UdpPseudoHeader) + sizeof(UdpHeader) + UpperLength, BufferPtr,
                                   *BufferSize);
  if (Checksum == kUdpChecksumNone) Checksum = kUdpChecksumZeroSent;
  StoreChecksum(&Udp->checksum, Checksum);

  return SendUdpDatagram(Instance, OpFlags, &Source, DestIp, GatewayIp, sizeof(UdpHeader) + UpperLength, BufferPtr,
                         *BufferSize);
}

EFI_STATUS UdpReadLocked(ProtocolInstance *Instance, UINT16 OpFlags, EFI_IP_ADDRESS *DestIp,
                         EFI_PXE_BASE_CODE_UDP_PORT *DestPort, EFI_IP_ADDRESS *SrcIp,
                         EFI_PXE_BASE_CODE_UDP_PORT *SrcPort, UINTN *HeaderSize, VOID *HeaderPtr, UINTN *BufferSize,
                         VOID *BufferPtr, EFI_EVENT Timeout) {
  const UINTN UpperLength = HeaderSize != nullptr ? *HeaderSize : 0;
  if (BufferSize == nullptr || BufferPtr == nullptr || (UpperLength != 0 && HeaderPtr == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }
  if ((OpFlags & ~kReadFlags) != 0 || (!(OpFlags & EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_IP) && SrcIp == nullptr) ||
      (!(OpFlags & EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT) && SrcPort == nullptr) ||
      (!(OpFlags & EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_PORT) && DestPort == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }
  // No UDP datagram carries a longer upper header.
  if (UpperLength > kUdpMaxLength - sizeof(UdpHeader)) return EFI_BAD_BUFFER_SIZE;

  // The pseudo-header is built directly in front of the received headers so
  // that pseudo-header, UDP header and upper header checksum as one run.
  constexpr UINTN kFront = sizeof(UdpPseudoHeader);
  const UINTN HeaderLength = sizeof(UdpHeader) + UpperLength;
  UINT8 Inline[kFront + sizeof(UdpHeader) + kInlineUpperHeader];
  PoolBlock Pool(UpperLength > kInlineUpperHeader ? kFront + HeaderLength : 0);
  UINT8 *Headers = Inline;
  if (UpperLength > kInlineUpperHeader) {
    if (Pool.Get() == nullptr) return EFI_OUT_OF_RESOURCES;
    Headers = Pool.Get();
  }
  const UdpHeader *Udp = reinterpret_cast<const UdpHeader *>(Headers + kFront);

  const UINTN Capacity = *BufferSize;
  EFI_IP_ADDRESS Destination = DestIp != nullptr ? *DestIp : Instance->Mode.StationIp;
  EFI_IP_ADDRESS ScratchSource;
  ZeroBytes(&ScratchSource, sizeof(ScratchSource));
  EFI_IP_ADDRESS *Source = SrcIp != nullptr ? SrcIp : &ScratchSource;

  // ICMP errors count only for datagrams sent from the port listened on.
  const EFI_PXE_BASE_CODE_UDP_PORT *ListenPort =
      (OpFlags & EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_PORT) ? nullptr : DestPort;

  EFI_STATUS Status;
  for (UINTN Datagrams = 0;; ++Datagrams) {
    if (Timeout == nullptr && Datagrams >= kPollFrameLimit) return EFI_TIMEOUT;
    *BufferSize = Capacity;
    ZeroBytes(Headers, kFront + HeaderLength);
    Status = ReceiveUdpDatagram(Instance, OpFlags, Source, &Destination, kIpProtocolUdp, Headers + kFront,
                                HeaderLength, BufferPtr, BufferSize, Timeout, ListenPort);
    if (Status != EFI_SUCCESS && Status != EFI_BUFFER_TOO_SMALL) return Status;
    if (!(OpFlags & EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT) && Udp->sourcePort.get() != *SrcPort) continue;
    if (!(OpFlags & EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_PORT) && Udp->destinationPort.get() != *DestPort) continue;
    break;
  }
  if (DestIp != nullptr) *DestIp = Destination;

  if (Status == EFI_SUCCESS && Udp->checksum.get() != kUdpChecksumNone) {
    UdpHeader Received = *Udp;
    FillPseudoHeader(reinterpret_cast<UdpPseudoHeader *>(Headers), Source->v4.Addr, Destination.v4.Addr,
                     Received.length.get());
    UdpHeader *Field = reinterpret_cast<UdpHeader *>(Headers + kFront);
    if (Received.checksum.get() == kUdpChecksumZeroSent) Field->checksum.set(0);
    const UINT16 Check = TwoRunChecksum(Headers, kFront + HeaderLength, BufferPtr, *BufferSize);
    *Field = Received;
    // Summed with its own checksum a correct datagram gives 0 here. The
    // datagram is gone; a caller that waits on receives again.
    if (Check != 0) {
      CountDrop(Instance, kDropUdpChecksum);
      return EFI_DEVICE_ERROR;
    }
  }

  if (SrcPort != nullptr) *SrcPort = Udp->sourcePort.get();
  if (DestPort != nullptr) *DestPort = Udp->destinationPort.get();
  CopyBytes(HeaderPtr, Headers + kFront + sizeof(UdpHeader), UpperLength);
  return Status;
}

EFI_STATUS EFIAPI UdpWrite(OrvaleProtocol *This, UINT16 OpFlags, EFI_IP_ADDRESS *DestIp,
                           EFI_PXE_BASE_CODE_UDP_PORT *DestPort, EFI_IP_ADDRESS *GatewayIp, EFI_IP_ADDRESS *SrcIp,
                           EFI_PXE_BASE_CODE_UDP_PORT *SrcPort, UINTN *HeaderSize, VOID *HeaderPtr,
                           UINTN *BufferSize, VOID *BufferPtr) {
  MemberEntry Entry(This);
  if (!Entry.Ok()) return Entry.Status();
  ProtocolInstance *Instance = Entry.Instance();
  return UdpWriteLocked(Instance, OpFlags, DestIp, DestPort, GatewayIp, SrcIp, SrcPort, HeaderSize, HeaderPtr,
                        BufferSize, BufferPtr);
}

EFI_STATUS EFIAPI UdpRead(OrvaleProtocol *This, UINT16 OpFlags, EFI_IP_ADDRESS *DestIp,
                          EFI_PXE_BASE_CODE_UDP_PORT *DestPort, EFI_IP_ADDRESS *SrcIp,
                          EFI_PXE_BASE_CODE_UDP_PORT *SrcPort, UINTN *HeaderSize, VOID *HeaderPtr,
                          UINTN *BufferSize, VOID *BufferPtr) {
  MemberEntry Entry(This);
  if (!Entry.Ok()) return Entry.Status();
  ProtocolInstance *Instance = Entry.Instance();
  // No timeout event: every frame wait is a single poll, so the call does not
  // block, except to collect the rest of a datagram it holds a fragment of.
  return UdpReadLocked(Instance, OpFlags, DestIp, DestPort, SrcIp, SrcPort, HeaderSize, HeaderPtr, BufferSize,
                       BufferPtr, nullptr);
}
