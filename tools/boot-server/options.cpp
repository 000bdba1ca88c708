#include "options.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace bootserver {

namespace {

std::string Trim(const std::string &s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

bool ParseIp(const std::string &text, Ip4 *out) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  const auto *b = reinterpret_cast<const uint8_t *>(&a.s_addr);
  *out = {b[0], b[1], b[2], b[3]};
  return true;
}

bool ParseNumber(const std::string &text, unsigned long min, unsigned long max, unsigned long *out) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long value = std::stoul(text);
  if (value < min || value > max) return false;
  *out = value;
  return true;
}

bool ParseDecimal(const std::string &text, double min, double max, double *out) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return false;
  char *end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == nullptr || *end != '\0' || value < min || value > max) return false;
  *out = value;
  return true;
}

bool ParseMac(const std::string &text, Mac *out) {
  unsigned b[6];
  char tail = 0;
  if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) != 6) {
    return false;
  }
  for (size_t i = 0; i < 6; ++i) (*out)[i] = static_cast<uint8_t>(b[i]);
  return true;
}

struct Parser {
  ServerOptions options;
  std::string error;
  bool wirlPortsGiven = false;
  int configDepth = 0;

  bool Fail(const std::string &what) {
    if (error.empty()) error = what;
    return false;
  }

  bool ReadConfig(const std::string &path) {
    if (configDepth >= 4) return Fail("config files nest too deep at " + path);
    std::ifstream in(path);
    if (!in) return Fail("cannot read config file " + path);
    ++configDepth;
    unsigned lineNumber = 0;
    for (std::string line; std::getline(in, line);) {
      ++lineNumber;
      const size_t hash = line.find('#');
      if (hash != std::string::npos) line.resize(hash);
      line = Trim(line);
      if (line.empty()) continue;
      const size_t equals = line.find('=');
      const std::string key = Trim(line.substr(0, equals));
      const std::string value = equals == std::string::npos ? "" : Trim(line.substr(equals + 1));
      if (!Apply(key, value, equals != std::string::npos)) {
        error = path + ":" + std::to_string(lineNumber) + ": " + error;
        --configDepth;
        return false;
      }
    }
    --configDepth;
    return true;
  }

