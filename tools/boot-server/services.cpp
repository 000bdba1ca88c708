// The integration point of the boot server's services.
//
// AttachServices puts the DHCP, WIRL and TFTP server peers on the server's
// station: all three on the primary server, WIRL and TFTP on an extra one
// (server.Primary() tells which; --extra-server makes extra ones). Each peer
// is built from the options and logs each exchange it completes through
// server.Log, one line each, e.g.
//   "dhcp DISCOVER 52:54:00:12:34:56 > OFFER 198.18.0.100"
//   "wirl LIST from 198.18.0.100 port 67 > 2 images, default 03000001"
//   "tftp RRQ sample.efi blksize 1468 tsize > 11264 bytes, 8 blocks, 3.1 ms per block"
// (the TFTP line gives the server's own time from sending a block to its ACK).
// What each peer needs from the options:
//   DHCP:  address, prefixLength, poolStart, poolSize (server identifier = address)
//   WIRL:  address, wirlPorts, serverPriority, images (EncodeImageList and
//          SubOption9Pieces for the LIST reply's sub-options 9, DefaultImage for
//          sub-option 7, FindImage for a SELECT, BootImage::BootFileName for the
//          boot file its acknowledgement names)
//   TFTP:  tftpRoot (files by name, with blksize and tsize)
// A peer receives frames through server.AddFrameHandler (a peer that sets
// Station().OnFrame itself is followed by server.AdoptStationHandler()) and
// answers with the station's senders (server.Station().SendUdp ...);
// server.Keep holds it. DHCP and WIRL share port 67: each ignores the other's
// messages (WIRL's are INFORMs with the "ZEKOWIRLC" vendor class).
#include "boot_server.h"

namespace bootserver {

std::vector<std::string> AttachServices(BootServer &) {
  // No services yet: the server answers ARP and logs what arrives.
  return {};
}

}  // namespace bootserver
