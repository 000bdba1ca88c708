/* The Orvale protocol as a caller sees it: the service binding and protocol
   GUIDs, the member table and the three published records.
   Plain C11 / C++; every offset a caller relies on is asserted below. */
#ifndef ORVALE_PROTOCOL_H
#define ORVALE_PROTOCOL_H

#include "../efi/efi_protocols.h"

EFI_EXTERN_C_BEGIN

#define ORVALE_SERVICE_BINDING_GUID \
  { 0x5B2E9F14, 0x3C71, 0x4D08, { 0x9A, 0x6E, 0x2F, 0x41, 0xC7, 0xD0, 0x5B, 0x93 } }
#define ORVALE_PROTOCOL_GUID \
  { 0x8E47A0C2, 0x61D9, 0x4F35, { 0xB2, 0xC8, 0x7D, 0x19, 0xE3, 0xA4, 0x6F, 0x05 } }
#define ORVALE_PROTOCOL_REVISION 0x00010000ull

/* Value of BootMode that selects the WIRL boot in Dhcp. */
#define ORVALE_BOOT_MODE_WIRL 16u

#define ORVALE_PACKET_SIZE 1472

/* One BOOTP/DHCP message in wire layout; client messages use the first 548 bytes. */
typedef struct DhcpPacket {
  UINT8 Raw[ORVALE_PACKET_SIZE];
} DhcpPacket;

/* Pointers to the options of one area, in the order they were met. Entries
   point at the option's code byte inside the owning packet. Byte-aligned,
   because indexes live inside packed slot arrays with a 1938-byte stride:
   read an entry with a byte copy, never as entries[i]. */
#pragma pack(push, 1)
typedef struct OptionIndex {
  UINT8 **entries;
  INT32 count;
  INT32 capacity;
  UINT8 *builtin[16];
} OptionIndex;
#pragma pack(pop)
EFI_STATIC_ASSERT(sizeof(OptionIndex) == 144, "OptionIndex");

#define ORVALE_DHCP_OPTION_REFS 9
#define ORVALE_PXE_OPTION_REFS 12

#pragma pack(push, 1)
/* A received or kept packet with its indexes and PXE parsed fields. Packed;
   the stride of slot arrays is 1938 bytes. */
typedef struct PacketSlot {
  DhcpPacket packet;
  OptionIndex options;
  OptionIndex vendorOptions;
  UINT64 length;
  UINT8 slotFlags;
  UINT8 *dhcpOptionRefs[ORVALE_DHCP_OPTION_REFS];
  UINT8 *pxeOptionRefs[ORVALE_PXE_OPTION_REFS];
  UINT8 pxeFlags;
} PacketSlot;
#pragma pack(pop)
EFI_STATIC_ASSERT(offsetof(PacketSlot, options) == 1472, "PacketSlot options");
EFI_STATIC_ASSERT(offsetof(PacketSlot, vendorOptions) == 1616, "PacketSlot vendorOptions");
EFI_STATIC_ASSERT(offsetof(PacketSlot, length) == 1760, "PacketSlot length");
EFI_STATIC_ASSERT(offsetof(PacketSlot, slotFlags) == 1768, "PacketSlot slotFlags");
EFI_STATIC_ASSERT(offsetof(PacketSlot, dhcpOptionRefs) == 1769, "PacketSlot PXE fields");
EFI_STATIC_ASSERT(sizeof(PacketSlot) - offsetof(PacketSlot, dhcpOptionRefs) == 169, "PacketSlot PXE fields size");
EFI_STATIC_ASSERT(sizeof(PacketSlot) == 1938, "PacketSlot");

#define ORVALE_SLOT_FLAG_WIRL 0x01

#define ORVALE_ARP_CACHE_SIZE 8
#define ORVALE_ROUTE_TABLE_SIZE 8

