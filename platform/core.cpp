// The hosted firmware's core: the clock, events and TPL, the pool, the
// handle database and the wires, behind the boot services of services.cpp.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/firmware_core.h"
#include "platform/small_list.h"

namespace hosted {
namespace internal {

Core *gCore = nullptr;
Firmware *gFirmware = nullptr;

uint64_t MonotonicTicks() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * kTicksPerSecond + static_cast<uint64_t>(ts.tv_nsec) / 100;
}

void SleepNs(long ns) {
  timespec ts{0, ns};
  nanosleep(&ts, nullptr);
}

std::string PtrText(const void *p) {
  char buf[32];
  snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

bool SameGuid(const EFI_GUID &a, const EFI_GUID &b) { return memcmp(&a, &b, sizeof a) == 0; }

std::string GuidText(const EFI_GUID &g) {
  char buf[40];
  snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
           g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

Core *CurrentOrNull() { return gCore; }

Core *Current() {
  if (gCore == nullptr) {
    fprintf(stderr, "hosted firmware: a firmware service was called while no hosted::Firmware exists\n");
    abort();
  }
  return gCore;
}

Core::~Core() {
  for (auto &entry : pool) free(entry.first);
}

void Core::Error(const std::string &text) {
  fprintf(stderr, "hosted firmware: %s\n", text.c_str());
  errors.push_back(text);
}

void Core::TplViolation(const std::string &text) {
  fprintf(stderr, "hosted firmware: TPL VIOLATION: %s\n", text.c_str());
  tplViolations.push_back(text);
}

void Core::CheckTpl(EFI_TPL limit, const char *service) {
  if (tpl > limit) {
    TplViolation(std::string(service) + " called at TPL " + std::to_string(tpl) + ", above its limit " +
                 std::to_string(limit));
  }
}

// ---- Clock ----

uint64_t Core::Now() const {
  if (!realTime) return now;
  return realOriginTicks + (MonotonicTicks() - realOriginMono);
}

void Core::UseRealTime(bool on) {
  if (on == realTime) return;
  if (on) {
    realOriginTicks = now;
    realOriginMono = MonotonicTicks();
    realTime = true;
  } else {
    now = Now();
    realTime = false;
  }
}

std::optional<uint64_t> Core::EarliestPending() const {
  std::optional<uint64_t> best;
  auto consider = [&](uint64_t t) {
    if (!best || t < *best) best = t;
  };
  for (Wire *w : wires) {
    if (w->RealTime()) continue;
    if (std::optional<uint64_t> due = w->NextDue()) consider(*due);
  }
  if (!timers.empty()) consider(timers.begin()->first.first);
  return best;
}

bool Core::Settle() {
  bool any = false;
  // Bounded: two peers answering each other without delay would go on forever.
  for (int round = 0; round < 100000; ++round) {
    bool did = false;
    const uint64_t t = Now();
    // A snapshot: a Pump may attach or detach wires.
    const SmallList<Wire *> current(wires);
    for (Wire *w : current) {
      if (std::find(wires.begin(), wires.end(), w) == wires.end()) continue;
      if (w->RealTime()) {
        w->Pump();
        continue;
      }
      const std::optional<uint64_t> due = w->NextDue();
      if (due && *due <= t) {
        w->Pump();
        did = true;
      }
    }
    const size_t fired = [&] {
      size_t n = 0;
      // In deadline order, then creation order.
      SmallList<Event *> due;
      for (auto it = timers.begin(); it != timers.end() && it->first.first <= Now(); ++it) due.Add(it->second);
      for (Event *e : due) {
        if (e->closed || !e->armed || e->deadline > Now()) continue;
        if (e->period != 0) {
          uint64_t next = e->deadline;
          while (next <= Now()) next += e->period;
          Arm(e, next, e->period);
        } else {
          Disarm(e);
        }
        ++n;
        Signal(e);
      }
      return n;
    }();
    if (fired != 0) did = true;
    if (!did) break;
    any = true;
  }
  return any;
}

void Core::AdvanceTo(uint64_t target) {
  if (realTime) {
    for (;;) {
      Settle();
      const uint64_t t = Now();
      if (t >= target) return;
      const uint64_t leftNs = (target - t) * 100;
      SleepNs(static_cast<long>(std::min<uint64_t>(leftNs, kRealTimeSleepNs)));
    }
  }
  Settle();
  for (;;) {
    const std::optional<uint64_t> next = EarliestPending();
    if (!next || *next > target) break;
    if (*next > now) {
      now = *next;
    } else if (!Settle()) {
      break;  // something claims to be due and does not happen; do not spin
    } else {
      continue;
    }
    Settle();
  }
  if (target > now) now = target;
  Settle();
}

// ---- Events and TPL ----

Event *EventStore::New() {
  Event *e;
  if (!free_.empty()) {
    e = free_.back();
    free_.pop_back();
  } else {
    if (usedInLast_ == kPerChunk) {
      chunks_.push_back(std::make_unique<Chunk>());
      Chunk *c = chunks_.back().get();
      byAddress_.insert(std::upper_bound(byAddress_.begin(), byAddress_.end(), c, std::less<Chunk *>()), c);
      usedInLast_ = 0;
    }
    e = &chunks_.back()->slots[usedInLast_++];
  }
  TimerMap::node_type node = std::move(e->timerNode);
  *e = Event{};
  e->timerNode = std::move(node);
  e->live = true;
  return e;
}

void EventStore::Closed(Event *e) {
  if (qCount_ == kQuarantine) {
    free_.push_back(quarantine_[qHead_]);
    qHead_ = (qHead_ + 1) % kQuarantine;
    --qCount_;
  }
  quarantine_[(qHead_ + qCount_) % kQuarantine] = e;
  ++qCount_;
}

Event *EventStore::Find(const void *p) const {
  const auto offsetIn = [p](const Chunk *c) {
    return reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(c->slots);
  };
  // Most handles are in the chunk of the one before.
  const Chunk *c = lastFound_;
  if (c == nullptr || offsetIn(c) >= sizeof c->slots) {
    const auto less = [](const void *a, const void *b) { return std::less<const void *>()(a, b); };
    auto it = std::upper_bound(byAddress_.begin(), byAddress_.end(), p, less);
    if (it == byAddress_.begin()) return nullptr;
    c = *--it;
  }
  const uintptr_t offset = offsetIn(c);
  if (offset >= sizeof c->slots || offset % sizeof(Event) != 0) return nullptr;
  lastFound_ = c;
  Event *e = const_cast<Event *>(&c->slots[offset / sizeof(Event)]);
  return e->live || e->closed ? e : nullptr;
}

Event *Core::NewEvent(uint32_t type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notify, void *context, bool isInternal) {
  Event *e = events.New();
  e->type = type;
  e->tpl = notifyTpl;
  e->notify = notify;
  e->context = context;
  e->serial = ++eventSerial;
  e->internal = isInternal;
  return e;
}

Event *Core::LiveEvent(EFI_EVENT e, const char *service) {
  Event *found = e != nullptr ? events.Find(e) : nullptr;
  if (found != nullptr && found->live) return found;
  if (e == nullptr) {
    Error(std::string(service) + " of a null event");
  } else if (found != nullptr) {
    Error(std::string(service) + " of event " + PtrText(e) + ", which was already closed");
  } else {
    Error(std::string(service) + " of " + PtrText(e) + ", which is no event");
  }
  return nullptr;
}

// Between polls of a real-time wait: blocked on the wire until a frame comes
// (firmware would poll; a sleeping reader is what the host schedules best, and
// a lock-step transfer then pays no fixed sleep per block), else a plain sleep.
void Core::RealTimePause(long ns) {
  for (Wire *w : wires) {
    if (w->RealTime() && w->WaitReadable(ns)) return;
  }
  SleepNs(ns);
}

void Core::Signal(Event *e) {
  if ((e->type & EVT_NOTIFY_SIGNAL) != 0) {
    if (e->queued) return;
    e->signalled = true;
    e->queued = true;
    pendingNotifies.push_back(e);
    DispatchAbove(tpl);
  } else {
    e->signalled = true;
  }
}

void Core::Arm(Event *e, uint64_t deadline, uint64_t period) {
  Disarm(e);
  e->armed = true;
  e->deadline = deadline;
  e->period = period;
  if (e->timerNode.empty()) {
    timers.emplace(std::make_pair(deadline, e->serial), e);
  } else {
    e->timerNode.key() = std::make_pair(deadline, e->serial);
    e->timerNode.mapped() = e;
    timers.insert(std::move(e->timerNode));
  }
}

void Core::Disarm(Event *e) {
  if (e->armed) e->timerNode = timers.extract(std::make_pair(e->deadline, e->serial));
  e->armed = false;
}

void Core::CloseEvent(Event *e) {
  Disarm(e);
  e->closed = true;
  e->live = false;
  e->signalled = false;
  events.Closed(e);
  if (e->queued) {
    pendingNotifies.erase(std::remove(pendingNotifies.begin(), pendingNotifies.end(), e), pendingNotifies.end());
    e->queued = false;
  }
}

void Core::DispatchAbove(EFI_TPL level) {
  for (;;) {
    auto best = pendingNotifies.end();
    for (auto it = pendingNotifies.begin(); it != pendingNotifies.end(); ++it) {
      if ((*it)->tpl > level && (best == pendingNotifies.end() || (*it)->tpl > (*best)->tpl)) best = it;
    }
    if (best == pendingNotifies.end()) return;
    Event *e = *best;
    if (best == pendingNotifies.begin()) {
      pendingNotifies.pop_front();
    } else {
      pendingNotifies.erase(best);
    }
    e->queued = false;
    if ((e->type & EVT_NOTIFY_SIGNAL) != 0) e->signalled = false;
    if (e->closed || e->notify == nullptr) continue;
    const EFI_TPL saved = tpl;
    tpl = e->tpl;
    e->notify(e, e->context);
    if (tpl != e->tpl) {
      TplViolation("a notify function at TPL " + std::to_string(e->tpl) + " returned at TPL " + std::to_string(tpl));
    }
    tpl = saved;
  }
}

// ---- Pool ----

void *Core::Allocate(size_t size) {
  bool fail = false;
  if (failNth == 0) {
    fail = true;
    failNth = -1;
  } else if (failNth > 0) {
    --failNth;
  }
  if (failSize != 0 && size == failSize) fail = true;
  if (fail) return nullptr;
  void *p = malloc(size != 0 ? size : 1);
  if (p == nullptr) return nullptr;
  // Pool memory is not zeroed on the real firmware either.
  memset(p, 0xAF, size);
  pool[p] = size;
  poolBytes += size;
  return p;
}

bool Core::Free(void *p) {
  auto it = pool.find(p);
  if (it == pool.end()) {
    Error(p == nullptr ? std::string("FreePool(NULL)")
                       : "FreePool(" + PtrText(p) + ") of a pointer the pool did not give out (or gave out and took back)");
    return false;
  }
  poolBytes -= it->second;
  pool.erase(it);
  free(p);
  return true;
}

// ---- Handles ----

Handle *Core::NewHandle() {
  auto h = std::make_unique<Handle>();
  h->serial = ++handleSerial;
  Handle *raw = h.get();
  handles.push_back(std::move(h));
  liveHandles.insert(raw);
  return raw;
}

Handle *Core::LiveHandle(EFI_HANDLE h) const {
  if (h == nullptr || liveHandles.count(h) == 0) return nullptr;
  return static_cast<Handle *>(h);
}

ProtocolEntry *Core::FindEntry(Handle *h, const EFI_GUID &guid) const {
  for (ProtocolEntry &e : h->protocols) {
    if (SameGuid(e.guid, guid)) return &e;
  }
  return nullptr;
}

EFI_STATUS Core::Install(EFI_HANDLE *handle, const EFI_GUID &guid, void *interface) {
  Handle *h = nullptr;
  if (*handle == nullptr) {
    h = NewHandle();
  } else {
    h = LiveHandle(*handle);
    if (h == nullptr) return EFI_INVALID_PARAMETER;
    if (FindEntry(h, guid) != nullptr) return EFI_INVALID_PARAMETER;
  }
  h->protocols.push_back({guid, interface, {}});
  *handle = h;
  return EFI_SUCCESS;
}

EFI_STATUS Core::Uninstall(EFI_HANDLE handle, const EFI_GUID &guid, void *interface) {
  Handle *h = LiveHandle(handle);
  if (h == nullptr) return EFI_INVALID_PARAMETER;
  ProtocolEntry *e = FindEntry(h, guid);
  if (e == nullptr || e->interface != interface) return EFI_NOT_FOUND;
  for (const OpenEntry &o : e->opens) {
    if (BlocksUninstall(o)) return EFI_ACCESS_DENIED;
  }
  h->protocols.erase(h->protocols.begin() + (e - h->protocols.data()));
  if (h->protocols.empty()) {
    h->alive = false;
    liveHandles.erase(h);
  }
  return EFI_SUCCESS;
}

bool Core::InstallFails(const EFI_GUID &guid) const {
  return std::any_of(failInstall.begin(), failInstall.end(), [&](const EFI_GUID &g) { return SameGuid(g, guid); });
}

bool Core::UninstallFails(const EFI_GUID &guid) const {
  return std::any_of(failUninstall.begin(), failUninstall.end(),
                     [&](const EFI_GUID &g) { return SameGuid(g, guid); });
}

std::vector<Handle *> Core::HandlesWith(const EFI_GUID *guid) const {
  std::vector<Handle *> out;
  for (const auto &h : handles) {
    if (!h->alive) continue;
    if (guid == nullptr || FindEntry(h.get(), *guid) != nullptr) out.push_back(h.get());
  }
  return out;
}

// ---- Wires ----

void Core::UseWire(Wire *wire) {
  if (wire == nullptr || std::find(wires.begin(), wires.end(), wire) != wires.end()) return;
  wires.push_back(wire);
  if (wire->RealTime()) UseRealTime(true);
}

void Core::ForgetWire(Wire *wire) {
  DetachNicsFrom(this, wire);
  wires.erase(std::remove(wires.begin(), wires.end(), wire), wires.end());
}
Variable *FindVariable(Core *c, const std::u16string &name, const EFI_GUID &vendor) {
  for (Variable &v : c->variables) {
    if (v.name == name && SameGuid(v.vendor, vendor)) return &v;
  }
  return nullptr;
}
}  // namespace internal
}  // namespace hosted
