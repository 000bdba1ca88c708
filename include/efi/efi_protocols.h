/* The UEFI protocols and records the driver uses: driver model, managed
   network, simple network mode, BIS, data hub, network interface identifier,
   SMBIOS entry point and the PXE base-code record types. */
#ifndef ORVALE_EFI_PROTOCOLS_H
#define ORVALE_EFI_PROTOCOLS_H

#include "efi_system.h"

EFI_EXTERN_C_BEGIN

/* ---- Driver model ---- */

#define EFI_DRIVER_BINDING_PROTOCOL_GUID \
  { 0x18A031AB, 0xB443, 0x4D1A, { 0xA5, 0xC0, 0x0C, 0x09, 0x26, 0x1E, 0x9F, 0x71 } }
#define EFI_COMPONENT_NAME_PROTOCOL_GUID \
  { 0x107A772C, 0xD5E1, 0x11D4, { 0x9A, 0x46, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D } }

typedef struct EFI_DRIVER_BINDING_PROTOCOL EFI_DRIVER_BINDING_PROTOCOL;
struct EFI_DRIVER_BINDING_PROTOCOL {
  EFI_STATUS(EFIAPI *Supported)(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                                EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath);
  EFI_STATUS(EFIAPI *Start)(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                            EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath);
  EFI_STATUS(EFIAPI *Stop)(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle, UINTN NumberOfChildren,
                           EFI_HANDLE *ChildHandleBuffer);
  UINT32 Version;
  EFI_HANDLE ImageHandle;
  EFI_HANDLE DriverBindingHandle;
};
EFI_STATIC_ASSERT(sizeof(EFI_DRIVER_BINDING_PROTOCOL) == 48, "driver binding");

typedef struct EFI_COMPONENT_NAME_PROTOCOL EFI_COMPONENT_NAME_PROTOCOL;
struct EFI_COMPONENT_NAME_PROTOCOL {
  EFI_STATUS(EFIAPI *GetDriverName)(EFI_COMPONENT_NAME_PROTOCOL *This, CHAR8 *Language, CHAR16 **DriverName);
  EFI_STATUS(EFIAPI *GetControllerName)(EFI_COMPONENT_NAME_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                                        EFI_HANDLE ChildHandle, CHAR8 *Language, CHAR16 **ControllerName);
  CHAR8 *SupportedLanguages;
};

typedef struct EFI_SERVICE_BINDING_PROTOCOL EFI_SERVICE_BINDING_PROTOCOL;
struct EFI_SERVICE_BINDING_PROTOCOL {
  EFI_STATUS(EFIAPI *CreateChild)(EFI_SERVICE_BINDING_PROTOCOL *This, EFI_HANDLE *ChildHandle);
  EFI_STATUS(EFIAPI *DestroyChild)(EFI_SERVICE_BINDING_PROTOCOL *This, EFI_HANDLE ChildHandle);
};

/* ---- Simple network mode and managed network ---- */

#define MAX_MCAST_FILTER_CNT 16

typedef struct {
  UINT32 State;
  UINT32 HwAddressSize;
  UINT32 MediaHeaderSize;
  UINT32 MaxPacketSize;
  UINT32 NvRamSize;
  UINT32 NvRamAccessSize;
  UINT32 ReceiveFilterMask;
  UINT32 ReceiveFilterSetting;
  UINT32 MaxMCastFilterCount;
  UINT32 MCastFilterCount;
  EFI_MAC_ADDRESS MCastFilter[MAX_MCAST_FILTER_CNT];
  EFI_MAC_ADDRESS CurrentAddress;
  EFI_MAC_ADDRESS BroadcastAddress;
  EFI_MAC_ADDRESS PermanentAddress;
  BOOLEAN IfType;
  BOOLEAN MacAddressChangeable;
  BOOLEAN MultipleTxSupported;
  BOOLEAN MediaPresentSupported;
  BOOLEAN MediaPresent;
} EFI_SIMPLE_NETWORK_MODE;
EFI_STATIC_ASSERT(offsetof(EFI_SIMPLE_NETWORK_MODE, CurrentAddress) == 552, "SNP mode CurrentAddress");
EFI_STATIC_ASSERT(offsetof(EFI_SIMPLE_NETWORK_MODE, BroadcastAddress) == 584, "SNP mode BroadcastAddress");
EFI_STATIC_ASSERT(offsetof(EFI_SIMPLE_NETWORK_MODE, PermanentAddress) == 616, "SNP mode PermanentAddress");
EFI_STATIC_ASSERT(offsetof(EFI_SIMPLE_NETWORK_MODE, IfType) == 648, "SNP mode IfType");
EFI_STATIC_ASSERT(sizeof(EFI_SIMPLE_NETWORK_MODE) == 656, "EFI_SIMPLE_NETWORK_MODE");

