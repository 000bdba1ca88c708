// The DHCP exchange.
#include "exchange.h"

#include "codec.h"

// The entry is parsed as a full 1472-byte copy; its length field keeps the
// length the packet arrived with.
void SavePacket(ProtocolInstance *Instance, DhcpPacket *Destination, const DhcpPacket *Source, UINT64 Length,
                UINTN Index) {
  PacketSlot *Slots = Instance->Packets.ParsedPackets;
  if (Slots == nullptr || Index >= kParsedPacketCount || Source == nullptr) return;
  PacketSlot &Entry = Slots[Index];
  Entry.length = Length;
  if (&Entry.packet != Source) CopyBytes(&Entry.packet, Source, sizeof(DhcpPacket));
  if (Destination != nullptr && Destination != Source) CopyBytes(Destination, Source, sizeof(DhcpPacket));
  ParsePacket(&Entry, sizeof(DhcpPacket));
}
