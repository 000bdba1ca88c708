// The hosted UEFI platform: a simulated firmware that runs the driver sources
// unchanged, with a virtual clock, and an MNP over a Wire (a simulated
// Ethernet segment, or a packet socket on a real Linux interface).
//
// Virtual time (100-ns ticks) advances only when the driver waits: on Stall,
// and when CheckEvent looks at an armed, unfired timer while nothing is due on
// the wire; the clock then jumps to the earliest pending event (any armed
// timer's deadline or the next scheduled frame), never past the deadline of
// the timer being checked. A lone MNP Poll never moves time.
#ifndef ORVALE_PLATFORM_HOSTED_H
#define ORVALE_PLATFORM_HOSTED_H

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "include/orvale/orvale_protocol.h"

namespace hosted {

constexpr uint64_t kTicksPerSecond = 10'000'000;
constexpr uint64_t kTicksPerMs = 10'000;

using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;

// ---- Wires ----

// One Ethernet frame as it crosses a wire: destination MAC first, no FCS.
struct Frame {
  Bytes bytes;
  uint64_t time = 0;  // when it is (or was) due at the receiver
};

class Wire;

// Something attached to a wire: a driver NIC's MNP or a scripted peer.
class Port {
 public:
  virtual ~Port() = default;
  virtual Mac Address() const = 0;
  // A frame reached this port at its due time.
  virtual void Deliver(const Frame &frame) = 0;
};

// A medium that carries frames between ports.
class Wire {
 public:
  virtual ~Wire() = default;
  virtual void Attach(Port *port) = 0;
  virtual void Detach(Port *port) = 0;
  // from sends a frame now (the wire applies its delay, loss and duplication).
  virtual void Send(Port *from, const Bytes &frame) = 0;
  // Delivers every frame due at or before the platform's current time.
  virtual void Pump() = 0;
  // Earliest due time of a frame in flight, if any (simulated wires only).
  virtual std::optional<uint64_t> NextDue() const = 0;
  // Real wires run on the real clock.
  virtual bool RealTime() const { return false; }
  // Real wires: waits until a frame may be ready or ns nanoseconds pass, so a
  // poller sleeps like a blocked reader and wakes when a frame comes. False
  // when the wire cannot wait (the caller then sleeps instead).
  virtual bool WaitReadable(long ns) {
    (void)ns;
    return false;
  }
};

// Faults a test can inject on the simulated segment.
struct SegmentFaults {
  double lossRate = 0.0;          // each frame dropped with this probability
  double duplicateRate = 0.0;     // each frame delivered twice
  uint64_t delay = 0;             // ticks added to every frame
  uint64_t jitter = 0;            // up to this many ticks more, which also reorders
  uint32_t seed = 1;              // the faults are deterministic for one seed
  // Drop exactly the frames whose 0-based index (counted over all sends) is listed.
  std::vector<uint64_t> dropIndexes;
};

// A simulated Ethernet segment: every frame reaches every other port (the
// ports filter by address themselves). Deterministic.
// For comparing two runs frame by frame: when ORVALE_FRAME_DIGEST names a
// file, every segment appends "<label> <frames> <digest>" for all the frames
// sent on it when it is destroyed (the label is FrameDigestLabel's, a test's
// name in the test binary).
extern std::string (*FrameDigestLabel)();

class SimSegment : public Wire {
 public:
  SimSegment();
  ~SimSegment() override;
  void Attach(Port *port) override;
  void Detach(Port *port) override;
  void Send(Port *from, const Bytes &frame) override;
  void Pump() override;
  std::optional<uint64_t> NextDue() const override;

