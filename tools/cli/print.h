// How the tool prints what the driver published: received data, the ARP
// cache, an ICMP error, the IP filter, a transfer's rate.
#ifndef ORVALE_TOOLS_CLI_PRINT_H
#define ORVALE_TOOLS_CLI_PRINT_H

#include <cstddef>
#include <cstdint>

#include "include/orvale/orvale_protocol.h"

namespace orvale_cli {

// Printable text as is, anything else as a hex dump of its first bytes.
void PrintData(const uint8_t *data, size_t n);
void PrintArpCache(const OrvaleMode *mode);
void PrintIcmpError(const OrvaleMode *mode);
void PrintFilter(const EFI_PXE_BASE_CODE_IP_FILTER &f);
void PrintRate(UINT64 bytes, double seconds);

}  // namespace orvale_cli

#endif
