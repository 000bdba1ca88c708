// The DHCP exchange and the primitives every DHCP-shaped exchange shares.
#ifndef ORVALE_DHCP_EXCHANGE_H
#define ORVALE_DHCP_EXCHANGE_H

#include "../instance/instance.h"

// Copies the 1472-byte Source into Destination (a PacketRecord packet) and
// into entry Index (0..3) of ParsedPackets, whose length becomes Length, then
// indexes that entry. Nothing happens without ParsedPackets or with a larger Index.
void SavePacket(ProtocolInstance *Instance, DhcpPacket *Destination, const DhcpPacket *Source, UINT64 Length,
                UINTN Index);

#endif
