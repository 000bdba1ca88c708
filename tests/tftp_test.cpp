// The TFTP client through the Mtftp member against a scripted server peer:
// option negotiation, the lock-step download, get-size, write, hostile
// servers, and the transport's limits.
#include <cstring>
#include <string>

#include "instance/members.h"
#include "peers/tftp_server.h"
#include "tests/net_test_support.h"
#include "tftp/tftp.h"

namespace orvale_test {
namespace {

using peers::Bytes;
using peers::TftpServer;
namespace tftp = peers::tftp;

using namespace std::string_literals;

Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }

class TftpTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    if (HasFatalFailure()) return;
    server_ = std::make_unique<TftpServer>(peer_.get(), peers::TftpServerConfig{});
  }
  void TearDown() override {
    server_.reset();
    NetTest::TearDown();
  }

  struct Result {
    EFI_STATUS status = EFI_SUCCESS;
    UINT64 size = 0;
    UINTN blockSize = 0;
    Bytes data;
  };
  // Takes and drops the frames queued for the instance.
  void DropQueuedFrames() {
    Locked([&](ProtocolInstance *in) {
      UINTN header = 0, length = 0;
      UINT16 type = 0;
      while (ReceiveFrame(in, nullptr, &header, &length, &type) == EFI_SUCCESS) {
      }
      return 0;
    });
  }
  Result Run(EFI_PXE_BASE_CODE_TFTP_OPCODE op, const std::string &file, UINT64 bufferSize,
             std::optional<UINTN> blockSize = 8192, bool dontUseBuffer = false,
             EFI_PXE_BASE_CODE_MTFTP_INFO *info = nullptr, Bytes *writeData = nullptr, bool overwrite = false) {
    Result r;
    Bytes buffer = writeData != nullptr ? *writeData : Bytes(bufferSize + 16, 0xEE);
    r.size = writeData != nullptr ? writeData->size() : bufferSize;
    UINTN block = blockSize.value_or(0);
    EFI_IP_ADDRESS server = Efi(kPeerIp);
    std::string name = file;
    UINT8 empty = 0;
    r.status = Proto()->Mtftp(Proto(), op, buffer.empty() ? &empty : buffer.data(), overwrite, &r.size,
                              blockSize ? &block : nullptr, &server, reinterpret_cast<UINT8 *>(name.data()), info,
                              dontUseBuffer);
    r.blockSize = block;
    if (writeData == nullptr) {
      // Nothing is ever written behind the room the caller gave.
      for (size_t i = bufferSize; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << "byte " << i;
      buffer.resize(std::min<UINT64>(r.size, bufferSize));
    }
    r.data = buffer;
    return r;
  }
  Result Read(const std::string &file, UINT64 bufferSize, std::optional<UINTN> blockSize = 8192) {
    return Run(EFI_PXE_BASE_CODE_TFTP_READ_FILE, file, bufferSize, blockSize);
  }

  // Datagrams the server peer received on its transfer ports, decoded as opcode and field.
  std::vector<std::pair<uint16_t, uint16_t>> ClientPackets() const {
    std::vector<std::pair<uint16_t, uint16_t>> out;
    for (const auto &d : server_->Datagrams()) {
      if (d.data.size() >= 4) out.emplace_back(peers::GetBe16(d.data, 0), peers::GetBe16(d.data, 2));
    }
    return out;
  }
  StateRecord *State() const { return Proto()->State; }
  uint32_t TftpDrops(TftpDrop reason) const { return Instance()->TftpDrops[reason]; }

  // Count UDP datagrams from the server's address, the first start ticks
  // from now and one every interval: what a hostile peer sends on a schedule.
  void InjectUdp(uint16_t from, uint16_t to, const Bytes &data, uint64_t start, uint64_t interval, int count,
                 const peers::Ip4 &destination = kClientIp) {
    const bool group = destination[0] >= 224 && destination[0] <= 239;
    const hosted::Mac mac = group ? peers::MulticastMac(destination) : kClientMac;
    peers::UdpFields udp;
    udp.sourcePort = from;
    udp.destinationPort = to;
    peers::Ipv4Fields ip;
    ip.source = kPeerIp;
    ip.destination = destination;
    for (int i = 0; i < count; ++i) {
      ip.identification = static_cast<uint16_t>(0x5000 + i);
      const Bytes datagram = peers::BuildIpv4(ip, peers::BuildUdp(kPeerIp, destination, udp, data));
      segment_.Inject(peers::BuildEthernet(mac, kPeerMac, 0x0800, datagram), start + i * interval);
    }
  }

  std::unique_ptr<TftpServer> server_;
};

// ---- Requests and option negotiation ----

TEST_F(TftpTest, ReadRequestCarriesBlksizeAndFileArrivesWhole) {
  const Bytes file = Pattern(3000);
  server_->Config().files["boot/img"] = file;
  const Result r = Read("boot/img", 10000, 1024);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, 3000u);
  EXPECT_EQ(r.blockSize, 1024u);
  EXPECT_EQ(r.data, file);
  ASSERT_FALSE(server_->Datagrams().empty());
  const Bytes expected = {
      0x00, 0x01,                                         // RRQ
      'b',  'o', 'o', 't', '/', 'i', 'm', 'g', 0x00,      // file name
      'o',  'c', 't', 'e', 't', 0x00,                     // mode
      'b',  'l', 'k', 's', 'i', 'z', 'e', 0x00,           // option
      '1',  '0', '2', '4', 0x00,                          // its value, no leading zeros
  };
  EXPECT_EQ(server_->Datagrams()[0].data, expected);
  EXPECT_EQ(server_->Datagrams()[0].destinationPort, 69);
  // ACK 0 for the OACK, then ACK 1..3; the last block (952 bytes) ends it.
  const auto packets = ClientPackets();
  std::vector<std::pair<uint16_t, uint16_t>> acks(packets.begin() + 1, packets.end());
  EXPECT_EQ(acks, (std::vector<std::pair<uint16_t, uint16_t>>{{4, 0}, {4, 1}, {4, 2}, {4, 3}}));
  // Every packet after the request goes to the transfer's port from the request's port.
  for (size_t i = 1; i < server_->Datagrams().size(); ++i) {
    EXPECT_EQ(server_->Datagrams()[i].destinationPort, 40000);
    EXPECT_EQ(server_->Datagrams()[i].sourcePort, server_->Datagrams()[0].sourcePort);
  }
}

TEST_F(TftpTest, ExactMultipleOfBlockSizeEndsWithEmptyBlock) {
  server_->Config().files["f"] = Pattern(2048);
  const Result r = Read("f", 4096, 512);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, 2048u);
  EXPECT_EQ(r.data, Pattern(2048));
  const auto packets = ClientPackets();
  EXPECT_EQ(packets.back(), (std::pair<uint16_t, uint16_t>{4, 5}));  // the empty block 5 acknowledged
}