#define EFI_MANAGED_NETWORK_SERVICE_BINDING_PROTOCOL_GUID \
  { 0xF36FF770, 0xA7E1, 0x42CF, { 0x9E, 0xD2, 0x56, 0xF0, 0xF2, 0x71, 0xF4, 0x4C } }
#define EFI_MANAGED_NETWORK_PROTOCOL_GUID \
  { 0x7AB33A91, 0xACE5, 0x4326, { 0xB5, 0x72, 0xE7, 0xEE, 0x33, 0xD3, 0x9F, 0x16 } }

typedef struct {
  UINT32 ReceivedQueueTimeoutValue;
  UINT32 TransmitQueueTimeoutValue;
  UINT16 ProtocolTypeFilter;
  BOOLEAN EnableUnicastReceive;
  BOOLEAN EnableMulticastReceive;
  BOOLEAN EnableBroadcastReceive;
  BOOLEAN EnablePromiscuousReceive;
  BOOLEAN FlushQueuesOnReset;
  BOOLEAN EnableReceiveTimestamps;
  BOOLEAN DisableBackgroundPolling;
} EFI_MANAGED_NETWORK_CONFIG_DATA;
EFI_STATIC_ASSERT(sizeof(EFI_MANAGED_NETWORK_CONFIG_DATA) == 20, "MNP config data");

typedef struct {
  EFI_TIME Timestamp;
  EFI_EVENT RecycleEvent;
  UINT32 PacketLength;
  UINT32 HeaderLength;
  UINT32 AddressLength;
  UINT32 DataLength;
  BOOLEAN BroadcastFlag;
  BOOLEAN MulticastFlag;
  BOOLEAN PromiscuousFlag;
  UINT16 ProtocolType;
  VOID *DestinationAddress;
  VOID *SourceAddress;
  VOID *MediaHeader;
  VOID *PacketData;
} EFI_MANAGED_NETWORK_RECEIVE_DATA;
EFI_STATIC_ASSERT(offsetof(EFI_MANAGED_NETWORK_RECEIVE_DATA, PacketLength) == 24, "MNP rx PacketLength");
EFI_STATIC_ASSERT(offsetof(EFI_MANAGED_NETWORK_RECEIVE_DATA, ProtocolType) == 44, "MNP rx ProtocolType");
EFI_STATIC_ASSERT(sizeof(EFI_MANAGED_NETWORK_RECEIVE_DATA) == 80, "MNP receive data");

typedef struct {
  UINT32 FragmentLength;
  VOID *FragmentBuffer;
} EFI_MANAGED_NETWORK_FRAGMENT_DATA;
EFI_STATIC_ASSERT(sizeof(EFI_MANAGED_NETWORK_FRAGMENT_DATA) == 16, "MNP fragment");

