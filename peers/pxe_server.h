// A PXE proxy DHCP server and boot server bound to a Station, with the
// peers' own BOOTP/DHCP encoder (peers/dhcp_server.h), never the driver's.
//
// As a proxy it answers a DISCOVER carrying the "PXEClient" vendor class with
// a proxy offer (yiaddr 0.0.0.0) and a REQUEST to port 4011 with an ACK. As a
// boot server it answers discovery REQUESTs (option 43 with a boot item,
// sub-option 71) sent to its address or to a discovery multicast address on
// port 4011, or broadcast to port 67. A test changes the config between
// steps or reshapes any reply through Shape.
#ifndef ORVALE_PEERS_PXE_SERVER_H
#define ORVALE_PEERS_PXE_SERVER_H

#include <functional>
#include <optional>
#include <vector>

#include "peers/dhcp_server.h"

namespace peers {

class PxeServer {
 public:
  struct Config {
    // Proxy DHCP.
    bool proxyOffers = true;               // answer DISCOVERs on port 67
    Bytes offerVendor;                     // option 43 of proxy offers (none when empty)
    std::optional<Bytes> offerBootFile;    // option 67 of proxy offers
    bool answerProxyRequests = true;       // REQUESTs to port 4011 without a boot item
    Bytes proxyAckVendor;                  // option 43 of their ACK (none when empty)
    std::optional<Bytes> proxyAckBootFile; // option 67 of their ACK
    // Boot server.
    bool bootServer = false;
    std::vector<uint16_t> serverTypes = {0};
    Bytes bootFile = {'b', 'o', 'o', 't', '.', 'e', 'f', 'i'};
    bool bootFileInOption67 = true;        // else in the file field only
    bool bootItemInReply = true;           // sub-option 71 with the type and layer asked for
    std::optional<Ip4> discoveryMulticast; // group it listens on, port 4011
    bool answerBroadcastDiscovery = true;  // REQUESTs with a boot item broadcast to port 67
    std::optional<uint32_t> credentialType;// sub-option 12 of the reply when the request carries types
    bool rogue = false;                    // answers discovery requests meant for any address
    std::optional<Ip4> discoveryReplyIp;   // sends discovery replies to this address (the
                                           // broadcast MAC for 255.255.255.255), not ciaddr
  };
  PxeServer(Station *station, const Config &config);
  ~PxeServer();
  PxeServer(const PxeServer &) = delete;
  PxeServer &operator=(const PxeServer &) = delete;

  Config &config() { return config_; }
  // Client messages it took for itself, in order.
  const std::vector<DhcpSeen> &Seen() const { return seen_; }
  std::function<void(const DhcpSeen &request, std::optional<DhcpMessage> &reply)> Shape;

  // The boot item (type, layer) of a message's option 43, if any.
  static std::optional<std::pair<uint16_t, uint16_t>> BootItemOf(const DhcpMessage &m);
  // The credential types of a message's sub-option 12.
  static std::vector<uint32_t> CredentialTypesOf(const DhcpMessage &m);

 private:
  void OnFrame(const hosted::Frame &frame);
  DhcpMessage ReplyTo(const DhcpMessage &request, uint8_t type) const;
  Station *station_;
  Config config_;
  std::vector<DhcpSeen> seen_;
};

}  // namespace peers

#endif
