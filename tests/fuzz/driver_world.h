// The world every packet-path fuzz target runs in: the hosted firmware with
// the driver loaded, one NIC on a simulated segment, and a started child with
// a station address in 10.0.0.0/24. The simulated firmware keeps a record of
// every event and frame it saw, so a target builds a fresh world every
// kInputsPerWorld inputs; ending one checks that Stop and the driver's Stop
// leave no pool block. Each target defines kTargetName.
#ifndef ORVALE_TESTS_FUZZ_DRIVER_WORLD_H
#define ORVALE_TESTS_FUZZ_DRIVER_WORLD_H

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include <sanitizer/asan_interface.h>

#include "instance/instance.h"
#include "peers/station.h"
#include "platform/hosted.h"

namespace driver_world {

extern const char *const kTargetName;

constexpr size_t kInputsPerWorld = 50;

inline EFI_IP_ADDRESS Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  EFI_IP_ADDRESS ip{};
  ip.v4.Addr[0] = a, ip.v4.Addr[1] = b, ip.v4.Addr[2] = c, ip.v4.Addr[3] = d;
  return ip;
}

struct World {
  hosted::SimSegment segment;
  hosted::Firmware firmware;
  hosted::Nic *nic = nullptr;
  hosted::Child child;
  ProtocolInstance *instance = nullptr;
  std::unique_ptr<peers::Station> server;  // a target's scripted peer, if it has one
  size_t poolBaseline = 0;
  size_t eventBaseline = 0;
  EFI_TPL tpl = 0;
};

inline World *&Current() {
  static World *world = nullptr;
  return world;
}

// ORVALE_FUZZ_WORLD_LOG=<dir>: when an input fails, the current world's
// inputs up to it are written there in order (0000, 0001, ...), so a finding
// that needs the inputs before it in the same world replays with
// `<target> <dir>/*`. Kept in memory until then: a file per input cost a
// seventh of the run.
inline std::vector<std::vector<uint8_t>> &WorldInputs() {
  static std::vector<std::vector<uint8_t>> inputs;
  return inputs;
}
inline const char *WorldLogDir() {
  static const char *const dir = std::getenv("ORVALE_FUZZ_WORLD_LOG");
  return dir;
}
inline void WriteWorldInputs() {
  if (WorldLogDir() == nullptr) return;
  char name[4096];
  for (size_t i = 0; i < WorldInputs().size(); ++i) {
    std::snprintf(name, sizeof name, "%s/%04zu", WorldLogDir(), i);
    if (FILE *f = std::fopen(name, "wb")) {
      std::fwrite(WorldInputs()[i].data(), 1, WorldInputs()[i].size(), f);
      std::fclose(f);
    }
  }
  std::fprintf(stderr, "%s: this world's %zu inputs written to %s\n", kTargetName, WorldInputs().size(), WorldLogDir());
}
inline void LogInput(const uint8_t *data, size_t size) {
  if (WorldLogDir() == nullptr) return;
  // An ASan report ends the run without passing Require.
  static const bool hooked = (__asan_set_error_report_callback([](const char *) { WriteWorldInputs(); }), true);
  (void)hooked;
  WorldInputs().emplace_back(data, data + size);
}
inline void ForgetLoggedInputs() { WorldInputs().clear(); }

inline void Require(bool ok, const char *what) {
  if (ok) return;
  std::fprintf(stderr, "%s: %s\n", kTargetName, what);
  WriteWorldInputs();
  std::abort();
}

// A world is given up with Stop and the driver's Stop; both must leave nothing.
inline void End() {
  World *w = Current();
  if (w == nullptr) return;
  Require(w->child.protocol->Stop(w->child.protocol) == EFI_SUCCESS, "Stop");
  Require(w->firmware.DisconnectDriver(w->nic) == EFI_SUCCESS, "DisconnectDriver");
  Require(w->firmware.LivePoolBlocks() == 0, "pool left after the driver stopped");
  w->server.reset();
}

// Ends the current world and builds the next: beforeConnect runs once the NIC
// is on the segment, afterStart once the child is started with station
// 10.0.0.<station>/24; what the child holds then is the baseline.
inline World &Renew(const hosted::Mac &mac, uint8_t station, const std::function<void(World &)> &beforeConnect,
                    const std::function<void(World &)> &afterStart) {
  End();
  ForgetLoggedInputs();
  delete Current();
  World *w = Current() = new World();
  w->firmware.LoadDriver();
  w->nic = w->firmware.AddNic(&w->segment, mac);
  // No target reads the frame records; each frame would cost a copy.
  w->segment.SetKeepHistory(false);
  w->nic->recordSent = false;
  if (beforeConnect) beforeConnect(*w);
  Require(w->firmware.ConnectDriver(w->nic) == EFI_SUCCESS, "ConnectDriver");
  Require(hosted::CreateChild(w->firmware, w->nic, &w->child) == EFI_SUCCESS, "CreateChild");
  w->instance = InstanceFromThis(w->child.protocol);
  OrvaleProtocol *proto = w->child.protocol;
  Require(proto->Start(proto) == EFI_SUCCESS, "Start");
  EFI_IP_ADDRESS ip = Address(10, 0, 0, station);
  EFI_IP_ADDRESS mask = Address(255, 255, 255, 0);
  Require(proto->SetStationIp(proto, &ip, &mask) == EFI_SUCCESS, "SetStationIp");
  if (afterStart) afterStart(*w);
  w->poolBaseline = w->firmware.LivePoolBlocks();
  w->eventBaseline = w->firmware.LiveEvents();
  w->tpl = w->firmware.CurrentTpl();
  return *w;
}

}  // namespace driver_world

#endif
