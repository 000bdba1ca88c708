// The DHCP option codec: client messages are assembled with OptionWriter,
// received options are found through OptionIndex, which holds pointers into
// the packet buffer and never copies option bytes.
//
// Limits: an option index holds at most kMaxIndexEntries entries (more than
// any 1472-byte packet can carry); options that RFC 3396 would concatenate
// are kept as separate entries, in the order met.
#include "codec.h"

#include "bootp_wire.h"

static_assert(sizeof(BootpMessage) == kDhcpSendLength, "client message size");
static_assert(offsetof(BootpMessage, options) == kDhcpOptionsOffset, "option area offset");
static_assert(sizeof(BootpMessage::options) == kDhcpOptionAreaSize, "option area size");

namespace {

constexpr INT32 kBuiltinEntries = static_cast<INT32>(sizeof(OptionIndex::builtin) / sizeof(UINT8 *));
// Every option takes at least two bytes, so a packet never needs more entries.
constexpr INT32 kMaxIndexEntries = 4096;

constexpr UINT8 kParameterList[] = {kOptSubnetMask, kOptRouter, kOptBootFileName, kOptVendorSpecific,
                                    kOptVendorClass};
constexpr UINT8 kShortParameterList[] = {kOptSubnetMask, kOptRouter};
constexpr UINT8 kInformParameterList[] = {kOptVendorSpecific, kOptVendorClass};
constexpr UINT8 kMaxMessageSize[] = {0x05, 0xDC};  // 1500
constexpr char kVendorClassPrefix[] = "ZEKOWIRLC/i386/";
constexpr UINTN kVendorClassPrefixLength = sizeof(kVendorClassPrefix) - 1;
constexpr char kWirlClassMarker[] = "ZEKOWIRLC";
constexpr UINTN kWirlClassMarkerLength = sizeof(kWirlClassMarker) - 1;
constexpr UINTN kModelNameSize = 32;
static_assert(kVendorClassPrefixLength == 15 && kWirlClassMarkerLength == 9, "vendor class constants");

enum class AreaResult { kParsed, kMalformed, kNoMemory };

// Moves the entries to a pool block of NewCapacity entries. The built-in
// array is never released; the old pool block is released only once the new
// one holds the entries, so a failure leaves the index as it was.
bool ResizeEntries(OptionIndex *Index, INT32 NewCapacity) {
  if (NewCapacity > kMaxIndexEntries || NewCapacity < Index->count) return false;
  auto **Block = static_cast<UINT8 **>(AllocZeroed(static_cast<UINTN>(NewCapacity) * sizeof(UINT8 *)));
  if (Block == nullptr) return false;
  if (Index->entries != nullptr) CopyBytes(Block, Index->entries, static_cast<UINTN>(Index->count) * sizeof(UINT8 *));
  if (Index->entries != nullptr && Index->entries != Index->builtin) gBS->FreePool(Index->entries);
  Index->entries = Block;
  Index->capacity = NewCapacity;
  return true;
}

// Entry arrays may sit at any byte offset (slot arrays are packed).
UINT8 *EntryAt(const OptionIndex *Index, INT32 I) {
  UINT8 *Option;
  CopyBytes(&Option, reinterpret_cast<const UINT8 *>(Index->entries) + static_cast<UINTN>(I) * sizeof(UINT8 *),
            sizeof(Option));
  return Option;
}

bool AddEntry(OptionIndex *Index, UINT8 *Option) {
  if (Index->entries == nullptr) {
    Index->entries = Index->builtin;
    Index->capacity = kBuiltinEntries;
  }
  if (Index->count == Index->capacity && !ResizeEntries(Index, Index->capacity * 2)) return false;
  CopyBytes(reinterpret_cast<UINT8 *>(Index->entries) + static_cast<UINTN>(Index->count) * sizeof(UINT8 *), &Option,
            sizeof(Option));
  Index->count += 1;
  return true;
}

// Indexes one option area of Length received bytes. A code byte without its
// length byte, or a length that runs past the area, makes the area malformed.
AreaResult ParseArea(OptionIndex *Index, UINT8 *Area, INT64 Length) {
  ZeroBytes(Index, sizeof(*Index));
  if (Length < 0) return AreaResult::kMalformed;
  const OptionWalkEnd End = WalkOptionArea(Area, static_cast<UINTN>(Length),
                                           [Index](UINT8 *Entry, UINT8, UINTN) { return AddEntry(Index, Entry); });
  if (End == OptionWalkEnd::kEnd) return AreaResult::kParsed;
  // A malformed area is dropped whole: a reply is parsed fully or not at all.
  OptionIndexClear(Index);
  return End == OptionWalkEnd::kOverrun ? AreaResult::kMalformed : AreaResult::kNoMemory;
}

// Indexes one overloaded fixed field and appends it to Options. A field that
// does not parse is left out; only running out of memory is a failure.
bool AppendOverloadField(OptionIndex *Options, UINT8 *Field, UINTN FieldSize) {
  OptionIndex FieldIndex;
  const AreaResult Result = ParseArea(&FieldIndex, Field, static_cast<INT64>(FieldSize));
  if (Result == AreaResult::kMalformed) return true;
  if (Result == AreaResult::kNoMemory) return false;
  const bool Appended = OptionIndexAppend(Options, &FieldIndex);
  OptionIndexClear(&FieldIndex);
  return Appended;
}

}  // namespace

