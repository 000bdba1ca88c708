// The TFTP client under hostile servers: the input chooses an operation of
// the Mtftp member and scripts the server's replies. Each time the driver
// sends a datagram (request, ACK, DATA of a write), the next reply of the
// script goes back to the port it came from, from the transfer's port or a
// stranger's, with a good or a broken UDP checksum; when the script runs out
// the server falls silent and the driver's timeouts end the call. The
// caller's buffer is exactly as large as declared, so a write past it is a
// finding; after every input the pool, the events and the TPL must be back
// at their baselines.
//
// Input: byte 0 operation (low 2 bits: read, get size, count-only read,
// write); bytes 1-2 buffer size; bytes 3-4 block size asked for; then
// records [flags, length high, length low, bytes...]: flags bit 0 from a
// stranger port, bit 1 broken checksum, bit 2 send the next record at once too.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "net/net.h"
#include "peers/station.h"
#include "platform/hosted.h"

namespace {

constexpr hosted::Mac kClientMac = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
constexpr hosted::Mac kServerMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr peers::Ip4 kServerIp = {10, 0, 0, 1};
constexpr peers::Ip4 kClientIp = {10, 0, 0, 2};
constexpr uint16_t kTransferPort = 40000;
constexpr uint16_t kStrangerPort = 40001;
constexpr size_t kMaxRecords = 64;
constexpr size_t kMaxReply = 9000;

struct World {
  hosted::SimSegment segment;
  hosted::Firmware firmware;
  hosted::Nic *nic = nullptr;
  hosted::Child child;
  std::unique_ptr<peers::Station> server;
  size_t poolBaseline = 0;
  size_t eventBaseline = 0;
  EFI_TPL tpl = 0;
};
World *gWorld = nullptr;
size_t gInputs = 0;
constexpr size_t kInputsPerWorld = 50;

struct Record {
  uint8_t flags;
  std::vector<uint8_t> bytes;
};
std::vector<Record> gScript;
size_t gNext = 0;

void Require(bool ok, const char *what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_tftp: %s\n", what);
  std::abort();
}

EFI_IP_ADDRESS Address(const peers::Ip4 &a) {
  EFI_IP_ADDRESS ip{};
  for (int i = 0; i < 4; ++i) ip.v4.Addr[i] = a[i];
  return ip;
}

void SendReply(uint16_t clientPort) {
  World &w = *gWorld;
  while (gNext < gScript.size()) {
    const Record &r = gScript[gNext++];
    peers::UdpFields udp;
    udp.sourcePort = (r.flags & 1) ? kStrangerPort : kTransferPort;
    udp.destinationPort = clientPort;
    if (r.flags & 2) udp.checksum = 0x5A5A;
    peers::Ipv4Fields ip;
    ip.source = kServerIp;
    ip.destination = kClientIp;
    const peers::Bytes payload = peers::BuildUdp(kServerIp, kClientIp, udp, r.bytes);
    if (payload.size() <= 1480) {
      w.server->SendIpv4(kClientMac, ip, payload);
    } else {
      ip.identification = w.server->NextIdentification();
      w.server->SendFragments(kClientMac, ip, payload, peers::SplitFragments(payload.size(), 1480));
    }
    if (!(r.flags & 4)) break;
  }
}

// Every UDP datagram of the driver (for a fragmented write block, its first
// fragment) is answered with the next reply of the script.
void OnFrame(const hosted::Frame &frame) {
  const auto ethernet = peers::ParseEthernet(frame.bytes);
  if (!ethernet || ethernet->etherType != peers::kEtherIpv4) return;
  const auto ip = peers::ParseIpv4(ethernet->payload);
  if (!ip || ip->protocol != peers::kProtoUdp || ip->offsetBytes != 0 || ip->payload.size() < 8) return;
  SendReply(peers::GetBe16(ip->payload, 0));
}

void RunOnce(const uint8_t *data, size_t size) {
  World &w = *gWorld;
  OrvaleProtocol *proto = w.child.protocol;

  const uint8_t op = size > 0 ? data[0] & 0x03 : 0;
  const size_t capacity = size > 2 ? ((data[1] << 8) | data[2]) % 20000 : 4096;
  UINTN blockSize = size > 4 ? static_cast<UINTN>((data[3] << 8) | data[4]) : 8192;

  gScript.clear();
  gNext = 0;
  size_t at = 5;
  while (at + 3 <= size && gScript.size() < kMaxRecords) {
    Record r;
    r.flags = data[at];
    size_t length = (static_cast<size_t>(data[at + 1]) << 8) | data[at + 2];
    at += 3;
    if (length > size - at) length = size - at;
    if (length > kMaxReply) length = kMaxReply;
    r.bytes.assign(data + at, data + at + length);
    at += length;
    gScript.push_back(std::move(r));
  }

  // Exactly as large as declared: a write past it is caught.
  std::vector<uint8_t> buffer(capacity);
  for (size_t i = 0; i < capacity; ++i) buffer[i] = static_cast<uint8_t>(i * 13);
  UINT64 bufferSize = capacity;
  EFI_IP_ADDRESS server = Address(kServerIp);
  UINT8 name[] = "boot/image.efi";
  static const EFI_PXE_BASE_CODE_TFTP_OPCODE kOps[] = {
      EFI_PXE_BASE_CODE_TFTP_READ_FILE, EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, EFI_PXE_BASE_CODE_TFTP_READ_FILE,
      EFI_PXE_BASE_CODE_TFTP_WRITE_FILE};
  UINT8 empty = 0;
  const EFI_STATUS status =
      proto->Mtftp(proto, kOps[op], capacity != 0 ? buffer.data() : &empty, FALSE, &bufferSize, &blockSize, &server,
                   name, nullptr, op == 2);
  if (status == EFI_SUCCESS && (op == 0)) Require(bufferSize <= capacity, "read reported more than the buffer");
  Require(blockSize <= 65464, "block size beyond RFC 2348");

  ProtocolInstance *in = InstanceFromThis(proto);
  Require(in->State.IpFilter.Filters == EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP, "station filter restored");
  Require(w.firmware.LivePoolBlocks() == w.poolBaseline, "pool not back to its baseline");
  Require(w.firmware.LiveEvents() == w.eventBaseline, "events not back to their baseline");
  Require(w.firmware.CurrentTpl() == w.tpl, "TPL not restored");
  Require(w.nic->UnrecycledBuffers() == 0, "a received buffer was not recycled");
  Require(w.firmware.Errors().empty(), "firmware misuse");
  Require(in->State.TftpError.ErrorString[126] == 0, "error text unterminated");
  w.segment.ClearHistory();
  w.nic->sent.clear();
  w.server->ClearReceived();
}

}  // namespace

