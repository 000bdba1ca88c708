// An outside opinion on the client messages: each is framed here with our
// own test-side UDP/IPv4/Ethernet encoder, captured from the simulated
// segment and dissected by tshark, which must see DHCP with every option
// where we put it, good checksums and nothing malformed.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "dhcp/bootp_wire.h"
#include "dhcp/codec.h"
#include "tests/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kServerMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr uint8_t kServerIp[4] = {10, 0, 0, 1};
constexpr uint8_t kClientIp[4] = {10, 0, 0, 50};
constexpr uint8_t kAnyIp[4] = {0, 0, 0, 0};
constexpr uint8_t kBroadcastIp[4] = {255, 255, 255, 255};
constexpr uint8_t kBroadcastMac[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// RFC 1071 over the concatenation of the parts.
uint16_t OnesComplementSum(std::initializer_list<Bytes> parts) {
  uint32_t sum = 0;
  Bytes all;
  for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
  if (all.size() % 2) all.push_back(0);
  for (size_t i = 0; i < all.size(); i += 2) sum += static_cast<uint32_t>(all[i] << 8 | all[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void Put16(Bytes &b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}

// Ethernet II + IPv4 (no options, TTL 64) + UDP 68 -> 67 around payload.
Bytes Frame(const uint8_t dstMac[6], const uint8_t srcIp[4], const uint8_t dstIp[4], const Bytes &payload,
            uint16_t ipId) {
  const size_t udpLength = 8 + payload.size();
  Bytes udp(8, 0);
  Put16(udp, 0, 68);
  Put16(udp, 2, 67);
  Put16(udp, 4, static_cast<uint16_t>(udpLength));
  udp.insert(udp.end(), payload.begin(), payload.end());
  Bytes pseudo = {srcIp[0], srcIp[1], srcIp[2], srcIp[3], dstIp[0], dstIp[1], dstIp[2], dstIp[3], 0, 17, 0, 0};
  Put16(pseudo, 10, static_cast<uint16_t>(udpLength));
  uint16_t udpSum = OnesComplementSum({pseudo, udp});
  Put16(udp, 6, udpSum == 0 ? 0xFFFF : udpSum);  // RFC 768: zero means "no checksum"

  Bytes ip = {0x45, 0x00, 0, 0, 0, 0, 0x00, 0x00, 64, 17, 0, 0,
              srcIp[0], srcIp[1], srcIp[2], srcIp[3], dstIp[0], dstIp[1], dstIp[2], dstIp[3]};
  Put16(ip, 2, static_cast<uint16_t>(20 + udpLength));
  Put16(ip, 4, ipId);
  Put16(ip, 10, OnesComplementSum({ip}));

  Bytes frame(dstMac, dstMac + 6);
  frame.insert(frame.end(), orvale_test::kClientMac.begin(), orvale_test::kClientMac.end());
  frame.push_back(0x08);
  frame.push_back(0x00);
  frame.insert(frame.end(), ip.begin(), ip.end());
  frame.insert(frame.end(), udp.begin(), udp.end());
  return frame;
}

// Runs a shell command; stdout into out, exit status returned (-1 when it did not run).
int RunCommand(const std::string &command, std::string *out) {
  out->clear();
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out->append(buffer, n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> Split(const std::string &s, char separator) {
  std::vector<std::string> out;
  std::string item;
  std::istringstream in(s);
  while (std::getline(in, item, separator)) out.push_back(item);
  if (!s.empty() && s.back() == separator) out.push_back("");
  return out;
}

std::string Hex(const Bytes &b) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t v : b) {
    out.push_back(digits[v >> 4]);
    out.push_back(digits[v & 15]);
  }
  return out;
}

struct Expected {
  const char *name;
  std::string types;          // dhcp.option.type in order (tshark shows END as 0)
  std::string placement;      // code@offset in the DHCP message of every option, from the PDML
  std::string messageType;    // dhcp.option.dhcp
  std::string requestList;    // dhcp.option.request_list_item
  std::string maxSize;        // dhcp.option.dhcp_max_message_size
  std::string vendorClass;    // dhcp.option.vendor_class_id
  std::string values;         // dhcp.option.value of every option but END
  std::string clientIp;       // dhcp.ip.client
};

const char *const kFields[] = {
    "frame.number",       "frame.protocols",   "dhcp.option.type",
    "dhcp.option.dhcp",   "dhcp.option.request_list_item", "dhcp.option.dhcp_max_message_size",
    "dhcp.option.vendor_class_id", "dhcp.option.value", "dhcp.ip.client",
    "dhcp.hw.mac_addr",   "dhcp.id",           "ip.checksum.status",
    "udp.checksum.status", "_ws.malformed",    "_ws.expert.severity",
    "dhcp.option.end",
};
enum Column { kNumber, kProtocols, kTypes, kType, kList, kMax, kClass, kValues, kCiaddr, kMacs, kXid, kIpSum, kUdpSum,
              kMalformed, kSeverity, kEnd, kColumns };

constexpr uint32_t kExpertWarn = 0x00600000;  // wireshark's PI_WARN

class DhcpTsharkTest : public orvale_test::DriverTest {
 protected:
  void ConfigurePlatform() override { fw_.SetModelName(u""); }  // the fallback model name "ACPI"
  void SetUp() override {
    DriverTest::SetUp();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(StartChild(), EFI_SUCCESS);  // Start reads the interface mode
    tx_ = static_cast<DhcpPacket *>(AllocZeroed(sizeof(DhcpPacket)));
    ASSERT_NE(tx_, nullptr);
    Instance()->DhcpTxPacket = tx_;
  }
  void TearDown() override {
    if (tx_ != nullptr) FreeAndNull(Instance()->DhcpTxPacket);
    if (!pcap_.empty()) std::remove(pcap_.c_str());
    DriverTest::TearDown();
  }

  // The message as an exchange sends it: built, caller options, END, xid, secs.
  Bytes Message(uint8_t type, const std::vector<Bytes> &options, const uint8_t ciaddr[4]) {
    OptionWriter writer;
    BuildDhcpMessage(Instance(), &writer, type);
    for (const Bytes &o : options) EXPECT_EQ(OptionWriterAdd(&writer, o[0], o.size() - 1, o.data() + 1), 0);
    EXPECT_EQ(OptionWriterAdd(&writer, kOptEnd, 0, nullptr), 0);
    BootpMessage *m = BootpOf(tx_);
    m->xid.set(0x00C0FFEE);
    m->secs.set(4);
    std::memcpy(m->ciaddr.b, ciaddr, 4);
    return Bytes(tx_->Raw, tx_->Raw + kDhcpSendLength);
  }

  DhcpPacket *tx_ = nullptr;
  std::string pcap_;
};

TEST_F(DhcpTsharkTest, ClientMessagesDissectCleanly) {
  std::string version;
  ASSERT_EQ(RunCommand("tshark --version 2>/dev/null", &version), 0)
      << "tshark is required for this test and was not found or does not run";
  ASSERT_NE(version.find("TShark"), std::string::npos) << "unexpected tshark output: " << version;

  const Bytes requested = {50, 10, 0, 0, 50};  // 50 requested address
  const Bytes server = {54, 10, 0, 0, 1};      // 54 server identifier
  const Bytes wirl = {43, 2, 2, 1, 1};         // 43 with WIRL sub-option 2
  const Bytes informWirl = {43, 1, 1, 1, 3, 2, 1, 7};

  pcap_ = std::string(ORVALE_BINARY_DIR) + "/dhcp_tshark_" + std::to_string(getpid()) + ".pcap";
  ASSERT_TRUE(segment_.StartCapture(pcap_));
  segment_.Inject(Frame(kBroadcastMac, kAnyIp, kBroadcastIp, Message(kDhcpDiscover, {wirl}, kAnyIp), 1));
  segment_.Inject(Frame(kBroadcastMac, kAnyIp, kBroadcastIp, Message(kDhcpRequest, {requested, server}, kAnyIp), 2));
  segment_.Inject(
      Frame(kBroadcastMac, kClientIp, kBroadcastIp, Message(kDhcpInform, {informWirl}, kClientIp), 3));
  segment_.Inject(Frame(kBroadcastMac, kAnyIp, kBroadcastIp, Message(kDhcpDecline, {requested, server}, kAnyIp), 4));
  segment_.Inject(Frame(kServerMac, kClientIp, kServerIp, Message(kDhcpRelease, {server}, kClientIp), 5));
  fw_.Advance(hosted::kTicksPerMs);
  segment_.StopCapture();

  const std::string vendorHex = Hex(Bytes{'Z', 'E', 'K', 'O', 'W', 'I', 'R', 'L', 'C', '/', 'i', '3', '8', '6', '/',
                                          'A', 'C', 'P', 'I'});
  const std::string clientId = "01525400123456";
  const Expected expected[] = {
      {"DISCOVER", "53,55,57,61,60,43,0", "53@240 55@243 57@250 61@254 60@263 43@284 255@290", "1", "1,3,67,43,60", "1500", "ZEKOWIRLC/i386/ACPI",
       "01,0103432b3c,05dc," + clientId + "," + vendorHex + ",02020101", "0.0.0.0"},
      {"REQUEST", "53,55,57,61,60,50,54,0", "53@240 55@243 57@250 61@254 60@263 50@284 54@290 255@296", "3", "1,3,67,43,60", "1500", "ZEKOWIRLC/i386/ACPI",
       "03,0103432b3c,05dc," + clientId + "," + vendorHex + ",0a000032,0a000001", "0.0.0.0"},
      {"INFORM", "53,55,57,61,60,43,0", "53@240 55@243 57@247 61@251 60@260 43@281 255@290", "8", "43,60", "1500", "ZEKOWIRLC/i386/ACPI",
       "08,2b3c,05dc," + clientId + "," + vendorHex + ",01010103020107", "10.0.0.50"},
      {"DECLINE", "53,61,50,54,0", "53@240 61@243 50@252 54@258 255@264", "4", "", "", "", "04," + clientId + ",0a000032,0a000001", "0.0.0.0"},
      {"RELEASE", "53,61,54,0", "53@240 61@243 54@252 255@258", "7", "", "", "", "07," + clientId + ",0a000001", "10.0.0.50"},
  };

  std::string command = "tshark -r '" + pcap_ + "' -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE -T fields"
                        " -E separator='|' -E occurrence=a -E aggregator=,";
  for (const char *field : kFields) command += std::string(" -e ") + field;
  command += " 2>/dev/null";
  std::string out;
  ASSERT_EQ(RunCommand(command, &out), 0) << command << "\n" << out;
  ASSERT_FALSE(out.empty()) << "tshark gave no output: " << command;
  const std::vector<std::string> lines = Split(out.substr(0, out.find_last_not_of('\n') + 1), '\n');
  ASSERT_EQ(lines.size(), 5u) << out;

  for (size_t i = 0; i < 5; ++i) {
    const Expected &e = expected[i];
    SCOPED_TRACE(e.name);
    const std::vector<std::string> c = Split(lines[i], '|');
    ASSERT_EQ(c.size(), static_cast<size_t>(kColumns)) << lines[i];
    EXPECT_EQ(c[kNumber], std::to_string(i + 1));
    EXPECT_EQ(c[kProtocols], "eth:ethertype:ip:udp:dhcp");
    EXPECT_EQ(c[kTypes], e.types);
    EXPECT_EQ(c[kEnd], "255");
    EXPECT_EQ(c[kType], e.messageType);
    EXPECT_EQ(c[kList], e.requestList);
    EXPECT_EQ(c[kMax], e.maxSize);
    EXPECT_EQ(c[kClass], e.vendorClass);
    EXPECT_EQ(c[kValues], e.values);
    EXPECT_EQ(c[kCiaddr], e.clientIp);
    EXPECT_EQ(c[kMacs], "52:54:00:12:34:56,52:54:00:12:34:56");  // chaddr and option 61
    EXPECT_EQ(c[kXid], "0x00c0ffee");
    EXPECT_EQ(c[kIpSum], "1");  // 1: good
    EXPECT_EQ(c[kUdpSum], "1");
    EXPECT_EQ(c[kMalformed], "");
    for (const std::string &severity : Split(c[kSeverity], ',')) {
      EXPECT_LT(std::strtoul(severity.c_str(), nullptr, 10), kExpertWarn) << "expert info in " << lines[i];
    }
  }

  // Where each option starts: PDML gives every option's frame offset; the
  // DHCP message follows 42 bytes of Ethernet, IPv4 and UDP headers.
  std::string pdml;
  ASSERT_EQ(RunCommand("tshark -r '" + pcap_ + "' -T pdml 2>/dev/null", &pdml), 0);
  const std::regex optionField(R"re(name="dhcp\.option\.type" showname="Option: \((\d+)\)[^"]*" size="\d+" pos="(\d+)")re");
  size_t packetStart = pdml.find("<packet>");
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(expected[i].name);
    ASSERT_NE(packetStart, std::string::npos) << "PDML has fewer than five packets";
    const size_t packetEnd = pdml.find("</packet>", packetStart);
    ASSERT_NE(packetEnd, std::string::npos);
    const std::string packet = pdml.substr(packetStart, packetEnd - packetStart);
    std::string placement;
    for (std::sregex_iterator m(packet.begin(), packet.end(), optionField), end; m != end; ++m) {
      if (!placement.empty()) placement += ' ';
      placement += (*m)[1].str() + "@" + std::to_string(std::stoul((*m)[2].str()) - 42);
    }
    EXPECT_EQ(placement, expected[i].placement);
    packetStart = pdml.find("<packet>", packetEnd);
  }

  // The full dissection: no malformed packet and no warning or error anywhere.
  std::string verbose;
  ASSERT_EQ(RunCommand("tshark -r '" + pcap_ + "' -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE -V 2>/dev/null",
                &verbose),
            0);
  ASSERT_FALSE(verbose.empty());
  EXPECT_EQ(verbose.find("Malformed"), std::string::npos) << verbose;
  for (const char *kind : {"(Discover)", "(Request)", "(Inform)", "(Decline)", "(Release)"}) {
    EXPECT_NE(verbose.find(std::string("Dynamic Host Configuration Protocol ") + kind), std::string::npos) << kind;
  }
  std::string expert;
  ASSERT_EQ(RunCommand("tshark -r '" + pcap_ + "' -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE -q -z expert,warn"
                " 2>/dev/null",
                &expert),
            0);
  EXPECT_EQ(expert.find("Warns"), std::string::npos) << expert;
  EXPECT_EQ(expert.find("Errors"), std::string::npos) << expert;
}

}  // namespace
