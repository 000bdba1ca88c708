// Image entry, driver binding, the Orvale service binding and the component
// name. This file owns the lifetime of every ControllerBinding and of every
// ProtocolInstance record; instance/instance.cpp fills and empties them.
#include "driver.h"

#include "../instance/instance.h"
#include "../net/net.h"
#include "../tftp/tftp.h"

EFI_HANDLE gImageHandle = nullptr;
EFI_SYSTEM_TABLE *gST = nullptr;
EFI_BOOT_SERVICES *gBS = nullptr;
EFI_RUNTIME_SERVICES *gRT = nullptr;

EFI_GUID gEfiDriverBindingProtocolGuid = EFI_DRIVER_BINDING_PROTOCOL_GUID;
EFI_GUID gEfiComponentNameProtocolGuid = EFI_COMPONENT_NAME_PROTOCOL_GUID;
EFI_GUID gEfiManagedNetworkServiceBindingProtocolGuid = EFI_MANAGED_NETWORK_SERVICE_BINDING_PROTOCOL_GUID;
EFI_GUID gEfiManagedNetworkProtocolGuid = EFI_MANAGED_NETWORK_PROTOCOL_GUID;
EFI_GUID gOrvaleServiceBindingGuid = ORVALE_SERVICE_BINDING_GUID;
EFI_GUID gOrvaleProtocolGuid = ORVALE_PROTOCOL_GUID;
EFI_GUID gEfiBisProtocolGuid = EFI_BIS_PROTOCOL_GUID;
EFI_GUID gEfiDataHubProtocolGuid = EFI_DATA_HUB_PROTOCOL_GUID;
EFI_GUID gSmbiosTableGuid = SMBIOS_TABLE_GUID;

