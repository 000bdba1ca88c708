/* System table, boot services and runtime services, members in the order the
   UEFI specification gives them. */
#ifndef ORVALE_EFI_SYSTEM_H
#define ORVALE_EFI_SYSTEM_H

#include "efi_types.h"

EFI_EXTERN_C_BEGIN

typedef struct {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
} EFI_TABLE_HEADER;
EFI_STATIC_ASSERT(sizeof(EFI_TABLE_HEADER) == 24, "EFI_TABLE_HEADER");

typedef struct {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];
} EFI_DEVICE_PATH_PROTOCOL;

typedef struct {
  UINT32 Type;
  UINT32 Pad;
  EFI_PHYSICAL_ADDRESS PhysicalStart;
  EFI_VIRTUAL_ADDRESS VirtualStart;
  UINT64 NumberOfPages;
  UINT64 Attribute;
} EFI_MEMORY_DESCRIPTOR;

typedef struct {
  EFI_HANDLE AgentHandle;
  EFI_HANDLE ControllerHandle;
  UINT32 Attributes;
  UINT32 OpenCount;
} EFI_OPEN_PROTOCOL_INFORMATION_ENTRY;
EFI_STATIC_ASSERT(sizeof(EFI_OPEN_PROTOCOL_INFORMATION_ENTRY) == 24, "open protocol information entry");

typedef struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;
typedef struct {
  INT32 MaxMode;
  INT32 Mode;
  INT32 Attribute;
  INT32 CursorColumn;
  INT32 CursorRow;
  BOOLEAN CursorVisible;
} SIMPLE_TEXT_OUTPUT_MODE;
struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
  EFI_STATUS(EFIAPI *Reset)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, BOOLEAN ExtendedVerification);
  EFI_STATUS(EFIAPI *OutputString)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, CHAR16 *String);
  EFI_STATUS(EFIAPI *TestString)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, CHAR16 *String);
  EFI_STATUS(EFIAPI *QueryMode)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN ModeNumber, UINTN *Columns, UINTN *Rows);
  EFI_STATUS(EFIAPI *SetMode)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN ModeNumber);
  EFI_STATUS(EFIAPI *SetAttribute)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN Attribute);
  EFI_STATUS(EFIAPI *ClearScreen)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This);
  EFI_STATUS(EFIAPI *SetCursorPosition)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN Column, UINTN Row);
  EFI_STATUS(EFIAPI *EnableCursor)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, BOOLEAN Visible);
  SIMPLE_TEXT_OUTPUT_MODE *Mode;
};