TEST_F(TftpTest, FileFillingTheBufferExactly) {
  server_->Config().files["f"] = Pattern(1024);
  EXPECT_EQ(Read("f", 1024, 512).status, EFI_SUCCESS);
  server_->Config().files["g"] = Pattern(1025);
  const Result over = Read("g", 1024, 512);
  EXPECT_EQ(over.status, EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(over.size, 1025u);  // from a second, size-only request
}

TEST_F(TftpTest, ServerIgnoringOptionsWithShortFirstBlock) {
  server_->Config().honourOptions = false;
  server_->Config().files["small"] = Pattern(100);
  const Result r = Read("small", 8192);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, 100u);
  EXPECT_EQ(r.data, Pattern(100));
  const auto packets = ClientPackets();
  ASSERT_EQ(packets.size(), 2u);  // the request and one ACK 1
  EXPECT_EQ(packets[1], (std::pair<uint16_t, uint16_t>{4, 1}));
}

TEST_F(TftpTest, ServerIgnoringOptionsServes512ByteBlocks) {
  server_->Config().honourOptions = false;
  server_->Config().files["f"] = Pattern(1500);
  const Result r = Read("f", 8192);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(1500));
  EXPECT_EQ(r.blockSize, 512u);
}

TEST_F(TftpTest, FirstBlockLargerThanBufferFailsAtOnce) {
  server_->Config().honourOptions = false;
  server_->Config().files["f"] = Pattern(1500);
  const Result r = Read("f", 300);
  EXPECT_EQ(r.status, EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.size, 300u);        // unchanged: no size request
  EXPECT_EQ(server_->Requests().size(), 1u);
}

TEST_F(TftpTest, BlockSizeBelow512NegotiatedIsSupported) {
  server_->Config().oackBlockSize = 100;
  server_->Config().files["f"] = Pattern(1050);
  const Result r = Read("f", 4096, 512);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.blockSize, 100u);
  EXPECT_EQ(r.data, Pattern(1050));
}

TEST_F(TftpTest, BigBlockNumbersOfferedInOack) {
  server_->Config().offerBigBlock = true;
  server_->Config().files["f"] = Pattern(5000);
  const Result r = Read("f", 8192, 1024);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(5000));
  // ACKs are opcode 9 with 8-byte block numbers: 10 bytes each.
  const auto &d = server_->Datagrams();
  ASSERT_GE(d.size(), 3u);
  EXPECT_EQ(d[1].data, (Bytes{0, 9, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(d.back().data, (Bytes{0, 9, 0, 0, 0, 0, 0, 0, 0, 5}));
}

TEST_F(TftpTest, BlockSizeIsClampedAndWrittenBack) {
  server_->Config().files["f"] = Pattern(10);
  EXPECT_EQ(Read("f", 100000, 100).blockSize, 512u);
  EXPECT_EQ(server_->Requests().back().Option("blksize"), "512");
  Read("f", 100000, 65536);
  EXPECT_EQ(server_->Requests().back().Option("blksize"), "8192");
  Read("f", 1000, 4096);
  EXPECT_EQ(server_->Requests().back().Option("blksize"), "1000");
  Read("f", 100, 4096);
  EXPECT_EQ(server_->Requests().back().Option("blksize"), "512");
  Read("f", 100000, std::nullopt);
  EXPECT_EQ(server_->Requests().back().Option("blksize"), "8192");
}

// ---- Loss, repeats and order ----

TEST_F(TftpTest, FileIsByteIdenticalUnderLossAndDuplication) {
  const Bytes file = Pattern(300 * 1024, 9);
  server_->Config().files["big"] = file;
  hosted::SegmentFaults faults;
  faults.lossRate = 0.05;
  faults.duplicateRate = 0.05;
  faults.seed = 7;
  segment_.SetFaults(faults);
  const Result r = Read("big", file.size() + 100, 1468);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  ASSERT_EQ(r.size, file.size());
  EXPECT_TRUE(r.data == file);
}

TEST_F(TftpTest, RepeatedBlockIsAcknowledgedAgainAndBlockTwoAheadIgnored) {
  server_->Config().files["f"] = Pattern(2000);
  bool once = false;
  server_->hooks.beforeData = [&](TftpServer &s, TftpServer::Transfer &t, uint64_t block, Bytes &data) {
    if (block == 2 && !once) {
      once = true;
      s.SendData(t, 1, s.BlockOf(t, 1));  // the previous block again
      s.SendData(t, 4, s.BlockOf(t, 4));  // two ahead
    }
    s.SendData(t, block, data);
    return true;
  };
  const Result r = Read("f", 4096, 512);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(2000));
  const auto packets = ClientPackets();
  EXPECT_EQ(std::count(packets.begin(), packets.end(), std::pair<uint16_t, uint16_t>{4, 1}), 2);
  EXPECT_EQ(TftpDrops(kTftpDropOutOfOrder), 1u);
}

TEST_F(TftpTest, DuplicatedOackIsAcknowledgedAgainNotAFault) {
  server_->Config().files["f"] = Pattern(3000);
  server_->hooks.beforeFirstReply = [](TftpServer &s, TftpServer::Transfer &t) {
    const Bytes oack = tftp::Oack({{"blksize", "1024"}});
    s.SendTo(t, t.port, oack);
    s.SendTo(t, t.port, oack);  // as a duplicating segment would deliver it
    return true;
  };
  const Result r = Read("f", 8192, 1024);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(3000));
  // Written the other way: a copy of the OACK while ACK 1 is awaited.
  Bytes data = Pattern(2500);
  EXPECT_EQ(Run(EFI_PXE_BASE_CODE_TFTP_WRITE_FILE, "w", 0, 1024, false, nullptr, &data).status, EFI_SUCCESS);
  EXPECT_EQ(server_->Written().at("w"), data);
}

TEST_F(TftpTest, LostBlockIsRecoveredByResendingTheAck) {
  server_->Config().files["f"] = Pattern(2000);
  int sends = 0;
  server_->hooks.beforeData = [&](TftpServer &, TftpServer::Transfer &, uint64_t block, Bytes &) {
    return block == 3 && sends++ < 2;  // block 3 lost twice
  };
  const Result r = Read("f", 4096, 512);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(2000));
}

TEST_F(TftpTest, FiveLostAcksEndWithTimeout) {
  server_->Config().files["f"] = Pattern(2000);
  server_->hooks.beforeData = [](TftpServer &, TftpServer::Transfer &, uint64_t block, Bytes &) {
    return block >= 2;
  };
  const Result r = Read("f", 4096, 512);
  EXPECT_EQ(r.status, EFI_TIMEOUT);
  const auto packets = ClientPackets();
  EXPECT_EQ(std::count(packets.begin(), packets.end(), std::pair<uint16_t, uint16_t>{4, 1}), 5);
}

