// The network commands: set-ip, arp, the UDP commands, join, wait, show.
#include <stdio.h>
#include <string.h>

#include <vector>

#include "tools/cli/command.h"
#include "tools/cli/print.h"

namespace orvale_cli {
namespace {

constexpr size_t kReceiveBufferSize = 65536;

}  // namespace

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

}  // namespace orvale_cli
