// The driver's own packet path: Ethernet frames and ARP over MNP, IPv4/UDP
// with fragmentation, received ICMP errors, IGMP, and the receive filter.
// Every function runs under the controller lock (TPL 9).
#ifndef ORVALE_NET_NET_H
#define ORVALE_NET_NET_H

#include "../instance/instance.h"

constexpr UINT16 kEtherTypeIpv4 = 0x0800;
constexpr UINT16 kEtherTypeArp = 0x0806;
constexpr UINTN kTxIpHeaderOffset = 64;   // IPv4 header in TxBuffer
constexpr UINTN kTxUdpHeaderOffset = 84;  // UDP header in TxBuffer
constexpr UINTN kTxUpperHeaderOffset = 92;
// Frames a receive without a timer looks at before it reports that nothing
// came: as many as an MNP receive queue holds, so a flood cannot hold it.
constexpr UINTN kPollFrameLimit = 64;

// Why a received packet was ignored; Instance->NetDrops[reason] counts them.
// A dropped packet is not an error for the caller, so this is how tests see why.
enum NetDrop : UINT32 {
  kDropOtherEtherType,
  kDropArpShort,         // fewer bytes than 8 + 2 * (HLEN + PLEN)
  kDropArpForeign,       // hardware/protocol type, HLEN, PLEN or operation not ours
  kDropIpShort,          // fewer than 20 bytes, or fewer than IHL says
  kDropIpVersion,        // RFC 1122 3.2.1.1: version other than 4
  kDropIpHeaderLength,   // IHL below 5, or total length below IHL
  kDropIpChecksum,       // RFC 1122 3.2.1.2: bad header checksum
  kDropIpTruncated,      // total length beyond the bytes that arrived
  kDropIpProtocol,       // neither UDP, ICMP nor IGMP
  kDropControlFragment,  // a fragment of an ICMP or IGMP message
  kDropIcmpShort,
  kDropIcmpChecksum,
  kDropIcmpNotError,
  kDropIgmpShort,        // fewer than 8 bytes
  kDropIgmpChecksum,
  kDropIgmpNoGroups,
  kDropUdpShort,         // shorter than the 8-byte UDP header
  kDropUdpLength,        // UDP length field below 8 or beyond the datagram
  kDropSource,           // source address not the one asked for
  kDropDestination,      // destination refused by the address match or filter
  kDropOtherDatagram,    // a fragment of another datagram than the one being reassembled
  kDropFragmentInHeader, // 0 < offset < the caller's header length
  kDropFragmentTooLong,  // would reach past 65535 bytes of datagram
  kDropFragmentUnaligned,// a fragment with MF set whose length is not a multiple of 8
  kDropFragmentConflict, // disagrees with the datagram end already known
  kDropHeaderShort,      // first fragment shorter than the caller's header length
  kDropUdpChecksum,      // RFC 768: the UDP checksum does not verify
  kDropFragmentDuplicate,// every byte of it is already held, unchanged
  kDropFragmentOverlap,  // rewrites bytes already held: the datagram is void
  kDropFragmentVoided,   // a fragment of a datagram voided earlier in the call
  kDropFragmentOrphan,   // an unfinished reassembly given up for a datagram that replaces it
  kDropIcmpForeign,      // an ICMP error that does not answer this receive's own traffic
  kDropIcmpQuote,        // an ICMP error whose quoted header is malformed or cut short
  kNetDropCount
};
static_assert(kNetDropCount <= kNetDropSlots, "drop counters fit the instance");

inline void CountDrop(ProtocolInstance *Instance, NetDrop Reason) { ++Instance->NetDrops[Reason]; }

// ---- Frames and ARP ----
[[nodiscard]] EFI_STATUS SendFrame(ProtocolInstance *Instance, const void *Payload, UINTN Length,
                                   const EFI_MAC_ADDRESS *Destination, UINT16 EtherType);
VOID EFIAPI TransmitNotify(EFI_EVENT Event, VOID *Context);
// The transmit token event of a run of frames (a transfer's ACKs), made once
// and lent to every SendFrame through Instance->TxEvent until the scope
// ends, instead of one event made and closed per frame. Inside another
// loan it lends nothing of its own.
class TransmitEventLoan {
 public:
  explicit TransmitEventLoan(ProtocolInstance *Instance);
  ~TransmitEventLoan();
  TransmitEventLoan(const TransmitEventLoan &) = delete;
  TransmitEventLoan &operator=(const TransmitEventLoan &) = delete;

 private:
  ProtocolInstance *instance_;
  bool owner_ = false;
};
// Receives one frame into FrameBuffer. A null Timeout makes a single poll.
[[nodiscard]] EFI_STATUS ReceiveFrame(ProtocolInstance *Instance, EFI_EVENT Timeout, UINTN *HeaderLength,
                                      UINTN *DataLength, UINT16 *EtherType);
// Packet is the ARP packet, Length the bytes of it that arrived.
void HandleArpPacket(ProtocolInstance *Instance, const UINT8 *Packet, UINTN Length, const UINT8 *Frame);
BOOLEAN LookupArpCache(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Address, EFI_MAC_ADDRESS *HwAddress);
[[nodiscard]] EFI_STATUS ResolveArp(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Address,
                                    EFI_MAC_ADDRESS *HwAddress);
