// ICMP message header (RFC 792) and the error types the driver records.
// Layout and constants only.
#ifndef ORVALE_NET_ICMP_WIRE_H
#define ORVALE_NET_ICMP_WIRE_H

#include "../instance/support.h"

struct IcmpHeader {
  UINT8 type;
  UINT8 code;
  Be16 checksum;
  Be32 rest;  // unused, pointer or MTU depending on the type
};
static_assert(sizeof(IcmpHeader) == 8, "IcmpHeader");
static_assert(offsetof(IcmpHeader, checksum) == 2, "ICMP checksum");

constexpr UINT8 kIcmpDestinationUnreachable = 3;
constexpr UINT8 kIcmpSourceQuench = 4;
constexpr UINT8 kIcmpTimeExceeded = 11;
constexpr UINT8 kIcmpParameterProblem = 12;

constexpr bool IsIcmpErrorType(UINT8 Type) {
  return Type == kIcmpDestinationUnreachable || Type == kIcmpSourceQuench || Type == kIcmpTimeExceeded ||
         Type == kIcmpParameterProblem;
}

#endif