void OptionWriterInit(OptionWriter *Writer, UINT8 *Buffer, INT32 Capacity) {
  ZeroBytes(Writer, sizeof(*Writer));
  Writer->buffer = Buffer;
  Writer->capacity = Capacity;
}

int OptionWriterAdd(OptionWriter *Writer, UINT8 Code, UINTN ValueLength, const void *Data) {
  if (ValueLength > 255 || Writer->ended != 0) return 1;
  if (ValueLength != 0 && Data == nullptr) return 1;
  const INT64 Used = Writer->length;
  UINT8 *Out = Writer->buffer + Writer->length;
  INT64 Written;
  if (Code == kOptPad) {
    if (Writer->reserve + Used + 1 > Writer->capacity) return 2;
    Out[0] = kOptPad;
    Written = 1;
  } else if (Code == kOptEnd) {
    // The reserve exists for this byte.
    if (Used + 1 > Writer->capacity) return 1;
    Out[0] = kOptEnd;
    Writer->ended = 1;
    Written = 1;
  } else {
    Written = 2 + static_cast<INT64>(ValueLength);
    if (Writer->reserve + Used + Written > Writer->capacity) return 2;
    Out[0] = Code;
    Out[1] = static_cast<UINT8>(ValueLength);
    CopyBytes(Out + 2, Data, ValueLength);
  }
  Writer->length += static_cast<INT32>(Written);
  Writer->count += 1;
  return 0;
}

