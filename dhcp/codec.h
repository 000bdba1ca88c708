// The DHCP/BOOTP packet and option codec: the option writer, the option
// index, packet validation and the fixed part of every client message.
#ifndef ORVALE_DHCP_CODEC_H
#define ORVALE_DHCP_CODEC_H

#include "../instance/instance.h"
#include "bootp_wire.h"

constexpr UINTN kDhcpSendLength = 548;  // client messages: 240 fixed bytes + 308 of options
constexpr UINTN kDhcpOptionsOffset = 240;
constexpr UINTN kDhcpOptionAreaSize = 308;

enum DhcpMessageType : UINT8 {
  kDhcpDiscover = 1,
  kDhcpOffer = 2,
  kDhcpRequest = 3,
  kDhcpDecline = 4,
  kDhcpAckType = 5,
  kDhcpNak = 6,
  kDhcpRelease = 7,
  kDhcpInform = 8,
};

struct OptionWriter {
  UINT8 *buffer;
  INT32 capacity;
  INT32 length;
  INT32 ended;
  INT32 count;
  INT32 reserve;
};

void OptionWriterInit(OptionWriter *Writer, UINT8 *Buffer, INT32 Capacity);
// 0 written; 1 refused (value above 255 bytes, writer ended, no room for END); 2 no room.
int OptionWriterAdd(OptionWriter *Writer, UINT8 Code, UINTN ValueLength, const void *Data);
// Prepares Instance->DhcpTxPacket for a client message and leaves Writer after the standard options.
void BuildDhcpMessage(ProtocolInstance *Instance, OptionWriter *Writer, UINT8 MessageType);

// How a walk of one option area ended.
enum class OptionWalkEnd { kEnd, kOverrun, kStopped };

// The one walk of an area of code, length, value entries (RFC 2132 section
// 2), for the option index and the PXE references alike: PAD is skipped,
// END or the area's end ends the walk, and Visit(entry, code, valueLength)
// sees each entry that lies wholly inside the area; it returns false to stop.
// An entry whose length byte or value would run past the area ends the walk
// as kOverrun: what to keep of such an area is the caller's policy.
template <class F>
OptionWalkEnd WalkOptionArea(UINT8 *Area, UINTN Length, F Visit) {
  UINTN At = 0;
  while (At < Length) {
    const UINT8 Code = Area[At];
    if (Code == kOptPad) {
      ++At;
      continue;
    }
    if (Code == kOptEnd) break;
    if (Length - At < 2 || Area[At + 1] > Length - At - 2) return OptionWalkEnd::kOverrun;
    const UINTN ValueLength = Area[At + 1];
    if (!Visit(Area + At, Code, ValueLength)) return OptionWalkEnd::kStopped;
    At += 2 + ValueLength;
  }
  return OptionWalkEnd::kEnd;
}

void OptionIndexClear(OptionIndex *Index);
bool OptionIndexParse(OptionIndex *Index, UINT8 *Area, INT64 Length);
bool OptionIndexAppend(OptionIndex *Destination, const OptionIndex *Source);
UINT8 *OptionIndexFind(const OptionIndex *Index, UINT8 Code, UINT32 *LengthOut, INT32 *Position);
bool ParseVendorOptions(OptionIndex *VendorIndex, const OptionIndex *Options);
// Length is the number of bytes that arrived (1472 for a copied packet).
bool ParsePacket(PacketSlot *Slot, UINT64 Length);
UINT8 *GetBootFileName(PacketSlot *Slot, UINT32 *LengthOut);

#endif