typedef struct {
  EFI_TABLE_HEADER Hdr;
  /* Task priority */
  EFI_TPL(EFIAPI *RaiseTPL)(EFI_TPL NewTpl);
  VOID(EFIAPI *RestoreTPL)(EFI_TPL OldTpl);
  /* Memory */
  EFI_STATUS(EFIAPI *AllocatePages)(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType, UINTN Pages,
                                    EFI_PHYSICAL_ADDRESS *Memory);
  EFI_STATUS(EFIAPI *FreePages)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
  EFI_STATUS(EFIAPI *GetMemoryMap)(UINTN *MemoryMapSize, EFI_MEMORY_DESCRIPTOR *MemoryMap, UINTN *MapKey,
                                   UINTN *DescriptorSize, UINT32 *DescriptorVersion);
  EFI_STATUS(EFIAPI *AllocatePool)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
  EFI_STATUS(EFIAPI *FreePool)(VOID *Buffer);
  /* Events and timers */
  EFI_STATUS(EFIAPI *CreateEvent)(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                  VOID *NotifyContext, EFI_EVENT *Event);
  EFI_STATUS(EFIAPI *SetTimer)(EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime);
  EFI_STATUS(EFIAPI *WaitForEvent)(UINTN NumberOfEvents, EFI_EVENT *Event, UINTN *Index);
  EFI_STATUS(EFIAPI *SignalEvent)(EFI_EVENT Event);
  EFI_STATUS(EFIAPI *CloseEvent)(EFI_EVENT Event);
  EFI_STATUS(EFIAPI *CheckEvent)(EFI_EVENT Event);
  /* Protocol handlers */
  EFI_STATUS(EFIAPI *InstallProtocolInterface)(EFI_HANDLE *Handle, EFI_GUID *Protocol,
                                               EFI_INTERFACE_TYPE InterfaceType, VOID *Interface);
  EFI_STATUS(EFIAPI *ReinstallProtocolInterface)(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID *OldInterface,
                                                 VOID *NewInterface);
  EFI_STATUS(EFIAPI *UninstallProtocolInterface)(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID *Interface);
  EFI_STATUS(EFIAPI *HandleProtocol)(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface);
  VOID *Reserved;
  EFI_STATUS(EFIAPI *RegisterProtocolNotify)(EFI_GUID *Protocol, EFI_EVENT Event, VOID **Registration);
  EFI_STATUS(EFIAPI *LocateHandle)(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol, VOID *SearchKey,
                                   UINTN *BufferSize, EFI_HANDLE *Buffer);
  EFI_STATUS(EFIAPI *LocateDevicePath)(EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                       EFI_HANDLE *Device);
  EFI_STATUS(EFIAPI *InstallConfigurationTable)(EFI_GUID *Guid, VOID *Table);
  /* Images */
  EFI_STATUS(EFIAPI *LoadImage)(BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle,
                                EFI_DEVICE_PATH_PROTOCOL *DevicePath, VOID *SourceBuffer, UINTN SourceSize,
                                EFI_HANDLE *ImageHandle);
  EFI_STATUS(EFIAPI *StartImage)(EFI_HANDLE ImageHandle, UINTN *ExitDataSize, CHAR16 **ExitData);
  EFI_STATUS(EFIAPI *Exit)(EFI_HANDLE ImageHandle, EFI_STATUS ExitStatus, UINTN ExitDataSize, CHAR16 *ExitData);
  EFI_STATUS(EFIAPI *UnloadImage)(EFI_HANDLE ImageHandle);
  EFI_STATUS(EFIAPI *ExitBootServices)(EFI_HANDLE ImageHandle, UINTN MapKey);
  /* Miscellaneous */
  EFI_STATUS(EFIAPI *GetNextMonotonicCount)(UINT64 *Count);
  EFI_STATUS(EFIAPI *Stall)(UINTN Microseconds);
  EFI_STATUS(EFIAPI *SetWatchdogTimer)(UINTN Timeout, UINT64 WatchdogCode, UINTN DataSize, CHAR16 *WatchdogData);
  /* Driver support */
  EFI_STATUS(EFIAPI *ConnectController)(EFI_HANDLE ControllerHandle, EFI_HANDLE *DriverImageHandle,
                                        EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath, BOOLEAN Recursive);
  EFI_STATUS(EFIAPI *DisconnectController)(EFI_HANDLE ControllerHandle, EFI_HANDLE DriverImageHandle,
                                           EFI_HANDLE ChildHandle);
  /* Open and close protocol */
  EFI_STATUS(EFIAPI *OpenProtocol)(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface, EFI_HANDLE AgentHandle,
                                   EFI_HANDLE ControllerHandle, UINT32 Attributes);
  EFI_STATUS(EFIAPI *CloseProtocol)(EFI_HANDLE Handle, EFI_GUID *Protocol, EFI_HANDLE AgentHandle,
                                    EFI_HANDLE ControllerHandle);
  EFI_STATUS(EFIAPI *OpenProtocolInformation)(EFI_HANDLE Handle, EFI_GUID *Protocol,
                                              EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **EntryBuffer,
                                              UINTN *EntryCount);
  /* Library */
  EFI_STATUS(EFIAPI *ProtocolsPerHandle)(EFI_HANDLE Handle, EFI_GUID ***ProtocolBuffer, UINTN *ProtocolBufferCount);
  EFI_STATUS(EFIAPI *LocateHandleBuffer)(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol, VOID *SearchKey,
                                         UINTN *NoHandles, EFI_HANDLE **Buffer);
  EFI_STATUS(EFIAPI *LocateProtocol)(EFI_GUID *Protocol, VOID *Registration, VOID **Interface);
  EFI_STATUS(EFIAPI *InstallMultipleProtocolInterfaces)(EFI_HANDLE *Handle, ...);
  EFI_STATUS(EFIAPI *UninstallMultipleProtocolInterfaces)(EFI_HANDLE Handle, ...);
  /* CRC */
  EFI_STATUS(EFIAPI *CalculateCrc32)(VOID *Data, UINTN DataSize, UINT32 *Crc32);
  /* Memory utilities */
  VOID(EFIAPI *CopyMem)(VOID *Destination, VOID *Source, UINTN Length);
  VOID(EFIAPI *SetMem)(VOID *Buffer, UINTN Size, UINT8 Value);
  EFI_STATUS(EFIAPI *CreateEventEx)(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                    const VOID *NotifyContext, const EFI_GUID *EventGroup, EFI_EVENT *Event);
} EFI_BOOT_SERVICES;
EFI_STATIC_ASSERT(offsetof(EFI_BOOT_SERVICES, RaiseTPL) == 24, "boot services RaiseTPL");
EFI_STATIC_ASSERT(offsetof(EFI_BOOT_SERVICES, AllocatePool) == 64, "boot services AllocatePool");
EFI_STATIC_ASSERT(offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface) == 128, "boot services install");
EFI_STATIC_ASSERT(offsetof(EFI_BOOT_SERVICES, LoadImage) == 200, "boot services LoadImage");
EFI_STATIC_ASSERT(offsetof(EFI_BOOT_SERVICES, Stall) == 248, "boot services Stall");
EFI_STATIC_ASSERT(offsetof(EFI_BOOT_SERVICES, OpenProtocol) == 280, "boot services OpenProtocol");
EFI_STATIC_ASSERT(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 320, "boot services LocateProtocol");
EFI_STATIC_ASSERT(offsetof(EFI_BOOT_SERVICES, CopyMem) == 352, "boot services CopyMem");
EFI_STATIC_ASSERT(sizeof(EFI_BOOT_SERVICES) == 376, "EFI_BOOT_SERVICES");

