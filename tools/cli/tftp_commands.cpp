// The TFTP commands: tftp-get, tftp-size, tftp-put, tftp-dir, mtftp-get.
#include <stdio.h>
#include <string.h>

#include <vector>

#include "tools/cli/command.h"
#include "tools/cli/print.h"
#include "tools/cli/sha256.h"

namespace orvale_cli {
namespace {

constexpr UINT64 kFirstReadBuffer = 64ull << 20;  // retried with the size the driver reports

struct TftpWords {
  EFI_IP_ADDRESS server{};
  std::string file;
  unsigned long blockSize = 0;
  bool hasBlockSize = false;
};

bool ParseTftpWords(const Words &w, const char *name, TftpWords *out, std::string *why) {
  if (!ParseIpv4(w.args[0], &out->server)) {
    *why = std::string(name) + ": bad server '" + w.args[0] + "'";
    return false;
  }
  out->file = w.args.size() > 1 ? w.args[1] : "";
  if (w.Has("--blksize")) {
    if (!ParseUnsigned(*w.Value("--blksize"), 65464, &out->blockSize) || out->blockSize < 8) {
      *why = std::string(name) + ": bad --blksize (8 to 65464)";
      return false;
    }
    out->hasBlockSize = true;
  }
  return true;
}

// The data read: written to --out, its digest printed with --sha256.
bool DeliverFile(const Words &w, const uint8_t *data, size_t n) {
  if (w.Has("--sha256")) printf("  sha256: %s\n", Sha256Hex(data, n).c_str());
  if (!w.Has("--out")) return true;
  FILE *f = fopen(w.Value("--out")->c_str(), "wb");
  if (f == nullptr || fwrite(data, 1, n, f) != n || fclose(f) != 0) {
    fprintf(stderr, "orvale: cannot write %s\n", w.Value("--out")->c_str());
    return false;
  }
  return true;
}

EFI_STATUS TftpCall(Context &ctx, EFI_PXE_BASE_CODE_TFTP_OPCODE op, TftpWords &t, void *buffer, UINT64 *size,
                    UINTN *blockSize, EFI_PXE_BASE_CODE_MTFTP_INFO *info = nullptr, bool overwrite = false) {
  return ctx.protocol->Mtftp(ctx.protocol, op, buffer, overwrite, size, blockSize, &t.server,
                             reinterpret_cast<UINT8 *>(t.file.data()), info, FALSE);
}

void PrintTftpError(Context &ctx, EFI_STATUS status) {
  if (status == EFI_TFTP_ERROR && ctx.protocol->State->TftpErrorReceived) {
    printf("  server error %u: %.127s\n", ctx.protocol->State->TftpError.ErrorCode,
           ctx.protocol->State->TftpError.ErrorString);
  }
}

}  // namespace

Outcome CmdTftpGet(Context &ctx, const Words &w) {
  TftpWords t;
  std::string why;
  if (!ParseTftpWords(w, "tftp-get", &t, &why)) return Outcome::Usage(why);
  if (ctx.Checking()) return {};
  UINT64 room = kFirstReadBuffer;
  UINTN block = t.hasBlockSize ? t.blockSize : 8192;
  if (w.Has("--tsize")) {
    UINTN sizeBlock = block;
    EFI_STATUS status = TftpCall(ctx, EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, t, nullptr, &room, &sizeBlock);
    PrintTftpError(ctx, status);
    if (status != EFI_SUCCESS) return Outcome::Status(status);
    printf("  tsize: %llu\n", static_cast<unsigned long long>(room));
    if (room == 0) room = 1;
  }
  // Not zero-filled: filling 64 MiB would cost more than a small file's transfer.
  std::unique_ptr<uint8_t[]> buffer;
  EFI_STATUS status;
  double seconds;
  UINT64 size;
  for (int attempt = 0;; ++attempt) {
    // The room is the server's tsize: one the host cannot give fails the command, not the tool.
    buffer.reset(room <= kMaxReadBytes ? new (std::nothrow) uint8_t[room] : nullptr);
    if (!buffer) {
      printf("  no room for %llu bytes\n", static_cast<unsigned long long>(room));
      return Outcome::Status(EFI_OUT_OF_RESOURCES);
    }
    size = room;
    UINTN asked = t.hasBlockSize ? t.blockSize : 8192;
    block = asked;
    const double start = MonotonicSeconds();
    status = TftpCall(ctx, EFI_PXE_BASE_CODE_TFTP_READ_FILE, t, buffer.get(), &size, &block);
    seconds = MonotonicSeconds() - start;
    if (status != EFI_BUFFER_TOO_SMALL || attempt > 0 || size <= room) break;
    room = size;  // the file's size, from the driver's size request
  }
  PrintTftpError(ctx, status);
  if (status != EFI_SUCCESS) return Outcome::Status(status);
  printf("  blksize: %zu\n", static_cast<size_t>(block));
  PrintRate(size, seconds);
  return Outcome::Status(DeliverFile(w, buffer.get(), size) ? EFI_SUCCESS : EFI_DEVICE_ERROR);
}

Outcome CmdTftpSize(Context &ctx, const Words &w) {
  TftpWords t;
  std::string why;
  if (!ParseTftpWords(w, "tftp-size", &t, &why)) return Outcome::Usage(why);
  if (ctx.Checking()) return {};
  UINT64 size = 0;
  UINTN block = t.hasBlockSize ? t.blockSize : 8192;
  const EFI_STATUS status = TftpCall(ctx, EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, t, nullptr, &size, &block);
  PrintTftpError(ctx, status);
  if (status == EFI_SUCCESS) printf("  size: %llu (blksize %zu)\n", static_cast<unsigned long long>(size), block);
  return Outcome::Status(status);
}

Outcome CmdTftpPut(Context &ctx, const Words &w) {
  TftpWords t;
  std::string why;
  unsigned long patternSize = 0;
  if (!ParseTftpWords(w, "tftp-put", &t, &why)) return Outcome::Usage(why);
  if (w.Has("--in") == w.Has("--size")) return Outcome::Usage("tftp-put: give --in PATH or --size N");
  if (w.Has("--size") && !ParseUnsigned(*w.Value("--size"), 4000000000ul, &patternSize))
    return Outcome::Usage("tftp-put: bad --size");
  if (ctx.Checking()) return {};
  hosted::Bytes data;
  if (w.Has("--in")) {
    FILE *f = fopen(w.Value("--in")->c_str(), "rb");
    if (f == nullptr) return Outcome::Usage("tftp-put: cannot read " + *w.Value("--in"));
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
    fclose(f);
  } else {
    data = Pattern(patternSize);
  }
  UINT64 size = data.size();
  UINTN block = t.hasBlockSize ? t.blockSize : 8192;
  uint8_t none = 0;
  const double start = MonotonicSeconds();
  const EFI_STATUS status = TftpCall(ctx, EFI_PXE_BASE_CODE_TFTP_WRITE_FILE, t, data.empty() ? &none : data.data(),
                                     &size, &block, nullptr, w.Has("--overwrite"));
  const double seconds = MonotonicSeconds() - start;
  PrintTftpError(ctx, status);
  if (status == EFI_SUCCESS) {
    printf("  blksize: %zu\n", static_cast<size_t>(block));
    PrintRate(data.size(), seconds);
  }
  return Outcome::Status(status);
}

Outcome CmdTftpDir(Context &ctx, const Words &w) {
  TftpWords t;
  std::string why;
  if (!ParseTftpWords(w, "tftp-dir", &t, &why)) return Outcome::Usage(why);
  if (ctx.Checking()) return {};
  std::vector<uint8_t> buffer(1 << 20);
  UINT64 size = buffer.size();
  UINTN block = t.hasBlockSize ? t.blockSize : 8192;
  const EFI_STATUS status = TftpCall(ctx, EFI_PXE_BASE_CODE_TFTP_READ_DIRECTORY, t, buffer.data(), &size, &block);
  PrintTftpError(ctx, status);
  if (status == EFI_SUCCESS) PrintData(buffer.data(), size);
  return Outcome::Status(status);
}

Outcome CmdMtftpGet(Context &ctx, const Words &w) {
  TftpWords t;
  std::string why;
  if (!ParseTftpWords(w, "mtftp-get", &t, &why)) return Outcome::Usage(why);
  EFI_PXE_BASE_CODE_MTFTP_INFO info{};
  unsigned long cport = 0, sport = 0, listen = 2, transmit = 2, room = kFirstReadBuffer;
  if (!w.Has("--group") || !ParseIpv4(*w.Value("--group"), &info.MCastIp) || !IsMulticast(info.MCastIp))
    return Outcome::Usage("mtftp-get: --group GROUP (a multicast address) is needed");
  if (!w.Has("--cport") || !ParseUnsigned(*w.Value("--cport"), 65535, &cport) || cport == 0 ||
      !w.Has("--sport") || !ParseUnsigned(*w.Value("--sport"), 65535, &sport) || sport == 0)
    return Outcome::Usage("mtftp-get: --cport P and --sport P are needed");
  if ((w.Has("--listen") && !ParseUnsigned(*w.Value("--listen"), 65535, &listen)) ||
      (w.Has("--transmit") && !ParseUnsigned(*w.Value("--transmit"), 65535, &transmit)) || listen == 0 ||
      transmit == 0)
    return Outcome::Usage("mtftp-get: bad --listen or --transmit (seconds, at least 1)");
  if (w.Has("--buffer") && !ParseUnsigned(*w.Value("--buffer"), 1ul << 31, &room))
    return Outcome::Usage("mtftp-get: bad --buffer");
  if (ctx.Checking()) return {};
  info.CPort = static_cast<UINT16>(cport);
  info.SPort = static_cast<UINT16>(sport);
  info.ListenTimeout = static_cast<UINT16>(listen);
  info.TransmitTimeout = static_cast<UINT16>(transmit);
  std::vector<uint8_t> buffer(room);
  UINT64 size = room;
  const double start = MonotonicSeconds();
  const EFI_STATUS status = TftpCall(ctx, EFI_PXE_BASE_CODE_MTFTP_READ_FILE, t, buffer.data(), &size, nullptr, &info);
  const double seconds = MonotonicSeconds() - start;
  PrintTftpError(ctx, status);
  if (status != EFI_SUCCESS) return Outcome::Status(status);
  PrintRate(size, seconds);
  return Outcome::Status(DeliverFile(w, buffer.data(), size) ? EFI_SUCCESS : EFI_DEVICE_ERROR);
}

}  // namespace orvale_cli