TEST_F(TftpTest, BlockCounterWrapsPast65535) {
  // The download picks up at block 65533 (as after 65532 blocks of a big
  // file): blocks 65534, 65535, 0, 1 follow, then a short 2 ends it. After
  // the wrap a repeat of 65535 is ignored, not acknowledged again.
  server_.reset();
  constexpr uint16_t kServerPort = 40000, kOurPort = 3000;
  std::vector<uint16_t> acks;
  peer_->OnFrame = [&](const hosted::Frame &frame) {
    const auto e = peers::ParseEthernet(frame.bytes);
    const auto ip = e ? peers::ParseIpv4(e->payload) : std::nullopt;
    const auto udp = ip ? peers::ParseUdp(ip->source, ip->destination, ip->payload) : std::nullopt;
    if (!udp || udp->destinationPort != kServerPort || udp->data.size() != 4) return;
    const uint16_t block = peers::GetBe16(udp->data, 2);
    acks.push_back(block);
    const uint16_t next = static_cast<uint16_t>(block + 1);
    if (next == 0 && acks.size() == 3) {
      // Before block 0: a stale 65535 once more.
      peer_->SendUdp(kClientMac, kClientIp, kServerPort, kOurPort, tftp::Data(65535, Bytes(512, 0x11)));
    }
    if (acks.size() <= 5) peer_->SendUdp(kClientMac, kClientIp, kServerPort, kOurPort,
                                         tftp::Data(next, Bytes(next == 2 ? 100 : 512, static_cast<uint8_t>(next))));
  };
  Bytes buffer(4096, 0xEE);
  UINT64 size = buffer.size();
  const EFI_STATUS status = Locked([&](ProtocolInstance *in) {
    EFI_IP_ADDRESS server = Efi(kPeerIp);
    UINT16 serverPort = kServerPort, ourPort = kOurPort;
    return ReceiveTftpBlocks(in, 512, &size, 0, buffer.data(), &server, &serverPort, nullptr, &ourPort, 65533, 4,
                             FALSE, kTftpDefaultBlockSize);
  });
  peer_->OnFrame = nullptr;
  ASSERT_EQ(status, EFI_SUCCESS);
  EXPECT_EQ(size, 4 * 512u + 100);
  EXPECT_EQ(buffer[0], 0xFE);        // block 65534
  EXPECT_EQ(buffer[512], 0xFF);      // 65535
  EXPECT_EQ(buffer[1024], 0x00);     // 0
  EXPECT_EQ(buffer[1536], 0x01);     // 1
  EXPECT_EQ(buffer[2048], 0x02);     // the short 2
  EXPECT_EQ(acks, (std::vector<uint16_t>{65533, 65534, 65535, 0, 1, 2}));
}

TEST_F(TftpTest, NoReplyMeansThreeRequestsFromSuccessivePorts) {
  server_->Config().silent = true;
  const Result r = Read("f", 4096);
  EXPECT_EQ(r.status, EFI_TIMEOUT);
  ASSERT_EQ(server_->Requests().size(), 3u);
  EXPECT_EQ(server_->Requests()[1].clientPort, server_->Requests()[0].clientPort + 1);
  EXPECT_EQ(server_->Requests()[2].clientPort, server_->Requests()[0].clientPort + 2);
}

TEST_F(TftpTest, NextCallNeverReusesARetryPort) {
  server_->Config().silent = true;
  ASSERT_EQ(Read("f", 4096).status, EFI_TIMEOUT);
  ASSERT_EQ(server_->Requests().size(), 3u);
  const uint16_t first = server_->Requests()[0].clientPort;
  // A late DATA of the abandoned transfer to each port the retries used.
  const Bytes stale(100, 0xAB);
  for (uint16_t port : {uint16_t(first + 1), uint16_t(first + 2)}) InjectUdp(40700, port, tftp::Data(1, stale), 0, 0, 1);
  server_->Config().silent = false;
  server_->Config().files["g"] = Pattern(700);
  const Result r = Read("g", 4096);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(700));
  ASSERT_EQ(server_->Requests().size(), 4u);
  EXPECT_EQ(server_->Requests()[3].clientPort, first + 3);
}

// ---- Server errors ----

TEST_F(TftpTest, ErrorToOptionsIsRetriedWithoutOptionsFromANewPort) {
  server_->Config().errorRequests = 1;
  server_->Config().errorOnlyWithOptions = true;
  server_->Config().files["f"] = Pattern(700);
  const Result r = Read("f", 4096);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(700));
  ASSERT_EQ(server_->Requests().size(), 2u);
  EXPECT_TRUE(server_->Requests()[1].options.empty());
  EXPECT_NE(server_->Requests()[1].clientPort, server_->Requests()[0].clientPort);
  EXPECT_TRUE(State()->TftpErrorReceived);  // the first error stays recorded
}

TEST_F(TftpTest, SecondErrorEndsWithTftpError) {
  server_->Config().errorRequests = 2;
  server_->Config().errorPacket = tftp::Error(2, "Access violation");
  const Result r = Read("f", 4096);
  EXPECT_EQ(r.status, EFI_TFTP_ERROR);
  EXPECT_EQ(server_->Requests().size(), 2u);
  EXPECT_TRUE(State()->TftpErrorReceived);
  EXPECT_EQ(State()->TftpError.ErrorCode, 2);
  EXPECT_STREQ(State()->TftpError.ErrorString, "Access violation");
}

TEST_F(TftpTest, MissingFileIsNeverSuccess) {
  const Result r = Read("absent", 4096);
  EXPECT_EQ(r.status, EFI_TFTP_ERROR);
  EXPECT_EQ(State()->TftpError.ErrorCode, 1);
}

TEST_F(TftpTest, ErrorTextIsCutAndTerminatedWithin127Bytes) {
  for (size_t length : {126u, 127u, 200u}) {
    server_->Config().errorRequests = 1000;
    server_->Config().errorPacket = tftp::Error(3, std::string(length, 'x'));
    EXPECT_EQ(Read("f", 4096).status, EFI_TFTP_ERROR);
    EXPECT_EQ(std::strlen(State()->TftpError.ErrorString), std::min<size_t>(length, 126)) << length;
  }
  // Without its terminating 0 byte the text still ends inside the field.
  server_->Config().errorPacket = tftp::Error(4, "no end", false);
  EXPECT_EQ(Read("f", 4096).status, EFI_TFTP_ERROR);
  EXPECT_STREQ(State()->TftpError.ErrorString, "no end");
  EXPECT_EQ(State()->TftpError.ErrorCode, 4);
}

TEST_F(TftpTest, ErrorFlagIsClearedByTheNextCall) {
  EXPECT_EQ(Read("absent", 4096).status, EFI_TFTP_ERROR);
  server_->Config().files["f"] = Pattern(10);
  EXPECT_EQ(Read("f", 4096).status, EFI_SUCCESS);
  EXPECT_FALSE(State()->TftpErrorReceived);
}

