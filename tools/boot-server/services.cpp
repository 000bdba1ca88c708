// The integration point of the boot server's services.
//
// AttachServices puts the DHCP, WIRL and TFTP server peers on the server's
// station: all three on the primary server, WIRL and TFTP on an extra one
// (server.Primary() tells which; --extra-server makes extra ones). With --pxe
// the primary also runs the PXE proxy and boot server (PxeAttach); with
// --no-dhcp it leases nothing. Each peer
// is built from the options and logs each exchange it completes through
// server.Log, one line each, e.g.
//   "dhcp DISCOVER 52:54:00:12:34:56 > OFFER 198.18.0.100"
//   "wirl LIST from 198.18.0.100 port 67 > 2 images, default 03000001"
//   "tftp RRQ sample.efi blksize 1468 tsize > 11264 bytes, 8 blocks, 3.1 ms per block"
// (the TFTP line gives the server's own time from sending a block to its ACK).
// What each peer needs from the options:
//   DHCP:  address, prefixLength, poolStart, poolSize (server identifier = address)
//   WIRL:  address, wirlPorts, serverPriority, images (EncodeImageList and
//          SubOption9Pieces for the LIST reply's sub-options 9, DefaultImage for
//          sub-option 7, FindImage for a SELECT, BootImage::BootFileName for the
//          boot file its acknowledgement names)
//   TFTP:  tftpRoot (files by name, with blksize and tsize)
//   MTFTP: mtftp (group, ports and times; the TFTP folder's files), on the
//          primary server only; one line per transfer (mtftp_service.h)
// A peer receives frames through server.AddFrameHandler (a peer that sets
// Station().OnFrame itself is followed by server.AdoptStationHandler()) and
// answers with the station's senders (server.Station().SendUdp ...);
// server.Keep holds it. DHCP and WIRL share port 67: each ignores the other's
// messages (WIRL's are INFORMs with the "ZEKOWIRLC" vendor class).
#include "boot_server.h"
#include "floor.h"
#include "mtftp_service.h"

#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>

#include "peers/dhcp_server.h"
#include "peers/pxe_server.h"
#include "peers/tftp_server.h"

namespace bootserver {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kVendor = 43;
constexpr uint8_t kBootFileOption = 67;

std::string Hex(const std::array<uint8_t, 4> &id) {
  char text[9];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x", id[0], id[1], id[2], id[3]);
  return text;
}

peers::Ip4 MaskOf(uint8_t prefixLength) {
  const uint32_t bits = prefixLength == 0 ? 0 : ~uint32_t{0} << (32 - prefixLength);
  return {static_cast<uint8_t>(bits >> 24), static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 8),
          static_cast<uint8_t>(bits)};
}

std::string MessageTypeName(const peers::DhcpMessage &m) {
  static const char *const kNames[] = {"?", "DISCOVER", "OFFER", "REQUEST", "DECLINE",
                                       "ACK", "NAK", "RELEASE", "INFORM"};
  const peers::Bytes *type = m.Option(53);
  if (type == nullptr || type->size() != 1) return "BOOTP";
  return (*type)[0] < std::size(kNames) ? kNames[(*type)[0]] : "type " + std::to_string((*type)[0]);
}

// The value of a WIRL sub-option in a message's option 43 instances.
std::optional<peers::Bytes> SubOption(const peers::DhcpMessage &m, uint8_t code) {
  for (const auto &[option, value] : m.options) {
    if (option != kVendor) continue;
    for (const auto &[sub, subValue] : peers::DecodeSubOptions(value))
      if (sub == code) return subValue;
  }
  return std::nullopt;
}

std::optional<std::array<uint8_t, 4>> FourBytes(const std::optional<peers::Bytes> &value) {
  if (!value || value->size() != 4) return std::nullopt;
  return std::array<uint8_t, 4>{(*value)[0], (*value)[1], (*value)[2], (*value)[3]};
}

// Addresses from the pool, one per client hardware address, kept for the
// server's life so a client's REQUEST gets the address it was offered.
class Leases {
 public:
  explicit Leases(const ServerOptions &o) : start_(o.poolStart), size_(o.poolSize) {}
  std::optional<peers::Ip4> For(const peers::Chaddr &chaddr) {
    const auto known = leases_.find(chaddr);
    if (known != leases_.end()) return known->second;
    if (leases_.size() >= size_) return std::nullopt;
    const uint32_t first = (uint32_t{start_[0]} << 24) | (uint32_t{start_[1]} << 16) | (uint32_t{start_[2]} << 8) |
                           start_[3];
    const uint32_t a = first + static_cast<uint32_t>(leases_.size());
    const peers::Ip4 ip = {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
                           static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a)};
    leases_.emplace(chaddr, ip);
    return ip;
  }

 private:
  peers::Ip4 start_;
  size_t size_;
  std::map<peers::Chaddr, peers::Ip4> leases_;
};

