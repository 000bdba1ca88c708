// orvale: the hosted driver on a real interface, driven from the shell.
//
//   orvale --if IFACE COMMAND [ARGS] [COMMAND [ARGS]]...
//
// One process is one driver instance: the commands of a line run in order on
// the same started child (so set-ip before udp-send), and the first one that
// fails ends the line. The whole line is checked before the driver starts.
// Adding a command is one function and one row of kCommands.
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "pxe/pxe.h"
#include "tools/cli/boot.h"
#include "tools/cli/dhcp_print.h"
#include "tools/cli/json.h"
#include "tools/cli/macvlan.h"
#include "tools/cli/session.h"
#include "tools/cli/sha256.h"

namespace orvale_cli {
namespace {

constexpr int kExitUsage = 64;
constexpr int kExitSetup = 65;
constexpr size_t kReceiveBufferSize = 65536;
constexpr int kPollPauseMs = 1;

// The words of one command: its positional arguments and its --options.
struct Words {
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::optional<std::string>>> options;

  bool Has(const char *name) const {
    for (const auto &o : options)
      if (o.first == name) return true;
    return false;
  }
  std::optional<std::string> Value(const char *name) const {
    for (const auto &o : options)
      if (o.first == name) return o.second;
    return std::nullopt;
  }
};

// What commands of one line share. protocol is null while the line is only
// being checked: a command then validates its words and returns.
struct Context {
  DriverSession *session = nullptr;
  OrvaleProtocol *protocol = nullptr;
  std::optional<EFI_PXE_BASE_CODE_UDP_PORT> lastSourcePort;  // udp-recv listens there by default
  EFI_PXE_BASE_CODE_IP_FILTER filter{};
  bool filterInstalled = false;
  bool json = false;  // boot keeps its report for the JSON object instead of printing it
  std::optional<BootReport> boot;
  bool Checking() const { return protocol == nullptr; }
};

struct Outcome {
  EFI_STATUS status = EFI_SUCCESS;
  std::string usage;  // non-empty: the words were wrong, nothing ran
  int exitCode = -1;  // set: the process's exit status when this command ends the line
  static Outcome Status(EFI_STATUS s) { return {s, "", -1}; }
  static Outcome Usage(const std::string &why) { return {EFI_INVALID_PARAMETER, why, -1}; }
};

using CommandFn = Outcome (*)(Context &ctx, const Words &words);

struct Command {
  const char *name;
  int minArgs;
  int maxArgs;
  // Space-separated; "name=" takes a value, "name" is a flag.
  const char *options;
  const char *synopsis;
  const char *help;
  CommandFn run;
};

double MonotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void Pause() { poll(nullptr, 0, kPollPauseMs); }

bool ParseUnsigned(const std::string &text, unsigned long max, unsigned long *out) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long v = std::stoul(text);
  if (v > max) return false;
  *out = v;
  return true;
}

bool ParseSeconds(const std::string &text, double *out) {
  char *end = nullptr;
  double v = strtod(text.c_str(), &end);
  if (text.empty() || end == nullptr || *end != '\0' || !(v >= 0) || v > 3600) return false;
  *out = v;
  return true;
}

bool IsMulticast(const EFI_IP_ADDRESS &a) { return (a.v4.Addr[0] & 0xF0) == 0xE0; }

// Printable text as is, anything else as a hex dump of its first bytes.
void PrintData(const uint8_t *data, size_t n) {
  bool text = n > 0;
  for (size_t i = 0; i < n && text; ++i)
    text = (data[i] >= 0x20 && data[i] < 0x7F) || data[i] == '\n' || data[i] == '\t';
  if (text) {
    printf("  data: %.*s\n", static_cast<int>(n), reinterpret_cast<const char *>(data));
    return;
  }
  const size_t shown = n < 256 ? n : 256;
  for (size_t row = 0; row < shown; row += 16) {
    printf("  %04zx:", row);
    for (size_t i = row; i < row + 16 && i < shown; ++i) printf(" %02x", data[i]);
    printf("\n");
  }
  if (shown < n) printf("  ... %zu more bytes\n", n - shown);
}

void PrintArpCache(const OrvaleMode *mode) {
  printf("  arp cache: %u entries\n", mode->ArpCacheEntries);
  for (UINT32 i = 0; i < mode->ArpCacheEntries && i < ORVALE_ARP_CACHE_SIZE; ++i)
    printf("    %-15s %s\n", FormatIpv4(mode->ArpCache[i].IpAddr).c_str(),
           FormatMac(mode->ArpCache[i].MacAddr.Addr).c_str());
}

void PrintIcmpError(const OrvaleMode *mode) {
  const EFI_PXE_BASE_CODE_ICMP_ERROR &e = mode->IcmpError;
  const char *what = e.Type == 3    ? "destination unreachable"
                     : e.Type == 4  ? "source quench"
                     : e.Type == 11 ? "time exceeded"
                     : e.Type == 12 ? "parameter problem"
                                    : "unexpected type";
  printf("  icmp error: type %u code %u (%s)\n", e.Type, e.Code, what);
  // The quoted datagram: its IPv4 header, then the first 8 bytes of its payload.
  const uint8_t *ip = e.Data;
  const size_t ihl = static_cast<size_t>(ip[0] & 0x0F) * 4;
  if ((ip[0] >> 4) == 4 && ihl >= 20 && ihl + 8 <= sizeof e.Data) {
    EFI_IP_ADDRESS src{}, dst{};
    memcpy(src.v4.Addr, ip + 12, 4);
    memcpy(dst.v4.Addr, ip + 16, 4);
    printf("  quoted: %s -> %s protocol %u", FormatIpv4(src).c_str(), FormatIpv4(dst).c_str(), ip[9]);
    if (ip[9] == 17) printf(" ports %u -> %u", (ip[ihl] << 8) | ip[ihl + 1], (ip[ihl + 2] << 8) | ip[ihl + 3]);
    printf("\n");
  }
}

void PrintFilter(const EFI_PXE_BASE_CODE_IP_FILTER &f) {
  printf("  filter: 0x%02x", f.Filters);
  for (UINT8 i = 0; i < f.IpCnt && i < EFI_PXE_BASE_CODE_MAX_IPCNT; ++i) printf(" %s", FormatIpv4(f.IpList[i]).c_str());
  printf("\n");
}

// ---- Commands ----

Outcome CmdArp(Context &ctx, const Words &w) {
  EFI_IP_ADDRESS ip;
  if (!ParseIpv4(w.args[0], &ip)) return Outcome::Usage("arp: bad address '" + w.args[0] + "'");
  if (ctx.Checking()) return {};
  EFI_MAC_ADDRESS mac{};
  EFI_STATUS status = ctx.protocol->Arp(ctx.protocol, &ip, &mac);
  if (status == EFI_SUCCESS) printf("  %s is at %s\n", FormatIpv4(ip).c_str(), FormatMac(mac.Addr).c_str());
  PrintArpCache(ctx.protocol->Mode);
  return Outcome::Status(status);
}

Outcome CmdSetIp(Context &ctx, const Words &w) {
  EFI_IP_ADDRESS ip, mask;
  if (!ParseIpv4Prefix(w.args[0], &ip, &mask)) return Outcome::Usage("set-ip: want A.B.C.D/N, got '" + w.args[0] + "'");
  if (ctx.Checking()) return {};
  EFI_STATUS status = ctx.protocol->SetStationIp(ctx.protocol, &ip, &mask);
  printf("  station %s mask %s\n", FormatIpv4(ctx.protocol->Mode->StationIp).c_str(),
         FormatIpv4(ctx.protocol->Mode->SubnetMask).c_str());
  return Outcome::Status(status);
}

Outcome CmdUdpSend(Context &ctx, const Words &w) {
  EFI_IP_ADDRESS dest;
  unsigned long port = 0, size = 0, srcPort = 0;
  if (!ParseIpv4(w.args[0], &dest)) return Outcome::Usage("udp-send: bad address '" + w.args[0] + "'");
  if (!ParseUnsigned(w.args[1], 65535, &port)) return Outcome::Usage("udp-send: bad port '" + w.args[1] + "'");
  const bool sized = w.Has("--size");
  if (sized == (w.args.size() == 3)) return Outcome::Usage("udp-send: give TEXT or --size N, not both");
  if (sized && !ParseUnsigned(*w.Value("--size"), 65535, &size)) return Outcome::Usage("udp-send: bad --size");
  if (w.Has("--src-port") && !ParseUnsigned(*w.Value("--src-port"), 65535, &srcPort))
    return Outcome::Usage("udp-send: bad --src-port");
  EFI_IP_ADDRESS gateway{};
  if (w.Has("--gateway") && !ParseIpv4(*w.Value("--gateway"), &gateway))
    return Outcome::Usage("udp-send: bad --gateway");
  if (ctx.Checking()) return {};

  hosted::Bytes data = sized ? Pattern(size) : hosted::Bytes(w.args[2].begin(), w.args[2].end());
  UINT16 flags = w.Has("--fragment") ? EFI_PXE_BASE_CODE_UDP_OPFLAGS_MAY_FRAGMENT : 0;
  EFI_PXE_BASE_CODE_UDP_PORT destPort = static_cast<UINT16>(port);
  EFI_PXE_BASE_CODE_UDP_PORT source = static_cast<UINT16>(srcPort);
  if (!w.Has("--src-port")) flags |= EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT;
  UINTN length = data.size();
  EFI_STATUS status =
      ctx.protocol->UdpWrite(ctx.protocol, flags, &dest, &destPort, w.Has("--gateway") ? &gateway : nullptr, nullptr,
                             &source, nullptr, nullptr, &length, data.data());
  if (status == EFI_SUCCESS) {
    ctx.lastSourcePort = source;
    printf("  sent %zu bytes %s:%u -> %s:%u\n", data.size(), FormatIpv4(ctx.protocol->Mode->StationIp).c_str(), source,
           FormatIpv4(dest).c_str(), destPort);
  }
  return Outcome::Status(status);
}

Outcome CmdUdpRecv(Context &ctx, const Words &w) {
  unsigned long port = 0;
  double timeout = 5;
  EFI_IP_ADDRESS from{};
  if (w.Has("--port") && !ParseUnsigned(*w.Value("--port"), 65535, &port))
    return Outcome::Usage("udp-recv: bad --port");
  if (w.Has("--timeout") && !ParseSeconds(*w.Value("--timeout"), &timeout))
    return Outcome::Usage("udp-recv: bad --timeout");
  if (w.Has("--from") && !ParseIpv4(*w.Value("--from"), &from)) return Outcome::Usage("udp-recv: bad --from");
  if (ctx.Checking()) return {};

  UINT16 flags = EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT;
  if (!w.Has("--from")) flags |= EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_IP;
  if (w.Has("--any-dest"))
    flags |= EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_IP;
  else if (ctx.filterInstalled)
    flags |= EFI_PXE_BASE_CODE_UDP_OPFLAGS_USE_FILTER;
  EFI_PXE_BASE_CODE_UDP_PORT destPort = 0;
  if (w.Has("--port"))
    destPort = static_cast<UINT16>(port);
  else if (ctx.lastSourcePort)
    destPort = *ctx.lastSourcePort;
  else
    flags |= EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_PORT;

  std::vector<uint8_t> buffer(kReceiveBufferSize);
  EFI_IP_ADDRESS src = from, dst{};
  EFI_PXE_BASE_CODE_UDP_PORT srcPort = 0;
  UINTN size = 0;
  EFI_STATUS status = EFI_TIMEOUT;
  const double deadline = MonotonicSeconds() + timeout;
  do {
    size = buffer.size();
    src = from;
    dst = ctx.protocol->Mode->StationIp;  // the expected destination unless a flag widens it
    // UdpRead never waits: it takes what has arrived, so the waiting is here.
    status = ctx.protocol->UdpRead(ctx.protocol, flags, &dst, &destPort, &src, &srcPort, nullptr, nullptr, &size,
                                   buffer.data());
    if (status == EFI_DEVICE_ERROR) {
      // UdpRead's word for a datagram whose UDP checksum failed: that one is
      // gone, the wait is not over.
      fprintf(stderr, "orvale: udp-recv: dropped a datagram with a bad UDP checksum\n");
      status = EFI_TIMEOUT;
      continue;
    }
    if (status != EFI_TIMEOUT) break;
    Pause();
  } while (MonotonicSeconds() < deadline);

  if (status == EFI_SUCCESS) {
    printf("  received %zu bytes %s:%u -> %s:%u\n", static_cast<size_t>(size), FormatIpv4(src).c_str(), srcPort,
           FormatIpv4(dst).c_str(), destPort);
    PrintData(buffer.data(), size);
  } else if (status == EFI_ICMP_ERROR) {
    PrintIcmpError(ctx.protocol->Mode);
  } else if (status == EFI_TIMEOUT) {
    printf("  nothing within %.1f s\n", timeout);
  }
  return Outcome::Status(status);
}

Outcome CmdJoin(Context &ctx, const Words &w) {
  EFI_IP_ADDRESS group;
  if (!ParseIpv4(w.args[0], &group) || !IsMulticast(group))
    return Outcome::Usage("join: '" + w.args[0] + "' is not a multicast address");
  if (ctx.Checking()) return {};
  EFI_PXE_BASE_CODE_IP_FILTER filter = ctx.filter;
  if (filter.IpCnt >= EFI_PXE_BASE_CODE_MAX_IPCNT) return Outcome::Usage("join: at most 8 groups");
  filter.Filters = EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP | EFI_PXE_BASE_CODE_IP_FILTER_BROADCAST;
  filter.IpList[filter.IpCnt++] = group;
  EFI_STATUS status = ctx.protocol->SetIpFilter(ctx.protocol, &filter);
  if (status == EFI_SUCCESS) {
    ctx.filter = filter;
    ctx.filterInstalled = true;
  }
  PrintFilter(ctx.protocol->State->IpFilter);
  return Outcome::Status(status);
}

Outcome CmdWait(Context &ctx, const Words &w) {
  double seconds = 0;
  if (!ParseSeconds(w.args[0], &seconds)) return Outcome::Usage("wait: bad seconds '" + w.args[0] + "'");
  if (ctx.Checking()) return {};
  // Keeps the driver polling: ARP requests and IGMP queries are answered only
  // while a receive is in progress. Datagrams that arrive are counted and dropped.
  const UINT16 flags = EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_IP | EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT |
                       EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_IP | EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_PORT;
  std::vector<uint8_t> buffer(kReceiveBufferSize);
  unsigned datagrams = 0;
  const double deadline = MonotonicSeconds() + seconds;
  while (MonotonicSeconds() < deadline) {
    UINTN size = buffer.size();
    EFI_STATUS status = ctx.protocol->UdpRead(ctx.protocol, flags, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              &size, buffer.data());
    if (status == EFI_SUCCESS) ++datagrams;
    if (status == EFI_TIMEOUT) Pause();
  }
  printf("  waited %.1f s, %u datagrams dropped\n", seconds, datagrams);
  return Outcome::Status(EFI_SUCCESS);
}

Outcome CmdShow(Context &ctx, const Words &) {
  if (ctx.Checking()) return {};
  const OrvaleMode *mode = ctx.protocol->Mode;
  printf("  mac %s\n", FormatMac(ctx.session->Mac().data()).c_str());
  printf("  station %s mask %s\n", FormatIpv4(mode->StationIp).c_str(), FormatIpv4(mode->SubnetMask).c_str());
  PrintArpCache(mode);
  printf("  routes: %u\n", mode->RouteTableEntries);
  for (UINT32 i = 0; i < mode->RouteTableEntries && i < ORVALE_ROUTE_TABLE_SIZE; ++i)
    printf("    via %s\n", FormatIpv4(mode->RouteTable[i].GwAddr).c_str());
  PrintFilter(ctx.protocol->State->IpFilter);
  if (mode->IcmpErrorReceived) PrintIcmpError(mode);
  return Outcome::Status(EFI_SUCCESS);
}

// ---- DHCP and WIRL ----

bool ParseImage(const std::string &text, UINT32 *out) {
  if (text.size() != 8 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
  uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
  memcpy(out, b, 4);  // the 4 bytes as sent
  return true;
}

void PrintLease(OrvaleProtocol *p) {
  const OrvaleMode *mode = p->Mode;
  printf("  station %s mask %s\n", FormatIpv4(mode->StationIp).c_str(), FormatIpv4(mode->SubnetMask).c_str());
  for (UINT32 i = 0; i < mode->RouteTableEntries && i < ORVALE_ROUTE_TABLE_SIZE; ++i)
    printf("  router %s\n", FormatIpv4(mode->RouteTable[i].GwAddr).c_str());
  const auto options = DhcpOptionsOf(p->Packets->DhcpAck.Raw, sizeof(DhcpPacket));
  if (const hosted::Bytes *v = FindIn(options, 54)) printf("  server %s\n", Ip4Text(*v).c_str());
  if (const hosted::Bytes *v = FindIn(options, 51); v != nullptr && v->size() == 4)
    printf("  lease %u s\n", (unsigned((*v)[0]) << 24) | ((*v)[1] << 16) | ((*v)[2] << 8) | (*v)[3]);
  if (const hosted::Bytes *v = FindIn(options, 1)) printf("  option 1 (mask) %s\n", Ip4Text(*v).c_str());
  if (const hosted::Bytes *v = FindIn(options, 3)) {
    for (size_t at = 0; at + 4 <= v->size(); at += 4) printf("  option 3 (router) %s\n", Ip4Text(*v, at).c_str());
  }
}

Outcome CmdDhcp(Context &ctx, const Words &) {
  if (ctx.Checking()) return {};
  PacketRecord *packets = ctx.protocol->Packets;
  packets->BootMode = ORVALE_BOOT_MODE_WIRL;
  packets->PlainDhcp = 1;
  packets->AutoSelect = 1;
  EFI_STATUS status = ctx.protocol->Dhcp(ctx.protocol, FALSE);
  if (status == EFI_SUCCESS) PrintLease(ctx.protocol);
  return Outcome::Status(status);
}

// The WIRL options wirl and boot share; empty when they are sound, else why not.
std::string ParseWirlSteering(const Words &w, const char *name, WirlSteering *s) {
  unsigned long port = 0;
  const std::string n = name;
  if (w.Has("--server") && !ParseIpv4(*w.Value("--server"), &s->server)) return n + ": bad --server";
  if (w.Has("--port") && !ParseUnsigned(*w.Value("--port"), 65535, &port)) return n + ": bad --port";
  if (w.Has("--image") != w.Has("--select-server")) return n + ": --image and --select-server go together";
  if (w.Has("--image") && !ParseImage(*w.Value("--image"), &s->image)) return n + ": --image wants 8 hex digits";
  if (w.Has("--select-server") && !ParseIpv4(*w.Value("--select-server"), &s->selectServer))
    return n + ": bad --select-server";
  s->port = static_cast<uint16_t>(port);
  s->defaultImage = w.Has("--default-image");
  s->kind3 = w.Has("--kind3");
  s->explicitImage = w.Has("--image");
  s->alternatePort = w.Has("--alternate-port");
  return "";
}

Outcome CmdWirl(Context &ctx, const Words &w) {
  WirlSteering steering;
  const std::string why = ParseWirlSteering(w, "wirl", &steering);
  if (!why.empty()) return Outcome::Usage(why);
  if (ctx.Checking()) return {};

  PacketRecord *packets = ctx.protocol->Packets;
  ApplyWirlSteering(ctx.protocol, steering);

  WirlHeard heard(&ctx.session->Wire(), ctx.session->Mac());
  EFI_STATUS status = ctx.protocol->Dhcp(ctx.protocol, FALSE);
  PrintLease(ctx.protocol);
  for (const std::string &h : heard.Heard()) printf("  %s\n", h.c_str());
  if (heard.Passed() != 0) printf("  %zu more servers heard, not shown\n", heard.Passed());
  if (!heard.Chosen().empty()) printf("  %s\n", heard.Chosen().c_str());
  if (status == EFI_SUCCESS && packets->PxeReplyReceived) {
    const DhcpPacket &ack = packets->PxeReply;
    const auto options = DhcpOptionsOf(ack.Raw, sizeof(DhcpPacket));
    if (const hosted::Bytes *v = FindIn(options, 54)) printf("  acknowledged by %s\n", Ip4Text(*v).c_str());
    if (const hosted::Bytes *v = FindIn(options, 67)) {
      printf("  boot file %.*s\n", static_cast<int>(v->size()), reinterpret_cast<const char *>(v->data()));
    } else if (ack.Raw[108] != 0) {
      printf("  boot file %.*s\n", static_cast<int>(strnlen(reinterpret_cast<const char *>(ack.Raw + 108), 128)),
             reinterpret_cast<const char *>(ack.Raw + 108));
    }
  }
  return Outcome::Status(status);
}

Outcome CmdWirlList(Context &ctx, const Words &w) {
  unsigned long rounds = 2;
  EFI_IP_ADDRESS server{};
  if (w.Has("--rounds") && (!ParseUnsigned(*w.Value("--rounds"), 100, &rounds) || rounds == 0))
    return Outcome::Usage("wirl-list: bad --rounds");
  if (w.Has("--server") && !ParseIpv4(*w.Value("--server"), &server)) return Outcome::Usage("wirl-list: bad --server");
  if (ctx.Checking()) return {};
  PacketRecord *packets = ctx.protocol->Packets;
  memcpy(&packets->WirlServer, server.v4.Addr, 4);
  packets->WirlNeedDiscovery = 1;
  // Discovery, then a LIST and a gather for each round (67, then 7799, ...).
  EFI_STATUS status = ctx.protocol->Wirl(ctx.protocol);
  if (status == EFI_SUCCESS) PrintLease(ctx.protocol);
  for (unsigned long i = 0; status == EFI_SUCCESS && i < 2 * rounds; ++i) {
    // The servers' replies have time to arrive before the short gather window.
    if (packets->WirlCollectPending) poll(nullptr, 0, 200);
    status = ctx.protocol->Wirl(ctx.protocol);
  }
  const UINT8 *list = packets->ImageList;
  for (UINT32 at = 0; list != nullptr && at + 10 <= packets->ImageListLength;) {
    UINT16 port;
    UINT32 n;
    memcpy(&port, list + at + 4, 2);
    memcpy(&n, list + at + 6, 4);
    if (n > packets->ImageListLength - at - 10) break;
    EFI_IP_ADDRESS id{};
    memcpy(id.v4.Addr, list + at, 4);
    printf("  server %s port %u: %u bytes\n", FormatIpv4(id).c_str(), port, n);
    // One image per line: the list is taken as 4-byte image identifiers.
    for (UINT32 i = 0; i + 4 <= n; i += 4)
      printf("    image %02x%02x%02x%02x\n", list[at + 10 + i], list[at + 11 + i], list[at + 12 + i],
             list[at + 13 + i]);
    if (n % 4 != 0) printf("    (%u trailing bytes)\n", n % 4);
    at += 10 + n;
  }
  if (list != nullptr) {
    ctx.session->Firmware().BootServices()->FreePool(packets->ImageList);
    packets->ImageList = nullptr;
    packets->ImageListLength = 0;
  }
  return Outcome::Status(status);
}

// ---- TFTP ----

constexpr UINT64 kFirstReadBuffer = 64ull << 20;  // retried with the size the driver reports

// A read's buffer, straight from the kernel and in huge pages where it gives
// them: a 64 MiB read then takes 32 page faults instead of 16,384, and on a
// fast link those cost more than the driver's work. Not zero-filled by us.
class ReadBuffer {
 public:
  ReadBuffer() = default;
  ~ReadBuffer() { Reset(0); }
  ReadBuffer(const ReadBuffer &) = delete;
  ReadBuffer &operator=(const ReadBuffer &) = delete;

  // False when the host cannot give that much.
  bool Reset(size_t size) {
    if (base_ != nullptr) munmap(base_, mapped_);
    base_ = nullptr;
    data_ = nullptr;
    mapped_ = 0;
    if (size == 0) return true;
    constexpr size_t kHuge = 2u << 20;
    if (size > SIZE_MAX - kHuge) return false;
    void *p = mmap(nullptr, size + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return false;
    base_ = p;
    mapped_ = size + kHuge;
    const uintptr_t aligned = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~uintptr_t{kHuge - 1};
    data_ = reinterpret_cast<uint8_t *>(aligned);
    madvise(data_, size, MADV_HUGEPAGE);  // a hint: without it the pages are small
    return true;
  }
  uint8_t *get() const { return data_; }

 private:
  void *base_ = nullptr;
  size_t mapped_ = 0;
  uint8_t *data_ = nullptr;
};

struct TftpWords {
  EFI_IP_ADDRESS server{};
  std::string file;
  unsigned long blockSize = 0;
  bool hasBlockSize = false;
};

bool ParseTftpWords(const Words &w, const char *name, TftpWords *out, std::string *why) {
  if (!ParseIpv4(w.args[0], &out->server)) {
    *why = std::string(name) + ": bad server '" + w.args[0] + "'";
    return false;
  }
  out->file = w.args.size() > 1 ? w.args[1] : "";
  if (w.Has("--blksize")) {
    if (!ParseUnsigned(*w.Value("--blksize"), 65464, &out->blockSize) || out->blockSize < 8) {
      *why = std::string(name) + ": bad --blksize (8 to 65464)";
      return false;
    }
    out->hasBlockSize = true;
  }
  return true;
}

// The data read: written to --out, its digest printed with --sha256.
bool DeliverFile(const Words &w, const uint8_t *data, size_t n) {
  if (w.Has("--sha256")) printf("  sha256: %s\n", Sha256Hex(data, n).c_str());
  if (!w.Has("--out")) return true;
  FILE *f = fopen(w.Value("--out")->c_str(), "wb");
  if (f == nullptr || fwrite(data, 1, n, f) != n || fclose(f) != 0) {
    fprintf(stderr, "orvale: cannot write %s\n", w.Value("--out")->c_str());
    return false;
  }
  return true;
}

void PrintRate(UINT64 bytes, double seconds) {
  printf("  %llu bytes in %.3f s, %.2f MB/s\n", static_cast<unsigned long long>(bytes), seconds,
         seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0.0);
}

EFI_STATUS TftpCall(Context &ctx, EFI_PXE_BASE_CODE_TFTP_OPCODE op, TftpWords &t, void *buffer, UINT64 *size,
                    UINTN *blockSize, EFI_PXE_BASE_CODE_MTFTP_INFO *info = nullptr, bool overwrite = false) {
  return ctx.protocol->Mtftp(ctx.protocol, op, buffer, overwrite, size, blockSize, &t.server,
                             reinterpret_cast<UINT8 *>(t.file.data()), info, FALSE);
}

void PrintTftpError(Context &ctx, EFI_STATUS status) {
  if (status == EFI_TFTP_ERROR && ctx.protocol->State->TftpErrorReceived) {
    printf("  server error %u: %.127s\n", ctx.protocol->State->TftpError.ErrorCode,
           ctx.protocol->State->TftpError.ErrorString);
  }
}

Outcome CmdTftpGet(Context &ctx, const Words &w) {
  TftpWords t;
  std::string why;
  if (!ParseTftpWords(w, "tftp-get", &t, &why)) return Outcome::Usage(why);
  if (ctx.Checking()) return {};
  UINT64 room = kFirstReadBuffer;
  UINTN block = t.hasBlockSize ? t.blockSize : 8192;
  if (w.Has("--tsize")) {
    UINTN sizeBlock = block;
    EFI_STATUS status = TftpCall(ctx, EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, t, nullptr, &room, &sizeBlock);
    PrintTftpError(ctx, status);
    if (status != EFI_SUCCESS) return Outcome::Status(status);
    printf("  tsize: %llu\n", static_cast<unsigned long long>(room));
    if (room == 0) room = 1;
  }
  ReadBuffer buffer;
  EFI_STATUS status;
  double seconds;
  UINT64 size;
  for (int attempt = 0;; ++attempt) {
    // The room is the server's tsize: one the host cannot give fails the command, not the tool.
    if (room > kMaxReadBytes || !buffer.Reset(static_cast<size_t>(room))) {
      printf("  no room for %llu bytes\n", static_cast<unsigned long long>(room));
      return Outcome::Status(EFI_OUT_OF_RESOURCES);
    }
    size = room;
    UINTN asked = t.hasBlockSize ? t.blockSize : 8192;
    block = asked;
    const double start = MonotonicSeconds();
    status = TftpCall(ctx, EFI_PXE_BASE_CODE_TFTP_READ_FILE, t, buffer.get(), &size, &block);
    seconds = MonotonicSeconds() - start;
    if (status != EFI_BUFFER_TOO_SMALL || attempt > 0 || size <= room) break;
    room = size;  // the file's size, from the driver's size request
  }
  PrintTftpError(ctx, status);
  if (status != EFI_SUCCESS) return Outcome::Status(status);
  printf("  blksize: %zu\n", static_cast<size_t>(block));
  PrintRate(size, seconds);
  return Outcome::Status(DeliverFile(w, buffer.get(), size) ? EFI_SUCCESS : EFI_DEVICE_ERROR);
}

Outcome CmdTftpSize(Context &ctx, const Words &w) {
  TftpWords t;
  std::string why;
  if (!ParseTftpWords(w, "tftp-size", &t, &why)) return Outcome::Usage(why);
  if (ctx.Checking()) return {};
  UINT64 size = 0;
  UINTN block = t.hasBlockSize ? t.blockSize : 8192;
  const EFI_STATUS status = TftpCall(ctx, EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, t, nullptr, &size, &block);
  PrintTftpError(ctx, status);
  if (status == EFI_SUCCESS) printf("  size: %llu (blksize %zu)\n", static_cast<unsigned long long>(size), block);
  return Outcome::Status(status);
}

Outcome CmdTftpPut(Context &ctx, const Words &w) {
  TftpWords t;
  std::string why;
  unsigned long patternSize = 0;
  if (!ParseTftpWords(w, "tftp-put", &t, &why)) return Outcome::Usage(why);
  if (w.Has("--in") == w.Has("--size")) return Outcome::Usage("tftp-put: give --in PATH or --size N");
  if (w.Has("--size") && !ParseUnsigned(*w.Value("--size"), 4000000000ul, &patternSize))
    return Outcome::Usage("tftp-put: bad --size");
  if (ctx.Checking()) return {};
  hosted::Bytes data;
  if (w.Has("--in")) {
    FILE *f = fopen(w.Value("--in")->c_str(), "rb");
    if (f == nullptr) return Outcome::Usage("tftp-put: cannot read " + *w.Value("--in"));
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
    fclose(f);
  } else {
    data = Pattern(patternSize);
  }
  UINT64 size = data.size();
  UINTN block = t.hasBlockSize ? t.blockSize : 8192;
  uint8_t none = 0;
  const double start = MonotonicSeconds();
  const EFI_STATUS status = TftpCall(ctx, EFI_PXE_BASE_CODE_TFTP_WRITE_FILE, t, data.empty() ? &none : data.data(),
                                     &size, &block, nullptr, w.Has("--overwrite"));
  const double seconds = MonotonicSeconds() - start;
  PrintTftpError(ctx, status);
  if (status == EFI_SUCCESS) {
    printf("  blksize: %zu\n", static_cast<size_t>(block));
    PrintRate(data.size(), seconds);
  }
  return Outcome::Status(status);
}

Outcome CmdTftpDir(Context &ctx, const Words &w) {
  TftpWords t;
  std::string why;
  if (!ParseTftpWords(w, "tftp-dir", &t, &why)) return Outcome::Usage(why);
  if (ctx.Checking()) return {};
  std::vector<uint8_t> buffer(1 << 20);
  UINT64 size = buffer.size();
  UINTN block = t.hasBlockSize ? t.blockSize : 8192;
  const EFI_STATUS status = TftpCall(ctx, EFI_PXE_BASE_CODE_TFTP_READ_DIRECTORY, t, buffer.data(), &size, &block);
  PrintTftpError(ctx, status);
  if (status == EFI_SUCCESS) PrintData(buffer.data(), size);
  return Outcome::Status(status);
}

Outcome CmdMtftpGet(Context &ctx, const Words &w) {
  TftpWords t;
  std::string why;
  if (!ParseTftpWords(w, "mtftp-get", &t, &why)) return Outcome::Usage(why);
  EFI_PXE_BASE_CODE_MTFTP_INFO info{};
  unsigned long cport = 0, sport = 0, listen = 2, transmit = 2, room = kFirstReadBuffer;
  if (!w.Has("--group") || !ParseIpv4(*w.Value("--group"), &info.MCastIp) || !IsMulticast(info.MCastIp))
    return Outcome::Usage("mtftp-get: --group GROUP (a multicast address) is needed");
  if (!w.Has("--cport") || !ParseUnsigned(*w.Value("--cport"), 65535, &cport) || cport == 0 ||
      !w.Has("--sport") || !ParseUnsigned(*w.Value("--sport"), 65535, &sport) || sport == 0)
    return Outcome::Usage("mtftp-get: --cport P and --sport P are needed");
  if ((w.Has("--listen") && !ParseUnsigned(*w.Value("--listen"), 65535, &listen)) ||
      (w.Has("--transmit") && !ParseUnsigned(*w.Value("--transmit"), 65535, &transmit)) || listen == 0 ||
      transmit == 0)
    return Outcome::Usage("mtftp-get: bad --listen or --transmit (seconds, at least 1)");
  if (w.Has("--buffer") && !ParseUnsigned(*w.Value("--buffer"), 1ul << 31, &room))
    return Outcome::Usage("mtftp-get: bad --buffer");
  if (ctx.Checking()) return {};
  info.CPort = static_cast<UINT16>(cport);
  info.SPort = static_cast<UINT16>(sport);
  info.ListenTimeout = static_cast<UINT16>(listen);
  info.TransmitTimeout = static_cast<UINT16>(transmit);
  std::vector<uint8_t> buffer(room);
  UINT64 size = room;
  const double start = MonotonicSeconds();
  const EFI_STATUS status = TftpCall(ctx, EFI_PXE_BASE_CODE_MTFTP_READ_FILE, t, buffer.data(), &size, nullptr, &info);
  const double seconds = MonotonicSeconds() - start;
  PrintTftpError(ctx, status);
  if (status != EFI_SUCCESS) return Outcome::Status(status);
  PrintRate(size, seconds);
  return Outcome::Status(DeliverFile(w, buffer.data(), size) ? EFI_SUCCESS : EFI_DEVICE_ERROR);
}


// A DHCP, proxy or boot-server reply as the PXE exchanges see it: address,
// server, offer class, boot file, and the discovery sub-options.
void PrintPxePacket(const char *label, const DhcpPacket &packet) {
  auto *slot = static_cast<PacketSlot *>(calloc(1, sizeof(PacketSlot)));
  memcpy(slot->packet.Raw, packet.Raw, sizeof(packet.Raw));
  ParsePxePacket(slot, sizeof(packet.Raw));
  const uint8_t *p = slot->packet.Raw;
  EFI_IP_ADDRESS yiaddr{}, server{};
  memcpy(yiaddr.v4.Addr, p + 16, 4);
  UINT8 length = 0;
  if (const UINT8 *id = PxeDhcpOption(slot, kRefServerId, &length); id != nullptr && length >= 4)
    memcpy(server.v4.Addr, id, 4);
  const UINT8 flags = slot->pxeFlags;
  const int offerClass = (flags & kPxeFlagBootServer) ? 1 : (flags & kPxeFlagMtftp) ? 2 : (flags & kPxeFlagReply) ? 3 : 0;
  printf("  %s: yiaddr %s server %s class %d%s\n", label, FormatIpv4(yiaddr).c_str(), FormatIpv4(server).c_str(),
         offerClass, ValidatePxeBootInfo(slot) ? "" : " (boot information unusable)");
  if (const UINT8 *file = PxeDhcpOption(slot, kRefBootFile, &length))
    printf("    boot file: %.*s\n", static_cast<int>(length), reinterpret_cast<const char *>(file));
  if (const UINT8 *control = PxeSubOption(slot, kRefDiscoveryControl, &length); control != nullptr && length >= 1)
    printf("    discovery control: 0x%02x\n", control[0]);
  if (const UINT8 *group = PxeSubOption(slot, kRefDiscoveryMcast, &length); group != nullptr && length >= 4)
    printf("    discovery multicast: %u.%u.%u.%u\n", group[0], group[1], group[2], group[3]);
  if (const UINT8 *servers = PxeSubOption(slot, kRefBootServers, &length)) {
    for (size_t at = 0; at + 3 <= length && at + 3u + 4u * servers[at + 2] <= length; at += 3u + 4u * servers[at + 2]) {
      printf("    boot servers of type %u:", servers[at] << 8 | servers[at + 1]);
      for (size_t i = 0; i < servers[at + 2]; ++i) {
        const uint8_t *a = servers + at + 3 + 4 * i;
        printf(" %u.%u.%u.%u", a[0], a[1], a[2], a[3]);
      }
      printf("\n");
    }
  }
  if (const UINT8 *menu = PxeSubOption(slot, kRefBootMenu, &length)) {
    for (size_t at = 0; at + 3 <= length && at + 3u + menu[at + 2] <= length; at += 3u + menu[at + 2])
      printf("    menu: type %u \"%.*s\"\n", menu[at] << 8 | menu[at + 1], menu[at + 2],
             reinterpret_cast<const char *>(menu + at + 3));
  }
  if (const UINT8 *item = PxeSubOption(slot, kRefBootItem, &length); item != nullptr && length >= 4)
    printf("    boot item: type %u layer %u\n", item[0] << 8 | item[1], (item[2] << 8 | item[3]) & 0x7FFF);
  free(slot);
}

Outcome CmdPxe(Context &ctx, const Words &w) {
  if (ctx.Checking()) return {};
  PacketRecord *packets = ctx.protocol->Packets;
  if (packets->BootMode == ORVALE_BOOT_MODE_WIRL) packets->BootMode = 0;
  const EFI_STATUS status = ctx.protocol->Dhcp(ctx.protocol, w.Has("--arrival") ? FALSE : TRUE);
  printf("  station %s mask %s\n", FormatIpv4(ctx.protocol->Mode->StationIp).c_str(),
         FormatIpv4(ctx.protocol->Mode->SubnetMask).c_str());
  if (status == EFI_SUCCESS) {
    PrintPxePacket("ack", packets->DhcpAck);
    if (packets->ProxyOfferReceived) PrintPxePacket("proxy", packets->ProxyOffer);
  }
  return Outcome::Status(status);
}

Outcome CmdDiscover(Context &ctx, const Words &w) {
  unsigned long type = 0, layer = 0;
  if (!ParseUnsigned(w.args[0], 65535, &type)) return Outcome::Usage("discover: bad TYPE '" + w.args[0] + "'");
  if (w.Has("--layer") && !ParseUnsigned(*w.Value("--layer"), 0x7FFF, &layer))
    return Outcome::Usage("discover: bad --layer");
  EFI_PXE_BASE_CODE_DISCOVER_INFO info{};
  const int methods = w.Has("--mcast") + w.Has("--bcast") + w.Has("--ucast");
  if (methods > 1) return Outcome::Usage("discover: one of --mcast, --bcast, --ucast");
  if (w.Has("--mcast") && (!ParseIpv4(*w.Value("--mcast"), &info.ServerMCastIp) || !IsMulticast(info.ServerMCastIp)))
    return Outcome::Usage("discover: --mcast wants a multicast address");
  if (w.Has("--ucast") && !ParseIpv4(*w.Value("--ucast"), &info.SrvList[0].IpAddr))
    return Outcome::Usage("discover: bad --ucast");
  if (ctx.Checking()) return {};
  info.UseMCast = w.Has("--mcast");
  info.UseBCast = w.Has("--bcast");
  info.UseUCast = w.Has("--ucast");
  info.IpCnt = 1;
  info.SrvList[0].Type = static_cast<UINT16>(type);
  UINT16 wanted = static_cast<UINT16>(layer);
  const EFI_STATUS status =
      ctx.protocol->Discover(ctx.protocol, static_cast<UINT16>(type), &wanted, FALSE, methods > 0 ? &info : nullptr);
  PacketRecord *packets = ctx.protocol->Packets;
  if (status == EFI_SUCCESS) {
    printf("  server %s layer %u\n", FormatIpv4(packets->LastBootServerIp).c_str(), wanted);
    PrintPxePacket("reply", packets->PxeReply);
  }
  return Outcome::Status(status);
}

Outcome CmdBoot(Context &ctx, const Words &w) {
  BootOptions options;
  options.pxe = w.Has("--pxe");
  const std::string why = ParseWirlSteering(w, "boot", &options.wirl);
  if (!why.empty()) return Outcome::Usage(why);
  const bool wirlWords = w.Has("--server") || w.Has("--port") || w.Has("--default-image") || w.Has("--kind3") ||
                         w.Has("--image") || w.Has("--alternate-port");
  if (options.pxe && wirlWords) return Outcome::Usage("boot: the WIRL options do not go with --pxe");
  if (w.Has("--type")) {
    unsigned long type = 0;
    if (!options.pxe) return Outcome::Usage("boot: --type goes with --pxe");
    if (!ParseUnsigned(*w.Value("--type"), 65535, &type)) return Outcome::Usage("boot: bad --type");
    options.haveType = true;
    options.type = static_cast<uint16_t>(type);
  }
  if (w.Has("--blksize")) {
    unsigned long block = 0;
    if (!ParseUnsigned(*w.Value("--blksize"), 65464, &block) || block < 512)
      return Outcome::Usage("boot: bad --blksize (512 to 65464)");
    options.blockSize = block;
  }
  if (w.Has("--out")) {
    options.outDir = *w.Value("--out");
    struct stat st {};
    if (stat(options.outDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(options.outDir.c_str(), W_OK) != 0)
      return Outcome::Usage("boot: --out wants a writable folder, not '" + options.outDir + "'");
  }
  if (ctx.Checking()) return {};
  options.quiet = ctx.json;
  BootReport report = RunBoot(*ctx.session, options);
  Outcome o = Outcome::Status(report.status);
  o.exitCode = BootExitCode(report);
  if (!ctx.json) printf("  %s\n", BootSummary(report).c_str());
  ctx.boot = std::move(report);
  return o;
}

const Command kCommands[] = {
    {"set-ip", 1, 1, "", "set-ip IP/PREFIX", "SetStationIp: the station address and subnet mask.", CmdSetIp},
    {"arp", 1, 1, "", "arp IP", "Arp: resolve IP (from the cache, else by one ARP request); prints the ARP cache.",
     CmdArp},
    {"udp-send", 2, 3, "--size= --src-port= --fragment --gateway=",
     "udp-send IP PORT TEXT|--size N [--src-port P] [--fragment] [--gateway GW]",
     "UdpWrite: TEXT, or N bytes of the test pattern, to IP:PORT. Without --src-port the\n"
     "      driver picks the source port. --fragment allows fragments (MAY_FRAGMENT).",
     CmdUdpSend},
    {"udp-recv", 0, 0, "--port= --timeout= --from= --any-dest",
     "udp-recv [--port P] [--timeout S] [--from IP] [--any-dest]",
     "UdpRead until a datagram, an ICMP error or the timeout (default 5 s). Listens on P,\n"
     "      else on the source port of the last udp-send, else on any port; to the station\n"
     "      address (or the joined groups after join; any address with --any-dest). A datagram\n"
     "      with a bad UDP checksum is dropped (said on stderr) and the wait goes on.",
     CmdUdpRecv},
    {"join", 1, 1, "", "join GROUP",
     "SetIpFilter: station, broadcast and GROUP (with the groups joined before); the\n"
     "      driver sends a membership report at once.",
     CmdJoin},
    {"wait", 1, 1, "", "wait SECONDS", "Keep polling for SECONDS, answering ARP requests and IGMP queries.", CmdWait},
    {"show", 0, 0, "", "show", "Print the published records: station, ARP cache, routes, filter, ICMP error.", CmdShow},
    {"dhcp", 0, 0, "", "dhcp",
     "Dhcp (BootMode 16, PlainDhcp): a lease by DHCP; prints the address, mask, routers,\n"
     "      the server and the lease options of the ACK.",
     CmdDhcp},
    {"wirl", 0, 0, "--server= --port= --default-image --kind3 --image= --select-server= --alternate-port",
     "wirl [--server IP] [--port P] [--default-image] [--kind3] [--image HEX8 --select-server IP]",
     "Dhcp (BootMode 16): the whole WIRL boot, DHCP then LIST and SELECT to port P (67\n"
     "      unless given), to IP only with --server. Prints the lease, the servers heard,\n"
     "      the image chosen and the boot file of the SELECT acknowledgement. --image\n"
     "      selects that image on --select-server (LIST once, to 7799 with --alternate-port).",
     CmdWirl},
    {"wirl-list", 0, 0, "--rounds= --server=", "wirl-list [--rounds N] [--server IP]",
     "Wirl: discovery, then N rounds (default 2) of a LIST and a gather, to 67 then\n"
     "      7799; prints every server's image list, one image per line.",
     CmdWirlList},
    {"tftp-get", 2, 2, "--out= --blksize= --tsize --sha256", "tftp-get SERVER FILE [--out PATH] [--blksize N] [--tsize] [--sha256]",
     "Mtftp read: FILE from SERVER into memory, then to PATH and/or its sha256. --tsize asks\n"
     "      the size first; prints the negotiated blksize, the size, the time and MB/s.",
     CmdTftpGet},
    {"tftp-size", 2, 2, "--blksize=", "tftp-size SERVER FILE [--blksize N]", "Mtftp get-size: FILE's size (tsize, or counted).",
     CmdTftpSize},
    {"tftp-put", 2, 2, "--in= --size= --blksize= --overwrite",
     "tftp-put SERVER FILE --in PATH|--size N [--blksize N] [--overwrite]",
     "Mtftp write: PATH (or N bytes of the test pattern) to FILE on SERVER.", CmdTftpPut},
    {"tftp-dir", 2, 2, "--blksize=", "tftp-dir SERVER PATH [--blksize N]", "Mtftp read-directory: the listing of PATH.",
     CmdTftpDir},
    {"mtftp-get", 2, 2, "--group= --cport= --sport= --listen= --transmit= --buffer= --out= --sha256",
     "mtftp-get SERVER FILE --group G --cport P --sport P [--listen S] [--transmit S] [--buffer N] [--out PATH] [--sha256]",
     "Mtftp multicast read: listen on G:P for --listen s (default 2), else open the transfer\n"
     "      from the client port; falls back to plain TFTP. --buffer: room (64 MiB).",
     CmdMtftpGet},
    {"pxe", 0, 0, "--arrival", "pxe [--arrival]",
     "Dhcp on the PXE path (offers sorted by class, or in arrival order): prints the ACK\n"
     "      and the proxy reply with their class, boot file, boot servers and menu.",
     CmdPxe},
    {"discover", 1, 1, "--layer= --mcast= --bcast --ucast=", "discover TYPE [--layer N] [--mcast IP|--bcast|--ucast IP]",
     "Discover a boot server of TYPE, by the DHCP reply's methods or the one given: prints\n"
     "      the answering server, the layer and the boot file.",
     CmdDiscover},
    {"boot", 0, 0,
     "--pxe --type= --server= --port= --default-image --kind3 --image= --select-server= --alternate-port "
     "--blksize= --out=",
     "boot [--pxe [--type N]] [WIRL options of wirl] [--blksize N] [--out DIR]",
     "The loader's road, one timed line per stage: DHCP and WIRL (Dhcp, BootMode 16), or\n"
     "      with --pxe PXE DHCP and Discover of type N (else the first type the replies list;\n"
     "      none listed and a boot file named: no discovery); the boot file's name and server;\n"
     "      its size (tsize) and its read (MB/s) at blksize N (8192), which must match the\n"
     "      size; a boot script (#!orvale) then has its kernel and initrd sized and read the\n"
     "      same way. --out saves each file in DIR. Ends with a summary naming the first\n"
     "      stage that failed, its status and the server's error text.",
     CmdBoot},
};

const Command *FindCommand(const std::string &name) {
  for (const Command &c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

// -1 unknown, 0 flag, 1 takes a value.
int OptionKind(const Command &c, const std::string &word) {
  std::string list = std::string(" ") + c.options + " ";
  if (list.find(" " + word + "= ") != std::string::npos) return 1;
  if (list.find(" " + word + " ") != std::string::npos) return 0;
  return -1;
}

void PrintHelp() {
  printf(
      "usage: orvale (--if IFACE | --macvlan PARENT) [--pcap FILE] [--json] COMMAND [ARGS]...\n"
      "\n"
      "Runs the driver on IFACE through a raw packet socket (root or CAP_NET_RAW) and\n"
      "drives its members. The commands of one line run in order on one driver\n"
      "instance; the first failure ends the line. IFACE should carry no IPv4 address\n"
      "of its own, or the host's stack will answer for it too.\n"
      "\n"
      "  --if IFACE        run on IFACE as it is\n"
      "  --macvlan PARENT  the usual way on a machine with one network card: run on a\n"
      "                    temporary macvlan on PARENT (mode bridge, its own MAC, no IPv4\n"
      "                    address, IPv6 off), removed at exit and on SIGINT, SIGTERM,\n"
      "                    SIGHUP, SIGQUIT, SIGPIPE and SIGABRT. Needs CAP_NET_ADMIN.\n"
      "                    Peers on the link reach it; the host itself does not\n"
      "                    (macvlan's own rule).\n"
      "  --pcap FILE       write every frame the driver sent and received to FILE (pcap)\n"
      "  --json            boot only: its report as one JSON object on standard output,\n"
      "                    instead of the text lines\n"
      "\n"
      "commands:\n");
  for (const Command &c : kCommands) printf("  %s\n      %s\n", c.synopsis, c.help);
  printf(
      "\n"
      "Each command prints what the driver published and its EFI_STATUS by name.\n"
      "exit status: 0 when every command returned EFI_SUCCESS; else the failing status's\n"
      "error code (EFI_TIMEOUT 18, EFI_ICMP_ERROR 22, ...); %d for a wrong command line,\n"
      "%d when the interface or the driver could not be brought up. A failed boot exits\n"
      "with the code of its first failed stage:",
      kExitUsage, kExitSetup);
  for (size_t i = 0; i < kStageCodeCount; ++i)
    printf("%s%s %d", i % 6 == 0 ? "\n  " : "  ", kStageCodes[i].name, kStageCodes[i].code);
  printf(
      "\n"
      "\n"
      "examples:\n"
      "  orvale --if veth0 set-ip 198.18.0.10/24 arp 198.18.0.1 \\\n"
      "         udp-send 198.18.0.1 7 hello udp-recv --timeout 2\n"
      "  orvale --macvlan eth0 --pcap boot.pcap boot --pxe --out /tmp/boot\n");
}

struct Step {
  const Command *command;
  Words words;
};

int ExitCodeFor(EFI_STATUS status) {
  if (status == EFI_SUCCESS) return 0;
  EFI_STATUS code = status & ~EFI_ERROR_BIT;
  return EFI_ERROR(status) && code > 0 && code < kExitUsage ? static_cast<int>(code) : 1;
}

// With --json a line that never started still prints one object, so a
// monitoring script always has something to read.
void PrintSetupFailureJson(const std::string &iface, const std::string &parent, const std::string &error) {
  JsonWriter out;
  out.BeginObject();
  out.String("interface", iface);
  if (!parent.empty()) out.String("macvlan_parent", parent);
  out.Bool("completed", false);
  out.String("failed_stage", "setup");
  out.String("failure", error);
  out.Integer("exit_code", kExitSetup);
  out.EndObject();
  printf("%s\n", out.Text().c_str());
}

// parent: the interface a temporary macvlan iface sits on, or empty.
int RunLine(const std::string &iface, const std::string &parent, const std::string &pcapPath, bool json,
            const std::vector<Step> &steps) {
  std::string error;
  std::unique_ptr<DriverSession> session = DriverSession::Open(iface, &error);
  if (!session) {
    fprintf(stderr, "orvale: %s: %s\n", iface.c_str(), error.c_str());
    if (json) PrintSetupFailureJson(iface, parent, error);
    return kExitSetup;
  }
  FrameRecorder recorder;
  if (!pcapPath.empty() && !recorder.Open(&session->Wire(), session->Mac(), pcapPath, &error)) {
    fprintf(stderr, "orvale: %s\n", error.c_str());
    if (json) PrintSetupFailureJson(iface, parent, error);
    return kExitSetup;
  }
  const std::string mac = FormatMac(session->Mac().data());
  const std::string shown = parent.empty() ? iface : iface + " (macvlan on " + parent + ")";
  if (!json) printf("orvale on %s, mac %s\n", shown.c_str(), mac.c_str());
  Context ctx;
  ctx.session = session.get();
  ctx.protocol = session->Protocol();
  ctx.json = json;
  EFI_STATUS result = EFI_SUCCESS;
  int exitCode = 0;
  for (const Step &s : steps) {
    if (!json) printf("%s\n", s.command->name);
    Outcome o = s.command->run(ctx, s.words);
    if (!json) printf("  -> %s\n", StatusName(o.status).c_str());
    fflush(stdout);
    if (!o.usage.empty()) fprintf(stderr, "orvale: %s\n", o.usage.c_str());
    if (o.status != EFI_SUCCESS || o.exitCode > 0) {
      result = o.status;
      exitCode = o.exitCode >= 0 ? o.exitCode : ExitCodeFor(o.status);
      break;
    }
  }
  // The driver's last frames reach the capture at the next pump.
  session->Wire().Pump();
  const std::string problems = session->Close();
  session->Wire().Pump();
  recorder.Close();
  if (!problems.empty()) fprintf(stderr, "orvale: tear-down: %s\n", problems.c_str());
  if (json) {
    JsonWriter out;
    out.BeginObject();
    out.String("interface", iface);
    if (!parent.empty()) out.String("macvlan_parent", parent);
    out.String("mac", mac);
    if (!pcapPath.empty()) {
      out.String("pcap", pcapPath);
      out.Unsigned("pcap_frames", recorder.Frames());
    }
    if (ctx.boot) WriteBootJson(*ctx.boot, out);
    out.String("teardown", problems);
    out.EndObject();
    printf("%s\n", out.Text().c_str());
  } else {
    printf("status: %s\n", StatusName(result).c_str());
  }
  return exitCode;
}

int Main(int argc, char **argv) {
  std::string iface, parent, pcapPath;
  bool json = false;
  std::vector<Step> steps;
  int i = 1;
  for (; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--help" || word == "-h") {
      PrintHelp();
      return 0;
    }
    const bool valued = word == "--if" || word == "--macvlan" || word == "--pcap";
    if (valued && i + 1 >= argc) {
      fprintf(stderr, "orvale: %s needs a value\n", word.c_str());
      return kExitUsage;
    }
    if (word == "--if") {
      iface = argv[++i];
    } else if (word == "--macvlan") {
      parent = argv[++i];
    } else if (word == "--pcap") {
      pcapPath = argv[++i];
    } else if (word == "--json") {
      json = true;
    } else {
      break;
    }
  }
  while (i < argc) {
    const Command *c = FindCommand(argv[i]);
    if (c == nullptr) {
      fprintf(stderr, "orvale: unknown command or option '%s' (see --help)\n", argv[i]);
      return kExitUsage;
    }
    Step step{c, {}};
    for (++i; i < argc; ++i) {
      std::string word = argv[i];
      if (word.rfind("--", 0) == 0 && word.size() > 2) {
        int kind = OptionKind(*c, word);
        if (kind < 0) {
          fprintf(stderr, "orvale: %s has no option %s\n", c->name, word.c_str());
          return kExitUsage;
        }
        if (kind == 1 && i + 1 >= argc) {
          fprintf(stderr, "orvale: %s %s needs a value\n", c->name, word.c_str());
          return kExitUsage;
        }
        step.words.options.emplace_back(word, kind == 1 ? std::optional<std::string>(argv[++i]) : std::nullopt);
        continue;
      }
      // Past its required arguments a command name starts the next command.
      const int have = static_cast<int>(step.words.args.size());
      if (have >= c->minArgs && (have >= c->maxArgs || FindCommand(word) != nullptr)) break;
      step.words.args.push_back(word);
    }
    if (static_cast<int>(step.words.args.size()) < c->minArgs) {
      fprintf(stderr, "orvale: usage: %s\n", c->synopsis);
      return kExitUsage;
    }
    steps.push_back(std::move(step));
  }
  if (iface.empty() == parent.empty() || steps.empty()) {
    fprintf(stderr, "orvale: need --if IFACE or --macvlan PARENT, and a command (see --help)\n");
    return kExitUsage;
  }
  if (json && (steps.size() != 1 || std::string(steps[0].command->name) != "boot")) {
    fprintf(stderr, "orvale: --json goes with a line of one boot command\n");
    return kExitUsage;
  }

  Context check;
  for (const Step &s : steps) {
    Outcome o = s.command->run(check, s.words);
    if (!o.usage.empty()) {
      fprintf(stderr, "orvale: %s\n", o.usage.c_str());
      return kExitUsage;
    }
  }

  if (parent.empty()) return RunLine(iface, "", pcapPath, json, steps);
  std::string error;
  if (!CreateMacvlan(parent, &error)) {
    fprintf(stderr, "orvale: --macvlan %s: %s\n", parent.c_str(), error.c_str());
    if (json) PrintSetupFailureJson(MacvlanName(), parent, error);
    return kExitSetup;
  }
  const std::string name = MacvlanName();
  const int code = RunLine(name, parent, pcapPath, json, steps);
  if (!RemoveMacvlan()) {
    fprintf(stderr, "orvale: could not remove %s (ip link del %s)\n", name.c_str(), name.c_str());
    return code != 0 ? code : kExitSetup;
  }
  return code;
}

}  // namespace
}  // namespace orvale_cli

int main(int argc, char **argv) { return orvale_cli::Main(argc, argv); }