typedef struct {
  EFI_MAC_ADDRESS *DestinationAddress;
  EFI_MAC_ADDRESS *SourceAddress;
  UINT16 ProtocolType;
  UINT32 DataLength;
  UINT16 HeaderLength;
  UINT16 FragmentCount;
  EFI_MANAGED_NETWORK_FRAGMENT_DATA FragmentTable[1];
} EFI_MANAGED_NETWORK_TRANSMIT_DATA;
EFI_STATIC_ASSERT(offsetof(EFI_MANAGED_NETWORK_TRANSMIT_DATA, DataLength) == 20, "MNP tx DataLength");
EFI_STATIC_ASSERT(offsetof(EFI_MANAGED_NETWORK_TRANSMIT_DATA, FragmentCount) == 26, "MNP tx FragmentCount");
EFI_STATIC_ASSERT(offsetof(EFI_MANAGED_NETWORK_TRANSMIT_DATA, FragmentTable) == 32, "MNP tx FragmentTable");

typedef struct {
  EFI_EVENT Event;
  EFI_STATUS Status;
  union {
    EFI_MANAGED_NETWORK_RECEIVE_DATA *RxData;
    EFI_MANAGED_NETWORK_TRANSMIT_DATA *TxData;
  } Packet;
} EFI_MANAGED_NETWORK_COMPLETION_TOKEN;
EFI_STATIC_ASSERT(sizeof(EFI_MANAGED_NETWORK_COMPLETION_TOKEN) == 24, "MNP token");

/* IPv4 mode data is never used by the driver; GetModeData accepts a pointer. */
typedef struct EFI_MANAGED_NETWORK_PROTOCOL EFI_MANAGED_NETWORK_PROTOCOL;
struct EFI_MANAGED_NETWORK_PROTOCOL {
  EFI_STATUS(EFIAPI *GetModeData)(EFI_MANAGED_NETWORK_PROTOCOL *This, EFI_MANAGED_NETWORK_CONFIG_DATA *MnpConfigData,
                                  EFI_SIMPLE_NETWORK_MODE *SnpModeData);
  EFI_STATUS(EFIAPI *Configure)(EFI_MANAGED_NETWORK_PROTOCOL *This, EFI_MANAGED_NETWORK_CONFIG_DATA *MnpConfigData);
  EFI_STATUS(EFIAPI *McastIpToMac)(EFI_MANAGED_NETWORK_PROTOCOL *This, BOOLEAN Ipv6Flag, EFI_IP_ADDRESS *IpAddress,
                                   EFI_MAC_ADDRESS *MacAddress);
  EFI_STATUS(EFIAPI *Groups)(EFI_MANAGED_NETWORK_PROTOCOL *This, BOOLEAN JoinFlag, EFI_MAC_ADDRESS *MacAddress);
  EFI_STATUS(EFIAPI *Transmit)(EFI_MANAGED_NETWORK_PROTOCOL *This, EFI_MANAGED_NETWORK_COMPLETION_TOKEN *Token);
  EFI_STATUS(EFIAPI *Receive)(EFI_MANAGED_NETWORK_PROTOCOL *This, EFI_MANAGED_NETWORK_COMPLETION_TOKEN *Token);
  EFI_STATUS(EFIAPI *Cancel)(EFI_MANAGED_NETWORK_PROTOCOL *This, EFI_MANAGED_NETWORK_COMPLETION_TOKEN *Token);
  EFI_STATUS(EFIAPI *Poll)(EFI_MANAGED_NETWORK_PROTOCOL *This);
};

#define EFI_SIMPLE_NETWORK_PROTOCOL_GUID \
  { 0xA19832B9, 0xAC25, 0x11D3, { 0x9A, 0x2D, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D } }

/* ---- Boot Integrity Services ---- */

#define EFI_BIS_PROTOCOL_GUID \
  { 0x0B64AAB0, 0x5429, 0x11D4, { 0x98, 0x16, 0x00, 0xA0, 0xC9, 0x1F, 0xAD, 0xCF } }

typedef VOID *BIS_APPLICATION_HANDLE;
typedef struct {
  UINT32 Major;
  UINT32 Minor;
} EFI_BIS_VERSION;
typedef struct {
  UINT32 Length;
  UINT8 *Data;
} EFI_BIS_DATA;
EFI_STATIC_ASSERT(sizeof(EFI_BIS_DATA) == 16, "EFI_BIS_DATA");

