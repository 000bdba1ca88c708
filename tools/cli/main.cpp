// orvale: the hosted driver on a real interface, driven from the shell.
//
//   orvale --if IFACE COMMAND [ARGS] [COMMAND [ARGS]]...
//
// One process is one driver instance: the commands of a line run in order on
// the same started child (so set-ip before udp-send), and the first one that
// fails ends the line. The whole line is checked before the driver starts.
// Adding a command is one function and one row of kCommands.
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <optional>
#include <string>
#include <vector>

#include "pxe/pxe.h"
#include "tools/cli/session.h"

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
  bool Checking() const { return protocol == nullptr; }
};

struct Outcome {
  EFI_STATUS status = EFI_SUCCESS;
  std::string usage;  // non-empty: the words were wrong, nothing ran
  static Outcome Status(EFI_STATUS s) { return {s, ""}; }
  static Outcome Usage(const std::string &why) { return {EFI_INVALID_PARAMETER, why}; }
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
     "      address (or the joined groups after join; any address with --any-dest).",
     CmdUdpRecv},
    {"join", 1, 1, "", "join GROUP",
     "SetIpFilter: station, broadcast and GROUP (with the groups joined before); the\n"
     "      driver sends a membership report at once.",
     CmdJoin},
    {"wait", 1, 1, "", "wait SECONDS", "Keep polling for SECONDS, answering ARP requests and IGMP queries.", CmdWait},
    {"show", 0, 0, "", "show", "Print the published records: station, ARP cache, routes, filter, ICMP error.", CmdShow},
    {"pxe", 0, 0, "--arrival", "pxe [--arrival]",
     "Dhcp on the PXE path (offers sorted by class, or in arrival order): prints the ACK\n"
     "      and the proxy reply with their class, boot file, boot servers and menu.",
     CmdPxe},
    {"discover", 1, 1, "--layer= --mcast= --bcast --ucast=", "discover TYPE [--layer N] [--mcast IP|--bcast|--ucast IP]",
     "Discover a boot server of TYPE, by the DHCP reply's methods or the one given: prints\n"
     "      the answering server, the layer and the boot file.",
     CmdDiscover},
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
      "usage: orvale --if IFACE COMMAND [ARGS] [COMMAND [ARGS]]...\n"
      "\n"
      "Runs the driver on IFACE through a raw packet socket (root or CAP_NET_RAW) and\n"
      "drives its members. The commands of one line run in order on one driver\n"
      "instance; the first failure ends the line. IFACE should carry no IPv4 address\n"
      "of its own, or the host's stack will answer for it too.\n"
      "\n"
      "commands:\n");
  for (const Command &c : kCommands) printf("  %s\n      %s\n", c.synopsis, c.help);
  printf(
      "\n"
      "Each command prints what the driver published and its EFI_STATUS by name.\n"
      "exit status: 0 when every command returned EFI_SUCCESS; else the failing status's\n"
      "error code (EFI_TIMEOUT 18, EFI_ICMP_ERROR 22, ...); %d for a wrong command line,\n"
      "%d when the interface or the driver could not be brought up.\n"
      "\n"
      "example:\n"
      "  orvale --if veth0 set-ip 198.18.0.10/24 arp 198.18.0.1 \\\n"
      "         udp-send 198.18.0.1 7 hello udp-recv --timeout 2\n",
      kExitUsage, kExitSetup);
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

int Main(int argc, char **argv) {
  std::string iface;
  std::vector<Step> steps;
  int i = 1;
  for (; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--help" || word == "-h") {
      PrintHelp();
      return 0;
    }
    if (word == "--if" && i + 1 < argc) {
      iface = argv[++i];
      continue;
    }
    break;
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
  if (iface.empty() || steps.empty()) {
    fprintf(stderr, "orvale: need --if IFACE and a command (see --help)\n");
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

  std::string error;
  std::unique_ptr<DriverSession> session = DriverSession::Open(iface, &error);
  if (!session) {
    fprintf(stderr, "orvale: %s: %s\n", iface.c_str(), error.c_str());
    return kExitSetup;
  }
  printf("orvale on %s, mac %s\n", iface.c_str(), FormatMac(session->Mac().data()).c_str());
  Context ctx;
  ctx.session = session.get();
  ctx.protocol = session->Protocol();
  EFI_STATUS result = EFI_SUCCESS;
  for (const Step &s : steps) {
    printf("%s\n", s.command->name);
    Outcome o = s.command->run(ctx, s.words);
    printf("  -> %s\n", StatusName(o.status).c_str());
    fflush(stdout);
    if (!o.usage.empty()) fprintf(stderr, "orvale: %s\n", o.usage.c_str());
    if (o.status != EFI_SUCCESS) {
      result = o.status;
      break;
    }
  }
  std::string problems = session->Close();
  if (!problems.empty()) fprintf(stderr, "orvale: tear-down: %s\n", problems.c_str());
  printf("status: %s\n", StatusName(result).c_str());
  return ExitCodeFor(result);
}

}  // namespace
}  // namespace orvale_cli

int main(int argc, char **argv) { return orvale_cli::Main(argc, argv); }
