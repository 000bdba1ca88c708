// What every command of the tool shares: the words of a command, the context
// of a line, a command's outcome and its row in the command table, and the
// small parsers and clocks the commands use. The commands live by area in
// net_commands.cpp, dhcp_commands.cpp and tftp_commands.cpp; the table, the
// help text and the line runner in main.cpp.
#ifndef ORVALE_TOOLS_CLI_COMMAND_H
#define ORVALE_TOOLS_CLI_COMMAND_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/cli/boot.h"
#include "tools/cli/session.h"

namespace orvale_cli {

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

double MonotonicSeconds();
// A millisecond's pause between two looks at a member that never waits.
void Pause();
bool ParseUnsigned(const std::string &text, unsigned long max, unsigned long *out);
bool ParseSeconds(const std::string &text, double *out);
bool IsMulticast(const EFI_IP_ADDRESS &a);

// Network (net_commands.cpp).
Outcome CmdArp(Context &ctx, const Words &w);
Outcome CmdSetIp(Context &ctx, const Words &w);
Outcome CmdUdpSend(Context &ctx, const Words &w);
Outcome CmdUdpRecv(Context &ctx, const Words &w);
Outcome CmdJoin(Context &ctx, const Words &w);
Outcome CmdWait(Context &ctx, const Words &w);
Outcome CmdShow(Context &ctx, const Words &w);
// DHCP, WIRL, PXE and the boot road (dhcp_commands.cpp).
Outcome CmdDhcp(Context &ctx, const Words &w);
Outcome CmdWirl(Context &ctx, const Words &w);
Outcome CmdWirlList(Context &ctx, const Words &w);
Outcome CmdPxe(Context &ctx, const Words &w);
Outcome CmdDiscover(Context &ctx, const Words &w);
Outcome CmdBoot(Context &ctx, const Words &w);
// TFTP (tftp_commands.cpp).
Outcome CmdTftpGet(Context &ctx, const Words &w);
Outcome CmdTftpSize(Context &ctx, const Words &w);
Outcome CmdTftpPut(Context &ctx, const Words &w);
Outcome CmdTftpDir(Context &ctx, const Words &w);
Outcome CmdMtftpGet(Context &ctx, const Words &w);

}  // namespace orvale_cli

#endif