void EndWorld();

void NewWorld() {
  EndWorld();
  delete gWorld;
  gWorld = new World();
  World &w = *gWorld;
  w.firmware.LoadDriver();
  w.nic = w.firmware.AddNic(&w.segment, kClientMac);
  w.server = std::make_unique<peers::Station>(&w.segment, kServerMac, kServerIp);
  w.server->OnFrame = OnFrame;
  Require(w.firmware.ConnectDriver(w.nic) == EFI_SUCCESS, "ConnectDriver");
  Require(hosted::CreateChild(w.firmware, w.nic, &w.child) == EFI_SUCCESS, "CreateChild");
  OrvaleProtocol *proto = w.child.protocol;
  Require(proto->Start(proto) == EFI_SUCCESS, "Start");
  EFI_IP_ADDRESS station = Address(kClientIp);
  EFI_IP_ADDRESS mask = Address({255, 255, 255, 0});
  EFI_IP_ADDRESS server = Address(kServerIp);
  Require(proto->SetStationIp(proto, &station, &mask) == EFI_SUCCESS, "SetStationIp");
  EFI_PXE_BASE_CODE_IP_FILTER filter{};
  filter.Filters = EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP;
  Require(proto->SetIpFilter(proto, &filter) == EFI_SUCCESS, "SetIpFilter");
  // The first frame sent sets up state the instance keeps until Stop.
  EFI_MAC_ADDRESS mac{};
  Require(proto->Arp(proto, &server, &mac) == EFI_SUCCESS, "Arp");
  w.poolBaseline = w.firmware.LivePoolBlocks();
  w.eventBaseline = w.firmware.LiveEvents();
  w.tpl = w.firmware.CurrentTpl();
}

void EndWorld() {
  if (gWorld == nullptr) return;
  World &w = *gWorld;
  Require(w.child.protocol->Stop(w.child.protocol) == EFI_SUCCESS, "Stop");
  Require(w.firmware.DisconnectDriver(w.nic) == EFI_SUCCESS, "DisconnectDriver");
  Require(w.firmware.LivePoolBlocks() == 0, "pool left after the driver stopped");
  w.server.reset();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  NewWorld();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (++gInputs % kInputsPerWorld == 0) NewWorld();
  RunOnce(data, size);
  return 0;
}
