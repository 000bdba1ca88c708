// The TFTP client: the transport with option negotiation (transport.cpp),
// the file operations behind the Mtftp member (operations.cpp) and the
// multicast read (multicast.cpp). Every function runs under the controller
// lock, inside a member call; nothing runs in the background.
#ifndef ORVALE_TFTP_TFTP_H
#define ORVALE_TFTP_TFTP_H

#include "../net/net.h"
#include "tftp_wire.h"

// Options a request carries, by bit, always in this order.
constexpr UINT8 kTftpOptionMaskBlockSize = 0x01;
constexpr UINT8 kTftpOptionMaskSize = 0x02;
constexpr UINT8 kTftpOptionMaskOverwrite = 0x04;
constexpr UINT8 kTftpOptionMaskBigBlock = 0x08;

// Every caller builds its request in a packet buffer of this size.
constexpr UINTN kTftpRequestBufferSize = 536;
// The first reply of the size and write operations is received with this room.
constexpr UINTN kTftpFirstReplyRoom = 512;
// Seconds per wait: for the first reply, and for each block or ACK after it.
constexpr UINTN kTftpOpenTimeout = 5;
constexpr UINTN kTftpBlockTimeout = 4;
// Room for the header ReceiveTftpPacket fills: 4 bytes, or 10 in 8-byte mode.
constexpr UINTN kTftpHeaderRoom = kTftpBigHeaderLength;

// Received packets the TFTP client ignored, counted in Instance->TftpDrops.
enum TftpDrop : UINT32 {
  kTftpDropStranger,      // from another port than the transfer's (answered with ERROR 5)
  kTftpDropOutOfOrder,    // DATA of neither the expected nor the previous block
  kTftpDropStaleAck,      // write: an ACK of another block than the one sent
  kTftpDropNoAnswer,      // a first reply that cannot answer the request (DATA 2, an ACK to a read)
  kTftpDropForeignIcmp,   // an ICMP error about a datagram to another port than the server's
  kTftpDropCount
};
static_assert(kTftpDropCount <= kTftpDropSlots, "TFTP drop counters fit the instance");

// A zeroed pool block freed with its scope; none for a size of 0.
class TftpPoolBytes {
 public:
  explicit TftpPoolBytes(UINT64 Size)
      : block_(Size != 0 ? static_cast<UINT8 *>(AllocZeroed(static_cast<UINTN>(Size))) : nullptr) {}
  ~TftpPoolBytes() { FreeAndNull(block_); }
  TftpPoolBytes(const TftpPoolBytes &) = delete;
  TftpPoolBytes &operator=(const TftpPoolBytes &) = delete;
  UINT8 *Get() const { return block_; }

 private:
  UINT8 *block_;
};

// The server port of plain TFTP requests, one for the whole driver (69 at load).
extern UINT16 TftpServerPort;

// ---- Option acknowledgement ----

// The value of option Name in an OACK's option text (name\0value\0 pairs),
// walked only over the Length bytes that arrived. Returns FALSE when the text
// is malformed where it matters (the option's name or value not terminated);
// *Value is null when the option is absent. The first occurrence wins.
BOOLEAN FindOackOption(const char *Name, const UINT8 *Text, UINTN Length, ByteView *Value, BOOLEAN *Present);
// Whether the option text is a sequence of NUL-terminated name/value pairs
// (zero bytes after the last pair allowed).
BOOLEAN OackTextWellFormed(const UINT8 *Text, UINTN Length);
// A decimal value of 1 to 20 digits that fits 64 bits.
BOOLEAN ReadOackNumber(ByteView Value, UINT64 *Number);

// ---- Transport ----

[[nodiscard]] EFI_STATUS SendTftpRequest(UINT16 Opcode, UINT8 OptionMask, ProtocolInstance *Instance,
                                         EFI_IP_ADDRESS *ServerIp, UINT16 *ServerPort, UINT16 *OurPort,
                                         const UINT8 *FileName, const UINT64 *BlockSize, UINT8 *PacketBuffer);
// Sends the request and waits for the first reply: its header in Header (4
// bytes), the rest in Buffer (*BufferSize: room in, data length out).
[[nodiscard]] EFI_STATUS OpenTftpTransfer(UINT16 Opcode, UINT8 OptionMask, ProtocolInstance *Instance,
                                          UINT8 *Header, const UINT64 *BlockSize, UINT64 *BufferSize, void *Buffer,
                                          EFI_IP_ADDRESS *ServerIp, UINT16 ServerPort, UINT16 *ServerReplyPort,
                                          UINT16 *OurPort, const UINT8 *FileName, UINTN TimeoutSeconds);
// One packet, waited for TimeoutSeconds + 0.1 s on Timer (closed on return).
// Header needs kTftpHeaderRoom bytes. A datagram with a bad UDP checksum is
// dropped and the wait goes on in the same window; with flags 0, a datagram
// from the server's address to the station but from another port is
// answered with ERROR 5 and dropped (RFC 1350 section 4). A server's ERROR is
// recorded in the StateRecord and gives EFI_TFTP_ERROR.
[[nodiscard]] EFI_STATUS ReceiveTftpPacket(ProtocolInstance *Instance, UINT16 OpFlags, UINT8 *Header,
                                           UINT64 *BufferSize, void *Buffer, EFI_IP_ADDRESS *ServerIp,
                                           UINT16 *ServerPort, EFI_IP_ADDRESS *OurIp, UINT16 *OurPort,
                                           UINTN TimeoutSeconds, TimerEvent *Timer);
