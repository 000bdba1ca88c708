// The file operations behind the Mtftp member: argument checks and dispatch,
// get a file's size, read a file or directory, write a file, and the
// multicast variants with the unicast fallback of the multicast read.
#include "tftp.h"

#include "../net/ip_address.h"

namespace {

constexpr UINT64 kDefaultRequestBlock = 8192;
constexpr UINT64 kMaxRequestBlock = 8192;
constexpr UINTN kScratchSize = kPacketBufferSize;  // count-only reads land here, block by block
constexpr UINTN kStallMicroseconds = 10000;
constexpr UINT64 kMaxFirstReply = 65535;
// Packet record of the size and write operations, and the parse area of an OACK.
constexpr UINTN kRecordSize = kTftpRequestBufferSize;
constexpr UINTN kRecordDataSize = kRecordSize - kTftpHeaderLength;  // 532
// Option text starts at byte 2 of the packet, inside the header.
constexpr UINTN kOackTextInHeader = kTftpHeaderLength - sizeof(TftpHeader::opcode);

const UINT8 kRootDirectory[] = "/";

// What an OACK agreed to.
struct OackTerms {
  UINT64 BlockSize = kTftpDefaultBlockSize;
  BOOLEAN HasSize = FALSE;
  UINT64 Size = 0;
};

// Reads the OACK's option text. Text that is not name/value pairs is refused
// with EFI_TFTP_ERROR and *Abort set (ERROR 8, RFC 2347). "bigblk#" is looked
// at when CheckBigBlock: 8 switches to 8-byte block numbers, anything else is
// refused without an abort. A non-decimal or overflowing value, or a
// "blksize" outside RFC 2348's 8..65464, is refused with *Abort set.
EFI_STATUS ReadOack(ProtocolInstance *Instance, const UINT8 *Text, UINTN Length, BOOLEAN CheckBigBlock,
                    OackTerms *Terms, BOOLEAN *Abort) {
  *Abort = TRUE;
  if (!OackTextWellFormed(Text, Length)) return EFI_TFTP_ERROR;
  *Abort = FALSE;
  ByteView Value;
  BOOLEAN Present = FALSE;
  if (CheckBigBlock) {
    UINT64 Mode = 0;
    if (!FindOackOption(kTftpOptionBigBlock, Text, Length, &Value, &Present)) return EFI_PROTOCOL_ERROR;
    if (Present) {
      if (!ReadOackNumber(Value, &Mode) || Mode != kTftpBigBlockValue) return EFI_PROTOCOL_ERROR;
      Instance->UseBigBlockNumbers = TRUE;
    }
  }
  *Abort = TRUE;
  if (!FindOackOption(kTftpOptionBlockSize, Text, Length, &Value, &Present)) return EFI_PROTOCOL_ERROR;
  if (Present) {
    if (!ReadOackNumber(Value, &Terms->BlockSize)) return EFI_PROTOCOL_ERROR;
    if (Terms->BlockSize < kTftpMinBlockSize || Terms->BlockSize > kTftpMaxBlockSize) return EFI_PROTOCOL_ERROR;
  }
  if (!FindOackOption(kTftpOptionSize, Text, Length, &Value, &Present)) return EFI_PROTOCOL_ERROR;
  if (Present) {
    if (!ReadOackNumber(Value, &Terms->Size)) return EFI_PROTOCOL_ERROR;
    Terms->HasSize = TRUE;
  }
  *Abort = FALSE;
  return EFI_SUCCESS;
}

// ReadOack over the option text of a first reply held in Record (header
// first, then Size bytes of data); a refusal that calls for it is told to
// the server with the abort packet.
EFI_STATUS TakeOack(ProtocolInstance *Instance, const UINT8 *Record, UINT64 Size, BOOLEAN CheckBigBlock,
                    OackTerms *Terms, EFI_IP_ADDRESS *ServerIp, UINT16 *ReplyPort, UINT16 *OurPort) {
  BOOLEAN Abort = FALSE;
  const EFI_STATUS Status = ReadOack(Instance, Record + 2, static_cast<UINTN>(Size) + 2, CheckBigBlock, Terms, &Abort);
  if (EFI_ERROR(Status) && Abort) SendTftpAbort(Instance, ServerIp, ReplyPort, OurPort);
  return Status;
}

UINT16 Opcode(const UINT8 *Header) { return reinterpret_cast<const TftpHeader *>(Header)->opcode.get(); }
UINT16 Field(const UINT8 *Header) { return reinterpret_cast<const TftpHeader *>(Header)->field.get(); }

// A scratch block for count-only reads, freed with its scope.
class Scratch {
 public:
  Scratch() = default;
  ~Scratch() { FreeAndNull(block_); }
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  bool Allocate(UINTN Size) {
    block_ = static_cast<UINT8 *>(AllocZeroed(Size));
    return block_ != nullptr;
  }
  UINT8 *Get() const { return block_; }

