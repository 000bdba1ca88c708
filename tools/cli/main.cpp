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

#include <memory>
#include <optional>
#include <string>
#include <vector>

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


// ---- TFTP ----

constexpr UINT64 kFirstReadBuffer = 64ull << 20;  // retried with the size the driver reports

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
  // Not zero-filled: filling 64 MiB would cost more than a small file's transfer.
  std::unique_ptr<uint8_t[]> buffer;
  EFI_STATUS status;
  double seconds;
  UINT64 size;
  for (int attempt = 0;; ++attempt) {
    buffer.reset(new uint8_t[room]);
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
