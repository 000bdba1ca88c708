/* What a UEFI application needs beyond the driver's declarations: the loaded
   image, simple file system and file protocols, file information, and the
   leading members of the PCI I/O protocol (enough to read configuration
   space). Members in the order the UEFI specification gives them. */
#ifndef ORVALE_EFI_APP_H
#define ORVALE_EFI_APP_H

#include "efi_system.h"

EFI_EXTERN_C_BEGIN

/* ---- Loaded image ---- */

#define EFI_LOADED_IMAGE_PROTOCOL_GUID \
  { 0x5B1B31A1, 0x9562, 0x11D2, { 0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B } }

typedef struct {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  EFI_STATUS(EFIAPI *Unload)(EFI_HANDLE ImageHandle);
} EFI_LOADED_IMAGE_PROTOCOL;
EFI_STATIC_ASSERT(offsetof(EFI_LOADED_IMAGE_PROTOCOL, DeviceHandle) == 24, "loaded image DeviceHandle");
EFI_STATIC_ASSERT(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageBase) == 64, "loaded image ImageBase");
EFI_STATIC_ASSERT(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageCodeType) == 80, "loaded image ImageCodeType");
EFI_STATIC_ASSERT(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageDataType) == 84, "loaded image ImageDataType");
EFI_STATIC_ASSERT(sizeof(EFI_LOADED_IMAGE_PROTOCOL) == 96, "EFI_LOADED_IMAGE_PROTOCOL");

/* ---- Simple file system and files ---- */

#define EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID \
  { 0x964E5B22, 0x6459, 0x11D2, { 0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B } }
#define EFI_FILE_INFO_ID \
  { 0x09576E92, 0x6D3F, 0x11D2, { 0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B } }

#define EFI_FILE_MODE_READ 0x0000000000000001ull

typedef struct EFI_FILE_PROTOCOL EFI_FILE_PROTOCOL;
struct EFI_FILE_PROTOCOL {
  UINT64 Revision;
  EFI_STATUS(EFIAPI *Open)(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle, CHAR16 *FileName,
                           UINT64 OpenMode, UINT64 Attributes);
  EFI_STATUS(EFIAPI *Close)(EFI_FILE_PROTOCOL *This);
  EFI_STATUS(EFIAPI *Delete)(EFI_FILE_PROTOCOL *This);
  EFI_STATUS(EFIAPI *Read)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer);
  EFI_STATUS(EFIAPI *Write)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer);
  EFI_STATUS(EFIAPI *GetPosition)(EFI_FILE_PROTOCOL *This, UINT64 *Position);
  EFI_STATUS(EFIAPI *SetPosition)(EFI_FILE_PROTOCOL *This, UINT64 Position);
  EFI_STATUS(EFIAPI *GetInfo)(EFI_FILE_PROTOCOL *This, EFI_GUID *InformationType, UINTN *BufferSize,
                              VOID *Buffer);
  EFI_STATUS(EFIAPI *SetInfo)(EFI_FILE_PROTOCOL *This, EFI_GUID *InformationType, UINTN BufferSize,
                              VOID *Buffer);
  EFI_STATUS(EFIAPI *Flush)(EFI_FILE_PROTOCOL *This);
  /* Revision 2 adds OpenEx, ReadEx, WriteEx and FlushEx; not used. */
};
EFI_STATIC_ASSERT(offsetof(EFI_FILE_PROTOCOL, Read) == 32, "file Read");
EFI_STATIC_ASSERT(offsetof(EFI_FILE_PROTOCOL, GetInfo) == 64, "file GetInfo");
EFI_STATIC_ASSERT(sizeof(EFI_FILE_PROTOCOL) == 88, "EFI_FILE_PROTOCOL revision 1");

typedef struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL EFI_SIMPLE_FILE_SYSTEM_PROTOCOL;
struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL {
  UINT64 Revision;
  EFI_STATUS(EFIAPI *OpenVolume)(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, EFI_FILE_PROTOCOL **Root);
};
EFI_STATIC_ASSERT(sizeof(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL) == 16, "EFI_SIMPLE_FILE_SYSTEM_PROTOCOL");

