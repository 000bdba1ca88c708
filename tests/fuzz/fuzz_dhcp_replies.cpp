// DHCP and WIRL replies from a hostile network through the exchanges' receive
// paths: the input picks a path and carries the UDP payloads that arrive
// while it runs. The harness patches the transaction's xid and the client's
// chaddr into each payload (unless told not to) so the replies get past the
// first checks and reach the option handling. After every input the pool and
// the events must be back at their baseline, and every packet the exchange
// kept or published passes the receive checks (tests/fuzz/reply_oracle.h).
//
// Input: byte 0 path (low 2 bits: 0 DHCP discovery, 1 WIRL LIST and SELECT,
// 2 the Wirl member's gather, 3 explicit selection) and settings (bit 2
// FilterImageKind, bit 3 UseDefaultImage, bit 4 PlainDhcp, bit 5 WirlServer
// 10.0.0.1); then records of [flags, length high, length low, payload...]:
// flags bit 0 keep the xid, bit 1 keep chaddr, bit 2 to the broadcast address,
// bit 3 a wrong UDP checksum, bit 4 from port 7799.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dhcp/codec.h"
#include "dhcp/exchange.h"
#include "net/net.h"
#include "platform/hosted.h"
#include "tests/fuzz/driver_world.h"
#include "tests/fuzz/reply_oracle.h"
#include "wirl/wirl.h"

const char *const driver_world::kTargetName = "fuzz_dhcp_replies";