const peers::Bytes kPxeClient = {'P', 'X', 'E', 'C', 'l', 'i', 'e', 'n', 't'};

bool FromPxeClient(const peers::DhcpMessage &m) {
  const peers::Bytes *c = m.Option(60);
  return c != nullptr && c->size() >= kPxeClient.size() && std::equal(kPxeClient.begin(), kPxeClient.end(), c->begin());
}

// Sub-options 1 to 5: the multicast TFTP group, client and server ports,
// listen and transmit times (one byte of seconds each).
peers::DhcpOptions MtftpSubOptions(const ServerOptions::Mtftp &m) {
  peers::Bytes cport(2), sport(2);
  peers::PutBe16(cport, 0, m.clientPort);
  peers::PutBe16(sport, 0, m.serverPort);
  return {{1, peers::Bytes(m.group.begin(), m.group.end())}, {2, cport}, {3, sport}, {4, {m.listenSeconds}},
          {5, {m.transmitSeconds}}};
}

// Option 43 of a PXE offer: discovery control 0 (multicast, broadcast and the
// server list all allowed) with the discovery group, or 2 (no multicast)
// without one; this server as the only boot server of its type, a one-entry
// menu and a prompt that does not wait; with --mtftp the multicast TFTP
// parameters first.
peers::Bytes PxeBootInformation(const ServerOptions &o) {
  const auto type = [&] { return peers::Bytes{static_cast<uint8_t>(o.pxeServerType >> 8),
                                              static_cast<uint8_t>(o.pxeServerType)}; };
  peers::DhcpOptions sub;
  if (o.mtftp) sub = MtftpSubOptions(*o.mtftp);
  sub.push_back({6, {static_cast<uint8_t>(o.pxeMulticast ? 0 : 2)}});
  if (o.pxeMulticast) sub.push_back({7, peers::Bytes(o.pxeMulticast->begin(), o.pxeMulticast->end())});
  peers::Bytes servers = type();
  servers.push_back(1);
  servers.insert(servers.end(), o.address.begin(), o.address.end());
  sub.push_back({8, servers});
  peers::Bytes menu = type();
  menu.push_back(static_cast<uint8_t>(o.pxeMenu.size()));
  menu.insert(menu.end(), o.pxeMenu.begin(), o.pxeMenu.end());
  sub.push_back({9, menu});
  sub.push_back({10, {0, 'B', 'o', 'o', 't'}});
  peers::Bytes vendor = peers::EncodeSubOptions(sub);
  vendor.push_back(255);
  return vendor;
}

std::string DhcpAttach(BootServer &server) {
  const ServerOptions &o = server.Options();
  peers::DhcpServer::Config config;
  config.offer = o.poolStart;
  config.mask = MaskOf(o.prefixLength);
  config.router = std::nullopt;  // one segment: nothing to route through
  auto dhcp = std::make_shared<peers::DhcpServer>(&server.Station(), config);
  server.AdoptStationHandler();
  auto leases = std::make_shared<Leases>(o);
  BootServer *log = &server;
  const bool pxeInReplies = o.pxe == ServerOptions::Pxe::Dhcp;
  const peers::Bytes pxeInformation = PxeBootInformation(o);
  const bool pxeBootServer = o.pxe != ServerOptions::Pxe::None && o.pxe != ServerOptions::Pxe::Plain;
  // Plain: the boot file and next-server in every reply, as a DHCP server's
  // own "filename" and "next-server" settings put them.
  std::optional<std::string> plainFile;
  if (o.pxe == ServerOptions::Pxe::Plain && !o.images.empty()) plainFile = o.images.front().BootFileName();
  const peers::Ip4 nextServer = o.address;
  dhcp->Shape = [log, leases, pxeInReplies, pxeInformation, pxeBootServer, plainFile, nextServer](
                    const peers::DhcpSeen &request, std::optional<peers::DhcpMessage> &reply) {
    // A discovery request (boot item in option 43) is the boot server's to answer.
    if (pxeBootServer && peers::PxeServer::BootItemOf(request.message)) {
      reply.reset();
      return;
    }
    if (reply && pxeInReplies && FromPxeClient(request.message) && MessageTypeName(*reply) != "NAK") {
      reply->Set(60, kPxeClient);
      reply->Set(kVendor, pxeInformation);
    }
    const std::string client = FormatMac({request.message.chaddr[0], request.message.chaddr[1],
                                          request.message.chaddr[2], request.message.chaddr[3],
                                          request.message.chaddr[4], request.message.chaddr[5]});
    if (!reply) return;
    const std::string type = MessageTypeName(*reply);
    if (type != "NAK") {
      const auto lease = leases->For(request.message.chaddr);
      if (!lease) {
        log->Log("dhcp " + MessageTypeName(request.message) + " " + client + " > pool exhausted, no answer");
        reply.reset();
        return;
      }
      reply->yiaddr = *lease;
      if (plainFile) {
        reply->siaddr = nextServer;
        reply->file.assign(plainFile->begin(), plainFile->end());
      }
    }
    log->Log("dhcp " + MessageTypeName(request.message) + " " + client + " > " + type + " " + FormatIp(reply->yiaddr) +
             (reply->Option(60) != nullptr ? " with PXE boot information" : "") +
             (plainFile && type != "NAK" ? " boot file \"" + *plainFile + "\" next-server " + FormatIp(nextServer)
                                         : ""));
  };
  server.Keep(dhcp);
  return "dhcp";
}

