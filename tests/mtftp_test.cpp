// The multicast read (operation 6) and the multicast size and directory
// operations, against a multicast server peer and the unicast fallback.
#include <string>

#include "peers/tftp_server.h"
#include "tests/net_test_support.h"
#include "tftp/tftp.h"

namespace orvale_test {
namespace {

using peers::Bytes;
namespace tftp = peers::tftp;

constexpr peers::Ip4 kGroup = {239, 1, 2, 3};
constexpr uint16_t kServerPort = 1759;
constexpr uint16_t kMcastClientPort = 1758;
constexpr uint64_t kMs = hosted::kTicksPerMs;

class MtftpTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    if (HasFatalFailure()) return;
    unicast_ = std::make_unique<peers::TftpServer>(peer_.get(), peers::TftpServerConfig{});
  }
  void TearDown() override {
    multicast_.reset();
    unicast_.reset();
    NetTest::TearDown();
  }
  void Serve(const Bytes &content, bool silent = false, uint16_t transferPort = 0,
             std::optional<peers::Ip4> firstBlockTo = std::nullopt) {
    peers::MulticastServerConfig c;
    c.serverPort = kServerPort;
    c.clientPort = kMcastClientPort;
    c.group = kGroup;
    c.file = "boot.img";
    c.content = content;
    c.silent = silent;
    c.transferPort = transferPort;
    c.firstBlockTo = firstBlockTo;
    multicast_ = std::make_unique<peers::MulticastTftpServer>(peer_.get(), &segment_, c);
  }
  EFI_PXE_BASE_CODE_MTFTP_INFO Info(UINT16 listen = 2, UINT16 transmit = 2) const {
    EFI_PXE_BASE_CODE_MTFTP_INFO info{};
    info.MCastIp = Efi(kGroup);
    info.CPort = kMcastClientPort;
    info.SPort = kServerPort;
    info.ListenTimeout = listen;
    info.TransmitTimeout = transmit;
    return info;
  }
  struct Result {
    EFI_STATUS status;
    UINT64 size;
    Bytes data;
  };
  Result Read(UINT64 bufferSize, EFI_PXE_BASE_CODE_MTFTP_INFO info, bool dontUseBuffer = false,
              EFI_PXE_BASE_CODE_TFTP_OPCODE op = EFI_PXE_BASE_CODE_MTFTP_READ_FILE, const char *file = "boot.img") {
    Result r{EFI_SUCCESS, bufferSize, Bytes(bufferSize + 16, 0xEE)};
    EFI_IP_ADDRESS server = Efi(kPeerIp);
    std::string name = file;
    r.status = Proto()->Mtftp(Proto(), op, r.data.data(), FALSE, &r.size, nullptr, &server,
                              reinterpret_cast<UINT8 *>(name.data()), &info, dontUseBuffer);
    for (size_t i = bufferSize; i < r.data.size(); ++i) EXPECT_EQ(r.data[i], 0xEE) << "byte " << i;
    r.data.resize(std::min<UINT64>(r.size, bufferSize));
    return r;
  }
  StateRecord *State() const { return Proto()->State; }

  std::unique_ptr<peers::TftpServer> unicast_;
  std::unique_ptr<peers::MulticastTftpServer> multicast_;
};

TEST_F(MtftpTest, SilentGroupOpensTheTransferFromTheClientPort) {
  const Bytes file = Pattern(3000, 4);
  Serve(file);
  const Result r = Read(8192, Info());
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, file);
  ASSERT_EQ(multicast_->Requests().size(), 1u);
  const tftp::Request &request = multicast_->Requests()[0];
  EXPECT_EQ(request.clientPort, kMcastClientPort);
  EXPECT_TRUE(request.options.empty());
  EXPECT_EQ(request.file, "boot.img");
  // Blocks 2 to 6 came on the group only; this client acknowledged each.
  EXPECT_EQ(multicast_->Acks(), (std::vector<uint16_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_TRUE(unicast_->Requests().empty());
  // The member leaves only the station address admitted, the group left.
  EXPECT_EQ(State()->IpFilter.Filters, EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP);
  EXPECT_EQ(Instance()->GroupCount, 0u);
}

TEST_F(MtftpTest, ServerSendingFromItsOwnTransferPort) {
  // As atftpd does: block 1 and the group's blocks come from a port of the
  // transfer, not from SPort; ACKs go back to that port.
  const Bytes file = Pattern(3000, 4);
  Serve(file, false, 45024);
  const Result r = Read(8192, Info());
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, file);
  EXPECT_EQ(multicast_->Acks(), (std::vector<uint16_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_TRUE(unicast_->Requests().empty());

  // A listener picks up the port from the first block it hears.
  multicast_->Broadcast(1, 6, 500 * kMs, 10 * kMs);
  const Result heard = Read(8192, Info());
  ASSERT_EQ(heard.status, EFI_SUCCESS);
  EXPECT_EQ(heard.data, file);
  EXPECT_EQ(multicast_->Requests().size(), 1u);  // no second open
}

TEST_F(MtftpTest, OneBlockFileIntoABufferOfExactlyItsSize) {
  // Block 1 arrives twice (to the station and to the group); the second copy
  // must not need room behind the first.
  const Bytes file = Pattern(100, 3);
  Serve(file);
  const Result r = Read(100, Info());
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, 100u);
  EXPECT_EQ(r.data, file);
  EXPECT_TRUE(unicast_->Requests().empty());
}

TEST_F(MtftpTest, LateJoinerCollectsMissedBlocksInALaterRound) {
  const Bytes file = Pattern(512 * 9 + 100, 6);  // 10 blocks
  Serve(file, true);
  // Another client's transfer is under way: blocks 4..10 are still to come,
  // then the whole file goes round again.
  multicast_->Broadcast(4, 10, 500 * kMs, 10 * kMs);
  multicast_->Broadcast(1, 10, 1500 * kMs, 10 * kMs);
  const Result r = Read(8192, Info());
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, file.size());
  EXPECT_EQ(r.data, file);
  EXPECT_TRUE(multicast_->Requests().empty());  // it never had to open the transfer
}

