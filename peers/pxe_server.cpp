// The PXE proxy and boot server (see peers/pxe_server.h).
#include "peers/pxe_server.h"

#include <algorithm>

namespace peers {

namespace {

constexpr uint8_t kMessageType = 53;
constexpr uint8_t kServerId = 54;
constexpr uint8_t kVendor = 43;
constexpr uint8_t kVendorClass = 60;
constexpr uint8_t kBootFile = 67;
constexpr uint8_t kClientUuid = 97;
constexpr uint16_t kProxyPort = 4011;
const Bytes kPxeClient = {'P', 'X', 'E', 'C', 'l', 'i', 'e', 'n', 't'};

bool HasPxeClass(const DhcpMessage &m) {
  const Bytes *c = m.Option(kVendorClass);
  return c != nullptr && c->size() >= kPxeClient.size() && std::equal(kPxeClient.begin(), kPxeClient.end(), c->begin());
}

uint8_t TypeOf(const DhcpMessage &m) {
  const Bytes *t = m.Option(kMessageType);
  return t != nullptr && t->size() == 1 ? (*t)[0] : 0;
}

}  // namespace

PxeServer::PxeServer(Station *station, const Config &config) : station_(station), config_(config) {
  station_->OnFrame = [this](const hosted::Frame &frame) { OnFrame(frame); };
}
PxeServer::~PxeServer() { station_->OnFrame = nullptr; }

std::optional<std::pair<uint16_t, uint16_t>> PxeServer::BootItemOf(const DhcpMessage &m) {
  const Bytes *vendor = m.Option(kVendor);
  if (vendor == nullptr) return std::nullopt;
  for (const auto &[code, value] : DecodeSubOptions(*vendor)) {
    if (code == 71 && value.size() == 4) {
      return std::make_pair(static_cast<uint16_t>(value[0] << 8 | value[1]),
                            static_cast<uint16_t>(value[2] << 8 | value[3]));
    }
  }
  return std::nullopt;
}

std::vector<uint32_t> PxeServer::CredentialTypesOf(const DhcpMessage &m) {
  std::vector<uint32_t> out;
  const Bytes *vendor = m.Option(kVendor);
  if (vendor == nullptr) return out;
  for (const auto &[code, value] : DecodeSubOptions(*vendor)) {
    if (code != 12) continue;
    for (size_t i = 0; i + 4 <= value.size(); i += 4) {
      out.push_back(static_cast<uint32_t>(value[i]) << 24 | value[i + 1] << 16 | value[i + 2] << 8 | value[i + 3]);
    }
  }
  return out;
}

DhcpMessage PxeServer::ReplyTo(const DhcpMessage &request, uint8_t type) const {
  DhcpMessage r;
  r.op = 2;
  r.htype = request.htype;
  r.hlen = request.hlen;
  r.xid = request.xid;
  r.chaddr = request.chaddr;
  r.ciaddr = request.ciaddr;
  r.siaddr = station_->Ip();
  r.Set(kMessageType, {type});
  r.Set(kServerId, Ip4Bytes(station_->Ip()));
  r.Set(kVendorClass, kPxeClient);
  if (const Bytes *uuid = request.Option(kClientUuid)) r.Set(kClientUuid, *uuid);
  return r;
}

void PxeServer::OnFrame(const hosted::Frame &frame) {
  auto seen = DecodeDhcpFrame(frame, {67, kProxyPort});
  if (!seen || !HasPxeClass(seen->message)) return;
  const Ip4 mine = station_->Ip();
  const bool toMe = seen->destination == mine;
  const bool broadcast = seen->destination == kBroadcastIp;
  const bool toGroup = config_.discoveryMulticast && seen->destination == *config_.discoveryMulticast;
  const uint8_t type = TypeOf(seen->message);
  const auto item = BootItemOf(seen->message);
  std::optional<DhcpMessage> reply;
  uint16_t fromPort = seen->destinationPort;
  bool unicast = true;

  if (type == 1 && seen->destinationPort == 67 && broadcast && config_.proxyOffers) {
    // A proxy offer: boot information without an address.
    reply = ReplyTo(seen->message, 2);
    if (!config_.offerVendor.empty()) reply->Set(kVendor, config_.offerVendor);
    if (config_.offerBootFile) reply->Set(kBootFile, *config_.offerBootFile);
    unicast = false;
  } else if (type == 3 && item && config_.bootServer &&
             ((seen->destinationPort == kProxyPort && (toMe || toGroup || config_.rogue)) ||
              (seen->destinationPort == 67 && broadcast && config_.answerBroadcastDiscovery))) {
    if (std::find(config_.serverTypes.begin(), config_.serverTypes.end(), item->first) == config_.serverTypes.end()) {
      return;
    }
    reply = ReplyTo(seen->message, 5);
    DhcpOptions sub;
    if (config_.bootItemInReply) {
      sub.push_back({71, {static_cast<uint8_t>(item->first >> 8), static_cast<uint8_t>(item->first),
                          static_cast<uint8_t>(item->second >> 8 & 0x7F), static_cast<uint8_t>(item->second)}});
    }
    if (config_.credentialType && !CredentialTypesOf(seen->message).empty()) {
      const uint32_t c = *config_.credentialType;
      sub.push_back({12, {static_cast<uint8_t>(c >> 24), static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8),
                          static_cast<uint8_t>(c)}});
    }
    Bytes vendor = EncodeSubOptions(sub);
    vendor.push_back(255);
    reply->Set(kVendor, vendor);
    if (config_.bootFileInOption67) reply->Set(kBootFile, config_.bootFile);
    reply->file = config_.bootFile;
  } else if (type == 3 && !item && seen->destinationPort == kProxyPort && toMe && config_.answerProxyRequests) {
    reply = ReplyTo(seen->message, 5);
    if (!config_.proxyAckVendor.empty()) reply->Set(kVendor, config_.proxyAckVendor);
    if (config_.proxyAckBootFile) reply->Set(kBootFile, *config_.proxyAckBootFile);
  } else {
    return;
  }
  seen_.push_back(*seen);
  if (Shape) Shape(*seen, reply);
  if (!reply) return;
  if (!unicast) {
    station_->SendUdp(kBroadcastMac, kBroadcastIp, fromPort, 68, EncodeDhcp(*reply));
  } else if (item && config_.discoveryReplyIp) {
    const Ip4 &to = *config_.discoveryReplyIp;
    station_->SendUdp(to == kBroadcastIp ? kBroadcastMac : seen->sourceMac, to, fromPort, seen->sourcePort,
                      EncodeDhcp(*reply));
  } else {
    // Replies go back to where the request came from: ciaddr and its port.
    station_->SendUdp(seen->sourceMac, seen->source, fromPort, seen->sourcePort, EncodeDhcp(*reply));
  }
}

}  // namespace peers