std::string WirlAttach(BootServer &server) {
  const ServerOptions &o = server.Options();
  peers::WirlServer::Config config;
  config.priority = o.serverPriority;
  const BootImage *preferred = DefaultImage(o.images);
  if (preferred != nullptr) {
    config.defaultImage = preferred->id;
  } else {
    config.defaultImage.reset();
  }
  config.selectedImage.reset();
  config.imageList = SubOption9Pieces(EncodeImageList(o.images));
  config.ports = o.wirlPorts;
  auto wirl = std::make_shared<peers::WirlServer>(&server.Station(), config);
  server.AdoptStationHandler();
  BootServer *self = &server;
  wirl->Shape = [self](const peers::DhcpSeen &request, std::optional<peers::DhcpMessage> &reply) {
    const ServerOptions &opts = self->Options();
    const std::string from = "from " + FormatIp(request.source) + " port " + std::to_string(request.destinationPort);
    const uint8_t kind = peers::WirlTypeOf(request.message);
    if (kind == 1) {
      const BootImage *preferred = DefaultImage(opts.images);
      if (preferred == nullptr) {
        // Without an image there is nothing to offer: a reply lacking the default image would be refused anyway.
        self->Log("wirl LIST " + from + " > no images, no answer");
        reply.reset();
        return;
      }
      self->Log("wirl LIST " + from + " > " + std::to_string(opts.images.size()) + " image(s), default " +
                Hex(preferred->id) + ", priority " + std::to_string(opts.serverPriority));
      return;
    }
    if (kind != 2 || !reply) return;
    const auto image = FourBytes(SubOption(request.message, 8));
    const auto serverId = FourBytes(SubOption(request.message, 3));
    if (serverId && *serverId != opts.address) {
      // A broadcast SELECT names the server it is meant for.
      self->Log("wirl SELECT " + from + " for server " + FormatIp(*serverId) + ": not this one");
      reply.reset();
      return;
    }
    const BootImage *chosen = image ? FindImage(opts.images, *image) : nullptr;
    reply->siaddr = opts.address;
    if (chosen == nullptr) {
      // Sub-option 1 = 3: the server refuses a SELECT of an image it does not have.
      reply->Remove(kVendor);
      reply->Remove(kBootFileOption);
      reply->options.emplace_back(kVendor, peers::EncodeSubOptions({{1, {3}}}));
      self->Log("wirl SELECT " + from + " image " + (image ? Hex(*image) : std::string("(none)")) +
                " > refused, no such image");
      return;
    }
    const std::string file = chosen->BootFileName();
    reply->Set(kBootFileOption, peers::Bytes(file.begin(), file.end()));
    // The acknowledgement names the image it answers for (sub-option 8).
    reply->Remove(kVendor);
    reply->options.emplace_back(
        kVendor, peers::EncodeSubOptions({{1, {2}}, {8, peers::Bytes(chosen->id.begin(), chosen->id.end())}}));
    self->Log("wirl SELECT " + from + " image " + Hex(chosen->id) + " > boot file \"" + file + "\" on " +
              FormatIp(opts.address));
  };
  server.Keep(wirl);
  return "wirl";
}

