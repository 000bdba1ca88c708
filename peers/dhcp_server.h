// A scripted DHCP server and a WIRL boot server, each bound to a Station.
//
// Both are configured by plain structs and answer what reaches their station;
// they use their own BOOTP/DHCP encoder and decoder (RFC 951, 2131, 2132),
// never the driver's. A test changes the config between steps, or takes over
// a reply through the Shape hook to forge any field.
#ifndef ORVALE_PEERS_DHCP_SERVER_H
#define ORVALE_PEERS_DHCP_SERVER_H

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "peers/station.h"

namespace peers {

using Chaddr = std::array<uint8_t, 16>;
using DhcpOptions = std::vector<std::pair<uint8_t, Bytes>>;

// One BOOTP/DHCP message, every field settable.
struct DhcpMessage {
  uint8_t op = 2;
  uint8_t htype = 1;
  uint8_t hlen = 6;
  uint32_t xid = 0;
  uint16_t secs = 0;
  uint16_t flags = 0;
  Ip4 ciaddr{}, yiaddr{}, siaddr{}, giaddr{};
  Chaddr chaddr{};
  std::string sname;
  Bytes file;            // up to 128 bytes
  bool cookie = true;
  DhcpOptions options;   // in order, each code, length, value
  Bytes rawOptions;      // written after options, before END (for malformed areas)
  bool end = true;
  size_t minimumSize = 300;  // padded with zeros to this many bytes (BOOTP minimum)

  const Bytes *Option(uint8_t code) const;
  void Set(uint8_t code, const Bytes &value);  // replaces or appends
  void Remove(uint8_t code);
};

Bytes EncodeDhcp(const DhcpMessage &m);
// The fixed fields and the main option area; nullopt when shorter than 240
// bytes, without the cookie, or when an option runs past the data.
std::optional<DhcpMessage> DecodeDhcp(const Bytes &b);
// Sub-options (code, value) as option 43 carries them.
Bytes EncodeSubOptions(const DhcpOptions &subOptions);
DhcpOptions DecodeSubOptions(const Bytes &value);
Bytes Ip4Bytes(const Ip4 &ip);

// What a server saw: the decoded message, its UDP ports and the sender's MAC.
struct DhcpSeen {
  DhcpMessage message;
  uint16_t sourcePort = 0;
  uint16_t destinationPort = 0;
  Ip4 source{};
  Ip4 destination{};
  Mac sourceMac{};
  uint64_t time = 0;
};

class DhcpServer {
 public:
  struct Config {
    Ip4 offer{10, 0, 0, 50};
    std::optional<Ip4> mask = Ip4{255, 255, 255, 0};
    std::optional<Ip4> router = Ip4{10, 0, 0, 1};
    uint32_t leaseSeconds = 3600;
    std::optional<Ip4> serverId;  // defaults to the station's address
    bool answerDiscover = true;
    bool answerRequest = true;
    size_t ignoreDiscovers = 0;   // the first N DISCOVERs go unanswered
    bool nakRequest = false;
    bool bootp = false;           // replies without option 53 (plain BOOTP)
    Bytes bootFile;               // option 67 when not empty
    bool wirlClass = false;       // option 60 "ZEKOWIRLC" and option 43 below
    Bytes vendorOptions;          // value of option 43 (sub-options)
    bool broadcastReplies = true; // else unicast to chaddr's MAC and yiaddr
  };
  DhcpServer(Station *station, const Config &config);
  ~DhcpServer();
  DhcpServer(const DhcpServer &) = delete;
  DhcpServer &operator=(const DhcpServer &) = delete;

  Config &config() { return config_; }
  // Client messages that reached port 67, in order.
  const std::vector<DhcpSeen> &Seen() const { return seen_; }
  std::vector<DhcpSeen> SeenOfType(uint8_t type) const;
  // Last chance to change a reply (or clear it to send nothing) before it leaves.
  std::function<void(const DhcpSeen &request, std::optional<DhcpMessage> &reply)> Shape;
  // Sends a reply message as this server would (from port 67 to 68).
  void Send(const DhcpMessage &reply, const Mac &clientMac);

  // The reply the config gives to request (message type 2, 5 or 6, or BOOTP).
  DhcpMessage Reply(const DhcpMessage &request, uint8_t type) const;

 private:
  void OnFrame(const hosted::Frame &frame);
  Station *station_;
  Config config_;
  std::vector<DhcpSeen> seen_;
  size_t discovers_ = 0;
};

// A WIRL boot server: answers INFORM LIST (sub-option 1 = 1) and SELECT
// (sub-option 1 = 2) with DHCP ACKs carrying vendor class "ZEKOWIRLC".
class WirlServer {
 public:
  struct Config {
    std::optional<uint16_t> priority = 5;  // sub-option 4
    std::optional<std::array<uint8_t, 4>> defaultImage = std::array<uint8_t, 4>{0x83, 0, 0, 1};  // sub-option 7
    std::optional<std::array<uint8_t, 4>> selectedImage;  // sub-option 8
    std::vector<Bytes> imageList;                          // one sub-option 9 each
    bool answerList = true;
    bool answerSelect = true;
    bool refuseSelect = false;   // sub-option 1 = 3
    Bytes bootFile = {'b', 'o', 'o', 't', '.', 'e', 'f', 'i'};
    std::vector<uint16_t> ports = {67, 7799};
    std::string vendorClass = "ZEKOWIRLC";
  };
  WirlServer(Station *station, const Config &config);
  ~WirlServer();
  WirlServer(const WirlServer &) = delete;
  WirlServer &operator=(const WirlServer &) = delete;

  Config &config() { return config_; }
  const std::vector<DhcpSeen> &Seen() const { return seen_; }
  // LIST or SELECT INFORMs seen (by sub-option 1).
  std::vector<DhcpSeen> SeenOfKind(uint8_t wirlType) const;
  std::function<void(const DhcpSeen &request, std::optional<DhcpMessage> &reply)> Shape;

 private:
  void OnFrame(const hosted::Frame &frame);
  Station *station_;
  Config config_;
  std::vector<DhcpSeen> seen_;
};

// The decoded DHCP message of a frame that carries UDP to port, if any.
std::optional<DhcpSeen> DecodeDhcpFrame(const hosted::Frame &frame, const std::vector<uint16_t> &ports);
// The WIRL sub-option 1 of a message's option 43, or 0.
uint8_t WirlTypeOf(const DhcpMessage &m);

}  // namespace peers

#endif
