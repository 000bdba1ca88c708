// Small freestanding helpers shared by every layer: big-endian field types,
// a bounded view over received bytes, and the RAII guards the driver uses for
// what must be released on every path.
#ifndef ORVALE_INSTANCE_SUPPORT_H
#define ORVALE_INSTANCE_SUPPORT_H

#include "../include/efi/efi_system.h"

// Big-endian wire fields. Protocol code never swaps bytes by hand.
struct Be16 {
  UINT8 b[2];
  constexpr UINT16 get() const { return static_cast<UINT16>((b[0] << 8) | b[1]); }
  constexpr void set(UINT16 v) {
    b[0] = static_cast<UINT8>(v >> 8);
    b[1] = static_cast<UINT8>(v);
  }
};
struct Be32 {
  UINT8 b[4];
  constexpr UINT32 get() const {
    return (static_cast<UINT32>(b[0]) << 24) | (static_cast<UINT32>(b[1]) << 16) |
           (static_cast<UINT32>(b[2]) << 8) | b[3];
  }
  constexpr void set(UINT32 v) {
    b[0] = static_cast<UINT8>(v >> 24);
    b[1] = static_cast<UINT8>(v >> 16);
    b[2] = static_cast<UINT8>(v >> 8);
    b[3] = static_cast<UINT8>(v);
  }
};
// The few little-endian fields: the PXE exchanges' 16-bit xid, the seed
// taken from a hardware address.
struct Le16 {
  UINT8 b[2];
  constexpr UINT16 get() const { return static_cast<UINT16>(b[0] | (b[1] << 8)); }
  constexpr void set(UINT16 v) {
    b[0] = static_cast<UINT8>(v);
    b[1] = static_cast<UINT8>(v >> 8);
  }
};
// A wire field of type T at At, which may lie at any byte.
template <class T>
T *FieldAt(UINT8 *At) {
  return reinterpret_cast<T *>(At);
}
template <class T>
const T *FieldAt(const UINT8 *At) {
  return reinterpret_cast<const T *>(At);
}
static_assert(sizeof(Be16) == 2 && alignof(Be16) == 1, "Be16");
static_assert(sizeof(Le16) == 2 && alignof(Le16) == 1, "Le16");
static_assert(sizeof(Be32) == 4 && alignof(Be32) == 1, "Be32");

// An IPv4 address as 4 bytes in network order (the first 4 bytes of an EFI_IP_ADDRESS).
struct Ipv4Bytes {
  UINT8 b[4];
};

inline void CopyBytes(void *dst, const void *src, UINTN n) {
  if (n != 0) __builtin_memcpy(dst, src, n);
}
inline void ZeroBytes(void *dst, UINTN n) {
  if (n != 0) __builtin_memset(dst, 0, n);
}
inline bool SameBytes(const void *a, const void *b, UINTN n) {
  return n == 0 || __builtin_memcmp(a, b, n) == 0;
}

// A read-only window over bytes that actually arrived. Every accessor checks
// the window, so a parser built on it cannot read past the received data.
struct ByteView {
  const UINT8 *data = nullptr;
  UINTN size = 0;

  constexpr ByteView() = default;
  constexpr ByteView(const void *p, UINTN n) : data(static_cast<const UINT8 *>(p)), size(n) {}

  constexpr bool Has(UINTN offset, UINTN length) const { return offset <= size && length <= size - offset; }
  // A typed overlay of a wire header at offset, or null when it does not fit.
  template <class T>
  const T *At(UINTN offset) const {
    static_assert(alignof(T) == 1, "wire headers are byte-aligned");
    return Has(offset, sizeof(T)) ? reinterpret_cast<const T *>(data + offset) : nullptr;
  }
  constexpr ByteView Sub(UINTN offset, UINTN length) const {
    return Has(offset, length) ? ByteView(data + offset, length) : ByteView();
  }
  constexpr ByteView From(UINTN offset) const { return offset <= size ? ByteView(data + offset, size - offset) : ByteView(); }
  constexpr UINT8 operator[](UINTN i) const { return data[i]; }
};

template <class T>
constexpr T MinOf(T a, T b) {
  return a < b ? a : b;
}
template <class T>
constexpr T MaxOf(T a, T b) {
  return a < b ? b : a;
}
template <class T, UINTN N>
constexpr UINTN CountOf(const T (&)[N]) {
  return N;
}

// Four ASCII letters, first letter in the lowest byte.
constexpr UINT32 Signature32(char a, char b, char c, char d) {
  return static_cast<UINT32>(static_cast<UINT8>(a)) | (static_cast<UINT32>(static_cast<UINT8>(b)) << 8) |
         (static_cast<UINT32>(static_cast<UINT8>(c)) << 16) | (static_cast<UINT32>(static_cast<UINT8>(d)) << 24);
}

#endif
