// TFTP server peers on a Station: a unicast server (RFC 1350 with RFC 2347,
// 2348, 2349 options and the 8-byte block-number variant) and a multicast
// server that serves one transfer to a group. Both are configured by plain
// structs and scripted through hooks, and use their own encoders.
#ifndef ORVALE_PEERS_TFTP_SERVER_H
#define ORVALE_PEERS_TFTP_SERVER_H

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "peers/station.h"

namespace peers {

namespace tftp {
constexpr uint16_t kRrq = 1, kWrq = 2, kData = 3, kAck = 4, kError = 5, kOack = 6, kDir = 7, kBigData = 8,
                   kBigAck = 9;

// The peer's own packet encoders.
Bytes Data(uint16_t block, const Bytes &data);
Bytes BigData(uint64_t block, const Bytes &data);
Bytes Ack(uint16_t block);
Bytes Error(uint16_t code, const std::string &text, bool terminated = true);
// OACK from name/value pairs, each written "name\0value\0".
Bytes Oack(const std::vector<std::pair<std::string, std::string>> &options);
// OACK with an option text given byte for byte.
Bytes OackRaw(const Bytes &text);

struct Request {
  uint16_t opcode = 0;
  std::string file;
  std::string mode;
  std::vector<std::pair<std::string, std::string>> options;
  Ip4 clientIp{};
  uint16_t clientPort = 0;
  Mac clientMac{};
  std::optional<std::string> Option(const std::string &name) const;
};
// A request packet (opcode 1, 2 or 7), or nothing when malformed.
std::optional<Request> ParseRequest(const Bytes &udpData);
}  // namespace tftp

struct TftpServerConfig {
  uint16_t port = 69;
  uint16_t firstTransferPort = 40000;  // each transfer answers from its own port, counting up
  std::map<std::string, Bytes> files;  // also the listing served for a directory request
  bool honourOptions = true;           // false: options ignored (DATA 1 / ACK 0, no OACK)
  uint64_t maxBlockSize = 65464;       // a larger "blksize" asked for is lowered to this
  std::optional<uint64_t> oackBlockSize;  // the "blksize" written into the OACK, whatever was asked
  bool offerBigBlock = false;             // OACK carries "bigblk#" "8" and the transfer uses opcodes 8/9
  std::optional<Bytes> oackText;          // the OACK option text, byte for byte
  int errorRequests = 0;                  // the first N requests are answered with ERROR
  bool errorOnlyWithOptions = false;      // ... only those that carry options
  Bytes errorPacket = tftp::Error(8, "option refused");
  bool silent = false;                    // never answers
  bool answerDirectory = true;            // false: directory requests stay unanswered
};

class TftpServer {
 public:
  struct Transfer {
    tftp::Request request;
    uint16_t port = 0;  // the server's transfer identifier
    Bytes content;
    uint64_t blockSize = 512;
    bool big = false;
    bool write = false;
    uint64_t lastSent = 0;   // DATA block last sent (read), or last ACKed (write)
    bool done = false;
  };
  // Hooks. Each may replace the server's own step: returning true means the
  // hook has done (or suppressed) the send itself.
  struct Hooks {
    // Before DATA block n goes out (its bytes may be changed).
    std::function<bool(TftpServer &, Transfer &, uint64_t block, Bytes &data)> beforeData;
    // Before the first reply to a request.
    std::function<bool(TftpServer &, Transfer &)> beforeFirstReply;
  };

  TftpServer(Station *station, TftpServerConfig config);
  ~TftpServer();
  TftpServer(const TftpServer &) = delete;
  TftpServer &operator=(const TftpServer &) = delete;

  TftpServerConfig &Config() { return config_; }
  Hooks hooks;

  const std::vector<tftp::Request> &Requests() const { return requests_; }
  const std::vector<Transfer> &Transfers() const { return transfers_; }
  // Files written by clients, by name.
  const std::map<std::string, Bytes> &Written() const { return written_; }
  // Every UDP datagram that reached the server's station (from the client), in order.
  struct Seen {
    Ip4 source{};
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    Bytes data;
  };
  const std::vector<Seen> &Datagrams() const { return seen_; }

  // Sends UDP data to the client of t from port (fragmented when it must be).
  void SendTo(const Transfer &t, uint16_t fromPort, const Bytes &data);
  void SendData(Transfer &t, uint64_t block, const Bytes &data);
  // The bytes of block n of t (1-based).
  Bytes BlockOf(const Transfer &t, uint64_t block) const;

 private:
  void OnDatagram(const Mac &sourceMac, const Ip4 &source, uint16_t sourcePort, uint16_t destinationPort,
                  const Bytes &data);
  void OnRequest(const tftp::Request &request);
  void SendBlock(Transfer &t, uint64_t block);

  Station *station_;
  TftpServerConfig config_;
  uint16_t nextPort_;
  int requestCount_ = 0;
  std::vector<tftp::Request> requests_;
  std::vector<Transfer> transfers_;
  std::map<std::string, Bytes> written_;
  std::vector<Seen> seen_;
  std::vector<ParsedIpv4> fragments_;
  std::function<void(const hosted::Frame &)> previous_;  // the station's hook before this server
};

// A multicast TFTP server: one file served to a group. A read request from a
// client port opens a transfer: block 1 goes to the client and to the group,
// later blocks to the group only, each when the opener ACKs the one before,
// all from the server port. Broadcast() replays a transfer to the group on a
// schedule, as another client's transfer would.
struct MulticastServerConfig {
  uint16_t serverPort = 1759;
  uint16_t clientPort = 1758;
  Ip4 group{};
  std::string file;
  Bytes content;
  uint64_t blockSize = 512;
  bool silent = false;         // never answers requests
  uint16_t transferPort = 0;   // DATA sent from (and ACKs taken on) this port; 0: serverPort
  std::optional<Ip4> firstBlockTo;  // the unicast copy of block 1 goes here instead of to the client
};

class MulticastTftpServer {
 public:
  MulticastTftpServer(Station *station, hosted::SimSegment *segment, MulticastServerConfig config);
  ~MulticastTftpServer();
  MulticastTftpServer(const MulticastTftpServer &) = delete;
  MulticastTftpServer &operator=(const MulticastTftpServer &) = delete;

  // Schedules blocks [first, last] to the group, the first at now + start and
  // each next one interval later (virtual ticks).
  void Broadcast(uint64_t first, uint64_t last, uint64_t start, uint64_t interval);
  uint64_t BlockCount() const;
  const std::vector<tftp::Request> &Requests() const { return requests_; }
  // ACK block numbers received from the opener, in order.
  const std::vector<uint16_t> &Acks() const { return acks_; }

 private:
  Bytes GroupFrame(uint64_t block) const;
  uint16_t DataPort() const { return config_.transferPort != 0 ? config_.transferPort : config_.serverPort; }
  Station *station_;
  hosted::SimSegment *segment_;
  MulticastServerConfig config_;
  std::vector<tftp::Request> requests_;
  std::vector<uint16_t> acks_;
  std::optional<tftp::Request> opener_;
  std::vector<ParsedIpv4> fragments_;
  std::function<void(const hosted::Frame &)> previous_;
};

}  // namespace peers

#endif