typedef struct EFI_BIS_PROTOCOL EFI_BIS_PROTOCOL;
struct EFI_BIS_PROTOCOL {
  UINT64 Revision;
  EFI_STATUS(EFIAPI *Initialize)(EFI_BIS_PROTOCOL *This, BIS_APPLICATION_HANDLE *AppHandle,
                                 EFI_BIS_VERSION *InterfaceVersion, EFI_BIS_DATA *TargetAddress);
  EFI_STATUS(EFIAPI *Shutdown)(BIS_APPLICATION_HANDLE AppHandle);
  EFI_STATUS(EFIAPI *Free)(BIS_APPLICATION_HANDLE AppHandle, EFI_BIS_DATA *ToFree);
  EFI_STATUS(EFIAPI *GetBootObjectAuthorizationCertificate)(BIS_APPLICATION_HANDLE AppHandle,
                                                            EFI_BIS_DATA **Certificate);
  EFI_STATUS(EFIAPI *GetBootObjectAuthorizationCheckFlag)(BIS_APPLICATION_HANDLE AppHandle,
                                                          BOOLEAN *CheckIsRequired);
  EFI_STATUS(EFIAPI *GetBootObjectAuthorizationUpdateToken)(BIS_APPLICATION_HANDLE AppHandle,
                                                            EFI_BIS_DATA **UpdateToken);
  EFI_STATUS(EFIAPI *GetSignatureInfo)(BIS_APPLICATION_HANDLE AppHandle, EFI_BIS_DATA **SignatureInfo);
  EFI_STATUS(EFIAPI *UpdateBootObjectAuthorization)(BIS_APPLICATION_HANDLE AppHandle,
                                                    EFI_BIS_DATA *RequestCredential, EFI_BIS_DATA **NewUpdateToken);
  EFI_STATUS(EFIAPI *VerifyBootObject)(BIS_APPLICATION_HANDLE AppHandle, EFI_BIS_DATA *Credentials,
                                       EFI_BIS_DATA *DataObject, BOOLEAN *IsVerified);
  EFI_STATUS(EFIAPI *VerifyObjectWithCredential)(BIS_APPLICATION_HANDLE AppHandle, EFI_BIS_DATA *Credentials,
                                                 EFI_BIS_DATA *DataObject, EFI_BIS_DATA *SectionName,
                                                 EFI_BIS_DATA *AuthorityCertificate, BOOLEAN *IsVerified);
};
EFI_STATIC_ASSERT(sizeof(EFI_BIS_PROTOCOL) == 88, "EFI_BIS_PROTOCOL");

/* ---- Data hub ---- */

#define EFI_DATA_HUB_PROTOCOL_GUID \
  { 0xAE80D021, 0x618E, 0x11D4, { 0xBC, 0xD7, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81 } }

typedef struct {
  UINT16 Version;
  UINT16 HeaderSize;
  UINT32 RecordSize;
  EFI_GUID DataRecordGuid;
  EFI_GUID ProducerName;
  UINT64 DataRecordClass;
  EFI_TIME LogTime;
  UINT64 LogMonotonicCount;
} EFI_DATA_RECORD_HEADER;
EFI_STATIC_ASSERT(offsetof(EFI_DATA_RECORD_HEADER, DataRecordGuid) == 8, "data record guid");
EFI_STATIC_ASSERT(offsetof(EFI_DATA_RECORD_HEADER, ProducerName) == 24, "data record producer");
EFI_STATIC_ASSERT(sizeof(EFI_DATA_RECORD_HEADER) == 72, "EFI_DATA_RECORD_HEADER");