typedef struct OrvaleMode {
  BOOLEAN UsingIpv6;
  BOOLEAN AutoArp;
  BOOLEAN IcmpErrorReceived;
  UINT8 Ttl;
  UINT8 ToS;
  UINT8 Reserved[3];
  EFI_IP_ADDRESS StationIp;
  EFI_IP_ADDRESS SubnetMask;
  UINT32 ArpCacheEntries;
  EFI_PXE_BASE_CODE_ARP_ENTRY ArpCache[ORVALE_ARP_CACHE_SIZE];
  UINT32 RouteTableEntries;
  EFI_PXE_BASE_CODE_ROUTE_ENTRY RouteTable[ORVALE_ROUTE_TABLE_SIZE];
  EFI_PXE_BASE_CODE_ICMP_ERROR IcmpError;
} OrvaleMode;
EFI_STATIC_ASSERT(offsetof(OrvaleMode, AutoArp) == 1, "OrvaleMode AutoArp");
EFI_STATIC_ASSERT(offsetof(OrvaleMode, IcmpErrorReceived) == 2, "OrvaleMode IcmpErrorReceived");
EFI_STATIC_ASSERT(offsetof(OrvaleMode, Ttl) == 3, "OrvaleMode Ttl");
EFI_STATIC_ASSERT(offsetof(OrvaleMode, ToS) == 4, "OrvaleMode ToS");
EFI_STATIC_ASSERT(offsetof(OrvaleMode, StationIp) == 8, "OrvaleMode StationIp");
EFI_STATIC_ASSERT(offsetof(OrvaleMode, SubnetMask) == 24, "OrvaleMode SubnetMask");
EFI_STATIC_ASSERT(offsetof(OrvaleMode, ArpCacheEntries) == 40, "OrvaleMode ArpCacheEntries");
EFI_STATIC_ASSERT(offsetof(OrvaleMode, ArpCache) == 44, "OrvaleMode ArpCache");
EFI_STATIC_ASSERT(offsetof(OrvaleMode, RouteTableEntries) == 428, "OrvaleMode RouteTableEntries");
EFI_STATIC_ASSERT(offsetof(OrvaleMode, RouteTable) == 432, "OrvaleMode RouteTable");
EFI_STATIC_ASSERT(offsetof(OrvaleMode, IcmpError) == 816, "OrvaleMode IcmpError");
EFI_STATIC_ASSERT(sizeof(OrvaleMode) == 1320, "OrvaleMode");

/* The packets the exchanges received, and the fields through which a caller
   steers DHCP and WIRL and reads the image list. */
