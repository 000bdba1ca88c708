// The hosted driver running on a real interface: a simulated firmware on the
// real clock, the driver loaded and connected to a NIC whose MNP is a packet
// socket, one started child. Shared by the orvale tool and the real-network
// tests, so both drive exactly the same stack.
#ifndef ORVALE_TOOLS_CLI_SESSION_H
#define ORVALE_TOOLS_CLI_SESSION_H

#include <memory>
#include <optional>
#include <string>

#include "platform/hosted.h"
#include "platform/packet_socket_wire.h"
#include "platform/pcap_writer.h"

namespace orvale_cli {

class DriverSession {
 public:
  // Opens the interface and brings the driver up to a started child; null with
  // *error set when any step fails (whatever was built is torn down again).
  static std::unique_ptr<DriverSession> Open(const std::string &interfaceName, std::string *error);
  // Stops the child, destroys it and disconnects the driver.
  ~DriverSession();
  DriverSession(const DriverSession &) = delete;
  DriverSession &operator=(const DriverSession &) = delete;

  OrvaleProtocol *Protocol() const { return child_.protocol; }
  hosted::Firmware &Firmware() { return *fw_; }
  hosted::PacketSocketWire &Wire() { return *wire_; }
  hosted::Mac Mac() const { return wire_->InterfaceMac(); }

  // Tears down now and reports what did not come back: an empty string when
  // Stop, DestroyChild and the driver's Stop succeeded and no pool block or
  // event is left; otherwise what was wrong. Idempotent.
  std::string Close();

 private:
  DriverSession() = default;
  std::unique_ptr<hosted::PacketSocketWire> wire_;
  std::unique_ptr<hosted::Firmware> fw_;
  hosted::Nic *nic_ = nullptr;
  hosted::Child child_;
  bool connected_ = false;
  bool started_ = false;
  bool closed_ = false;
  size_t poolBlocksBefore_ = 0;
  size_t eventsBefore_ = 0;
};

// Writes every frame on a wire to a pcap file as it is delivered: what the
// interface received and, at the next pump, what the driver sent.
class FrameRecorder : public hosted::Port {
 public:
  // False with *error when the file cannot be created.
  bool Open(hosted::Wire *wire, hosted::Mac own, const std::string &path, std::string *error);
  ~FrameRecorder() override { Close(); }
  // Detaches and closes the file; frames the driver sent since the last pump
  // are lost unless the wire was pumped first.
  void Close();
  hosted::Mac Address() const override { return own_; }
  void Deliver(const hosted::Frame &frame) override;
  uint64_t Frames() const { return frames_; }

 private:
  hosted::Wire *wire_ = nullptr;
  hosted::Mac own_{};
  hosted::PcapWriter pcap_;
  uint64_t frames_ = 0;
};

// "EFI_TIMEOUT", or "EFI_STATUS 0x..." for a value without a name.
std::string StatusName(EFI_STATUS status);
// Dotted-quad IPv4 into the first 4 bytes of an EFI_IP_ADDRESS (the rest zero).
bool ParseIpv4(const std::string &text, EFI_IP_ADDRESS *out);
// "A.B.C.D/N" with N 0..32: the address and its mask.
bool ParseIpv4Prefix(const std::string &text, EFI_IP_ADDRESS *address, EFI_IP_ADDRESS *mask);
std::string FormatIpv4(const EFI_IP_ADDRESS &address);
std::string FormatMac(const uint8_t *mac, size_t length = 6);
// The n bytes 0..n-1 of the test pattern both ends of a real-network check agree on.
hosted::Bytes Pattern(size_t n);

}  // namespace orvale_cli

#endif