// The same within a window the caller armed (ArmTftpWindow) and closes, so
// that packets it drops do not restart the wait.
[[nodiscard]] EFI_STATUS ReceiveTftpPacketInWindow(ProtocolInstance *Instance, UINT16 OpFlags, UINT8 *Header,
                                                   UINT64 *BufferSize, void *Buffer, EFI_IP_ADDRESS *ServerIp,
                                                   UINT16 *ServerPort, EFI_IP_ADDRESS *OurIp, UINT16 *OurPort,
                                                   TimerEvent *Timer);
// Arms Timer for TimeoutSeconds + 0.1 s; closes it when that fails.
[[nodiscard]] EFI_STATUS ArmTftpWindow(TimerEvent *Timer, UINTN TimeoutSeconds);
// The lock-step download. MinimumBlock: the loop is skipped when BlockSize is
// below it (512 when the first block has already arrived as DATA 1, so a short
// one was the last; kTftpMinBlockSize after an OACK). In count-only mode
// *BufferSize receives Offset plus the bytes counted.
[[nodiscard]] EFI_STATUS ReceiveTftpBlocks(ProtocolInstance *Instance, UINT64 BlockSize, UINT64 *BufferSize,
                                           UINT64 Offset, UINT8 *Buffer, EFI_IP_ADDRESS *ServerIp,
                                           UINT16 *ServerPort, EFI_IP_ADDRESS *OurIp, UINT16 *OurPort,
                                           UINT64 FirstAckBlock, UINTN TimeoutSeconds, BOOLEAN CountOnly,
                                           UINT64 MinimumBlock);
EFI_STATUS SendTftpAck(ProtocolInstance *Instance, EFI_IP_ADDRESS *DestIp, UINT16 *DestPort, UINT16 *OurPort,
                       UINTN Length);
void SendTftpAbort(ProtocolInstance *Instance, EFI_IP_ADDRESS *DestIp, UINT16 *DestPort, UINT16 *OurPort);

// ---- Operations ----

// The station-only receive filter {STATION_IP, no addresses}.
[[nodiscard]] EFI_STATUS ApplyStationFilter(ProtocolInstance *Instance);

[[nodiscard]] EFI_STATUS RunTftpOperation(ProtocolInstance *Instance, EFI_PXE_BASE_CODE_TFTP_OPCODE Operation,
                                          UINT64 *BufferSize, void *Buffer, EFI_IP_ADDRESS *ServerIp,
                                          const UINT8 *FileName, UINT64 *BlockSize,
                                          EFI_PXE_BASE_CODE_MTFTP_INFO *Info, BOOLEAN Overwrite,
                                          BOOLEAN DontUseBuffer);
[[nodiscard]] EFI_STATUS TftpGetFileSize(ProtocolInstance *Instance, UINT64 *FileSize, EFI_IP_ADDRESS *ServerIp,
                                         UINT16 ServerPort, const UINT8 *FileName, UINT64 *BlockSize);
[[nodiscard]] EFI_STATUS TftpReadFile(ProtocolInstance *Instance, UINT64 *BufferSize, UINT8 *Buffer,
                                      EFI_IP_ADDRESS *ServerIp, const UINT8 *FileName, UINT64 *BlockSize,
                                      UINT16 ServerPort, UINT16 RequestOpcode, BOOLEAN CountOnly);
[[nodiscard]] EFI_STATUS TftpWriteFile(ProtocolInstance *Instance, UINT64 *BufferSize, const UINT8 *Buffer,
                                       EFI_IP_ADDRESS *ServerIp, const UINT8 *FileName, UINT64 *BlockSize,
                                       BOOLEAN Overwrite);

// ---- Multicast read ----

[[nodiscard]] EFI_STATUS MtftpReadFile(ProtocolInstance *Instance, UINT64 *BufferSize, UINT8 *Buffer,
                                       EFI_IP_ADDRESS *ServerIp, const UINT8 *FileName,
                                       EFI_PXE_BASE_CODE_MTFTP_INFO *Info, BOOLEAN CountOnly);
// *BlockSize: the transfer's block size as earlier rounds showed it, 0 while
// unknown; a round that hears two of its blocks sets it.
[[nodiscard]] EFI_STATUS MtftpListen(ProtocolInstance *Instance, UINT64 *Remaining, UINT8 *Position,
                                     EFI_IP_ADDRESS *ServerIp, EFI_PXE_BASE_CODE_MTFTP_INFO *Info,
                                     UINT64 *FirstHeard, UINT64 *Missed, UINT64 *BlockSize, UINT16 TransmitTimeout,
                                     UINT16 ListenTime, UINT16 StopBlock, BOOLEAN CountOnly);
[[nodiscard]] EFI_STATUS MtftpOpen(ProtocolInstance *Instance, UINT64 *BufferSize, UINT8 *Buffer,
                                   EFI_IP_ADDRESS *ServerIp, const UINT8 *FileName,
                                   EFI_PXE_BASE_CODE_MTFTP_INFO *Info, UINT8 *OpenState, UINT64 *BlockSizeSeen,
                                   BOOLEAN CountOnly);

#endif
