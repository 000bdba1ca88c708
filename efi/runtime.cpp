// The few C library routines a freestanding PE32+ image must define itself:
// clang lowers struct copies, zeroing and large __builtin_mem* calls to these
// names. Linked into every EFI image; the hosted build uses the C library's.
//
// -ffreestanding keeps the compiler from turning the loops below back into
// calls to the functions they implement.
#include <stddef.h>
#include <stdint.h>

extern "C" {

void *memcpy(void *dst, const void *src, size_t n) {
  auto *d = static_cast<uint8_t *>(dst);
  const auto *s = static_cast<const uint8_t *>(src);
  for (size_t i = 0; i < n; ++i) d[i] = s[i];
  return dst;
}

void *memset(void *dst, int value, size_t n) {
  auto *d = static_cast<uint8_t *>(dst);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(value);
  return dst;
}

// Overlapping ranges: copy from the end when the destination lies above the source.
void *memmove(void *dst, const void *src, size_t n) {
  auto *d = static_cast<uint8_t *>(dst);
  const auto *s = static_cast<const uint8_t *>(src);
  if (d == s || n == 0) return dst;
  if (reinterpret_cast<uintptr_t>(d) - reinterpret_cast<uintptr_t>(s) >= n) {
    for (size_t i = 0; i < n; ++i) d[i] = s[i];
  } else {
    for (size_t i = n; i != 0; --i) d[i - 1] = s[i - 1];
  }
  return dst;
}

int memcmp(const void *a, const void *b, size_t n) {
  const auto *x = static_cast<const uint8_t *>(a);
  const auto *y = static_cast<const uint8_t *>(b);
  for (size_t i = 0; i < n; ++i) {
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  }
  return 0;
}

}  // extern "C"