// ---- Get size ----

TEST_F(TftpTest, GetSizeFromTsizeAbortsTheTransfer) {
  server_->Config().files["f"] = Pattern(123456);
  const Result r = Run(EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, "f", 0);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, 123456u);
  EXPECT_EQ(server_->Requests()[0].Option("tsize"), "0");
  const Bytes abort = {0x00, 0x05, 0x00, 0x08, 0x00};  // ERROR 8, empty text
  EXPECT_EQ(server_->Datagrams().back().data, abort);
  EXPECT_EQ(server_->Datagrams().back().destinationPort, 40000);
}

TEST_F(TftpTest, GetSizeWithoutTsizeCountsTheFile) {
  server_->Config().files["f"] = Pattern(20000);
  server_->Config().oackText = Text("blksize\0"s "1024\0"s);
  server_->Config().oackBlockSize = 1024;
  EXPECT_EQ(Run(EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, "f", 0).size, 20000u);
  server_->Config().oackText.reset();
  server_->Config().honourOptions = false;
  const Result r = Run(EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, "f", 0);
  EXPECT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, 20000u);  // the first block counts too
}

TEST_F(TftpTest, GetSizeTsizeLargerThanAnyBuffer) {
  server_->Config().oackText = Text("tsize\0"s "18446744073709551615\0"s);
  server_->Config().files["f"] = Pattern(1);
  const Result r = Run(EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, "f", 0);
  EXPECT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, 18446744073709551615ull);
}

TEST_F(TftpTest, DontUseBufferReturnsTheLengthOnly) {
  server_->Config().files["f"] = Pattern(50000);
  Result r = Run(EFI_PXE_BASE_CODE_TFTP_READ_FILE, "f", 0, 8192, true);
  EXPECT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, 50000u);
  server_->Config().honourOptions = false;
  r = Run(EFI_PXE_BASE_CODE_TFTP_READ_FILE, "f", 0, 8192, true);
  EXPECT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, 50000u);
}

TEST_F(TftpTest, EmptyFileIsReadAndAcknowledged) {
  // An empty file is DATA 1 of 0 bytes, alone or after the OACK; it fits any
  // buffer, and ACK 1 ends it. With "tsize" the size needs no data at all.
  server_->Config().files["empty"] = Bytes();
  const Bytes ack1 = {0x00, 0x04, 0x00, 0x01};
  const Bytes abort = {0x00, 0x05, 0x00, 0x08, 0x00};
  struct Case {
    const char *name;
    bool options;
    EFI_PXE_BASE_CODE_TFTP_OPCODE op;
    UINT64 buffer;
    bool dontUseBuffer;
    UINTN blockSize;  // reported back (0: not looked at)
    const Bytes *last;
  };
  const Case cases[] = {
      {"read", false, EFI_PXE_BASE_CODE_TFTP_READ_FILE, 4096, false, 512, &ack1},
      {"read into 1 byte", false, EFI_PXE_BASE_CODE_TFTP_READ_FILE, 1, false, 512, &ack1},
      {"count-only read", false, EFI_PXE_BASE_CODE_TFTP_READ_FILE, 0, true, 512, &ack1},
      {"size, counted", false, EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, 0, false, 0, &ack1},
      {"directory", false, EFI_PXE_BASE_CODE_TFTP_READ_DIRECTORY, 4096, false, 512, &ack1},
      {"read after OACK", true, EFI_PXE_BASE_CODE_TFTP_READ_FILE, 4096, false, 4096, &ack1},
      // A size of 0 learned from tsize, then a read into the smallest buffer.
      {"read after OACK into 1 byte", true, EFI_PXE_BASE_CODE_TFTP_READ_FILE, 1, false, 512, &ack1},
      {"size from tsize", true, EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, 0, false, 0, &abort},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    DropQueuedFrames();  // what the case before left on the way
    server_->Config().honourOptions = c.options;
    const Result r = Run(c.op, "empty", c.buffer, 8192, c.dontUseBuffer);
    EXPECT_EQ(r.status, EFI_SUCCESS);
    EXPECT_EQ(r.size, 0u);
    if (c.blockSize != 0) EXPECT_EQ(r.blockSize, c.blockSize);
    ASSERT_FALSE(server_->Datagrams().empty());
    EXPECT_EQ(server_->Datagrams().back().data, *c.last);
  }
}

// ---- Write ----

TEST_F(TftpTest, WriteStoresTheFile) {
  Bytes data = Pattern(3000);
  const Result r = Run(EFI_PXE_BASE_CODE_TFTP_WRITE_FILE, "up", 0, 1024, false, nullptr, &data, true);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(server_->Written().at("up"), data);
  EXPECT_EQ(server_->Requests()[0].opcode, tftp::kWrq);
  EXPECT_EQ(server_->Requests()[0].Option("overwrite"), "1");
}

TEST_F(TftpTest, EmptyWriteSendsOneEmptyBlock) {
  Bytes data;
  const Result r = Run(EFI_PXE_BASE_CODE_TFTP_WRITE_FILE, "empty", 0, 512, false, nullptr, &data);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(server_->Written().at("empty"), Bytes());
  EXPECT_FALSE(server_->Requests()[0].Option("overwrite"));
}

TEST_F(TftpTest, ExactMultipleWriteEndsWithEmptyBlock) {
  server_->Config().honourOptions = false;  // ACK 0: 512-byte blocks
  Bytes data = Pattern(1024);
  const Result r = Run(EFI_PXE_BASE_CODE_TFTP_WRITE_FILE, "m", 0, 8192, false, nullptr, &data);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.blockSize, 512u);
  EXPECT_EQ(server_->Written().at("m"), data);
  // DATA 1, 2 and an empty 3.
  int blocks = 0;
  for (const auto &d : server_->Datagrams()) blocks += peers::GetBe16(d.data, 0) == tftp::kData;
  EXPECT_EQ(blocks, 3);
}

TEST_F(TftpTest, WriteLargeBlocksAreFragmented) {
  Bytes data = Pattern(20000, 5);
  const Result r = Run(EFI_PXE_BASE_CODE_TFTP_WRITE_FILE, "frag", 0, 8192, false, nullptr, &data);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(server_->Written().at("frag"), data);
}

// ---- Hostile servers ----

struct OackCase {
  const char *name;
  std::string text;
  EFI_STATUS status;
  bool aborted;
  uint64_t serverBlock = 1024;  // the block size the server then sends
};
// Names the case in test listings instead of dumping its bytes.
void PrintTo(const OackCase &c, std::ostream *os) { *os << c.name; }

class TftpHostileOack : public TftpTest, public ::testing::WithParamInterface<OackCase> {};

