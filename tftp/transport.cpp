// TFTP transport: requests with options, the first-reply exchange with its
// retransmissions and fallback without options, the lock-step download, ACK
// and abort packets, the server's ERROR record, and OACK option lookup.
//
// Limits: IPv4 only; one DATA block in flight (no window); mode "octet" only.
#include "tftp.h"
#include "../net/probe.h"

#include "../net/icmp_wire.h"
#include "../net/ip_address.h"
#include "../net/ipv4_wire.h"
#include "../net/udp_wire.h"

UINT16 TftpServerPort = kTftpDefaultPort;

namespace {

constexpr UINT16 kFirstPort = 2070;
constexpr UINT64 kTicksPerSecond = 10000000;
constexpr UINT64 kWindowSlack = 1000000;  // every wait is N seconds plus 0.1 s
constexpr UINTN kMaxDecimalDigits = 20;   // 2^64 - 1 has 20 digits
constexpr UINTN kErrorTextRoom = sizeof(EFI_PXE_BASE_CODE_TFTP_ERROR::ErrorString);

UINTN TextLength(const char *Text) {
  UINTN Length = 0;
  while (Text[Length] != 0) ++Length;
  return Length;
}

// Bytes up to the first 0 within Limit, or Limit when there is none.
UINTN BoundedLength(const UINT8 *Text, UINTN Limit) {
  UINTN Length = 0;
  while (Length < Limit && Text[Length] != 0) ++Length;
  return Length;
}

// Appends Text and its 0 byte at *At when it fits Room; FALSE otherwise.
bool Append(UINT8 *Packet, UINTN Room, UINTN *At, const void *Text, UINTN Length) {
  if (Length + 1 > Room - *At) return false;
  CopyBytes(Packet + *At, Text, Length);
  Packet[*At + Length] = 0;
  *At += Length + 1;
  return true;
}

// Decimal digits of Value without leading zeros; returns their count.
UINTN FormatDecimal(UINT64 Value, char *Digits) {
  char Reversed[kMaxDecimalDigits];
  UINTN Count = 0;
  do {
    Reversed[Count++] = static_cast<char>('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  for (UINTN i = 0; i < Count; ++i) Digits[i] = Reversed[Count - 1 - i];
  return Count;
}

// A payload sent from OurPort (a fresh port when absent) to DestIp:DestPort.
EFI_STATUS SendTftpPayload(ProtocolInstance *Instance, EFI_IP_ADDRESS *DestIp, UINT16 *DestPort, UINT16 *OurPort,
                           const void *Payload, UINTN Length) {
  UINT16 Fresh = 0;
  if (OurPort == nullptr) {
    Fresh = TakeSourcePort(Instance);
    OurPort = &Fresh;
  }
  UINTN Size = Length;
  return UdpWriteLocked(Instance, EFI_PXE_BASE_CODE_UDP_OPFLAGS_MAY_FRAGMENT, DestIp, DestPort, nullptr, nullptr,
                        OurPort, nullptr, nullptr, &Size, const_cast<void *>(Payload));
}

// RFC 1350 section 4: a packet from an unknown transfer identifier gets ERROR 5
// and the transfer goes on undisturbed.
void AnswerStranger(ProtocolInstance *Instance, EFI_IP_ADDRESS *SourceIp, UINT16 SourcePort, UINT16 *OurPort) {
  static constexpr char kText[] = "Unknown transfer ID";
  UINT8 Packet[kTftpHeaderLength + sizeof(kText)];
  TftpHeader *Header = reinterpret_cast<TftpHeader *>(Packet);
  Header->opcode.set(kTftpError);
  Header->field.set(kTftpErrorUnknownTransfer);
  CopyBytes(Packet + kTftpHeaderLength, kText, sizeof(kText));
  UINT16 Port = SourcePort;
  (void)SendTftpPayload(Instance, SourceIp, &Port, OurPort, Packet, sizeof(Packet));
}

// The server's ERROR: its code and text, always terminated within the field.
// The packet arrived as HeaderLength bytes of header and DataLength of data;
// its code is byte 3 and its text starts at byte 4, on either side.
void RecordTftpError(ProtocolInstance *Instance, const UINT8 *Header, UINTN HeaderLength, const UINT8 *Data,
                     UINTN DataLength) {
  auto At = [&](UINTN i) -> INTN {
    if (i < HeaderLength) return Header[i];
    return i - HeaderLength < DataLength ? Data[i - HeaderLength] : -1;
  };
  EFI_PXE_BASE_CODE_TFTP_ERROR &Error = Instance->State.TftpError;
  Instance->State.TftpErrorReceived = TRUE;
  Error.ErrorCode = static_cast<UINT8>(At(3) < 0 ? 0 : At(3));
  ZeroBytes(Error.ErrorString, kErrorTextRoom);
  for (UINTN i = 0; i + 1 < kErrorTextRoom; ++i) {
    const INTN Byte = At(kTftpHeaderLength + i);
    if (Byte <= 0) break;
    Error.ErrorString[i] = static_cast<CHAR8>(Byte);
  }
}

// Whether the ICMP error just recorded quotes a datagram we sent to Port. One
// about another port (our ERROR 5 to a stranger, whose host has no such
// port) says nothing about this transfer.
bool IcmpErrorAbout(const ProtocolInstance *Instance, UINT16 Port) {
  const UINT8 *Quote = reinterpret_cast<const UINT8 *>(&Instance->Mode.IcmpError) + sizeof(IcmpHeader);
  const UINTN QuotedHeader = reinterpret_cast<const Ipv4Header *>(Quote)->HeaderLength();
  if (sizeof(IcmpHeader) + QuotedHeader + sizeof(UdpHeader) > sizeof(EFI_PXE_BASE_CODE_ICMP_ERROR)) return false;
  return reinterpret_cast<const UdpHeader *>(Quote + QuotedHeader)->destinationPort.get() == Port;
}

// One packet read with a header of HeaderLength bytes; see ReceiveTftpPacket.
EFI_STATUS ReceiveWithHeader(ProtocolInstance *Instance, UINT16 OpFlags, UINT8 *Header, UINTN HeaderLength,
                             UINT64 *BufferSize, void *Buffer, EFI_IP_ADDRESS *ServerIp, UINT16 *ServerPort,
                             EFI_IP_ADDRESS *OurIp, UINT16 *OurPort, TimerEvent *Timer) {
  EFI_STATUS Status = EFI_TIMEOUT;
  // With exact ports asked for, a unicast datagram from the server's address
  // but another port is a stranger to answer; read any port and sort here.
  const bool SortStrangers =
      (OpFlags & EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT) == 0 && OurIp == nullptr && ServerPort != nullptr;
  const UINT16 ReadFlags = SortStrangers ? static_cast<UINT16>(OpFlags | EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT)
                                         : OpFlags;
  const UINT64 Room = *BufferSize;
  for (;;) {
    UINTN Size = static_cast<UINTN>(Room);
    UINTN HeaderSize = HeaderLength;
    UINT16 SourcePort = ServerPort != nullptr ? *ServerPort : 0;
    const UINT32 Corrupted = Instance->NetDrops[kDropUdpChecksum];
    Status = UdpReadLocked(Instance, ReadFlags, OurIp, OurPort, ServerIp, &SourcePort, &HeaderSize, Header, &Size,
                           Buffer, Timer->Get());
    // A corrupted datagram (bad UDP checksum) is a lost one: wait on. Any
    // other device error is the MNP failing, which waiting will not mend.
    if (Status == EFI_DEVICE_ERROR && Instance->NetDrops[kDropUdpChecksum] != Corrupted) continue;
    if (Status == EFI_ICMP_ERROR && ServerPort != nullptr && *ServerPort != 0 &&
        !IcmpErrorAbout(Instance, *ServerPort)) {
      ++Instance->TftpDrops[kTftpDropForeignIcmp];
      continue;
    }
    if (Status != EFI_SUCCESS && Status != EFI_BUFFER_TOO_SMALL) return Status;
    if (SortStrangers && SourcePort != *ServerPort) {
      ++Instance->TftpDrops[kTftpDropStranger];
      const UINT16 Opcode = reinterpret_cast<const TftpHeader *>(Header)->opcode.get();
      if (Opcode != kTftpError) AnswerStranger(Instance, ServerIp, SourcePort, OurPort);
      continue;
    }
    if (ServerPort != nullptr) *ServerPort = SourcePort;
    if (reinterpret_cast<const TftpHeader *>(Header)->opcode.get() == kTftpError) {
      // A text too long for the room is not kept: the code alone is recorded.
      RecordTftpError(Instance, Header, HeaderLength, static_cast<const UINT8 *>(Buffer),
                      Status == EFI_SUCCESS ? Size : 0);
      return EFI_TFTP_ERROR;
    }
    if (Status == EFI_SUCCESS) *BufferSize = Size;
    return Status;
  }
}

// Only an OACK, DATA 1 (read and directory) or an ACK (write) can answer a
// request; anything else, from any port, is dropped and the wait goes on.
bool AnswersRequest(UINT16 RequestOpcode, const UINT8 *Header) {
  const TftpHeader *Reply = reinterpret_cast<const TftpHeader *>(Header);
  const UINT16 Opcode = Reply->opcode.get();
  if (Opcode == kTftpOack) return true;
  if (RequestOpcode == kTftpWriteRequest) return Opcode == kTftpAck;
  return Opcode == kTftpData && Reply->field.get() == 1;
}

// The first reply to a request. It is read with a 2-byte header, because an
// OACK that acknowledges nothing is only its opcode (a server with every
// option switched off sends one), and reshaped to the 4-byte header the
// callers read. Data lands in a bounce block 2 bytes larger than the room, so
// a reply that fits the caller's room is never refused.
EFI_STATUS ReceiveFirstReply(ProtocolInstance *Instance, UINT16 RequestOpcode, UINT8 *Header, UINT64 *BufferSize,
                             void *Buffer, EFI_IP_ADDRESS *ServerIp, UINT16 *ServerReplyPort, UINT16 *OurPort,
                             UINT8 *Bounce, TimerEvent *Timer) {
  constexpr UINTN kOpcodeLength = sizeof(TftpHeader::opcode);
  const UINT64 Room = *BufferSize;
  for (;;) {
    UINT64 Size = Room + kOpcodeLength;
    const UINT16 Port = *ServerReplyPort;
    EFI_STATUS Status = ReceiveWithHeader(Instance, EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT, Header,
                                          kOpcodeLength, &Size, Bounce, ServerIp, ServerReplyPort, nullptr, OurPort,
                                          Timer);
    const bool TooLong = Status == EFI_BUFFER_TOO_SMALL;  // its first bytes are held
    if (EFI_ERROR(Status) && !TooLong) return Status;
    if (Size >= kOpcodeLength || TooLong) {
      CopyBytes(Header + kOpcodeLength, Bounce, kOpcodeLength);
      if (!AnswersRequest(RequestOpcode, Header)) {
        ++Instance->TftpDrops[kTftpDropNoAnswer];
        *ServerReplyPort = Port;
        continue;
      }
      if (TooLong) return Status;
      *BufferSize = Size - kOpcodeLength;
      CopyBytes(Buffer, Bounce + kOpcodeLength, static_cast<UINTN>(*BufferSize));
      return EFI_SUCCESS;
    }
    if (reinterpret_cast<const TftpHeader *>(Header)->opcode.get() == kTftpOack) {
      // Option text of Size (0 or 1) bytes, terminated in the header field.
      Header[2] = Size != 0 ? Bounce[0] : 0;
      Header[3] = 0;
      *BufferSize = 0;
      return EFI_SUCCESS;
    }
    *ServerReplyPort = Port;  // too short to be anything else: wait on
  }
}

}  // namespace

BOOLEAN FindOackOption(const char *Name, const UINT8 *Text, UINTN Length, ByteView *Value, BOOLEAN *Present) {
  *Present = FALSE;
  *Value = ByteView();
  const UINTN NameLength = TextLength(Name);
  UINTN At = 0;
  while (At < Length) {
    const UINTN KeyLength = BoundedLength(Text + At, Length - At);
    if (KeyLength == Length - At) return TRUE;  // a trailing name without value: not ours unless it matches
    const UINTN ValueAt = At + KeyLength + 1;
    const UINTN ValueLength = ValueAt < Length ? BoundedLength(Text + ValueAt, Length - ValueAt) : 0;
    const bool Terminated = ValueAt < Length && ValueLength < Length - ValueAt;
    if (KeyLength == NameLength && SameBytes(Text + At, Name, NameLength)) {
      if (!Terminated) return FALSE;
      *Present = TRUE;
      *Value = ByteView(Text + ValueAt, ValueLength);
      return TRUE;
    }
    if (!Terminated) return TRUE;
    At = ValueAt + ValueLength + 1;
  }
  return TRUE;
}

BOOLEAN OackTextWellFormed(const UINT8 *Text, UINTN Length) {
  UINTN At = 0;
  while (At < Length) {
    // Zero bytes after the last pair name nothing: padding, not an option.
    UINTN Rest = At;
    while (Rest < Length && Text[Rest] == 0) ++Rest;
    if (Rest == Length) return TRUE;
    const UINTN KeyLength = BoundedLength(Text + At, Length - At);
    if (KeyLength == Length - At) return FALSE;
    const UINTN ValueAt = At + KeyLength + 1;
    if (ValueAt == Length) return FALSE;
    const UINTN ValueLength = BoundedLength(Text + ValueAt, Length - ValueAt);
    if (ValueLength == Length - ValueAt) return FALSE;
    At = ValueAt + ValueLength + 1;
  }
  return TRUE;
}

BOOLEAN ReadOackNumber(ByteView Value, UINT64 *Number) {
  if (Value.size == 0 || Value.size > kMaxDecimalDigits) return FALSE;
  UINT64 Result = 0;
  for (UINTN i = 0; i < Value.size; ++i) {
    const UINT8 Byte = Value[i];
    if (Byte < '0' || Byte > '9') return FALSE;
    const UINT64 Digit = Byte - '0';
    if (Result > (~static_cast<UINT64>(0) - Digit) / 10) return FALSE;
    Result = Result * 10 + Digit;
  }
  *Number = Result;
  return TRUE;
}

EFI_STATUS SendTftpRequest(UINT16 Opcode, UINT8 OptionMask, ProtocolInstance *Instance, EFI_IP_ADDRESS *ServerIp,
                           UINT16 *ServerPort, UINT16 *OurPort, const UINT8 *FileName, const UINT64 *BlockSize,
                           UINT8 *PacketBuffer) {
  if (ServerIp == nullptr || ServerPort == nullptr || OurPort == nullptr || FileName == nullptr ||
      PacketBuffer == nullptr || ((OptionMask & kTftpOptionMaskBlockSize) && BlockSize == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }
  // The whole request must fit the caller's packet buffer: a name or options
  // that do not are refused before anything is sent.
  constexpr UINTN Room = kTftpRequestBufferSize;
  TftpHeader *Header = reinterpret_cast<TftpHeader *>(PacketBuffer);
  Header->opcode.set(Opcode);
  UINTN At = sizeof(Header->opcode);
  const UINTN NameLength = BoundedLength(FileName, Room);
  if (!Append(PacketBuffer, Room, &At, FileName, NameLength) ||
      !Append(PacketBuffer, Room, &At, kTftpMode, sizeof(kTftpMode) - 1)) {
    return EFI_BAD_BUFFER_SIZE;
  }
  if (OptionMask & kTftpOptionMaskBlockSize) {
    char Digits[kMaxDecimalDigits];
    const UINTN Count = FormatDecimal(*BlockSize, Digits);
    if (!Append(PacketBuffer, Room, &At, kTftpOptionBlockSize, sizeof(kTftpOptionBlockSize) - 1) ||
        !Append(PacketBuffer, Room, &At, Digits, Count)) {
      return EFI_BAD_BUFFER_SIZE;
    }
  }
  if ((OptionMask & kTftpOptionMaskSize) &&
      (!Append(PacketBuffer, Room, &At, kTftpOptionSize, sizeof(kTftpOptionSize) - 1) ||
       !Append(PacketBuffer, Room, &At, "0", 1))) {
    return EFI_BAD_BUFFER_SIZE;
  }
  if ((OptionMask & kTftpOptionMaskOverwrite) &&
      (!Append(PacketBuffer, Room, &At, kTftpOptionOverwrite, sizeof(kTftpOptionOverwrite) - 1) ||
       !Append(PacketBuffer, Room, &At, "1", 1))) {
    return EFI_BAD_BUFFER_SIZE;
  }
  if ((OptionMask & kTftpOptionMaskBigBlock) &&
      (!Append(PacketBuffer, Room, &At, kTftpOptionBigBlock, sizeof(kTftpOptionBigBlock) - 1) ||
       !Append(PacketBuffer, Room, &At, "8", 1))) {
    return EFI_BAD_BUFFER_SIZE;
  }
  if (*OurPort == 0) *OurPort = TakeSourcePort(Instance);
  return SendTftpPayload(Instance, ServerIp, ServerPort, OurPort, PacketBuffer, At);
}

EFI_STATUS ArmTftpWindow(TimerEvent *Timer, UINTN TimeoutSeconds) {
  ORVALE_PROBE(kProbeArm);
  const EFI_STATUS Status = Timer->Arm(static_cast<UINT64>(TimeoutSeconds) * kTicksPerSecond + kWindowSlack);
  if (EFI_ERROR(Status)) Timer->Close();
  return Status;
}

EFI_STATUS ReceiveTftpPacket(ProtocolInstance *Instance, UINT16 OpFlags, UINT8 *Header, UINT64 *BufferSize,
                             void *Buffer, EFI_IP_ADDRESS *ServerIp, UINT16 *ServerPort, EFI_IP_ADDRESS *OurIp,
                             UINT16 *OurPort, UINTN TimeoutSeconds, TimerEvent *Timer) {
  EFI_STATUS Status = ArmTftpWindow(Timer, TimeoutSeconds);
  if (EFI_ERROR(Status)) return Status;
  Status = ReceiveTftpPacketInWindow(Instance, OpFlags, Header, BufferSize, Buffer, ServerIp, ServerPort, OurIp,
                                     OurPort, Timer);
  Timer->Close();
  return Status;
}

EFI_STATUS ReceiveTftpPacketInWindow(ProtocolInstance *Instance, UINT16 OpFlags, UINT8 *Header, UINT64 *BufferSize,
                                     void *Buffer, EFI_IP_ADDRESS *ServerIp, UINT16 *ServerPort,
                                     EFI_IP_ADDRESS *OurIp, UINT16 *OurPort, TimerEvent *Timer) {
  const UINTN HeaderLength = Instance->UseBigBlockNumbers ? kTftpBigHeaderLength : kTftpHeaderLength;
  return ReceiveWithHeader(Instance, OpFlags, Header, HeaderLength, BufferSize, Buffer, ServerIp, ServerPort, OurIp,
                           OurPort, Timer);
}

EFI_STATUS OpenTftpTransfer(UINT16 Opcode, UINT8 OptionMask, ProtocolInstance *Instance, UINT8 *Header,
                            const UINT64 *BlockSize, UINT64 *BufferSize, void *Buffer, EFI_IP_ADDRESS *ServerIp,
                            UINT16 ServerPort, UINT16 *ServerReplyPort, UINT16 *OurPort, const UINT8 *FileName,
                            UINTN TimeoutSeconds) {
  const UINT64 Room = *BufferSize;
  if (Room > kUdpMaxLength) return EFI_INVALID_PARAMETER;
  TftpPoolBytes Bounce(Room + sizeof(TftpHeader::opcode));
  if (Bounce.Get() == nullptr) return EFI_OUT_OF_RESOURCES;
  UINT8 Request[kTftpRequestBufferSize];
  Instance->UseBigBlockNumbers = FALSE;
  *OurPort = 0;
  EFI_STATUS Status = EFI_TIMEOUT;
  for (UINTN Attempt = 0; Attempt < 3; ++Attempt) {
    // Every retransmission leaves from the next port up, taken from the
    // counter too: the next call must not reuse a port whose late replies
    // would read as its own.
    if (*OurPort != 0) {
      *OurPort = *OurPort == 0xFFFF ? kFirstPort : static_cast<UINT16>(*OurPort + 1);
      if (*OurPort == Instance->SourcePort) (void)TakeSourcePort(Instance);
    }
    Status = SendTftpRequest(Opcode, OptionMask, Instance, ServerIp, &ServerPort, OurPort, FileName, BlockSize,
                             Request);
    if (EFI_ERROR(Status)) return Status;
    *BufferSize = Room;
    TimerEvent Timer;
    *ServerReplyPort = ServerPort;
    Status = ArmTftpWindow(&Timer, TimeoutSeconds);
    if (EFI_ERROR(Status)) return Status;
    Status = ReceiveFirstReply(Instance, Opcode, Header, BufferSize, Buffer, ServerIp, ServerReplyPort, OurPort,
                               Bounce.Get(), &Timer);
    if (Status != EFI_TIMEOUT) break;
  }
  if (Status == EFI_BUFFER_TOO_SMALL && reinterpret_cast<const TftpHeader *>(Header)->opcode.get() == kTftpOack) {
    // An OACK longer than the room is longer than any parse area: refused.
    SendTftpAbort(Instance, ServerIp, ServerReplyPort, OurPort);
    return EFI_PROTOCOL_ERROR;
  }
  if (Status == EFI_TFTP_ERROR && OptionMask != 0) {
    // A server that refuses options may still serve the file without them.
    *BufferSize = Room;
    return OpenTftpTransfer(Opcode, 0, Instance, Header, BlockSize, BufferSize, Buffer, ServerIp, ServerPort,
                            ServerReplyPort, OurPort, FileName, TimeoutSeconds);
  }
  return Status;
}

EFI_STATUS SendTftpAck(ProtocolInstance *Instance, EFI_IP_ADDRESS *DestIp, UINT16 *DestPort, UINT16 *OurPort,
                       UINTN Length) {
  if (Instance->TftpAckPacket == nullptr || DestIp == nullptr || DestPort == nullptr) return EFI_INVALID_PARAMETER;
  if (Length > kTftpPacketBufferSize) return EFI_BAD_BUFFER_SIZE;
  return SendTftpPayload(Instance, DestIp, DestPort, OurPort, Instance->TftpAckPacket, Length);
}

void SendTftpAbort(ProtocolInstance *Instance, EFI_IP_ADDRESS *DestIp, UINT16 *DestPort, UINT16 *OurPort) {
  if (DestIp == nullptr || DestPort == nullptr || Instance->TftpErrorPacket == nullptr) return;
  UINT8 *Packet = Instance->TftpErrorPacket;
  TftpHeader *Header = reinterpret_cast<TftpHeader *>(Packet);
  Header->opcode.set(kTftpError);
  Header->field.set(kTftpErrorOptionRefused);
  Packet[kTftpHeaderLength] = 0;
  (void)SendTftpPayload(Instance, DestIp, DestPort, OurPort, Packet, kTftpAbortLength);
}


EFI_STATUS ReceiveTftpBlocks(ProtocolInstance *Instance, UINT64 BlockSize, UINT64 *BufferSize, UINT64 Offset,
                             UINT8 *Buffer, EFI_IP_ADDRESS *ServerIp, UINT16 *ServerPort, EFI_IP_ADDRESS *OurIp,
                             UINT16 *OurPort, UINT64 FirstAckBlock, UINTN TimeoutSeconds, BOOLEAN CountOnly,
                             UINT64 MinimumBlock) {
  const UINT64 B = BlockSize;
  // A first block below the minimum was the last (an empty file's DATA 1 has
  // 0 bytes): nothing more is received, only its ACK goes out.
  bool Ended = B < MinimumBlock;
  if (BufferSize == nullptr || (B == 0 && !Ended) || B > kUdpMaxLength) return EFI_INVALID_PARAMETER;
  if (!CountOnly && (Buffer == nullptr || Offset > *BufferSize)) return EFI_INVALID_PARAMETER;
  TftpPoolBytes Block(Ended ? 0 : B);
  if (!Ended && Block.Get() == nullptr) return EFI_OUT_OF_RESOURCES;

  UINT64 Room = CountOnly ? 0 : *BufferSize - Offset;  // count-only: bytes counted
  UINT8 *Position = CountOnly ? nullptr : Buffer + Offset;
  const bool Big = Instance->UseBigBlockNumbers != FALSE;
  UINT8 *Ack = Instance->TftpAckPacket;
  const UINTN AckLength = Big ? kTftpBigAckLength : kTftpAckLength;
  reinterpret_cast<TftpHeader *>(Ack)->opcode.set(Big ? kTftpBigAck : kTftpAck);
  UINT64 Counter = FirstAckBlock;
  auto WriteAckBlock = [&](UINT64 Value) {
    if (Big) {
      reinterpret_cast<TftpBigHeader *>(Ack)->SetBlock(Value);
    } else {
      reinterpret_cast<TftpHeader *>(Ack)->field.set(static_cast<UINT16>(Value));
    }
  };

  UINT64 LastLength = B;
  UINT64 Limit = B;
  bool AwaitingFirst = FirstAckBlock == 0;  // the OACK was acknowledged, no block yet
  // One window timer and one transmit token event for the whole transfer,
  // re-armed per block, rather than a timer made just before each window and
  // closed right after it: the same windows, without the cost of making and
  // closing two events in every cycle. The one difference: a window that ran
  // out in the microseconds between taking its block and the next ACK would
  // leave its signal standing, and the next window would end at once (one
  // more ACK, one retry counted).
  TimerEvent Timer;
  TransmitEventLoan TransmitEvent(Instance);
  while (!Ended && LastLength == B) {
    if (!CountOnly && Room < B) Limit = Room;
    UINTN Retries = 5;
    WriteAckBlock(Counter);
    Counter = Big ? Counter + 1 : static_cast<UINT16>(Counter + 1);
    const UINT64 Expected = Counter;
    UINT64 Length = 0;
    bool SendAck = true;
    // The window runs from the ACK that asks for the block (or its
    // retransmission after a timeout); packets dropped meanwhile, repeats
    // included, do not start it again.
    bool Arm = true;
    for (;;) {
      if (SendAck) (void)SendTftpAck(Instance, ServerIp, ServerPort, OurPort, AckLength);
      SendAck = false;
      if (Arm) {
        const EFI_STATUS Armed = ArmTftpWindow(&Timer, TimeoutSeconds);
        if (EFI_ERROR(Armed)) return Armed;
        Arm = false;
      }
      UINT8 Header[kTftpHeaderRoom];
      UINT64 Size = B;
      UINT16 Port = *ServerPort;
      EFI_STATUS Status = ReceiveTftpPacketInWindow(Instance, 0, Header, &Size, Block.Get(), ServerIp, &Port, OurIp,
                                                    OurPort, &Timer);
      if (Status == EFI_TIMEOUT) {
        if (--Retries == 0) return EFI_TIMEOUT;
        SendAck = Arm = true;
        continue;
      }
      if (Status == EFI_BUFFER_TOO_SMALL) {
        // Longer than the block size the transfer runs at: the server broke
        // the agreement, and nothing of it is kept.
        SendTftpAbort(Instance, ServerIp, ServerPort, OurPort);
        return EFI_PROTOCOL_ERROR;
      }
      if (EFI_ERROR(Status)) return Status;
      // The OACK once more (a copy, or a resend because ACK 0 was lost) while
      // block 1 is awaited: acknowledged again, as a repeated block would be.
      if (AwaitingFirst && reinterpret_cast<const TftpHeader *>(Header)->opcode.get() == kTftpOack) {
        SendAck = true;
        continue;
      }
      UINT64 Number = 0;
      if (Big) {
        const TftpBigHeader *Data = reinterpret_cast<const TftpBigHeader *>(Header);
        if (Data->opcode.get() != kTftpBigData) return EFI_PROTOCOL_ERROR;
        Number = Data->Block();
      } else {
        const TftpHeader *Data = reinterpret_cast<const TftpHeader *>(Header);
        if (Data->opcode.get() != kTftpData) return EFI_PROTOCOL_ERROR;
        Number = Data->field.get();
      }
      if (Number == Expected) {
        Length = Size;
        break;
      }
      // The previous block again (compared without wrap-around): our ACK was lost.
      if (Expected != 0 && Number == Expected - 1) {
        SendAck = true;
        continue;
      }
      ++Instance->TftpDrops[kTftpDropOutOfOrder];
    }
    if (Length > Limit) {
      SendTftpAbort(Instance, ServerIp, ServerPort, OurPort);
      return EFI_BUFFER_TOO_SMALL;
    }
    if (CountOnly) {
      Room += Length;
    } else {
      CopyBytes(Position, Block.Get(), static_cast<UINTN>(Length));
      Position += Length;
      Room -= Length;
    }
    LastLength = Limit = Length;
    AwaitingFirst = false;
  }
  *BufferSize = CountOnly ? Offset + Room : *BufferSize - Room;
  WriteAckBlock(Counter);
  (void)SendTftpAck(Instance, ServerIp, ServerPort, OurPort, AckLength);
  return EFI_SUCCESS;
}
