// The TFTP client under hostile servers: the input chooses an operation of
// the Mtftp member and scripts the server's replies. Each time the driver
// sends a datagram (request, ACK, DATA of a write), the next reply of the
// script goes back to the port it came from, from the transfer's port or a
// stranger's, with a good or a broken UDP checksum; when the script runs out
// the server falls silent (or, for a cyclic script, starts over, so a server
// that never stops answering is tried too) and the driver's timeouts end the
// call. Every frame takes 10 ms across the segment, as on a real link. The
// caller's buffer is exactly as large as declared, so a write past it is a
// finding; after every input the pool, the events and the TPL must be back
// at their baselines.
//
// Two oracles look past crashes. A read that returns EFI_SUCCESS must have
// delivered the genuine file: the server's file is a fixed pattern, and
// unless a datagram with a good checksum (from any port: a first reply names
// the transfer's port) carried other bytes (a forgery the driver could not
// tell), every byte delivered must be the pattern's. And no wait outlives
// its window, however the server answers: between two steps of progress the
// driver shows on the wire (a request, the first ACK of a block, a new block
// of a write) and from the last of them to the call's end, at most
// one block's window budget passes; the whole call stays within its worst
// case.
//
// Input: byte 0 operation (low 2 bits: read, get size, count-only read,
// write; bit 7 a cyclic script); bytes 1-2 buffer size; bytes 3-4 block size
// asked for; then records [flags, length high, length low, bytes...]: flags
// bit 0 from a stranger port, bit 1 broken checksum, bit 2 send the next
// record at once too, bit 3 a genuine DATA block in place of the bytes: its
// block number from bytes 0-1 (0: the block after the last one the driver
// acknowledged), its block size from bytes 2-3 (0: the size asked for) and the
// file's length from bytes 4-5 (0: three blocks and 100 bytes).
#include <cstring>
#include <vector>

#include "tests/fuzz/tftp_world.h"

const char *const driver_world::kTargetName = "fuzz_tftp";

namespace {

using namespace tftp_fuzz;

constexpr uint16_t kTransferPort = 40000;
constexpr uint16_t kStrangerPort = 40001;
// A standing transfer also falls silent after this many bytes: 512 blocks of
// 64 KB that the driver must reassemble and refuse made a few inputs cost as
// much as the rest.
constexpr size_t kIdleBytes = 1024 * 1024;
// The genuine file's longest length, for a record that asks for it; unless
// one does, the file is three blocks and a short one, which reach every step
// of a read where all 128 of the longest made an input cost hundreds of
// datagrams.
constexpr uint64_t kFileLength = 65535;
// The worst case of any operation here, in virtual seconds: the open with and
// without options (3 requests of 5.1 s each), then at most one window budget
// (5 waits of 4.1 s) per block of the file and per record of the script, a
// read that did not fit followed by the size request doing it all again.
constexpr uint64_t kOpenWorst = 2 * 3 * 51 * hosted::kTicksPerSecond / 10;
constexpr uint64_t kBlockWorst = 5 * 41 * hosted::kTicksPerSecond / 10;
constexpr uint64_t kWorstCase = 2 * (kOpenWorst + (kFileLength / 512 + 1 + kMaxRecords + 2) * kBlockWorst) +
                                hosted::kTicksPerSecond;

// Five waits of 4.1 s for one block, the longest budget any step has, and
// the frames' time across the segment.
constexpr uint64_t kStepWorst = kBlockWorst + 4 * kFrameDelay;

size_t gInputs = 0;
std::vector<Record> gScript;
size_t gNext = 0;
bool gCyclic = false;
size_t gSends = 0;
size_t gIdleSends = 0;  // since the driver's last request or new block
size_t gIdleBytes = 0;  // and the bytes they carried
int64_t gIdleHighest = -1;  // that block, which an ERROR to a stranger does not reset
uint64_t gLastProgress = 0;
int64_t gHighestBlock = -1;  // of the transfer under way, acknowledged or written
uint64_t gLastAck = 0;
uint64_t gStart = 0;
UINTN gAskedBlockSize = 0;
ProtocolInstance *gInstance = nullptr;
std::vector<SentData> gSentData;
bool gAmbiguous = false;  // a datagram whose header length the driver may read otherwise

// Into out, a buffer kept from datagram to datagram: a fresh 64 KB one each
// time cost as much as filling it.
void GenuineData(const Record &r, uint64_t *patternFrom, std::vector<uint8_t> &out) {
  const std::vector<uint8_t> &b = r.bytes;
  uint64_t block = b.size() >= 2 ? (b[0] << 8) | b[1] : 0;
  if (block == 0) block = gLastAck + 1;
  uint64_t size = b.size() >= 4 ? (b[2] << 8) | b[3] : 0;
  if (size == 0) size = gAskedBlockSize;
  out.clear();
  if (gInstance->UseBigBlockNumbers) {
    out.insert(out.end(), {0, 8});
    for (int i = 7; i >= 0; --i) out.push_back(static_cast<uint8_t>(block >> (8 * i)));
  } else {
    out.insert(out.end(), {0, 3, static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)});
  }
  uint64_t length = b.size() >= 6 ? (b[4] << 8) | b[5] : 0;
  if (length == 0) length = 3 * size + 100;
  const uint64_t from = (block - 1) * size;
  *patternFrom = from;
  FillPattern(out, from, from + size < length ? from + size : length);
}