TEST_P(TftpHostileOack, EndsCleanly) {
  const OackCase &c = GetParam();
  const Bytes file = Pattern(3000);
  server_->Config().files["f"] = file;
  server_->Config().oackText = Text(c.text);
  server_->Config().oackBlockSize = c.serverBlock;
  const Result r = Read("f", 4096, 1024);
  EXPECT_EQ(r.status, c.status);
  if (r.status == EFI_SUCCESS) {
    EXPECT_EQ(r.data, file);
  }
  const Bytes abort = {0x00, 0x05, 0x00, 0x08, 0x00};
  EXPECT_EQ(server_->Datagrams().back().data == abort, c.aborted);
}

INSTANTIATE_TEST_SUITE_P(
    Oacks, TftpHostileOack,
    ::testing::Values(
        OackCase{"Unknown", "color\0blue\0blksize\0"s "1024\0"s, EFI_SUCCESS, false},
        OackCase{"RepeatedFirstWins", "blksize\0"s "1024\0blksize\0"s "512\0"s, EFI_SUCCESS, false},
        OackCase{"PrefixNameIsAnotherOption", "blksizes\0"s "1024\0"s, EFI_SUCCESS, false, 512},
        OackCase{"EmptyOptions", "\0\0\0\0blksize\0"s "1024\0"s, EFI_SUCCESS, false},
        // Only the opcode: a server with every option switched off acknowledges nothing.
        OackCase{"EmptyText", "", EFI_SUCCESS, false, 512},
        OackCase{"NonDigit", "blksize\0"s "1o24\0"s, EFI_PROTOCOL_ERROR, true},
        OackCase{"EmptyValue", "blksize\0\0"s, EFI_PROTOCOL_ERROR, true},
        OackCase{"Overflow", "blksize\0"s "18446744073709552640\0"s, EFI_PROTOCOL_ERROR, true},
        OackCase{"Zero", "blksize\0"s "0\0"s, EFI_PROTOCOL_ERROR, true},
        OackCase{"Seven", "blksize\0"s "7\0"s, EFI_PROTOCOL_ERROR, true},
        OackCase{"Eight", "blksize\0"s "8\0"s, EFI_SUCCESS, false, 8},
        OackCase{"AboveRange", "blksize\0"s "65465\0"s, EFI_PROTOCOL_ERROR, true},
        // Text that is not NUL-terminated name/value pairs: refused with ERROR 8.
        OackCase{"Unterminated", "blksize\0"s "1024"s, EFI_TFTP_ERROR, true},
        OackCase{"NoNulAtAll", "blksize=1024"s, EFI_TFTP_ERROR, true},
        OackCase{"NameWithoutValue", "blksize\0"s "1024\0tsize\0"s, EFI_TFTP_ERROR, true},
        OackCase{"PaddedWithZeros", "blksize\0"s "1024\0\0\0"s, EFI_SUCCESS, false},
        OackCase{"BigBlockOtherThan8", "bigblk#\0"s "4\0"s, EFI_PROTOCOL_ERROR, false}),
    [](const ::testing::TestParamInfo<OackCase> &i) { return std::string(i.param.name); });


TEST_F(TftpTest, OackLongerThanParseAreaIsRefused) {
  // The parse area holds 532 bytes of option text, from byte 2 of the packet.
  // Both ways in: the reply in a large caller buffer, and in the record when
  // the buffer is smaller than that.
  server_->Config().files["f"] = Pattern(50);
  server_->Config().oackBlockSize = 1024;
  const Bytes abort = {0x00, 0x05, 0x00, 0x08, 0x00};
  for (UINT64 buffer : {4096u, 100u}) {
    for (size_t length : {532u, 533u, 534u, 535u, 536u, 600u}) {
      SCOPED_TRACE(testing::Message() << "buffer " << buffer << ", text " << length);
      const std::string text = "blksize\0"s "1024\0"s "x\0"s + std::string(length - 16, 'y') + "\0"s;
      ASSERT_EQ(text.size(), length);
      server_->Config().oackText = Text(text);
      const Result r = Read("f", buffer, 1024);
      if (length == 532) {
        EXPECT_EQ(r.status, EFI_SUCCESS);
        EXPECT_EQ(r.data, Pattern(50));
      } else {
        EXPECT_EQ(r.status, EFI_PROTOCOL_ERROR);
        EXPECT_EQ(server_->Datagrams().back().data, abort);
      }
    }
  }
  // The size and write operations take the first reply with room 512.
  Bytes data = Pattern(50);
  for (auto op : {EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, EFI_PXE_BASE_CODE_TFTP_WRITE_FILE}) {
    EXPECT_EQ(Run(op, "f", 0, 1024, false, nullptr, op == EFI_PXE_BASE_CODE_TFTP_WRITE_FILE ? &data : nullptr).status,
              EFI_PROTOCOL_ERROR);
    EXPECT_EQ(server_->Datagrams().back().data, abort);
  }
}

TEST_F(TftpTest, DataLongerThanNegotiatedIsAProtocolError) {
  server_->Config().files["f"] = Pattern(3000);
  server_->hooks.beforeData = [](TftpServer &, TftpServer::Transfer &, uint64_t block, Bytes &data) {
    if (block == 2) data.resize(data.size() + 1, 0x41);
    return false;
  };
  const Result r = Read("f", 8192, 1024);
  EXPECT_EQ(r.status, EFI_PROTOCOL_ERROR);
  const Bytes abort = {0x00, 0x05, 0x00, 0x08, 0x00};
  EXPECT_EQ(server_->Datagrams().back().data, abort);
}

TEST_F(TftpTest, DataFromAnotherPortIsAnsweredWithError5AndNeverWritten) {
  server_->Config().files["f"] = Pattern(2000);
  server_->hooks.beforeData = [](TftpServer &s, TftpServer::Transfer &t, uint64_t block, Bytes &) {
    if (block == 2) s.SendTo(t, 41111, tftp::Data(2, Bytes(512, 0x66)));
    return false;
  };
  // The server's host has no port 41111: it answers the ERROR 5 with a port
  // unreachable, which is about that datagram, not the transfer.
  peer_->OnFrame = [&, previous = peer_->OnFrame](const hosted::Frame &frame) {
    if (previous) previous(frame);
    const auto e = peers::ParseEthernet(frame.bytes);
    const auto ip = e ? peers::ParseIpv4(e->payload) : std::nullopt;
    const auto udp = ip ? peers::ParseUdp(ip->source, ip->destination, ip->payload) : std::nullopt;
    if (udp && udp->destinationPort == 41111) {
      Bytes datagram = ip->header;
      datagram.insert(datagram.end(), ip->payload.begin(), ip->payload.end());
      peer_->SendIcmpError(kClientMac, kClientIp, 3, 3, datagram);
    }
  };
  const Result r = Read("f", 4096, 512);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(2000));
  EXPECT_EQ(TftpDrops(kTftpDropStranger), 1u);
  EXPECT_EQ(TftpDrops(kTftpDropForeignIcmp), 1u);
  bool answered = false;
  for (const auto &d : server_->Datagrams()) {
    if (d.destinationPort == 41111 && d.data.size() >= 4 && peers::GetBe16(d.data, 0) == 5 &&
        peers::GetBe16(d.data, 2) == 5) {
      answered = true;
    }
  }
  EXPECT_TRUE(answered);
}

