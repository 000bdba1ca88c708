#include "tools/cli/command.h"

#include <poll.h>
#include <stdlib.h>
#include <time.h>

namespace orvale_cli {

double MonotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void Pause() { poll(nullptr, 0, 1); }

bool ParseUnsigned(const std::string &text, unsigned long max, unsigned long *out) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long v = std::stoul(text);
  if (v > max) return false;
  *out = v;
  return true;
}

bool ParseSeconds(const std::string &text, double *out) {
  char *end = nullptr;
  double v = strtod(text.c_str(), &end);
  if (text.empty() || end == nullptr || *end != '\0' || !(v >= 0) || v > 3600) return false;
  *out = v;
  return true;
}

bool IsMulticast(const EFI_IP_ADDRESS &a) { return (a.v4.Addr[0] & 0xF0) == 0xE0; }

}  // namespace orvale_cli