typedef struct PacketRecord {
  BOOLEAN DhcpDiscoverValid;
  BOOLEAN DhcpAckReceived;
  BOOLEAN ProxyOfferReceived;
  BOOLEAN PxeDiscoverValid;
  BOOLEAN PxeReplyReceived;
  BOOLEAN PxeBisReplyReceived;
  BOOLEAN BisSupported;
  BOOLEAN BisDetected;
  DhcpPacket DhcpDiscover;
  DhcpPacket DhcpAck;
  DhcpPacket ProxyOffer;
  DhcpPacket PxeDiscover;
  DhcpPacket PxeReply;
  DhcpPacket PxeBisReply;
  EFI_IP_ADDRESS LastBootServerIp;  /* copy of BootServerIp after every Discover */
  UINT8 StationIpSet;
  UINT8 Reserved0[7];
  PacketSlot *ParsedPackets;        /* 4 slots: ACK, proxy offer, PXE/WIRL reply, BIS reply */
  VOID *ReservedPointer;            /* cleared by SetPackets */
  UINT64 ReservedWord;              /* cleared when Wirl starts a new discovery */
  EFI_IP_ADDRESS BootServerIp;      /* source of the last boot-server reply */
  UINT32 BootMode;
  UINT8 UseDefaultImage;
  UINT8 PlainDhcp;
  UINT8 FilterImageKind;
  UINT8 WirlNeedDiscovery;
  UINT8 WirlSendListPending;
  UINT8 WirlCollectPending;
  UINT8 Reserved1[6];
  VOID *FindOptionResult;
  UINT32 WirlServer;
  UINT8 Reserved2[4];
  VOID *GetBootFileResult;
  UINT32 ImageListLength;
  UINT8 Reserved3[4];
  UINT8 *ImageList;
  UINT64 WirlStatus;
  UINT8 AutoSelect;
  UINT8 ExplicitSelect;
  UINT8 SelectServer[4];
  UINT16 WirlServerPort;
  UINT32 SelectImage;
  UINT8 Reserved4[4];
} PacketRecord;
EFI_STATIC_ASSERT(offsetof(PacketRecord, DhcpDiscover) == 8, "PacketRecord DhcpDiscover");
EFI_STATIC_ASSERT(offsetof(PacketRecord, DhcpAck) == 1480, "PacketRecord DhcpAck");
EFI_STATIC_ASSERT(offsetof(PacketRecord, ProxyOffer) == 2952, "PacketRecord ProxyOffer");
EFI_STATIC_ASSERT(offsetof(PacketRecord, PxeDiscover) == 4424, "PacketRecord PxeDiscover");
EFI_STATIC_ASSERT(offsetof(PacketRecord, PxeReply) == 5896, "PacketRecord PxeReply");
EFI_STATIC_ASSERT(offsetof(PacketRecord, PxeBisReply) == 7368, "PacketRecord PxeBisReply");
EFI_STATIC_ASSERT(offsetof(PacketRecord, LastBootServerIp) == 8840, "PacketRecord LastBootServerIp");
EFI_STATIC_ASSERT(offsetof(PacketRecord, StationIpSet) == 8856, "PacketRecord StationIpSet");
EFI_STATIC_ASSERT(offsetof(PacketRecord, ParsedPackets) == 8864, "PacketRecord ParsedPackets");
EFI_STATIC_ASSERT(offsetof(PacketRecord, ReservedPointer) == 8872, "PacketRecord 8872");
EFI_STATIC_ASSERT(offsetof(PacketRecord, ReservedWord) == 8880, "PacketRecord 8880");
EFI_STATIC_ASSERT(offsetof(PacketRecord, BootServerIp) == 8888, "PacketRecord BootServerIp");
EFI_STATIC_ASSERT(offsetof(PacketRecord, BootMode) == 8904, "PacketRecord BootMode");
EFI_STATIC_ASSERT(offsetof(PacketRecord, UseDefaultImage) == 8908, "PacketRecord UseDefaultImage");
EFI_STATIC_ASSERT(offsetof(PacketRecord, PlainDhcp) == 8909, "PacketRecord PlainDhcp");
EFI_STATIC_ASSERT(offsetof(PacketRecord, FilterImageKind) == 8910, "PacketRecord FilterImageKind");
EFI_STATIC_ASSERT(offsetof(PacketRecord, WirlNeedDiscovery) == 8911, "PacketRecord WirlNeedDiscovery");
EFI_STATIC_ASSERT(offsetof(PacketRecord, WirlSendListPending) == 8912, "PacketRecord WirlSendListPending");
EFI_STATIC_ASSERT(offsetof(PacketRecord, WirlCollectPending) == 8913, "PacketRecord WirlCollectPending");
EFI_STATIC_ASSERT(offsetof(PacketRecord, FindOptionResult) == 8920, "PacketRecord FindOptionResult");
EFI_STATIC_ASSERT(offsetof(PacketRecord, WirlServer) == 8928, "PacketRecord WirlServer");
EFI_STATIC_ASSERT(offsetof(PacketRecord, GetBootFileResult) == 8936, "PacketRecord GetBootFileResult");
EFI_STATIC_ASSERT(offsetof(PacketRecord, ImageListLength) == 8944, "PacketRecord ImageListLength");
EFI_STATIC_ASSERT(offsetof(PacketRecord, ImageList) == 8952, "PacketRecord ImageList");
EFI_STATIC_ASSERT(offsetof(PacketRecord, WirlStatus) == 8960, "PacketRecord WirlStatus");
EFI_STATIC_ASSERT(offsetof(PacketRecord, AutoSelect) == 8968, "PacketRecord AutoSelect");
EFI_STATIC_ASSERT(offsetof(PacketRecord, ExplicitSelect) == 8969, "PacketRecord ExplicitSelect");
EFI_STATIC_ASSERT(offsetof(PacketRecord, SelectServer) == 8970, "PacketRecord SelectServer");
EFI_STATIC_ASSERT(offsetof(PacketRecord, WirlServerPort) == 8974, "PacketRecord WirlServerPort");
EFI_STATIC_ASSERT(offsetof(PacketRecord, SelectImage) == 8976, "PacketRecord SelectImage");
EFI_STATIC_ASSERT(sizeof(PacketRecord) == 8984, "PacketRecord");