void BuildDhcpMessage(ProtocolInstance *Instance, OptionWriter *Writer, UINT8 MessageType) {
  DhcpPacket *Packet = Instance->DhcpTxPacket;
  if (Packet == nullptr) {
    // No exchange buffer: a writer with no room, so every add is refused.
    OptionWriterInit(Writer, nullptr, 0);
    return;
  }
  const EFI_SIMPLE_NETWORK_MODE &Snp = Instance->Binding->SnpMode;
  BootpMessage *Message = BootpOf(Packet);
  ZeroBytes(Message, sizeof(*Message));
  const UINT8 HwLength = static_cast<UINT8>(MinOf<UINT32>(Snp.HwAddressSize, kBootpChaddrSize));
  Message->op = kBootpRequest;
  Message->htype = Snp.IfType;
  Message->hlen = HwLength;
  CopyBytes(Message->chaddr, Snp.CurrentAddress.Addr, HwLength);
  Message->cookie.set(kDhcpMagicCookie);

  OptionWriterInit(Writer, Message->options, static_cast<INT32>(sizeof(Message->options)));
  Writer->reserve = 1;  // the caller's END always fits

  const bool Plain = Instance->Packets.PlainDhcp != 0;
  (void)OptionWriterAdd(Writer, kOptMessageType, 1, &MessageType);
  if (MessageType == kDhcpDiscover || MessageType == kDhcpRequest) {
    if (Plain) {
      (void)OptionWriterAdd(Writer, kOptParameterList, sizeof(kShortParameterList), kShortParameterList);
    } else {
      (void)OptionWriterAdd(Writer, kOptParameterList, sizeof(kParameterList), kParameterList);
      (void)OptionWriterAdd(Writer, kOptMaxMessageSize, sizeof(kMaxMessageSize), kMaxMessageSize);
    }
  } else if (MessageType == kDhcpInform) {
    (void)OptionWriterAdd(Writer, kOptParameterList, sizeof(kInformParameterList), kInformParameterList);
    (void)OptionWriterAdd(Writer, kOptMaxMessageSize, sizeof(kMaxMessageSize), kMaxMessageSize);
  }

  UINT8 ClientId[1 + kBootpChaddrSize];
  ClientId[0] = Message->htype;
  CopyBytes(ClientId + 1, Message->chaddr, HwLength);
  (void)OptionWriterAdd(Writer, kOptClientId, 1u + HwLength, ClientId);

  if (Plain || MessageType == kDhcpDecline || MessageType == kDhcpRelease) return;
  CHAR8 Model[kModelNameSize];
  ZeroBytes(Model, sizeof(Model));
  ReadModelString(Model);
  // At most 31 model bytes: the name is sent without its terminator.
  UINTN ModelLength = 0;
  while (ModelLength < kModelNameSize - 1 && Model[ModelLength] != 0) ++ModelLength;
  UINT8 VendorClass[kVendorClassPrefixLength + kModelNameSize - 1];
  CopyBytes(VendorClass, kVendorClassPrefix, kVendorClassPrefixLength);
  CopyBytes(VendorClass + kVendorClassPrefixLength, Model, ModelLength);
  (void)OptionWriterAdd(Writer, kOptVendorClass, kVendorClassPrefixLength + ModelLength, VendorClass);
}

void OptionIndexClear(OptionIndex *Index) {
  if (Index->entries != nullptr && Index->entries != Index->builtin) gBS->FreePool(Index->entries);
  ZeroBytes(Index, sizeof(*Index));
}

// Index is zeroed, not cleared: pass an index that is zero or was cleared.
// Fails, leaving the index empty, when the area is malformed or an entry
// cannot be recorded for want of memory.
bool OptionIndexParse(OptionIndex *Index, UINT8 *Area, INT64 Length) {
  return ParseArea(Index, Area, Length) == AreaResult::kParsed;
}

// On failure Destination is cleared (entries null), never left half-appended.
bool OptionIndexAppend(OptionIndex *Destination, const OptionIndex *Source) {
  if (Source->count <= 0) return true;
  const INT64 Needed = static_cast<INT64>(Destination->count) + Source->count;
  if (Needed > Destination->capacity) {
    if (Needed > kMaxIndexEntries || !ResizeEntries(Destination, static_cast<INT32>(Needed))) {
      OptionIndexClear(Destination);
      return false;
    }
  }
  CopyBytes(reinterpret_cast<UINT8 *>(Destination->entries) + static_cast<UINTN>(Destination->count) * sizeof(UINT8 *),
            Source->entries,
            static_cast<UINTN>(Source->count) * sizeof(UINT8 *));
  Destination->count += Source->count;
  return true;
}

UINT8 *OptionIndexFind(const OptionIndex *Index, UINT8 Code, UINT32 *LengthOut, INT32 *Position) {
  if (Code == kOptPad || Code == kOptEnd || Index->entries == nullptr) return nullptr;
  const INT32 Start = Position != nullptr ? *Position : 0;
  if (Start < 0) return nullptr;
  for (INT32 i = Start; i < Index->count; ++i) {
    UINT8 *Option = EntryAt(Index, i);
    if (Option[0] != Code) continue;
    if (LengthOut != nullptr) *LengthOut = Option[1];
    if (Position != nullptr) *Position = i + 1;
    return Option + 2;
  }
  return nullptr;
}

