// The receive path under hostile frames: the input is a setup header and a
// sequence of frames that reach the started instance through the simulated
// segment, so ARP, IPv4, ICMP, IGMP and reassembly all see them. The frames
// are consumed by ReceiveUdpDatagram (or the UdpRead member) with op-flags,
// filter, header length and buffer size taken from the input; the header and
// data buffers are exactly as large as declared, so a write past either is a
// finding. After every input the pool and the live events must be back at
// their baseline; every so many inputs the instance and the driver are
// stopped, which must leave nothing.
//
// Input: byte 0 op-flags (low 5 bits) and mode (bit 7: UdpRead member, bit 6:
// pass a source address, bit 5: end with a 11 s wait so IGMP timers run);
// byte 1 filter bits; byte 2 groups to join (0-3), a listening port for
// ReceiveUdpDatagram (bit 6: 4000, which ICMP errors must quote) and broadcast
// destination (bit 7); bytes 3-4 header length; bytes 5-6 data buffer size; then records
// of [kind, length high, length low, bytes...]: kind 0 IPv4, 1 ARP, other
// values give the EtherType's low byte (0x08xx).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/net.h"
#include "platform/hosted.h"
#include "tests/fuzz/driver_world.h"

const char *const driver_world::kTargetName = "fuzz_frames";

namespace {

constexpr hosted::Mac kClientMac = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
constexpr size_t kMaxFrames = 64;
constexpr size_t kMaxPayload = 1500;

using driver_world::Require;
using driver_world::World;
size_t gInputs = 0;
// The simulated firmware keeps a record of every event and frame it saw; a
// fresh one every so many inputs keeps memory and lookups flat.

EFI_IP_ADDRESS Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  EFI_IP_ADDRESS ip{};
  ip.v4.Addr[0] = a;
  ip.v4.Addr[1] = b;
  ip.v4.Addr[2] = c;
  ip.v4.Addr[3] = d;
  return ip;
}

void Inject(uint8_t kind, const uint8_t *payload, size_t length, bool broadcast) {
  hosted::Bytes frame;
  for (int i = 0; i < 6; ++i) frame.push_back(broadcast ? 0xFF : kClientMac[i]);
  for (uint8_t b : {0x02, 0x00, 0x00, 0x00, 0x00, 0x01}) frame.push_back(b);
  frame.push_back(0x08);
  frame.push_back(kind == 0 ? 0x00 : kind == 1 ? 0x06 : kind);
  frame.insert(frame.end(), payload, payload + length);
  driver_world::Current()->segment.Inject(frame);
}

// What one input leaves behind on purpose (joined groups, their timers, the
// version 1 router timer, learned addresses) is dropped, so every input
// starts from the same started instance.
void Forget(World &w) {
  ProtocolInstance *in = w.instance;
  EFI_BOOT_SERVICES *bs = w.firmware.BootServices();
  for (EFI_EVENT &timer : in->ReportTimers) {
    if (timer != nullptr) bs->CloseEvent(timer);
    timer = nullptr;
  }
  if (in->IgmpV1Timer != nullptr) bs->CloseEvent(in->IgmpV1Timer);
  in->IgmpV1Timer = nullptr;
  in->IgmpV1Mode = TRUE;
  in->GroupCount = 0;
  in->State.IpFilter.Filters = 0;
  in->State.IpFilter.IpCnt = 0;
  in->Mode.ArpCacheEntries = 0;
  w.segment.ClearHistory();
  w.nic->sent.clear();
}