typedef struct EFI_DATA_HUB_PROTOCOL EFI_DATA_HUB_PROTOCOL;
struct EFI_DATA_HUB_PROTOCOL {
  EFI_STATUS(EFIAPI *LogData)(EFI_DATA_HUB_PROTOCOL *This, EFI_GUID *DataRecordGuid, EFI_GUID *ProducerName,
                              UINT64 DataRecordClass, VOID *RawData, UINT32 RawDataSize);
  EFI_STATUS(EFIAPI *GetNextRecord)(EFI_DATA_HUB_PROTOCOL *This, UINT64 *MonotonicCount, EFI_EVENT *FilterDriver,
                                    EFI_DATA_RECORD_HEADER **Record);
  EFI_STATUS(EFIAPI *RegisterFilterDriver)(EFI_DATA_HUB_PROTOCOL *This, EFI_EVENT FilterEvent, EFI_TPL FilterTpl,
                                           UINT64 FilterClass, EFI_GUID *FilterDataRecordGuid);
  EFI_STATUS(EFIAPI *UnregisterFilterDriver)(EFI_DATA_HUB_PROTOCOL *This, EFI_EVENT FilterEvent);
};

/* ---- Network interface identifier ---- */

#define EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL_GUID_31 \
  { 0x1ACED566, 0x76ED, 0x4218, { 0xBC, 0x81, 0x76, 0x7F, 0x1F, 0x97, 0x7A, 0x89 } }

typedef struct {
  UINT64 Revision;
  UINT64 Id;
  UINT64 ImageAddr;
  UINT32 ImageSize;
  CHAR8 StringId[4];
  UINT8 Type;
  UINT8 MajorVer;
  UINT8 MinorVer;
  BOOLEAN Ipv6Supported;
  UINT16 IfNum;
} EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL;
EFI_STATIC_ASSERT(offsetof(EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL, StringId) == 28, "NII StringId");
EFI_STATIC_ASSERT(offsetof(EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL, Type) == 32, "NII Type");

/* ---- SMBIOS ---- */

#define SMBIOS_TABLE_GUID \
  { 0xEB9D2D31, 0x2D88, 0x11D3, { 0x9A, 0x16, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D } }

#pragma pack(push, 1)
typedef struct {
  UINT8 AnchorString[4];
  UINT8 EntryPointStructureChecksum;
  UINT8 EntryPointLength;
  UINT8 MajorVersion;
  UINT8 MinorVersion;
  UINT16 MaxStructureSize;
  UINT8 EntryPointRevision;
  UINT8 FormattedArea[5];
  UINT8 IntermediateAnchorString[5];
  UINT8 IntermediateChecksum;
  UINT16 TableLength;
  UINT32 TableAddress;
  UINT16 NumberOfSmbiosStructures;
  UINT8 SmbiosBcdRevision;
} SMBIOS_TABLE_ENTRY_POINT;
#pragma pack(pop)
EFI_STATIC_ASSERT(sizeof(SMBIOS_TABLE_ENTRY_POINT) == 31, "SMBIOS 2.x entry point");
EFI_STATIC_ASSERT(offsetof(SMBIOS_TABLE_ENTRY_POINT, TableAddress) == 24, "SMBIOS table address");

/* ---- PXE base-code record types reused by the Orvale protocol ---- */

#define EFI_PXE_BASE_CODE_MAX_IPCNT 8

typedef struct {
  EFI_IP_ADDRESS IpAddr;
  EFI_MAC_ADDRESS MacAddr;
} EFI_PXE_BASE_CODE_ARP_ENTRY;
EFI_STATIC_ASSERT(sizeof(EFI_PXE_BASE_CODE_ARP_ENTRY) == 48, "ARP entry");

typedef struct {
  EFI_IP_ADDRESS IpAddr;
  EFI_IP_ADDRESS SubnetMask;
  EFI_IP_ADDRESS GwAddr;
} EFI_PXE_BASE_CODE_ROUTE_ENTRY;
EFI_STATIC_ASSERT(sizeof(EFI_PXE_BASE_CODE_ROUTE_ENTRY) == 48, "route entry");

