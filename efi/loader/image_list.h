// Reading what the Wirl member gathers: the ImageList records the driver
// appends (one per server reply: server identifier, port, list bytes) and,
// inside each, the boot image list as our boot server writes it in its
// sub-options 9:
//
//   per image: identifier (4 bytes; the low 7 bits of the first are the kind),
//              name length n (1 byte), name (n bytes of ASCII)
//
// The driver passes the list through uninterpreted; other servers may use
// another layout, which ReadImageEntry then refuses without reading past it.
// Freestanding, so the hosted tests run it too.
#ifndef ORVALE_EFI_LOADER_IMAGE_LIST_H
#define ORVALE_EFI_LOADER_IMAGE_LIST_H

#include "include/efi/efi_types.h"

struct ListRecord {
  UINT8 Server[4] = {};
  UINT16 Port = 0;
  const UINT8 *Images = nullptr;
  UINT32 ImagesLength = 0;
};

struct ImageEntry {
  UINT8 Id[4] = {};
  UINT8 Kind = 0;
  const UINT8 *Name = nullptr;
  UINT8 NameLength = 0;
};

// The record at *Offset of the Length-byte list; advances *Offset past it.
// FALSE at the end, and for a record that does not fit in what is left.
BOOLEAN ReadListRecord(const UINT8 *List, UINTN Length, UINTN *Offset, ListRecord *Out);

// The image entry at *Offset of one record's list; advances *Offset.
// FALSE at the end and for an entry cut short.
BOOLEAN ReadImageEntry(const UINT8 *Images, UINTN Length, UINTN *Offset, ImageEntry *Out);

#endif