// The regular files directly in a folder, by name.
std::map<std::string, peers::Bytes> ReadFolder(const std::string &folder, std::string *problem) {
  std::map<std::string, peers::Bytes> files;
  DIR *dir = opendir(folder.c_str());
  if (dir == nullptr) {
    *problem = "cannot read the folder " + folder;
    return files;
  }
  while (const dirent *entry = readdir(dir)) {
    const std::string path = folder + "/" + entry->d_name;
    struct stat st{};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // One read of the whole file: boot files run to many megabytes.
    peers::Bytes content(static_cast<size_t>(st.st_size));
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char *>(content.data()), static_cast<std::streamsize>(content.size()))) {
      *problem = "cannot read " + path;
      continue;
    }
    files[entry->d_name] = std::move(content);
  }
  closedir(dir);
  return files;
}

// The server's own view of each transfer: the time from sending a block to
// receiving its ACK, summed over the blocks.
struct TransferTimes {
  struct Open {
    uint64_t block = 0;
    Clock::time_point sent;
    double totalMs = 0;
    uint64_t acked = 0;
    Clock::time_point started = Clock::now();
    bool logged = false;
  };
  std::map<uint16_t, Open> byPort;
  size_t requestsLogged = 0;
};

std::string TftpAttach(BootServer &server) {
  const ServerOptions &o = server.Options();
  const std::string &root = o.tftpRoot;  // defaults to the first image's folder
  peers::TftpServerConfig config;
  std::string problem;
  if (!root.empty()) config.files = ReadFolder(root, &problem);
  if (!problem.empty()) server.Log("tftp: " + problem);
  const size_t fileCount = config.files.size();

  auto times = std::make_shared<TransferTimes>();
  // ACKs are timed before the TFTP server answers them with the next block.
  peers::Station *station = &server.Station();
  server.AddFrameHandler([times, station](const hosted::Frame &frame) {
    const auto ethernet = peers::ParseEthernet(frame.bytes);
    if (!ethernet || ethernet->etherType != peers::kEtherIpv4) return;
    const auto ip = peers::ParseIpv4(ethernet->payload);
    if (!ip || ip->protocol != peers::kProtoUdp || ip->destination != station->Ip() || ip->moreFragments ||
        ip->offsetBytes != 0) {
      return;
    }
    const auto udp = peers::ParseUdp(ip->source, ip->destination, ip->payload);
    if (!udp || udp->data.size() < 4 || peers::GetBe16(udp->data, 0) != peers::tftp::kAck) return;
    const auto open = times->byPort.find(udp->destinationPort);
    if (open == times->byPort.end()) return;
    TransferTimes::Open &t = open->second;
    if (peers::GetBe16(udp->data, 2) != static_cast<uint16_t>(t.block) || t.block == 0) return;
    t.totalMs += std::chrono::duration<double, std::milli>(Clock::now() - t.sent).count();
    ++t.acked;
    t.block = 0;  // a duplicate ACK is not timed twice
  });

  // The TFTP server chains to the station's handler it finds: it must find none.
  station->OnFrame = nullptr;
  auto tftp = std::make_shared<peers::TftpServer>(station, std::move(config));
  server.AdoptStationHandler();
  tftp->hooks.beforeData = [times](peers::TftpServer &, peers::TftpServer::Transfer &t, uint64_t block,
                                   peers::Bytes &) {
    TransferTimes::Open &open = times->byPort[t.port];
    open.block = block;
    open.sent = Clock::now();
    return false;
  };

  // After the server has answered: one line per refused request and per finished transfer.
  peers::TftpServer *server_tftp = tftp.get();
  BootServer *self = &server;
  server.AddFrameHandler([times, server_tftp, self](const hosted::Frame &) {
    const auto &requests = server_tftp->Requests();
    for (; times->requestsLogged < requests.size(); ++times->requestsLogged) {
      const peers::tftp::Request &r = requests[times->requestsLogged];
      std::string line = std::string("tftp ") + (r.opcode == peers::tftp::kRrq ? "RRQ " : "request ") + r.file;
      for (const auto &[name, value] : r.options) line += " " + name + " " + value;
      line += " from " + FormatIp(r.clientIp) + ":" + std::to_string(r.clientPort);
      if (r.opcode != peers::tftp::kRrq || server_tftp->Config().files.count(r.file) == 0) {
        self->Log(line + " > ERROR 1 File not found");
      } else {
        self->Log(line + " > " + std::to_string(server_tftp->Config().files.at(r.file).size()) + " bytes offered");
      }
    }
    for (const peers::TftpServer::Transfer &t : server_tftp->Transfers()) {
      const auto open = times->byPort.find(t.port);
      if (!t.done || open == times->byPort.end() || open->second.logged) continue;
      TransferTimes::Open &o = open->second;
      o.logged = true;
      const double seconds = std::chrono::duration<double>(Clock::now() - o.started).count();
      char figures[160];
      std::snprintf(figures, sizeof figures,
                    "%zu bytes, %llu blocks of %llu in %.3f s, %.3f ms per block from send to ACK",
                    t.content.size(), static_cast<unsigned long long>(t.lastSent),
                    static_cast<unsigned long long>(t.blockSize), seconds,
                    o.acked == 0 ? 0.0 : o.totalMs / static_cast<double>(o.acked));
      self->Log("tftp sent " + t.request.file + " to " + FormatIp(t.request.clientIp) + ": " + figures);
    }
  });
  if (o.mtftp && server.Primary()) {
    // Extra servers on the link would send to the same group: only the primary serves it.
    auto multicast = std::make_shared<MulticastTftp>(&server, &server_tftp->Config().files, *o.mtftp);
    MulticastTftp *m = multicast.get();
    server.AddFrameHandler([m](const hosted::Frame &frame) { m->OnFrame(frame); });
    server.AddTicker([m] { m->Tick(); });
    server.Keep(multicast);
  }
  server.Keep(tftp);
  server.Keep(times);
  std::string name = "tftp (" + std::to_string(fileCount) + " file(s) from " + (root.empty() ? "nowhere" : root) + ")";
  if (o.mtftp && server.Primary()) {
    name += ", mtftp (" + FormatIp(o.mtftp->group) + ":" + std::to_string(o.mtftp->clientPort) + ", server port " +
            std::to_string(o.mtftp->serverPort) + ")";
  }
  return name;
}

