// ParsePxePacket and ValidatePxeBootInfo over arbitrary bytes, at the input's
// length and at shorter ones, and as a 1472-byte copy. The bytes past what
// arrived are poisoned, so any read beyond them is a finding; so is any
// recorded option or sub-option whose value does not lie wholly inside what
// arrived (or, for sub-options, inside its option 43), and any flag that
// disagrees with the references.
#include <sanitizer/asan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pxe/pxe.h"

namespace {

PacketSlot *gSlot = nullptr;

void Require(bool ok, const char *what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_pxe_packet: %s\n", what);
  std::abort();
}

bool Inside(const UINT8 *p, size_t n, size_t arrived) {
  const UINT8 *base = gSlot->packet.Raw;
  return p >= base && p <= base + arrived && n <= static_cast<size_t>(base + arrived - p);
}

void CheckReferences(size_t arrived, bool validated) {
  const UINT8 *base = gSlot->packet.Raw;
  for (UINTN i = 0; i < ORVALE_DHCP_OPTION_REFS; ++i) {
    const UINT8 *ref = gSlot->dhcpOptionRefs[i];
    if (ref == nullptr) continue;
    if (i == kRefBootFile && ref == base + 106 && !(ref[0] == 67 && ref[1] == 0)) {
      // The file field as option 67 (not an empty option 67 overloaded into
      // sname's last two bytes): its length byte counts the name.
      Require(arrived >= 236 && ref[1] >= 1 && ref[1] <= 128, "file-field name length");
      continue;
    }
    Require(Inside(ref, 2u + ref[1], arrived), "option outside what arrived");
    Require(ref[0] != 0 && ref[0] != 255, "PAD or END recorded");
  }
  // The byte the file-field length is written to belongs to no other record.
  if (gSlot->dhcpOptionRefs[kRefBootFile] == base + 106 && base[106 + 1] != 0) {
    for (UINTN i = 0; i < ORVALE_DHCP_OPTION_REFS; ++i) {
      const UINT8 *ref = gSlot->dhcpOptionRefs[i];
      if (i == kRefBootFile || ref == nullptr) continue;
      Require(!(base + 107 >= ref && base + 107 < ref + 2 + ref[1]), "file-field length over a recorded option");
    }
  }
  const UINT8 *vendor = gSlot->dhcpOptionRefs[kRefVendor];
  for (UINTN i = 0; i < ORVALE_PXE_OPTION_REFS; ++i) {
    const UINT8 *ref = gSlot->pxeOptionRefs[i];
    if (ref == nullptr) continue;
    if (validated && (ref == DefaultDiscoveryControl || ref == DefaultBootItem)) continue;
    Require(Inside(ref, 2u + ref[1], arrived), "sub-option outside what arrived");
    // Overload may bring further options 43; the last one recorded need not be this one's.
    Require(vendor != nullptr, "sub-option without option 43");
  }
  const UINT8 flags = gSlot->pxeFlags;
  Require((flags & 0xF0) == 0, "undefined flag bits");
  if (flags & kPxeFlagCredentials) Require((flags & kPxeFlagReply) != 0, "credentials without the PXE flag");
  if (flags & kPxeFlagMtftp) Require((flags & kPxeFlagReply) != 0, "multicast TFTP without the PXE flag");
}

void RunOnce(const uint8_t *data, size_t size, size_t arrived) {
  std::memset(gSlot, 0, sizeof(*gSlot));
  std::memcpy(gSlot->packet.Raw, data, size);
  __asan_poison_memory_region(gSlot->packet.Raw + arrived, sizeof(gSlot->packet.Raw) - arrived);
  ParsePxePacket(gSlot, arrived);
  CheckReferences(arrived, false);
  const BOOLEAN valid = ValidatePxeBootInfo(gSlot);
  CheckReferences(arrived, true);
  if (valid && (gSlot->pxeFlags & kPxeFlagBootServer)) {
    UINT8 length = 0;
    Require(PxeSubOption(gSlot, kRefDiscoveryControl, &length) != nullptr && length >= 1, "control checked");
    Require(PxeSubOption(gSlot, kRefBootItem, &length) != nullptr && length >= 3, "boot item checked");
  }
  (void)AcceptPxeAck(gSlot);
  __asan_unpoison_memory_region(gSlot->packet.Raw, sizeof(gSlot->packet.Raw));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  gSlot = static_cast<PacketSlot *>(std::calloc(1, sizeof(PacketSlot)));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const size_t copied = size < sizeof(gSlot->packet.Raw) ? size : sizeof(gSlot->packet.Raw);
  RunOnce(data, copied, copied);
  if (copied == 0) return 0;
  RunOnce(data, copied, copied - 1);
  RunOnce(data, copied, copied / 2 + data[0] % 7 < copied ? copied / 2 + data[0] % 7 : copied - 1);
  // A kept copy is parsed over the whole buffer, zeros after the data.
  std::memset(gSlot, 0, sizeof(*gSlot));
  std::memcpy(gSlot->packet.Raw, data, copied);
  ParsePxePacket(gSlot, sizeof(gSlot->packet.Raw));
  CheckReferences(sizeof(gSlot->packet.Raw), false);
  (void)ValidatePxeBootInfo(gSlot);
  return 0;
}