  void SetFaults(const SegmentFaults &faults);
  // Injects a frame as if sent by nobody attached (delivered to every port) at now + delay.
  void Inject(const Bytes &frame, uint64_t delay = 0);
  // Every frame sent on the segment, in send order, with its send time.
  const std::vector<Frame> &History() const;
  void ClearHistory();
  // Off: History stays empty (a fuzz input's thousands of frames cost a copy each).
  void SetKeepHistory(bool on);
  // Writes every frame sent from now on to a pcap file (microsecond timestamps of virtual time).
  bool StartCapture(const std::string &path);
  void StopCapture();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---- Firmware ----

// How the BIS provider behaves; each value but Good is one way ProbeBis must refuse it.
enum class BisMode {
  Absent,
  Good,
  TwoHandles,         // LocateHandle finds two handles
  NullInterface,      // HandleProtocol gives a null interface
  BadRevision,        // revision other than 0 and 0x10000
  NullOperation,      // one of the ten operations is null
  InitializeFails,
  WrongMajorVersion,  // Initialize reports major version 2
  CheckFlagFails,
  CheckFlagFalse,
  SignatureInfoFails,
  SignatureInfoNull,
};

struct BisConfig {
  BisMode mode = BisMode::Absent;
  uint32_t signatureInfoLength = 16;  // Length of the signature information returned
  EFI_STATUS verifyStatus = EFI_SUCCESS;
  bool verifyResult = true;
};

// MNP faults a test can inject on one NIC.
struct MnpFaults {
  bool transmitFails = false;         // Transmit returns EFI_DEVICE_ERROR
  bool transmitNeverCompletes = false;
  bool receiveCompletesWithError = false;  // the next receive completes with EFI_DEVICE_ERROR
  bool receiveAlwaysCompletesWithError = false;  // every receive completes with EFI_DEVICE_ERROR
  bool receiveFails = false;                     // Receive returns EFI_DEVICE_ERROR
  // Each frame handed to a child moves the virtual clock on by this much (the
  // receiver's handling time), so frames sent at a shorter interval pile up as
  // they do under a real flood.
  uint64_t receiveTicks = 0;
  bool failServiceBindingOpen = false;
  bool failCreateChild = false;
  bool failChildOpen = false;  // OpenProtocol of an MNP child's protocol is refused
  EFI_STATUS transmitCompletion = EFI_SUCCESS;  // the status transmit tokens complete with
};

struct Nic;
struct PeerHandle;

// A simulated firmware. Construct one per test; it becomes current (the
// driver's gBS/gST point into it) until destroyed.
class Firmware {
 public:
  Firmware();
  ~Firmware();
  Firmware(const Firmware &) = delete;
  Firmware &operator=(const Firmware &) = delete;
  static Firmware *Current();

  EFI_SYSTEM_TABLE *SystemTable();
  EFI_BOOT_SERVICES *BootServices();

  // Loads the driver afresh: a new image handle, the image entry run again.
  EFI_HANDLE LoadDriver();
  EFI_HANDLE DriverImage() const;

  // A controller handle with a device path and an MNP service binding whose
  // MNP reaches the given wire. The NIC is owned by the firmware.
  Nic *AddNic(Wire *wire, const Mac &mac);
  // Connects the driver to a controller (Supported then Start), as ConnectController would.
  EFI_STATUS ConnectDriver(Nic *nic);
  EFI_STATUS DisconnectDriver(Nic *nic);  // the driver binding's Stop

  // Handle database access for tests.
  EFI_HANDLE NewHandle();
  bool HandleExists(EFI_HANDLE handle) const;
  void *FindProtocol(EFI_HANDLE handle, const EFI_GUID &guid) const;
  size_t HandleCount() const;

  // Virtual clock.
  uint64_t Now() const;
  void Advance(uint64_t ticks);  // delivers what falls due on the way
  void SetWallTime(const EFI_TIME &time);  // GetTime = this + elapsed virtual time
  // Real clock instead (packet-socket wires); Stall and timers then use CLOCK_MONOTONIC.
  void UseRealTime(bool on);

  // Several callers on one firmware, each on its own thread with one running
  // at a time: CheckEvent asks this hook before it moves the clock for a
  // caller with nothing to do, giving the deadline of the timer checked. A
  // hook that returns true has let the other callers run first; the clock
  // then stays and CheckEvent answers EFI_NOT_READY, so the caller polls
  // again before any jump.
  void SetBeforeClockJump(std::function<bool(uint64_t deadline)> hook);

  // Accounting.
  size_t LivePoolBlocks() const;
  size_t LivePoolBytes() const;
  size_t LiveEvents() const;
  EFI_TPL CurrentTpl() const;
  // RaiseTPL below the current level or RestoreTPL above it; each recorded as text.
  const std::vector<std::string> &TplViolations() const;
  // Other misuse of the firmware, each recorded as text (and printed): FreePool of
  // a pointer the pool never gave out, CloseEvent of an unknown or closed event,
  // a recycle event signalled twice, a call on a destroyed MNP child.
  const std::vector<std::string> &Errors() const;