TEST_F(MtftpTest, CountOnlyLateJoinerGivesTheSize) {
  const Bytes file = Pattern(512 * 9 + 100, 6);
  Serve(file, true);
  multicast_->Broadcast(4, 10, 500 * kMs, 10 * kMs);
  multicast_->Broadcast(1, 10, 1500 * kMs, 10 * kMs);
  const Result r = Read(0, Info(), true);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, file.size());
}

TEST_F(MtftpTest, HoleInTheMiddleIsCollectedAgain) {
  const Bytes file = Pattern(512 * 9 + 100, 8);
  Serve(file, true);
  multicast_->Broadcast(1, 4, 500 * kMs, 10 * kMs);
  multicast_->Broadcast(6, 10, 550 * kMs, 10 * kMs);  // block 5 lost
  multicast_->Broadcast(1, 10, 1500 * kMs, 10 * kMs);
  const Result r = Read(8192, Info());
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, file);
}

TEST_F(MtftpTest, ShortBlockBeforeTheKnownEndIsPassedOver) {
  // Blocks 3 and 4 (the end) first, then block 2 of some other, shorter file
  // on the same group (empty), then block 1. Taking the empty block 2 would
  // end its round and leave its 512 bytes unwritten in a file read "whole".
  const Bytes file = Pattern(512 * 3, 9);  // blocks 1-3 whole, block 4 empty
  Serve(file);
  peers::MulticastServerConfig c;
  c.serverPort = kServerPort;
  c.clientPort = kMcastClientPort;
  c.group = kGroup;
  c.file = "other.img";
  c.content = Pattern(512, 3);
  c.silent = true;
  peers::MulticastTftpServer other(peer_.get(), &segment_, c);
  multicast_->Broadcast(3, 4, 500 * kMs, 10 * kMs);
  other.Broadcast(2, 2, 600 * kMs, 0);
  multicast_->Broadcast(1, 1, 700 * kMs, 0);
  const Result r = Read(8192, Info());
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, file.size());
  EXPECT_EQ(r.data, file);
}

TEST_F(MtftpTest, GapThatDoesNotFitTheBufferIsBufferTooSmall) {
  const Bytes file = Pattern(512 * 9 + 100, 6);
  Serve(file, true);
  unicast_->Config().files["boot.img"] = file;
  multicast_->Broadcast(8, 10, 500 * kMs, 10 * kMs);
  const Result r = Read(2000, Info());
  EXPECT_EQ(r.status, EFI_BUFFER_TOO_SMALL);
  EXPECT_TRUE(unicast_->Requests().empty());  // no unicast fallback for a buffer too small
}

TEST_F(MtftpTest, BlockAfterAGapBeyondTheRoomLeftIsBufferTooSmall) {
  // Block 1, then block 3: the gap fits the room left, the gap and block 3
  // together do not.
  const Bytes file = Pattern(512 * 9 + 100, 6);
  Serve(file, true);
  unicast_->Config().files["boot.img"] = file;
  multicast_->Broadcast(1, 1, 500 * kMs, 0);
  multicast_->Broadcast(3, 3, 510 * kMs, 0);
  const Result r = Read(1300, Info());  // nothing written past the 1300 bytes
  EXPECT_EQ(r.status, EFI_BUFFER_TOO_SMALL);
  EXPECT_TRUE(unicast_->Requests().empty());
}

TEST_F(MtftpTest, EmptyFileByTheOpen) {
  Serve(Bytes());
  const Result r = Read(4096, Info());
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, 0u);
  EXPECT_EQ(multicast_->Acks(), (std::vector<uint16_t>{1}));
  EXPECT_TRUE(unicast_->Requests().empty());
}

