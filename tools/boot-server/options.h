// The boot server's settings, from its command line and an optional config
// file whose lines are the long options without their dashes
// ("image = sample.efi,name=sample,priority=5"; '#' starts a comment).
#ifndef ORVALE_TOOLS_BOOT_SERVER_OPTIONS_H
#define ORVALE_TOOLS_BOOT_SERVER_OPTIONS_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "images.h"

namespace bootserver {

using Ip4 = std::array<uint8_t, 4>;
using Mac = std::array<uint8_t, 6>;

// A further boot server on the same link: its own station, WIRL priority and
// (for the services) WIRL and TFTP, but no DHCP.
struct ExtraServer {
  Ip4 address{};
  Mac mac{};
  uint16_t priority = 0;
};

struct ServerOptions {
  // Where the server's frames go: a raw-frame UDP socket for QEMU, or a real interface.
  std::string dgramLocal;      // "127.0.0.1:P1" (--dgram LOCAL[,PEER])
  std::string dgramPeer;       // "127.0.0.1:P2"; empty: the first sender
  std::string interfaceName;   // --interface IF (packet socket, needs CAP_NET_RAW)

  Ip4 address = {198, 18, 0, 1};
  uint8_t prefixLength = 24;
  Mac mac = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};  // locally administered
  Ip4 poolStart = {198, 18, 0, 100};  // first address the DHCP service leases
  unsigned poolSize = 50;
  uint16_t serverPriority = 0;        // WIRL priority of this server in its LIST replies
  std::vector<uint16_t> wirlPorts = {67, 7799};
  std::string tftpRoot;               // folder TFTP serves; default: the first image's folder
  std::vector<BootImage> images;
  std::vector<ExtraServer> extraServers;  // --extra-server A.B.C.D[,priority=P][,mac=MAC]
  bool primary = true;                    // false for an extra server's copy of the options
  bool leaseAddresses = true;             // --no-dhcp: another DHCP server on the link leases them

  // PXE: none; "dhcp": the DHCP service's replies to PXE clients carry the boot
  // information; "proxy": proxy offers beside a plain DHCP server (this one's or
  // another's). Either way a boot server answers discovery on port 4011.
  // "plain": the DHCP replies name the first image's boot file and this
  // server as next-server, nothing of PXE (no discovery to answer).
  enum class Pxe { None, Dhcp, Proxy, Plain };
  Pxe pxe = Pxe::None;
  uint16_t pxeServerType = 1;             // the boot server's type in sub-options 8, 9 and 71
  std::optional<Ip4> pxeMulticast = Ip4{224, 0, 1, 2};  // discovery group (sub-option 7); none: no multicast
  std::string pxeMenu = "Orvale network boot";

  // Multicast TFTP (--mtftp GROUP,CPORT,SPORT[,listen=S][,transmit=S]): read
  // requests to SPORT open a transfer to GROUP:CPORT; PXE replies carry the
  // parameters (sub-options 1 to 5, the listen time in 4 and the transmit
  // time in 5). The server ends a transfer whose opener has not acknowledged
  // for the transmit time, so that another client can open it again.
  struct Mtftp {
    Ip4 group{};
    uint16_t clientPort = 0;
    uint16_t serverPort = 0;
    uint8_t listenSeconds = 2;
    uint8_t transmitSeconds = 2;
  };
  std::optional<Mtftp> mtftp;

  std::string pcapPath;               // empty: no capture
  double lossPercent = 0;             // frames dropped on the way in and out, 0..100
  uint32_t seed = 1;
  double durationSeconds = 0;         // 0: until a signal
  bool verbose = false;               // one log line per frame as well
  bool floor = false;                 // answer the loader's floor requests (floor.h)
  bool help = false;
};

// Parses argv (without argv[0]); a --config FILE is read where it stands, so
// later options override it. nullopt with *error on the first problem.
std::optional<ServerOptions> ParseServerOptions(const std::vector<std::string> &args, std::string *error);

// The --help text.
std::string ServerUsage();

std::string FormatIp(const Ip4 &ip);
std::string FormatMac(const Mac &mac);

}  // namespace bootserver

#endif
