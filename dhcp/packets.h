// What the instance's accessors (FindOption, GetBootFile, SetPackets) use of
// the DHCP layer: the published-packet slots, and reading an indexed packet.
#ifndef ORVALE_DHCP_PACKETS_H
#define ORVALE_DHCP_PACKETS_H

#include "../instance/instance.h"

// Entries of ParsedPackets.
constexpr UINTN kParsedAck = 0;
constexpr UINTN kParsedProxyOffer = 1;
constexpr UINTN kParsedReply = 2;
constexpr UINTN kParsedBisReply = 3;

// Copies the 1472-byte Source into Destination (a PacketRecord packet) and
// into entry Index (0..3) of ParsedPackets, whose length becomes Length, then
// indexes that entry. Nothing happens without ParsedPackets or with a larger Index.
void SavePacket(ProtocolInstance *Instance, DhcpPacket *Destination, const DhcpPacket *Source, UINT64 Length,
                UINTN Index);

// The value of the first option Code at or after *Position (updated past
// it); null when there is none.
UINT8 *OptionIndexFind(const OptionIndex *Index, UINT8 Code, UINT32 *LengthOut, INT32 *Position);
// The boot file name: option 67, else the file field unless it is overloaded.
UINT8 *GetBootFileName(PacketSlot *Slot, UINT32 *LengthOut);

#endif
