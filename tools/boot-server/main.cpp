// orvale-boot-server: the host side of a network boot through the Orvale
// driver. See --help (options.cpp) for the options, boot_server.h for the
// station and services.cpp for the services.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "boot_server.h"
#include "options.h"
#include "platform/dgram_wire.h"
#include "platform/packet_socket_wire.h"
#include "tap_wire.h"

namespace {

volatile sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

constexpr int kPollMs = 50;

std::string Hex(const std::array<uint8_t, 4> &id) {
  char text[9];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x", id[0], id[1], id[2], id[3]);
  return text;
}

void Print(const std::string &line) {
  std::cout << line << '\n';
  std::cout.flush();
}

}  // namespace

int main(int argc, char **argv) {
  using namespace bootserver;
  std::string error;
  const auto options = ParseServerOptions(std::vector<std::string>(argv + 1, argv + argc), &error);
  if (!options) {
    std::cerr << "orvale-boot-server: " << error << "\n(--help lists the options)\n";
    return 2;
  }
  if (options->help) {
    std::cout << ServerUsage();
    return 0;
  }
  for (const BootImage &image : options->images) {
    struct stat st{};
    if (stat(image.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      std::cerr << "orvale-boot-server: image file " << image.path << " is not a readable file\n";
      return 2;
    }
  }

  std::unique_ptr<hosted::Wire> link;
  int fd = -1;
  std::string where;
  if (!options->dgramLocal.empty()) {
    auto wire = hosted::DgramWire::Open(options->dgramLocal, options->dgramPeer, &error);
    if (!wire) {
      std::cerr << "orvale-boot-server: " << error << '\n';
      return 1;
    }
    fd = wire->Descriptor();
    where = "udp 127.0.0.1:" + std::to_string(wire->LocalPort()) +
            (options->dgramPeer.empty() ? " (peer: first sender)" : " <> " + options->dgramPeer);
    link = std::move(wire);
  } else {
    auto wire = hosted::PacketSocketWire::Open(options->interfaceName, &error);
    if (!wire) {
      std::cerr << "orvale-boot-server: " << error << '\n';
      return 1;
    }
    fd = wire->Descriptor();
    where = "interface " + options->interfaceName;
    link = std::move(wire);
  }

  TapWire tap(link.get(), options->lossPercent, options->seed);
  if (!options->pcapPath.empty() && !tap.StartCapture(options->pcapPath)) {
    std::cerr << "orvale-boot-server: cannot write " << options->pcapPath << '\n';
    return 1;
  }
  BootServer server(&tap, *options, Print);
  const std::vector<std::string> services = AttachServices(server);
  std::vector<std::unique_ptr<BootServer>> extras;
  for (const ExtraServer &extra : options->extraServers) {
    ServerOptions o = *options;
    o.address = extra.address;
    o.mac = extra.mac;
    o.serverPriority = extra.priority;
    o.primary = false;
    o.extraServers.clear();
    extras.push_back(std::make_unique<BootServer>(&tap, o, Print));
    const std::vector<std::string> attached = AttachServices(*extras.back());
    extras.back()->Log("extra server " + FormatMac(extra.mac) + ", priority " + std::to_string(extra.priority) +
                       ", " + std::to_string(attached.size()) + " service(s)");
  }

  server.Log("station " + FormatIp(options->address) + "/" + std::to_string(options->prefixLength) + " " +
             FormatMac(options->mac) + " on " + where);
  for (const BootImage &image : options->images) {
    server.Log("image " + Hex(image.id) + " kind " + std::to_string(image.kind) + " priority " +
               std::to_string(image.priority) + " \"" + image.name + "\" " + image.path);
  }
  if (const BootImage *preferred = DefaultImage(options->images)) {
    server.Log("default image " + Hex(preferred->id) + ", server priority " +
               std::to_string(options->serverPriority) + ", tftp root " + options->tftpRoot);
  }
  std::string serviceList;
  for (const std::string &name : services) serviceList += (serviceList.empty() ? "" : ", ") + name;
  server.Log("services: " + (serviceList.empty() ? std::string("none attached (ARP only)") : serviceList));
  if (options->lossPercent > 0) server.Log("dropping " + std::to_string(options->lossPercent) + "% of frames");
  server.Log("ready");

  struct sigaction action{};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const auto started = std::chrono::steady_clock::now();
  while (gStop == 0) {
    if (options->durationSeconds > 0 &&
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() >=
            options->durationSeconds) {
      break;
    }
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, kPollMs);
    // One pump of the link serves every station on it.
    server.Poll();
    for (auto &extra : extras) extra->Station().ClearReceived();
  }
  const TapWire::Counters &c = tap.Stats();
  server.Log("stopped: frames in " + std::to_string(c.in) + ", out " + std::to_string(c.out) + ", dropped in " +
             std::to_string(c.droppedIn) + ", dropped out " + std::to_string(c.droppedOut));
  return 0;
}