/* Fixed part of EFI_FILE_INFO; the NUL-terminated FileName follows at offset 80. */
typedef struct {
  UINT64 Size;
  UINT64 FileSize;
  UINT64 PhysicalSize;
  EFI_TIME CreateTime;
  EFI_TIME LastAccessTime;
  EFI_TIME ModificationTime;
  UINT64 Attribute;
} EFI_FILE_INFO;
EFI_STATIC_ASSERT(offsetof(EFI_FILE_INFO, FileSize) == 8, "file info FileSize");
EFI_STATIC_ASSERT(offsetof(EFI_FILE_INFO, Attribute) == 72, "file info Attribute");
EFI_STATIC_ASSERT(sizeof(EFI_FILE_INFO) == 80, "EFI_FILE_INFO fixed part");

/* ---- PCI I/O, leading members only: the table is only ever reached through
   the firmware's pointer, never allocated or copied. ---- */

#define EFI_PCI_IO_PROTOCOL_GUID \
  { 0x4CF5B200, 0x68B8, 0x4CA5, { 0x9E, 0xEC, 0xB2, 0x3E, 0x3F, 0x50, 0x02, 0x9A } }

typedef enum {
  EfiPciIoWidthUint8 = 0,
  EfiPciIoWidthUint16 = 1,
  EfiPciIoWidthUint32 = 2,
  EfiPciIoWidthUint64 = 3
} EFI_PCI_IO_PROTOCOL_WIDTH;

typedef struct EFI_PCI_IO_PROTOCOL EFI_PCI_IO_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_PCI_IO_PROTOCOL_CONFIG)(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                                     UINT32 Offset, UINTN Count, VOID *Buffer);
typedef struct {
  EFI_PCI_IO_PROTOCOL_CONFIG Read;
  EFI_PCI_IO_PROTOCOL_CONFIG Write;
} EFI_PCI_IO_PROTOCOL_CONFIG_ACCESS;
typedef struct {
  VOID *Read;
  VOID *Write;
} EFI_PCI_IO_PROTOCOL_ACCESS;
struct EFI_PCI_IO_PROTOCOL {
  VOID *PollMem;
  VOID *PollIo;
  EFI_PCI_IO_PROTOCOL_ACCESS Mem;
  EFI_PCI_IO_PROTOCOL_ACCESS Io;
  EFI_PCI_IO_PROTOCOL_CONFIG_ACCESS Pci;
};
EFI_STATIC_ASSERT(offsetof(EFI_PCI_IO_PROTOCOL, Pci) == 48, "PCI I/O Pci.Read");

/* Configuration space: revision, programming interface, subclass, base class. */
#define PCI_CLASS_CODE_OFFSET 0x08u
#define PCI_CLASS_NETWORK 0x02u

/* ---- Device paths and LoadFile2: how a loader hands a kernel its initrd ---- */

#define EFI_DEVICE_PATH_PROTOCOL_GUID \
  { 0x09576E91, 0x6D3F, 0x11D2, { 0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B } }
#define EFI_LOAD_FILE2_PROTOCOL_GUID \
  { 0x4006C0C1, 0xFCB3, 0x403E, { 0x99, 0x6D, 0x4A, 0x6C, 0x87, 0x24, 0xE0, 0x6D } }
/* The vendor media node a Linux EFI stub looks for its initrd under. */
#define LINUX_EFI_INITRD_MEDIA_GUID \
  { 0x5568E427, 0x68FC, 0x4F3D, { 0xAC, 0x74, 0xCA, 0x55, 0x52, 0x31, 0xCC, 0x68 } }

#define MEDIA_DEVICE_PATH 0x04
#define MEDIA_VENDOR_DP 0x03
#define END_DEVICE_PATH_TYPE 0x7F
#define END_ENTIRE_DEVICE_PATH_SUBTYPE 0xFF

#pragma pack(push, 1)
typedef struct {
  EFI_DEVICE_PATH_PROTOCOL Header;
  EFI_GUID Guid;
} VENDOR_DEVICE_PATH;
#pragma pack(pop)
EFI_STATIC_ASSERT(sizeof(VENDOR_DEVICE_PATH) == 20, "VENDOR_DEVICE_PATH");

typedef struct EFI_LOAD_FILE2_PROTOCOL EFI_LOAD_FILE2_PROTOCOL;
struct EFI_LOAD_FILE2_PROTOCOL {
  EFI_STATUS(EFIAPI *LoadFile)(EFI_LOAD_FILE2_PROTOCOL *This, EFI_DEVICE_PATH_PROTOCOL *FilePath,
                               BOOLEAN BootPolicy, UINTN *BufferSize, VOID *Buffer);
};
EFI_STATIC_ASSERT(sizeof(EFI_LOAD_FILE2_PROTOCOL) == 8, "EFI_LOAD_FILE2_PROTOCOL");

EFI_EXTERN_C_END

#endif
