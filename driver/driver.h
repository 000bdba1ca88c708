// Image entry, driver binding, Orvale service binding and component name.
#ifndef ORVALE_DRIVER_DRIVER_H
#define ORVALE_DRIVER_DRIVER_H

#include "../instance/firmware.h"

extern EFI_DRIVER_BINDING_PROTOCOL gDriverBinding;
extern EFI_COMPONENT_NAME_PROTOCOL gComponentName;

// The image entry point of the driver (PE32+ entry and hosted loader alike).
extern "C" EFI_STATUS EFIAPI OrvaleDriverEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

EFI_STATUS EFIAPI DriverBindingSupported(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                                         EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath);
EFI_STATUS EFIAPI DriverBindingStart(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                                     EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath);
EFI_STATUS EFIAPI DriverBindingStop(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                                    UINTN NumberOfChildren, EFI_HANDLE *ChildHandleBuffer);
// The members into a child's interface table (driver/members.cpp): the one
// place that names them all.
void FillMemberTable(OrvaleProtocol *P);
EFI_STATUS EFIAPI CreateChild(EFI_SERVICE_BINDING_PROTOCOL *This, EFI_HANDLE *ChildHandle);
EFI_STATUS EFIAPI DestroyChild(EFI_SERVICE_BINDING_PROTOCOL *This, EFI_HANDLE ChildHandle);
EFI_STATUS EFIAPI GetDriverName(EFI_COMPONENT_NAME_PROTOCOL *This, CHAR8 *Language, CHAR16 **DriverName);
EFI_STATUS EFIAPI GetControllerName(EFI_COMPONENT_NAME_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                                    EFI_HANDLE ChildHandle, CHAR8 *Language, CHAR16 **ControllerName);

#endif
