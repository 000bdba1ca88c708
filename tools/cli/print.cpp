#include "tools/cli/print.h"

#include <stdio.h>
#include <string.h>

#include "tools/cli/session.h"

namespace orvale_cli {

void PrintData(const uint8_t *data, size_t n) {
  bool text = n > 0;
  for (size_t i = 0; i < n && text; ++i)
    text = (data[i] >= 0x20 && data[i] < 0x7F) || data[i] == '\n' || data[i] == '\t';
  if (text) {
    printf("  data: %.*s\n", static_cast<int>(n), reinterpret_cast<const char *>(data));
    return;
  }
  const size_t shown = n < 256 ? n : 256;
  for (size_t row = 0; row < shown; row += 16) {
    printf("  %04zx:", row);
    for (size_t i = row; i < row + 16 && i < shown; ++i) printf(" %02x", data[i]);
    printf("\n");
  }
  if (shown < n) printf("  ... %zu more bytes\n", n - shown);
}

void PrintArpCache(const OrvaleMode *mode) {
  printf("  arp cache: %u entries\n", mode->ArpCacheEntries);
  for (UINT32 i = 0; i < mode->ArpCacheEntries && i < ORVALE_ARP_CACHE_SIZE; ++i)
    printf("    %-15s %s\n", FormatIpv4(mode->ArpCache[i].IpAddr).c_str(),
           FormatMac(mode->ArpCache[i].MacAddr.Addr).c_str());
}

void PrintIcmpError(const OrvaleMode *mode) {
  const EFI_PXE_BASE_CODE_ICMP_ERROR &e = mode->IcmpError;
  const char *what = e.Type == 3    ? "destination unreachable"
                     : e.Type == 4  ? "source quench"
                     : e.Type == 11 ? "time exceeded"
                     : e.Type == 12 ? "parameter problem"
                                    : "unexpected type";
  printf("  icmp error: type %u code %u (%s)\n", e.Type, e.Code, what);
  // The quoted datagram: its IPv4 header, then the first 8 bytes of its payload.
  const uint8_t *ip = e.Data;
  const size_t ihl = static_cast<size_t>(ip[0] & 0x0F) * 4;
  if ((ip[0] >> 4) == 4 && ihl >= 20 && ihl + 8 <= sizeof e.Data) {
    EFI_IP_ADDRESS src{}, dst{};
    memcpy(src.v4.Addr, ip + 12, 4);
    memcpy(dst.v4.Addr, ip + 16, 4);
    printf("  quoted: %s -> %s protocol %u", FormatIpv4(src).c_str(), FormatIpv4(dst).c_str(), ip[9]);
    if (ip[9] == 17) printf(" ports %u -> %u", (ip[ihl] << 8) | ip[ihl + 1], (ip[ihl + 2] << 8) | ip[ihl + 3]);
    printf("\n");
  }
}

void PrintFilter(const EFI_PXE_BASE_CODE_IP_FILTER &f) {
  printf("  filter: 0x%02x", f.Filters);
  for (UINT8 i = 0; i < f.IpCnt && i < EFI_PXE_BASE_CODE_MAX_IPCNT; ++i) printf(" %s", FormatIpv4(f.IpList[i]).c_str());
  printf("\n");
}

void PrintRate(UINT64 bytes, double seconds) {
  printf("  %llu bytes in %.3f s, %.2f MB/s\n", static_cast<unsigned long long>(bytes), seconds,
         seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0.0);
}

}  // namespace orvale_cli