void RunOnce(const uint8_t *data, size_t size) {
  World &w = *driver_world::Current();
  OrvaleProtocol *proto = w.child.protocol;
  ProtocolInstance *in = w.instance;

  const uint8_t mode = size > 0 ? data[0] : 0;
  const UINT16 flags = mode & 0x1F;
  EFI_PXE_BASE_CODE_IP_FILTER filter{};
  filter.Filters = size > 1 ? (data[1] & 0x0F) : 0;
  const uint8_t groups = size > 2 ? (data[2] & 0x03) : 0;
  if (filter.Filters & EFI_PXE_BASE_CODE_IP_FILTER_PROMISCUOUS) filter.Filters = EFI_PXE_BASE_CODE_IP_FILTER_PROMISCUOUS;
  if (!(filter.Filters & EFI_PXE_BASE_CODE_IP_FILTER_PROMISCUOUS) &&
      !(filter.Filters & EFI_PXE_BASE_CODE_IP_FILTER_PROMISCUOUS_MULTICAST)) {
    for (uint8_t g = 0; g < groups; ++g) filter.IpList[filter.IpCnt++] = Address(239, 1, 1, static_cast<uint8_t>(g + 1));
  }
  const bool broadcast = size > 2 && (data[2] & 0x80) != 0;
  Require(proto->SetIpFilter(proto, &filter) == EFI_SUCCESS, "SetIpFilter");
  const size_t headerLength = size > 4 ? ((data[3] << 8) | data[4]) % 96 : 8;
  const size_t capacity = size > 6 ? ((data[5] << 8) | data[6]) % 9000 : 1500;

  size_t at = 7;
  size_t frames = 0;
  while (at + 3 <= size && frames < kMaxFrames) {
    const uint8_t kind = data[at];
    size_t length = (static_cast<size_t>(data[at + 1]) << 8) | data[at + 2];
    at += 3;
    if (length > size - at) length = size - at;
    Inject(kind, data + at, length < kMaxPayload ? length : kMaxPayload, broadcast);
    at += length;
    ++frames;
  }

  std::vector<uint8_t> header(headerLength);
  std::vector<uint8_t> buffer(capacity);
  EFI_IP_ADDRESS source = Address(10, 0, 0, 1);
  EFI_IP_ADDRESS destination{};
  for (size_t round = 0; round <= frames; ++round) {
    EFI_STATUS status;
    UINTN got = capacity;
    if (mode & 0x80) {
      UINT16 srcPort = 5000, dstPort = 4000;
      UINTN upper = headerLength;
      status = proto->UdpRead(proto, flags, &destination, &dstPort, &source, &srcPort, &upper,
                              header.empty() ? nullptr : header.data(), &got, buffer.empty() ? nullptr : buffer.data());
    } else {
      MemberLock lock(in);
      const EFI_PXE_BASE_CODE_UDP_PORT port = 4000;
      const bool listening = size > 2 && (data[2] & 0x40) != 0;
      status = ReceiveUdpDatagram(in, flags, (mode & 0x40) ? &source : nullptr, &destination, 17,
                                  header.empty() ? nullptr : header.data(), headerLength,
                                  buffer.empty() ? nullptr : buffer.data(), &got, nullptr, listening ? &port : nullptr);
    }
    if (status == EFI_SUCCESS) Require(got <= capacity, "reported more data than the buffer holds");
    if (status == EFI_ICMP_ERROR) {
      // Only an error quoting a UDP datagram from the station's own address counts.
      const auto *error = reinterpret_cast<const uint8_t *>(&in->Mode.IcmpError);
      Require(in->Mode.IcmpErrorReceived, "ICMP error returned but not recorded");
      Require(error[8 + 9] == 17 && std::memcmp(error + 8 + 12, in->Mode.StationIp.v4.Addr, 4) == 0,
              "an ICMP error that quotes no datagram of ours ended the receive");
    }
    if (status == EFI_TIMEOUT) break;
  }
  if (mode & 0x20) {
    MemberLock lock(in);
    TimerEvent timer;
    Require(timer.Arm(11 * hosted::kTicksPerSecond) == EFI_SUCCESS, "timer");
    UINTN got = capacity;
    (void)ReceiveUdpDatagram(in, flags, nullptr, nullptr, 17, header.empty() ? nullptr : header.data(), headerLength,
                             buffer.empty() ? nullptr : buffer.data(), &got, timer.Get());
  }

  Require(in->Mode.ArpCacheEntries <= 8 && in->GroupCount <= 8, "tables within bounds");
  Require(w.firmware.LivePoolBlocks() == w.poolBaseline, "pool not back to its baseline");
  Require(w.nic->UnrecycledBuffers() == 0, "a received buffer was not recycled");
  Require(w.firmware.Errors().empty(), "firmware misuse");
  Forget(w);
  Require(w.firmware.LiveEvents() == w.eventBaseline, "events not back to their baseline");
}

}  // namespace

void NewWorld() { driver_world::Renew(kClientMac, 2, nullptr, nullptr); }

// A world is given up with Stop and the driver's Stop; both must leave nothing.

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
