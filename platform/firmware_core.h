// Internal state of the hosted firmware, shared by the platform's sources
// (boot services, MNP, platform tables). Not for tests: they use hosted.h.
#ifndef ORVALE_PLATFORM_FIRMWARE_CORE_H
#define ORVALE_PLATFORM_FIRMWARE_CORE_H

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/hosted.h"

namespace hosted::internal {

struct Event;
// The armed events by deadline, then creation.
using TimerMap = std::map<std::pair<uint64_t, uint64_t>, Event *>;

struct Event {
  uint32_t type = 0;
  EFI_TPL tpl = 0;
  EFI_EVENT_NOTIFY notify = nullptr;
  void *context = nullptr;
  uint64_t serial = 0;
  bool signalled = false;
  bool queued = false;  // notify waiting for the TPL to drop
  bool closed = false;
  bool internal = false;  // created by the platform itself; not in LiveEvents
  bool armed = false;
  uint64_t deadline = 0;
  uint64_t period = 0;  // 0: relative
  bool live = false;     // created and not closed
  // The timer entry while disarmed, kept so re-arming allocates nothing.
  TimerMap::node_type timerNode;
};

// Events live in chunks that are never freed while the firmware lives, so any
// handle is checked by its address alone. A closed event's slot is taken again
// only after kQuarantine later closes: a stale handle is reported as closed
// for that long, and creating and closing events allocates nothing.
class EventStore {
 public:
  static constexpr size_t kPerChunk = 256;
  static constexpr size_t kQuarantine = 1024;

  Event *New();
  void Closed(Event *e);
  // The event at this address, live or closed; null when it is none of ours.
  Event *Find(const void *p) const;
  template <typename F>
  void ForEachLive(F f) const {
    for (const auto &chunk : chunks_) {
      for (const Event &e : chunk->slots) {
        if (e.live) f(e);
      }
    }
  }

 private:
  struct Chunk {
    Event slots[kPerChunk];
  };
  std::vector<std::unique_ptr<Chunk>> chunks_;
  std::vector<Chunk *> byAddress_;  // sorted by address
  mutable const Chunk *lastFound_ = nullptr;
  size_t usedInLast_ = kPerChunk;   // slots of the newest chunk handed out
  std::vector<Event *> quarantine_ = std::vector<Event *>(kQuarantine);  // a ring, oldest at qHead_
  size_t qHead_ = 0;
  size_t qCount_ = 0;
  std::vector<Event *> free_;
};

struct OpenEntry {
  EFI_HANDLE agent = nullptr;
  EFI_HANDLE controller = nullptr;
  uint32_t attributes = 0;
  uint32_t count = 0;
};

struct ProtocolEntry {
  EFI_GUID guid{};
  void *interface = nullptr;
  std::vector<OpenEntry> opens;
};

struct Handle {
  uint64_t serial = 0;
  bool alive = true;
  std::vector<ProtocolEntry> protocols;
};

struct Variable {
  std::u16string name;
  EFI_GUID vendor{};
  uint32_t attributes = 0;
  Bytes data;
};

struct LoadedImage;  // firmware.cpp
class MnpNic;        // mnp.cpp
struct Tables;       // tables.cpp
struct NicDeleter {
  void operator()(MnpNic *nic) const;
};
struct TablesDeleter {
  void operator()(Tables *tables) const;
};

bool SameGuid(const EFI_GUID &a, const EFI_GUID &b);
std::string GuidText(const EFI_GUID &g);

struct Core {
  Core();
  ~Core();

  // ---- Diagnostics ----
  // A misuse of a boot service by the caller: kept for tests and printed.
  void Error(const std::string &text);
  void TplViolation(const std::string &text);
  // Records a violation when the current TPL is above the service's limit.
  void CheckTpl(EFI_TPL limit, const char *service);

  // ---- Clock ----
  uint64_t Now() const;
  // Delivers the frames and fires the timers due at the current time; true
  // when anything was delivered or fired.
  bool Settle();
  // Moves the clock to target, delivering and firing in time order on the way.
  void AdvanceTo(uint64_t target);
  // Earliest armed timer deadline or frame due on a simulated wire.
  std::optional<uint64_t> EarliestPending() const;
  void UseRealTime(bool on);

  // ---- Events and TPL ----
  Event *NewEvent(uint32_t type, EFI_TPL tpl, EFI_EVENT_NOTIFY notify, void *context, bool internal);
  Event *LiveEvent(EFI_EVENT e, const char *service);
  void RealTimePause(long ns);
  void Signal(Event *e);
  void CloseEvent(Event *e);
  // Arms (period 0: once) or disarms a timer, keeping timers in step.
  void Arm(Event *e, uint64_t deadline, uint64_t period);
  void Disarm(Event *e);
  // Runs queued notifications whose TPL is above level, highest first.
  void DispatchAbove(EFI_TPL level);

  // ---- Pool ----
  void *Allocate(size_t size);  // null on an injected failure
  bool Free(void *p);

  // ---- Handles ----
  Handle *NewHandle();
  Handle *LiveHandle(EFI_HANDLE h) const;
  ProtocolEntry *FindEntry(Handle *h, const EFI_GUID &guid) const;
  EFI_STATUS Install(EFI_HANDLE *handle, const EFI_GUID &guid, void *interface);
  EFI_STATUS Uninstall(EFI_HANDLE handle, const EFI_GUID &guid, void *interface);
  bool InstallFails(const EFI_GUID &guid) const;
  bool UninstallFails(const EFI_GUID &guid) const;
  std::vector<Handle *> HandlesWith(const EFI_GUID *guid) const;  // null: all

