// The floor responder: the far end of the loader's floor exchange
// (efi/loader/floor.h), straight on the link, beside the TFTP service.
//
// A request is a frame of EtherType 0x88B5 whose payload starts "ORVF",
// then the block size and the frame count (16 bits each) and a 32-bit
// sequence number, all big-endian. The answer is the frames one TFTP DATA
// datagram of that block size takes at MTU 1500 (one up to 1472 data bytes,
// else its IPv4 fragments, six at 8192), built once per block size with the
// peers' encoders and carried under 0x88B5, each fragment's identification
// the request's sequence (its low 16 bits), so that a late frame of an
// earlier round is told apart.
#ifndef ORVALE_TOOLS_BOOT_SERVER_FLOOR_H
#define ORVALE_TOOLS_BOOT_SERVER_FLOOR_H

#include <string>

#include "boot_server.h"

namespace bootserver {

constexpr uint16_t kFloorEtherType = 0x88B5;

// Attaches the responder; returns its name for the services line.
std::string FloorAttach(BootServer &server);

}  // namespace bootserver

#endif
