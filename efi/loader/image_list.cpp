#include "image_list.h"

namespace {

constexpr UINTN kRecordHeader = 10;  // server 4, port 2, list length 4
constexpr UINTN kEntryHeader = 5;    // identifier 4, name length 1

}  // namespace

BOOLEAN ReadListRecord(const UINT8 *List, UINTN Length, UINTN *Offset, ListRecord *Out) {
  const UINTN at = *Offset;
  if (List == nullptr || at > Length || Length - at < kRecordHeader) return FALSE;
  const UINT8 *p = List + at;
  // Port and length are in host order (little-endian on x64), as the driver stores them.
  const UINT32 listLength = static_cast<UINT32>(p[6]) | static_cast<UINT32>(p[7]) << 8 |
                            static_cast<UINT32>(p[8]) << 16 | static_cast<UINT32>(p[9]) << 24;
  if (listLength > Length - at - kRecordHeader) return FALSE;
  for (UINTN i = 0; i < 4; ++i) Out->Server[i] = p[i];
  Out->Port = static_cast<UINT16>(p[4] | p[5] << 8);
  Out->Images = p + kRecordHeader;
  Out->ImagesLength = listLength;
  *Offset = at + kRecordHeader + listLength;
  return TRUE;
}

BOOLEAN ReadImageEntry(const UINT8 *Images, UINTN Length, UINTN *Offset, ImageEntry *Out) {
  const UINTN at = *Offset;
  if (Images == nullptr || at > Length || Length - at < kEntryHeader) return FALSE;
  const UINT8 *p = Images + at;
  const UINT8 nameLength = p[4];
  if (nameLength > Length - at - kEntryHeader) return FALSE;
  for (UINTN i = 0; i < 4; ++i) Out->Id[i] = p[i];
  Out->Kind = p[0] & 0x7F;
  Out->Name = p + kEntryHeader;
  Out->NameLength = nameLength;
  *Offset = at + kEntryHeader + nameLength;
  return TRUE;
}
