// The boot server's station and the place where its services plug in.
//
// A BootServer owns one peers::Station on a wire: the server's MAC and IPv4
// address. The station answers ARP for that address by itself; the server
// logs each exchange on one line and hands every frame that reaches the
// station to the attached services (DHCP, WIRL, TFTP), which answer with the
// station's own senders. The services are attached by AttachServices
// (services.cpp).
#ifndef ORVALE_TOOLS_BOOT_SERVER_BOOT_SERVER_H
#define ORVALE_TOOLS_BOOT_SERVER_BOOT_SERVER_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "peers/station.h"

namespace bootserver {

class BootServer {
 public:
  using Logger = std::function<void(const std::string &)>;
  using FrameHandler = std::function<void(const hosted::Frame &)>;

  BootServer(hosted::Wire *wire, const ServerOptions &options, Logger logger);
  BootServer(const BootServer &) = delete;
  BootServer &operator=(const BootServer &) = delete;

  peers::Station &Station() { return station_; }
  hosted::Wire *Wire() { return wire_; }
  const ServerOptions &Options() const { return options_; }

  // The server that also leases addresses; extra servers offer images only.
  bool Primary() const { return options_.primary; }

  // One log line, prefixed with the seconds since the server started (and,
  // for an extra server, with its address).
  void Log(const std::string &line);

  // A service sees every frame that reaches the station, after the station's
  // own ARP answer, in the order the services were added.
  void AddFrameHandler(FrameHandler handler) { handlers_.push_back(std::move(handler)); }
  // For a peer that installs its own Station().OnFrame: moves that handler
  // into the services' list and puts the server's own back, so logging and
  // the other services go on. Call it right after building such a peer.
  void AdoptStationHandler();
  // Keeps a service object alive as long as the server.
  void Keep(std::shared_ptr<void> service) { kept_.push_back(std::move(service)); }
  size_t FrameHandlers() const { return handlers_.size(); }

  // Hands everything that has arrived to the station and the services, then
  // runs the tickers.
  void Poll();
  // Runs at every Poll, for a service that acts on time as well as on frames.
  void AddTicker(std::function<void()> ticker) { tickers_.push_back(std::move(ticker)); }

  // Seconds on the server's clock: since it started, or the clock a test sets
  // (the virtual clock of a simulated link). Log lines carry it too.
  double Seconds() const;
  void SetClock(std::function<double()> clock) { clock_ = std::move(clock); }

 private:
  void OnFrame(const hosted::Frame &frame);
  void LogArp(const peers::ParsedArp &arp);
  void LogFrame(const peers::ParsedEthernet &ethernet);

  hosted::Wire *wire_;
  ServerOptions options_;
  Logger logger_;
  peers::Station station_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::function<double()> clock_;
  std::vector<FrameHandler> handlers_;
  std::vector<std::function<void()>> tickers_;
  std::vector<std::shared_ptr<void>> kept_;
};

// Attaches the services to the server (DHCP, and PXE with --pxe, on the primary server only, WIRL
// and TFTP on every server); returns the name of each service attached, in order.
std::vector<std::string> AttachServices(BootServer &server);

}  // namespace bootserver

#endif
