// The firmware every layer reaches: the image's handle and system tables
// (set by the image entry, driver/driver.cpp) and the protocol GUIDs.
#ifndef ORVALE_INSTANCE_FIRMWARE_H
#define ORVALE_INSTANCE_FIRMWARE_H

#include "../include/orvale/orvale_protocol.h"

// Driver-wide globals, set by the image entry and read everywhere.
extern EFI_HANDLE gImageHandle;
extern EFI_SYSTEM_TABLE *gST;
extern EFI_BOOT_SERVICES *gBS;
extern EFI_RUNTIME_SERVICES *gRT;

extern EFI_GUID gEfiDriverBindingProtocolGuid;
extern EFI_GUID gEfiComponentNameProtocolGuid;
extern EFI_GUID gEfiManagedNetworkServiceBindingProtocolGuid;
extern EFI_GUID gEfiManagedNetworkProtocolGuid;
extern EFI_GUID gOrvaleServiceBindingGuid;
extern EFI_GUID gOrvaleProtocolGuid;
extern EFI_GUID gEfiBisProtocolGuid;
extern EFI_GUID gEfiDataHubProtocolGuid;
extern EFI_GUID gSmbiosTableGuid;

#endif
