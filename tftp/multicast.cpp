// The multicast read: listen to the group, open the transfer from the
// caller's client port when the group is silent, and pick up the blocks
// missed at the start of a transfer already under way in later rounds.
//
// Limits: block numbers are 16 bits (files of at most 65535 blocks); the
// blocks of one round are stored where their number puts them, so a round
// never writes past the room the caller gave.
#include "tftp.h"

#include "../net/ip_address.h"

namespace {

constexpr UINT64 kMaxListenRoom = 8192;
// Count-only reads store nothing; their "room" only counts bytes.
constexpr UINT64 kCountOnlyRoom = static_cast<UINT64>(1) << 62;
constexpr UINT8 kOpenedStation = 0x01;
constexpr UINT8 kOpenedGroup = 0x02;
// Listen rounds of one multicast read: ample for a late joiner and a few
// losses (most reads take one or two).
constexpr UINTN kMaxRounds = 8;

}  // namespace

EFI_STATUS MtftpListen(ProtocolInstance *Instance, UINT64 *Remaining, UINT8 *Position, EFI_IP_ADDRESS *ServerIp,
                       EFI_PXE_BASE_CODE_MTFTP_INFO *Info, UINT64 *FirstHeard, UINT64 *Missed,
                       UINT64 *KnownBlockSize, UINT16 TransmitTimeout, UINT16 ListenTime, UINT16 StopBlock,
                       BOOLEAN CountOnly) {
  UINT64 Held = *FirstHeard;
  UINT64 Left = *Remaining;
  UINT64 BlockSize = *KnownBlockSize;
  bool First = true;
  // The port the round's blocks come from: servers send from a transfer port
  // of their own (RFC 1350 section 4), not always from SPort. The first block
  // of the round names it.
  UINT16 TransferPort = Info->SPort;
  *Missed = 0;
  // ListenTime for the round's first block, then TransmitTimeout from each
  // new block on; a repeat does not start the window again.
  TimerEvent Timer;
  EFI_STATUS Status = ArmTftpWindow(&Timer, ListenTime);
  if (EFI_ERROR(Status)) return Status;
  for (;;) {
    // Count-only reads keep receiving at the same place; the rest move on.
    const UINT64 Limit = BlockSize == 0 ? kMaxListenRoom : BlockSize;
    const UINT64 Room = CountOnly ? Limit : MinOf(Limit, Left);
    UINT64 Size = Room;
    UINT8 Header[kTftpHeaderRoom];
    UINT16 ServerPort = TransferPort;
    UINT16 ClientPort = Info->CPort;
    EFI_IP_ADDRESS Group = Info->MCastIp;
    const UINT16 Flags = First ? EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT : 0;
    Status = ReceiveTftpPacketInWindow(Instance, Flags, Header, &Size, Position, ServerIp, &ServerPort, &Group,
                                       &ClientPort, &Timer);
    if (Status == EFI_BUFFER_TOO_SMALL && Room == Limit) {
      // Longer than any block of this transfer: not a block of it.
      return EFI_PROTOCOL_ERROR;
    }
    if (EFI_ERROR(Status)) return Status;
    const TftpHeader *Data = reinterpret_cast<const TftpHeader *>(Header);
    if (Data->opcode.get() != kTftpData) return EFI_PROTOCOL_ERROR;
    const UINT64 Number = Data->field.get();
    if (Number == Held) continue;  // a repeat: received again at the same place
    if (Number < Held) return EFI_PROTOCOL_ERROR;
    // Up to the block before the ones already held every block is whole: a
    // short one there is of some other transfer on the group, or forged, and
    // is passed over, so that it neither ends the round nor leaves its place
    // in the file unwritten.
    if (StopBlock != 0 && Number <= StopBlock && BlockSize != 0 && Size < BlockSize) continue;
    const UINT64 Gap = Number - Held - 1;
    // Block 1 shorter than a block of an option-less transfer is the whole file.
    const bool WholeFile = First && Number == 1 && Size < kTftpDefaultBlockSize;
    Held = Number;
    if (First) {
      *FirstHeard = Number;
      if (BlockSize == 0) BlockSize = Size;
      TransferPort = ServerPort;
      First = false;
    } else {
      *Missed = (*Missed + Gap) % 65536;
      *KnownBlockSize = BlockSize;  // a block followed the first: it was whole
    }
    if (Gap > 0) {
      *FirstHeard = Number;
      // Block n belongs gap blocks further on; it must fit there.
      const UINT64 Skip = Gap * BlockSize;
      if (Skip > Left || Size > Left - Skip) return EFI_BUFFER_TOO_SMALL;
      if (!CountOnly) {
        __builtin_memmove(Position + Skip, Position, static_cast<UINTN>(Size));
        Position += Skip;
      }
      Left -= Skip;
    }
    if (Size > Left) return EFI_BUFFER_TOO_SMALL;
    if (!CountOnly) Position += Size;
    Left -= Size;
    if (WholeFile || Size != BlockSize || (StopBlock != 0 && Number == StopBlock)) {
      *Remaining = Left;
      return EFI_SUCCESS;
    }
    Status = ArmTftpWindow(&Timer, TransmitTimeout);
    if (EFI_ERROR(Status)) return Status;
  }
}

