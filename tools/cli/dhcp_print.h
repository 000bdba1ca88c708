// The tool's own small decoder for printing received BOOTP/DHCP messages (it
// never uses the driver's codec), and the bounded record of the WIRL servers
// heard while an exchange runs.
#ifndef ORVALE_TOOLS_CLI_DHCP_PRINT_H
#define ORVALE_TOOLS_CLI_DHCP_PRINT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/hosted.h"

namespace orvale_cli {

using Options = std::vector<std::pair<uint8_t, hosted::Bytes>>;

// Options of a message, walked over at most the n bytes given.
Options DhcpOptionsOf(const uint8_t *m, size_t n);
const hosted::Bytes *FindIn(const Options &options, uint8_t code);
// Sub-options of every option 43, in order.
Options WirlSubOptions(const Options &options);
std::string Ip4Text(const hosted::Bytes &b, size_t at = 0);
std::string Hex(const hosted::Bytes &b);

// A DHCP, proxy or boot-server reply as a PXE client reads it, one line per
// item, indented for the report: address, server, offer class (1 boot-server
// discovery, 2 multicast TFTP, 3 other PXE, 0 none), boot file, then the
// discovery sub-options. At most n bytes of m are looked at.
std::vector<std::string> PxePacketLines(const char *label, const uint8_t *m, size_t n);

// Sees every frame on the interface while a WIRL exchange runs and keeps only
// what the report prints: the distinct LIST replies heard (from port 67 or
// 7799 to 68), at most kMaxHeard of them, and the first SELECT the driver
// sent. Memory and time per frame stay flat however much else arrives.
class WirlHeard : public hosted::Port {
 public:
  static constexpr size_t kMaxHeard = 64;
  // Attached to wire for its lifetime; own is the driver's MAC.
  WirlHeard(hosted::Wire *wire, hosted::Mac own);
  ~WirlHeard() override;
  WirlHeard(const WirlHeard &) = delete;
  WirlHeard &operator=(const WirlHeard &) = delete;
  hosted::Mac Address() const override { return own_; }
  void Deliver(const hosted::Frame &frame) override;
  // Without a wire: the frame as Deliver would see it.
  void Take(const hosted::Bytes &frame);

  // "heard A priority P default D selected S", in the order first heard.
  const std::vector<std::string> &Heard() const { return heard_; }
  // "chose image I on S" of the first SELECT sent, or empty.
  const std::string &Chosen() const { return chosen_; }
  // Distinct LIST replies not kept because the bound was reached.
  size_t Passed() const { return passed_; }

 private:
  hosted::Wire *wire_;
  hosted::Mac own_;
  std::vector<std::string> heard_;
  std::string chosen_;
  size_t passed_ = 0;
};

}  // namespace orvale_cli

#endif
