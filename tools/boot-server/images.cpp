#include "images.h"

#include <algorithm>
#include <sstream>

namespace bootserver {

namespace {

constexpr size_t kMaxName = 255;
constexpr size_t kMaxPiece = 255;

std::string Trim(const std::string &s) {
  const size_t first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool ParseUnsigned(const std::string &text, unsigned long max, unsigned long *out) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long value = std::stoul(text);
  if (value > max) return false;
  *out = value;
  return true;
}

bool ParseId(const std::string &text, std::array<uint8_t, 4> *out) {
  if (text.size() != 8 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
  for (size_t i = 0; i < 4; ++i) (*out)[i] = static_cast<uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
  return true;
}

}  // namespace

std::string BootImage::BootFileName() const {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<BootImage> ParseImageOption(const std::string &text, unsigned ordinal, std::string *error) {
  std::vector<std::string> fields;
  std::stringstream in(text);
  for (std::string field; std::getline(in, field, ',');) fields.push_back(Trim(field));
  if (fields.empty() || fields[0].empty()) {
    *error = "image '" + text + "': no file";
    return std::nullopt;
  }
  BootImage image;
  image.path = fields[0];
  image.name = image.BootFileName();
  bool explicitId = false;
  for (size_t i = 1; i < fields.size(); ++i) {
    const size_t equals = fields[i].find('=');
    const std::string key = fields[i].substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : fields[i].substr(equals + 1);
    unsigned long number = 0;
    if (key == "name" && !value.empty() && value.size() <= kMaxName) {
      image.name = value;
    } else if (key == "kind" && ParseUnsigned(value, 127, &number)) {
      image.kind = static_cast<uint8_t>(number);
    } else if (key == "priority" && ParseUnsigned(value, 65535, &number)) {
      image.priority = static_cast<uint16_t>(number);
    } else if (key == "id" && ParseId(value, &image.id)) {
      explicitId = true;
    } else {
      *error = "image '" + text + "': bad field '" + fields[i] + "' (name=1..255 bytes, kind=0..127, "
               "priority=0..65535, id=8 hex digits)";
      return std::nullopt;
    }
  }
  if (image.name.size() > kMaxName) {
    *error = "image '" + text + "': name longer than 255 bytes";
    return std::nullopt;
  }
  if (!explicitId) {
    image.id = {image.kind, 0, static_cast<uint8_t>(ordinal >> 8), static_cast<uint8_t>(ordinal)};
  } else if ((image.id[0] & 0x7F) != image.kind) {
    // The identifier carries the kind, and wins over a kind= given beside it.
    image.kind = image.id[0] & 0x7F;
  }
  return image;
}

Bytes EncodeImageList(const std::vector<BootImage> &images) {
  Bytes out;
  for (const BootImage &image : images) {
    out.insert(out.end(), image.id.begin(), image.id.end());
    const size_t n = std::min(image.name.size(), kMaxName);
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), image.name.begin(), image.name.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return out;
}

std::vector<Bytes> SubOption9Pieces(const Bytes &list) {
  std::vector<Bytes> pieces;
  for (size_t at = 0; at < list.size(); at += kMaxPiece) {
    const size_t n = std::min(kMaxPiece, list.size() - at);
    pieces.emplace_back(list.begin() + static_cast<std::ptrdiff_t>(at),
                        list.begin() + static_cast<std::ptrdiff_t>(at + n));
  }
  return pieces;
}

const BootImage *DefaultImage(const std::vector<BootImage> &images) {
  const BootImage *best = nullptr;
  for (const BootImage &image : images) {
    if (best == nullptr || image.priority > best->priority) best = &image;
  }
  return best;
}

const BootImage *FindImage(const std::vector<BootImage> &images, const std::array<uint8_t, 4> &id) {
  for (const BootImage &image : images) {
    if (image.id == id) return &image;
  }
  return nullptr;
}

}  // namespace bootserver