typedef struct {
  EFI_TABLE_HEADER Hdr;
  EFI_STATUS(EFIAPI *GetTime)(EFI_TIME *Time, EFI_TIME_CAPABILITIES *Capabilities);
  EFI_STATUS(EFIAPI *SetTime)(EFI_TIME *Time);
  EFI_STATUS(EFIAPI *GetWakeupTime)(BOOLEAN *Enabled, BOOLEAN *Pending, EFI_TIME *Time);
  EFI_STATUS(EFIAPI *SetWakeupTime)(BOOLEAN Enable, EFI_TIME *Time);
  EFI_STATUS(EFIAPI *SetVirtualAddressMap)(UINTN MemoryMapSize, UINTN DescriptorSize, UINT32 DescriptorVersion,
                                           EFI_MEMORY_DESCRIPTOR *VirtualMap);
  EFI_STATUS(EFIAPI *ConvertPointer)(UINTN DebugDisposition, VOID **Address);
  EFI_STATUS(EFIAPI *GetVariable)(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 *Attributes, UINTN *DataSize,
                                  VOID *Data);
  EFI_STATUS(EFIAPI *GetNextVariableName)(UINTN *VariableNameSize, CHAR16 *VariableName, EFI_GUID *VendorGuid);
  EFI_STATUS(EFIAPI *SetVariable)(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 Attributes, UINTN DataSize,
                                  VOID *Data);
  EFI_STATUS(EFIAPI *GetNextHighMonotonicCount)(UINT32 *HighCount);
  VOID(EFIAPI *ResetSystem)(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize, VOID *ResetData);
  EFI_STATUS(EFIAPI *UpdateCapsule)(VOID **CapsuleHeaderArray, UINTN CapsuleCount,
                                    EFI_PHYSICAL_ADDRESS ScatterGatherList);
  EFI_STATUS(EFIAPI *QueryCapsuleCapabilities)(VOID **CapsuleHeaderArray, UINTN CapsuleCount,
                                               UINT64 *MaximumCapsuleSize, EFI_RESET_TYPE *ResetType);
  EFI_STATUS(EFIAPI *QueryVariableInfo)(UINT32 Attributes, UINT64 *MaximumVariableStorageSize,
                                        UINT64 *RemainingVariableStorageSize, UINT64 *MaximumVariableSize);
} EFI_RUNTIME_SERVICES;
EFI_STATIC_ASSERT(offsetof(EFI_RUNTIME_SERVICES, GetVariable) == 72, "runtime GetVariable");
EFI_STATIC_ASSERT(offsetof(EFI_RUNTIME_SERVICES, ResetSystem) == 104, "runtime ResetSystem");

typedef struct {
  EFI_GUID VendorGuid;
  VOID *VendorTable;
} EFI_CONFIGURATION_TABLE;

typedef struct {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  VOID *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut;
  EFI_HANDLE StandardErrorHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *StdErr;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
} EFI_SYSTEM_TABLE;
EFI_STATIC_ASSERT(offsetof(EFI_SYSTEM_TABLE, BootServices) == 96, "system table BootServices");
EFI_STATIC_ASSERT(sizeof(EFI_SYSTEM_TABLE) == 120, "EFI_SYSTEM_TABLE");

typedef EFI_STATUS(EFIAPI *EFI_IMAGE_ENTRY_POINT)(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

EFI_EXTERN_C_END

#endif
