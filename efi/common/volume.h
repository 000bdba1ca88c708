// Files on the volume an application was loaded from: the boot volume of our
// UEFI applications, which carries the driver image, the loader's settings
// and local boot images.
#ifndef ORVALE_EFI_COMMON_VOLUME_H
#define ORVALE_EFI_COMMON_VOLUME_H

#include "include/efi/efi_app.h"

// Longest path, in UTF-16 units with its NUL, that these helpers build or accept.
constexpr UINTN kVolumePathUnits = 260;

// Reads the whole file at Path (for example u"\\orvale.efi") into a pool block
// of EfiLoaderData that the caller frees. On failure *Step names the step that
// failed ("loaded image", "file system", "volume", "open", "info", "alloc",
// "read") and nothing is left allocated.
EFI_STATUS ReadVolumeFile(EFI_BOOT_SERVICES *Bs, EFI_HANDLE Self, const CHAR16 *Path, VOID **Buffer,
                          UINTN *Size, const char **Step);

// The full device path of a file on the application's volume (the volume's
// device path, a file-path node, the end node), in pool the caller frees; null
// when the volume has no device path or memory runs out. LoadImage from a
// buffer with it tells the started image where it came from, so it can find
// the files beside it.
EFI_DEVICE_PATH_PROTOCOL *VolumeFilePath(EFI_BOOT_SERVICES *Bs, EFI_HANDLE Self, const CHAR16 *Path);

// The folder of the application's own file, with its trailing backslash
// ("\EFI\BOOT\"); "\" when the image was not loaded from a file path.
void OwnFolder(EFI_BOOT_SERVICES *Bs, EFI_HANDLE Self, CHAR16 (&Folder)[kVolumePathUnits]);

// Out = Folder followed by Name; FALSE (Out then empty) when it would not fit.
BOOLEAN JoinPath(const CHAR16 *Folder, const CHAR16 *Name, CHAR16 (&Out)[kVolumePathUnits]);

#endif
