// The floor responder: the far end of the loader's floor exchange
// (efi/loader/floor.h), straight on the link, beside the TFTP service.
//
// A request is a frame of EtherType 0x88B5 whose payload starts "ORVF",
// then the block size and the frame count (16 bits each), a 32-bit sequence
// number, all big-endian, and an IPv4 address. The answer is the frames one
// TFTP DATA datagram of that block size takes at MTU 1500 (one up to 1472
// data bytes, else its IPv4 fragments, six at 8192), addressed to that
// address, built once per block size and address with the peers' encoders,
// each fragment's identification the request's sequence (its low 16 bits),
// so that a late frame of an earlier round is told apart. They are carried
// as IPv4 (EtherType 0x0800), the frames of a TFTP read, or under 0x88B5
// when the address is 0.0.0.0.
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
