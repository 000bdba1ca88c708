// The members of OrvaleProtocol, named by their slot in the interface table.
// Each layer defines its own (net: UdpWrite, UdpRead, Arp, SetIpFilter,
// SetStationIp; dhcp: Dhcp; wirl: Wirl; pxe: Discover; tftp: Mtftp;
// instance: Start, Stop and the accessors); driver/members.cpp puts them in
// every child's table. Every member begins with a MemberEntry.
#ifndef ORVALE_INSTANCE_MEMBERS_H
#define ORVALE_INSTANCE_MEMBERS_H

#include "instance.h"

EFI_STATUS EFIAPI Start(OrvaleProtocol *This);
EFI_STATUS EFIAPI Stop(OrvaleProtocol *This);
EFI_STATUS EFIAPI Dhcp(OrvaleProtocol *This, BOOLEAN SortOffers);
EFI_STATUS EFIAPI Wirl(OrvaleProtocol *This);
EFI_STATUS EFIAPI FindOption(OrvaleProtocol *This, OptionIndex *Index, UINT8 Code, UINT32 *LengthOut,
                             INT32 *Position);
EFI_STATUS EFIAPI GetBootFile(OrvaleProtocol *This, PacketSlot *Slot, UINT32 *LengthOut);
EFI_STATUS EFIAPI Discover(OrvaleProtocol *This, UINT16 Type, UINT16 *Layer, BOOLEAN UseBis,
                           EFI_PXE_BASE_CODE_DISCOVER_INFO *Info);
EFI_STATUS EFIAPI Mtftp(OrvaleProtocol *This, EFI_PXE_BASE_CODE_TFTP_OPCODE Operation, VOID *BufferPtr,
                        BOOLEAN Overwrite, UINT64 *BufferSize, UINTN *BlockSize, EFI_IP_ADDRESS *ServerIp,
                        UINT8 *Filename, EFI_PXE_BASE_CODE_MTFTP_INFO *Info, BOOLEAN DontUseBuffer);
EFI_STATUS EFIAPI UdpWrite(OrvaleProtocol *This, UINT16 OpFlags, EFI_IP_ADDRESS *DestIp,
                           EFI_PXE_BASE_CODE_UDP_PORT *DestPort, EFI_IP_ADDRESS *GatewayIp, EFI_IP_ADDRESS *SrcIp,
                           EFI_PXE_BASE_CODE_UDP_PORT *SrcPort, UINTN *HeaderSize, VOID *HeaderPtr,
                           UINTN *BufferSize, VOID *BufferPtr);
EFI_STATUS EFIAPI UdpRead(OrvaleProtocol *This, UINT16 OpFlags, EFI_IP_ADDRESS *DestIp,
                          EFI_PXE_BASE_CODE_UDP_PORT *DestPort, EFI_IP_ADDRESS *SrcIp,
                          EFI_PXE_BASE_CODE_UDP_PORT *SrcPort, UINTN *HeaderSize, VOID *HeaderPtr,
                          UINTN *BufferSize, VOID *BufferPtr);
EFI_STATUS EFIAPI Arp(OrvaleProtocol *This, EFI_IP_ADDRESS *IpAddr, EFI_MAC_ADDRESS *MacAddr);
EFI_STATUS EFIAPI SetIpFilter(OrvaleProtocol *This, EFI_PXE_BASE_CODE_IP_FILTER *NewFilter);
EFI_STATUS EFIAPI SetStationIp(OrvaleProtocol *This, EFI_IP_ADDRESS *NewStationIp, EFI_IP_ADDRESS *NewSubnetMask);
EFI_STATUS EFIAPI SetPackets(OrvaleProtocol *This, BOOLEAN *NewDhcpDiscoverValid, BOOLEAN *NewDhcpAckReceived,
                             BOOLEAN *NewProxyOfferReceived, BOOLEAN *NewPxeDiscoverValid,
                             BOOLEAN *NewPxeReplyReceived, BOOLEAN *NewPxeBisReplyReceived,
                             DhcpPacket *NewDhcpDiscover, DhcpPacket *NewDhcpAck, DhcpPacket *NewProxyOffer,
                             DhcpPacket *NewPxeDiscover, DhcpPacket *NewPxeReply, DhcpPacket *NewPxeBisReply);
EFI_STATUS EFIAPI BisVerify(OrvaleProtocol *This, VOID *DataObject, UINT32 DataObjectLength, VOID *Credentials,
                            UINT32 CredentialsLength, BOOLEAN *IsVerified);
EFI_STATUS EFIAPI GetDhcpAck(OrvaleProtocol *This, UINTN *BufferSize, VOID *Buffer);
EFI_STATUS EFIAPI GetWirlReply(OrvaleProtocol *This, UINTN *BufferSize, VOID *Buffer);

#endif