typedef struct StateRecord {
  UINT32 State;
  BOOLEAN Started;
  BOOLEAN TftpErrorReceived;
  UINT8 Reserved[2];
  EFI_PXE_BASE_CODE_IP_FILTER IpFilter;
  EFI_PXE_BASE_CODE_TFTP_ERROR TftpError;
  UINT8 Unused[48];
  UINT32 AlternatePortMode;
} StateRecord;
EFI_STATIC_ASSERT(offsetof(StateRecord, Started) == 4, "StateRecord Started");
EFI_STATIC_ASSERT(offsetof(StateRecord, TftpErrorReceived) == 5, "StateRecord TftpErrorReceived");
EFI_STATIC_ASSERT(offsetof(StateRecord, IpFilter) == 8, "StateRecord IpFilter");
EFI_STATIC_ASSERT(offsetof(StateRecord, TftpError) == 140, "StateRecord TftpError");
EFI_STATIC_ASSERT(offsetof(StateRecord, Unused) == 268, "StateRecord unused");
EFI_STATIC_ASSERT(offsetof(StateRecord, AlternatePortMode) == 316, "StateRecord AlternatePortMode");
EFI_STATIC_ASSERT(sizeof(StateRecord) == 320, "StateRecord");

typedef struct OrvaleProtocol OrvaleProtocol;

typedef EFI_STATUS(EFIAPI *ORVALE_START)(OrvaleProtocol *This);
typedef EFI_STATUS(EFIAPI *ORVALE_STOP)(OrvaleProtocol *This);
typedef EFI_STATUS(EFIAPI *ORVALE_DHCP)(OrvaleProtocol *This, BOOLEAN SortOffers);
typedef EFI_STATUS(EFIAPI *ORVALE_WIRL)(OrvaleProtocol *This);
typedef EFI_STATUS(EFIAPI *ORVALE_FIND_OPTION)(OrvaleProtocol *This, OptionIndex *Index, UINT8 Code,
                                               UINT32 *LengthOut, INT32 *Position);
typedef EFI_STATUS(EFIAPI *ORVALE_GET_BOOT_FILE)(OrvaleProtocol *This, PacketSlot *Slot, UINT32 *LengthOut);
typedef EFI_STATUS(EFIAPI *ORVALE_DISCOVER)(OrvaleProtocol *This, UINT16 Type, UINT16 *Layer, BOOLEAN UseBis,
                                            EFI_PXE_BASE_CODE_DISCOVER_INFO *Info);
typedef EFI_STATUS(EFIAPI *ORVALE_MTFTP)(OrvaleProtocol *This, EFI_PXE_BASE_CODE_TFTP_OPCODE Operation,
                                         VOID *BufferPtr, BOOLEAN Overwrite, UINT64 *BufferSize, UINTN *BlockSize,
                                         EFI_IP_ADDRESS *ServerIp, UINT8 *Filename,
                                         EFI_PXE_BASE_CODE_MTFTP_INFO *Info, BOOLEAN DontUseBuffer);
typedef EFI_STATUS(EFIAPI *ORVALE_UDP_WRITE)(OrvaleProtocol *This, UINT16 OpFlags, EFI_IP_ADDRESS *DestIp,
                                             EFI_PXE_BASE_CODE_UDP_PORT *DestPort, EFI_IP_ADDRESS *GatewayIp,
                                             EFI_IP_ADDRESS *SrcIp, EFI_PXE_BASE_CODE_UDP_PORT *SrcPort,
                                             UINTN *HeaderSize, VOID *HeaderPtr, UINTN *BufferSize,
                                             VOID *BufferPtr);
typedef EFI_STATUS(EFIAPI *ORVALE_UDP_READ)(OrvaleProtocol *This, UINT16 OpFlags, EFI_IP_ADDRESS *DestIp,
                                            EFI_PXE_BASE_CODE_UDP_PORT *DestPort, EFI_IP_ADDRESS *SrcIp,
                                            EFI_PXE_BASE_CODE_UDP_PORT *SrcPort, UINTN *HeaderSize,
                                            VOID *HeaderPtr, UINTN *BufferSize, VOID *BufferPtr);