 private:
  UINT8 *block_ = nullptr;
};

EFI_STATUS Stalled(EFI_STATUS Status) {
  gBS->Stall(kStallMicroseconds);
  return Status;
}

bool MulticastInfoComplete(const EFI_PXE_BASE_CODE_MTFTP_INFO *Info) {
  return !IsZeroIpv4(Info->MCastIp.v4.Addr) && Info->SPort != 0 && Info->CPort != 0 && Info->ListenTimeout != 0 &&
         Info->TransmitTimeout != 0;
}

}  // namespace

EFI_STATUS ApplyStationFilter(ProtocolInstance *Instance) {
  EFI_PXE_BASE_CODE_IP_FILTER Filter;
  ZeroBytes(&Filter, sizeof(Filter));
  Filter.Filters = EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP;
  return ApplyIpFilter(Instance, &Filter);
}

EFI_STATUS TftpGetFileSize(ProtocolInstance *Instance, UINT64 *FileSize, EFI_IP_ADDRESS *ServerIp,
                           UINT16 ServerPort, const UINT8 *FileName, UINT64 *BlockSize) {
  UINT8 Record[kRecordSize];
  UINT64 Size = kTftpFirstReplyRoom;
  UINT16 ReplyPort = 0;
  UINT16 OurPort = 0;
  EFI_STATUS Status = OpenTftpTransfer(kTftpReadRequest, kTftpOptionMaskBlockSize | kTftpOptionMaskSize, Instance,
                                       Record, BlockSize, &Size, Record + kTftpHeaderLength, ServerIp, ServerPort,
                                       &ReplyPort, &OurPort, FileName, kTftpOpenTimeout);
  if (EFI_ERROR(Status)) return Status;

  UINT64 Offset = 0;
  UINT64 FirstAck = 0;
  UINT64 Block = 0;
  UINT64 Minimum = kTftpMinBlockSize;
  if (Opcode(Record) == kTftpOack) {
    OackTerms Terms;
    Status = TakeOack(Instance, Record, Size, TRUE, &Terms, ServerIp, &ReplyPort, &OurPort);
    if (EFI_ERROR(Status)) return Status;
    *BlockSize = Terms.BlockSize;
    if (Terms.HasSize) {
      *FileSize = Terms.Size;
      SendTftpAbort(Instance, ServerIp, &ReplyPort, &OurPort);
      return EFI_SUCCESS;
    }
    Block = Terms.BlockSize;
  } else {
    if (ServerPort != TftpServerPort) {
      // A multicast server that ignores options cannot tell the size.
      SendTftpAbort(Instance, ServerIp, &ReplyPort, &OurPort);
      return EFI_UNSUPPORTED;
    }
    // Only DATA 1 can be counted; anything else would give a size never read.
    if (Opcode(Record) != kTftpData || Field(Record) != 1) return EFI_PROTOCOL_ERROR;
    Block = Offset = Size;
    FirstAck = 1;
    Minimum = kTftpDefaultBlockSize;
  }
  *FileSize = 0;
  UINT64 Counted = 0;
  Status = ReceiveTftpBlocks(Instance, Block, &Counted, Offset, nullptr, ServerIp, &ReplyPort, nullptr, &OurPort,
                             FirstAck, kTftpBlockTimeout, TRUE, Minimum);
  if (Status == EFI_BUFFER_TOO_SMALL) Status = EFI_SUCCESS;
  if (Status == EFI_SUCCESS) *FileSize = Counted;
  return Status;
}

