// The DHCP exchange (RFC 2131: DISCOVER, OFFER, REQUEST, ACK, DECLINE, with a
// BOOTP fallback) and the primitives every DHCP-shaped exchange shares.
// Every function runs under the controller lock taken by the member.
#ifndef ORVALE_DHCP_EXCHANGE_H
#define ORVALE_DHCP_EXCHANGE_H

#include "../instance/instance.h"

// Roles of the six entries of ReplySlots.
constexpr UINTN kSlotReceive = 0;
constexpr UINTN kSlotBestOffer = 1;
constexpr UINTN kSlotWirlOffer = 2;
constexpr UINTN kSlotListReply = 3;
constexpr UINTN kSlotSelectAck = 4;
constexpr UINTN kSlotBootp = 5;
constexpr UINTN kReplySlotCount = 6;

// Entries of ParsedPackets.
constexpr UINTN kParsedAck = 0;
constexpr UINTN kParsedProxyOffer = 1;
constexpr UINTN kParsedReply = 2;
constexpr UINTN kParsedBisReply = 3;

constexpr UINT16 kUdpAnySrcIp = EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_IP;
constexpr UINT16 kUdpAnySrcPort = EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT;
constexpr UINT16 kUdpAnyDestIp = EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_IP;
constexpr UINT16 kUdpAnyDestPort = EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_PORT;

// Why ReceiveDhcpReply skipped a datagram; Instance->DhcpDrops[reason] counts them.
enum DhcpDrop : UINT32 {
  kDhcpDropNotReply,   // op other than 2 (BOOTREPLY)
  kDhcpDropXid,        // another transaction
  kDhcpDropChaddr,     // another client, or chaddr not zero-padded
  kDhcpDropYiaddr,     // multicast or class E yiaddr
  kDhcpDropMalformed,  // short, wrong cookie or options past the data
  kDhcpDropRefused,    // the exchange's validator said no
  kDhcpDropOversize,   // larger than a DhcpPacket
  kDhcpDropIcmp,       // an ICMP error arrived in the window
  kDhcpDropCount
};
static_assert(kDhcpDropCount <= kDhcpDropSlots, "DHCP drop counters fit the instance");

using ReplyValidator = BOOLEAN (*)(ProtocolInstance *Instance, PacketSlot *Slot);

[[nodiscard]] BOOLEAN AllocateDhcpBuffers(ProtocolInstance *Instance);
void FreeDhcpBuffers(ProtocolInstance *Instance);
void ResetSlots(PacketSlot *Slots, UINTN Count);

// Sends the first 548 bytes of DhcpTxPacket as one UDP datagram. Addresses are
// 4 bytes in network order; a null SrcIp sends from StationIp, a null SrcPort
// from the instance's next source port.
[[nodiscard]] EFI_STATUS SendDhcpMessage(ProtocolInstance *Instance, const UINT8 *DestIp, const UINT16 *DestPort,
                                         const UINT8 *SrcIp, const UINT16 *SrcPort);
// Where a datagram that reached a reply wait came from and went to.
struct ReplyOrigin {
  EFI_IP_ADDRESS Source;
  EFI_IP_ADDRESS Destination;
  UINT16 SourcePort;
  UINT16 DestinationPort;
};
// Judges one datagram that arrived whole in Slot (Size bytes; the rest of the
// packet is zero): kDhcpDropCount takes it, any other reason drops it.
using ReplyCheck = DhcpDrop (*)(ProtocolInstance *Instance, PacketSlot *Slot, UINTN Size, const ReplyOrigin *Origin,
                                void *Context);

// The one wait of every DHCP-shaped exchange (DHCP, WIRL, PXE): receives into
// Slot until Check takes a datagram or Timer fires. Every pass goes through
// the frame layer with the same timer, which it looks at on every pass, and
// a timeout ends the wait: so it ends at its deadline however many datagrams
// arrive and whatever the receive reports. A datagram that fails the UDP
// checksum (or a receive that fails the same way), does not fit, or an ICMP
// error is dropped and counted; so is one Check refuses. A datagram not taken
// leaves nothing behind: the slot is emptied. On success the slot's length is
// the received size and the addresses and ports are reported through the
// pointers given; their values on entry are the filters (OpFlags as for
// UdpRead; a null DestIp means StationIp). EFI_NO_RESPONSE when Timer fires.
[[nodiscard]] EFI_STATUS AwaitReply(ProtocolInstance *Instance, UINT16 OpFlags, EFI_IP_ADDRESS *SrcIp,
                                    UINT16 *SrcPort, EFI_IP_ADDRESS *DestIp, UINT16 *DestPort, PacketSlot *Slot,
                                    EFI_EVENT Timer, ReplyCheck Check, void *Context);
