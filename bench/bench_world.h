// What the TFTP benches start from: the driver on the hosted firmware with a
// started child (station 10.0.0.2/24) on a simulated segment, a server
// station at 10.0.0.1 beside it, and the file both benches read.
#ifndef ORVALE_BENCH_BENCH_WORLD_H
#define ORVALE_BENCH_BENCH_WORLD_H

#include <cstring>

#include "peers/station.h"
#include "platform/hosted.h"

namespace bench_world {

constexpr hosted::Mac kClientMac = {0x52, 0x54, 0x00, 0x12, 0x34, 0x57};
constexpr hosted::Mac kServerMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
constexpr peers::Ip4 kClientIp = {10, 0, 0, 2};
constexpr peers::Ip4 kServerIp = {10, 0, 0, 1};

struct World {
  hosted::SimSegment segment;
  hosted::Firmware firmware;
  hosted::Nic *nic = nullptr;
  hosted::Child child;
  OrvaleProtocol *p = nullptr;
  EFI_IP_ADDRESS server{};

  World() {
    firmware.LoadDriver();
    nic = firmware.AddNic(&segment, kClientMac);
    firmware.ConnectDriver(nic);
    hosted::CreateChild(firmware, nic, &child);
    p = child.protocol;
    p->Start(p);
    EFI_IP_ADDRESS ip{}, mask{};
    std::memcpy(ip.v4.Addr, kClientIp.data(), 4);
    std::memcpy(server.v4.Addr, kServerIp.data(), 4);
    const uint8_t m[4] = {255, 255, 255, 0};
    std::memcpy(mask.v4.Addr, m, 4);
    p->SetStationIp(p, &ip, &mask);
  }
  ~World() {
    p->Stop(p);
    firmware.DisconnectDriver(nic);
  }
  World(const World &) = delete;
  World &operator=(const World &) = delete;
};

// The file's bytes: no two neighbouring blocks alike.
inline hosted::Bytes File(size_t size) {
  hosted::Bytes file(size);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  return file;
}

}  // namespace bench_world

#endif
