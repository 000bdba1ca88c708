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

// ---- Frames and ARP ----
[[nodiscard]] EFI_STATUS SendFrame(ProtocolInstance *Instance, const void *Payload, UINTN Length,
                                   const EFI_MAC_ADDRESS *Destination, UINT16 EtherType);
VOID EFIAPI TransmitNotify(EFI_EVENT Event, VOID *Context);
// Receives one frame into FrameBuffer. A null Timeout makes a single poll.
[[nodiscard]] EFI_STATUS ReceiveFrame(ProtocolInstance *Instance, EFI_EVENT Timeout, UINTN *HeaderLength,
                                      UINTN *DataLength, UINT16 *EtherType);
// Packet is the ARP packet, Length the bytes of it that arrived.
void HandleArpPacket(ProtocolInstance *Instance, const UINT8 *Packet, UINTN Length, const UINT8 *Frame);
BOOLEAN LookupArpCache(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Address, EFI_MAC_ADDRESS *HwAddress);
[[nodiscard]] EFI_STATUS ResolveArp(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Address,
                                    EFI_MAC_ADDRESS *HwAddress);
BOOLEAN AnnounceAddress(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Address);
BOOLEAN ClaimAddress(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Address);
void LearnRoutes(ProtocolInstance *Instance, PacketSlot *Slot);
void AddRoute(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Gateway);

// Driver-wide ARP request template and reply frame, set up by the image entry.
void InitializeArpTemplates();

// ---- IPv4 / UDP ----
// The caller has filled the IPv4 header in TxBuffer except version/length,
// total length and checksum. Gateway may be null (no gateway).
[[nodiscard]] EFI_STATUS SendIpPacket(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Gateway,
                                      UINTN IpHeaderLength, UINTN AllHeadersLength, const void *Payload,
                                      UINTN PayloadLength);
// The caller has placed the UDP header (and any upper header) at TxBuffer offset 84.
[[nodiscard]] EFI_STATUS SendUdpDatagram(ProtocolInstance *Instance, UINT16 OpFlags, const EFI_IP_ADDRESS *Source,
                                         const EFI_IP_ADDRESS *Destination, const EFI_IP_ADDRESS *Gateway,
                                         UINTN HeadersLength, const void *Payload, UINTN PayloadLength);
[[nodiscard]] EFI_STATUS ReceiveUdpDatagram(ProtocolInstance *Instance, UINT16 OpFlags, EFI_IP_ADDRESS *Source,
                                            EFI_IP_ADDRESS *Destination, UINT8 Protocol, void *Header,
                                            UINTN HeaderLength, void *Data, UINTN *DataSize, EFI_EVENT Timeout);
void SendIgmp(ProtocolInstance *Instance, UINT8 Type, UINTN GroupIndex);
void StartReportTimer(ProtocolInstance *Instance, UINTN GroupIndex, UINTN DelayTenths);
void ReportTimerExpired(ProtocolInstance *Instance, UINTN GroupIndex);
void HandleIgmp(ProtocolInstance *Instance, const UINT8 *Message, UINTN Length);

// ---- UDP members' work, for callers that already hold the lock ----
[[nodiscard]] EFI_STATUS UdpWriteLocked(ProtocolInstance *Instance, UINT16 OpFlags, EFI_IP_ADDRESS *DestIp,
                                        EFI_PXE_BASE_CODE_UDP_PORT *DestPort, EFI_IP_ADDRESS *GatewayIp,
                                        EFI_IP_ADDRESS *SrcIp, EFI_PXE_BASE_CODE_UDP_PORT *SrcPort,
                                        UINTN *HeaderSize, VOID *HeaderPtr, UINTN *BufferSize, VOID *BufferPtr);
[[nodiscard]] EFI_STATUS UdpReadLocked(ProtocolInstance *Instance, UINT16 OpFlags, EFI_IP_ADDRESS *DestIp,
                                       EFI_PXE_BASE_CODE_UDP_PORT *DestPort, EFI_IP_ADDRESS *SrcIp,
                                       EFI_PXE_BASE_CODE_UDP_PORT *SrcPort, UINTN *HeaderSize, VOID *HeaderPtr,
                                       UINTN *BufferSize, VOID *BufferPtr, EFI_EVENT Timeout);

// ---- Receive filter ----
[[nodiscard]] EFI_STATUS ApplyIpFilter(ProtocolInstance *Instance, const EFI_PXE_BASE_CODE_IP_FILTER *Filter);

#endif
