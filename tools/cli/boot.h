// The tool's boot check: the road a booting machine takes, through the
// OrvaleProtocol only, one stage at a time, each timed and reported. The
// packets are read with the tool's own decoder (dhcp_print.h), boot scripts
// with the loader's own parser, so the check reads them as the loader does.
#ifndef ORVALE_TOOLS_CLI_BOOT_H
#define ORVALE_TOOLS_CLI_BOOT_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/cli/json.h"
#include "tools/cli/session.h"

namespace orvale_cli {

// The largest file the tool reads into memory; a larger tsize fails the read.
constexpr UINT64 kMaxReadBytes = 4ull << 30;

// The caller-set WIRL fields of the PacketRecord, as wirl and boot take them.
struct WirlSteering {
  EFI_IP_ADDRESS server{};  // zero: every server
  uint16_t port = 0;        // zero: 67
  bool defaultImage = false;
  bool kind3 = false;
  bool explicitImage = false;
  uint32_t image = 0;  // as the bytes appear on the wire
  EFI_IP_ADDRESS selectServer{};
  bool alternatePort = false;
};
void ApplyWirlSteering(OrvaleProtocol *p, const WirlSteering &s);

struct BootOptions {
  bool pxe = false;
  bool haveType = false;
  uint16_t type = 0;  // the boot server type to discover
  WirlSteering wirl;
  size_t blockSize = 8192;
  std::string outDir;  // empty: files stay in memory
  bool quiet = false;  // no text lines (the JSON report is printed instead)
};

// One key field of a stage or a packet, for the JSON report.
struct Field {
  enum Kind { kText, kCount, kReal, kFlag } kind = kText;
  std::string key;
  std::string text;
  uint64_t count = 0;
  double real = 0;
  bool flag = false;
  bool list = false;  // one of several values under the key: a JSON array, however many
};
using Fields = std::vector<Field>;

struct PacketFields {
  std::string role;  // "ack", "proxy", "wirl-reply", "discover-reply"
  Fields fields;
};

struct StageReport {
  std::string name;
  EFI_STATUS status = EFI_SUCCESS;
  double seconds = 0;
  std::string line;  // the text report's words after the name
  Fields fields;
  std::vector<PacketFields> packets;
  std::vector<std::string> heard;  // WIRL servers heard
};

struct BootReport {
  std::string path;  // "wirl" or "pxe"
  std::vector<StageReport> stages;
  double seconds = 0;
  // The first failed stage's name, or empty when the road completed.
  std::string failedStage;
  EFI_STATUS status = EFI_SUCCESS;
  std::string failure;  // what the summary adds (the server's error text)
};

// The stages in road order with their exit codes, for --help and the exit status.
struct StageCode {
  const char *name;
  int code;
};
extern const StageCode kStageCodes[];
extern const size_t kStageCodeCount;
// 0 when the road completed, else the failed stage's code.
int BootExitCode(const BootReport &report);

// Runs the road on a started child; prints one line per stage unless quiet.
BootReport RunBoot(DriverSession &session, const BootOptions &options);

// "boot completed in ..." or "boot failed at STAGE: EFI_... (...)".
std::string BootSummary(const BootReport &report);
// The report's members, written into an open object.
void WriteBootJson(const BootReport &report, JsonWriter &json);

// The last path component of name, for --out; empty when it is no usable file name.
std::string OutputFileName(const std::string &name);

}  // namespace orvale_cli

#endif