TEST_F(TftpTest, CorruptedDatagramIsDroppedAndTheTransferGoesOn) {
  server_->Config().files["f"] = Pattern(2000);
  server_->hooks.beforeData = [this](TftpServer &, TftpServer::Transfer &t, uint64_t block, Bytes &) {
    if (block == 2) {
      // The block with a wrong UDP checksum first; the genuine one follows.
      peers::UdpFields udp;
      udp.sourcePort = t.port;
      udp.destinationPort = t.request.clientPort;
      udp.checksum = 0x1234;
      peers::Ipv4Fields ip;
      ip.source = kPeerIp;
      ip.destination = kClientIp;
      peer_->SendIpv4(kClientMac, ip, peers::BuildUdp(kPeerIp, kClientIp, udp, tftp::Data(2, Bytes(512, 0x77))));
    }
    return false;
  };
  const Result r = Read("f", 4096, 512);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(2000));
}

TEST_F(TftpTest, BlockNumbersJumpingAheadNeverReachTheBuffer) {
  server_->Config().files["f"] = Pattern(2000);
  server_->hooks.beforeData = [](TftpServer &s, TftpServer::Transfer &t, uint64_t block, Bytes &) {
    if (block >= 2) {
      s.SendData(t, block + 100, Bytes(512, 0x55));
      return true;
    }
    return false;
  };
  const Result r = Read("f", 4096, 512);
  EXPECT_EQ(r.status, EFI_TIMEOUT);
}

TEST_F(TftpTest, UnexpectedOpcodeDuringDownload) {
  server_->Config().files["f"] = Pattern(2000);
  server_->hooks.beforeData = [](TftpServer &s, TftpServer::Transfer &t, uint64_t block, Bytes &) {
    if (block == 2) {
      s.SendTo(t, t.port, tftp::Ack(2));
      return true;
    }
    return false;
  };
  EXPECT_EQ(Read("f", 4096, 512).status, EFI_PROTOCOL_ERROR);
}

// ---- Worst cases on the virtual clock ----