// Every option 43 is parsed on its own: a sub-option never runs on into the
// next instance. False when there is no option 43 or one is malformed.
bool ParseVendorOptions(OptionIndex *VendorIndex, const OptionIndex *Options) {
  ZeroBytes(VendorIndex, sizeof(*VendorIndex));
  OptionIndex Single;
  ZeroBytes(&Single, sizeof(Single));
  bool Found = false;
  INT32 Position = 0;
  UINT32 Length = 0;
  while (UINT8 *Value = OptionIndexFind(Options, kOptVendorSpecific, &Length, &Position)) {
    Found = true;
    if (!OptionIndexParse(&Single, Value, Length) || !OptionIndexAppend(VendorIndex, &Single)) {
      OptionIndexClear(&Single);
      OptionIndexClear(VendorIndex);
      return false;
    }
    OptionIndexClear(&Single);
  }
  return Found;
}

// On false both indexes are empty and hold no pool block. The slot's length
// field is the caller's: copies are parsed with 1472 but keep their source's.
bool ParsePacket(PacketSlot *Slot, UINT64 Length) {
  Slot->slotFlags = 0;
  OptionIndexClear(&Slot->options);
  OptionIndexClear(&Slot->vendorOptions);
  const UINT64 Arrived = MinOf<UINT64>(Length, sizeof(Slot->packet));
  if (Arrived < kBootpFixedSize) return false;
  BootpMessage *Message = BootpOf(&Slot->packet);
  if (Message->cookie.get() != kDhcpMagicCookie) return false;
  if (!OptionIndexParse(&Slot->options, Slot->packet.Raw + kBootpFixedSize,
                        static_cast<INT64>(Arrived - kBootpFixedSize))) {
    return false;
  }

  // RFC 2132 section 9.3: options in file first, then sname; main area first
  // of all, so its options shadow those of the fields.
  UINT32 Length52 = 0;
  const UINT8 *Overload = OptionIndexFind(&Slot->options, kOptOverload, &Length52, nullptr);
  if (Overload != nullptr && Length52 == 1) {
    const UINT8 Which = Overload[0];
    bool Kept = true;
    if (Which == kOverloadFile || Which == kOverloadBoth) {
      Kept = AppendOverloadField(&Slot->options, Message->file, sizeof(Message->file));
    }
    if (Kept && (Which == kOverloadSname || Which == kOverloadBoth)) {
      Kept = AppendOverloadField(&Slot->options, Message->sname, sizeof(Message->sname));
    }
    if (!Kept) {
      OptionIndexClear(&Slot->options);
      return false;
    }
  }

  UINT32 ClassLength = 0;
  const UINT8 *Class = OptionIndexFind(&Slot->options, kOptVendorClass, &ClassLength, nullptr);
  if (Class != nullptr && ClassLength >= kWirlClassMarkerLength &&
      SameBytes(Class, kWirlClassMarker, kWirlClassMarkerLength)) {
    if (!ParseVendorOptions(&Slot->vendorOptions, &Slot->options)) {
      OptionIndexClear(&Slot->options);
      return false;
    }
    Slot->slotFlags |= ORVALE_SLOT_FLAG_WIRL;
  }
  return true;
}

// Expects a slot ParsePacket accepted, so the file field has arrived.
UINT8 *GetBootFileName(PacketSlot *Slot, UINT32 *LengthOut) {
  UINT32 Length = 0;
  UINT8 *Name = OptionIndexFind(&Slot->options, kOptBootFileName, &Length, nullptr);
  if (Name != nullptr && Length > 0) {
    if (LengthOut != nullptr) *LengthOut = Length;
    return Name;
  }
  // Only a one-byte option 52 overloads the fields, as ParsePacket reads it.
  const UINT8 *Overload = OptionIndexFind(&Slot->options, kOptOverload, &Length, nullptr);
  if (Overload != nullptr && Length == 1 && (Overload[0] == kOverloadFile || Overload[0] == kOverloadBoth)) {
    return nullptr;
  }
  BootpMessage *Message = BootpOf(&Slot->packet);
  if (Message->file[0] == 0) return nullptr;
  UINT32 FileLength = 0;
  while (FileLength < sizeof(Message->file) && Message->file[FileLength] != 0) ++FileLength;
  if (LengthOut != nullptr) *LengthOut = FileLength;
  return Message->file;
}
