#include "platform/pcap_writer.h"

namespace hosted {

namespace {

void PutLe32(FILE *f, uint32_t v) {
  const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                        static_cast<uint8_t>(v >> 24)};
  fwrite(b, 1, 4, f);
}

void PutLe16(FILE *f, uint16_t v) {
  const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
  fwrite(b, 1, 2, f);
}

}  // namespace

bool PcapWriter::Open(const std::string &path) {
  Close();
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  PutLe32(f, 0xA1B2C3D4u);  // classic pcap, microsecond timestamps
  PutLe16(f, 2);
  PutLe16(f, 4);
  PutLe32(f, 0);      // thiszone
  PutLe32(f, 0);      // sigfigs
  PutLe32(f, 65535);  // snaplen
  PutLe32(f, 1);      // LINKTYPE_ETHERNET
  fflush(f);
  file_ = f;
  return true;
}

void PcapWriter::Write(const std::vector<uint8_t> &frame, uint64_t microseconds) {
  if (file_ == nullptr) return;
  PutLe32(file_, static_cast<uint32_t>(microseconds / 1'000'000));
  PutLe32(file_, static_cast<uint32_t>(microseconds % 1'000'000));
  PutLe32(file_, static_cast<uint32_t>(frame.size()));
  PutLe32(file_, static_cast<uint32_t>(frame.size()));
  fwrite(frame.data(), 1, frame.size(), file_);
  fflush(file_);
}

void PcapWriter::Close() {
  if (file_ != nullptr) fclose(file_);
  file_ = nullptr;
}

}  // namespace hosted
