#include "tools/cli/session.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

namespace orvale_cli {

std::unique_ptr<DriverSession> DriverSession::Open(const std::string &interfaceName, std::string *error) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  std::unique_ptr<DriverSession> s(new DriverSession());
  s->wire_ = hosted::PacketSocketWire::Open(interfaceName, error);
  if (!s->wire_) return nullptr;
  s->fw_ = std::make_unique<hosted::Firmware>();
  s->fw_->UseRealTime(true);
  if (s->fw_->LoadDriver() == nullptr) {
    *error = "the driver's image entry failed";
    return nullptr;
  }
  s->nic_ = s->fw_->AddNic(s->wire_.get(), s->wire_->InterfaceMac());
  s->nic_->recordSent = false;
  s->poolBlocksBefore_ = s->fw_->LivePoolBlocks();
  s->eventsBefore_ = s->fw_->LiveEvents();
  EFI_STATUS status = s->fw_->ConnectDriver(s->nic_);
  if (status != EFI_SUCCESS) {
    *error = "connecting the driver: " + StatusName(status);
    return nullptr;
  }
  s->connected_ = true;
  status = hosted::CreateChild(*s->fw_, s->nic_, &s->child_);
  if (status != EFI_SUCCESS || s->child_.protocol == nullptr) {
    *error = "creating a child: " + StatusName(status);
    return nullptr;
  }
  status = s->child_.protocol->Start(s->child_.protocol);
  if (status != EFI_SUCCESS) {
    *error = "Start: " + StatusName(status);
    return nullptr;
  }
  s->started_ = true;
  return s;
}

DriverSession::~DriverSession() { Close(); }

std::string DriverSession::Close() {
  if (closed_) return "";
  closed_ = true;
  std::string problems;
  auto note = [&problems](const std::string &what) {
    if (!problems.empty()) problems += "; ";
    problems += what;
  };
  if (started_) {
    EFI_STATUS status = child_.protocol->Stop(child_.protocol);
    if (status != EFI_SUCCESS) note("Stop: " + StatusName(status));
  }
  if (child_.handle != nullptr) {
    EFI_STATUS status = hosted::DestroyChild(*fw_, nic_, child_.handle);
    if (status != EFI_SUCCESS) note("DestroyChild: " + StatusName(status));
    child_ = {};
  }
  if (connected_) {
    EFI_STATUS status = fw_->DisconnectDriver(nic_);
    if (status != EFI_SUCCESS) note("driver Stop: " + StatusName(status));
    size_t blocks = fw_->LivePoolBlocks();
    size_t events = fw_->LiveEvents();
    if (blocks != poolBlocksBefore_)
      note("pool blocks " + std::to_string(poolBlocksBefore_) + " before, " + std::to_string(blocks) + " after");
    if (events != eventsBefore_)
      note("events " + std::to_string(eventsBefore_) + " before, " + std::to_string(events) + " after");
  }
  return problems;
}

bool FrameRecorder::Open(hosted::Wire *wire, hosted::Mac own, const std::string &path, std::string *error) {
  Close();
  if (!pcap_.Open(path)) {
    *error = "cannot write " + path + ": " + strerror(errno);
    return false;
  }
  wire_ = wire;
  own_ = own;
  wire_->Attach(this);
  return true;
}

void FrameRecorder::Close() {
  if (wire_ != nullptr) wire_->Detach(this);
  wire_ = nullptr;
  pcap_.Close();
}

void FrameRecorder::Deliver(const hosted::Frame &frame) {
  // The wall clock, so the capture lines up with the servers' logs.
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  pcap_.Write(frame.bytes, static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u);
  ++frames_;
}

std::string StatusName(EFI_STATUS status) {
  static const char *const kErrors[] = {
      nullptr,
      "EFI_LOAD_ERROR",
      "EFI_INVALID_PARAMETER",
      "EFI_UNSUPPORTED",
      "EFI_BAD_BUFFER_SIZE",
      "EFI_BUFFER_TOO_SMALL",
      "EFI_NOT_READY",
      "EFI_DEVICE_ERROR",
      "EFI_WRITE_PROTECTED",
      "EFI_OUT_OF_RESOURCES",
      "EFI_VOLUME_CORRUPTED",
      "EFI_VOLUME_FULL",
      "EFI_NO_MEDIA",
      "EFI_MEDIA_CHANGED",
      "EFI_NOT_FOUND",
      "EFI_ACCESS_DENIED",
      "EFI_NO_RESPONSE",
      "EFI_NO_MAPPING",
      "EFI_TIMEOUT",
      "EFI_NOT_STARTED",
      "EFI_ALREADY_STARTED",
      "EFI_ABORTED",
      "EFI_ICMP_ERROR",
      "EFI_TFTP_ERROR",
      "EFI_PROTOCOL_ERROR",
      "EFI_INCOMPATIBLE_VERSION",
      "EFI_SECURITY_VIOLATION",
      "EFI_CRC_ERROR",
      "EFI_END_OF_MEDIA",
      nullptr,
      nullptr,
      "EFI_END_OF_FILE",
      "EFI_INVALID_LANGUAGE",
      "EFI_COMPROMISED_DATA",
  };
  if (status == EFI_SUCCESS) return "EFI_SUCCESS";
  if (EFI_ERROR(status)) {
    EFI_STATUS code = status & ~EFI_ERROR_BIT;
    if (code < sizeof kErrors / sizeof kErrors[0] && kErrors[code] != nullptr) return kErrors[code];
  }
  char text[32];
  snprintf(text, sizeof text, "EFI_STATUS 0x%llx", static_cast<unsigned long long>(status));
  return text;
}

bool ParseIpv4(const std::string &text, EFI_IP_ADDRESS *out) {
  EFI_IP_ADDRESS address{};
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    unsigned value = 0;
    size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || value > 255) return false;
    address.v4.Addr[part] = static_cast<UINT8>(value);
  }
  if (pos != text.size()) return false;
  *out = address;
  return true;
}

bool ParseIpv4Prefix(const std::string &text, EFI_IP_ADDRESS *address, EFI_IP_ADDRESS *mask) {
  size_t slash = text.find('/');
  if (slash == std::string::npos) return false;
  std::string bits = text.substr(slash + 1);
  if (bits.empty() || bits.size() > 2 || bits.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned n = static_cast<unsigned>(std::stoul(bits));
  if (n > 32 || !ParseIpv4(text.substr(0, slash), address)) return false;
  uint32_t m = n == 0 ? 0 : ~uint32_t{0} << (32 - n);
  *mask = {};
  for (int i = 0; i < 4; ++i) mask->v4.Addr[i] = static_cast<UINT8>(m >> (24 - 8 * i));
  return true;
}

std::string FormatIpv4(const EFI_IP_ADDRESS &address) {
  char text[16];
  snprintf(text, sizeof text, "%u.%u.%u.%u", address.v4.Addr[0], address.v4.Addr[1], address.v4.Addr[2],
           address.v4.Addr[3]);
  return text;
}

std::string FormatMac(const uint8_t *mac, size_t length) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < length; ++i) {
    snprintf(byte, sizeof byte, i == 0 ? "%02x" : ":%02x", mac[i]);
    text += byte;
  }
  return text;
}

hosted::Bytes Pattern(size_t n) {
  hosted::Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
  return bytes;
}

}  // namespace orvale_cli
