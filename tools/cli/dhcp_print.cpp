#include "tools/cli/dhcp_print.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace orvale_cli {

Options DhcpOptionsOf(const uint8_t *m, size_t n) {
  Options out;
  if (n < 240 || m[236] != 99 || m[237] != 130 || m[238] != 83 || m[239] != 99) return out;
  for (size_t at = 240; at < n && m[at] != 255;) {
    if (m[at] == 0) {
      ++at;
      continue;
    }
    if (at + 2 > n || at + 2 + m[at + 1] > n) break;
    out.emplace_back(m[at], hosted::Bytes(m + at + 2, m + at + 2 + m[at + 1]));
    at += 2 + m[at + 1];
  }
  return out;
}

const hosted::Bytes *FindIn(const Options &options, uint8_t code) {
  for (const auto &o : options)
    if (o.first == code) return &o.second;
  return nullptr;
}

Options WirlSubOptions(const Options &o) {
  Options out;
  for (const auto &[code, v] : o) {
    if (code != 43) continue;
    for (size_t at = 0; at + 2 <= v.size() && at + 2 + v[at + 1] <= v.size(); at += 2 + v[at + 1])
      out.emplace_back(v[at], hosted::Bytes(v.begin() + at + 2, v.begin() + at + 2 + v[at + 1]));
  }
  return out;
}

std::string Ip4Text(const hosted::Bytes &b, size_t at) {
  if (b.size() < at + 4) return "?";
  char t[16];
  snprintf(t, sizeof t, "%u.%u.%u.%u", b[at], b[at + 1], b[at + 2], b[at + 3]);
  return t;
}

std::string Hex(const hosted::Bytes &b) {
  std::string s;
  char t[4];
  for (uint8_t c : b) {
    snprintf(t, sizeof t, "%02x", c);
    s += t;
  }
  return s;
}

namespace {

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *format, ...) {
  char t[320];
  va_list args;
  va_start(args, format);
  vsnprintf(t, sizeof t, format, args);
  va_end(args);
  return t;
}

std::string Text(const hosted::Bytes &b) {
  std::string s;
  for (uint8_t c : b) s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  return s;
}

}  // namespace

std::vector<std::string> PxePacketLines(const char *label, const uint8_t *m, size_t n) {
  std::vector<std::string> lines;
  const hosted::Bytes none;
  const hosted::Bytes yiaddr = n >= 20 ? hosted::Bytes(m + 16, m + 20) : none;
  const Options options = DhcpOptionsOf(m, n);
  const Options sub = WirlSubOptions(options);  // the same option 43 walk
  const hosted::Bytes *id = FindIn(options, 54);
  auto any = [&](std::initializer_list<uint8_t> codes) {
    return std::any_of(codes.begin(), codes.end(), [&](uint8_t c) { return FindIn(sub, c) != nullptr; });
  };
  auto all = [&](std::initializer_list<uint8_t> codes) {
    return std::all_of(codes.begin(), codes.end(), [&](uint8_t c) { return FindIn(sub, c) != nullptr; });
  };
  const hosted::Bytes *vendorClass = FindIn(options, 60);
  const bool pxeClass = vendorClass != nullptr && vendorClass->size() >= 9 &&
                        std::equal(vendorClass->begin(), vendorClass->begin() + 9, "PXEClient");
  const int offerClass = any({6, 7, 8, 9, 10, 71})                      ? 1
                         : all({1, 2, 3, 4, 5})                         ? 2
                         : pxeClass || any({1, 2, 3, 4, 5, 12}) ? 3
                                                                        : 0;
  lines.push_back(Format("  %s: yiaddr %s server %s class %d", label, Ip4Text(yiaddr).c_str(),
                         id != nullptr && id->size() >= 4 ? Ip4Text(*id).c_str() : "0.0.0.0", offerClass));
  if (const hosted::Bytes *file = FindIn(options, 67)) {
    lines.push_back("    boot file: " + Text(*file));
  } else if (n >= 236 && m[108] != 0) {
    lines.push_back("    boot file: " + Text(hosted::Bytes(m + 108, std::find(m + 108, m + 236, 0))));
  }
  if (const hosted::Bytes *v = FindIn(sub, 6); v != nullptr && !v->empty())
    lines.push_back(Format("    discovery control: 0x%02x", (*v)[0]));
  if (const hosted::Bytes *v = FindIn(sub, 7); v != nullptr && v->size() >= 4)
    lines.push_back("    discovery multicast: " + Ip4Text(*v));
  if (const hosted::Bytes *v = FindIn(sub, 8)) {
    for (size_t at = 0; at + 3 <= v->size() && at + 3 + 4u * (*v)[at + 2] <= v->size(); at += 3 + 4u * (*v)[at + 2]) {
      std::string line = Format("    boot servers of type %u:", ((*v)[at] << 8) | (*v)[at + 1]);
      for (size_t i = 0; i < (*v)[at + 2]; ++i) line += " " + Ip4Text(*v, at + 3 + 4 * i);
      lines.push_back(line);
    }
  }
  if (const hosted::Bytes *v = FindIn(sub, 9)) {
    for (size_t at = 0; at + 3 <= v->size() && at + 3u + (*v)[at + 2] <= v->size(); at += 3u + (*v)[at + 2]) {
      const hosted::Bytes text(v->begin() + at + 3, v->begin() + at + 3 + (*v)[at + 2]);
      lines.push_back(Format("    menu: type %u \"%s\"", ((*v)[at] << 8) | (*v)[at + 1], Text(text).c_str()));
    }
  }
  if (const hosted::Bytes *v = FindIn(sub, 71); v != nullptr && v->size() >= 4)
    lines.push_back(Format("    boot item: type %u layer %u", ((*v)[0] << 8) | (*v)[1], (((*v)[2] << 8) | (*v)[3]) & 0x7FFF));
  return lines;
}