TEST_F(TftpTest, EveryOperationEndsWithinItsWorstCase) {
  // Windows are N + 0.1 s: three requests of 5.1 s (three more without
  // options after an ERROR), five of 4.1 s per block. Each hostile peer does
  // its worst against one member; the call ends when its windows say, never
  // later than the member's worst case. Junk that does not progress the
  // transfer never restarts a window; a new block does.
  constexpr uint64_t kSecond = hosted::kTicksPerSecond, kMs = hosted::kTicksPerMs;
  constexpr uint16_t kGroupPort = 1759, kGroupClientPort = 1758;
  const peers::Ip4 group = {239, 1, 2, 3};
  server_->Config().files["warm"] = Pattern(10);
  ASSERT_EQ(Read("warm", 4096).status, EFI_SUCCESS);  // the server's address is in the ARP cache
  const Bytes junk(512, 0x55);
  EFI_PXE_BASE_CODE_MTFTP_INFO info{};
  info.MCastIp = Efi(group);
  info.CPort = kGroupClientPort;
  info.SPort = kGroupPort;
  info.ListenTimeout = info.TransmitTimeout = 1;
  // For a file of 2 blocks: both opens, 5 windows per block. Multicast: 8
  // rounds, each a 1.1 s listen, 1.1 s per new block and an open of three
  // requests of 1.1 s per copy of block 1; the opener's download; then the
  // unicast read.
  const double kUnicast = 2 * 3 * 5.1 + 2 * 5 * 4.1;
  const double kMulticast = 8 * (1.1 + 2 * 1.1 + 3 * 2 * 1.1) + 2 * 5 * 1.1 + kUnicast;
  constexpr auto kRead = EFI_PXE_BASE_CODE_TFTP_READ_FILE, kSize = EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE,
                 kWrite = EFI_PXE_BASE_CODE_TFTP_WRITE_FILE, kDirectory = EFI_PXE_BASE_CODE_TFTP_READ_DIRECTORY,
                 kMtftp = EFI_PXE_BASE_CODE_MTFTP_READ_FILE;
  auto silent = [&] { server_->Config().silent = true; };
  // The server stops before block Stop; Junk(transfer) is what comes instead.
  auto stopAt = [&](uint64_t stop, std::function<void(TftpServer::Transfer &)> junkFor) {
    server_->hooks.beforeData = [=](TftpServer &, TftpServer::Transfer &t, uint64_t block, Bytes &) {
      if (block == stop && !t.done) junkFor(t);
      t.done = t.done || block >= stop;
      return block >= stop;
    };
  };
  // A multicast server that answers every open with DATA Block to the station.
  auto answerOpens = [&](uint16_t block) {
    silent();
    peer_->OnFrame = [&, block, previous = peer_->OnFrame](const hosted::Frame &frame) {
      if (previous) previous(frame);
      const auto e = peers::ParseEthernet(frame.bytes);
      const auto ip = e ? peers::ParseIpv4(e->payload) : std::nullopt;
      const auto udp = ip ? peers::ParseUdp(ip->source, ip->destination, ip->payload) : std::nullopt;
      if (udp && udp->destinationPort == kGroupPort && peers::GetBe16(udp->data, 0) == tftp::kRrq) {
        InjectUdp(kGroupPort, udp->sourcePort, tftp::Data(block, junk), 0, 0, 1);
      }
    };
  };
  int requests = 0;
  struct Case {
    const char *name;
    std::function<void()> arrange;
    EFI_PXE_BASE_CODE_TFTP_OPCODE op;
    EFI_STATUS status;
    double seconds;  // as the windows give it (< 0: EFI_TIMEOUT allowed too, only the bound)
    double bound;
  };
  const Case cases[] = {
      {"read: silent server", silent, kRead, EFI_TIMEOUT, 15.3, kUnicast},
      {"size: silent server", silent, kSize, EFI_TIMEOUT, 15.3, kUnicast},
      {"directory: silent server", silent, kDirectory, EFI_TIMEOUT, 15.3, kUnicast},
      {"read: ERROR to the third request, then silence",
       [&] {
         server_->hooks.beforeFirstReply = [&](TftpServer &s, TftpServer::Transfer &t) {
           if (++requests == 3) s.SendTo(t, t.port, tftp::Error(8, "no"));
           return true;
         };
       },
       kRead, EFI_TIMEOUT, 25.5, kUnicast},
      {"read: repeats, later blocks and strangers every second after block 1",
       [&] {
         stopAt(2, [&](TftpServer::Transfer &t) {
           InjectUdp(t.port, t.request.clientPort, tftp::Data(1, junk), kSecond, kSecond, 60);
           InjectUdp(t.port, t.request.clientPort, tftp::Data(9, junk), kSecond / 2, kSecond, 60);
           InjectUdp(41111, t.request.clientPort, tftp::Data(2, junk), kSecond / 4, kSecond, 60);
         });
       },
       kRead, EFI_TIMEOUT, 20.5, kUnicast},
      {"read: the OACK again every second, never block 1",
       [&] {
         stopAt(1, [&](TftpServer::Transfer &t) {
           InjectUdp(t.port, t.request.clientPort, tftp::Oack({{"blksize", "512"}}), kSecond, kSecond, 60);
         });
       },
       kRead, EFI_TIMEOUT, 20.5, kUnicast},
      {"read: a server that takes 4 s over every block",
       [&] {
         server_->hooks.beforeData = [&](TftpServer &, TftpServer::Transfer &t, uint64_t block, Bytes &data) {
           InjectUdp(t.port, t.request.clientPort, tftp::Data(static_cast<uint16_t>(block), data), 4 * kSecond, 0, 1);
           return true;
         };
       },
       kRead, EFI_SUCCESS, 8.0, kUnicast},
      {"write: ACK 0 again every second, never ACK 1",
       [&] {
         server_->hooks.beforeFirstReply = [&](TftpServer &s, TftpServer::Transfer &t) {
           s.SendTo(t, t.port, tftp::Ack(0));
           InjectUdp(t.port, t.request.clientPort, tftp::Ack(0), kSecond, kSecond, 60);
           t.done = true;  // the server takes no DATA
           return true;
         };
       },
       kWrite, EFI_TIMEOUT, 20.5, kUnicast},
      {"multicast read: every open answered with block 7", [&] { answerOpens(7); }, kMtftp, EFI_TIMEOUT,
       8 * 1.1 + 15.3, kMulticast},
      {"multicast read: block 1 to the station again every second, never to the group",
       [&] {
         answerOpens(1);
         InjectUdp(kGroupPort, kGroupClientPort, tftp::Data(1, junk), kSecond / 2, kSecond, 40);
       },
       kMtftp, EFI_TIMEOUT, 4 * 1.1 + 15.3, kMulticast},
      {"multicast read: one block repeated on the group every second",
       [&] {
         silent();
         InjectUdp(kGroupPort, kGroupClientPort, tftp::Data(2, junk), kSecond / 2, kSecond, 40, group);
       },
       kMtftp, EFI_TIMEOUT, 1.6 + 7 * 2.0 + 15.3, kMulticast},
      // A failing Receive ends the wait at once, or at its end when the clock has got there.
      {"read: every MNP Receive fails", [&] { nic_->faults.receiveFails = true; }, kRead, EFI_DEVICE_ERROR, -1,
       kUnicast},
      {"write: every MNP Receive fails", [&] { nic_->faults.receiveFails = true; }, kWrite, EFI_DEVICE_ERROR, -1,
       kUnicast},
      {"multicast read: every MNP Receive fails", [&] { nic_->faults.receiveFails = true; }, kMtftp,
       EFI_DEVICE_ERROR, -1, kMulticast},
      {"read: every receive completes with an error", [&] { nic_->faults.receiveAlwaysCompletesWithError = true; },
       kRead, EFI_TIMEOUT, 15.3, kUnicast},
      // Frames arrive every 10 ms and take 15 ms each to handle: the queue never empties.
      {"read: a flood of stray DATA from another port, silent server",
       [&] {
         silent();
         nic_->faults.receiveTicks = 15 * kMs;
         InjectUdp(41111, Instance()->SourcePort, tftp::Data(2, junk), 0, 10 * kMs, 2000);
       },
       kRead, EFI_TIMEOUT, 15.3, kUnicast},
      {"read: a flood of stray DATA from another port after block 1",
       [&] {
         nic_->faults.receiveTicks = 15 * kMs;
         stopAt(2, [&](TftpServer::Transfer &t) {
           InjectUdp(41111, t.request.clientPort, tftp::Data(2, junk), 0, 10 * kMs, 2500);
         });
       },
       kRead, EFI_TIMEOUT, 20.5, kUnicast},
      {"read: every transmit fails", [&] { nic_->faults.transmitFails = true; }, kRead, EFI_DEVICE_ERROR, 0.01,
       kUnicast},
      {"read: no transmit completes", [&] { nic_->faults.transmitNeverCompletes = true; }, kRead, EFI_TIMEOUT, 1.01,
       kUnicast},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    DropQueuedFrames();  // what the case before left on the way
    requests = 0;
    server_ = std::make_unique<TftpServer>(peer_.get(), peers::TftpServerConfig{});
    server_->Config().files["f"] = Pattern(700);
    c.arrange();
    Bytes data = Pattern(700);
    const uint64_t before = fw_.Now();
    const Result r = Run(c.op, c.op == kMtftp ? "boot.img" : "f", 4096, 512, false, c.op == kMtftp ? &info : nullptr,
                         c.op == kWrite ? &data : nullptr);
    const double elapsed = static_cast<double>(fw_.Now() - before) / kSecond;
    nic_->faults = hosted::MnpFaults{};
    server_.reset();
    peer_->OnFrame = nullptr;
    if (c.seconds < 0) {
      EXPECT_TRUE(r.status == c.status || r.status == EFI_TIMEOUT) << r.status;
    } else {
      EXPECT_EQ(r.status, c.status);
      EXPECT_NEAR(elapsed, c.seconds, 0.1);  // late by at most one frame's handling per window
    }
    EXPECT_LE(elapsed, c.bound);
    fw_.Advance(60 * kSecond);  // what is still scheduled goes by
  }
}

// ---- Requests that cannot be built ----

