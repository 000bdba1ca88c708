// What the two TFTP fuzz targets share: the driver world (driver_world.h) on
// a simulated segment whose frames take 10 ms, a scripted server station,
// the script's records, the genuine file's pattern and the checks every input
// ends with. Each target defines driver_world::kTargetName and its own
// reaction to the driver's frames.
#ifndef ORVALE_TESTS_FUZZ_TFTP_WORLD_H
#define ORVALE_TESTS_FUZZ_TFTP_WORLD_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "net/net.h"
#include "peers/station.h"
#include "platform/hosted.h"
#include "tests/fuzz/driver_world.h"

namespace tftp_fuzz {

using driver_world::kInputsPerWorld;
using driver_world::Require;
using driver_world::World;

constexpr hosted::Mac kClientMac = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
constexpr hosted::Mac kServerMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr peers::Ip4 kServerIp = {10, 0, 0, 1};
constexpr peers::Ip4 kClientIp = {10, 0, 0, 2};
constexpr size_t kMaxRecords = 64;
constexpr size_t kMaxReply = 9000;
constexpr uint64_t kFrameDelay = 10 * hosted::kTicksPerMs;
// The server falls silent after this many datagrams: one that sends several
// for each of the driver's would otherwise multiply them without end.
constexpr size_t kMaxSends = 4096;
// And after this many since the driver last moved the transfer on (a request
// or a new block): a junk ping-pong otherwise runs the driver's whole window
// at 20 ms a round, thousands of rounds alike. A driver that restarts its
// window on junk still overruns it once the server falls silent.
constexpr size_t kIdleSends = 512;

inline EFI_IP_ADDRESS Address(const peers::Ip4 &a) {
  EFI_IP_ADDRESS ip{};
  for (int i = 0; i < 4; ++i) ip.v4.Addr[i] = a[i];
  return ip;
}

// The genuine file's byte at offset at.
inline uint8_t Pattern(uint64_t at) { return static_cast<uint8_t>((at * 131) ^ (at >> 9) ^ 0x5A); }

// The pattern repeats every 2^17 bytes (bits 0-7 of at * 131, bits 9-16 of
// at), so a block of up to 64 KB is one copy out of a table a period and a
// block long: made a byte at a time, genuine blocks took a tenth of an
// input's time. Offsets wrap as the pattern does, so any uint64_t will do.
constexpr uint64_t kPatternPeriod = uint64_t{1} << 17;
constexpr size_t kPatternChunk = 65536;

inline const uint8_t *PatternTable() {
  static const std::vector<uint8_t> table = [] {
    std::vector<uint8_t> t(kPatternPeriod + kPatternChunk);
    for (size_t i = 0; i < t.size(); ++i) t[i] = Pattern(i);
    return t;
  }();
  return table.data();
}

// Appends the pattern's bytes [from, to).
inline void FillPattern(std::vector<uint8_t> &out, uint64_t from, uint64_t to) {
  while (from < to) {
    const size_t n = to - from < kPatternChunk ? static_cast<size_t>(to - from) : kPatternChunk;
    const uint8_t *p = PatternTable() + from % kPatternPeriod;
    out.insert(out.end(), p, p + n);
    from += n;
  }
}

// True when the n bytes at p are the pattern's from offset from on.
inline bool MatchesPattern(const uint8_t *p, size_t n, uint64_t from) {
  for (size_t done = 0; done < n;) {
    const size_t chunk = n - done < kPatternChunk ? n - done : kPatternChunk;
    if (std::memcmp(p + done, PatternTable() + (from + done) % kPatternPeriod, chunk) != 0) return false;
    done += chunk;
  }
  return true;
}

struct Record {
  uint8_t flags;
  std::vector<uint8_t> bytes;
};

// Records [flags, length high, length low, bytes...] from offset at on.
inline std::vector<Record> ParseRecords(const uint8_t *data, size_t size, size_t at) {
  std::vector<Record> script;
  while (at + 3 <= size && script.size() < kMaxRecords) {
    Record r;
    r.flags = data[at];
    size_t length = (static_cast<size_t>(data[at + 1]) << 8) | data[at + 2];
    at += 3;
    if (length > size - at) length = size - at;
    if (length > kMaxReply) length = kMaxReply;
    r.bytes.assign(data + at, data + at + length);
    at += length;
    script.push_back(std::move(r));
  }
  return script;
}

// DATA the driver could take as genuine (a good checksum, from any port), as it reads it.
// A block the server built from the pattern keeps no copy: pattern points into
// the pattern's table, where the block starts.
struct SentData {
  uint64_t block;
  std::vector<uint8_t> data;
  const uint8_t *pattern = nullptr;
  size_t patternLength = 0;
};

// True when every such block carries the genuine file's bytes at blockSize.
inline bool AllGenuine(const std::vector<SentData> &sent, uint64_t blockSize) {
  for (const SentData &d : sent) {
    if (d.block == 0) return false;
    const bool copied = d.pattern == nullptr;
    if (!MatchesPattern(copied ? d.data.data() : d.pattern, copied ? d.data.size() : d.patternLength,
                        (d.block - 1) * blockSize))
      return false;
  }
  return true;
}

inline World *&CurrentWorld() { return driver_world::Current(); }

// A started instance with the station address and the server in its ARP
// cache; what it keeps until Stop is in the baselines.
inline World &NewWorld(std::function<void(const hosted::Frame &)> onFrame) {
  return driver_world::Renew(
      kClientMac, kClientIp[3],
      [&](World &w) {
        w.server = std::make_unique<peers::Station>(&w.segment, kServerMac, kServerIp);
        w.server->OnFrame = std::move(onFrame);
        w.server->SetKeepReceived(false);
        hosted::SegmentFaults faults;
        faults.delay = kFrameDelay;
        w.segment.SetFaults(faults);
      },
      [](World &w) {
        OrvaleProtocol *proto = w.child.protocol;
        EFI_IP_ADDRESS server = Address(kServerIp);
        EFI_PXE_BASE_CODE_IP_FILTER filter{};
        filter.Filters = EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP;
        Require(proto->SetIpFilter(proto, &filter) == EFI_SUCCESS, "SetIpFilter");
        EFI_MAC_ADDRESS mac{};
        Require(proto->Arp(proto, &server, &mac) == EFI_SUCCESS, "Arp");
      });
}

// What every call must leave as it found it.
inline void CheckBaselines(World &w) {
  ProtocolInstance *in = InstanceFromThis(w.child.protocol);
  Require(in->State.IpFilter.Filters == EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP, "station filter restored");
  Require(w.firmware.LivePoolBlocks() == w.poolBaseline, "pool not back to its baseline");
  Require(w.firmware.LiveEvents() == w.eventBaseline, "events not back to their baseline");
  Require(w.firmware.CurrentTpl() == w.tpl, "TPL not restored");
  Require(w.nic->UnrecycledBuffers() == 0, "a received buffer was not recycled");
  Require(w.firmware.Errors().empty(), "firmware misuse");
  Require(in->State.TftpError.ErrorString[126] == 0, "error text unterminated");
}

// For writing seeds: ORVALE_FUZZ_VERBOSE=1 prints each reply and each call's end.
inline bool Verbose() {
  static const bool on = std::getenv("ORVALE_FUZZ_VERBOSE") != nullptr;
  return on;
}

}  // namespace tftp_fuzz

#endif
