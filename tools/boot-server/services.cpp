// The integration point of the boot server's services.
//
// AttachServices puts the DHCP, WIRL and TFTP server peers on the server's
// station: all three on the primary server, WIRL and TFTP on an extra one
// (server.Primary() tells which; --extra-server makes them). Each peer is built from the options and logs each exchange it
// completes through server.Log, one line each, e.g.
//   "dhcp DISCOVER 52:54:00:12:34:56 > OFFER 198.18.0.100"
//   "wirl LIST from 198.18.0.100 port 67 > 3 images, default 03000001"
//   "tftp RRQ sample.efi blksize 1468 tsize > 9728 bytes in 7 blocks, 12.1 ms"
// What each peer needs from the options:
//   DHCP:  address, prefixLength, poolStart, poolSize (server identifier = address)
//   WIRL:  wirlPorts, serverPriority, images (EncodeImageList + SubOption9Pieces
//          for the LIST reply's sub-options 9, DefaultImage for sub-option 7,
//          FindImage for a SELECT, BootImage::BootFileName for its boot file)
//   TFTP:  tftpRoot (files by name, with blksize and tsize)
// A peer receives frames through server.AddFrameHandler and answers with the
// station's senders (server.Station().SendUdp ...); server.Keep holds it.
#include "boot_server.h"

namespace bootserver {

std::vector<std::string> AttachServices(BootServer &) {
  // No services yet: the server answers ARP and logs what arrives.
  return {};
}

}  // namespace bootserver