WirlHeard::WirlHeard(hosted::Wire *wire, hosted::Mac own) : wire_(wire), own_(own) {
  if (wire_ != nullptr) wire_->Attach(this);
}

WirlHeard::~WirlHeard() {
  if (wire_ != nullptr) wire_->Detach(this);
}

void WirlHeard::Deliver(const hosted::Frame &frame) { Take(frame.bytes); }

void WirlHeard::Take(const hosted::Bytes &f) {
  // Unfragmented IPv4 UDP only; the ports are looked at before anything is decoded.
  if (f.size() < 14 + 20 + 8 || f[12] != 0x08 || f[13] != 0x00 || (f[14] >> 4) != 4 || f[14 + 9] != 17) return;
  const size_t ihl = static_cast<size_t>(f[14] & 0x0F) * 4;
  if (ihl < 20 || (f[14 + 6] & 0x3F) != 0 || f[14 + 7] != 0 || f.size() < 14 + ihl + 8) return;
  const uint8_t *u = f.data() + 14 + ihl;
  const unsigned from = (u[0] << 8) | u[1], to = (u[2] << 8) | u[3];
  const bool reply = (from == 67 || from == 7799) && to == 68;
  const bool ours = from == 68 && std::equal(own_.begin(), own_.end(), f.begin() + 6);
  if (!reply && !(ours && chosen_.empty())) return;
  const Options options = DhcpOptionsOf(u + 8, f.size() - 14 - ihl - 8);
  const Options sub = WirlSubOptions(options);
  const hosted::Bytes *kind = FindIn(sub, 1);
  if (kind == nullptr || kind->size() != 1) return;
  if (ours) {
    if ((*kind)[0] != 2) return;
    const hosted::Bytes *img = FindIn(sub, 8);
    const hosted::Bytes *srv = FindIn(sub, 3);
    chosen_ = "chose image " + (img ? Hex(*img) : std::string("?")) + " on " + (srv ? Ip4Text(*srv) : "?");
    return;
  }
  const hosted::Bytes *id = FindIn(options, 54);
  if (id == nullptr || (*kind)[0] != 1) return;
  std::string line = "heard " + Ip4Text(*id);
  if (const hosted::Bytes *v = FindIn(sub, 4); v != nullptr && v->size() >= 2)
    line += " priority " + std::to_string(((*v)[0] << 8) | (*v)[1]);
  if (const hosted::Bytes *v = FindIn(sub, 7)) line += " default " + Hex(*v);
  if (const hosted::Bytes *v = FindIn(sub, 8)) line += " selected " + Hex(*v);
  if (std::find(heard_.begin(), heard_.end(), line) != heard_.end()) return;
  if (heard_.size() >= kMaxHeard) {
    ++passed_;
    return;
  }
  heard_.push_back(std::move(line));
}

}  // namespace orvale_cli