EFI_STATUS MtftpOpen(ProtocolInstance *Instance, UINT64 *BufferSize, UINT8 *Buffer, EFI_IP_ADDRESS *ServerIp,
                     const UINT8 *FileName, EFI_PXE_BASE_CODE_MTFTP_INFO *Info, UINT8 *OpenState,
                     UINT64 *BlockSizeSeen, BOOLEAN CountOnly) {
  UINT8 Request[kTftpRequestBufferSize];
  *BlockSizeSeen = MinOf<UINT64>(*BufferSize, kMaxListenRoom);
  // Block 1 stays at the buffer's start whichever copy of it came first;
  // what follows it is taken here, so nothing lands over it and block 2 is
  // moved behind it only when it fits.
  TftpPoolBytes Later(*BlockSizeSeen);
  if (*BlockSizeSeen != 0 && Later.Get() == nullptr) return EFI_OUT_OF_RESOURCES;
  for (UINTN Attempt = 0; Attempt < 3; ++Attempt) {
    *OpenState = 0;
    bool HaveBlockOne = false;
    // The server's transfer port, named by the first block 1 (see MtftpListen).
    UINT16 TransferPort = 0;
    UINT16 ServerPort = Info->SPort;
    UINT16 ClientPort = Info->CPort;
    // The caller's client port, not a fresh one: the group's transfer is keyed on it.
    EFI_STATUS Status = SendTftpRequest(kTftpReadRequest, 0, Instance, ServerIp, &ServerPort, &ClientPort, FileName,
                                        nullptr, Request);
    if (EFI_ERROR(Status)) return Status;
    // One window per request, started again only by a copy of block 1 not yet seen.
    TimerEvent Timer;
    Status = ArmTftpWindow(&Timer, Info->TransmitTimeout);
    if (EFI_ERROR(Status)) return Status;
    for (;;) {
      EFI_IP_ADDRESS Destination;
      ZeroBytes(&Destination, sizeof(Destination));
      UINT8 *Position = HaveBlockOne ? Later.Get() : Buffer;
      UINT64 Size = *BlockSizeSeen;
      UINT8 Header[kTftpHeaderRoom];
      ServerPort = TransferPort;
      ClientPort = Info->CPort;
      UINT16 Flags = EFI_PXE_BASE_CODE_UDP_OPFLAGS_USE_FILTER;
      if (TransferPort == 0) Flags |= EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT;
      Status = ReceiveTftpPacketInWindow(Instance, Flags, Header, &Size, Position, ServerIp, &ServerPort,
                                         &Destination, &ClientPort, &Timer);
      if (Status == EFI_TIMEOUT) break;  // resend the request
      if (EFI_ERROR(Status)) return Status;
      const TftpHeader *Data = reinterpret_cast<const TftpHeader *>(Header);
      if (Data->opcode.get() != kTftpData) return EFI_PROTOCOL_ERROR;
      const UINT16 Number = Data->field.get();
      if (Number != 1) {
        if (Number != 2 || !HaveBlockOne) {
          *OpenState = 0;
          return EFI_SUCCESS;  // the caller listens again
        }
        // Block 2 after one copy of block 1: it belongs behind it.
        if (!CountOnly) {
          if (Size > *BufferSize - *BlockSizeSeen) return EFI_BUFFER_TOO_SMALL;
          CopyBytes(Buffer + *BlockSizeSeen, Later.Get(), static_cast<UINTN>(Size));
        }
        if (Size < *BlockSizeSeen) {
          // A short block 2 is the last: the whole file is held.
          *BufferSize = *BlockSizeSeen + Size;
          *OpenState = kOpenedStation | kOpenedGroup;
        }
        return EFI_SUCCESS;
      }
      if (HaveBlockOne && Size != *BlockSizeSeen) return EFI_PROTOCOL_ERROR;  // two different blocks 1
      UINT8 Copy = 0;
      if (SameIpv4(Destination.v4.Addr, Instance->Mode.StationIp.v4.Addr)) {
        Copy = kOpenedStation;
      } else if (SameIpv4(Destination.v4.Addr, Info->MCastIp.v4.Addr)) {
        Copy = kOpenedGroup;
      } else {
        return EFI_PROTOCOL_ERROR;
      }
      if (!HaveBlockOne) {
        HaveBlockOne = true;
        *BlockSizeSeen = Size;
        TransferPort = ServerPort;
      }
      if ((*OpenState & Copy) != 0) continue;  // a copy already held: the window goes on
      *OpenState |= Copy;
      if (*OpenState == (kOpenedStation | kOpenedGroup)) {
        // This client opened the transfer: it acknowledges every block, on the
        // group's address, to the server's transfer port from the client port.
        ServerPort = TransferPort;
        ClientPort = Info->CPort;
        EFI_IP_ADDRESS Group = Info->MCastIp;
        return ReceiveTftpBlocks(Instance, Size, BufferSize, Size, CountOnly ? nullptr : Buffer, ServerIp,
                                 &ServerPort, &Group, &ClientPort, 1, Info->TransmitTimeout, CountOnly,
                                 kTftpDefaultBlockSize);
      }
      Status = ArmTftpWindow(&Timer, Info->TransmitTimeout);
      if (EFI_ERROR(Status)) return Status;
    }
  }
  return EFI_TIMEOUT;
}

