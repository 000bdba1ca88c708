// One TFTP read through the Mtftp member from the server peer on the simulated
// segment, for counting instructions under callgrind: collection is switched
// on only around the read, so start-up and the file's setup are not counted.
//
//   tftp_cycles <blksize> <MiB>
//
// Prints the DATA/ACK cycles of the read. Everything runs on the virtual
// clock, so the same build executes the same instructions on every run.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/net.h"
#include "peers/tftp_server.h"
#include "platform/hosted.h"
#include "bench/bench_world.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

namespace {

using bench_world::kServerIp;
using bench_world::kServerMac;

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s <blksize> <MiB>\n", argv[0]);
    return 2;
  }
  const UINTN blockSize = strtoul(argv[1], nullptr, 10);
  const size_t fileSize = static_cast<size_t>(strtoul(argv[2], nullptr, 10)) << 20;
  if (blockSize < 8 || blockSize > 65464 || fileSize == 0) {
    fprintf(stderr, "tftp_cycles: bad block size or file size\n");
    return 2;
  }
  int rc = 0;
  bench_world::World w;
  hosted::SimSegment &segment = w.segment;
  OrvaleProtocol *p = w.p;
  EFI_IP_ADDRESS &server = w.server;
  {
    peers::Station station(&segment, kServerMac, kServerIp);
    peers::TftpServerConfig config;
    const hosted::Bytes file = bench_world::File(fileSize);
    config.files["image"] = file;
    peers::TftpServer tftp(&station, config);
    std::vector<uint8_t> buffer(fileSize + 1);
    UINT8 name[] = "image";
    UINT64 size = buffer.size();
    UINTN block = blockSize;
    CALLGRIND_TOGGLE_COLLECT;
    const EFI_STATUS status = p->Mtftp(p, EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer.data(), FALSE, &size, &block,
                                       &server, name, nullptr, FALSE);
    CALLGRIND_TOGGLE_COLLECT;
    if (status != EFI_SUCCESS || size != fileSize || block != blockSize ||
        std::memcmp(buffer.data(), file.data(), fileSize) != 0) {
      fprintf(stderr, "tftp_cycles: the file did not arrive whole (status %#llx, size %llu, blksize %llu)\n",
              static_cast<unsigned long long>(status), static_cast<unsigned long long>(size),
              static_cast<unsigned long long>(block));
      rc = 1;
    }
    // A file of whole blocks ends with an empty one.
    printf("cycles %zu\n", fileSize / blockSize + 1);
  }
  return rc;
}
