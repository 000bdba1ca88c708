// What the reply fuzz targets check of every packet the driver kept or
// published, written from the receive rules and not from the driver's code:
// it is one of the datagrams the harness sent with a good checksum, whole
// and byte for byte, nothing behind its length; op 2, the exchange's xid,
// this client's chaddr zero-padded, a yiaddr that is not multicast; and every
// index entry points at an option that lies inside the bytes that arrived.
// One byte may differ: a PXE packet whose file field serves as its boot file
// name has the last byte of sname overwritten with the name's length.
#ifndef ORVALE_TESTS_FUZZ_REPLY_ORACLE_H
#define ORVALE_TESTS_FUZZ_REPLY_ORACLE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "include/orvale/orvale_protocol.h"

namespace reply_oracle {

class Oracle {
 public:
  explicit Oracle(const char *target) : target_(target) {}

  void Clear() { sent_.clear(); }
  // A UDP payload the harness put on the wire; only one whose checksum holds
  // may be taken.
  void Sent(const uint8_t *payload, size_t length, bool checksumGood) {
    if (checksumGood) sent_.emplace_back(payload, payload + length);
  }

  // A received slot: its length is the datagram's.
  void CheckSlot(const char *what, const PacketSlot &slot, const uint8_t mac[6], std::initializer_list<uint32_t> xids) {
    Require(slot.length <= ORVALE_PACKET_SIZE, what, "length beyond the packet");
    const size_t length = static_cast<size_t>(slot.length);
    CheckBytes(what, slot.packet.Raw, length, mac, xids);
    const uint8_t *begin = slot.packet.Raw;
    const uint8_t *end = begin + length;
    CheckIndex(what, slot.options, begin, end);
    CheckIndex(what, slot.vendorOptions, begin, end);
    // The slot is packed: its pointers are read byte-wise. Each points at an
    // option of its code that lies inside the bytes that arrived; a PXE
    // sub-option may instead be one of the driver's default constants.
    static constexpr uint8_t kCodes[ORVALE_DHCP_OPTION_REFS + ORVALE_PXE_OPTION_REFS] = {
        1, 3, 43, 52, 53, 54, 60, 67, 13, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 71};
    constexpr size_t kBootFileRef = 7, kFileAsBootFile = 106;
    const uint8_t *refs = reinterpret_cast<const uint8_t *>(&slot) + offsetof(PacketSlot, dhcpOptionRefs);
    for (size_t i = 0; i < ORVALE_DHCP_OPTION_REFS + ORVALE_PXE_OPTION_REFS; ++i) {
      const UINT8 *ref;
      std::memcpy(&ref, refs + i * sizeof(ref), sizeof(ref));
      if (ref == nullptr) continue;
      const bool inside = ref >= begin && ref + 2 <= end && ref + 2 + ref[1] <= end;
      if (i == kBootFileRef && ref == begin + kFileAsBootFile) continue;
      if (i < ORVALE_DHCP_OPTION_REFS) Require(inside, what, "a DHCP option reference outside the bytes that arrived");
      if (inside || ref < begin || ref >= end) Require(ref[0] == kCodes[i], what, "an option reference to another code");
      else Fail(what, "a PXE sub-option reference running past the bytes that arrived");
    }
  }

  // A published packet without a length: the datagram it holds is followed by zeros.
  void CheckPacket(const char *what, const DhcpPacket &packet, const uint8_t mac[6], std::initializer_list<uint32_t> xids) {
    for (const std::vector<uint8_t> &s : sent_) {
      if (s.size() > ORVALE_PACKET_SIZE || !Same(s, packet.Raw)) continue;
      if (Zero(packet.Raw + s.size(), ORVALE_PACKET_SIZE - s.size())) {
        CheckFields(what, packet.Raw, s.size(), mac, xids);
        return;
      }
    }
    Fail(what, "published bytes that no good datagram carried");
  }

 private:
  void CheckBytes(const char *what, const uint8_t *raw, size_t length, const uint8_t mac[6],
                  std::initializer_list<uint32_t> xids) {
    bool found = false;
    for (const std::vector<uint8_t> &s : sent_) {
      if (s.size() == length && Same(s, raw)) found = true;
    }
    if (!found && std::getenv("ORVALE_FUZZ_VERBOSE") != nullptr) {
      std::fprintf(stderr, "%s: kept %zu bytes; sent:", target_, length);
      for (const std::vector<uint8_t> &s : sent_) {
        size_t same = 0;
        while (same < s.size() && same < length && s[same] == raw[same]) ++same;
        std::fprintf(stderr, " %zu (same up to %zu)", s.size(), same);
      }
      std::fprintf(stderr, "\n");
    }
    Require(found, what, "kept bytes that no good datagram carried whole");
    Require(Zero(raw + length, ORVALE_PACKET_SIZE - length), what, "bytes behind the datagram not zero");
    CheckFields(what, raw, length, mac, xids);
  }

  void CheckFields(const char *what, const uint8_t *raw, size_t length, const uint8_t mac[6],
                   std::initializer_list<uint32_t> xids) {
    Require(length >= 240, what, "shorter than a header and its cookie");
    Require(raw[0] == 2, what, "not a BOOTREPLY");
    const uint32_t xid = (uint32_t(raw[4]) << 24) | (uint32_t(raw[5]) << 16) | (uint32_t(raw[6]) << 8) | raw[7];
    bool xidOk = false;
    for (uint32_t x : xids) xidOk = xidOk || x == xid;
    Require(xidOk, what, "another exchange's xid");
    Require(raw[16] <= 223, what, "a multicast yiaddr");
    Require(std::memcmp(raw + 28, mac, 6) == 0 && Zero(raw + 34, 10), what, "another client's chaddr");
  }

  void CheckIndex(const char *what, const OptionIndex &index, const uint8_t *begin, const uint8_t *end) {
    Require(index.count >= 0 && index.count <= index.capacity, what, "index count beyond its capacity");
    for (INT32 i = 0; i < index.count; ++i) {
      const UINT8 *entry;
      std::memcpy(&entry, reinterpret_cast<const uint8_t *>(index.entries) + i * sizeof(entry), sizeof(entry));
      Require(entry >= begin && entry < end, what, "an index entry outside the bytes that arrived");
      if (entry[0] == 0 || entry[0] == 255) continue;
      Require(entry + 2 <= end && entry + 2 + entry[1] <= end, what, "an indexed option running past the bytes that arrived");
    }
  }

  // The sent bytes, but for the length of a boot file name the file field carries.
  static bool Same(const std::vector<uint8_t> &sent, const uint8_t *raw) {
    constexpr size_t kSnameLast = 107, kFile = 108, kFileSize = 128;
    if (sent.size() < kFile + kFileSize) return std::memcmp(sent.data(), raw, sent.size()) == 0;
    size_t name = 0;
    while (name < kFileSize && raw[kFile + name] != 0) ++name;
    for (size_t i = 0; i < sent.size(); ++i) {
      if (raw[i] == sent[i]) continue;
      if (i == kSnameLast && name != 0 && raw[i] == name) continue;
      return false;
    }
    return true;
  }

  static bool Zero(const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; ++i)
      if (p[i] != 0) return false;
    return true;
  }
  void Require(bool ok, const char *what, const char *why) {
    if (!ok) Fail(what, why);
  }
  [[noreturn]] void Fail(const char *what, const char *why) {
    std::fprintf(stderr, "%s: %s: %s\n", target_, what, why);
    std::abort();
  }

  const char *target_;
  std::vector<std::vector<uint8_t>> sent_;
};

}  // namespace reply_oracle

#endif
