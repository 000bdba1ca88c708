// The boot images a boot server offers: where each file is, the name and kind
// it is listed under, its priority, and the 4-byte identifier WIRL names it by
// (the low 7 bits of the first byte are the kind). The list goes out in the
// servers' LIST replies in this layout, which the loader reads
// (efi/loader/image_list.h):
//
//   per image: identifier (4 bytes), name length n (1 byte), name (n bytes)
//
// split into sub-option 9 pieces of at most 255 bytes each.
#ifndef ORVALE_TOOLS_BOOT_SERVER_IMAGES_H
#define ORVALE_TOOLS_BOOT_SERVER_IMAGES_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bootserver {

using Bytes = std::vector<uint8_t>;

struct BootImage {
  std::string path;        // the file on this host
  std::string name;        // listed name, at most 255 bytes; default: the file's name
  uint8_t kind = 3;        // 0..127
  uint16_t priority = 0;   // the highest is the server's default image
  std::array<uint8_t, 4> id{};
  // The name a client asks TFTP for: the file's own name, without folders.
  std::string BootFileName() const;
};

// Parses "FILE[,name=NAME][,kind=K][,priority=P][,id=8HEX]". The identifier
// defaults to kind, 0, 0, ordinal (1-based). nullopt with *error on a
// malformed option.
std::optional<BootImage> ParseImageOption(const std::string &text, unsigned ordinal, std::string *error);

// The list in the layout above, images in the order given.
Bytes EncodeImageList(const std::vector<BootImage> &images);
// The encoded list cut into sub-option 9 values of at most 255 bytes.
std::vector<Bytes> SubOption9Pieces(const Bytes &list);
// The image of highest priority; the first of equals. Null for an empty list.
const BootImage *DefaultImage(const std::vector<BootImage> &images);
// The image with this identifier, or null.
const BootImage *FindImage(const std::vector<BootImage> &images, const std::array<uint8_t, 4> &id);

}  // namespace bootserver

#endif
