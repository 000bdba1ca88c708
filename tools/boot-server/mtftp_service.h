// The boot server's multicast TFTP: one transfer at a time to the group.
//
// A read request to the server port opens a transfer of the file: block 1
// goes to the requesting client (the opener) and to the group, each later
// block to the group when the opener acknowledges the one before, all from
// the server port, in 512-byte blocks (the request carries no options). Other
// clients listen to the group; their requests while the opener is answering
// are not taken, as they will hear the blocks anyway. When the opener has
// been silent for the transmit time the transfer ends, and the next request
// starts the file again, so late joiners collect their missing first blocks.
#ifndef ORVALE_TOOLS_BOOT_SERVER_MTFTP_SERVICE_H
#define ORVALE_TOOLS_BOOT_SERVER_MTFTP_SERVICE_H

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "boot_server.h"
#include "options.h"
#include "peers/station.h"

namespace bootserver {

class MulticastTftp {
 public:
  // files: the TFTP folder's files by name, owned by the caller and kept as long as this service.
  MulticastTftp(BootServer *server, const std::map<std::string, peers::Bytes> *files, ServerOptions::Mtftp settings);

  void OnFrame(const hosted::Frame &frame);
  // Ends the transfer when its opener has been silent for the transmit time.
  void Tick();

  struct Summary {
    std::string file;
    peers::Ip4 opener{};
    std::set<peers::Ip4> clients;  // opener included: requests, ACKs and group reports heard
    uint64_t blocks = 0;           // the file's blocks
    uint64_t lastSent = 0;         // the highest block sent
    uint64_t dataFrames = 0;       // DATA datagrams sent, unicast copies of block 1 included
    bool complete = false;         // the opener acknowledged the last block
  };
  const std::vector<Summary> &Finished() const { return finished_; }
  bool Live() const { return live_.has_value(); }
  // DATA datagrams sent by every transfer so far, the live one included.
  uint64_t DataFrames() const { return dataFrames_; }

  static constexpr uint64_t kBlockSize = 512;
  // Block numbers are 16 bits and the clients read no wrap.
  static constexpr uint64_t kMaxBlocks = 65535;

 private:
  struct Transfer {
    Summary summary;
    const peers::Bytes *content = nullptr;
    peers::Mac openerMac{};
    uint16_t openerPort = 0;
    double lastHeard = 0;
  };
  void OnRequest(const peers::Mac &mac, const peers::Ip4 &ip, uint16_t port, const peers::Bytes &data);
  void OnAck(const peers::Ip4 &ip, uint16_t port, uint16_t block);
  void SendToGroup(uint64_t block);
  peers::Bytes Block(uint64_t block) const;
  void End(const std::string &why);

  BootServer *server_;
  const std::map<std::string, peers::Bytes> *files_;
  ServerOptions::Mtftp settings_;
  std::optional<Transfer> live_;
  // Members that reported the group while no transfer ran: the next one's listeners.
  std::set<peers::Ip4> waiting_;
  std::vector<Summary> finished_;
  uint64_t dataFrames_ = 0;
};

}  // namespace bootserver

#endif
