// Pool and byte helpers, the Internet checksum, the instance's pseudo-random
// numbers and the machine's model name from the data hub.
#include "instance.h"
#include "../net/probe.h"

namespace {

// The data-hub record that carries the model name.
constexpr EFI_GUID kModelProducerName = {
    0x2A7D4E91, 0xB630, 0x4C5F, {0x9E, 0x27, 0x81, 0xF6, 0xD0, 0xA3, 0xC5, 0x4B}};
constexpr EFI_GUID kModelRecordGuid = {0x9F03C6B5, 0x7A14, 0x42E8, {0xA5, 0xD9, 0x3E, 0x6C, 0x0B, 0x81, 0xF2, 0x7D}};

// Body of the model-name record after the standard 72-byte header; the name
// and the value (both UTF-16) follow it.
struct ModelRecordBody {
  UINT8 Reserved[16];
  UINT8 NameSize[4];   // bytes, host order
  UINT8 ValueSize[4];  // bytes, host order
};
static_assert(sizeof(EFI_DATA_RECORD_HEADER) == 72, "data record header");
static_assert(sizeof(ModelRecordBody) == 24 && alignof(ModelRecordBody) == 1, "model record body");
constexpr UINTN kModelNameOffset = sizeof(EFI_DATA_RECORD_HEADER) + sizeof(ModelRecordBody);  // 96

constexpr UINTN kModelStringSize = 32;  // 31 bytes of characters and the NUL
constexpr CHAR8 kFallbackModel[] = "ACPI";
static_assert(sizeof(kFallbackModel) <= kModelStringSize, "fallback model name");

UINT32 LoadU32(const UINT8 *Bytes) {
  UINT32 Value;
  __builtin_memcpy(&Value, Bytes, sizeof(Value));
  return Value;
}

UINT64 LoadU64(const UINT8 *Bytes) {
  UINT64 Value;
  __builtin_memcpy(&Value, Bytes, sizeof(Value));
  return Value;
}

bool SameGuid(const EFI_GUID &A, const EFI_GUID &B) { return SameBytes(&A, &B, sizeof(EFI_GUID)); }

// UTF-16 code units in host order, read byte-wise because a value that
// follows an odd-sized name is not aligned.
UINTN ConvertUnits(const UINT8 *Source, UINTN UnitCount, CHAR8 *Destination) {
  constexpr UINTN kRoom = kModelStringSize - 1;
  UINTN Used = 0;
  for (UINTN i = 0; Source != nullptr && i < UnitCount; ++i) {
    UINT16 Unit;
    __builtin_memcpy(&Unit, Source + 2 * i, sizeof(Unit));
    if (Unit == 0) continue;
    const UINTN Need = Unit < 0x80 ? 1 : Unit < 0x800 ? 2 : 3;
    if (Used + Need > kRoom) break;
    auto *Out = reinterpret_cast<UINT8 *>(Destination + Used);
    if (Need == 1) {
      Out[0] = static_cast<UINT8>(Unit);
    } else if (Need == 2) {
      Out[0] = static_cast<UINT8>(0xC0 | (Unit >> 6));
      Out[1] = static_cast<UINT8>(0x80 | (Unit & 0x3F));
    } else {
      Out[0] = static_cast<UINT8>(0xE0 | (Unit >> 12));
      Out[1] = static_cast<UINT8>(0x80 | ((Unit >> 6) & 0x3F));
      Out[2] = static_cast<UINT8>(0x80 | (Unit & 0x3F));
    }
    Used += Need;
  }
  Destination[Used] = 0;
  return Used + 1;
}

// Converts the record's value into Buffer. A record whose name or value
// would reach past its own RecordSize is ignored.
void ConvertModelRecord(const EFI_DATA_RECORD_HEADER *Record, CHAR8 *Buffer) {
  const ByteView View(Record, Record->RecordSize);
  const auto *Body = View.At<ModelRecordBody>(sizeof(EFI_DATA_RECORD_HEADER));
  if (Body == nullptr) return;
  const UINT32 NameSize = LoadU32(Body->NameSize);
  const UINT32 ValueSize = LoadU32(Body->ValueSize);
  // UINTN holds the sum of the offset and a 32-bit size without wrapping.
  const ByteView Value = View.Sub(kModelNameOffset + static_cast<UINTN>(NameSize), ValueSize);
  if (Value.data == nullptr) return;
  ConvertUnits(Value.data, ValueSize / 2, Buffer);
}

}  // namespace

void *AllocZeroed(UINTN Size) {
  VOID *Buffer = nullptr;
  if (gBS->AllocatePool(EfiBootServicesData, Size, &Buffer) != EFI_SUCCESS) return nullptr;
  if (Buffer != nullptr) ZeroBytes(Buffer, Size);
  return Buffer;
}

