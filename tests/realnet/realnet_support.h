// What the real-network tests share: the link tools/realnet.sh built (from
// the environment), shell commands in the peer namespaces, a tshark capture
// with its judge, and a tap that sees every frame on the client interface.
#ifndef ORVALE_TESTS_REALNET_SUPPORT_H
#define ORVALE_TESTS_REALNET_SUPPORT_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/hosted.h"

namespace realnet {

struct Env {
  std::string iface;     // the client veth end, no IPv4 address
  std::string serverNs;  // where the kernel peer and udp_peer.py run
  std::string serverIf;  // the server's veth end
  std::string scripts;   // tests/realnet, for the peer-side helpers
  std::string bridgeNs;
  std::string bridge;
  std::string bridgePort;  // the bridge's port towards the client
  std::string python;
  std::string cli;  // the orvale tool
  std::string captureDir;
  EFI_IP_ADDRESS serverIp{};
  EFI_IP_ADDRESS stationIp{};
  EFI_IP_ADDRESS subnetMask{};
  hosted::Mac serverMac{};
  uint16_t echoPort = 0;
  uint16_t checkPort = 0;
  uint16_t sendPort = 0;
  uint16_t closedPort = 0;
};

// The link tools/realnet.sh describes in ORVALE_RN_*; false with *why when a
// variable is missing or malformed (the binary was not started by the harness).
bool LoadEnv(Env *env, std::string *why);
std::string Text(const EFI_IP_ADDRESS &address);
std::string Text(const hosted::Mac &mac);
bool ParseMac(const std::string &text, hosted::Mac *mac);
std::optional<hosted::Mac> InterfaceMac(const std::string &iface);

// ---- Processes ----
struct Outcome {
  int exitCode = -1;  // -1: did not run or did not exit normally
  std::string out;    // standard output
};
// Runs argv (no shell) to completion, standard error to stderrPath or discarded.
Outcome RunCommand(const std::vector<std::string> &argv, const std::string &stderrPath = "");
// Runs argv in a namespace through ip netns exec.
Outcome RunCommandIn(const std::string &ns, const std::vector<std::string> &argv);
// Starts argv in the background; -1 on failure.
pid_t Spawn(const std::vector<std::string> &argv, const std::string &stdoutPath = "",
            const std::string &stderrPath = "");
// Exit code, or -1 after killing it when it runs beyond timeoutSeconds.
int WaitExit(pid_t pid, double timeoutSeconds);

double MonotonicNow();
double RealtimeNow();
void SleepSeconds(double seconds);

// ---- Capture and judge ----

// tshark writing everything on an interface to a pcap file.
class Capture {
 public:
  ~Capture();
  // Returns once tshark reports "Capture started"; false with *why otherwise.
  // filter: a capture filter, or empty for every frame.
  bool Start(const std::string &iface, const std::string &path, std::string *why, const std::string &filter = "");
  // Lets the last frames land, stops tshark and waits for it; false with *why
  // when it had to be killed or reported an error.
  // expectedRecords: frames known to have crossed the interface while capturing.
  bool Stop(std::string *why, size_t expectedRecords = 0);
  const std::string &Path() const { return path_; }

 private:
  pid_t pid_ = -1;
  std::string path_;
  std::string log_;
};

struct Verdict {
  bool usable = false;  // tshark ran and decoded every frame of the file
  bool clean = false;   // usable, and no driver frame is malformed or carries a warning or worse
  size_t framesInFile = 0;
  size_t framesDecoded = 0;
  size_t driverFrames = 0;
  std::vector<uint32_t> flaggedFrames;  // frame numbers, 1-based as tshark counts them
  std::vector<std::string> problems;
  std::string Summary() const;
};

// Decodes the capture with IP and UDP checksum checks on and judges the frames
// whose source MAC is driverMac. Anything short of a full decode (tshark
// missing or failing, an unknown preference, empty output, fewer frames than
// the file holds, no driver frame at all) makes the verdict unusable, never clean.
Verdict Judge(const std::string &pcapPath, const hosted::Mac &driverMac,
              const std::vector<std::string> &extraArgs = {});

// Record count of a classic pcap file; nullopt with *why when it is not one.
std::optional<size_t> CountPcapRecords(const std::string &path, std::string *why);

// ---- Tap ----

struct TapFrame {
  double time = 0;        // kernel receive timestamp, CLOCK_REALTIME seconds
  bool outgoing = false;  // sent from this host (the driver, or a test's raw frame)
  hosted::Bytes bytes;
};

// A view of an IPv4 frame; ok is false for anything else or a short frame.
struct Ipv4Frame {
  bool ok = false;
  uint8_t protocol = 0;
  uint8_t ttl = 0;
  uint16_t totalLength = 0;
  uint16_t id = 0;
  bool moreFragments = false;
  bool dontFragment = false;
  uint32_t fragmentOffset = 0;  // bytes
  size_t headerLength = 0;
  uint8_t src[4]{};
  uint8_t dst[4]{};
  const uint8_t *payload = nullptr;
  size_t payloadLength = 0;
};
Ipv4Frame ParseIpv4(const TapFrame &frame);
uint16_t EtherType(const TapFrame &frame);
bool SameIp(const uint8_t *a, const EFI_IP_ADDRESS &b);

// Another packet socket on the client interface: sees both directions,
// independent of the driver's own socket.
class Tap {
 public:
  ~Tap();
  bool Open(const std::string &iface, std::string *why);
  // Takes in what has arrived since the last call.
  void Poll();
  const std::vector<TapFrame> &Frames() const { return frames_; }
  void Clear() { frames_.clear(); }
  // Every frame taken in since Open, Clear notwithstanding.
  size_t Seen() const { return seen_; }
  std::vector<TapFrame> Matching(const std::function<bool(const TapFrame &)> &pred) const;

 private:
  int fd_ = -1;
  std::vector<TapFrame> frames_;
  size_t seen_ = 0;
};

}  // namespace realnet

#endif