namespace {

constexpr hosted::Mac kClientMac = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
constexpr uint8_t kServerMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr uint8_t kServerIp[4] = {10, 0, 0, 1};
constexpr uint8_t kClientIp[4] = {10, 0, 0, 2};
constexpr size_t kMaxReplies = 32;
constexpr size_t kMaxPayload = 1600;  // a little beyond a DhcpPacket

using driver_world::Require;
using driver_world::World;
size_t gInputs = 0;
reply_oracle::Oracle gOracle("fuzz_dhcp_replies");

uint16_t Sum(const std::vector<uint8_t> &b, size_t from, size_t length, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < length; i += 2) sum += (b[from + i] << 8) | b[from + i + 1];
  if (length % 2) sum += b[from + length - 1] << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

// Ethernet, IPv4 and UDP around payload, built here (not by the driver).
void Inject(const uint8_t *payload, size_t length, uint8_t flags) {
  const uint8_t *dstIp = (flags & 4) ? reinterpret_cast<const uint8_t *>("\xFF\xFF\xFF\xFF") : kClientIp;
  std::vector<uint8_t> f;
  for (int i = 0; i < 6; ++i) f.push_back((flags & 4) ? 0xFF : kClientMac[i]);
  f.insert(f.end(), kServerMac, kServerMac + 6);
  f.push_back(0x08);
  f.push_back(0x00);
  const size_t ip = f.size();
  const size_t total = 20 + 8 + length;
  const uint8_t header[20] = {0x45, 0, uint8_t(total >> 8), uint8_t(total), 0, 1, 0, 0, 64, 17, 0, 0,
                              kServerIp[0], kServerIp[1], kServerIp[2], kServerIp[3],
                              dstIp[0], dstIp[1], dstIp[2], dstIp[3]};
  f.insert(f.end(), header, header + 20);
  const uint16_t hc = static_cast<uint16_t>(~Sum(f, ip, 20));
  f[ip + 10] = uint8_t(hc >> 8);
  f[ip + 11] = uint8_t(hc);
  const size_t udp = f.size();
  const uint16_t source = (flags & 16) ? 7799 : 67;
  const uint8_t udpHeader[8] = {uint8_t(source >> 8), uint8_t(source), 0, 68, uint8_t((8 + length) >> 8),
                                uint8_t(8 + length), 0, 0};
  f.insert(f.end(), udpHeader, udpHeader + 8);
  f.insert(f.end(), payload, payload + length);
  std::vector<uint8_t> pseudo(f.begin() + ip + 12, f.begin() + ip + 20);
  pseudo.push_back(0);
  pseudo.push_back(17);
  pseudo.push_back(uint8_t((8 + length) >> 8));
  pseudo.push_back(uint8_t(8 + length));
  uint16_t uc = static_cast<uint16_t>(~Sum(f, udp, 8 + length, Sum(pseudo, 0, pseudo.size())));
  if (uc == 0) uc = 0xFFFF;
  if (flags & 8) uc ^= 0x0101;
  gOracle.Sent(payload, length, !(flags & 8) || uc == 0);
  f[udp + 6] = uint8_t(uc >> 8);
  f[udp + 7] = uint8_t(uc);
  driver_world::Current()->segment.Inject(f);
}

// The xid the next discovery will use (it reseeds from the hardware address).
uint32_t DiscoveryXid(ProtocolInstance *in) {
  const UINT16 saved = in->RandomState;
  const UINT8 *hw = in->Binding->SnpMode.CurrentAddress.Addr;
  in->RandomState = static_cast<UINT16>(hw[0] | (hw[1] << 8));
  const uint32_t xid = NextRandom(in);
  in->RandomState = saved;
  return xid;
}

// A LIST reply from 10.0.0.1 held in slot 3, for the SELECT paths.
void HoldListReply(ProtocolInstance *in) {
  PacketSlot *slot = &in->ReplySlots[kSlotReceive];
  ZeroBytes(&slot->packet, sizeof(DhcpPacket));
  const uint8_t tail[] = {99, 130, 83, 99, 53, 1, 5, 54, 4, 10, 0, 0, 1, 60, 9, 'Z', 'E', 'K', 'O', 'W', 'I',
                          'R', 'L', 'C', 43, 13, 1, 1, 1, 4, 2, 0, 5, 7, 4, 0x83, 0, 0, 1, 255};
  CopyBytes(slot->packet.Raw + 236, tail, sizeof(tail));
  slot->length = 236 + sizeof(tail);
  Require(ParsePacket(slot, slot->length), "held LIST reply parses");
  KeepPacket(in, kSlotListReply, slot);
}

void RunOnce(const uint8_t *data, size_t size) {
  World &w = *driver_world::Current();
  ProtocolInstance *in = w.instance;
  const uint8_t mode = size > 0 ? data[0] : 0;
  PacketRecord &p = in->Packets;
  p.FilterImageKind = (mode & 4) ? 1 : 0;
  p.UseDefaultImage = (mode & 8) ? 1 : 0;
  p.PlainDhcp = (mode & 16) ? 1 : 0;
  p.WirlServer = (mode & 32) ? 0x0100000A : 0;
  p.BootMode = ORVALE_BOOT_MODE_WIRL;

  MemberLock lock(in);
  Require(AllocateDhcpBuffers(in), "buffers");
  in->SecsCounter = 4;
  in->RetryTimeout = 1;
  const uint32_t xid = (mode & 3) == 0 ? DiscoveryXid(in) : in->Xid + 1;

  size_t at = 1;
  for (size_t n = 0; n < kMaxReplies && at + 3 <= size; ++n) {
    const uint8_t flags = data[at];
    size_t length = (static_cast<size_t>(data[at + 1]) << 8) | data[at + 2];
    at += 3;
    if (length > size - at) length = size - at;
    if (length > kMaxPayload) length = kMaxPayload;
    std::vector<uint8_t> payload(data + at, data + at + length);
    at += length;
    if (!(flags & 1) && payload.size() >= 8) {
      for (int i = 0; i < 4; ++i) payload[4 + i] = uint8_t(xid >> (24 - 8 * i));
    }
    if (!(flags & 2) && payload.size() >= 44) {
      std::memset(payload.data() + 28, 0, 16);
      std::memcpy(payload.data() + 28, kClientMac.data(), 6);
    }
    Inject(payload.data(), payload.size(), flags);
  }

  EFI_PXE_BASE_CODE_IP_FILTER filter{};
  filter.Filters = EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP;
  switch (mode & 3) {
    case 0:
      (void)RunDhcpDiscovery(in);
      break;
    case 1:
      p.AutoSelect = 1;
      p.ExplicitSelect = 0;
      (void)WirlList(in);
      break;
    case 2:
      p.WirlSendListPending = 1;
      p.WirlCollectPending = 0;
      (void)WirlListStep(in);
      (void)WirlListStep(in);
      break;
    case 3:
      HoldListReply(in);
      p.AutoSelect = 0;
      p.ExplicitSelect = 1;
      (void)WirlSelect(in);
      break;
  }
  (void)ApplyIpFilter(in, &filter);
  const uint32_t lastXid = in->Xid;
  for (UINTN i = kSlotBestOffer; i < kReplySlotCount; ++i) {
    // The LIST reply of the SELECT path is the harness's own.
    if ((mode & 3) == 3 && i == kSlotListReply) continue;
    if (SlotHeld(in, i)) gOracle.CheckSlot("a kept reply", in->ReplySlots[i], kClientMac.data(), {xid, lastXid});
  }
  for (UINTN i = 0; i < kParsedPacketCount; ++i) {
    if (p.ParsedPackets[i].length != 0)
      gOracle.CheckSlot("a published reply", p.ParsedPackets[i], kClientMac.data(), {xid, lastXid});
  }
  FreeDhcpBuffers(in);
  // ParsedPackets lives on with the packets of this input; an index grown
  // past its built-in array is released when the slots are reset.
  ResetSlots(p.ParsedPackets, kParsedPacketCount);
  if (p.ImageList != nullptr) {
    // The record lengths must add up to what is published.
    size_t walked = 0;
    while (walked + 10 <= p.ImageListLength) {
      UINT32 n;
      CopyBytes(&n, p.ImageList + walked + 6, 4);
      walked += 10 + n;
    }
    Require(walked == p.ImageListLength, "image list records add up");
    FreeAndNull(p.ImageList);
    p.ImageListLength = 0;
  }
  Require(in->Mode.ArpCacheEntries <= 8 && in->Mode.RouteTableEntries <= 8, "tables within bounds");
  Require(w.firmware.LivePoolBlocks() == w.poolBaseline, "pool not back to its baseline");
  Require(w.nic->UnrecycledBuffers() == 0, "a received buffer was not recycled");
  Require(w.firmware.Errors().empty(), "firmware misuse");
  // A claimed address starts the version 1 router-present timer on purpose.
  if (in->IgmpV1Timer != nullptr) w.firmware.BootServices()->CloseEvent(in->IgmpV1Timer);
  in->IgmpV1Timer = nullptr;
  Require(w.firmware.LiveEvents() == w.eventBaseline, "events not back to their baseline");

  // The next input starts from the same station.
  in->Mode.ArpCacheEntries = 0;
  in->Mode.RouteTableEntries = 0;
  CopyBytes(in->Mode.StationIp.v4.Addr, kClientIp, 4);
  p.StationIpSet = TRUE;
  w.segment.ClearHistory();
  w.nic->sent.clear();
}

}  // namespace


// Every input's exchange starts from the same xid, and a reply an input sent
// but its exchange did not take may still reach the next input's: what the
// harness sent counts as sent for the world's whole life.
void NewWorld() {
  gOracle.Clear();
  driver_world::Renew(kClientMac, 2, [](World &w) { w.firmware.SetModelName(u""); }, [](World &w) {
    // ParsedPackets and the ARP request buffer persist until Stop: have them
    // allocated once, so the baseline holds them.
    OrvaleProtocol *proto = w.child.protocol;
    EFI_IP_ADDRESS server = driver_world::Address(kServerIp[0], kServerIp[1], kServerIp[2], kServerIp[3]);
    EFI_MAC_ADDRESS mac{};
    (void)proto->Arp(proto, &server, &mac);
    MemberLock lock(w.instance);
    Require(AllocateDhcpBuffers(w.instance), "buffers");
    FreeDhcpBuffers(w.instance);
  });
}

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
