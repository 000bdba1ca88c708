// The cycle probe: in the EFI build made with -DORVALE_EFI_PROBE=ON
// (bench/ovmf-cycle-probe.sh), the TSC time of the firmware calls on a
// read's path and of the driver's own steps is summed and printed on the
// console after every read long enough to measure. In every other build each
// probe is nothing, so the driver that ships does not carry it.
#ifndef ORVALE_NET_PROBE_H
#define ORVALE_NET_PROBE_H

#include "../instance/instance.h"

enum ProbeKind : UINTN {
  kProbeSend,         // SendFrame, whole
  kProbeTransmit,     // MNP Transmit
  kProbeSendPoll,     // MNP Poll while a transmit completes
  kProbeReceive,      // MNP Receive (posting the token)
  kProbeIdlePoll,     // MNP Poll in a wait that brought no frame
  kProbeFramePoll,    // MNP Poll that brought a frame (MNP's and the firmware's receive work)
  kProbeCheckEvent,   // the window timer's CheckEvent
  kProbeIgmp,         // IGMP report timers serviced in a wait
  kProbeNotify,       // the receive notification (the copy out of MNP's buffer)
  kProbeFrameWait,    // ReceiveFrame, whole
  kProbeUdpReceive,   // ReceiveUdpDatagram, whole (ReceiveFrame inside)
  kProbeUdpSend,      // UdpWriteLocked, whole (SendFrame inside)
  kProbeArm,          // re-arming the window timer
  kProbeClock,        // GetTime, the seed of every random number
  kProbeCall,         // the Mtftp call
  kProbeKinds
};

// Reads with fewer frame waits than this are not reported: the size
// requests and short files of a boot would only clutter the console.
constexpr UINT64 kProbeMinFrames = 1000;

#if defined(ORVALE_CYCLE_PROBE)

struct ProbeTotals {
  UINT64 ticks[kProbeKinds];
  UINT64 count[kProbeKinds];
};
extern ProbeTotals gProbe;

inline UINT64 ProbeNow() { return __builtin_ia32_rdtsc(); }
inline void ProbeAdd(ProbeKind Kind, UINT64 Since) {
  gProbe.ticks[Kind] += ProbeNow() - Since;
  ++gProbe.count[Kind];
}

class ProbeScope {
 public:
  explicit ProbeScope(ProbeKind Kind) : kind_(Kind), since_(ProbeNow()) {}
  ~ProbeScope() { ProbeAdd(kind_, since_); }
  ProbeScope(const ProbeScope &) = delete;
  ProbeScope &operator=(const ProbeScope &) = delete;

 private:
  ProbeKind kind_;
  UINT64 since_;
};

void ProbeReset();
// One "ORVALE-PROBE <kind> <ticks> <count>" line per kind when the call made
// at least MinFrames frame waits; then the totals start again.
void ProbeReport(UINT64 MinFrames);

#define ORVALE_PROBE_JOIN2(a, b) a##b
#define ORVALE_PROBE_JOIN(a, b) ORVALE_PROBE_JOIN2(a, b)
#define ORVALE_PROBE(kind) ProbeScope ORVALE_PROBE_JOIN(probe_, __LINE__)(kind)

#else

inline UINT64 ProbeNow() { return 0; }
inline void ProbeAdd(ProbeKind, UINT64) {}
inline void ProbeReset() {}
inline void ProbeReport(UINT64) {}
#define ORVALE_PROBE(kind) ((void)0)

#endif

#endif