// Bytes compare as signed 8-bit values. Equal 8-byte words are skipped at
// once; the first differing byte is then found byte by byte.
INTN CompareBytes(const void *A, const void *B, UINTN Length) {
  const auto *X = static_cast<const UINT8 *>(A);
  const auto *Y = static_cast<const UINT8 *>(B);
  UINTN i = 0;
  while (i + 8 <= Length && LoadU64(X + i) == LoadU64(Y + i)) i += 8;
  for (; i < Length; ++i) {
    if (X[i] != Y[i]) return static_cast<INTN>(static_cast<INT8>(X[i])) - static_cast<INT8>(Y[i]);
  }
  return 0;
}

// The ones'-complement sum of the buffer as 16-bit words in memory order (an
// odd last byte is the low-order byte of a last word), complemented: stored
// into a header without byte swap it is the RFC 1071 checksum. The sum is
// taken over 64-bit words with add-with-carry, which gives the same sum
// modulo 0xFFFF since 2^16 is 1 modulo 0xFFFF.
UINT16 InternetChecksum(const void *Buffer, UINTN Length) {
  const auto *Bytes = static_cast<const UINT8 *>(Buffer);
  // Whole 64-bit words with the carries counted apart (end-around carry, folded below).
  UINT64 Sum = 0;
  UINT64 Carries = 0;
  while (Length >= 32) {
    unsigned long long C0, C1, C2, C3;
    Sum = __builtin_addcll(Sum, LoadU64(Bytes), 0, &C0);
    Sum = __builtin_addcll(Sum, LoadU64(Bytes + 8), 0, &C1);
    Sum = __builtin_addcll(Sum, LoadU64(Bytes + 16), 0, &C2);
    Sum = __builtin_addcll(Sum, LoadU64(Bytes + 24), 0, &C3);
    Carries += C0 + C1 + C2 + C3;
    Bytes += 32;
    Length -= 32;
  }
  while (Length >= 8) {
    unsigned long long C;
    Sum = __builtin_addcll(Sum, LoadU64(Bytes), 0, &C);
    Carries += C;
    Bytes += 8;
    Length -= 8;
  }
  if (Length != 0) {
    UINT64 Tail = 0;
    __builtin_memcpy(&Tail, Bytes, Length);  // zero-padded, so an odd byte stays the low half of its word
    unsigned long long C;
    Sum = __builtin_addcll(Sum, Tail, 0, &C);
    Carries += C;
  }
  // 2^64 is 1 modulo 0xFFFF, so each carry counts one.
  unsigned long long C;
  Sum = __builtin_addcll(Sum, Carries, 0, &C);
  Sum += C;
  Sum = (Sum & 0xFFFFFFFF) + (Sum >> 32);
  Sum = (Sum & 0xFFFFFFFF) + (Sum >> 32);
  Sum = (Sum & 0xFFFF) + (Sum >> 16);
  Sum = (Sum & 0xFFFF) + (Sum >> 16);
  return static_cast<UINT16>(~Sum);
}

// state' = (seconds of the day - 2053 * state + 19) mod 65536.
UINT16 NextRandom(ProtocolInstance *Instance) {
  if (Instance == nullptr) return 0;
  EFI_TIME Time;
  ZeroBytes(&Time, sizeof(Time));
  EFI_STATUS Status;
  {
    ORVALE_PROBE(kProbeClock);
    Status = gRT->GetTime(&Time, nullptr);
  }
  if (Status != EFI_SUCCESS) ZeroBytes(&Time, sizeof(Time));
  const UINT32 Seconds = Time.Hour * 3600u + Time.Minute * 60u + Time.Second;
  Instance->RandomState = static_cast<UINT16>(Seconds - 2053u * Instance->RandomState + 19u);
  return Instance->RandomState;
}

// Without a data hub, a matching record or a non-empty value, the model
// name is "ACPI": the buffer is always left holding a defined string.
void ReadModelString(CHAR8 *Buffer) {
  Buffer[0] = 0;
  EFI_DATA_HUB_PROTOCOL *Hub = nullptr;
  if (gBS->LocateProtocol(&gEfiDataHubProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Hub)) == EFI_SUCCESS &&
      Hub != nullptr) {
    UINT64 Count = 0;
    do {
      EFI_DATA_RECORD_HEADER *Record = nullptr;
      if (Hub->GetNextRecord(Hub, &Count, nullptr, &Record) != EFI_SUCCESS || Record == nullptr) break;
      if (Record->RecordSize >= sizeof(EFI_DATA_RECORD_HEADER) && SameGuid(Record->ProducerName, kModelProducerName) &&
          SameGuid(Record->DataRecordGuid, kModelRecordGuid)) {
        ConvertModelRecord(Record, Buffer);
        break;
      }
    } while (Count != 0);
  }
  if (Buffer[0] == 0) CopyBytes(Buffer, kFallbackModel, sizeof(kFallbackModel));
}

UINTN Utf16ToUtf8(const CHAR16 *Source, UINTN UnitCount, CHAR8 *Destination) {
  if (Destination == nullptr) return 0;
  return ConvertUnits(reinterpret_cast<const UINT8 *>(Source), UnitCount, Destination);
}