  // ---- Wires ----
  void UseWire(Wire *wire);
  void ForgetWire(Wire *wire);

  Firmware *owner = nullptr;
  EFI_SYSTEM_TABLE st{};
  EFI_BOOT_SERVICES bs{};
  EFI_RUNTIME_SERVICES rt{};
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL conOut{};
  SIMPLE_TEXT_OUTPUT_MODE conOutMode{};
  std::u16string console;
  std::vector<EFI_CONFIGURATION_TABLE> configTables;

  std::vector<std::string> errors;
  std::vector<std::string> tplViolations;

  std::map<void *, size_t> pool;
  size_t poolBytes = 0;
  int failNth = -1;
  size_t failSize = 0;

  EFI_TPL tpl = TPL_APPLICATION;
  uint64_t eventSerial = 0;
  EventStore events;
  std::deque<Event *> pendingNotifies;
  // The clock's next event and the timers due are found without walking
  // every event.
  TimerMap timers;

  uint64_t now = 0;
  bool realTime = false;
  uint64_t realOriginTicks = 0;  // virtual time when real time was switched on
  uint64_t realOriginMono = 0;   // CLOCK_MONOTONIC then, in ticks
  uint64_t idleChecks = 0;       // CheckEvent calls in a row that changed nothing
  uint64_t idleSince = 0;        // the clock when they began
  // An MNP receive completed with a frame since the last CheckEvent: the
  // driver has work in hand, so the clock does not jump ahead of it.
  bool delivered = false;
  // Asked before CheckEvent moves the clock for an idle caller; true: another
  // caller ran instead, so the clock stays (Firmware::SetBeforeClockJump).
  std::function<bool(uint64_t deadline)> beforeClockJump;

  uint64_t handleSerial = 0;
  std::vector<std::unique_ptr<Handle>> handles;
  std::unordered_set<const void *> liveHandles;
  std::vector<EFI_GUID> failInstall;
  std::vector<EFI_GUID> failUninstall;
  // Run after a protocol is installed or uninstalled, as other drivers' notifications would.
  std::function<void(EFI_HANDLE, const EFI_GUID &)> onInstall;
  std::function<void(EFI_HANDLE, const EFI_GUID &)> onUninstall;

  std::vector<std::unique_ptr<LoadedImage>> images;
  EFI_HANDLE driverImage = nullptr;
  EFI_HANDLE firmwareImage = nullptr;

  uint64_t monotonicCount = 1;
  EFI_TIME wallBase{};
  uint64_t wallBaseTicks = 0;
  std::vector<Variable> variables;
  std::vector<EFI_RESET_TYPE> resets;

  std::vector<std::unique_ptr<MnpNic, NicDeleter>> nics;
  // Every MNP child's protocol interface, to its child (mnp.cpp): a call finds
  // its child without walking every NIC.
  std::unordered_map<const void *, void *> mnpChildren;
  std::vector<Wire *> wires;
  std::unique_ptr<Tables, TablesDeleter> tables;
};

// Shared by the firmware's files (services.cpp, core.cpp, firmware.cpp).
extern Core *gCore;
extern Firmware *gFirmware;
inline constexpr EFI_GUID kLoadedImageGuid = {0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
inline constexpr EFI_GUID kDriverBindingGuid = EFI_DRIVER_BINDING_PROTOCOL_GUID;
// Real-time waits sleep in steps of this many nanoseconds between polls.
inline constexpr long kRealTimeSleepNs = 100'000;
uint64_t MonotonicTicks();
void SleepNs(long ns);
std::string PtrText(const void *p);
Variable *FindVariable(Core *c, const std::u16string &name, const EFI_GUID &vendor);
// Opens that keep a protocol from being uninstalled.
inline bool BlocksUninstall(const OpenEntry &e) {
  return (e.attributes & (EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE |
                          EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER)) != 0;
}

// A loaded-image record for the driver's image handle (x64 layout).
struct LoadedImage {
  struct {
    UINT32 Revision;
    EFI_HANDLE ParentHandle;
    EFI_SYSTEM_TABLE *SystemTable;
    EFI_HANDLE DeviceHandle;
    VOID *FilePath;
    VOID *Reserved;
    UINT32 LoadOptionsSize;
    VOID *LoadOptions;
    VOID *ImageBase;
    UINT64 ImageSize;
    EFI_MEMORY_TYPE ImageCodeType;
    EFI_MEMORY_TYPE ImageDataType;
    EFI_STATUS(EFIAPI *Unload)(EFI_HANDLE);
  } protocol;
};

// The core of the current firmware; aborts with a message when there is none.
Core *Current();
Core *CurrentOrNull();

// Provided by mnp.cpp and tables.cpp.
MnpNic *CreateNic(Core *core, Wire *wire, const Mac &mac, unsigned index);
void DestroyNics(Core *core);
void DetachNicsFrom(Core *core, Wire *wire);
Nic *AsNic(MnpNic *nic);
// A NIC's failServiceBindingOpen fault: OpenProtocol (other than TEST) of its service binding fails.
bool NicRefusesOpen(Core *core, EFI_HANDLE handle, const EFI_GUID &guid);
std::unique_ptr<Tables, TablesDeleter> CreateTables(Core *core);
void DestroyTables(Core *core);

}  // namespace hosted::internal

namespace hosted {
struct Firmware::Impl : internal::Core {};
}  // namespace hosted

#endif