typedef struct {
  UINT8 Type;
  UINT8 Code;
  UINT16 Checksum;
  union {
    UINT32 reserved;
    UINT32 Mtu;
    UINT32 Pointer;
    struct {
      UINT16 Identifier;
      UINT16 Sequence;
    } Echo;
  } u;
  UINT8 Data[494];
} EFI_PXE_BASE_CODE_ICMP_ERROR;
EFI_STATIC_ASSERT(sizeof(EFI_PXE_BASE_CODE_ICMP_ERROR) == 504, "ICMP error");

typedef struct {
  UINT8 ErrorCode;
  CHAR8 ErrorString[127];
} EFI_PXE_BASE_CODE_TFTP_ERROR;
EFI_STATIC_ASSERT(sizeof(EFI_PXE_BASE_CODE_TFTP_ERROR) == 128, "TFTP error");

#define EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP 0x01
#define EFI_PXE_BASE_CODE_IP_FILTER_BROADCAST 0x02
#define EFI_PXE_BASE_CODE_IP_FILTER_PROMISCUOUS 0x04
#define EFI_PXE_BASE_CODE_IP_FILTER_PROMISCUOUS_MULTICAST 0x08

typedef struct {
  UINT8 Filters;
  UINT8 IpCnt;
  UINT16 reserved;
  EFI_IP_ADDRESS IpList[EFI_PXE_BASE_CODE_MAX_IPCNT];
} EFI_PXE_BASE_CODE_IP_FILTER;
EFI_STATIC_ASSERT(sizeof(EFI_PXE_BASE_CODE_IP_FILTER) == 132, "IP filter");

#define EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_IP 0x0001
#define EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT 0x0002
#define EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_IP 0x0004
#define EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_PORT 0x0008
#define EFI_PXE_BASE_CODE_UDP_OPFLAGS_USE_FILTER 0x0010
#define EFI_PXE_BASE_CODE_UDP_OPFLAGS_MAY_FRAGMENT 0x0020

typedef UINT16 EFI_PXE_BASE_CODE_UDP_PORT;

typedef enum {
  EFI_PXE_BASE_CODE_TFTP_FIRST,
  EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE,
  EFI_PXE_BASE_CODE_TFTP_READ_FILE,
  EFI_PXE_BASE_CODE_TFTP_WRITE_FILE,
  EFI_PXE_BASE_CODE_TFTP_READ_DIRECTORY,
  EFI_PXE_BASE_CODE_MTFTP_GET_FILE_SIZE,
  EFI_PXE_BASE_CODE_MTFTP_READ_FILE,
  EFI_PXE_BASE_CODE_MTFTP_READ_DIRECTORY,
  EFI_PXE_BASE_CODE_MTFTP_LAST
} EFI_PXE_BASE_CODE_TFTP_OPCODE;

typedef struct {
  EFI_IP_ADDRESS MCastIp;
  EFI_PXE_BASE_CODE_UDP_PORT CPort;
  EFI_PXE_BASE_CODE_UDP_PORT SPort;
  UINT16 ListenTimeout;
  UINT16 TransmitTimeout;
} EFI_PXE_BASE_CODE_MTFTP_INFO;
EFI_STATIC_ASSERT(sizeof(EFI_PXE_BASE_CODE_MTFTP_INFO) == 24, "MTFTP info");

typedef struct {
  UINT16 Type;
  BOOLEAN AcceptAnyResponse;
  UINT8 Reserved;
  EFI_IP_ADDRESS IpAddr;
} EFI_PXE_BASE_CODE_SRVLIST;
EFI_STATIC_ASSERT(sizeof(EFI_PXE_BASE_CODE_SRVLIST) == 20, "server list entry");

typedef struct {
  BOOLEAN UseMCast;
  BOOLEAN UseBCast;
  BOOLEAN UseUCast;
  BOOLEAN MustUseList;
  EFI_IP_ADDRESS ServerMCastIp;
  UINT16 IpCnt;
  EFI_PXE_BASE_CODE_SRVLIST SrvList[1];
} EFI_PXE_BASE_CODE_DISCOVER_INFO;

EFI_EXTERN_C_END

#endif
