// The hosted firmware's system table and its boot, runtime and console
// services: each a thin entry over the core (core.cpp).
//
// Behaviour follows the UEFI specification and what the real firmware was
// measured to do; where the UEFI specification leaves a choice, the choice that
// exposes caller mistakes is taken (pool memory is not zeroed, stale event and
// handle values stay recognisable, misuse is recorded rather than ignored).
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "platform/firmware_core.h"
#include "platform/small_list.h"

namespace hosted {
namespace internal {

namespace {

// A CheckEvent loop that never lets anything happen would hang the test run;
// after this many fruitless calls in a row the run stops with a message.
constexpr uint64_t kIdleCheckLimit = 5'000'000;
// Periodic timers shorter than this would make a long wait crawl.
constexpr uint64_t kMinTimerPeriod = 10'000;




// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t *y, unsigned *m, unsigned *d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

uint32_t Crc32(const void *data, size_t size) {
  const auto *p = static_cast<const uint8_t *>(data);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

template <class Table>
void SealHeader(Table *table, uint64_t signature) {
  table->Hdr.Signature = signature;
  table->Hdr.Revision = (2u << 16) | 70u;
  table->Hdr.HeaderSize = sizeof(Table);
  table->Hdr.CRC32 = 0;
  table->Hdr.CRC32 = Crc32(table, sizeof(Table));
}

std::u16string NameOf(const CHAR16 *name) {
  std::u16string s;
  if (name != nullptr) {
    for (size_t i = 0; name[i] != 0; ++i) s.push_back(name[i]);
  }
  return s;
}

bool ValidOpenAttributes(uint32_t a) {
  switch (a) {
    case EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL:
    case EFI_OPEN_PROTOCOL_GET_PROTOCOL:
    case EFI_OPEN_PROTOCOL_TEST_PROTOCOL:
    case EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER:
    case EFI_OPEN_PROTOCOL_BY_DRIVER:
    case EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE:
    case EFI_OPEN_PROTOCOL_EXCLUSIVE:
      return true;
    default:
      return false;
  }
}


// ---- Task priority ----

EFI_TPL EFIAPI RaiseTpl(EFI_TPL NewTpl) {
  Core *c = Current();
  const EFI_TPL old = c->tpl;
  if (NewTpl < old) {
    c->TplViolation("RaiseTPL(" + std::to_string(NewTpl) + ") below the current TPL " + std::to_string(old));
    return old;
  }
  if (NewTpl > TPL_HIGH_LEVEL) {
    c->TplViolation("RaiseTPL(" + std::to_string(NewTpl) + ") above TPL_HIGH_LEVEL");
    return old;
  }
  c->tpl = NewTpl;
  return old;
}

VOID EFIAPI RestoreTpl(EFI_TPL OldTpl) {
  Core *c = Current();
  if (OldTpl > c->tpl) {
    c->TplViolation("RestoreTPL(" + std::to_string(OldTpl) + ") above the current TPL " + std::to_string(c->tpl));
    return;
  }
  c->DispatchAbove(OldTpl);
  c->tpl = OldTpl;
}

// ---- Memory ----

EFI_STATUS EFIAPI AllocatePages(EFI_ALLOCATE_TYPE, EFI_MEMORY_TYPE, UINTN, EFI_PHYSICAL_ADDRESS *) {
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI FreePages(EFI_PHYSICAL_ADDRESS, UINTN) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI GetMemoryMap(UINTN *, EFI_MEMORY_DESCRIPTOR *, UINTN *, UINTN *, UINT32 *) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer) {
  Core *c = Current();
  c->CheckTpl(TPL_NOTIFY, "AllocatePool");
  if (Buffer == nullptr) return EFI_INVALID_PARAMETER;
  const auto type = static_cast<uint32_t>(PoolType);
  if (type >= EfiMaxMemoryType && type < 0x80000000u) return EFI_INVALID_PARAMETER;
  if (PoolType == EfiPersistentMemory) return EFI_INVALID_PARAMETER;
  void *p = c->Allocate(Size);
  if (p == nullptr) return EFI_OUT_OF_RESOURCES;
  *Buffer = p;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FreePool(VOID *Buffer) {
  Core *c = Current();
  c->CheckTpl(TPL_NOTIFY, "FreePool");
  return c->Free(Buffer) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

// ---- Events and timers ----

EFI_STATUS EFIAPI CreateEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction, VOID *NotifyContext,
                              EFI_EVENT *Event) {
  Core *c = Current();
  c->CheckTpl(TPL_NOTIFY, "CreateEvent");
  if (Event == nullptr) return EFI_INVALID_PARAMETER;
  constexpr uint32_t kKnown = EVT_TIMER | EVT_RUNTIME | EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL;
  if ((Type & ~kKnown) != 0) return EFI_INVALID_PARAMETER;
  const bool wait = (Type & EVT_NOTIFY_WAIT) != 0;
  const bool signal = (Type & EVT_NOTIFY_SIGNAL) != 0;
  if (wait && signal) return EFI_INVALID_PARAMETER;
  if (wait || signal) {
    if (NotifyFunction == nullptr) return EFI_INVALID_PARAMETER;
    if (NotifyTpl <= TPL_APPLICATION || NotifyTpl >= TPL_HIGH_LEVEL) return EFI_INVALID_PARAMETER;
  }
  *Event = c->NewEvent(Type, NotifyTpl, NotifyFunction, NotifyContext, false);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CreateEventEx(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                const VOID *NotifyContext, const EFI_GUID *EventGroup, EFI_EVENT *Event) {
  if (EventGroup != nullptr) return EFI_UNSUPPORTED;
  return CreateEvent(Type, NotifyTpl, NotifyFunction, const_cast<VOID *>(NotifyContext), Event);
}

EFI_STATUS EFIAPI SetTimer(EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime) {
  Core *c = Current();
  internal::Event *e = c->LiveEvent(Event, "SetTimer");
  if (e == nullptr) return EFI_INVALID_PARAMETER;
  if ((e->type & EVT_TIMER) == 0) return EFI_INVALID_PARAMETER;
  // The signal state is left alone: re-arming a timer that fired and was
  // never checked leaves it signalled, as on the real firmware.
  switch (Type) {
    case TimerCancel:
      c->Disarm(e);
      return EFI_SUCCESS;
    case TimerRelative:
      c->Arm(e, c->Now() + TriggerTime, 0);
      return EFI_SUCCESS;
    case TimerPeriodic: {
      const uint64_t period = std::max<uint64_t>(TriggerTime, kMinTimerPeriod);
      c->Arm(e, c->Now() + period, period);
      return EFI_SUCCESS;
    }
    default:
      return EFI_INVALID_PARAMETER;
  }
}

EFI_STATUS EFIAPI SignalEvent(EFI_EVENT Event) {
  Core *c = Current();
  internal::Event *e = c->LiveEvent(Event, "SignalEvent");
  if (e == nullptr) return EFI_INVALID_PARAMETER;
  c->Signal(e);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CloseEvent(EFI_EVENT Event) {
  Core *c = Current();
  internal::Event *e = c->LiveEvent(Event, "CloseEvent");
  if (e == nullptr) return EFI_INVALID_PARAMETER;
  c->CloseEvent(e);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CheckEvent(EFI_EVENT Event) {
  Core *c = Current();
  internal::Event *e = c->LiveEvent(Event, "CheckEvent");
  if (e == nullptr) return EFI_INVALID_PARAMETER;
  if ((e->type & EVT_NOTIFY_SIGNAL) != 0) return EFI_INVALID_PARAMETER;
  const uint64_t before = c->Now();
  bool moved = c->Settle() || c->delivered;
  c->delivered = false;
  if (!e->signalled && e->armed && !moved && !c->realTime && c->beforeClockJump &&
      c->beforeClockJump(e->deadline)) {
    // Other callers on this firmware ran first; they may have work for this one.
    moved = true;
  } else if (!e->signalled && e->armed && !moved && !c->realTime) {
    // Nothing happens until the clock moves: jump to the next thing that will.
    uint64_t t = e->deadline;
    const std::optional<uint64_t> next = c->EarliestPending();
    if (next && *next < t) t = *next;
    if (t > c->now) c->now = t;
    moved = c->Settle() || c->now != before;
  }
  if (!e->signalled && (e->type & EVT_NOTIFY_WAIT) != 0 && !e->queued) {
    e->queued = true;
    c->pendingNotifies.push_back(e);
    c->DispatchAbove(c->tpl);
  }
  if (e->signalled) {
    e->signalled = false;
    c->idleChecks = 0;
    return EFI_SUCCESS;
  }
  if (c->realTime) {
    // A frame just delivered or a timer just fired is the caller's to handle
    // now; only a look that found nothing waits for the wire.
    if (!moved) c->RealTimePause(kRealTimeSleepNs / 2);
  } else if (moved || c->now != c->idleSince) {
    // Progress made here or elsewhere (Stall, Advance) since the last look.
    c->idleChecks = 0;
    c->idleSince = c->now;
  } else if (++c->idleChecks >= kIdleCheckLimit) {
    fprintf(stderr,
            "hosted firmware: CheckEvent called %llu times in a row on an event that cannot become signalled "
            "(armed=%d) with nothing pending; the caller would hang forever\n",
            static_cast<unsigned long long>(c->idleChecks), e->armed ? 1 : 0);
    abort();
  }
  return EFI_NOT_READY;
}

EFI_STATUS EFIAPI WaitForEvent(UINTN NumberOfEvents, EFI_EVENT *Event, UINTN *Index) {
  Core *c = Current();
  if (NumberOfEvents == 0 || Event == nullptr || Index == nullptr) return EFI_INVALID_PARAMETER;
  if (c->tpl != TPL_APPLICATION) return EFI_UNSUPPORTED;
  for (;;) {
    for (UINTN i = 0; i < NumberOfEvents; ++i) {
      internal::Event *e = c->LiveEvent(Event[i], "WaitForEvent");
      if (e == nullptr || (e->type & EVT_NOTIFY_SIGNAL) != 0) {
        *Index = i;
        return EFI_INVALID_PARAMETER;
      }
      if (e->signalled) {
        e->signalled = false;
        *Index = i;
        return EFI_SUCCESS;
      }
    }
    if (c->Settle()) continue;
    if (c->realTime) {
      SleepNs(kRealTimeSleepNs);
      continue;
    }
    const std::optional<uint64_t> next = c->EarliestPending();
    if (!next) return EFI_NOT_READY;  // would wait forever
    c->AdvanceTo(*next);
  }
}

// ---- Protocol handlers ----

EFI_STATUS EFIAPI InstallProtocolInterface(EFI_HANDLE *Handle, EFI_GUID *Protocol, EFI_INTERFACE_TYPE InterfaceType,
                                           VOID *Interface) {
  Core *c = Current();
  c->CheckTpl(TPL_NOTIFY, "InstallProtocolInterface");
  if (Handle == nullptr || Protocol == nullptr || InterfaceType != EFI_NATIVE_INTERFACE) return EFI_INVALID_PARAMETER;
  if (c->InstallFails(*Protocol)) return EFI_OUT_OF_RESOURCES;
  return c->Install(Handle, *Protocol, Interface);
}

EFI_STATUS EFIAPI ReinstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID *OldInterface,
                                             VOID *NewInterface) {
  Core *c = Current();
  if (Protocol == nullptr) return EFI_INVALID_PARAMETER;
  internal::Handle *h = c->LiveHandle(Handle);
  if (h == nullptr) return EFI_INVALID_PARAMETER;
  ProtocolEntry *e = c->FindEntry(h, *Protocol);
  if (e == nullptr || e->interface != OldInterface) return EFI_NOT_FOUND;
  for (const OpenEntry &o : e->opens) {
    if (BlocksUninstall(o)) return EFI_ACCESS_DENIED;
  }
  e->interface = NewInterface;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI UninstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID *Interface) {
  Core *c = Current();
  c->CheckTpl(TPL_NOTIFY, "UninstallProtocolInterface");
  if (Protocol == nullptr) return EFI_INVALID_PARAMETER;
  if (c->UninstallFails(*Protocol) && c->LiveHandle(Handle) != nullptr) return EFI_ACCESS_DENIED;
  return c->Uninstall(Handle, *Protocol, Interface);
}

EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface) {
  Core *c = Current();
  c->CheckTpl(TPL_NOTIFY, "HandleProtocol");
  if (Protocol == nullptr || Interface == nullptr) return EFI_INVALID_PARAMETER;
  *Interface = nullptr;
  internal::Handle *h = c->LiveHandle(Handle);
  if (h == nullptr) return EFI_INVALID_PARAMETER;
  ProtocolEntry *e = c->FindEntry(h, *Protocol);
  if (e == nullptr) return EFI_UNSUPPORTED;
  *Interface = e->interface;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI RegisterProtocolNotify(EFI_GUID *, EFI_EVENT, VOID **) { return EFI_UNSUPPORTED; }

EFI_STATUS EFIAPI LocateHandle(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol, VOID *, UINTN *BufferSize,
                               EFI_HANDLE *Buffer) {
  Core *c = Current();
  c->CheckTpl(TPL_NOTIFY, "LocateHandle");
  if (BufferSize == nullptr) return EFI_INVALID_PARAMETER;
  std::vector<Handle *> found;
  switch (SearchType) {
    case AllHandles:
      found = c->HandlesWith(nullptr);
      break;
    case ByProtocol:
      if (Protocol == nullptr) return EFI_INVALID_PARAMETER;
      found = c->HandlesWith(Protocol);
      break;
    case ByRegisterNotify:
      return EFI_NOT_FOUND;
    default:
      return EFI_INVALID_PARAMETER;
  }
  if (found.empty()) return EFI_NOT_FOUND;
  const UINTN need = found.size() * sizeof(EFI_HANDLE);
  if (*BufferSize < need) {
    *BufferSize = need;
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Buffer == nullptr) return EFI_INVALID_PARAMETER;
  for (size_t i = 0; i < found.size(); ++i) Buffer[i] = found[i];
  *BufferSize = need;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LocateDevicePath(EFI_GUID *, EFI_DEVICE_PATH_PROTOCOL **, EFI_HANDLE *) { return EFI_UNSUPPORTED; }

EFI_STATUS EFIAPI InstallConfigurationTable(EFI_GUID *Guid, VOID *Table) {
  Core *c = Current();
  if (Guid == nullptr) return EFI_INVALID_PARAMETER;
  auto it = std::find_if(c->configTables.begin(), c->configTables.end(),
                         [&](const EFI_CONFIGURATION_TABLE &t) { return SameGuid(t.VendorGuid, *Guid); });
  if (Table == nullptr) {
    if (it == c->configTables.end()) return EFI_NOT_FOUND;
    c->configTables.erase(it);
  } else if (it != c->configTables.end()) {
    it->VendorTable = Table;
  } else {
    c->configTables.push_back({*Guid, Table});
  }
  c->st.NumberOfTableEntries = c->configTables.size();
  c->st.ConfigurationTable = c->configTables.empty() ? nullptr : c->configTables.data();
  SealHeader(&c->st, 0x5453595320494249ull);
  return EFI_SUCCESS;
}

// ---- Images ----

EFI_STATUS EFIAPI LoadImage(BOOLEAN, EFI_HANDLE, EFI_DEVICE_PATH_PROTOCOL *, VOID *, UINTN, EFI_HANDLE *) {
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI StartImage(EFI_HANDLE, UINTN *, CHAR16 **) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI Exit(EFI_HANDLE, EFI_STATUS, UINTN, CHAR16 *) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI UnloadImage(EFI_HANDLE) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI ExitBootServices(EFI_HANDLE, UINTN) { return EFI_UNSUPPORTED; }

// ---- Miscellaneous ----

EFI_STATUS EFIAPI GetNextMonotonicCount(UINT64 *Count) {
  if (Count == nullptr) return EFI_INVALID_PARAMETER;
  *Count = Current()->monotonicCount++;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Stall(UINTN Microseconds) {
  Core *c = Current();
  const uint64_t target = c->Now() + static_cast<uint64_t>(Microseconds) * 10;
  c->AdvanceTo(target);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetWatchdogTimer(UINTN, UINT64, UINTN, CHAR16 *) { return EFI_SUCCESS; }

// ---- Driver support ----

std::vector<EFI_DRIVER_BINDING_PROTOCOL *> Bindings(Core *c, EFI_HANDLE *images) {
  std::vector<EFI_DRIVER_BINDING_PROTOCOL *> out;
  for (Handle *h : c->HandlesWith(&kDriverBindingGuid)) {
    if (images != nullptr) {
      bool listed = false;
      for (EFI_HANDLE *p = images; *p != nullptr; ++p) listed = listed || *p == h;
      if (!listed) continue;
    }
    ProtocolEntry *e = c->FindEntry(h, kDriverBindingGuid);
    if (e != nullptr && e->interface != nullptr) out.push_back(static_cast<EFI_DRIVER_BINDING_PROTOCOL *>(e->interface));
  }
  return out;
}

EFI_STATUS EFIAPI ConnectController(EFI_HANDLE ControllerHandle, EFI_HANDLE *DriverImageHandle,
                                    EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath, BOOLEAN) {
  Core *c = Current();
  c->CheckTpl(TPL_CALLBACK, "ConnectController");
  if (c->LiveHandle(ControllerHandle) == nullptr) return EFI_INVALID_PARAMETER;
  bool started = false;
  for (EFI_DRIVER_BINDING_PROTOCOL *b : Bindings(c, DriverImageHandle)) {
    if (b->Supported(b, ControllerHandle, RemainingDevicePath) != EFI_SUCCESS) continue;
    if (b->Start(b, ControllerHandle, RemainingDevicePath) == EFI_SUCCESS) started = true;
  }
  return started ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI DisconnectController(EFI_HANDLE ControllerHandle, EFI_HANDLE DriverImageHandle, EFI_HANDLE) {
  Core *c = Current();
  c->CheckTpl(TPL_CALLBACK, "DisconnectController");
  if (c->LiveHandle(ControllerHandle) == nullptr) return EFI_INVALID_PARAMETER;
  EFI_HANDLE images[2] = {DriverImageHandle, nullptr};
  EFI_STATUS result = EFI_SUCCESS;
  for (EFI_DRIVER_BINDING_PROTOCOL *b : Bindings(c, DriverImageHandle != nullptr ? images : nullptr)) {
    // Only drivers that hold something of the controller BY_DRIVER manage it.
    bool manages = false;
    for (Handle *h : c->HandlesWith(nullptr)) {
      for (const ProtocolEntry &p : h->protocols) {
        for (const OpenEntry &o : p.opens) {
          manages = manages || (o.agent == b->DriverBindingHandle && o.controller == ControllerHandle &&
                                (o.attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0);
        }
      }
    }
    if (!manages) continue;
    const EFI_STATUS s = b->Stop(b, ControllerHandle, 0, nullptr);
    if (EFI_ERROR(s) && result == EFI_SUCCESS) result = s;
  }
  return result;
}

// ---- Open and close protocol ----

EFI_STATUS EFIAPI OpenProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface, EFI_HANDLE AgentHandle,
                               EFI_HANDLE ControllerHandle, UINT32 Attributes) {
  Core *c = Current();
  c->CheckTpl(TPL_NOTIFY, "OpenProtocol");
  if (Protocol == nullptr) return EFI_INVALID_PARAMETER;
  if (Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) {
    if (Interface == nullptr) return EFI_INVALID_PARAMETER;
    *Interface = nullptr;
  }
  internal::Handle *h = c->LiveHandle(Handle);
  if (h == nullptr) return EFI_INVALID_PARAMETER;
  if (!ValidOpenAttributes(Attributes)) return EFI_INVALID_PARAMETER;
  const bool byDriver = (Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0;
  const bool exclusive = (Attributes & EFI_OPEN_PROTOCOL_EXCLUSIVE) != 0;
  const bool byChild = Attributes == EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER;
  if ((byDriver || exclusive || byChild) && c->LiveHandle(AgentHandle) == nullptr) return EFI_INVALID_PARAMETER;
  if ((byDriver || byChild) && c->LiveHandle(ControllerHandle) == nullptr) return EFI_INVALID_PARAMETER;
  if (byChild && ControllerHandle == Handle) return EFI_INVALID_PARAMETER;

  ProtocolEntry *e = c->FindEntry(h, *Protocol);
  if (e == nullptr) return EFI_UNSUPPORTED;
  if (Attributes == EFI_OPEN_PROTOCOL_TEST_PROTOCOL) return EFI_SUCCESS;
  if (NicRefusesOpen(c, Handle, *Protocol)) return EFI_UNSUPPORTED;

  if (byDriver || exclusive) {
    for (const OpenEntry &o : e->opens) {
      const bool theirsExclusive = (o.attributes & EFI_OPEN_PROTOCOL_EXCLUSIVE) != 0;
      const bool theirsByDriver = (o.attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0;
      if (!theirsExclusive && !theirsByDriver) continue;
      if (o.agent == AgentHandle && byDriver && theirsByDriver && o.attributes == Attributes) {
        *Interface = e->interface;
        return EFI_ALREADY_STARTED;
      }
      // The real firmware would ask the holder to disconnect for an
      // exclusive open; a refusal is what a test can rely on here.
      return EFI_ACCESS_DENIED;
    }
  }

  auto it = std::find_if(e->opens.begin(), e->opens.end(), [&](const OpenEntry &o) {
    return o.agent == AgentHandle && o.controller == ControllerHandle && o.attributes == Attributes;
  });
  if (it != e->opens.end()) {
    ++it->count;
  } else {
    e->opens.push_back({AgentHandle, ControllerHandle, Attributes, 1});
  }
  *Interface = e->interface;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CloseProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, EFI_HANDLE AgentHandle,
                                EFI_HANDLE ControllerHandle) {
  Core *c = Current();
  c->CheckTpl(TPL_NOTIFY, "CloseProtocol");
  if (Protocol == nullptr) return EFI_INVALID_PARAMETER;
  internal::Handle *h = c->LiveHandle(Handle);
  if (h == nullptr || c->LiveHandle(AgentHandle) == nullptr) return EFI_INVALID_PARAMETER;
  if (ControllerHandle != nullptr && c->LiveHandle(ControllerHandle) == nullptr) return EFI_INVALID_PARAMETER;
  ProtocolEntry *e = c->FindEntry(h, *Protocol);
  if (e == nullptr) return EFI_NOT_FOUND;
  const size_t before = e->opens.size();
  e->opens.erase(std::remove_if(e->opens.begin(), e->opens.end(),
                                [&](const OpenEntry &o) {
                                  return o.agent == AgentHandle && o.controller == ControllerHandle;
                                }),
                 e->opens.end());
  return e->opens.size() == before ? EFI_NOT_FOUND : EFI_SUCCESS;
}

EFI_STATUS EFIAPI OpenProtocolInformation(EFI_HANDLE Handle, EFI_GUID *Protocol,
                                          EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **EntryBuffer, UINTN *EntryCount) {
  Core *c = Current();
  c->CheckTpl(TPL_NOTIFY, "OpenProtocolInformation");
  if (Protocol == nullptr || EntryBuffer == nullptr || EntryCount == nullptr) return EFI_INVALID_PARAMETER;
  internal::Handle *h = c->LiveHandle(Handle);
  if (h == nullptr) return EFI_NOT_FOUND;
  ProtocolEntry *e = c->FindEntry(h, *Protocol);
  if (e == nullptr) return EFI_NOT_FOUND;
  const size_t n = e->opens.size();
  auto *buf = static_cast<EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *>(
      c->Allocate(std::max<size_t>(n, 1) * sizeof(EFI_OPEN_PROTOCOL_INFORMATION_ENTRY)));
  if (buf == nullptr) return EFI_OUT_OF_RESOURCES;
  for (size_t i = 0; i < n; ++i) {
    buf[i].AgentHandle = e->opens[i].agent;
    buf[i].ControllerHandle = e->opens[i].controller;
    buf[i].Attributes = e->opens[i].attributes;
    buf[i].OpenCount = e->opens[i].count;
  }
  *EntryBuffer = buf;
  *EntryCount = n;
  return EFI_SUCCESS;
}

// ---- Library ----

EFI_STATUS EFIAPI ProtocolsPerHandle(EFI_HANDLE Handle, EFI_GUID ***ProtocolBuffer, UINTN *ProtocolBufferCount) {
  Core *c = Current();
  if (ProtocolBuffer == nullptr || ProtocolBufferCount == nullptr) return EFI_INVALID_PARAMETER;
  internal::Handle *h = c->LiveHandle(Handle);
  if (h == nullptr) return EFI_INVALID_PARAMETER;
  const size_t n = h->protocols.size();
  auto *buf = static_cast<EFI_GUID **>(c->Allocate(std::max<size_t>(n, 1) * sizeof(EFI_GUID *)));
  if (buf == nullptr) return EFI_OUT_OF_RESOURCES;
  for (size_t i = 0; i < n; ++i) buf[i] = &h->protocols[i].guid;
  *ProtocolBuffer = buf;
  *ProtocolBufferCount = n;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol, VOID *SearchKey,
                                     UINTN *NoHandles, EFI_HANDLE **Buffer) {
  Core *c = Current();
  if (NoHandles == nullptr || Buffer == nullptr) return EFI_INVALID_PARAMETER;
  *NoHandles = 0;
  *Buffer = nullptr;
  UINTN size = 0;
  EFI_STATUS s = LocateHandle(SearchType, Protocol, SearchKey, &size, nullptr);
  if (s != EFI_BUFFER_TOO_SMALL) return s;
  auto *buf = static_cast<EFI_HANDLE *>(c->Allocate(size));
  if (buf == nullptr) return EFI_OUT_OF_RESOURCES;
  s = LocateHandle(SearchType, Protocol, SearchKey, &size, buf);
  if (EFI_ERROR(s)) {
    c->Free(buf);
    return s;
  }
  *Buffer = buf;
  *NoHandles = size / sizeof(EFI_HANDLE);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LocateProtocol(EFI_GUID *Protocol, VOID *, VOID **Interface) {
  Core *c = Current();
  c->CheckTpl(TPL_NOTIFY, "LocateProtocol");
  if (Protocol == nullptr || Interface == nullptr) return EFI_INVALID_PARAMETER;
  *Interface = nullptr;
  const std::vector<Handle *> found = c->HandlesWith(Protocol);
  if (found.empty()) return EFI_NOT_FOUND;
  *Interface = c->FindEntry(found.front(), *Protocol)->interface;
  return EFI_SUCCESS;
}

struct ProtocolPair {
  EFI_GUID *guid;
  void *interface;
};

// The GUID/interface pairs of a variadic call, up to the terminating null GUID.
std::vector<ProtocolPair> ReadPairs(__builtin_ms_va_list args) {
  std::vector<ProtocolPair> pairs;
  for (;;) {
    auto *guid = __builtin_va_arg(args, EFI_GUID *);
    if (guid == nullptr) break;
    void *interface = __builtin_va_arg(args, void *);
    pairs.push_back({guid, interface});
  }
  return pairs;
}

EFI_STATUS EFIAPI InstallMultipleProtocolInterfaces(EFI_HANDLE *Handle, ...) {
  Core *c = Current();
  c->CheckTpl(TPL_NOTIFY, "InstallMultipleProtocolInterfaces");
  if (Handle == nullptr) return EFI_INVALID_PARAMETER;
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, Handle);
  const std::vector<ProtocolPair> pairs = ReadPairs(args);
  __builtin_ms_va_end(args);

  internal::Handle *existing = nullptr;
  if (*Handle != nullptr) {
    existing = c->LiveHandle(*Handle);
    if (existing == nullptr) return EFI_INVALID_PARAMETER;
  }
  // Everything is checked first, so that the installation is all or nothing.
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (c->InstallFails(*pairs[i].guid)) return EFI_OUT_OF_RESOURCES;
    if (existing != nullptr && c->FindEntry(existing, *pairs[i].guid) != nullptr) return EFI_INVALID_PARAMETER;
    for (size_t j = 0; j < i; ++j) {
      if (SameGuid(*pairs[i].guid, *pairs[j].guid)) return EFI_INVALID_PARAMETER;
    }
  }
  for (const ProtocolPair &p : pairs) {
    const EFI_STATUS s = c->Install(Handle, *p.guid, p.interface);
    if (EFI_ERROR(s)) return s;  // cannot happen after the checks above
  }
  if (c->onInstall) {
    for (const ProtocolPair &p : pairs) c->onInstall(*Handle, *p.guid);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI UninstallMultipleProtocolInterfaces(EFI_HANDLE Handle, ...) {
  Core *c = Current();
  c->CheckTpl(TPL_NOTIFY, "UninstallMultipleProtocolInterfaces");
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, Handle);
  const std::vector<ProtocolPair> pairs = ReadPairs(args);
  __builtin_ms_va_end(args);

  internal::Handle *h = c->LiveHandle(Handle);
  if (h == nullptr) return EFI_INVALID_PARAMETER;
  // As the UEFI specification says: any interface that cannot be removed
  // leaves all of them installed and gives EFI_INVALID_PARAMETER.
  for (const ProtocolPair &p : pairs) {
    if (c->UninstallFails(*p.guid)) return EFI_INVALID_PARAMETER;
    ProtocolEntry *e = c->FindEntry(h, *p.guid);
    if (e == nullptr || e->interface != p.interface) return EFI_INVALID_PARAMETER;
    for (const OpenEntry &o : e->opens) {
      if (BlocksUninstall(o)) return EFI_INVALID_PARAMETER;
    }
  }
  for (const ProtocolPair &p : pairs) c->Uninstall(Handle, *p.guid, p.interface);
  if (c->onUninstall) {
    for (const ProtocolPair &p : pairs) c->onUninstall(Handle, *p.guid);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CalculateCrc32(VOID *Data, UINTN DataSize, UINT32 *Crc32Out) {
  if (Data == nullptr || DataSize == 0 || Crc32Out == nullptr) return EFI_INVALID_PARAMETER;
  *Crc32Out = Crc32(Data, DataSize);
  return EFI_SUCCESS;
}

VOID EFIAPI CopyMem(VOID *Destination, VOID *Source, UINTN Length) {
  if (Length != 0) memmove(Destination, Source, Length);
}

VOID EFIAPI SetMem(VOID *Buffer, UINTN Size, UINT8 Value) {
  if (Size != 0) memset(Buffer, Value, Size);
}

// ---- Runtime services ----

EFI_STATUS EFIAPI GetTime(EFI_TIME *Time, EFI_TIME_CAPABILITIES *Capabilities) {
  Core *c = Current();
  if (Time == nullptr) return EFI_INVALID_PARAMETER;
  const EFI_TIME &b = c->wallBase;
  const uint64_t elapsed = c->Now() - c->wallBaseTicks;
  uint64_t ns = b.Nanosecond + (elapsed % kTicksPerSecond) * 100;
  int64_t secs = DaysFromCivil(b.Year, b.Month, b.Day) * 86400 + b.Hour * 3600 + b.Minute * 60 + b.Second +
                 static_cast<int64_t>(elapsed / kTicksPerSecond) + static_cast<int64_t>(ns / 1'000'000'000);
  ns %= 1'000'000'000;
  int64_t y = 0;
  unsigned m = 0;
  unsigned d = 0;
  CivilFromDays(secs / 86400, &y, &m, &d);
  const int64_t rem = secs % 86400;
  *Time = EFI_TIME{};
  Time->Year = static_cast<UINT16>(y);
  Time->Month = static_cast<UINT8>(m);
  Time->Day = static_cast<UINT8>(d);
  Time->Hour = static_cast<UINT8>(rem / 3600);
  Time->Minute = static_cast<UINT8>(rem / 60 % 60);
  Time->Second = static_cast<UINT8>(rem % 60);
  Time->Nanosecond = static_cast<UINT32>(ns);
  Time->TimeZone = b.TimeZone;
  Time->Daylight = b.Daylight;
  if (Capabilities != nullptr) {
    Capabilities->Resolution = 1;
    Capabilities->Accuracy = 50'000'000;
    Capabilities->SetsToZero = FALSE;
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetTime(EFI_TIME *Time) {
  if (Time == nullptr) return EFI_INVALID_PARAMETER;
  Core *c = Current();
  c->wallBase = *Time;
  c->wallBaseTicks = c->Now();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetWakeupTime(BOOLEAN *, BOOLEAN *, EFI_TIME *) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI SetWakeupTime(BOOLEAN, EFI_TIME *) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI SetVirtualAddressMap(UINTN, UINTN, UINT32, EFI_MEMORY_DESCRIPTOR *) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI ConvertPointer(UINTN, VOID **) { return EFI_UNSUPPORTED; }


EFI_STATUS EFIAPI GetVariable(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 *Attributes, UINTN *DataSize,
                              VOID *Data) {
  Core *c = Current();
  if (VariableName == nullptr || VendorGuid == nullptr || DataSize == nullptr) return EFI_INVALID_PARAMETER;
  Variable *v = FindVariable(c, NameOf(VariableName), *VendorGuid);
  if (v == nullptr) return EFI_NOT_FOUND;
  if (*DataSize < v->data.size()) {
    *DataSize = v->data.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Data == nullptr && !v->data.empty()) return EFI_INVALID_PARAMETER;
  if (!v->data.empty()) memcpy(Data, v->data.data(), v->data.size());
  *DataSize = v->data.size();
  if (Attributes != nullptr) *Attributes = v->attributes;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetNextVariableName(UINTN *VariableNameSize, CHAR16 *VariableName, EFI_GUID *VendorGuid) {
  Core *c = Current();
  if (VariableNameSize == nullptr || VariableName == nullptr || VendorGuid == nullptr) return EFI_INVALID_PARAMETER;
  const std::u16string current = NameOf(VariableName);
  size_t next = 0;
  if (!current.empty()) {
    size_t i = 0;
    while (i < c->variables.size() &&
           !(c->variables[i].name == current && SameGuid(c->variables[i].vendor, *VendorGuid)))
      ++i;
    if (i == c->variables.size()) return EFI_INVALID_PARAMETER;
    next = i + 1;
  }
  if (next >= c->variables.size()) return EFI_NOT_FOUND;
  const Variable &v = c->variables[next];
  const UINTN need = (v.name.size() + 1) * sizeof(CHAR16);
  if (*VariableNameSize < need) {
    *VariableNameSize = need;
    return EFI_BUFFER_TOO_SMALL;
  }
  memcpy(VariableName, v.name.c_str(), need);
  *VendorGuid = v.vendor;
  *VariableNameSize = need;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetVariable(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 Attributes, UINTN DataSize,
                              VOID *Data) {
  Core *c = Current();
  if (VariableName == nullptr || VariableName[0] == 0 || VendorGuid == nullptr) return EFI_INVALID_PARAMETER;
  if (DataSize != 0 && Data == nullptr) return EFI_INVALID_PARAMETER;
  if ((Attributes & EFI_VARIABLE_RUNTIME_ACCESS) != 0 && (Attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS) == 0)
    return EFI_INVALID_PARAMETER;
  const std::u16string name = NameOf(VariableName);
  Variable *v = FindVariable(c, name, *VendorGuid);
  if (DataSize == 0 || Attributes == 0) {
    if (v == nullptr) return EFI_NOT_FOUND;
    c->variables.erase(c->variables.begin() + (v - c->variables.data()));
    return EFI_SUCCESS;
  }
  if (v != nullptr && v->attributes != Attributes) return EFI_INVALID_PARAMETER;
  if (v == nullptr) {
    c->variables.push_back({name, *VendorGuid, Attributes, {}});
    v = &c->variables.back();
  }
  const auto *p = static_cast<const uint8_t *>(Data);
  v->data.assign(p, p + DataSize);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetNextHighMonotonicCount(UINT32 *HighCount) {
  if (HighCount == nullptr) return EFI_INVALID_PARAMETER;
  Core *c = Current();
  c->monotonicCount = ((c->monotonicCount >> 32) + 1) << 32;
  *HighCount = static_cast<UINT32>(c->monotonicCount >> 32);
  return EFI_SUCCESS;
}

VOID EFIAPI ResetSystem(EFI_RESET_TYPE ResetType, EFI_STATUS, UINTN, VOID *) {
  Current()->resets.push_back(ResetType);
}

EFI_STATUS EFIAPI UpdateCapsule(VOID **, UINTN, EFI_PHYSICAL_ADDRESS) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI QueryCapsuleCapabilities(VOID **, UINTN, UINT64 *, EFI_RESET_TYPE *) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI QueryVariableInfo(UINT32, UINT64 *, UINT64 *, UINT64 *) { return EFI_UNSUPPORTED; }

// ---- Console output: kept, shown nowhere ----

EFI_STATUS EFIAPI ConReset(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, BOOLEAN) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI ConOutputString(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, CHAR16 *String) {
  if (String == nullptr) return EFI_INVALID_PARAMETER;
  Current()->console += NameOf(String);
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI ConTestString(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, CHAR16 *) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI ConQueryMode(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, UINTN Mode, UINTN *Columns, UINTN *Rows) {
  if (Mode != 0) return EFI_UNSUPPORTED;
  if (Columns != nullptr) *Columns = 80;
  if (Rows != nullptr) *Rows = 25;
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI ConSetMode(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, UINTN Mode) {
  return Mode == 0 ? EFI_SUCCESS : EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI ConSetAttribute(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, UINTN) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI ConClearScreen(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI ConSetCursorPosition(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, UINTN, UINTN) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI ConEnableCursor(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, BOOLEAN) { return EFI_SUCCESS; }

const CHAR16 kVendor[] = u"Orvale hosted firmware";
}  // namespace

Core::Core() {
  EFI_BOOT_SERVICES &b = bs;
  b.RaiseTPL = RaiseTpl;
  b.RestoreTPL = RestoreTpl;
  b.AllocatePages = AllocatePages;
  b.FreePages = FreePages;
  b.GetMemoryMap = GetMemoryMap;
  b.AllocatePool = AllocatePool;
  b.FreePool = FreePool;
  b.CreateEvent = CreateEvent;
  b.SetTimer = SetTimer;
  b.WaitForEvent = WaitForEvent;
  b.SignalEvent = SignalEvent;
  b.CloseEvent = internal::CloseEvent;
  b.CheckEvent = CheckEvent;
  b.InstallProtocolInterface = InstallProtocolInterface;
  b.ReinstallProtocolInterface = ReinstallProtocolInterface;
  b.UninstallProtocolInterface = UninstallProtocolInterface;
  b.HandleProtocol = HandleProtocol;
  b.Reserved = nullptr;
  b.RegisterProtocolNotify = RegisterProtocolNotify;
  b.LocateHandle = LocateHandle;
  b.LocateDevicePath = LocateDevicePath;
  b.InstallConfigurationTable = InstallConfigurationTable;
  b.LoadImage = LoadImage;
  b.StartImage = StartImage;
  b.Exit = Exit;
  b.UnloadImage = UnloadImage;
  b.ExitBootServices = ExitBootServices;
  b.GetNextMonotonicCount = GetNextMonotonicCount;
  b.Stall = Stall;
  b.SetWatchdogTimer = SetWatchdogTimer;
  b.ConnectController = ConnectController;
  b.DisconnectController = DisconnectController;
  b.OpenProtocol = OpenProtocol;
  b.CloseProtocol = CloseProtocol;
  b.OpenProtocolInformation = OpenProtocolInformation;
  b.ProtocolsPerHandle = ProtocolsPerHandle;
  b.LocateHandleBuffer = LocateHandleBuffer;
  b.LocateProtocol = LocateProtocol;
  b.InstallMultipleProtocolInterfaces = InstallMultipleProtocolInterfaces;
  b.UninstallMultipleProtocolInterfaces = UninstallMultipleProtocolInterfaces;
  b.CalculateCrc32 = CalculateCrc32;
  b.CopyMem = CopyMem;
  b.SetMem = SetMem;
  b.CreateEventEx = CreateEventEx;
  SealHeader(&bs, 0x56524553544f4f42ull);

  EFI_RUNTIME_SERVICES &r = rt;
  r.GetTime = GetTime;
  r.SetTime = SetTime;
  r.GetWakeupTime = GetWakeupTime;
  r.SetWakeupTime = SetWakeupTime;
  r.SetVirtualAddressMap = SetVirtualAddressMap;
  r.ConvertPointer = ConvertPointer;
  r.GetVariable = GetVariable;
  r.GetNextVariableName = GetNextVariableName;
  r.SetVariable = SetVariable;
  r.GetNextHighMonotonicCount = GetNextHighMonotonicCount;
  r.ResetSystem = ResetSystem;
  r.UpdateCapsule = UpdateCapsule;
  r.QueryCapsuleCapabilities = QueryCapsuleCapabilities;
  r.QueryVariableInfo = QueryVariableInfo;
  SealHeader(&rt, 0x56524553544e5552ull);

  conOut.Reset = ConReset;
  conOut.OutputString = ConOutputString;
  conOut.TestString = ConTestString;
  conOut.QueryMode = ConQueryMode;
  conOut.SetMode = ConSetMode;
  conOut.SetAttribute = ConSetAttribute;
  conOut.ClearScreen = ConClearScreen;
  conOut.SetCursorPosition = ConSetCursorPosition;
  conOut.EnableCursor = ConEnableCursor;
  conOutMode.MaxMode = 1;
  conOut.Mode = &conOutMode;

  st.FirmwareVendor = const_cast<CHAR16 *>(kVendor);
  st.FirmwareRevision = 0x00010000;
  st.ConOut = &conOut;
  st.StdErr = &conOut;
  st.RuntimeServices = &rt;
  st.BootServices = &bs;
  SealHeader(&st, 0x5453595320494249ull);

  wallBase.Year = 2026;
  wallBase.Month = 1;
  wallBase.Day = 1;
  wallBase.TimeZone = 2047;  // EFI_UNSPECIFIED_TIMEZONE
}

}  // namespace internal
}  // namespace hosted