EFI_STATUS TftpReadFile(ProtocolInstance *Instance, UINT64 *BufferSize, UINT8 *Buffer, EFI_IP_ADDRESS *ServerIp,
                        const UINT8 *FileName, UINT64 *BlockSize, UINT16 ServerPort, UINT16 RequestOpcode,
                        BOOLEAN CountOnly) {
  UINT8 Record[kRecordSize];
  // A buffer smaller than the parse area takes the first reply in the
  // record instead, so that an OACK (or an empty file's DATA 1) still fits.
  const bool InRecord = *BufferSize < kRecordDataSize;
  UINT8 *FirstReply = InRecord ? Record + kTftpHeaderLength : Buffer;
  UINT64 Size = InRecord ? kRecordDataSize : MinOf<UINT64>(*BufferSize, kMaxFirstReply);
  UINT16 ReplyPort = 0;
  UINT16 OurPort = 0;
  EFI_STATUS Status = OpenTftpTransfer(RequestOpcode, kTftpOptionMaskBlockSize, Instance, Record, BlockSize, &Size,
                                       FirstReply, ServerIp, ServerPort, &ReplyPort, &OurPort, FileName,
                                       kTftpOpenTimeout);
  if (EFI_ERROR(Status)) return Status;

  UINT64 Block = 0;
  UINT64 Offset = 0;
  UINT64 FirstAck = 0;
  UINT64 Minimum = kTftpMinBlockSize;
  if (Opcode(Record) == kTftpOack) {
    // The option text is parsed from byte 2 of the record, as one run; one
    // longer than the parse area is refused rather than cut.
    if (Size + kOackTextInHeader > kRecordDataSize) {
      SendTftpAbort(Instance, ServerIp, &ReplyPort, &OurPort);
      return EFI_PROTOCOL_ERROR;
    }
    if (!InRecord) CopyBytes(Record + kTftpHeaderLength, Buffer, static_cast<UINTN>(Size));
    OackTerms Terms;
    Status = TakeOack(Instance, Record, Size, TRUE, &Terms, ServerIp, &ReplyPort, &OurPort);
    if (EFI_ERROR(Status)) return Status;
    Block = Terms.BlockSize;
    if (BlockSize != nullptr) *BlockSize = Block;
  } else if (Opcode(Record) == kTftpData && Field(Record) == 1) {
    // A server without options: the first block stays at the buffer's start.
    // It did not fit the caller's room: that is known at once.
    if (Size > *BufferSize) return EFI_BUFFER_TOO_SMALL;
    if (InRecord && !CountOnly) CopyBytes(Buffer, Record + kTftpHeaderLength, static_cast<UINTN>(Size));
    Block = Offset = Size;
    FirstAck = 1;
    Minimum = kTftpDefaultBlockSize;
    // Such a server sends 512-byte blocks (RFC 1350); a shorter first one was the whole file.
    if (BlockSize != nullptr) *BlockSize = MaxOf(Block, kTftpDefaultBlockSize);
  } else {
    return EFI_PROTOCOL_ERROR;
  }
  Status = ReceiveTftpBlocks(Instance, Block, BufferSize, Offset, CountOnly ? nullptr : Buffer, ServerIp, &ReplyPort,
                             nullptr, &OurPort, FirstAck, kTftpBlockTimeout, CountOnly, Minimum);
  if (Status != EFI_BUFFER_TOO_SMALL) return Status;
  // The file did not fit (the server has been told): the caller learns the size it needs.
  Status = TftpGetFileSize(Instance, BufferSize, ServerIp, ServerPort, FileName, BlockSize);
  return EFI_ERROR(Status) ? Status : EFI_BUFFER_TOO_SMALL;
}