BOOLEAN AnnounceAddress(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Address);
// TRUE when nobody answered for Address and it is now StationIp. FALSE when
// it is in use, or when a probe could not be sent: then *Error (when given)
// holds that failure, EFI_SUCCESS for an address in use, and StationIp is
// left as it was.
BOOLEAN ClaimAddress(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Address, EFI_STATUS *Error = nullptr);
void AddRoute(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Gateway);

// Driver-wide ARP request template and reply frame, set up by the image entry.
void InitializeArpTemplates();

// ---- IPv4 / UDP ----
// InternetChecksum's result is in memory order, ready to be stored unchanged.
inline void StoreChecksum(Be16 *Field, UINT16 Checksum) { CopyBytes(Field, &Checksum, sizeof(Checksum)); }

// Sends a complete IPv4 datagram (header checksummed) to its next hop: chooses
// the hardware address (broadcast, multicast, on-link, gateway or route; ARP
// when AutoArp) and calls SendFrame. Datagram must not live in TxStaging.
[[nodiscard]] EFI_STATUS SendIpv4Datagram(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Gateway,
                                          const void *Datagram, UINTN Length);
// The caller has filled the IPv4 header in TxBuffer except version/length,
// total length and checksum. Gateway may be null (no gateway).
[[nodiscard]] EFI_STATUS SendIpPacket(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Gateway,
                                      UINTN IpHeaderLength, UINTN AllHeadersLength, const void *Payload,
                                      UINTN PayloadLength);
// The caller has placed the UDP header (and any upper header) at TxBuffer offset 84.
[[nodiscard]] EFI_STATUS SendUdpDatagram(ProtocolInstance *Instance, UINT16 OpFlags, const EFI_IP_ADDRESS *Source,
                                         const EFI_IP_ADDRESS *Destination, const EFI_IP_ADDRESS *Gateway,
                                         UINTN HeadersLength, const void *Payload, UINTN PayloadLength);
// ListenPort, when given, is the local port the caller receives on: an ICMP
// error ends the receive only when it quotes a datagram sent from that port
// (and, without ANY_SRC_IP, sent to *Source). EFI_BUFFER_TOO_SMALL comes only
// for a whole datagram whose UDP data exceed *DataSize.
[[nodiscard]] EFI_STATUS ReceiveUdpDatagram(ProtocolInstance *Instance, UINT16 OpFlags, EFI_IP_ADDRESS *Source,
                                            EFI_IP_ADDRESS *Destination, UINT8 Protocol, void *Header,
                                            UINTN HeaderLength, void *Data, UINTN *DataSize, EFI_EVENT Timeout,
                                            const EFI_PXE_BASE_CODE_UDP_PORT *ListenPort = nullptr);
void SendIgmp(ProtocolInstance *Instance, UINT8 Type, UINTN GroupIndex);
void StartReportTimer(ProtocolInstance *Instance, UINTN GroupIndex, UINTN DelayTenths);
void ReportTimerExpired(ProtocolInstance *Instance, UINTN GroupIndex);
void HandleIgmp(ProtocolInstance *Instance, const UINT8 *Message, UINTN Length);
// TRUE while a version 1 querier counts as present: IgmpV1Timer exists and
// has not been seen to fire. See net/igmp.cpp.
BOOLEAN IgmpV1RouterPresent(const ProtocolInstance *Instance);
// Sends the reports whose timers have fired and notes an expired IgmpV1Timer;
// called by ReceiveFrame while it waits.
void ServiceIgmpTimers(ProtocolInstance *Instance);
// After an address claim: while IgmpV1Mode holds and no IgmpV1Timer runs,
// start the 400-second version 1 router-present timer (a failure leaves it absent).
void StartIgmpV1RouterTimer(ProtocolInstance *Instance);

// ---- UDP members' work, for callers that already hold the lock ----
[[nodiscard]] EFI_STATUS UdpWriteLocked(ProtocolInstance *Instance, UINT16 OpFlags, EFI_IP_ADDRESS *DestIp,
                                        EFI_PXE_BASE_CODE_UDP_PORT *DestPort, EFI_IP_ADDRESS *GatewayIp,
                                        EFI_IP_ADDRESS *SrcIp, EFI_PXE_BASE_CODE_UDP_PORT *SrcPort,
                                        UINTN *HeaderSize, VOID *HeaderPtr, UINTN *BufferSize, VOID *BufferPtr);
[[nodiscard]] EFI_STATUS UdpReadLocked(ProtocolInstance *Instance, UINT16 OpFlags, EFI_IP_ADDRESS *DestIp,
                                       EFI_PXE_BASE_CODE_UDP_PORT *DestPort, EFI_IP_ADDRESS *SrcIp,
                                       EFI_PXE_BASE_CODE_UDP_PORT *SrcPort, UINTN *HeaderSize, VOID *HeaderPtr,
                                       UINTN *BufferSize, VOID *BufferPtr, EFI_EVENT Timeout);

// The instance's next UDP source port: the counter's value, which then moves
// on by one, from 65535 back to 2070.
UINT16 TakeSourcePort(ProtocolInstance *Instance);

// ---- Receive filter ----
[[nodiscard]] EFI_STATUS ApplyIpFilter(ProtocolInstance *Instance, const EFI_PXE_BASE_CODE_IP_FILTER *Filter);

#endif