typedef EFI_STATUS(EFIAPI *ORVALE_ARP)(OrvaleProtocol *This, EFI_IP_ADDRESS *IpAddr, EFI_MAC_ADDRESS *MacAddr);
typedef EFI_STATUS(EFIAPI *ORVALE_SET_IP_FILTER)(OrvaleProtocol *This, EFI_PXE_BASE_CODE_IP_FILTER *NewFilter);
typedef EFI_STATUS(EFIAPI *ORVALE_SET_STATION_IP)(OrvaleProtocol *This, EFI_IP_ADDRESS *NewStationIp,
                                                  EFI_IP_ADDRESS *NewSubnetMask);
typedef EFI_STATUS(EFIAPI *ORVALE_SET_PACKETS)(OrvaleProtocol *This, BOOLEAN *NewDhcpDiscoverValid,
                                               BOOLEAN *NewDhcpAckReceived, BOOLEAN *NewProxyOfferReceived,
                                               BOOLEAN *NewPxeDiscoverValid, BOOLEAN *NewPxeReplyReceived,
                                               BOOLEAN *NewPxeBisReplyReceived, DhcpPacket *NewDhcpDiscover,
                                               DhcpPacket *NewDhcpAck, DhcpPacket *NewProxyOffer,
                                               DhcpPacket *NewPxeDiscover, DhcpPacket *NewPxeReply,
                                               DhcpPacket *NewPxeBisReply);
typedef EFI_STATUS(EFIAPI *ORVALE_BIS_VERIFY)(OrvaleProtocol *This, VOID *DataObject, UINT32 DataObjectLength,
                                              VOID *Credentials, UINT32 CredentialsLength, BOOLEAN *IsVerified);
typedef EFI_STATUS(EFIAPI *ORVALE_GET_PACKET)(OrvaleProtocol *This, UINTN *BufferSize, VOID *Buffer);

struct OrvaleProtocol {
  UINT64 Revision;
  ORVALE_START Start;
  ORVALE_STOP Stop;
  VOID *Unused;
  ORVALE_DHCP Dhcp;
  ORVALE_WIRL Wirl;
  ORVALE_FIND_OPTION FindOption;
  ORVALE_GET_BOOT_FILE GetBootFile;
  ORVALE_DISCOVER Discover;
  ORVALE_MTFTP Mtftp;
  ORVALE_UDP_WRITE UdpWrite;
  ORVALE_UDP_READ UdpRead;
  ORVALE_ARP Arp;
  ORVALE_SET_IP_FILTER SetIpFilter;
  ORVALE_SET_STATION_IP SetStationIp;
  ORVALE_SET_PACKETS SetPackets;
  ORVALE_BIS_VERIFY BisVerify;
  ORVALE_GET_PACKET GetDhcpAck;
  ORVALE_GET_PACKET GetWirlReply;
  OrvaleMode *Mode;
  PacketRecord *Packets;
  StateRecord *State;
};
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, Start) == 8, "OrvaleProtocol Start");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, Stop) == 16, "OrvaleProtocol Stop");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, Unused) == 24, "OrvaleProtocol slot 24");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, Dhcp) == 32, "OrvaleProtocol Dhcp");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, Wirl) == 40, "OrvaleProtocol Wirl");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, FindOption) == 48, "OrvaleProtocol FindOption");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, GetBootFile) == 56, "OrvaleProtocol GetBootFile");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, Discover) == 64, "OrvaleProtocol Discover");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, Mtftp) == 72, "OrvaleProtocol Mtftp");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, UdpWrite) == 80, "OrvaleProtocol UdpWrite");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, UdpRead) == 88, "OrvaleProtocol UdpRead");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, Arp) == 96, "OrvaleProtocol Arp");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, SetIpFilter) == 104, "OrvaleProtocol SetIpFilter");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, SetStationIp) == 112, "OrvaleProtocol SetStationIp");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, SetPackets) == 120, "OrvaleProtocol SetPackets");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, BisVerify) == 128, "OrvaleProtocol BisVerify");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, GetDhcpAck) == 136, "OrvaleProtocol GetDhcpAck");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, GetWirlReply) == 144, "OrvaleProtocol GetWirlReply");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, Mode) == 152, "OrvaleProtocol Mode");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, Packets) == 160, "OrvaleProtocol Packets");
EFI_STATIC_ASSERT(offsetof(OrvaleProtocol, State) == 168, "OrvaleProtocol State");
EFI_STATIC_ASSERT(sizeof(OrvaleProtocol) == 176, "OrvaleProtocol");

EFI_EXTERN_C_END

#endif
