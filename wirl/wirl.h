// WIRL: choosing a boot image from boot servers with DHCP INFORM messages
// carrying vendor class "ZEKOWIRLC" and option 43 sub-options (LIST, SELECT),
// the link-local fallback and the "IpAddr" variable.
// Every function runs under the controller lock taken by the member.
#ifndef ORVALE_WIRL_WIRL_H
#define ORVALE_WIRL_WIRL_H

#include "../instance/instance.h"

// WIRL sub-options of option 43.
constexpr UINT8 kWirlMessageType = 1;  // 1 LIST, 2 SELECT, 3 refused
constexpr UINT8 kWirlPrefix = 2;
constexpr UINT8 kWirlServer = 3;
constexpr UINT8 kWirlPriority = 4;
constexpr UINT8 kWirlDefaultImage = 7;
constexpr UINT8 kWirlSelectedImage = 8;
constexpr UINT8 kWirlImageList = 9;
constexpr UINT8 kWirlImageKindFilter = 11;

constexpr UINT8 kWirlList = 1;
constexpr UINT8 kWirlSelect = 2;
constexpr UINT8 kWirlRefused = 3;
constexpr UINT8 kWirlAcceptedKind = 3;

constexpr UINT16 kWirlAlternatePort = 7799;

[[nodiscard]] EFI_STATUS WirlBoot(ProtocolInstance *Instance, const EFI_PXE_BASE_CODE_IP_FILTER *StationFilter);
[[nodiscard]] EFI_STATUS WirlList(ProtocolInstance *Instance);
[[nodiscard]] EFI_STATUS WirlListAndSelectOnce(ProtocolInstance *Instance);
BOOLEAN WirlSelect(ProtocolInstance *Instance);
[[nodiscard]] EFI_STATUS WirlReceiveList(ProtocolInstance *Instance);
[[nodiscard]] EFI_STATUS WirlReceiveSelectAck(ProtocolInstance *Instance);
BOOLEAN IsListReply(ProtocolInstance *Instance, PacketSlot *Slot);
BOOLEAN IsSelectReply(ProtocolInstance *Instance, PacketSlot *Slot);
[[nodiscard]] EFI_STATUS AssignLinkLocalAddress(ProtocolInstance *Instance);

// Builds the LIST INFORM in DhcpTxPacket (sub-option 11 too when WithKind).
void BuildListInform(ProtocolInstance *Instance, bool WithKind);
// A new LIST: the next Xid, no LIST reply or acknowledgement held, the message built.
void StartListInform(ProtocolInstance *Instance, bool WithKind);
// The address step of the WIRL boot and the Wirl member: DHCP, or a link-local
// address when no frame can be sent; on success the flags, DhcpAck and "IpAddr".
[[nodiscard]] EFI_STATUS ObtainWirlAddress(ProtocolInstance *Instance, bool WirlOptionAlways);
// The destination of LIST and SELECT: WirlServer, else the limited broadcast.
void WirlDestination(const ProtocolInstance *Instance, UINT8 *Address);
// Writes "IpAddr" with the yiaddr of ParsedPackets entry 0; its status is ignored.
void RecordIpAddrVariable(ProtocolInstance *Instance);

// The Wirl member's steps.
[[nodiscard]] EFI_STATUS WirlPoll(ProtocolInstance *Instance, const EFI_PXE_BASE_CODE_IP_FILTER *Filter);
[[nodiscard]] EFI_STATUS WirlListStep(ProtocolInstance *Instance);
[[nodiscard]] EFI_STATUS WirlCollectReplies(ProtocolInstance *Instance);
BOOLEAN RecordListReply(ProtocolInstance *Instance, PacketSlot *Slot);
// A pool block holding the values of every sub-option 9 in order, or null
// (none found, or no memory). The caller frees it.
UINT8 *CollectBootImageList(const OptionIndex *VendorOptions, UINT32 *LengthOut);

#endif
