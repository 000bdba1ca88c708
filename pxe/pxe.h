// The PXE client: its identity in DHCP options, the parsing and reception of
// PXE replies (offers, proxy replies, boot-server replies), PXE DHCP with
// proxy offers and boot-server discovery. Every function runs under the
// controller lock taken by the member.
#ifndef ORVALE_PXE_PXE_H
#define ORVALE_PXE_PXE_H

#include "../dhcp/bootp_wire.h"
#include "../dhcp/exchange.h"

// ---- Identity ----

constexpr UINTN kPxeOptionTemplateSize = 111;  // cookie to END, copied to packet offset 236
constexpr UINTN kPxeEndOffset = 346;           // END of the PXE base message
constexpr UINTN kPxeVendorClassOffset = 314;   // "PXEClient:Arch:..." in the packet
constexpr UINTN kPxeVendorClassLength = 32;
constexpr UINTN kPxeUuidOffset = 287;
constexpr UINTN kPxeInterfaceIdOffset = 305;   // option 94 value: type, major, minor

// Process-wide, shared by every instance; filled by BuildPxeOptionTemplate.
extern UINT8 PxeOptionTemplate[kPxeOptionTemplateSize];

void BuildPxeOptionTemplate(ProtocolInstance *Instance);
// Rebuilds the first 548 bytes of DhcpTxPacket as the PXE base message.
void BuildPxePacket(ProtocolInstance *Instance);
// The PXE exchanges' xid: a 16-bit number of the sequence, low byte first,
// then two zero bytes.
inline void SetPxeXid(BootpMessage *Message, UINT16 Number) {
  Message->xid.set(0);
  FieldAt<Le16>(Message->xid.b)->set(Number);
}
// The 16-byte UUID of the first SMBIOS type-1 structure; zero when there is
// none or the table is malformed. Table and Length describe the structure
// table; the walk never reads past Length bytes.
void FindSmbiosUuid(const UINT8 *Table, UINTN Length, UINT8 *Uuid);

// ---- Reply parsing ----

// Positions in PacketSlot.dhcpOptionRefs.
enum PxeDhcpRef : UINTN {
  kRefSubnetMask,
  kRefRouters,
  kRefVendor,
  kRefOverload,
  kRefMessageType,
  kRefServerId,
  kRefVendorClass,
  kRefBootFile,
  kRefBootFileSize,
};
// Positions in PacketSlot.pxeOptionRefs: sub-options 1 to 10 at 0 to 9.
constexpr UINTN kRefMcastServer = 0;
constexpr UINTN kRefDiscoveryControl = 5;
constexpr UINTN kRefDiscoveryMcast = 6;
constexpr UINTN kRefBootServers = 7;
constexpr UINTN kRefBootMenu = 8;
constexpr UINTN kRefMenuPrompt = 9;
constexpr UINTN kRefCredentialTypes = 10;
constexpr UINTN kRefBootItem = 11;

// PacketSlot.pxeFlags.
constexpr UINT8 kPxeFlagReply = 0x01;
constexpr UINT8 kPxeFlagMtftp = 0x02;
constexpr UINT8 kPxeFlagBootServer = 0x04;
constexpr UINT8 kPxeFlagCredentials = 0x08;

// PXE vendor sub-options (inside option 43).
constexpr UINT8 kPxeSubDiscoveryControl = 6;
constexpr UINT8 kPxeSubBootItem = 71;
constexpr UINT8 kPxeSubCredentialTypes = 12;
constexpr UINT8 kPxeSubEnd = 255;
// Discovery-control bits (sub-option 6).
constexpr UINT8 kDiscoveryNoBroadcast = 0x01;
constexpr UINT8 kDiscoveryNoMulticast = 0x02;
constexpr UINT8 kDiscoveryListOnly = 0x04;
constexpr UINT8 kDiscoveryNoMenuWithFile = 0x08;

extern const UINT8 DefaultDiscoveryControl[3];
extern const UINT8 DefaultBootItem[6];

