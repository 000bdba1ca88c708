// The multicast TFTP read (operation 6 of the Mtftp member, with its unicast
// fallback) under a hostile group sender. The server answers every datagram
// the driver sends (its IGMP report when it joins the group, the opening
// request, each ACK, and the fallback's requests) with the next records of
// the script: DATA or anything else, to the group or to the station, from the
// server port or a stranger's, with a good or a broken UDP checksum. Frames
// take 10 ms across the segment.
//
// Oracles: a read that returns EFI_SUCCESS delivered the genuine file (a fixed
// pattern in 512-byte blocks) unless a datagram the driver could not tell from
// a genuine one carried other bytes; nothing is written past the caller's
// buffer (it is exactly as large as declared); the call ends within its worst
// case in virtual time; a block-number mode left set by an earlier call is not
// used. Pool, events and TPL are back at their baselines after each input.
//
// Input: byte 0: bit 0 count-only, bit 1 a cyclic script (the server starts
// over when it runs out), bit 2 the 8-byte block mode left set by an earlier
// call; bytes 1-2 buffer size; byte 3 listen timeout (1-4 s); byte 4 transmit
// timeout (1-4 s); then records [flags, length high, length low, bytes...]:
// flags bit 0 to the station instead of the group, bit 1 broken checksum,
// bit 2 from a stranger's port, bit 3 send the next record at once too, bit 4
// a genuine DATA block in place of the bytes (block number from bytes 0-1,
// 0: the server's next block; the file's length from bytes 2-3, 0: kShortFile).
#include <algorithm>
#include <cstring>
#include <vector>

#include "tests/fuzz/tftp_world.h"

const char *const driver_world::kTargetName = "fuzz_mtftp";

namespace {

using namespace tftp_fuzz;

constexpr peers::Ip4 kGroup = {239, 1, 2, 3};
constexpr uint16_t kClientPort = 1758;
constexpr uint16_t kServerPort = 1759;
constexpr uint16_t kTransferPort = 40000;  // the unicast fallback's transfer
constexpr uint16_t kStrangerPort = 40001;
constexpr size_t kBlock = 512;
constexpr uint64_t kFileLength = 65535;  // the longest a record can ask for
// Unless a record asks for more: three blocks and a short one reach every
// step of a read, where all 128 of the longest made an input cost hundreds
// of datagrams.
constexpr uint64_t kShortFile = 3 * kBlock + 100;
// Generous: listen and open rounds of at most 4 s windows, one per record
// and per block of the file, then the whole unicast fallback again.
constexpr uint64_t kWorstCase = 4 * (kFileLength / kBlock + kMaxRecords + 8) * 5 * 5 * hosted::kTicksPerSecond;

size_t gInputs = 0;
std::vector<Record> gScript;
size_t gNext = 0;
bool gCyclic = false;
size_t gSends = 0;
size_t gIdleSends = 0;  // since the driver's last request or acknowledgement of a new block
uint64_t gHighestAck = 0;
uint64_t gNextBlock = 1;
uint64_t gStart = 0;
std::vector<SentData> gSentData;
// What the last input sent: a late group block of it may wait in MNP's queue,
// and the group and its port are the same in every call.
std::vector<SentData> gEarlierData;
bool gAmbiguous = false;

std::vector<uint8_t> GenuineData(const Record &r) {
  uint64_t block = r.bytes.size() >= 2 ? (r.bytes[0] << 8) | r.bytes[1] : 0;
  if (block == 0) block = gNextBlock++;
  uint64_t length = r.bytes.size() >= 4 ? (r.bytes[2] << 8) | r.bytes[3] : 0;
  if (length == 0) length = kShortFile;
  std::vector<uint8_t> out = {0, 3, static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)};
  FillPattern(out, (block - 1) * kBlock, block * kBlock < length ? block * kBlock : length);
  return out;
}

