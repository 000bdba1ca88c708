// orvale: the hosted driver on a real interface, driven from the shell.
//
//   orvale --if IFACE COMMAND [ARGS] [COMMAND [ARGS]]...
//
// One process is one driver instance: the commands of a line run in order on
// the same started child (so set-ip before udp-send), and the first one that
// fails ends the line. The whole line is checked before the driver starts.
// Adding a command is one function and one row of kCommands.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "tools/cli/boot.h"
#include "tools/cli/command.h"
#include "tools/cli/json.h"
#include "tools/cli/macvlan.h"
#include "tools/cli/session.h"

namespace orvale_cli {
namespace {

constexpr int kExitUsage = 64;
constexpr int kExitSetup = 65;

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
