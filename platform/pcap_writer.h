// A classic pcap file (microsecond timestamps, Ethernet link type), written
// frame by frame and flushed after each, so a capture is readable while the
// program that writes it still runs.
#ifndef ORVALE_PLATFORM_PCAP_WRITER_H
#define ORVALE_PLATFORM_PCAP_WRITER_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace hosted {

class PcapWriter {
 public:
  PcapWriter() = default;
  ~PcapWriter() { Close(); }
  PcapWriter(const PcapWriter &) = delete;
  PcapWriter &operator=(const PcapWriter &) = delete;

  // Creates (or truncates) the file and writes the header; false when it cannot.
  bool Open(const std::string &path);
  bool IsOpen() const { return file_ != nullptr; }
  void Write(const std::vector<uint8_t> &frame, uint64_t microseconds);
  void Close();

 private:
  FILE *file_ = nullptr;
};

}  // namespace hosted

#endif