  // "A.B.C.D[,priority=P][,mac=MAC]"; the MAC defaults to the server's with
  // its last byte raised by the extra server's ordinal.
  bool ParseExtraServer(const std::string &value) {
    ExtraServer extra;
    extra.mac = options.mac;
    extra.mac[5] = static_cast<uint8_t>(extra.mac[5] + options.extraServers.size() + 1);
    size_t start = 0;
    bool first = true;
    while (start <= value.size()) {
      const size_t comma = value.find(',', start);
      const size_t length = comma == std::string::npos ? std::string::npos : comma - start;
      const std::string field = Trim(value.substr(start, length));
      unsigned long n = 0;
      if (first) {
        if (!ParseIp(field, &extra.address)) return Fail("extra-server wants A.B.C.D[,priority=P][,mac=MAC]");
      } else if (field.rfind("priority=", 0) == 0 && ParseNumber(field.substr(9), 0, 65535, &n)) {
        extra.priority = static_cast<uint16_t>(n);
      } else if (field.rfind("mac=", 0) != 0 || !ParseMac(field.substr(4), &extra.mac)) {
        return Fail("extra-server: bad field '" + field + "'");
      }
      first = false;
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    options.extraServers.push_back(extra);
    return true;
  }

  // "GROUP,CPORT,SPORT[,listen=S][,transmit=S]", the times 1..255 seconds.
  bool ParseMtftp(const std::string &value) {
    ServerOptions::Mtftp m;
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
      const size_t comma = value.find(',', start);
      fields.push_back(Trim(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    unsigned long n = 0;
    const char *usage = "mtftp wants GROUP,CPORT,SPORT[,listen=S][,transmit=S]";
    if (fields.size() < 3 || !ParseIp(fields[0], &m.group) || m.group[0] < 224 || m.group[0] > 239) {
      return Fail(usage);
    }
    if (!ParseNumber(fields[1], 1, 65535, &n)) return Fail(usage);
    m.clientPort = static_cast<uint16_t>(n);
    if (!ParseNumber(fields[2], 1, 65535, &n) || n == m.clientPort) return Fail(usage);
    m.serverPort = static_cast<uint16_t>(n);
    for (size_t i = 3; i < fields.size(); ++i) {
      const std::string &f = fields[i];
      if (f.rfind("listen=", 0) == 0 && ParseNumber(f.substr(7), 1, 255, &n)) {
        m.listenSeconds = static_cast<uint8_t>(n);
      } else if (f.rfind("transmit=", 0) == 0 && ParseNumber(f.substr(9), 1, 255, &n)) {
        m.transmitSeconds = static_cast<uint8_t>(n);
      } else {
        return Fail("mtftp: bad field '" + f + "'");
      }
    }
    options.mtftp = m;
    return true;
  }

  // One option by its long name, with its value when it takes one.
  bool Apply(const std::string &key, const std::string &value, bool hasValue) {
    unsigned long n = 0;
    if (key == "help") return options.help = true;
    if (key == "verbose") return options.verbose = true;
    if (key == "floor") return options.floor = true;
    if (key == "no-dhcp") {
      options.leaseAddresses = false;
      return true;
    }
    if (!hasValue) return Fail("option " + key + " wants a value");
    if (key == "config") return ReadConfig(value);
    if (key == "dgram") {
      const size_t comma = value.find(',');
      options.dgramLocal = value.substr(0, comma);
      options.dgramPeer = comma == std::string::npos ? "" : value.substr(comma + 1);
      return !options.dgramLocal.empty() || Fail("dgram wants LOCAL[,PEER]");
    }
    if (key == "interface") {
      options.interfaceName = value;
      return !value.empty() || Fail("interface wants a name");
    }
    if (key == "address") {
      const size_t slash = value.find('/');
      if (!ParseIp(value.substr(0, slash), &options.address)) return Fail("address wants A.B.C.D[/PREFIX]");
      if (slash != std::string::npos) {
        if (!ParseNumber(value.substr(slash + 1), 1, 30, &n)) return Fail("address prefix wants 1..30");
        options.prefixLength = static_cast<uint8_t>(n);
      }
      return true;
    }
    if (key == "mac") return ParseMac(value, &options.mac) || Fail("mac wants aa:bb:cc:dd:ee:ff");
    if (key == "pool") {
      const size_t comma = value.find(',');
      if (!ParseIp(value.substr(0, comma), &options.poolStart)) return Fail("pool wants A.B.C.D[,COUNT]");
      if (comma != std::string::npos) {
        if (!ParseNumber(value.substr(comma + 1), 1, 65535, &n)) return Fail("pool count wants 1..65535");
        options.poolSize = static_cast<unsigned>(n);
      }
      return true;
    }
    if (key == "priority") {
      if (!ParseNumber(value, 0, 65535, &n)) return Fail("priority wants 0..65535");
      options.serverPriority = static_cast<uint16_t>(n);
      return true;
    }
    if (key == "wirl-port") {
      if (!ParseNumber(value, 1, 65535, &n)) return Fail("wirl-port wants 1..65535");
      if (!wirlPortsGiven) options.wirlPorts.clear();
      wirlPortsGiven = true;
      options.wirlPorts.push_back(static_cast<uint16_t>(n));
      return true;
    }
    if (key == "extra-server") return ParseExtraServer(value);
    if (key == "pxe") {
      if (value == "dhcp") return (options.pxe = ServerOptions::Pxe::Dhcp), true;
      if (value == "proxy") return (options.pxe = ServerOptions::Pxe::Proxy), true;
      if (value == "plain") return (options.pxe = ServerOptions::Pxe::Plain), true;
      if (value == "off") return (options.pxe = ServerOptions::Pxe::None), true;
      return Fail("pxe wants dhcp, proxy, plain or off");
    }
    if (key == "pxe-type") {
      if (!ParseNumber(value, 1, 65535, &n)) return Fail("pxe-type wants 1..65535");
      options.pxeServerType = static_cast<uint16_t>(n);
      return true;
    }
    if (key == "pxe-multicast") {
      if (value == "off") return (options.pxeMulticast.reset(), true);
      Ip4 group{};
      if (!ParseIp(value, &group) || group[0] < 224 || group[0] > 239) {
        return Fail("pxe-multicast wants a multicast address or off");
      }
      options.pxeMulticast = group;
      return true;
    }
    if (key == "pxe-menu") {
      // One menu entry: its length is one byte, shared with the type and length in option 43.
      if (value.empty() || value.size() > 64) return Fail("pxe-menu wants 1..64 characters");
      options.pxeMenu = value;
      return true;
    }
    if (key == "mtftp") {
      if (value == "off") return (options.mtftp.reset(), true);
      return ParseMtftp(value);
    }
    if (key == "tftp-root") {
      options.tftpRoot = value;
      return !value.empty() || Fail("tftp-root wants a folder");
    }
    if (key == "image") {
      std::string why;
      auto image = ParseImageOption(value, static_cast<unsigned>(options.images.size() + 1), &why);
      if (!image) return Fail(why);
      options.images.push_back(*image);
      return true;
    }
    if (key == "pcap") {
      options.pcapPath = value;
      return !value.empty() || Fail("pcap wants a file");
    }
    if (key == "loss") return ParseDecimal(value, 0, 100, &options.lossPercent) || Fail("loss wants 0..100 (percent)");
    if (key == "seed") {
      if (!ParseNumber(value, 0, 0xFFFFFFFFul, &n)) return Fail("seed wants a number");
      options.seed = static_cast<uint32_t>(n);
      return true;
    }
    if (key == "duration") {
      return ParseDecimal(value, 0, 86400, &options.durationSeconds) || Fail("duration wants 0..86400 (seconds)");
    }
    return Fail("unknown option " + key);
  }
};

}  // namespace

std::optional<ServerOptions> ParseServerOptions(const std::vector<std::string> &args, std::string *error) {
  Parser p;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (arg.rfind("--", 0) != 0) {
      p.Fail("unexpected argument '" + arg + "'");
      break;
    }
    std::string key = arg.substr(2);
    std::string value;
    bool hasValue = false;
    const size_t equals = key.find('=');
    if (equals != std::string::npos) {
      value = key.substr(equals + 1);
      key.resize(equals);
      hasValue = true;
    } else if (key != "help" && key != "verbose" && key != "no-dhcp" && key != "floor" && i + 1 < args.size()) {
      value = args[++i];
      hasValue = true;
    }
    if (!p.Apply(key, value, hasValue)) break;
  }
  if (p.error.empty() && !p.options.help) {
    if (p.options.dgramLocal.empty() == p.options.interfaceName.empty()) {
      p.Fail("give exactly one of --dgram and --interface");
    } else if (p.options.images.empty()) {
      p.Fail("give at least one --image");
    }
  }
  if (!p.error.empty()) {
    *error = p.error;
    return std::nullopt;
  }
  if (p.options.tftpRoot.empty() && !p.options.images.empty()) {
    const std::string &first = p.options.images.front().path;
    const size_t slash = first.find_last_of('/');
    p.options.tftpRoot = slash == std::string::npos ? "." : first.substr(0, slash == 0 ? 1 : slash);
  }
  return p.options;
}

std::string ServerUsage() {
  return R"(orvale-boot-server: a boot server for network-booting a machine through the Orvale driver.

It runs one station (its own MAC and IPv4 address) on a link, answers ARP for
its address and logs each exchange on one line. It leases addresses by DHCP,
offers its images by WIRL (LIST with its priority, default image and image
list; SELECT answered with the image's boot file) and serves the TFTP folder
with blksize and tsize; a finished transfer's line gives the server's time
from sending a block to receiving its ACK.

Usage: orvale-boot-server (--dgram LOCAL[,PEER] | --interface IF) --image FILE[,...]... [options]

Link (exactly one):
  --dgram LOCAL[,PEER]   one Ethernet frame per UDP datagram, as QEMU's
                         -netdev dgram / -netdev socket,udp= carry them: bind
                         LOCAL (127.0.0.1:P1), send to PEER (127.0.0.1:P2);
                         without PEER the first sender is the peer
  --interface IF         a real interface through a packet socket (CAP_NET_RAW);
                         give it an interface without an IPv4 address of the host's
Station:
  --address A.B.C.D[/N]  the server's address (default 198.18.0.1/24)
  --mac MAC              its hardware address (default 02:00:5e:10:00:01)
  --pool A.B.C.D[,COUNT] addresses DHCP leases (default 198.18.0.100,50)
Boot images:
  --image FILE[,name=NAME][,kind=K][,priority=P][,id=8HEX]
                         an image to offer (repeatable); kind 0..127 (default 3),
                         the highest priority is the default image; the id
                         defaults to kind,0,0,ordinal
  --priority N           this server's WIRL priority (default 0)
  --extra-server A.B.C.D[,priority=P][,mac=MAC]
                         a further boot server on the link (repeatable): its own
                         station, WIRL and TFTP with the same images; no DHCP
  --wirl-port P          answer WIRL on this port (repeatable; default 67 and 7799)
  --tftp-root DIR        folder served by TFTP (default: the first image's folder)
  --no-dhcp              lease no addresses: another DHCP server on the link does
  --mtftp GROUP,CPORT,SPORT[,listen=S][,transmit=S]|off
                         multicast TFTP: a read request to SPORT opens a transfer
                         of the file to GROUP:CPORT (block 1 also to the opener,
                         each next block when the opener acknowledges); PXE
                         replies carry these parameters with the listen and
                         transmit times (default 2 s each); a transfer whose
                         opener is silent for the transmit time ends
PXE:
  --pxe dhcp|proxy|plain|off
                         dhcp: DHCP replies to PXE clients carry the boot-server
                         information (vendor class "PXEClient", option 43);
                         proxy: proxy offers (no address) beside a plain DHCP
                         server. Either way the server answers discovery on
                         port 4011 (multicast and unicast) and broadcast to 67
                         with the first image's boot file. plain: the DHCP
                         replies carry the first image's boot file and this
                         server as next-server (siaddr), no PXE options and no
                         discovery (default off)
  --pxe-type N           the boot server's type (default 1)
  --pxe-multicast A.B.C.D|off
                         discovery group (default 224.0.1.2)
  --pxe-menu TEXT        the boot menu's entry (default "Orvale network boot")
Diagnostics:
  --pcap FILE            write every frame the server sends or takes to FILE
  --loss PERCENT         drop this share of frames, both ways (seeded)
  --seed N               seed of the loss pattern (default 1)
  --duration SECONDS     exit after this long (default: at SIGINT/SIGTERM)
  --verbose              also log every frame
  --floor                answer the loader's floor requests (EtherType 0x88B5) with
                         the frames of one TFTP DATA datagram of the block size asked
  --config FILE          read options from FILE: "image = FILE,name=..." per line
  --help                 this text
)";
}

std::string FormatIp(const Ip4 &ip) {
  return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
         std::to_string(ip[3]);
}

std::string FormatMac(const Mac &mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

}  // namespace bootserver
