#include "volume.h"

namespace {

EFI_GUID kLoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
EFI_GUID kSimpleFileSystemGuid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
EFI_GUID kFileInfoGuid = EFI_FILE_INFO_ID;
EFI_GUID kDevicePathGuid = {0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

constexpr UINT8 kMediaDevicePath = 4;
constexpr UINT8 kMediaFilePath = 4;
constexpr UINT8 kEndDevicePath = 0x7F;
constexpr UINT8 kEndEntireDevicePath = 0xFF;
constexpr UINTN kNodeHeader = 4;
// A file path is a handful of nodes; the bound keeps a malformed one from walking memory.
constexpr UINTN kMaxPathNodes = 32;

UINTN CopyUnits(CHAR16 *To, UINTN At, UINTN Capacity, const CHAR16 *From) {
  for (; *From != 0; ++From) {
    if (At + 1 >= Capacity) return Capacity;
    To[At++] = *From;
  }
  To[At] = 0;
  return At;
}

}  // namespace

EFI_STATUS ReadVolumeFile(EFI_BOOT_SERVICES *Bs, EFI_HANDLE Self, const CHAR16 *Path, VOID **Buffer,
                          UINTN *Size, const char **Step) {
  *Buffer = nullptr;
  *Size = 0;
  *Step = "path";
  CHAR16 path[kVolumePathUnits];
  if (!JoinPath(u"", Path, path)) return EFI_INVALID_PARAMETER;
  *Step = "loaded image";
  EFI_LOADED_IMAGE_PROTOCOL *self = nullptr;
  EFI_STATUS status = Bs->HandleProtocol(Self, &kLoadedImageGuid, reinterpret_cast<VOID **>(&self));
  if (EFI_ERROR(status)) return status;
  *Step = "file system";
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *fs = nullptr;
  status = Bs->HandleProtocol(self->DeviceHandle, &kSimpleFileSystemGuid, reinterpret_cast<VOID **>(&fs));
  if (EFI_ERROR(status)) return status;
  *Step = "volume";
  EFI_FILE_PROTOCOL *root = nullptr;
  status = fs->OpenVolume(fs, &root);
  if (EFI_ERROR(status)) return status;
  *Step = "open";
  EFI_FILE_PROTOCOL *file = nullptr;
  status = root->Open(root, &file, path, EFI_FILE_MODE_READ, 0);
  root->Close(root);
  if (EFI_ERROR(status)) return status;

  *Step = "info";
  alignas(8) UINT8 info[sizeof(EFI_FILE_INFO) + kVolumePathUnits * sizeof(CHAR16)];
  UINTN infoSize = sizeof(info);
  status = file->GetInfo(file, &kFileInfoGuid, &infoSize, info);
  const UINT64 fileSize = reinterpret_cast<const EFI_FILE_INFO *>(info)->FileSize;
  if (!EFI_ERROR(status)) {
    *Step = "alloc";
    // AllocatePool of 0 bytes may hand back null; one byte keeps the contract simple.
    status = Bs->AllocatePool(EfiLoaderData, fileSize != 0 ? fileSize : 1, Buffer);
  }
  if (!EFI_ERROR(status)) {
    *Step = "read";
    UINTN got = fileSize;
    status = file->Read(file, &got, *Buffer);
    if (!EFI_ERROR(status) && got != fileSize) status = EFI_END_OF_FILE;
  }
  file->Close(file);
  if (EFI_ERROR(status)) {
    if (*Buffer != nullptr) Bs->FreePool(*Buffer);
    *Buffer = nullptr;
    return status;
  }
  *Size = fileSize;
  return EFI_SUCCESS;
}

EFI_DEVICE_PATH_PROTOCOL *VolumeFilePath(EFI_BOOT_SERVICES *Bs, EFI_HANDLE Self, const CHAR16 *Path) {
  EFI_LOADED_IMAGE_PROTOCOL *self = nullptr;
  if (EFI_ERROR(Bs->HandleProtocol(Self, &kLoadedImageGuid, reinterpret_cast<VOID **>(&self))) || self == nullptr) {
    return nullptr;
  }
  VOID *devicePath = nullptr;
  if (EFI_ERROR(Bs->HandleProtocol(self->DeviceHandle, &kDevicePathGuid, &devicePath)) || devicePath == nullptr) {
    return nullptr;
  }
  const auto *device = static_cast<const UINT8 *>(devicePath);
  // The volume's nodes up to its end node.
  UINTN deviceLength = 0;
  for (UINTN n = 0; n < kMaxPathNodes && device[deviceLength] != kEndDevicePath; ++n) {
    const UINTN nodeLength = device[deviceLength + 2] | (static_cast<UINTN>(device[deviceLength + 3]) << 8);
    if (nodeLength < kNodeHeader) return nullptr;
    deviceLength += nodeLength;
  }
  if (device[deviceLength] != kEndDevicePath) return nullptr;
  UINTN units = 0;
  while (units + 1 < kVolumePathUnits && Path[units] != 0) ++units;
  const UINTN fileNodeLength = kNodeHeader + (units + 1) * sizeof(CHAR16);
  UINT8 *out = nullptr;
  if (EFI_ERROR(Bs->AllocatePool(EfiLoaderData, deviceLength + fileNodeLength + kNodeHeader,
                                 reinterpret_cast<VOID **>(&out)))) {
    return nullptr;
  }
  for (UINTN i = 0; i < deviceLength; ++i) out[i] = device[i];
  UINT8 *node = out + deviceLength;
  node[0] = kMediaDevicePath;
  node[1] = kMediaFilePath;
  node[2] = static_cast<UINT8>(fileNodeLength);
  node[3] = static_cast<UINT8>(fileNodeLength >> 8);
  for (UINTN i = 0; i <= units; ++i) {
    const CHAR16 unit = i < units ? Path[i] : 0;
    node[kNodeHeader + 2 * i] = static_cast<UINT8>(unit);
    node[kNodeHeader + 2 * i + 1] = static_cast<UINT8>(unit >> 8);
  }
  UINT8 *end = node + fileNodeLength;
  end[0] = kEndDevicePath;
  end[1] = kEndEntireDevicePath;
  end[2] = kNodeHeader;
  end[3] = 0;
  return reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(out);
}

void OwnFolder(EFI_BOOT_SERVICES *Bs, EFI_HANDLE Self, CHAR16 (&Folder)[kVolumePathUnits]) {
  Folder[0] = u'\\';
  Folder[1] = 0;
  EFI_LOADED_IMAGE_PROTOCOL *self = nullptr;
  if (EFI_ERROR(Bs->HandleProtocol(Self, &kLoadedImageGuid, reinterpret_cast<VOID **>(&self))) ||
      self == nullptr || self->FilePath == nullptr) {
    return;
  }
  // The file path nodes, concatenated, name the file; everything up to the
  // last backslash is its folder.
  CHAR16 path[kVolumePathUnits];
  UINTN length = 0;
  path[0] = 0;
  const auto *node = reinterpret_cast<const UINT8 *>(self->FilePath);
  for (UINTN n = 0; n < kMaxPathNodes && node[0] != kEndDevicePath; ++n) {
    const UINTN nodeLength = node[2] | (static_cast<UINTN>(node[3]) << 8);
    if (nodeLength < 4) return;
    if (node[0] == kMediaDevicePath && node[1] == kMediaFilePath) {
      for (UINTN i = 4; i + 1 < nodeLength; i += 2) {
        const CHAR16 unit = static_cast<CHAR16>(node[i] | (node[i + 1] << 8));
        if (unit == 0) break;
        if (length + 1 >= kVolumePathUnits) return;
        path[length++] = unit;
      }
      path[length] = 0;
    }
    node += nodeLength;
  }
  UINTN cut = 0;
  for (UINTN i = 0; i < length; ++i) {
    if (path[i] == u'\\') cut = i + 1;
  }
  if (cut == 0) return;
  if (path[0] != u'\\') return;
  path[cut] = 0;
  CopyUnits(Folder, 0, kVolumePathUnits, path);
}

BOOLEAN JoinPath(const CHAR16 *Folder, const CHAR16 *Name, CHAR16 (&Out)[kVolumePathUnits]) {
  UINTN at = CopyUnits(Out, 0, kVolumePathUnits, Folder);
  if (at < kVolumePathUnits) at = CopyUnits(Out, at, kVolumePathUnits, Name);
  if (at >= kVolumePathUnits) {
    Out[0] = 0;
    return FALSE;
  }
  return TRUE;
}
