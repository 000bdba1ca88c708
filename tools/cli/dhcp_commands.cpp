// The commands of the DHCP, WIRL and PXE members, and the boot road.
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/cli/command.h"
#include "tools/cli/dhcp_print.h"

namespace orvale_cli {
namespace {

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

void PrintLines(const std::vector<std::string> &lines) {
  for (const std::string &l : lines) printf("%s\n", l.c_str());
}

}  // namespace

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

namespace {

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

}  // namespace

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

Outcome CmdPxe(Context &ctx, const Words &w) {
  if (ctx.Checking()) return {};
  PacketRecord *packets = ctx.protocol->Packets;
  if (packets->BootMode == ORVALE_BOOT_MODE_WIRL) packets->BootMode = 0;
  const EFI_STATUS status = ctx.protocol->Dhcp(ctx.protocol, w.Has("--arrival") ? FALSE : TRUE);
  printf("  station %s mask %s\n", FormatIpv4(ctx.protocol->Mode->StationIp).c_str(),
         FormatIpv4(ctx.protocol->Mode->SubnetMask).c_str());
  if (status == EFI_SUCCESS) {
    PrintLines(PxePacketLines("ack", packets->DhcpAck.Raw, sizeof(DhcpPacket)));
    if (packets->ProxyOfferReceived) PrintLines(PxePacketLines("proxy", packets->ProxyOffer.Raw, sizeof(DhcpPacket)));
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
    PrintLines(PxePacketLines("reply", packets->PxeReply.Raw, sizeof(DhcpPacket)));
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

}  // namespace orvale_cli