TEST_F(TftpTest, NameTooLongForTheRequestIsRefusedBeforeSending) {
  // 2 + name + 1 + 6 + "blksize\0" + "8192\0" must fit 536 bytes.
  const std::string fits(536 - 2 - 1 - 6 - 8 - 5, 'n');
  server_->Config().files[fits] = Pattern(10);
  EXPECT_EQ(Read(fits, 4096, 8192).status, EFI_SUCCESS);
  const size_t before = server_->Datagrams().size();
  EXPECT_EQ(Read(fits + "n", 4096, 8192).status, EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ(server_->Datagrams().size(), before);
}

// ---- Argument checks of the dispatcher ----

TEST_F(TftpTest, ArgumentChecks) {
  EFI_IP_ADDRESS server = Efi(kPeerIp);
  UINT64 size = 100;
  UINT8 buffer[100];
  UINT8 name[] = "f";
  auto call = [&](EFI_PXE_BASE_CODE_TFTP_OPCODE op, VOID *buf, UINT64 *sz, EFI_IP_ADDRESS *ip, UINT8 *file,
                  EFI_PXE_BASE_CODE_MTFTP_INFO *info, BOOLEAN dont) {
    return Proto()->Mtftp(Proto(), op, buf, FALSE, sz, nullptr, ip, file, info, dont);
  };
  EXPECT_EQ(call(EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer, &size, nullptr, name, nullptr, FALSE),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(call(EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer, nullptr, &server, name, nullptr, FALSE),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(call(EFI_PXE_BASE_CODE_TFTP_READ_FILE, nullptr, &size, &server, name, nullptr, FALSE),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(call(EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer, &size, &server, nullptr, nullptr, FALSE),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(call(EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, buffer, &size, &server, nullptr, nullptr, FALSE),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(call(EFI_PXE_BASE_CODE_TFTP_FIRST, buffer, &size, &server, name, nullptr, FALSE), EFI_INVALID_PARAMETER);
  EXPECT_EQ(call(EFI_PXE_BASE_CODE_MTFTP_LAST, buffer, &size, &server, name, nullptr, FALSE), EFI_INVALID_PARAMETER);
  EXPECT_EQ(call(EFI_PXE_BASE_CODE_TFTP_WRITE_FILE, buffer, &size, &server, name, nullptr, TRUE),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(call(EFI_PXE_BASE_CODE_TFTP_READ_DIRECTORY, buffer, &size, &server, name, nullptr, TRUE),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(call(EFI_PXE_BASE_CODE_MTFTP_GET_FILE_SIZE, buffer, &size, &server, name, nullptr, FALSE),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(call(EFI_PXE_BASE_CODE_MTFTP_READ_FILE, buffer, &size, &server, name, nullptr, FALSE),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(call(EFI_PXE_BASE_CODE_MTFTP_READ_DIRECTORY, buffer, &size, &server, name, nullptr, FALSE),
            EFI_INVALID_PARAMETER);
  size = 0;
  EXPECT_EQ(call(EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer, &size, &server, name, nullptr, FALSE),
            EFI_BAD_BUFFER_SIZE);
  EXPECT_TRUE(server_->Datagrams().empty());
  fw_.FailAllocationsOfSize(kPacketBufferSize);
  size = 100;
  EXPECT_EQ(call(EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer, &size, &server, name, nullptr, TRUE),
            EFI_OUT_OF_RESOURCES);
  fw_.FailAllocationsOfSize(0);
}

TEST_F(TftpTest, TenMillisecondStallOnlyWhereTheOperationHasIt) {
  EFI_IP_ADDRESS server = Efi(kPeerIp);
  UINT64 size = 100;
  UINT8 buffer[100];
  UINT8 name[] = "f";
  auto elapsed = [&](EFI_PXE_BASE_CODE_TFTP_OPCODE op, EFI_IP_ADDRESS *ip, EFI_PXE_BASE_CODE_MTFTP_INFO *info) {
    const uint64_t before = fw_.Now();
    (void)Proto()->Mtftp(Proto(), op, buffer, FALSE, &size, nullptr, ip, name, info, FALSE);
    return fw_.Now() - before;
  };
  EXPECT_EQ(elapsed(EFI_PXE_BASE_CODE_MTFTP_LAST, &server, nullptr), 10 * hosted::kTicksPerMs);  // unknown code
  EXPECT_EQ(elapsed(EFI_PXE_BASE_CODE_MTFTP_READ_FILE, &server, nullptr), 10 * hosted::kTicksPerMs);
  EXPECT_EQ(elapsed(EFI_PXE_BASE_CODE_TFTP_READ_FILE, nullptr, nullptr), 0u);           // refused in step 1
  EXPECT_EQ(elapsed(EFI_PXE_BASE_CODE_MTFTP_READ_DIRECTORY, &server, nullptr), 0u);     // no Info: no stall
  EXPECT_EQ(elapsed(EFI_PXE_BASE_CODE_MTFTP_GET_FILE_SIZE, &server, nullptr), 0u);
}

TEST_F(TftpTest, DirectoryRequestUsesOpcode7) {
  server_->Config().files["pxe/"] = Text("a\nb\n");
  const Result r = Run(EFI_PXE_BASE_CODE_TFTP_READ_DIRECTORY, "pxe/", 4096);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Text("a\nb\n"));
  EXPECT_EQ(server_->Requests()[0].opcode, tftp::kDir);
}

TEST_F(TftpTest, AlternatePortModeMovesTheDriverWideServerPort) {
  server_->Config().port = 1069;
  server_->Config().files["f"] = Pattern(10);
  State()->AlternatePortMode = 1;
  EFI_PXE_BASE_CODE_MTFTP_INFO info{};
  info.SPort = 1069;
  EXPECT_EQ(Run(EFI_PXE_BASE_CODE_TFTP_READ_FILE, "f", 4096, 8192, false, &info).status, EFI_SUCCESS);
  State()->AlternatePortMode = 0;
  EXPECT_EQ(TftpServerPort, 1069);  // stays in force for later calls
  EXPECT_EQ(Read("f", 4096).status, EFI_SUCCESS);
  EXPECT_EQ(server_->Requests().back().clientIp, kClientIp);
}

// ---- The member ----

TEST_F(TftpTest, MemberBeforeStartChangesNothing) {
  ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  EFI_IP_ADDRESS server = Efi(kPeerIp);
  UINT64 size = 10;
  UINT8 buffer[10];
  UINT8 name[] = "f";
  EXPECT_EQ(Proto()->Mtftp(Proto(), EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer, FALSE, &size, nullptr, &server, name,
                           nullptr, FALSE),
            EFI_NOT_STARTED);
  EXPECT_EQ(size, 10u);
  EXPECT_TRUE(peer_->Received().empty() || server_->Datagrams().empty());
  EXPECT_EQ(::Mtftp(nullptr, EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer, FALSE, &size, nullptr, &server, name, nullptr,
                    FALSE),
            EFI_INVALID_PARAMETER);
  ASSERT_EQ(StartChild(), EFI_SUCCESS);
}

TEST_F(TftpTest, MemberRestoresTheStationFilter) {
  EFI_PXE_BASE_CODE_IP_FILTER filter{};
  filter.Filters = EFI_PXE_BASE_CODE_IP_FILTER_BROADCAST;
  filter.IpCnt = 1;
  filter.IpList[0] = Efi({239, 1, 2, 3});
  ASSERT_EQ(Proto()->SetIpFilter(Proto(), &filter), EFI_SUCCESS);
  server_->Config().files["f"] = Pattern(10);
  EXPECT_EQ(Read("f", 4096).status, EFI_SUCCESS);
  EXPECT_EQ(State()->IpFilter.Filters, EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP);
  EXPECT_EQ(State()->IpFilter.IpCnt, 0);
  EXPECT_EQ(Instance()->GroupCount, 0u);
}

}  // namespace
}  // namespace orvale_test
