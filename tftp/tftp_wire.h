// TFTP packets (RFC 1350) with the option extension (RFC 2347, 2348, 2349)
// and the 8-byte block-number variant. Layout and constants only.
#ifndef ORVALE_TFTP_TFTP_WIRE_H
#define ORVALE_TFTP_TFTP_WIRE_H

#include "../instance/support.h"

constexpr UINT16 kTftpReadRequest = 1;
constexpr UINT16 kTftpWriteRequest = 2;
constexpr UINT16 kTftpData = 3;
constexpr UINT16 kTftpAck = 4;
constexpr UINT16 kTftpError = 5;
constexpr UINT16 kTftpOack = 6;
constexpr UINT16 kTftpDirectoryRequest = 7;
constexpr UINT16 kTftpBigData = 8;  // DATA with an 8-byte block number
constexpr UINT16 kTftpBigAck = 9;   // ACK with an 8-byte block number

// Error codes (RFC 1350 section 5, RFC 2347).
constexpr UINT16 kTftpErrorUnknownTransfer = 5;
constexpr UINT16 kTftpErrorOptionRefused = 8;

constexpr UINT16 kTftpDefaultPort = 69;
constexpr UINT64 kTftpDefaultBlockSize = 512;  // RFC 1350
constexpr UINT64 kTftpMinBlockSize = 8;        // RFC 2348 range
constexpr UINT64 kTftpMaxBlockSize = 65464;

// DATA, ACK, ERROR and OACK share a 4-byte header: opcode and a 16-bit field
// (block number or error code). OACK text starts at byte 2, inside it.
struct TftpHeader {
  Be16 opcode;
  Be16 field;
};
static_assert(sizeof(TftpHeader) == 4, "TftpHeader");
static_assert(offsetof(TftpHeader, field) == 2, "block number / error code");

// DATA (opcode 8) and ACK (opcode 9) with 8-byte block numbers.
struct TftpBigHeader {
  Be16 opcode;
  UINT8 block[8];  // big-endian

  constexpr UINT64 Block() const {
    UINT64 Value = 0;
    for (UINTN i = 0; i < 8; ++i) Value = (Value << 8) | block[i];
    return Value;
  }
  constexpr void SetBlock(UINT64 Value) {
    for (UINTN i = 0; i < 8; ++i) block[7 - i] = static_cast<UINT8>(Value >> (8 * i));
  }
};
static_assert(sizeof(TftpBigHeader) == 10, "TftpBigHeader");
static_assert(offsetof(TftpBigHeader, block) == 2, "8-byte block number");

constexpr UINTN kTftpHeaderLength = sizeof(TftpHeader);
constexpr UINTN kTftpBigHeaderLength = sizeof(TftpBigHeader);
constexpr UINTN kTftpAckLength = 4;
constexpr UINTN kTftpBigAckLength = 10;
// ERROR 8 with an empty message: opcode, code, a single 0 byte.
constexpr UINTN kTftpAbortLength = 5;

// Request: opcode, then "file\0octet\0" and "name\0value\0" pairs.
constexpr char kTftpMode[] = "octet";
constexpr char kTftpOptionBlockSize[] = "blksize";
constexpr char kTftpOptionSize[] = "tsize";
constexpr char kTftpOptionOverwrite[] = "overwrite";
constexpr char kTftpOptionBigBlock[] = "bigblk#";
constexpr UINT64 kTftpBigBlockValue = 8;

#endif