EFI_STATUS MtftpReadFile(ProtocolInstance *Instance, UINT64 *BufferSize, UINT8 *Buffer, EFI_IP_ADDRESS *ServerIp,
                         const UINT8 *FileName, EFI_PXE_BASE_CODE_MTFTP_INFO *Info, BOOLEAN CountOnly) {
  EFI_PXE_BASE_CODE_IP_FILTER Filter;
  ZeroBytes(&Filter, sizeof(Filter));
  Filter.Filters = EFI_PXE_BASE_CODE_IP_FILTER_BROADCAST;
  Filter.IpCnt = 2;
  Filter.IpList[0] = Instance->Mode.StationIp;
  Filter.IpList[1] = Info->MCastIp;
  EFI_STATUS Status = ApplyIpFilter(Instance, &Filter);
  if (EFI_ERROR(Status)) return Status;
  // The group's blocks carry 2-byte numbers, whatever an earlier OACK agreed.
  Instance->UseBigBlockNumbers = FALSE;

  if (CountOnly) *BufferSize = kCountOnlyRoom;
  UINT64 Offset = 0;
  UINT64 StartBlock = 0;
  UINT16 StopBlock = 0;
  UINT16 ListenTime = Info->ListenTimeout;
  UINT64 BlockSizeSeen = 0;
  UINT64 BlockSize = 0;  // of the group's transfer, once a round or the open has shown it
  // Rounds are bounded, so that a group that never completes the file (or a
  // stranger answering every open with some later block) ends the read; the
  // unicast fallback then runs.
  for (UINTN Round = 0; Round < kMaxRounds; ++Round) {
    UINT64 Remaining = *BufferSize - Offset;
    UINT64 FirstHeard = StartBlock;
    UINT64 Missed = 0;
    Status = MtftpListen(Instance, &Remaining, CountOnly ? Buffer : Buffer + Offset, ServerIp, Info, &FirstHeard,
                         &Missed, &BlockSize, Info->TransmitTimeout, ListenTime, StopBlock, CountOnly);
    if (EFI_ERROR(Status) && Status != EFI_TIMEOUT) return Status;
    if (FirstHeard == StartBlock) {
      UINT8 OpenState = 0;
      Status = MtftpOpen(Instance, BufferSize, Buffer, ServerIp, FileName, Info, &OpenState, &BlockSizeSeen,
                         CountOnly);
      if (EFI_ERROR(Status)) return Status;
      if (OpenState == (kOpenedStation | kOpenedGroup)) return EFI_SUCCESS;
      if (OpenState == 0) {
        Offset = 0;
        StartBlock = 0;
      } else {
        // Blocks 1 and 2 are held at the buffer's start.
        BlockSize = BlockSizeSeen;
        Offset = 2 * BlockSizeSeen;
        StartBlock = 2;
        if (Offset > *BufferSize) return EFI_BUFFER_TOO_SMALL;
      }
      ListenTime = Info->TransmitTimeout;
      continue;
    }
    if (Status == EFI_SUCCESS) {
      if (StopBlock == 0) *BufferSize -= Remaining;  // the file's end has been seen
      if (Missed == 0 && FirstHeard == StartBlock + 1) return EFI_SUCCESS;
      StopBlock = static_cast<UINT16>(FirstHeard - 1);
    }
    ListenTime = Missed > Info->ListenTimeout ? 0 : static_cast<UINT16>(Info->ListenTimeout - Missed);
    Offset = 0;
    StartBlock = 0;
  }
  return EFI_TIMEOUT;
}