EFI_STATUS TftpWriteFile(ProtocolInstance *Instance, UINT64 *BufferSize, const UINT8 *Buffer,
                         EFI_IP_ADDRESS *ServerIp, const UINT8 *FileName, UINT64 *BlockSize, BOOLEAN Overwrite) {
  UINT8 Record[kRecordSize];
  UINT64 Size = kTftpFirstReplyRoom;
  UINT16 ReplyPort = 0;
  UINT16 OurPort = 0;
  const UINT8 Options = kTftpOptionMaskBlockSize | (Overwrite ? kTftpOptionMaskOverwrite : 0);
  EFI_STATUS Status = OpenTftpTransfer(kTftpWriteRequest, Options, Instance, Record, BlockSize, &Size,
                                       Record + kTftpHeaderLength, ServerIp, TftpServerPort, &ReplyPort, &OurPort,
                                       FileName, kTftpOpenTimeout);
  if (EFI_ERROR(Status)) return Status;
  if (Opcode(Record) == kTftpOack) {
    OackTerms Terms;
    Status = TakeOack(Instance, Record, Size, FALSE, &Terms, ServerIp, &ReplyPort, &OurPort);
    if (EFI_ERROR(Status)) return Status;
    *BlockSize = Terms.BlockSize;
  } else if (Opcode(Record) == kTftpAck) {
    *BlockSize = kTftpDefaultBlockSize;
  } else {
    return EFI_PROTOCOL_ERROR;
  }

  const UINT64 Block = *BlockSize;
  UINT8 DataHeader[kTftpHeaderLength];
  TftpHeader *Data = reinterpret_cast<TftpHeader *>(DataHeader);
  Data->opcode.set(kTftpData);
  UINT16 Number = 1;
  UINT64 Remaining = *BufferSize;
  const UINT8 *Position = Buffer;
  for (;;) {
    const UINT64 Length = MinOf(Remaining, Block);
    Data->field.set(Number);
    bool Acknowledged = false;
    for (UINTN Attempt = 0; Attempt < 5 && !Acknowledged; ++Attempt) {
      UINTN HeaderSize = kTftpHeaderLength;
      UINTN DataSize = static_cast<UINTN>(Length);
      // UdpWriteLocked wants a buffer even for an empty block.
      UINT8 Empty = 0;
      void *Bytes = Length != 0 ? const_cast<UINT8 *>(Position) : &Empty;
      Status = UdpWriteLocked(Instance, EFI_PXE_BASE_CODE_UDP_OPFLAGS_MAY_FRAGMENT, ServerIp, &ReplyPort, nullptr,
                              nullptr, &OurPort, &HeaderSize, DataHeader, &DataSize, Bytes);
      if (EFI_ERROR(Status)) return Status;
      // An ACK of another block is dropped and the wait goes on in the same
      // window: answering duplicates with duplicates would double every block
      // from then on (RFC 1123 4.2.3.1).
      TimerEvent Timer;
      Status = ArmTftpWindow(&Timer, kTftpBlockTimeout);
      if (EFI_ERROR(Status)) return Status;
      for (;;) {
        UINT8 Reply[kTftpHeaderRoom];
        UINT64 ReplySize = kTftpFirstReplyRoom;
        UINT16 Port = ReplyPort;
        Status = ReceiveTftpPacketInWindow(Instance, 0, Reply, &ReplySize, Record + kTftpHeaderLength, ServerIp,
                                           &Port, nullptr, &OurPort, &Timer);
        if (Status == EFI_TIMEOUT) break;
        if (EFI_ERROR(Status)) return Status;
        // A copy of the OACK while ACK 1 is awaited is dropped like a stale ACK.
        if (Opcode(Reply) == kTftpOack && Number == 1) {
          ++Instance->TftpDrops[kTftpDropStaleAck];
          continue;
        }
        if (Opcode(Reply) != kTftpAck) return EFI_PROTOCOL_ERROR;
        if (Field(Reply) == Number) {
          Acknowledged = true;
          break;
        }
        ++Instance->TftpDrops[kTftpDropStaleAck];
      }
    }
    if (!Acknowledged) return EFI_TIMEOUT;
    Number = static_cast<UINT16>(Number + 1);
    Position += Length;
    Remaining -= Length;
    if (Length != Block) return EFI_SUCCESS;
  }
}

