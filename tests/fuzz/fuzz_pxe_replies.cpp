// Arbitrary replies to the PXE exchanges, arriving through the simulated
// segment: each record of the input is the payload of one UDP datagram from
// a server, with op, xid, cookie and chaddr patched in so that it reaches the
// parser and the exchange's own checks. Byte 0 chooses the exchange: the
// collection of PXE offers followed by the selection in order of preference,
// or one broadcast boot-server discovery (byte 1 the server type). After
// every input the exchange buffers are freed and the pool and the live
// events must be back at their baseline, and every offer recorded and reply
// published passes the receive checks (tests/fuzz/reply_oracle.h).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dhcp/exchange.h"
#include "net/net.h"
#include "peers/station.h"
#include "platform/hosted.h"
#include "tests/fuzz/driver_world.h"
#include "pxe/pxe.h"
#include "tests/fuzz/reply_oracle.h"

const char *const driver_world::kTargetName = "fuzz_pxe_replies";

namespace {

constexpr hosted::Mac kClientMac = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
constexpr hosted::Mac kServerMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr peers::Ip4 kServerIp = {10, 0, 0, 1};
constexpr peers::Ip4 kStationIp = {10, 0, 0, 2};
constexpr size_t kMaxReplies = 12;

using driver_world::Require;
using driver_world::World;
size_t gInputs = 0;
reply_oracle::Oracle gOracle("fuzz_pxe_replies");

EFI_IP_ADDRESS Efi(const peers::Ip4 &ip) {
  EFI_IP_ADDRESS a{};
  std::memcpy(a.v4.Addr, ip.data(), 4);
  return a;
}

// One reply as a server would send it, with the fields every PXE receive
// checks made to match the request.
void Inject(const uint8_t *payload, size_t length, const uint8_t xid[4], const peers::Ip4 &destination,
            uint16_t sourcePort, uint16_t destinationPort) {
  peers::Bytes dhcp(payload, payload + length);
  if (dhcp.size() < 240) dhcp.resize(240, 0);
  dhcp[0] = 2;
  std::memcpy(dhcp.data() + 4, xid, 4);
  std::memset(dhcp.data() + 28, 0, 16);
  std::memcpy(dhcp.data() + 28, kClientMac.data(), 6);
  const uint8_t cookie[4] = {99, 130, 83, 99};
  std::memcpy(dhcp.data() + 236, cookie, 4);
  if (dhcp[16] > 223) dhcp[16] = 10;
  gOracle.Sent(dhcp.data(), dhcp.size(), true);
  peers::UdpFields udp;
  udp.sourcePort = sourcePort;
  udp.destinationPort = destinationPort;
  peers::Ipv4Fields ip;
  ip.source = kServerIp;
  ip.destination = destination;
  const peers::Bytes datagram = peers::BuildIpv4(ip, peers::BuildUdp(kServerIp, destination, udp, dhcp));
  const hosted::Mac to = destination == peers::kBroadcastIp ? peers::kBroadcastMac : kClientMac;
  driver_world::Current()->segment.Inject(peers::BuildEthernet(to, kServerMac, 0x0800, datagram));
}

// What an input leaves behind on purpose (a claimed address, its routes,
// the version 1 router timer, ARP entries) is dropped.
void Forget(World &w) {
  ProtocolInstance *in = w.instance;
  if (in->IgmpV1Timer != nullptr) w.firmware.BootServices()->CloseEvent(in->IgmpV1Timer);
  in->IgmpV1Timer = nullptr;
  in->Mode.StationIp = Efi(kStationIp);
  in->Mode.SubnetMask = Efi({255, 255, 255, 0});
  in->Mode.RouteTableEntries = 0;
  in->Mode.ArpCacheEntries = 0;
  in->Packets.StationIpSet = FALSE;
  w.segment.ClearHistory();
  w.nic->sent.clear();
}

void RunOnce(const uint8_t *data, size_t size) {
  World &w = *driver_world::Current();
  ProtocolInstance *in = w.instance;
  const uint8_t mode = size > 0 ? data[0] : 0;
  const UINT16 type = size > 1 ? data[1] : 0;
  {
    MemberLock lock(in);
    Require(lock.Held(), "lock");
    Require(AllocateDhcpBuffers(in), "buffers");
    in->SecsCounter = 4;
    const bool discovery = (mode & 1) != 0;
    uint8_t xid[4] = {0, 0, 0, 0};
    if (discovery) {
      // The request's xid: the first number of the sequence the request restarts.
      RestartXidSequence(in);
      const UINT16 first = NextRandom(in);
      xid[0] = static_cast<uint8_t>(first), xid[1] = static_cast<uint8_t>(first >> 8);
    } else {
      BuildPxePacket(in);
      xid[0] = 0x34, xid[1] = 0x12;
      std::memcpy(in->DhcpTxPacket->Raw + 4, xid, 4);
      in->RetryTimeout = 1;
    }
    for (UINTN i = 0; i < kParsedPacketCount; ++i) in->Packets.ParsedPackets[i].length = 0;
    in->Packets.PxeReplyReceived = FALSE;
    const uint32_t expectedXid = (uint32_t(xid[0]) << 24) | (uint32_t(xid[1]) << 16) | (uint32_t(xid[2]) << 8) | xid[3];
    size_t at = 2;
    for (size_t n = 0; at + 2 <= size && n < kMaxReplies; ++n) {
      size_t length = (static_cast<size_t>(data[at]) << 8) | data[at + 1];
      at += 2;
      if (length > size - at) length = size - at;
      if (length > 1472) length = 1472;
      if (discovery) {
        Inject(data + at, length, xid, kStationIp, 67, 68);
      } else {
        Inject(data + at, length, xid, peers::kBroadcastIp, 67, 68);
      }
      at += length;
    }
    if (discovery) {
      UINT16 layer = mode & 0x80 ? 1 : 0;
      const UINT8 broadcast[4] = {255, 255, 255, 255};
      const EFI_STATUS status = DiscoverRequest(in, 0x03, type, &layer, FALSE, broadcast, nullptr);
      if (status == EFI_SUCCESS) Require(in->Packets.PxeReplyReceived, "success without a reply");
      if (in->Packets.PxeReplyReceived)
        gOracle.CheckPacket("the published reply", in->Packets.PxeReply, kClientMac.data(), {expectedXid});
    } else if (CollectPxeOffers(in) == EFI_SUCCESS) {
      Require(in->OfferCount <= 6, "more replies recorded than slots");
      for (UINTN i = 0; i < in->OfferCount; ++i)
        gOracle.CheckSlot("a recorded offer", in->ReplySlots[i], kClientMac.data(), {expectedXid});
      for (UINTN c = 0; c < 4; ++c) Require(in->OfferClassCount[c] <= in->OfferCount, "class count");
      if (mode & 2) {
        (void)(TryOfferClass(in, 1) || TryOfferClass(in, 2) || TryProxyClass(in, 1) || TryProxyClass(in, 2) ||
               TryOfferClass(in, 3) || TryProxyClass(in, 3) || TryBootFileOffers(in));
      }
    }
    for (UINTN i = 0; i < kParsedPacketCount; ++i) {
      if (in->Packets.ParsedPackets[i].length != 0)
        gOracle.CheckSlot("a published packet", in->Packets.ParsedPackets[i], kClientMac.data(), {expectedXid});
    }
    FreeDhcpBuffers(in);
  }
  Require(w.firmware.LivePoolBlocks() == w.poolBaseline, "pool not back to its baseline");
  Require(w.nic->UnrecycledBuffers() == 0, "a received buffer was not recycled");
  Require(w.firmware.Errors().empty(), "firmware misuse");
  Forget(w);
  Require(w.firmware.LiveEvents() == w.eventBaseline, "events not back to their baseline");
}


// Every input's exchange starts from the same xid, and a reply an input sent
// but its exchange did not take may still reach the next input's: what the
// harness sent counts as sent for the world's whole life.
void NewWorld() {
  gOracle.Clear();
  driver_world::Renew(kClientMac, 2, nullptr, [](World &w) {
    // The parsed packets and the ARP request buffer live until Stop:
    // allocated once before the baseline.
    MemberLock lock(w.instance);
    Require(AllocateDhcpBuffers(w.instance), "buffers");
    BuildPxeOptionTemplate(w.instance);
    FreeDhcpBuffers(w.instance);
    const EFI_IP_ADDRESS nobody = Efi({10, 0, 0, 99});
    EFI_MAC_ADDRESS mac;
    (void)ResolveArp(w.instance, &nobody, &mac);
  });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  NewWorld();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (++gInputs % driver_world::kInputsPerWorld == 0) NewWorld();
  driver_world::LogInput(data, size);
  RunOnce(data, size);
  return 0;
}
