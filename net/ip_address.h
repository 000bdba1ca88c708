// IPv4 address tests on the 4-byte network-order form (the first 4 bytes of
// an EFI_IP_ADDRESS). Only these helpers compare or mask addresses.
#ifndef ORVALE_NET_IP_ADDRESS_H
#define ORVALE_NET_IP_ADDRESS_H

#include "../instance/support.h"

constexpr UINTN kIpv4AddressLength = 4;

inline bool SameIpv4(const void *A, const void *B) { return SameBytes(A, B, kIpv4AddressLength); }

inline bool IsZeroIpv4(const void *Address) {
  const UINT8 *B = static_cast<const UINT8 *>(Address);
  return (B[0] | B[1] | B[2] | B[3]) == 0;
}

// 224.0.0.0 to 239.255.255.255.
inline bool IsMulticastIpv4(const void *Address) { return (static_cast<const UINT8 *>(Address)[0] & 0xF0) == 0xE0; }

inline bool IsLimitedBroadcastIpv4(const void *Address) {
  const UINT8 *B = static_cast<const UINT8 *>(Address);
  return (B[0] & B[1] & B[2] & B[3]) == 0xFF;
}

// Every byte of (A XOR B) AND Mask is zero.
inline bool SameSubnetIpv4(const void *A, const void *B, const void *Mask) {
  const UINT8 *X = static_cast<const UINT8 *>(A);
  const UINT8 *Y = static_cast<const UINT8 *>(B);
  const UINT8 *M = static_cast<const UINT8 *>(Mask);
  for (UINTN i = 0; i < kIpv4AddressLength; ++i) {
    if (((X[i] ^ Y[i]) & M[i]) != 0) return false;
  }
  return true;
}

// A full EFI_IP_ADDRESS holding Address in its first 4 bytes.
inline EFI_IP_ADDRESS Ipv4ToEfi(const void *Address) {
  EFI_IP_ADDRESS Result;
  ZeroBytes(&Result, sizeof(Result));
  CopyBytes(Result.v4.Addr, Address, kIpv4AddressLength);
  return Result;
}

#endif