TEST_F(MtftpTest, ShortSecondBlockAfterOneCopyOfTheFirstFitsLessThanTwoBlocks) {
  // Another client acknowledges: this one sees block 1 on the group only,
  // then the short block 2 of a 612-byte file, into 700 bytes.
  const Bytes file = Pattern(612, 9);
  Serve(file, true);
  multicast_->Broadcast(1, 2, 1500 * kMs, 10 * kMs);
  const Result r = Read(700, Info(1, 2));
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, 612u);
  EXPECT_EQ(r.data, file);
  EXPECT_EQ(multicast_->Requests().size(), 1u);
  EXPECT_TRUE(unicast_->Requests().empty());
}

TEST_F(MtftpTest, BigBlockNumbersOfAnEarlierReadDoNotCarryOver) {
  const Bytes file = Pattern(3000, 4);
  unicast_->Config().offerBigBlock = true;
  unicast_->Config().files["boot.img"] = file;
  ASSERT_EQ(Read(8192, Info(), false, EFI_PXE_BASE_CODE_TFTP_READ_FILE).data, file);
  Serve(file);
  const Result r = Read(8192, Info());
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, file);
  EXPECT_EQ(unicast_->Requests().size(), 1u);  // no fallback
}

TEST_F(MtftpTest, FailedMulticastFallsBackToUnicast) {
  const Bytes file = Pattern(5000, 2);
  Serve(file, true);  // the group stays silent and nobody answers the open
  unicast_->Config().files["boot.img"] = file;
  const Result r = Read(8192, Info(1, 1));
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, file);
  EXPECT_EQ(multicast_->Requests().size(), 3u);
  ASSERT_EQ(unicast_->Requests().size(), 1u);
  EXPECT_EQ(State()->IpFilter.Filters, EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP);
}

TEST_F(MtftpTest, BlockOneToAnotherAddressFallsBackToUnicast) {
  // Block 1 broadcast instead of sent to the station: neither ours nor the
  // group's, a protocol error; the file then comes by plain TFTP.
  const Bytes file = Pattern(3000, 5);
  Serve(file, false, 0, peers::kBroadcastIp);
  unicast_->Config().files["boot.img"] = file;
  const Result r = Read(8192, Info());
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, file);
  EXPECT_EQ(multicast_->Requests().size(), 1u);
  EXPECT_EQ(unicast_->Requests().size(), 1u);
}

TEST_F(MtftpTest, BlockOlderThanTheHeldOnesFallsBackToUnicast) {
  const Bytes file = Pattern(512 * 9 + 100, 6);
  Serve(file, true);
  unicast_->Config().files["boot.img"] = file;
  multicast_->Broadcast(5, 5, 500 * kMs, 0);
  multicast_->Broadcast(3, 3, 510 * kMs, 0);  // behind block 5
  const Result r = Read(8192, Info());
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, file);
  EXPECT_EQ(unicast_->Requests().size(), 1u);
  EXPECT_TRUE(multicast_->Requests().empty());
}

TEST_F(MtftpTest, CountOnlyMulticastReadGivesTheSize) {
  const Bytes file = Pattern(20000, 2);
  Serve(file);
  const Result r = Read(0, Info(), true);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, file.size());
}

TEST_F(MtftpTest, IncompleteInfoIsRefused) {
  Serve(Pattern(10));
  for (int field = 0; field < 5; ++field) {
    EFI_PXE_BASE_CODE_MTFTP_INFO info = Info();
    if (field == 0) info.MCastIp = Efi({0, 0, 0, 0});
    if (field == 1) info.CPort = 0;
    if (field == 2) info.SPort = 0;
    if (field == 3) info.ListenTimeout = 0;
    if (field == 4) info.TransmitTimeout = 0;
    EXPECT_EQ(Read(100, info).status, EFI_INVALID_PARAMETER) << field;
  }
  EXPECT_TRUE(multicast_->Requests().empty());
}

TEST_F(MtftpTest, MulticastDirectoryAsksForRootOnTheServerPort) {
  unicast_->Config().port = kServerPort;
  unicast_->Config().files["/"] = Bytes{'a', '\n'};
  const Result r = Read(4096, Info(), false, EFI_PXE_BASE_CODE_MTFTP_READ_DIRECTORY, "ignored");
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, (Bytes{'a', '\n'}));
  ASSERT_EQ(unicast_->Requests().size(), 1u);
  EXPECT_EQ(unicast_->Requests()[0].file, "/");
  EXPECT_EQ(unicast_->Requests()[0].opcode, tftp::kDir);
}

TEST_F(MtftpTest, MulticastSizeGoesToTheServerPort) {
  unicast_->Config().port = kServerPort;
  unicast_->Config().files["boot.img"] = Pattern(4321);
  const Result r = Read(0, Info(), false, EFI_PXE_BASE_CODE_MTFTP_GET_FILE_SIZE);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, 4321u);
  // A multicast server without OACK cannot tell the size.
  unicast_->Config().honourOptions = false;
  EXPECT_EQ(Read(0, Info(), false, EFI_PXE_BASE_CODE_MTFTP_GET_FILE_SIZE).status, EFI_UNSUPPORTED);
}

}  // namespace
}  // namespace orvale_test
