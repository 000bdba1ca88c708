// Placeholders so the tree links while the codec is built; each is removed
// when its real definition lands.
#include "codec.h"

void OptionWriterInit(OptionWriter *, UINT8 *, INT32) {}
int OptionWriterAdd(OptionWriter *, UINT8, UINTN, const void *) { return 1; }
void BuildDhcpMessage(ProtocolInstance *, OptionWriter *, UINT8) {}
void OptionIndexClear(OptionIndex *) {}
bool OptionIndexParse(OptionIndex *, UINT8 *, INT64) { return false; }
bool OptionIndexAppend(OptionIndex *, const OptionIndex *) { return false; }
UINT8 *OptionIndexFind(const OptionIndex *, UINT8, UINT32 *, INT32 *) { return nullptr; }
bool ParseVendorOptions(OptionIndex *, const OptionIndex *) { return false; }
bool ParsePacket(PacketSlot *, UINT64) { return false; }
UINT8 *GetBootFileName(PacketSlot *, UINT32 *) { return nullptr; }