// The PXE proxy (in proxy mode) and the boot server on port 4011: discovery
// to the server's address or to the discovery group, or broadcast to port 67,
// answered with the first image's boot file in the file field and option 67.
std::string PxeAttach(BootServer &server) {
  const ServerOptions &o = server.Options();
  peers::PxeServer::Config config;
  config.proxyOffers = o.pxe == ServerOptions::Pxe::Proxy;
  config.offerVendor = PxeBootInformation(o);
  config.answerProxyRequests = false;  // the proxy offer already holds all a client needs
  config.bootServer = true;
  config.serverTypes = {o.pxeServerType};
  const std::string file = o.images.empty() ? std::string() : o.images.front().BootFileName();
  config.bootFile = peers::Bytes(file.begin(), file.end());
  config.discoveryMulticast = o.pxeMulticast;
  auto pxe = std::make_shared<peers::PxeServer>(&server.Station(), config);
  server.AdoptStationHandler();
  BootServer *self = &server;
  pxe->Shape = [self, file](const peers::DhcpSeen &request, std::optional<peers::DhcpMessage> &reply) {
    const std::string to = FormatIp(request.destination) + ":" + std::to_string(request.destinationPort);
    const auto item = peers::PxeServer::BootItemOf(request.message);
    const std::optional<ServerOptions::Mtftp> &mtftp = self->Options().mtftp;
    if (item && reply && mtftp && reply->Option(kVendor) != nullptr) {
      // The boot server's answer tells where the file is also sent by multicast.
      peers::DhcpOptions sub = MtftpSubOptions(*mtftp);
      for (auto &entry : peers::DecodeSubOptions(*reply->Option(kVendor))) sub.push_back(std::move(entry));
      peers::Bytes vendor = peers::EncodeSubOptions(sub);
      vendor.push_back(255);
      reply->Set(kVendor, vendor);
    }
    if (!item) {
      const peers::Chaddr &c = request.message.chaddr;
      self->Log("pxe DISCOVER " + FormatMac({c[0], c[1], c[2], c[3], c[4], c[5]}) + " > proxy offer");
      return;
    }
    self->Log("pxe REQUEST from " + FormatIp(request.source) + " to " + to + " type " + std::to_string(item->first) +
              " layer " + std::to_string(item->second & 0x7FFF) + (reply ? " > ACK boot file \"" + file + "\"" : ""));
  };
  server.Keep(pxe);
  return config.proxyOffers ? "pxe (proxy, boot server)" : "pxe (boot server)";
}

}  // namespace

std::vector<std::string> AttachServices(BootServer &server) {
  std::vector<std::string> names;
  if (server.Primary() && server.Options().leaseAddresses) names.push_back(DhcpAttach(server));
  const ServerOptions::Pxe pxe = server.Options().pxe;
  if (server.Primary() && pxe != ServerOptions::Pxe::None && pxe != ServerOptions::Pxe::Plain) {
    names.push_back(PxeAttach(server));
  }
  names.push_back(WirlAttach(server));
  names.push_back(TftpAttach(server));
  if (server.Primary() && server.Options().floor) names.push_back(FloorAttach(server));
  return names;
}

}  // namespace bootserver
