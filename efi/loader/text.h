// Small freestanding text helpers the loader's parsers share: bounded views
// into a buffer and the numbers and addresses in them.
#ifndef ORVALE_EFI_LOADER_TEXT_H
#define ORVALE_EFI_LOADER_TEXT_H

#include "include/efi/efi_types.h"

namespace loadertext {

// One line's key or value: a bounded view into the text.
struct Span {
  const UINT8 *Data = nullptr;
  UINTN Length = 0;
};

inline bool IsSpace(UINT8 c) { return c == ' ' || c == '\t' || c == '\r'; }

inline Span Trim(Span s) {
  while (s.Length != 0 && IsSpace(s.Data[0])) {
    ++s.Data;
    --s.Length;
  }
  while (s.Length != 0 && IsSpace(s.Data[s.Length - 1])) --s.Length;
  return s;
}

inline bool Is(Span s, const char *Word) {
  UINTN i = 0;
  for (; Word[i] != '\0'; ++i) {
    if (i >= s.Length || s.Data[i] != static_cast<UINT8>(Word[i])) return false;
  }
  return i == s.Length;
}

// Decimal without sign; false on anything else or above Max.
inline bool ParseNumber(Span s, UINT64 Max, UINT64 *Out) {
  if (s.Length == 0) return false;
  UINT64 value = 0;
  for (UINTN i = 0; i < s.Length; ++i) {
    const UINT8 c = s.Data[i];
    if (c < '0' || c > '9') return false;
    const UINT64 digit = c - '0';
    if (digit > Max || value > (Max - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *Out = value;
  return true;
}

// Dotted quad, each part 0..255 without leading garbage.
inline bool ParseIpv4(Span s, UINT8 (&Out)[4]) {
  UINT8 parts[4];
  UINTN at = 0;
  for (UINTN part = 0; part < 4; ++part) {
    if (part != 0) {
      if (at >= s.Length || s.Data[at] != '.') return false;
      ++at;
    }
    const UINTN start = at;
    while (at < s.Length && at - start < 3 && s.Data[at] >= '0' && s.Data[at] <= '9') ++at;
    UINT64 value = 0;
    if (!ParseNumber(Span{s.Data + start, at - start}, 255, &value)) return false;
    parts[part] = static_cast<UINT8>(value);
  }
  if (at != s.Length) return false;
  for (UINTN i = 0; i < 4; ++i) Out[i] = parts[i];
  return true;
}

}  // namespace loadertext

#endif
