// ParsePacket over arbitrary bytes, at the input's length and at shorter
// ones, then every lookup the exchanges make on the result. The bytes past
// the parsed length are poisoned, so any read beyond what arrived is a
// finding; so is a pool block left behind once both indexes are cleared,
// and any FreePool of something the pool did not give out.
#include <sanitizer/asan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dhcp/codec.h"
#include "platform/hosted.h"

namespace {

hosted::Firmware *gFirmware = nullptr;
PacketSlot *gSlot = nullptr;
size_t gPoolBaseline = 0;

void Require(bool ok, const char *what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_dhcp_packet: %s\n", what);
  std::abort();
}

bool Inside(const UINT8 *p, size_t n, size_t arrived) {
  const UINT8 *base = gSlot->packet.Raw;
  return p >= base && p <= base + arrived && n <= static_cast<size_t>(base + arrived - p);
}

// A positioned walk of one code: every instance, in order, inside what arrived.
int32_t WalkCode(const OptionIndex &index, int code, size_t arrived) {
  int32_t found = 0, last = 0;
  int32_t position = 0;
  uint32_t length = 0;
  while (const UINT8 *value = OptionIndexFind(&index, static_cast<UINT8>(code), &length, &position)) {
    Require(code != 0 && code != 255, "PAD or END found");
    Require(Inside(value - 2, length + 2, arrived), "option outside the packet");
    Require(value[-2] == code && value[-1] == length, "value does not follow its code and length");
    Require(position > last && position <= index.count, "position out of range");
    last = position;
    ++found;
  }
  return found;
}

// Every option an entry names lies inside what arrived, and a search that
// starts at an entry's position finds that entry. With everyCode, positioned
// walks of all 256 codes find every entry exactly once (small indexes only:
// the walk costs 256 scans of the index); otherwise the codes the exchanges
// walk are walked in full.
void WalkIndex(const OptionIndex &index, size_t arrived, bool everyCode) {
  Require(index.count >= 0 && index.count <= index.capacity, "count within capacity");
  Require((index.entries == nullptr) == (index.capacity == 0), "entries match capacity");
  if (!everyCode || index.count > 16) {
    for (int32_t i = 0; i < index.count; ++i) {
      const UINT8 code = index.entries[i][0];
      int32_t position = i;
      uint32_t length = 0;
      const UINT8 *value = OptionIndexFind(&index, code, &length, &position);
      Require(code != 0 && code != 255 && value == index.entries[i] + 2, "entry not found at its position");
      Require(Inside(value - 2, length + 2, arrived), "option outside the packet");
      Require(position == i + 1, "position after a match");
    }
    for (int code : {0, 1, 3, 43, 52, 53, 54, 60, 67, 255}) WalkCode(index, code, arrived);
    return;
  }
  int32_t found = 0;
  for (int code = 0; code < 256; ++code) found += WalkCode(index, code, arrived);
  Require(found == index.count, "an entry was not found by its code");
}

void CheckEmpty(const PacketSlot &slot) {
  Require(slot.options.entries == nullptr && slot.options.count == 0, "options left after a rejection");
  Require(slot.vendorOptions.entries == nullptr && slot.vendorOptions.count == 0, "vendor options left");
  Require(slot.slotFlags == 0, "flags left after a rejection");
}

void RunOnce(const uint8_t *data, size_t size, uint64_t length, int failNth, bool everyCode) {
  const size_t copied = size < sizeof(gSlot->packet.Raw) ? size : sizeof(gSlot->packet.Raw);
  const size_t arrived = length < copied ? static_cast<size_t>(length) : copied;
  std::memset(gSlot->packet.Raw, 0, sizeof(gSlot->packet.Raw));
  std::memcpy(gSlot->packet.Raw, data, copied);
  gSlot->length = length;
  __asan_poison_memory_region(gSlot->packet.Raw + arrived, sizeof(gSlot->packet.Raw) - arrived);

  gFirmware->FailAllocation(failNth);
  const bool ok = ParsePacket(gSlot, length);
  gFirmware->FailAllocation(-1);
  if (ok) {
    Require(arrived >= 240, "accepted a packet shorter than its fixed fields");
    WalkIndex(gSlot->options, arrived, everyCode);
    WalkIndex(gSlot->vendorOptions, arrived, everyCode);
    Require((gSlot->slotFlags & ORVALE_SLOT_FLAG_WIRL) != 0 || gSlot->vendorOptions.count == 0,
            "vendor options without the WIRL flag");
    uint32_t nameLength = 0;
    if (const UINT8 *name = GetBootFileName(gSlot, &nameLength)) {
      Require(nameLength > 0 && Inside(name, nameLength, arrived), "boot file name outside the packet");
    }
  } else {
    CheckEmpty(*gSlot);
  }
  OptionIndexClear(&gSlot->options);
  OptionIndexClear(&gSlot->vendorOptions);
  __asan_unpoison_memory_region(gSlot->packet.Raw, sizeof(gSlot->packet.Raw));
  Require(gFirmware->LivePoolBlocks() == gPoolBaseline, "pool not back to its baseline");
  Require(gFirmware->Errors().empty(), "FreePool of a block the pool did not give out");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  gFirmware = new hosted::Firmware();
  gSlot = static_cast<PacketSlot *>(std::calloc(1, sizeof(PacketSlot)));
  gPoolBaseline = gFirmware->LivePoolBlocks();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  RunOnce(data, size, size, -1, true);
  if (size == 0) return 0;
  RunOnce(data, size, size - 1, -1, false);
  const uint64_t shorter = size / 2 + data[0] % 7;
  RunOnce(data, size, shorter < size ? shorter : size - 1, -1, false);
  // One failed allocation, chosen by the input, must reject cleanly or not matter.
  RunOnce(data, size, size, data[size - 1] % 5, false);
  return 0;
}
