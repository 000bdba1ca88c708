#include "tests/realnet/realnet_support.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tools/cli/session.h"

extern char **environ;

namespace realnet {

namespace {

std::optional<std::string> Var(const char *name) {
  const char *v = getenv(name);
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

bool Port(const char *name, uint16_t *out, std::string *why) {
  auto v = Var(name);
  char *end = nullptr;
  unsigned long n = v ? strtoul(v->c_str(), &end, 10) : 0;
  if (!v || *end != '\0' || n == 0 || n > 65535) {
    *why = std::string(name) + " is not a port";
    return false;
  }
  *out = static_cast<uint16_t>(n);
  return true;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<char *> Argv(const std::vector<std::string> &argv) {
  std::vector<char *> out;
  for (const std::string &a : argv) out.push_back(const_cast<char *>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

// Spawns with stdout to outFd (or /dev/null when -1) and stderr to a file (or /dev/null).
pid_t SpawnWith(const std::vector<std::string> &argv, int outFd, const std::string &stdoutPath,
                const std::string &stderrPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (outFd >= 0)
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.empty() ? "/dev/null" : stdoutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, stderrPath.empty() ? "/dev/null" : stderrPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char *> args = Argv(argv);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

}  // namespace

bool ParseMac(const std::string &text, hosted::Mac *mac) {
  unsigned b[6];
  char tail;
  if (sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) != 6) return false;
  for (int i = 0; i < 6; ++i) {
    if (b[i] > 255) return false;
    (*mac)[i] = static_cast<uint8_t>(b[i]);
  }
  return true;
}

bool LoadEnv(Env *env, std::string *why) {
  const std::string hint = " (run the suite through tools/realnet.sh)";
  struct Named {
    const char *name;
    std::string *value;
  } strings[] = {{"ORVALE_RN_IF", &env->iface},           {"ORVALE_RN_SERVER_NS", &env->serverNs},
                 {"ORVALE_RN_SERVER_IF", &env->serverIf}, {"ORVALE_RN_BRIDGE_NS", &env->bridgeNs},
                 {"ORVALE_RN_BRIDGE", &env->bridge},      {"ORVALE_RN_BRIDGE_PORT", &env->bridgePort},
                 {"ORVALE_RN_PYTHON", &env->python},      {"ORVALE_RN_CAPTURE_DIR", &env->captureDir}};
  for (const Named &n : strings) {
    auto v = Var(n.name);
    if (!v) {
      *why = std::string(n.name) + " is not set" + hint;
      return false;
    }
    *n.value = *v;
  }
  env->cli = Var("ORVALE_RN_CLI").value_or(ORVALE_CLI_PATH);
  env->scripts = ORVALE_REALNET_DIR;
  auto server = Var("ORVALE_RN_SERVER_IP"), station = Var("ORVALE_RN_STATION_IP"), prefix = Var("ORVALE_RN_PREFIX"),
       mac = Var("ORVALE_RN_SERVER_MAC");
  EFI_IP_ADDRESS scratch;
  if (!server || !orvale_cli::ParseIpv4(*server, &env->serverIp) || !station ||
      !orvale_cli::ParseIpv4Prefix(*station + "/" + prefix.value_or("x"), &env->stationIp, &env->subnetMask) ||
      !orvale_cli::ParseIpv4(*station, &scratch)) {
    *why = "ORVALE_RN_SERVER_IP, ORVALE_RN_STATION_IP or ORVALE_RN_PREFIX missing or malformed" + hint;
    return false;
  }
  if (!mac || !ParseMac(*mac, &env->serverMac)) {
    *why = "ORVALE_RN_SERVER_MAC missing or malformed" + hint;
    return false;
  }
  return Port("ORVALE_RN_ECHO_PORT", &env->echoPort, why) && Port("ORVALE_RN_CHECK_PORT", &env->checkPort, why) &&
         Port("ORVALE_RN_SEND_PORT", &env->sendPort, why) && Port("ORVALE_RN_CLOSED_PORT", &env->closedPort, why);
}

std::string Text(const EFI_IP_ADDRESS &address) { return orvale_cli::FormatIpv4(address); }
std::string Text(const hosted::Mac &mac) { return orvale_cli::FormatMac(mac.data(), mac.size()); }

std::optional<hosted::Mac> InterfaceMac(const std::string &iface) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  ifreq req{};
  strncpy(req.ifr_name, iface.c_str(), IFNAMSIZ - 1);
  int rc = ioctl(fd, SIOCGIFHWADDR, &req);
  close(fd);
  if (rc != 0) return std::nullopt;
  hosted::Mac mac;
  memcpy(mac.data(), req.ifr_hwaddr.sa_data, mac.size());
  return mac;
}

// ---- Processes ----

Outcome RunCommand(const std::vector<std::string> &argv, const std::string &stderrPath) {
  Outcome result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return result;
  pid_t pid = SpawnWith(argv, fds[1], "", stderrPath);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return result;
  }
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) result.out.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

Outcome RunCommandIn(const std::string &ns, const std::vector<std::string> &argv) {
  std::vector<std::string> full = {"ip", "netns", "exec", ns};
  full.insert(full.end(), argv.begin(), argv.end());
  return RunCommand(full);
}

pid_t Spawn(const std::vector<std::string> &argv, const std::string &stdoutPath, const std::string &stderrPath) {
  return SpawnWith(argv, -1, stdoutPath, stderrPath);
}

int WaitExit(pid_t pid, double timeoutSeconds) {
  const double deadline = MonotonicNow() + timeoutSeconds;
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0 && errno != EINTR) return -1;
    if (MonotonicNow() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    SleepSeconds(0.01);
  }
}

double MonotonicNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double RealtimeNow() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void SleepSeconds(double seconds) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// ---- Capture ----

Capture::~Capture() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Capture::Start(const std::string &iface, const std::string &path, std::string *why, const std::string &filter) {
  path_ = path;
  log_ = path + ".tshark.log";
  unlink(path.c_str());
  // Classic pcap, so the judge can count the records itself.
  std::vector<std::string> argv = {"tshark", "-i", iface, "-F", "pcap", "-w", path, "-q"};
  if (!filter.empty()) argv.insert(argv.end(), {"-f", filter});
  pid_ = Spawn(argv, "", log_);
  if (pid_ < 0) {
    *why = "cannot start tshark";
    return false;
  }
  const double deadline = MonotonicNow() + 15;
  while (MonotonicNow() < deadline) {
    // Measured: capture starts about 0.4 s after launch, with the message. On a
    // loaded machine the message can come before the file holds its pcap header,
    // and a frame sent then is lost: wait for both, and a little more.
    struct stat st {};
    if (ReadFile(log_).find("Capture started") != std::string::npos && stat(path.c_str(), &st) == 0 &&
        st.st_size >= 24) {
      SleepSeconds(0.2);
      return true;
    }
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      *why = "tshark exited before capturing: " + ReadFile(log_);
      return false;
    }
    SleepSeconds(0.02);
  }
  *why = "tshark did not start capturing within 15 s: " + ReadFile(log_);
  return false;
}

bool Capture::Stop(std::string *why, size_t expectedRecords) {
  if (pid_ <= 0) {
    *why = "no capture running";
    return false;
  }
  SleepSeconds(0.2);
  // tshark hands frames to the file in batches and may drop the last batch when
  // stopped: wait until the file holds what the tap saw (or give up after 3 s).
  const double deadline = MonotonicNow() + 3;
  std::string ignored;
  while (MonotonicNow() < deadline) {
    const auto records = CountPcapRecords(path_, &ignored);
    if (records && *records >= expectedRecords) break;
    SleepSeconds(0.05);
  }
  kill(pid_, SIGINT);
  int rc = WaitExit(pid_, 10);
  pid_ = -1;
  if (rc != 0) {
    *why = "tshark did not stop cleanly (exit " + std::to_string(rc) + "): " + ReadFile(log_);
    return false;
  }
  return true;
}

// ---- Judge ----

std::optional<size_t> CountPcapRecords(const std::string &path, std::string *why) {
  std::string data = ReadFile(path);
  if (data.size() < 24) {
    *why = path + ": no pcap header";
    return std::nullopt;
  }
  uint32_t magic;
  memcpy(&magic, data.data(), 4);
  bool swapped;
  if (magic == 0xa1b2c3d4 || magic == 0xa1b23c4d)
    swapped = false;
  else if (magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1)
    swapped = true;
  else {
    *why = path + ": not a classic pcap file";
    return std::nullopt;
  }
  size_t count = 0;
  size_t pos = 24;
  while (pos < data.size()) {
    if (data.size() - pos < 16) {
      *why = path + ": truncated record header";
      return std::nullopt;
    }
    uint32_t caplen;
    memcpy(&caplen, data.data() + pos + 8, 4);
    if (swapped) caplen = __builtin_bswap32(caplen);
    if (caplen > data.size() - pos - 16) {
      *why = path + ": truncated record";
      return std::nullopt;
    }
    pos += 16 + caplen;
    ++count;
  }
  return count;
}

std::string Verdict::Summary() const {
  std::string s = std::string(usable ? (clean ? "clean" : "NOT clean") : "UNUSABLE") + ": " +
                  std::to_string(framesInFile) + " frames in the file, " + std::to_string(framesDecoded) +
                  " decoded, " + std::to_string(driverFrames) + " from the driver";
  for (const std::string &p : problems) s += "\n  " + p;
  return s;
}

namespace {

std::vector<std::string> Split(const std::string &s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// Expert severities as tshark prints them (the PI_* values).
constexpr unsigned long kSeverityWarning = 0x00600000;

}  // namespace

Verdict Judge(const std::string &pcapPath, const hosted::Mac &driverMac, const std::vector<std::string> &extraArgs) {
  Verdict v;
  std::string why;
  auto records = CountPcapRecords(pcapPath, &why);
  if (!records) {
    v.problems.push_back(why);
    return v;
  }
  v.framesInFile = *records;

  std::vector<std::string> argv = {
      "tshark", "-r", pcapPath, "-n", "-o", "ip.check_checksum:TRUE", "-o", "udp.check_checksum:TRUE"};
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  const std::vector<std::string> fields = {
      "-T", "fields",       "-E", "separator=/t", "-E", "occurrence=a",        "-E", "aggregator=|",
      "-e", "frame.number", "-e", "eth.src",      "-e", "_ws.expert.severity", "-e", "_ws.expert.message",
      "-e", "_ws.malformed"};
  argv.insert(argv.end(), fields.begin(), fields.end());
  const std::string errPath = pcapPath + ".judge.err";
  Outcome out = RunCommand(argv, errPath);
  if (out.exitCode != 0) {
    v.problems.push_back("tshark exited with " + std::to_string(out.exitCode) + ": " + ReadFile(errPath));
    return v;
  }
  if (out.out.empty()) {
    v.problems.push_back("tshark printed nothing");
    return v;
  }

  const std::string driver = Text(driverMac);
  std::istringstream lines(out.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> col = Split(line, '\t');
    if (col.size() != 5 || col[0] != std::to_string(v.framesDecoded + 1)) {
      v.problems.push_back("unexpected tshark line: " + line);
      return v;
    }
    ++v.framesDecoded;
    if (col[1] != driver) continue;
    ++v.driverFrames;
    std::string findings;
    if (!col[2].empty()) {
      std::vector<std::string> severities = Split(col[2], '|');
      std::vector<std::string> messages = Split(col[3], '|');
      for (size_t i = 0; i < severities.size(); ++i) {
        char *end = nullptr;
        unsigned long severity = strtoul(severities[i].c_str(), &end, 10);
        if (end == severities[i].c_str() || *end != '\0') {
          v.problems.push_back("unreadable severity in: " + line);
          return v;
        }
        if (severity >= kSeverityWarning) findings += " [" + (i < messages.size() ? messages[i] : "?") + "]";
      }
    }
    if (!col[4].empty()) findings += " [malformed: " + col[4] + "]";
    if (!findings.empty()) {
      v.flaggedFrames.push_back(static_cast<uint32_t>(v.framesDecoded));
      v.problems.push_back("frame " + col[0] + " from the driver:" + findings);
    }
  }
  if (v.framesDecoded != v.framesInFile) {
    v.problems.push_back("tshark decoded " + std::to_string(v.framesDecoded) + " of " + std::to_string(v.framesInFile) +
                         " frames");
    return v;
  }
  if (v.driverFrames == 0) {
    v.problems.push_back("no frame from the driver (" + driver + ") to judge");
    return v;
  }
  v.usable = true;
  v.clean = v.flaggedFrames.empty();
  return v;
}

// ---- Tap ----

uint16_t EtherType(const TapFrame &frame) {
  if (frame.bytes.size() < 14) return 0;
  return static_cast<uint16_t>((frame.bytes[12] << 8) | frame.bytes[13]);
}

Ipv4Frame ParseIpv4(const TapFrame &frame) {
  Ipv4Frame ip;
  const hosted::Bytes &b = frame.bytes;
  if (EtherType(frame) != 0x0800 || b.size() < 14 + 20) return ip;
  const uint8_t *h = b.data() + 14;
  ip.headerLength = static_cast<size_t>(h[0] & 0x0F) * 4;
  ip.totalLength = static_cast<uint16_t>((h[2] << 8) | h[3]);
  if ((h[0] >> 4) != 4 || ip.headerLength < 20 || ip.totalLength < ip.headerLength || ip.totalLength > b.size() - 14)
    return ip;
  ip.id = static_cast<uint16_t>((h[4] << 8) | h[5]);
  const uint16_t flags = static_cast<uint16_t>((h[6] << 8) | h[7]);
  ip.dontFragment = (flags & 0x4000) != 0;
  ip.moreFragments = (flags & 0x2000) != 0;
  ip.fragmentOffset = static_cast<uint32_t>(flags & 0x1FFF) * 8;
  ip.ttl = h[8];
  ip.protocol = h[9];
  memcpy(ip.src, h + 12, 4);
  memcpy(ip.dst, h + 16, 4);
  ip.payload = h + ip.headerLength;
  ip.payloadLength = ip.totalLength - ip.headerLength;
  ip.ok = true;
  return ip;
}

bool SameIp(const uint8_t *a, const EFI_IP_ADDRESS &b) { return memcmp(a, b.v4.Addr, 4) == 0; }

Tap::~Tap() {
  if (fd_ >= 0) close(fd_);
}

bool Tap::Open(const std::string &iface, std::string *why) {
  int ifindex = static_cast<int>(if_nametoindex(iface.c_str()));
  fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_ll addr{};
  addr.sll_family = AF_PACKET;
  addr.sll_protocol = htons(ETH_P_ALL);
  addr.sll_ifindex = ifindex;
  int on = 1;
  int bytes = 1 << 20;
  if (ifindex == 0 || fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0 ||
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) {
    *why = std::string("tap on ") + iface + ": " + strerror(errno);
    return false;
  }
  return true;
}

void Tap::Poll() {
  std::vector<uint8_t> buffer(65600);
  for (;;) {
    sockaddr_ll from{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    iovec iov{buffer.data(), buffer.size()};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT);
    if (n < 0) return;
    TapFrame f;
    f.time = RealtimeNow();
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec ts;
        memcpy(&ts, CMSG_DATA(c), sizeof ts);
        f.time = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
      }
    }
    f.outgoing = from.sll_pkttype == PACKET_OUTGOING;
    f.bytes.assign(buffer.begin(), buffer.begin() + n);
    frames_.push_back(std::move(f));
    ++seen_;
  }
}

std::vector<TapFrame> Tap::Matching(const std::function<bool(const TapFrame &)> &pred) const {
  std::vector<TapFrame> out;
  for (const TapFrame &f : frames_)
    if (pred(f)) out.push_back(f);
  return out;
}

}  // namespace realnet