EFI_STATUS RunTftpOperation(ProtocolInstance *Instance, EFI_PXE_BASE_CODE_TFTP_OPCODE Operation,
                            UINT64 *BufferSize, void *Buffer, EFI_IP_ADDRESS *ServerIp, const UINT8 *FileName,
                            UINT64 *BlockSize, EFI_PXE_BASE_CODE_MTFTP_INFO *Info, BOOLEAN Overwrite,
                            BOOLEAN DontUseBuffer) {
  Instance->State.TftpErrorReceived = FALSE;
  // An earlier transfer's 8-byte block numbers never carry over into this one.
  Instance->UseBigBlockNumbers = FALSE;
  if (ServerIp == nullptr || BufferSize == nullptr) return EFI_INVALID_PARAMETER;
  EFI_STATUS Status = ApplyStationFilter(Instance);
  if (EFI_ERROR(Status)) return Status;

  UINT64 LocalBlock = kDefaultRequestBlock;
  if (BlockSize == nullptr) BlockSize = &LocalBlock;
  if (*BlockSize > *BufferSize) *BlockSize = *BufferSize;
  if (*BlockSize < kTftpDefaultBlockSize) *BlockSize = kTftpDefaultBlockSize;
  if (*BlockSize > kMaxRequestBlock) *BlockSize = kMaxRequestBlock;

  UINT16 Port = TftpServerPort;
  if (Instance->State.AlternatePortMode == 1) {
    // The alternate server port comes from Info, which must then be given.
    if (Info == nullptr) return EFI_INVALID_PARAMETER;
    Port = TftpServerPort = Info->SPort;
  }
  if (Operation == EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE) {
    return TftpGetFileSize(Instance, BufferSize, ServerIp, Port, FileName, BlockSize);
  }
  if (Operation == EFI_PXE_BASE_CODE_MTFTP_GET_FILE_SIZE) {
    if (Info == nullptr || Info->SPort == 0) return EFI_INVALID_PARAMETER;
    return Stalled(TftpGetFileSize(Instance, BufferSize, ServerIp, Info->SPort, FileName, BlockSize));
  }

  Scratch Work;
  UINT8 *WorkBuffer = static_cast<UINT8 *>(Buffer);
  UINT64 WorkSize = *BufferSize;
  if (DontUseBuffer) {
    if (!Work.Allocate(kScratchSize)) return EFI_OUT_OF_RESOURCES;
    WorkBuffer = Work.Get();
    WorkSize = kScratchSize;
    Port = TftpServerPort;
  } else if (Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  } else if (*BufferSize == 0 && Operation != EFI_PXE_BASE_CODE_TFTP_WRITE_FILE) {
    return EFI_BAD_BUFFER_SIZE;
  }

  switch (Operation) {
    case EFI_PXE_BASE_CODE_MTFTP_READ_FILE: {
      if (FileName == nullptr || Info == nullptr || !MulticastInfoComplete(Info)) {
        return Stalled(EFI_INVALID_PARAMETER);
      }
      Status = MtftpReadFile(Instance, &WorkSize, WorkBuffer, ServerIp, FileName, Info, DontUseBuffer);
      if (Status == EFI_SUCCESS || Status == EFI_BUFFER_TOO_SMALL) {
        *BufferSize = WorkSize;
        return Stalled(Status);
      }
      // The group failed us: read the file by plain TFTP instead.
      Status = ApplyStationFilter(Instance);
      if (EFI_ERROR(Status)) return Stalled(Status);
      Port = TftpServerPort;
      WorkSize = DontUseBuffer ? kScratchSize : *BufferSize;
      [[fallthrough]];
    }
    case EFI_PXE_BASE_CODE_TFTP_READ_FILE:
      if (FileName == nullptr) return Stalled(EFI_INVALID_PARAMETER);
      if (Operation == EFI_PXE_BASE_CODE_TFTP_READ_FILE && Instance->State.AlternatePortMode == 1) {
        Port = TftpServerPort = Info->SPort;
      }
      Status = TftpReadFile(Instance, &WorkSize, WorkBuffer, ServerIp, FileName, BlockSize, Port, kTftpReadRequest,
                            DontUseBuffer);
      if (Status == EFI_SUCCESS || Status == EFI_BUFFER_TOO_SMALL) *BufferSize = WorkSize;
      return Stalled(Status);
    case EFI_PXE_BASE_CODE_TFTP_WRITE_FILE:
      if (FileName == nullptr || DontUseBuffer) return Stalled(EFI_INVALID_PARAMETER);
      return TftpWriteFile(Instance, BufferSize, static_cast<const UINT8 *>(Buffer), ServerIp, FileName, BlockSize,
                           Overwrite);
    case EFI_PXE_BASE_CODE_TFTP_READ_DIRECTORY:
      if (FileName == nullptr || DontUseBuffer) return Stalled(EFI_INVALID_PARAMETER);
      return TftpReadFile(Instance, BufferSize, static_cast<UINT8 *>(Buffer), ServerIp, FileName, BlockSize, Port,
                          kTftpDirectoryRequest, FALSE);
    case EFI_PXE_BASE_CODE_MTFTP_READ_DIRECTORY:
      if (DontUseBuffer) return Stalled(EFI_INVALID_PARAMETER);
      if (Info == nullptr || Info->SPort == 0) return EFI_INVALID_PARAMETER;
      return Stalled(TftpReadFile(Instance, BufferSize, static_cast<UINT8 *>(Buffer), ServerIp, kRootDirectory,
                                  BlockSize, Info->SPort, kTftpDirectoryRequest, FALSE));
    default:
      return Stalled(EFI_INVALID_PARAMETER);
  }
}