// The header checks of every reply wait, against the exchange's own values,
// in this order (a drop is counted as the first check it fails): the fixed
// size, op 2, the xid, the cookie when given, a yiaddr that is not multicast,
// the 16 chaddr bytes. kDhcpDropCount when all hold.
DhcpDrop ReplyHeaderDrop(const PacketSlot *Slot, UINTN Size, const Be32 &Xid, const Be32 *Cookie,
                         const UINT8 *Chaddr);
// DHCP and WIRL replies: the header against Xid and the hardware address, then the option index.
DhcpDrop DhcpReplyDrop(ProtocolInstance *Instance, PacketSlot *Slot, UINTN Size);
// RFC 1122 3.2.1.3: an address no host may take as its own (this network,
// loopback, multicast, class E, broadcast). 0.0.0.0 itself is "no address".
bool ForbiddenYiaddr(const UINT8 *Address);
// Empties a slot: no bytes, no length, no index, no PXE fields.
void DiscardSlot(PacketSlot *Slot);

// AwaitReply with the DHCP checks and Validator (when given); addresses are
// 4 bytes in network order.
[[nodiscard]] EFI_STATUS ReceiveDhcpReply(ProtocolInstance *Instance, ReplyValidator Validator, UINT16 OpFlags,
                                          const UINT8 *SrcIp, UINT16 *SrcPort, const UINT8 *DestIp,
                                          UINT16 *DestPort, PacketSlot *Slot, EFI_EVENT Timer);

// Admits the station address and broadcasts and restarts the xid sequence
// from the hardware address: how every DHCP-shaped discovery begins.
[[nodiscard]] EFI_STATUS OpenDhcpExchange(ProtocolInstance *Instance);
void RestartXidSequence(ProtocolInstance *Instance);
// Copies Source (length and packet) into entry Index of ReplySlots, parses it
// there and marks it held; null for an Index above 5.
PacketSlot *KeepPacket(ProtocolInstance *Instance, UINTN Index, const PacketSlot *Source);
// Copies the 1472-byte Source into Destination (a PacketRecord packet) and
// into entry Index (0..3) of ParsedPackets, whose length becomes Length, then
// indexes that entry. Nothing happens without ParsedPackets or with a larger Index.
void SavePacket(ProtocolInstance *Instance, DhcpPacket *Destination, const DhcpPacket *Source, UINT64 Length,
                UINTN Index);
bool SlotHeld(const ProtocolInstance *Instance, UINTN Index);

INT32 ScoreOffer(const PacketSlot *Slot);
[[nodiscard]] EFI_STATUS CollectOffers(ProtocolInstance *Instance);
BOOLEAN DhcpRequest(ProtocolInstance *Instance, PacketSlot *Offer);
void DhcpDecline(ProtocolInstance *Instance, const UINT8 *ServerId, const UINT8 *Address);
BOOLEAN DhcpFinish(ProtocolInstance *Instance);
// WirlOptionAlways adds the WIRL option 43 to DISCOVER even with PlainDhcp set
// (the Wirl member's discovery).
[[nodiscard]] EFI_STATUS RunDhcpDiscovery(ProtocolInstance *Instance, bool WirlOptionAlways = false);

// A retransmission window of Seconds plus 0.1 s, in 100-ns units.
UINT64 RetryWindowTicks(UINT8 Seconds);
// After an unanswered window: secs grows by it and the next one is twice as long.
void NextRetryWindow(ProtocolInstance *Instance);

// The exchange buffers of one Dhcp or Wirl member call, released when it
// returns; SecsCounter starts at 4 for an instance's first exchange.
class ExchangeBuffers {
 public:
  explicit ExchangeBuffers(ProtocolInstance *Instance) : instance_(Instance), held_(AllocateDhcpBuffers(Instance)) {
    if (held_ && Instance->SecsCounter == 0) Instance->SecsCounter = 4;
  }
  ~ExchangeBuffers() {
    if (held_) FreeDhcpBuffers(instance_);
  }
  ExchangeBuffers(const ExchangeBuffers &) = delete;
  ExchangeBuffers &operator=(const ExchangeBuffers &) = delete;
  bool Held() const { return held_; }

 private:
  ProtocolInstance *instance_;
  bool held_;
};
// The filter the members leave behind: the station address only.
EFI_PXE_BASE_CODE_IP_FILTER StationOnlyFilter();

// Default routes from the routers of option 3 and from giaddr.
void LearnRoutes(ProtocolInstance *Instance, PacketSlot *Slot);
// The classful mask of an address (RFC 791): what a lease without option 1 gets.
void NaturalMask(const UINT8 *Address, UINT8 *Mask);

// The pieces WIRL messages add.
constexpr UINT8 kWirlPrefixSubOption[] = {2, 2, 1, 1};  // sub-option 2 = 01 01
constexpr UINT8 kWirlKindSubOption[] = {11, 2, 3, 0};   // sub-option 11 = 03 00

#endif