void Note(const std::vector<uint8_t> &bytes, bool burstHadOack, const uint64_t *patternFrom) {
  if (bytes.size() < 2) return;
  const unsigned opcode = (bytes[0] << 8) | bytes[1];
  if (opcode == 6) return;
  if (burstHadOack) gAmbiguous = true;  // sent before the driver read an OACK that may change the header
  const size_t header = gInstance->UseBigBlockNumbers ? 10 : 4;
  if (bytes.size() < header || (opcode != 3 && opcode != 8)) return;
  uint64_t block = 0;
  for (size_t i = 2; i < header; ++i) block = (block << 8) | bytes[i];
  const size_t length = bytes.size() - header;
  // The table holds a period and a chunk: a slice of it that long is in bounds.
  if (patternFrom && length <= kPatternChunk)
    gSentData.push_back({block, {}, PatternTable() + *patternFrom % kPatternPeriod, length});
  else
    gSentData.push_back({block, std::vector<uint8_t>(bytes.begin() + header, bytes.end())});
}

void SendReply(uint16_t clientPort) {
  World &w = *CurrentWorld();
  Require(w.firmware.Now() - gStart <= kWorstCase, "a call outlived its worst case");
  bool hadOack = false;
  // A chain goes round a cyclic script at most once per datagram of the
  // driver, and the server falls silent after kMaxSends, or kIdleSends (or
  // kIdleBytes) with the transfer standing still: a server that sends several
  // datagrams for each of the driver's would otherwise multiply them without
  // end in no virtual time.
  for (size_t sent = 0; sent < gScript.size() && gSends < kMaxSends && gIdleSends < kIdleSends && gIdleBytes < kIdleBytes;
       ++sent) {
    if (gNext >= gScript.size()) {
      if (!gCyclic) return;
      gNext = 0;
    }
    ++gSends, ++gIdleSends;
    const Record &r = gScript[gNext++];
    static std::vector<uint8_t> genuine;
    uint64_t patternFrom = 0;
    if (r.flags & 8) GenuineData(r, &patternFrom, genuine);
    const std::vector<uint8_t> &bytes = (r.flags & 8) ? genuine : r.bytes;
    gIdleBytes += bytes.size();
    if (Verbose())
      std::fprintf(stderr, "  t=%.2f to port %u record %zu flags %u, %zu bytes, opcode %u\n",
                   double(w.firmware.Now() - gStart) / hosted::kTicksPerSecond, clientPort, gNext - 1, r.flags,
                   bytes.size(), bytes.size() >= 2 ? (bytes[0] << 8) | bytes[1] : 0);
    peers::UdpFields udp;
    udp.sourcePort = (r.flags & 1) ? kStrangerPort : kTransferPort;
    udp.destinationPort = clientPort;
    if (r.flags & 2) udp.checksum = 0x5A5A;
    // A first reply may come from any port (it names the transfer), so every
    // datagram with a good checksum is one the driver could take.
    if (!(r.flags & 2)) {
      Note(bytes, hadOack, (r.flags & 8) ? &patternFrom : nullptr);
      if (bytes.size() >= 2 && bytes[0] == 0 && bytes[1] == 6) hadOack = true;
    }
    peers::Ipv4Fields ip;
    ip.source = kServerIp;
    ip.destination = kClientIp;
    const peers::Bytes payload = peers::BuildUdp(kServerIp, kClientIp, udp, bytes);
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
  // The block the driver acknowledges: a genuine server sends the next.
  const peers::Bytes &u = ip->payload;
  const uint64_t now = CurrentWorld()->firmware.Now();
  Require(now - gLastProgress <= kStepWorst, "a wait outlived its window");
  const unsigned opcode = u.size() >= 10 ? (u[8] << 8) | u[9] : 0;
  int64_t block = -1;
  if (u.size() >= 12 && (opcode == 3 || opcode == 4)) block = (u[10] << 8) | u[11];
  if (u.size() >= 18 && opcode == 9) {
    block = 0;
    for (size_t i = 10; i < 18; ++i) block = (block << 8) | u[i];
  }
  if (opcode == 4 || opcode == 9) gLastAck = static_cast<uint64_t>(block);
  // An ERROR is no progress: one to a stranger leaves the transfer's window
  // running, and an abort ends the call.
  if (opcode == 1 || opcode == 2 || opcode == 7) {
    gLastProgress = now;
    gHighestBlock = -1;
  } else if (block > gHighestBlock) {
    gLastProgress = now;
    gHighestBlock = block;
  }
  // An ERROR may only answer a stranger's datagram: the transfer stands still.
  if (opcode == 1 || opcode == 2 || opcode == 7) {
    gIdleSends = 0;
    gIdleBytes = 0;
    gIdleHighest = -1;
  } else if (opcode != 5 && block > gIdleHighest) {
    gIdleSends = 0;
    gIdleBytes = 0;
    gIdleHighest = block;
  }
  SendReply(peers::GetBe16(ip->payload, 0));
}

void RunOnce(const uint8_t *data, size_t size) {
  World &w = *CurrentWorld();
  OrvaleProtocol *proto = w.child.protocol;

  const uint8_t op = size > 0 ? data[0] & 0x03 : 0;
  const size_t capacity = size > 2 ? ((data[1] << 8) | data[2]) % 20000 : 4096;
  UINTN blockSize = size > 4 ? static_cast<UINTN>((data[3] << 8) | data[4]) : 8192;

  gScript.clear();
  gNext = 0;
  gSends = 0;
  gIdleSends = 0;
  gIdleBytes = 0;
  gIdleHighest = -1;
  gCyclic = size > 0 && (data[0] & 0x80) != 0;
  gLastAck = 0;
  gSentData.clear();
  gAmbiguous = false;
  gInstance = InstanceFromThis(proto);
  gScript = ParseRecords(data, size, 5);

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
  // The block size the driver will ask for, as the member clamps it.
  gAskedBlockSize = blockSize > capacity ? capacity : blockSize;
  if (gAskedBlockSize < 512) gAskedBlockSize = 512;
  if (gAskedBlockSize > 8192) gAskedBlockSize = 8192;
  gStart = w.firmware.Now();
  gLastProgress = gStart;
  gHighestBlock = -1;
  const EFI_STATUS status =
      proto->Mtftp(proto, kOps[op], capacity != 0 ? buffer.data() : &empty, FALSE, &bufferSize, &blockSize, &server,
                   name, nullptr, op == 2);
  if (status == EFI_SUCCESS && (op == 0)) Require(bufferSize <= capacity, "read reported more than the buffer");
  Require(blockSize <= 65464, "block size beyond RFC 2348");
  Require(w.firmware.Now() - gStart <= kWorstCase, "a call outlived its worst case");
  // The last wait, and the 10 ms the member stalls before it returns.
  Require(w.firmware.Now() - gLastProgress <= kStepWorst + 10 * hosted::kTicksPerMs, "the last wait outlived its window");
  // For writing seeds: what the call came to.
  if (Verbose())
    std::fprintf(stderr, "fuzz_tftp: status %#llx size %llu in %.1f s\n", static_cast<unsigned long long>(status),
                 static_cast<unsigned long long>(bufferSize), double(w.firmware.Now() - gStart) / hosted::kTicksPerSecond);
  if (status == EFI_SUCCESS && op == 0 && !gAmbiguous) {
    const bool forged = !AllGenuine(gSentData, blockSize);
    if (!forged) {
      Require(MatchesPattern(buffer.data(), bufferSize, 0), "a read delivered bytes the server never sent");
    }
  }

  CheckBaselines(w);
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
  if (++gInputs % kInputsPerWorld == 0) NewWorld(OnFrame);
  driver_world::LogInput(data, size);
  RunOnce(data, size);
  return 0;
}