namespace {

constexpr UINT32 kDriverVersion = 0x10;

CHAR8 kSupportedLanguages[] = "eng";
CHAR16 kDriverName[] = u"WIRL Orvale Protocol Driver";

struct NameEntry {
  const CHAR8 *Language;
  CHAR16 *Name;
};
const NameEntry kDriverNames[] = {
    {"eng", kDriverName},
    {nullptr, nullptr},
};

constexpr UINTN kLanguageCodeLength = 3;

bool SameLanguage(const CHAR8 *A, const CHAR8 *B) {
  for (UINTN i = 0; i < kLanguageCodeLength; ++i) {
    if (A[i] != B[i] || A[i] == 0) return false;
  }
  return true;
}

bool ServiceBindingInstalled(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE Controller) {
  return gBS->OpenProtocol(Controller, &gOrvaleServiceBindingGuid, nullptr, This->DriverBindingHandle, Controller,
                           EFI_OPEN_PROTOCOL_TEST_PROTOCOL) == EFI_SUCCESS;
}

EFI_STATUS OpenMnpServiceBinding(ControllerBinding *Binding, EFI_SERVICE_BINDING_PROTOCOL **Sb) {
  *Sb = nullptr;
  const EFI_STATUS Status =
      gBS->OpenProtocol(Binding->ControllerHandle, &gEfiManagedNetworkServiceBindingProtocolGuid,
                        reinterpret_cast<VOID **>(Sb), Binding->DriverBindingHandle, Binding->ControllerHandle,
                        EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR(Status)) return Status;
  return *Sb != nullptr ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

// Closes the MNP protocol opened on the MNP child and returns the child to
// the MNP service binding, so that no MNP child outlives the binding.
void ReleaseMnpChild(ControllerBinding *Binding) {
  if (Binding->MnpChildHandle == nullptr) return;
  if (Binding->Mnp != nullptr) {
    gBS->CloseProtocol(Binding->MnpChildHandle, &gEfiManagedNetworkProtocolGuid, Binding->DriverBindingHandle,
                       Binding->ControllerHandle);
    Binding->Mnp = nullptr;
  }
  EFI_SERVICE_BINDING_PROTOCOL *Sb = nullptr;
  if (OpenMnpServiceBinding(Binding, &Sb) == EFI_SUCCESS) Sb->DestroyChild(Sb, Binding->MnpChildHandle);
  Binding->MnpChildHandle = nullptr;
}

// Creates the MNP child and opens its MNP protocol by driver, under the
// controller lock. On failure nothing of it is left behind.
EFI_STATUS AcquireMnpChild(ControllerBinding *Binding) {
  const EFI_STATUS LockStatus = AcquireInstanceLock(&Binding->Lock);
  if (EFI_ERROR(LockStatus)) return LockStatus;

  EFI_SERVICE_BINDING_PROTOCOL *Sb = nullptr;
  EFI_STATUS Status = OpenMnpServiceBinding(Binding, &Sb);
  if (Status == EFI_SUCCESS) {
    Binding->MnpChildHandle = nullptr;
    Status = Sb->CreateChild(Sb, &Binding->MnpChildHandle);
    if (EFI_ERROR(Status)) Binding->MnpChildHandle = nullptr;
  }
  if (Status == EFI_SUCCESS) {
    Status = gBS->OpenProtocol(Binding->MnpChildHandle, &gEfiManagedNetworkProtocolGuid,
                               reinterpret_cast<VOID **>(&Binding->Mnp), Binding->DriverBindingHandle,
                               Binding->ControllerHandle, EFI_OPEN_PROTOCOL_BY_DRIVER);
    if (Status == EFI_SUCCESS && Binding->Mnp == nullptr) Status = EFI_UNSUPPORTED;
    if (EFI_ERROR(Status)) {
      Binding->Mnp = nullptr;
      Sb->DestroyChild(Sb, Binding->MnpChildHandle);
      Binding->MnpChildHandle = nullptr;
    }
  }
  ReleaseInstanceLock(&Binding->Lock);
  return Status;
}

// The controller a Stop call means: handed the MNP child, the controller is
// the one this driver named when it opened the child's MNP protocol.
EFI_HANDLE ResolveController(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE Handle) {
  EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *Entries = nullptr;
  UINTN Count = 0;
  EFI_HANDLE Controller = Handle;
  if (gBS->OpenProtocolInformation(Handle, &gEfiManagedNetworkProtocolGuid, &Entries, &Count) != EFI_SUCCESS) {
    return Controller;
  }
  for (UINTN i = 0; Entries != nullptr && i < Count; ++i) {
    if ((Entries[i].Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0 &&
        Entries[i].AgentHandle == This->DriverBindingHandle) {
      Controller = Entries[i].ControllerHandle;
      break;
    }
  }
  if (Entries != nullptr) gBS->FreePool(Entries);
  return Controller;
}

void LinkAtTail(ListLink *Head, ListLink *Entry) {
  Entry->Next = Head;
  Entry->Prev = Head->Prev;
  Head->Prev->Next = Entry;
  Head->Prev = Entry;
}

void Unlink(ListLink *Entry) {
  Entry->Prev->Next = Entry->Next;
  Entry->Next->Prev = Entry->Prev;
  Entry->Next = Entry->Prev = nullptr;
}

}  // namespace

EFI_DRIVER_BINDING_PROTOCOL gDriverBinding = {
    DriverBindingSupported, DriverBindingStart, DriverBindingStop, kDriverVersion, nullptr, nullptr,
};

EFI_COMPONENT_NAME_PROTOCOL gComponentName = {GetDriverName, GetControllerName, kSupportedLanguages};

// Always EFI_SUCCESS: a driver that could not install its binding simply
// never gets connected. Every driver-wide record is set afresh here, so a
// second load in the same address space starts from the same state.
extern "C" EFI_STATUS EFIAPI OrvaleDriverEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gImageHandle = ImageHandle;
  gST = SystemTable;
  gBS = SystemTable->BootServices;
  gRT = SystemTable->RuntimeServices;

  gDriverBinding = {DriverBindingSupported, DriverBindingStart, DriverBindingStop, kDriverVersion, ImageHandle,
                    ImageHandle};
  gComponentName = {GetDriverName, GetControllerName, kSupportedLanguages};

  const EFI_STATUS Status = gBS->InstallProtocolInterface(&gDriverBinding.DriverBindingHandle,
                                                          &gEfiDriverBindingProtocolGuid, EFI_NATIVE_INTERFACE,
                                                          &gDriverBinding);
  if (Status == EFI_SUCCESS) {
    gBS->InstallProtocolInterface(&gDriverBinding.DriverBindingHandle, &gEfiComponentNameProtocolGuid,
                                  EFI_NATIVE_INTERFACE, &gComponentName);
  }
  InitializeArpTemplates();
  TftpServerPort = kTftpDefaultPort;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI DriverBindingSupported(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                                         EFI_DEVICE_PATH_PROTOCOL *) {
  if (ServiceBindingInstalled(This, ControllerHandle)) return EFI_ALREADY_STARTED;
  return gBS->OpenProtocol(ControllerHandle, &gEfiManagedNetworkServiceBindingProtocolGuid, nullptr,
                           This->DriverBindingHandle, ControllerHandle, EFI_OPEN_PROTOCOL_TEST_PROTOCOL);
}

// The MNP child is opened before the service binding is installed, so the
// record is complete when other drivers' notifications may call CreateChild,
// and no child can ever be started on a controller without an MNP interface.
// Any failure unwinds everything this call did.
EFI_STATUS EFIAPI DriverBindingStart(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                                     EFI_DEVICE_PATH_PROTOCOL *) {
  if (ServiceBindingInstalled(This, ControllerHandle)) return EFI_ALREADY_STARTED;

  auto *Binding = static_cast<ControllerBinding *>(AllocZeroed(sizeof(ControllerBinding)));
  if (Binding == nullptr) return EFI_OUT_OF_RESOURCES;
  Binding->Signature = kControllerBindingSignature;
  Binding->Lock.Tpl = kInstanceLockTpl;
  Binding->ControllerHandle = ControllerHandle;
  Binding->DriverBindingHandle = This->DriverBindingHandle;
  Binding->Children.Next = Binding->Children.Prev = &Binding->Children;
  Binding->ServiceBinding.CreateChild = CreateChild;
  Binding->ServiceBinding.DestroyChild = DestroyChild;

  EFI_STATUS Status = AcquireMnpChild(Binding);
  if (Status == EFI_SUCCESS) {
    EFI_HANDLE Handle = ControllerHandle;
    Status = gBS->InstallMultipleProtocolInterfaces(&Handle, &gOrvaleServiceBindingGuid, &Binding->ServiceBinding,
                                                    nullptr);
  }
  if (EFI_ERROR(Status)) {
    ReleaseMnpChild(Binding);
    gBS->FreePool(Binding);
  }
  return Status;
}

// NumberOfChildren and ChildHandleBuffer are not examined: every child goes.
EFI_STATUS EFIAPI DriverBindingStop(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle, UINTN,
                                    EFI_HANDLE *) {
  const EFI_HANDLE Controller = ResolveController(This, ControllerHandle);
  EFI_SERVICE_BINDING_PROTOCOL *Sb = nullptr;
  if (gBS->OpenProtocol(Controller, &gOrvaleServiceBindingGuid, reinterpret_cast<VOID **>(&Sb),
                        This->DriverBindingHandle, Controller, EFI_OPEN_PROTOCOL_GET_PROTOCOL) != EFI_SUCCESS ||
      Sb == nullptr) {
    return EFI_UNSUPPORTED;
  }
  ControllerBinding *Binding = BindingFromServiceBinding(Sb);
  if (Binding->Signature != kControllerBindingSignature) return EFI_UNSUPPORTED;

  // A child that cannot be destroyed stops the loop with an error instead of
  // spinning on it; the binding then stays as it is.
  while (Binding->Children.Next != &Binding->Children) {
    const UINTN Before = Binding->ChildCount;
    ProtocolInstance *First = InstanceFromLink(Binding->Children.Next);
    const EFI_STATUS Status = DestroyChild(&Binding->ServiceBinding, First->ChildHandle);
    if (EFI_ERROR(Status)) return Status;
    if (Binding->ChildCount == Before) return EFI_DEVICE_ERROR;
  }

  const EFI_STATUS Status = gBS->UninstallMultipleProtocolInterfaces(
      Binding->ControllerHandle, &gOrvaleServiceBindingGuid, &Binding->ServiceBinding, nullptr);
  if (EFI_ERROR(Status)) return Status;

  ReleaseMnpChild(Binding);
  gBS->FreePool(Binding);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CreateChild(EFI_SERVICE_BINDING_PROTOCOL *This, EFI_HANDLE *ChildHandle) {
  if (This == nullptr || ChildHandle == nullptr) return EFI_INVALID_PARAMETER;
  ControllerBinding *Binding = BindingFromServiceBinding(This);

  auto *Instance = static_cast<ProtocolInstance *>(AllocZeroed(sizeof(ProtocolInstance)));
  if (Instance == nullptr) return EFI_OUT_OF_RESOURCES;
  InitializeInstance(Instance, Binding);
  FillMemberTable(&Instance->Protocol);

  // Linked before the protocol is installed: installing may run other
  // drivers' notifications that start this child, or stop the controller,
  // at once, and both walk the list of children.
  Instance->ChildHandle = *ChildHandle;
  LinkAtTail(&Binding->Children, &Instance->Link);
  ++Binding->ChildCount;
  const EFI_STATUS Status =
      gBS->InstallMultipleProtocolInterfaces(ChildHandle, &gOrvaleProtocolGuid, &Instance->Protocol, nullptr);
  if (EFI_ERROR(Status)) {
    Unlink(&Instance->Link);
    --Binding->ChildCount;
    gBS->FreePool(Instance);
    return Status;
  }
  Instance->ChildHandle = *ChildHandle;
  return Status;
}

namespace {

// Stops a started child under the controller lock; false when the lock is held.
bool StopStartedChild(ProtocolInstance *Instance) {
  if (!InstanceStarted(Instance)) return true;
  InstanceLock *Lock = &Instance->Binding->Lock;
  if (AcquireInstanceLock(Lock) != EFI_SUCCESS) return false;
  StopInstanceLocked(Instance);
  ReleaseInstanceLock(Lock);
  return true;
}

}  // namespace

// A started child is stopped before its record goes, so its buffers, receive
// event and groups do not outlive it; a child never started is left as it is
// (Stop would reset the MNP child its started siblings use). While a member of
// the controller runs (the lock is held) the child is left alone with
// EFI_ACCESS_DENIED. The protocol is uninstalled outside the lock, since that
// may run other drivers' notifications; should one start the child again and
// leave the lock held, the child goes back on a handle rather than a started
// record being freed.
EFI_STATUS EFIAPI DestroyChild(EFI_SERVICE_BINDING_PROTOCOL *This, EFI_HANDLE ChildHandle) {
  if (This == nullptr || ChildHandle == nullptr) return EFI_INVALID_PARAMETER;
  ControllerBinding *Binding = BindingFromServiceBinding(This);

  OrvaleProtocol *Protocol = nullptr;
  if (gBS->OpenProtocol(ChildHandle, &gOrvaleProtocolGuid, reinterpret_cast<VOID **>(&Protocol),
                        Binding->ControllerHandle, ChildHandle, EFI_OPEN_PROTOCOL_GET_PROTOCOL) != EFI_SUCCESS ||
      Protocol == nullptr) {
    return EFI_SUCCESS;
  }
  ProtocolInstance *Instance = InstanceFromThis(Protocol);
  // Another controller's child is not in this list.
  if (Instance->Signature != kProtocolInstanceSignature || Instance->Binding != Binding) return EFI_SUCCESS;
  if (Binding->Lock.HeldCount != 0 || !StopStartedChild(Instance)) return EFI_ACCESS_DENIED;

  const EFI_STATUS Status =
      gBS->UninstallMultipleProtocolInterfaces(ChildHandle, &gOrvaleProtocolGuid, &Instance->Protocol, nullptr);
  if (EFI_ERROR(Status)) return Status;

  if (!StopStartedChild(Instance)) {
    EFI_HANDLE Handle = nullptr;
    // Unreachable if that fails, yet possibly in use: kept linked, never freed.
    if (EFI_ERROR(gBS->InstallMultipleProtocolInterfaces(&Handle, &gOrvaleProtocolGuid, &Instance->Protocol,
                                                         nullptr))) {
      return EFI_DEVICE_ERROR;
    }
    Instance->ChildHandle = Handle;
    return EFI_ACCESS_DENIED;
  }
  Unlink(&Instance->Link);
  --Binding->ChildCount;
  gBS->FreePool(Instance);
  return Status;
}

EFI_STATUS EFIAPI GetDriverName(EFI_COMPONENT_NAME_PROTOCOL *This, CHAR8 *Language, CHAR16 **DriverName) {
  if (This == nullptr || Language == nullptr || DriverName == nullptr) return EFI_INVALID_PARAMETER;
  const CHAR8 *Supported = This->SupportedLanguages;
  if (Supported == nullptr || Supported[0] == 0) return EFI_UNSUPPORTED;

  // ISO 639-2 codes packed without separators; a trailing partial code never matches.
  for (const CHAR8 *Code = Supported; *Code != 0;) {
    UINTN Length = 0;
    while (Length < kLanguageCodeLength && Code[Length] != 0) ++Length;
    if (Length < kLanguageCodeLength) break;
    if (SameLanguage(Code, Language)) {
      for (const NameEntry *Entry = kDriverNames; Entry->Language != nullptr; ++Entry) {
        if (SameLanguage(Entry->Language, Language)) {
          *DriverName = Entry->Name;
          return EFI_SUCCESS;
        }
      }
      return EFI_UNSUPPORTED;
    }
    Code += kLanguageCodeLength;
  }
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI GetControllerName(EFI_COMPONENT_NAME_PROTOCOL *, EFI_HANDLE, EFI_HANDLE, CHAR8 *, CHAR16 **) {
  return EFI_UNSUPPORTED;
}