  // Pool faults: the allocation that is the n-th from now (0 = the next) fails; -1 switches it off.
  void FailAllocation(int nth);
  // Fails every allocation of exactly this size from now on (0 switches it off).
  void FailAllocationsOfSize(size_t size);
  // InstallMultipleProtocolInterfaces / UninstallMultipleProtocolInterfaces of this GUID fail.
  void FailInstallOf(const EFI_GUID &guid, bool on);
  void FailUninstallOf(const EFI_GUID &guid, bool on);
  // Called after each protocol that InstallMultipleProtocolInterfaces or
  // UninstallMultipleProtocolInterfaces installed or removed, as another
  // driver's protocol notification would run (an empty function removes it).
  void OnInstall(std::function<void(EFI_HANDLE, const EFI_GUID &)> hook);
  void OnUninstall(std::function<void(EFI_HANDLE, const EFI_GUID &)> hook);

  // Platform data the driver reads.
  void SetBis(const BisConfig &config);
  int BisLiveApplicationHandles() const;  // Initialize minus Shutdown
  int BisOutstandingSignatureInfo() const;  // GetSignatureInfo results not yet given to Free
  struct BisVerification {
    Bytes credentials;
    Bytes data;
  };
  const std::vector<BisVerification> &BisVerifications() const;  // every VerifyBootObject call
  // Data hub: present with one model-name record holding value (UTF-16 code units).
  void SetModelName(const std::u16string &value);
  void RemoveDataHub();
  // A raw data-hub record (header and body as the driver reads them), appended.
  void AddDataHubRecord(const Bytes &record);
  // The 16 bytes as stored in the type-1 structure (first three fields little-endian);
  // goes back to the default structure table (types 0, 1 and 127) with that UUID.
  void SetSmbiosUuid(const uint8_t uuid[16]);
  // Replaces the whole structure table (type-1 UUID included) with raw bytes;
  // the table ends right before an unmapped page, so reading past it faults.
  void SetSmbiosStructures(const Bytes &table);
  void RemoveSmbios();
  std::optional<Bytes> GetVariable(const std::u16string &name, const EFI_GUID &vendor,
                                   uint32_t *attributes = nullptr) const;
  // Every ResetSystem request, in order.
  const std::vector<EFI_RESET_TYPE> &ResetRequests() const;
  // A wire that a test's peers use without a NIC of ours on it: its frames
  // then count for the clock (AddNic does this for the NIC's wire).
  void UseWire(Wire *wire);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  friend struct Nic;
};

// A driver-side NIC: the controller handle, its MNP service binding and the MNP children.
struct Nic {
  EFI_HANDLE controller = nullptr;
  Mac mac{};
  MnpFaults faults;
  // Frames this NIC's MNP handed to the wire, in order, padded to 60 bytes as
  // on the wire (the NIC pads; receivers get frames as the link carried them).
  std::vector<Frame> sent;
  // Off: sent stays empty (a long run on a real link keeps no record).
  bool recordSent = true;
  virtual ~Nic() = default;

  // Received buffers handed to an MNP user and not yet given back by its RecycleEvent.
  virtual size_t UnrecycledBuffers() const { return 0; }
  // MNP children that exist (created and not destroyed).
  virtual size_t MnpChildren() const { return 0; }
  // Receive and transmit tokens queued on all children.
  virtual size_t PendingReceives() const { return 0; }
  virtual size_t PendingTransmits() const { return 0; }
  // Frames that reached this NIC and no configured child took (filter, queue full, unconfigured).
  virtual size_t DroppedFrames() const { return 0; }
  // Frames taken by children and waiting for a Poll to hand them over.
  virtual size_t QueuedFrames() const { return 0; }
  // The configuration of the first configured child, if any.
  virtual std::optional<EFI_MANAGED_NETWORK_CONFIG_DATA> Config() const { return std::nullopt; }
};

// ---- Convenience for tests ----

// The child created through the driver's service binding on a connected NIC.
struct Child {
  EFI_HANDLE handle = nullptr;
  OrvaleProtocol *protocol = nullptr;
};
// CreateChild through the Orvale service binding of nic's controller.
EFI_STATUS CreateChild(Firmware &fw, Nic *nic, Child *out);
EFI_STATUS DestroyChild(Firmware &fw, Nic *nic, EFI_HANDLE child);

}  // namespace hosted

#endif