// Indexes the option area [Area, Area + Length) of the slot's packet. Every
// walk is bounded by its area; an option whose value would run past it ends
// the walk and is not recorded.
void ParsePxeOptions(PacketSlot *Slot, UINT8 *Area, UINTN Length);
// Clears the PXE parsed fields and indexes the packet: Length is the number
// of bytes that arrived (1472 for copies).
void ParsePxePacket(PacketSlot *Slot, UINT64 Length);
BOOLEAN IsDhcpAck(PacketSlot *Slot);
BOOLEAN ValidatePxeBootInfo(PacketSlot *Slot);
BOOLEAN AcceptPxeAck(PacketSlot *Slot);

// A recorded option or sub-option: its value and length, null when absent.
inline const UINT8 *PxeDhcpOption(const PacketSlot *Slot, UINTN Ref, UINT8 *LengthOut = nullptr) {
  const UINT8 *At = Slot->dhcpOptionRefs[Ref];
  if (At == nullptr) return nullptr;
  if (LengthOut != nullptr) *LengthOut = At[1];
  return At + 2;
}
inline const UINT8 *PxeSubOption(const PacketSlot *Slot, UINTN Ref, UINT8 *LengthOut = nullptr) {
  const UINT8 *At = Slot->pxeOptionRefs[Ref];
  if (At == nullptr) return nullptr;
  if (LengthOut != nullptr) *LengthOut = At[1];
  return At + 2;
}

void CopyOfferToSlot(ProtocolInstance *Instance, UINTN FromIndex, UINTN ToIndex);
void AddPacketRoutes(ProtocolInstance *Instance, PacketSlot *Slot);

using PxeAccept = BOOLEAN (*)(PacketSlot *Slot);
// The checks every PXE reply passes against DhcpTxPacket (op, xid, cookie, a
// yiaddr a host may take, chaddr), ParsePxePacket included.
DhcpDrop PxeReplyDrop(ProtocolInstance *Instance, PacketSlot *Slot, UINTN Size);
// Waits on Timer for a reply that matches DhcpTxPacket (op, xid, cookie,
// chaddr, a unicast yiaddr) and that Accept takes. Datagrams that fail the
// UDP checksum, do not fit, or fail a check are dropped and counted
// (DhcpDrops) and the wait goes on. EFI_NO_RESPONSE when the timer fires.
[[nodiscard]] EFI_STATUS ReceivePxeReply(ProtocolInstance *Instance, PxeAccept Accept, UINT16 OpFlags,
                                         EFI_IP_ADDRESS *SrcIp, UINT16 *SrcPort, EFI_IP_ADDRESS *DestIp,
                                         UINT16 *DestPort, PacketSlot *Slot, EFI_EVENT Timer);

// ---- PXE DHCP ----

[[nodiscard]] EFI_STATUS PxeDhcp(ProtocolInstance *Instance, BOOLEAN SortOffers);
[[nodiscard]] EFI_STATUS CollectPxeOffers(ProtocolInstance *Instance);
BOOLEAN RequestPxeAddress(ProtocolInstance *Instance, UINTN OfferIndex);
BOOLEAN ClaimPxeAddress(ProtocolInstance *Instance);
BOOLEAN ProxyRequest(ProtocolInstance *Instance, UINTN OfferIndex);
BOOLEAN ReleasePxeAddress(ProtocolInstance *Instance);
BOOLEAN TryOfferClass(ProtocolInstance *Instance, UINTN Class);
BOOLEAN TryProxyClass(ProtocolInstance *Instance, UINTN Class);
BOOLEAN TryBootFileOffers(ProtocolInstance *Instance);

// ---- Discovery ----

// At most this many BIS credential types go into one request: option 43
// holds 255 bytes, of which the boot item (6), the sub-option 12 header (2)
// and the end byte (1) take 9.
constexpr UINTN kMaxCredentialTypesSent = (255 - 9) / 4;

[[nodiscard]] EFI_STATUS DiscoverByMethods(ProtocolInstance *Instance, UINT16 Type, UINT16 *Layer, BOOLEAN UseBis,
                                           const EFI_PXE_BASE_CODE_DISCOVER_INFO *Info, const UINT8 *ServerList,
                                           const UINT8 *AcceptList);
[[nodiscard]] EFI_STATUS DiscoverRequest(ProtocolInstance *Instance, UINT16 OpFlags, UINT16 Type, UINT16 *Layer,
                                         BOOLEAN UseBis, const UINT8 *ServerIp, const UINT8 *AcceptList);

#endif