void Note(const std::vector<uint8_t> &bytes) {
  if (bytes.size() < 4) return;
  const unsigned opcode = (bytes[0] << 8) | bytes[1];
  // An OACK of the fallback may switch the header length: no verdict then.
  if (opcode == 6) {
    // Not memcmp at every offset: the fuzzer's hook on it cost as much as the search.
    static const uint8_t kBig[] = "bigblk#";
    gAmbiguous = gAmbiguous || std::search(bytes.begin() + 2, bytes.end(), kBig, kBig + 8) != bytes.end();
    return;
  }
  if (opcode != 3) return;
  gSentData.push_back({static_cast<uint64_t>((bytes[2] << 8) | bytes[3]), std::vector<uint8_t>(bytes.begin() + 4, bytes.end())});
}

void SendReply(uint16_t clientPort) {
  World &w = *CurrentWorld();
  Require(w.firmware.Now() - gStart <= kWorstCase, "a call outlived its worst case");
  // A chain goes round a cyclic script at most once per datagram of the
  // driver, and the server falls silent after kMaxSends, or kIdleSends with
  // the transfer standing still: a server that sends several datagrams for
  // each of the driver's would otherwise multiply them without end in no
  // virtual time.
  for (size_t sent = 0; sent < gScript.size() && gSends < kMaxSends && gIdleSends < kIdleSends; ++sent) {
    if (gNext >= gScript.size()) {
      if (!gCyclic) return;
      gNext = 0;
    }
    ++gSends, ++gIdleSends;
    const Record &r = gScript[gNext++];
    std::vector<uint8_t> genuine;
    if (r.flags & 16) genuine = GenuineData(r);
    const std::vector<uint8_t> &bytes = (r.flags & 16) ? genuine : r.bytes;
    if (Verbose())
      std::fprintf(stderr, "  t=%.2f to port %u record %zu flags %u, %zu bytes, opcode %u\n",
                   double(w.firmware.Now() - gStart) / hosted::kTicksPerSecond, clientPort, gNext - 1, r.flags,
                   bytes.size(), bytes.size() >= 2 ? (bytes[0] << 8) | bytes[1] : 0);
    const bool toStation = (r.flags & 1) != 0;
    peers::UdpFields udp;
    // The fallback's transfer answers from its own port; the group transfer from the server port.
    udp.sourcePort = (r.flags & 4) ? kStrangerPort : clientPort == kClientPort ? kServerPort : kTransferPort;
    udp.destinationPort = toStation && clientPort != 0 ? clientPort : kClientPort;
    if (r.flags & 2) udp.checksum = 0x5A5A;
    // The first block of a listen, and a first reply, may come from any port.
    if (!(r.flags & 2)) Note(bytes);
    peers::Ipv4Fields ip;
    ip.source = kServerIp;
    ip.destination = toStation ? kClientIp : kGroup;
    const peers::Bytes payload = peers::BuildUdp(kServerIp, ip.destination, udp, bytes);
    const hosted::Mac to = toStation ? kClientMac : peers::MulticastMac(kGroup);
    if (payload.size() <= 1480) {
      w.server->SendIpv4(to, ip, payload);
    } else {
      ip.identification = w.server->NextIdentification();
      w.server->SendFragments(to, ip, payload, peers::SplitFragments(payload.size(), 1480));
    }
    if (!(r.flags & 8)) break;
  }
}

void OnFrame(const hosted::Frame &frame) {
  const auto ethernet = peers::ParseEthernet(frame.bytes);
  if (!ethernet || ethernet->etherType != peers::kEtherIpv4) return;
  const auto ip = peers::ParseIpv4(ethernet->payload);
  if (!ip || ip->offsetBytes != 0) return;
  if (ip->protocol == peers::kProtoIgmp) {
    SendReply(0);  // joined the group: the transfer under way reaches it
    return;
  }
  if (ip->protocol != peers::kProtoUdp || ip->payload.size() < 12) return;
  const peers::Bytes &u = ip->payload;
  if (u[8] == 0 && u[9] == 1) gNextBlock = 1;  // a request starts the file again
  if (u[8] == 0 && u[9] == 4) gNextBlock = static_cast<uint64_t>((u[10] << 8) | u[11]) + 1;
  if (u[8] == 0 && u[9] == 1) gIdleSends = 0, gHighestAck = 0;
  if (u[8] == 0 && u[9] == 4 && gNextBlock - 1 > gHighestAck) gIdleSends = 0, gHighestAck = gNextBlock - 1;
  SendReply(peers::GetBe16(u, 0));
}

void RunOnce(const uint8_t *data, size_t size) {
  World &w = *CurrentWorld();
  OrvaleProtocol *proto = w.child.protocol;
  ProtocolInstance *in = InstanceFromThis(proto);
  const uint8_t mode = size > 0 ? data[0] : 0;
  const bool countOnly = (mode & 1) != 0;
  const size_t capacity = size > 2 ? ((data[1] << 8) | data[2]) % 20000 : 4096;

  gScript.clear();
  gNext = 0;
  gSends = 0;
  gIdleSends = 0;
  gHighestAck = 0;
  gCyclic = (mode & 2) != 0;
  gNextBlock = 1;
  gEarlierData = std::move(gSentData);
  gSentData.clear();
  gAmbiguous = false;
  gScript = ParseRecords(data, size, 5);

  std::vector<uint8_t> buffer(capacity);
  for (size_t i = 0; i < capacity; ++i) buffer[i] = static_cast<uint8_t>(i * 13);
  UINT64 bufferSize = capacity;
  UINTN blockSize = kBlock;
  EFI_IP_ADDRESS server = Address(kServerIp);
  UINT8 name[] = "boot/image.efi";
  EFI_PXE_BASE_CODE_MTFTP_INFO info{};
  info.MCastIp = Address(kGroup);
  info.CPort = kClientPort;
  info.SPort = kServerPort;
  info.ListenTimeout = static_cast<UINT16>(1 + (size > 3 ? data[3] % 4 : 0));
  info.TransmitTimeout = static_cast<UINT16>(1 + (size > 4 ? data[4] % 4 : 0));
  // What an earlier call may have left behind; every request starts without it.
  in->UseBigBlockNumbers = (mode & 4) ? 1 : 0;
  UINT8 empty = 0;
  gStart = w.firmware.Now();
  const EFI_STATUS status = proto->Mtftp(proto, EFI_PXE_BASE_CODE_MTFTP_READ_FILE, capacity != 0 ? buffer.data() : &empty,
                                         FALSE, &bufferSize, &blockSize, &server, name, &info, countOnly);
  Require(w.firmware.Now() - gStart <= kWorstCase, "a call outlived its worst case");
  // For writing seeds: what the call came to.
  if (Verbose())
    std::fprintf(stderr, "fuzz_mtftp: status %#llx size %llu in %.1f s\n", static_cast<unsigned long long>(status),
                 static_cast<unsigned long long>(bufferSize), double(w.firmware.Now() - gStart) / hosted::kTicksPerSecond);
  if (status == EFI_SUCCESS && !countOnly) Require(bufferSize <= capacity, "read reported more than the buffer");
  if (status == EFI_SUCCESS && !countOnly && !gAmbiguous) {
    const bool forged = !AllGenuine(gSentData, kBlock) || !AllGenuine(gEarlierData, kBlock);
    if (!forged) {
      Require(MatchesPattern(buffer.data(), bufferSize, 0), "a read delivered bytes the server never sent");
    }
  }

  CheckBaselines(w);
  // Reports still due for the group are the driver's own business; let them go.
  w.firmware.Advance(12 * hosted::kTicksPerSecond);
  w.segment.ClearHistory();
  w.nic->sent.clear();
  w.server->ClearReceived();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  NewWorld(OnFrame);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (++gInputs % kInputsPerWorld == 0) {
    NewWorld(OnFrame);
    gSentData.clear();  // a new segment: nothing late of the old one
  }
  driver_world::LogInput(data, size);
  RunOnce(data, size);
  return 0;
}
