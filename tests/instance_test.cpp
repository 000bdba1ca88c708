// The protocol instance: the interface table, Start and Stop with their
// defaults and clean-up, the member discipline and lock, the receive
// notification, the BIS probe and the accessor members.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "dhcp/codec.h"
#include "instance/members.h"
#include "tests/test_support.h"

namespace orvale_test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr EFI_GUID kOrvaleGuid = ORVALE_PROTOCOL_GUID;

EFI_TIME Clock(uint8_t hour, uint8_t minute, uint8_t second) {
  EFI_TIME t{};
  t.Year = 2026;
  t.Month = 12;
  t.Day = 8;
  t.Hour = hour;
  t.Minute = minute;
  t.Second = second;
  return t;
}

// A DHCP reply: op 2, the cookie, message type 5, extraOptions one-byte
// options (codes 200, 201, ...), END; the rest of the 1472 bytes zero.
DhcpPacket Reply(int extraOptions, const char *bootFile = nullptr) {
  DhcpPacket p{};
  p.Raw[0] = 2;                                              // op: BOOTREPLY
  p.Raw[1] = 1;                                              // htype: Ethernet
  p.Raw[2] = 6;                                              // hlen
  if (bootFile != nullptr) std::strcpy(reinterpret_cast<char *>(&p.Raw[108]), bootFile);  // file
  const uint8_t cookie[] = {0x63, 0x82, 0x53, 0x63};        // magic cookie at 236
  std::memcpy(&p.Raw[236], cookie, 4);
  size_t at = 240;
  p.Raw[at++] = 53;  // message type
  p.Raw[at++] = 1;
  p.Raw[at++] = 5;   // ACK
  for (int i = 0; i < extraOptions; ++i) {
    p.Raw[at++] = static_cast<uint8_t>(200 + i);
    p.Raw[at++] = 1;
    p.Raw[at++] = static_cast<uint8_t>(i);
  }
  p.Raw[at] = 255;  // END
  return p;
}

class InstanceTest : public DriverTest {
 protected:
  void TearDown() override {
    fw_.SetBis(hosted::BisConfig{});
    DriverTest::TearDown();
  }
  StateRecord &State() { return Instance()->State; }
  PacketRecord &Packets() { return Instance()->Packets; }
  OrvaleMode &Mode() { return Instance()->Mode; }
};

// ---- Interface table ----

TEST_F(InstanceTest, InterfaceTableAndCreationDefaults) {
  ProtocolInstance *inst = Instance();
  const OrvaleProtocol *p = Proto();
  EXPECT_EQ(inst->Signature, 0x58564B54u) << "TKVX, first letter lowest";
  EXPECT_EQ(Binding()->Signature, 0x7472626Bu) << "kbrt";
  EXPECT_EQ(inst->ChildHandle, child_.handle);
  EXPECT_EQ(inst->ControllerHandle, nic_->controller);
  EXPECT_EQ(fw_.FindProtocol(child_.handle, kOrvaleGuid), p);
  EXPECT_EQ(p->Revision, 0x10000u);
  void *slot24;
  std::memcpy(&slot24, reinterpret_cast<const uint8_t *>(p) + 24, sizeof(slot24));
  EXPECT_EQ(slot24, nullptr);
  EXPECT_EQ(p->Start, &Start);
  EXPECT_EQ(p->SetPackets, &SetPackets);
  EXPECT_EQ(p->GetWirlReply, &GetWirlReply);
  EXPECT_EQ(p->Mode, &inst->Mode);
  EXPECT_EQ(p->Packets, &inst->Packets);
  EXPECT_EQ(p->State, &inst->State);

  EXPECT_FALSE(Mode().UsingIpv6);
  EXPECT_TRUE(Mode().AutoArp);
  EXPECT_EQ(Mode().Ttl, 16);
  EXPECT_EQ(Mode().ToS, 0);
  EXPECT_EQ(State().State, 0u);
  EXPECT_FALSE(State().Started);
  EXPECT_TRUE(Packets().BisSupported);
  EXPECT_FALSE(Packets().BisDetected) << "no BIS on this platform";
  EXPECT_EQ(inst->TxBuffer, nullptr) << "nothing is allocated before Start";
}

// ---- Start and Stop ----

TEST_F(InstanceTest, StartAllocatesConfiguresAndSetsDefaults) {
  // Leftovers of an earlier run: counts and flags reset, contents kept.
  Mode().ArpCacheEntries = 3;
  Mode().ArpCache[0].IpAddr.v4.Addr[0] = 10;
  Mode().RouteTableEntries = 2;
  Mode().StationIp.v4.Addr[0] = 10;
  Mode().SubnetMask.v4.Addr[0] = 255;
  Mode().IcmpErrorReceived = TRUE;
  Mode().IcmpError.Type = 3;
  Mode().Ttl = 1;
  Packets().DhcpAckReceived = TRUE;
  Packets().PxeBisReplyReceived = TRUE;
  Packets().DhcpAck.Raw[0] = 2;
  State().AlternatePortMode = 1;
  State().IpFilter.Filters = 3;
  State().IpFilter.IpCnt = 2;
  State().TftpErrorReceived = TRUE;
  State().TftpError.ErrorCode = 1;

  fw_.SetModelName(u"Board 9");
  const size_t poolBefore = fw_.LivePoolBlocks();
  const size_t eventsBefore = fw_.LiveEvents();
  ASSERT_EQ(StartChild(), EFI_SUCCESS);
  ExpectTplRestored();
  ProtocolInstance *inst = Instance();
  EXPECT_NE(inst->TxBuffer, nullptr);
  EXPECT_NE(inst->TftpAckPacket, nullptr);
  EXPECT_NE(inst->RxToken.Event, nullptr);
  EXPECT_EQ(fw_.LivePoolBlocks(), poolBefore + 7) << "three packet buffers, transmit data, staging, two TFTP";
  EXPECT_EQ(fw_.LiveEvents(), eventsBefore + 1);

  const auto config = nic_->Config();
  ASSERT_TRUE(config.has_value()) << "Start configures the MNP child";
  const EFI_MANAGED_NETWORK_CONFIG_DATA want = {
      0, 0,  // queue timeouts
      0,     // every EtherType
      TRUE, TRUE, TRUE, FALSE,  // unicast, multicast, broadcast; not promiscuous
      TRUE, FALSE, FALSE,       // flush on reset; no timestamps; background polling on
  };
  const size_t fields = offsetof(EFI_MANAGED_NETWORK_CONFIG_DATA, DisableBackgroundPolling) + 1;  // not the padding
  EXPECT_EQ(0, std::memcmp(&*config, &want, fields));
  EXPECT_EQ(0, std::memcmp(Binding()->SnpMode.CurrentAddress.Addr, kClientMac.data(), 6)) << "mode copied";

  EXPECT_EQ(State().State, 1u);
  EXPECT_TRUE(State().Started);
  EXPECT_EQ(inst->PxeIdentityState, 100u);
  EXPECT_TRUE(inst->IgmpV1Mode);
  EXPECT_EQ(inst->IpAddrLen, 4u);
  EXPECT_EQ(Mode().Ttl, 16);
  EXPECT_FALSE(Mode().IcmpErrorReceived);
  EXPECT_EQ(Mode().IcmpError.Type, 0);
  EXPECT_EQ(Mode().StationIp.v4.Addr[0], 0);
  EXPECT_EQ(Mode().SubnetMask.v4.Addr[0], 0);
  EXPECT_EQ(Mode().ArpCacheEntries, 0u);
  EXPECT_EQ(Mode().RouteTableEntries, 0u);
  EXPECT_EQ(Mode().ArpCache[0].IpAddr.v4.Addr[0], 10) << "contents survive";
  EXPECT_FALSE(Packets().DhcpAckReceived);
  EXPECT_FALSE(Packets().PxeBisReplyReceived);
  EXPECT_EQ(Packets().DhcpAck.Raw[0], 2) << "packets survive";
  EXPECT_EQ(Packets().WirlNeedDiscovery, 1);
  EXPECT_EQ(State().AlternatePortMode, 1u) << "untouched by Start";
  EXPECT_EQ(State().IpFilter.Filters, 0);
  EXPECT_EQ(State().IpFilter.IpCnt, 0);
  EXPECT_FALSE(State().TftpErrorReceived);
  EXPECT_EQ(State().TftpError.ErrorCode, 0);
  EXPECT_STREQ(Binding()->ModelName, "Board 9");
  EXPECT_GE(inst->SourcePort, 2070);

  ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  ExpectTplRestored();
  EXPECT_EQ(fw_.LivePoolBlocks(), poolBefore);
  EXPECT_EQ(fw_.LiveEvents(), eventsBefore);
  EXPECT_FALSE(nic_->Config().has_value()) << "Stop unconfigures the MNP child";
  EXPECT_EQ(inst->TxBuffer, nullptr);
  EXPECT_EQ(inst->RxToken.Event, nullptr);
  EXPECT_EQ(State().State, 0u);
  EXPECT_FALSE(State().Started);
  EXPECT_EQ(Packets().AutoSelect, 1);
  EXPECT_EQ(Packets().ExplicitSelect, 0);
}

TEST_F(InstanceTest, StartTwiceAndStopOfANeverStartedInstance) {
  EXPECT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS) << "never started";
  ExpectTplRestored();
  ASSERT_EQ(StartChild(), EFI_SUCCESS);
  const size_t pool = fw_.LivePoolBlocks();
  const uint16_t port = Instance()->SourcePort;
  EXPECT_EQ(StartChild(), EFI_ALREADY_STARTED);
  ExpectTplRestored();
  EXPECT_EQ(fw_.LivePoolBlocks(), pool);
  EXPECT_EQ(Instance()->SourcePort, port);
  EXPECT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  EXPECT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS) << "stopping twice";
  EXPECT_EQ(Proto()->Start(nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->Stop(nullptr), EFI_INVALID_PARAMETER);
}

// 17:37:27 is 63447 s: the first draw 63466 wraps the port below 2070, so the
// seed needs a second pass (2053 * 63466 below 63447 + 19, mod 65536: 53336).
TEST_F(InstanceTest, SourcePortSeedRetriesAfterWrappingAndContinuesAcrossStop) {
  fw_.SetWallTime(Clock(17, 37, 27));
  ASSERT_EQ(StartChild(), EFI_SUCCESS);
  EXPECT_EQ(Instance()->SourcePort, 55406);  // (63466 + 2070) wraps to 0; 0 + 53336 + 2070
  Mode().StationIp.v4.Addr[0] = 192;
  Packets().StationIpSet = TRUE;
  ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  EXPECT_EQ(Instance()->SourcePort, 55406) << "kept across Stop";
  EXPECT_EQ(Mode().StationIp.v4.Addr[0], 192) << "Stop keeps the address";

  ASSERT_EQ(StartChild(), EFI_SUCCESS);
  // Draws 9778 (55406 + 9778 + 2070 wraps to 1718), then 43248: 1718 + 43248 + 2070.
  EXPECT_EQ(Instance()->SourcePort, 47036);
  EXPECT_EQ(Mode().StationIp.v4.Addr[0], 0) << "the second Start clears the address";
  EXPECT_TRUE(Packets().StationIpSet) << "never cleared by Start or Stop";
  ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
}

// Every allocation of Start failing in turn: nothing of that call is left,
// the instance stays stopped and a later Start works.
TEST_F(InstanceTest, StartAllocationFailureLeavesNothingBehind) {
  const size_t pool = fw_.LivePoolBlocks();
  const size_t events = fw_.LiveEvents();
  int failures = 0;
  for (int nth = 0; nth < 20; ++nth) {
    SCOPED_TRACE(nth);
    fw_.FailAllocation(nth);
    const EFI_STATUS status = StartChild();
    fw_.FailAllocation(-1);
    ExpectTplRestored();
    if (status == EFI_SUCCESS) break;
    ++failures;
    EXPECT_EQ(status, EFI_OUT_OF_RESOURCES);
    EXPECT_FALSE(State().Started);
    EXPECT_EQ(State().State, 0u);
    EXPECT_EQ(fw_.LivePoolBlocks(), pool);
    EXPECT_EQ(fw_.LiveEvents(), events);
    EXPECT_EQ(Instance()->TxBuffer, nullptr);
    EXPECT_EQ(Instance()->RxToken.Event, nullptr);
  }
  EXPECT_EQ(failures, 7) << "three packet buffers, transmit data, staging, two TFTP buffers";
  EXPECT_TRUE(State().Started);
  EXPECT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
}

// What other layers leave on the instance goes with Stop: the ARP request
// buffer, parsed packets with grown indexes, and every IGMP timer (the groups
// themselves stay joined).
TEST_F(InstanceTest, StopReleasesEverythingTheInstanceHolds) {
  const size_t pool = fw_.LivePoolBlocks();
  const size_t events = fw_.LiveEvents();
  ASSERT_EQ(StartChild(), EFI_SUCCESS);
  ProtocolInstance *inst = Instance();
  inst->ArpRequestBuffer = static_cast<UINT8 *>(AllocZeroed(14 + 104));
  ASSERT_NE(inst->ArpRequestBuffer, nullptr);
  DhcpPacket ack = Reply(30);
  ASSERT_EQ(Proto()->SetPackets(Proto(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &ack,
                                nullptr, nullptr, nullptr, nullptr),
            EFI_SUCCESS);
  ASSERT_NE(Packets().ParsedPackets, nullptr);
  ASSERT_EQ(Packets().ParsedPackets[0].options.count, 31);
  ASSERT_NE(Packets().ParsedPackets[0].options.entries, Packets().ParsedPackets[0].options.builtin)
      << "the index grew into a pool block of its own";
  inst->GroupCount = 2;
  inst->Groups[0] = 0x010000E0;
  inst->Groups[1] = 0x020000E0;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(gBS->CreateEvent(EVT_TIMER, TPL_CALLBACK, nullptr, nullptr, &inst->ReportTimers[i]), EFI_SUCCESS);
    ASSERT_EQ(gBS->SetTimer(inst->ReportTimers[i], TimerRelative, 10'000'000), EFI_SUCCESS);
  }
  ASSERT_EQ(gBS->CreateEvent(EVT_TIMER, TPL_CALLBACK, nullptr, nullptr, &inst->IgmpV1Timer), EFI_SUCCESS);

  ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  EXPECT_EQ(fw_.LivePoolBlocks(), pool);
  EXPECT_EQ(fw_.LiveEvents(), events);
  EXPECT_EQ(inst->ArpRequestBuffer, nullptr);
  EXPECT_EQ(Packets().ParsedPackets, nullptr);
  EXPECT_EQ(inst->ReportTimers[0], nullptr);
  EXPECT_EQ(inst->ReportTimers[1], nullptr);
  EXPECT_EQ(inst->IgmpV1Timer, nullptr);
  // The groups are left: MNP forgets them when it is reset.
  EXPECT_EQ(inst->GroupCount, 0u);
}

// ---- Member discipline ----

// Every lock-taking member of this layer, called with its other arguments empty.
std::vector<std::pair<const char *, EFI_STATUS (*)(OrvaleProtocol *)>> LockingMembers() {
  return {
      {"Dhcp", [](OrvaleProtocol *p) { return ::Dhcp(p, FALSE); }},
      {"Wirl", [](OrvaleProtocol *p) { return ::Wirl(p); }},
      {"FindOption", [](OrvaleProtocol *p) { return ::FindOption(p, nullptr, 53, nullptr, nullptr); }},
      {"GetBootFile", [](OrvaleProtocol *p) { return ::GetBootFile(p, nullptr, nullptr); }},
      {"Discover", [](OrvaleProtocol *p) { return ::Discover(p, 0, nullptr, FALSE, nullptr); }},
      {"Mtftp",
       [](OrvaleProtocol *p) {
         return ::Mtftp(p, EFI_PXE_BASE_CODE_TFTP_READ_FILE, nullptr, FALSE, nullptr, nullptr, nullptr, nullptr,
                         nullptr, FALSE);
       }},
      {"SetPackets",
       [](OrvaleProtocol *p) {
         return ::SetPackets(p, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr);
       }},
      {"BisVerify", [](OrvaleProtocol *p) { return ::BisVerify(p, nullptr, 0, nullptr, 0, nullptr); }},
      {"UdpWrite",
       [](OrvaleProtocol *p) {
         return ::UdpWrite(p, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
       }},
      {"UdpRead",
       [](OrvaleProtocol *p) {
         return ::UdpRead(p, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
       }},
      {"Arp", [](OrvaleProtocol *p) { return ::Arp(p, nullptr, nullptr); }},
      {"SetIpFilter", [](OrvaleProtocol *p) { return ::SetIpFilter(p, nullptr); }},
      {"SetStationIp", [](OrvaleProtocol *p) { return ::SetStationIp(p, nullptr, nullptr); }},
  };
}

TEST_F(InstanceTest, MembersRefuseNullThisAndAStoppedInstance) {
  const size_t pool = fw_.LivePoolBlocks();
  for (const auto &[name, call] : LockingMembers()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(call(nullptr), EFI_INVALID_PARAMETER);
    EXPECT_EQ(call(Proto()), EFI_NOT_STARTED);
    ExpectTplRestored();
    EXPECT_EQ(Binding()->Lock.HeldCount, 0u);
  }
  EXPECT_EQ(fw_.LivePoolBlocks(), pool) << "nothing allocated before Start";

  // Started, but a caller cleared the published pointer: every member goes by it.
  ASSERT_EQ(StartChild(), EFI_SUCCESS);
  Proto()->State = nullptr;
  for (const auto &[name, call] : LockingMembers()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(call(Proto()), EFI_NOT_STARTED);
    EXPECT_EQ(Binding()->Lock.HeldCount, 0u);
  }
  Proto()->State = &Instance()->State;
  EXPECT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
}

// A member entered while another holds the controller lock gets
// EFI_ACCESS_DENIED and changes nothing: not the lock, not the TPL, not the instance.
TEST_F(InstanceTest, HeldLockRefusesEveryMemberUntouched) {
  ASSERT_EQ(StartChild(), EFI_SUCCESS);
  InstanceLock &lock = Binding()->Lock;
  EXPECT_EQ(lock.Tpl, 9u);
  ASSERT_EQ(AcquireInstanceLock(&lock), EFI_SUCCESS);
  EXPECT_EQ(fw_.CurrentTpl(), 9u);
  const EFI_TPL ownerTpl = lock.OwnerTpl;
  EXPECT_EQ(AcquireInstanceLock(&lock), EFI_ACCESS_DENIED);
  for (const auto &[name, call] : LockingMembers()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(call(Proto()), EFI_ACCESS_DENIED);
    EXPECT_EQ(lock.HeldCount, 1u);
    EXPECT_EQ(lock.OwnerTpl, ownerTpl);
    EXPECT_EQ(fw_.CurrentTpl(), 9u);
  }
  EXPECT_EQ(Proto()->Stop(Proto()), EFI_ACCESS_DENIED);
  EXPECT_TRUE(State().Started) << "a refused Stop stops nothing";
  State().Started = FALSE;
  EXPECT_EQ(Proto()->Start(Proto()), EFI_ACCESS_DENIED);
  EXPECT_FALSE(State().Started) << "a refused Start starts nothing";
  State().Started = TRUE;
  ReleaseInstanceLock(&lock);
  ExpectTplRestored();
  ReleaseInstanceLock(&lock);  // an unbalanced release changes nothing
  EXPECT_EQ(lock.HeldCount, 0u);
  ExpectTplRestored();
  EXPECT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
}

// ---- Receive notification ----

class ReceiveNotifyTest : public InstanceTest {
 protected:
  void SetUp() override {
    InstanceTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(StartChild(), EFI_SUCCESS);
    ASSERT_EQ(gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountRecycle, &recycled_, &rx_.RecycleEvent),
              EFI_SUCCESS);
  }
  void TearDown() override {
    gBS->CloseEvent(rx_.RecycleEvent);
    EXPECT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
    InstanceTest::TearDown();
  }
  static VOID EFIAPI CountRecycle(EFI_EVENT, VOID *context) { ++*static_cast<int *>(context); }

  // Completes the receive token with a frame of the given lengths.
  void Complete(EFI_STATUS status, uint32_t headerLength, uint32_t dataLength) {
    // Lengths that could not be real stay lengths: the buffers are capped.
    header_.assign(std::min<uint32_t>(headerLength, 16384), 0xAA);
    data_.assign(std::min<uint32_t>(dataLength, 16384), 0xBB);
    rx_.HeaderLength = headerLength;
    rx_.DataLength = dataLength;
    rx_.PacketLength = headerLength + dataLength;
    rx_.ProtocolType = 0x0806;
    rx_.MediaHeader = header_.data();
    rx_.PacketData = data_.data();
    ProtocolInstance *inst = Instance();
    inst->RxDone = FALSE;
    inst->RxToken.Status = status;
    inst->RxToken.Packet.RxData = &rx_;
    ReceiveNotify(inst->RxToken.Event, inst);
  }

  EFI_MANAGED_NETWORK_RECEIVE_DATA rx_{};
  Bytes header_, data_;
  int recycled_ = 0;
};

TEST_F(ReceiveNotifyTest, CopiesHeaderThenDataAndRecycles) {
  Complete(EFI_SUCCESS, 14, 28);
  ProtocolInstance *inst = Instance();
  EXPECT_TRUE(inst->RxDone);
  EXPECT_EQ(inst->RxStatus, EFI_SUCCESS);
  EXPECT_EQ(inst->RxLength, 42u);
  EXPECT_EQ(inst->RxHeaderLength, 14u);
  EXPECT_EQ(inst->RxDataLength, 28u);
  EXPECT_EQ(inst->RxProtocolType, 0x0806);
  EXPECT_EQ(inst->RxCopy[13], 0xAA);
  EXPECT_EQ(inst->RxCopy[14], 0xBB);
  EXPECT_EQ(inst->RxCopy[41], 0xBB);
  EXPECT_EQ(recycled_, 1);
}

TEST_F(ReceiveNotifyTest, ErrorStatusIsRecordedAndNothingElseTouched) {
  Complete(EFI_ABORTED, 14, 28);
  EXPECT_FALSE(Instance()->RxDone);
  EXPECT_EQ(Instance()->RxStatus, EFI_ABORTED);
  EXPECT_EQ(Instance()->RxLength, 0u);
  EXPECT_EQ(recycled_, 0);
}

// A frame that fills RxCopy exactly is taken; one byte more is dropped and
// its buffer still goes back to MNP.
TEST_F(ReceiveNotifyTest, FrameLargerThanTheCopyBufferIsDropped) {
  Complete(EFI_SUCCESS, 14, 8704 - 14);
  EXPECT_TRUE(Instance()->RxDone);
  EXPECT_EQ(Instance()->RxLength, 8704u);
  EXPECT_EQ(recycled_, 1);

  Instance()->RxLength = 0;
  Complete(EFI_SUCCESS, 14, 8704 - 13);
  EXPECT_FALSE(Instance()->RxDone);
  EXPECT_EQ(Instance()->RxStatus, EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Instance()->RxLength, 0u);
  EXPECT_EQ(recycled_, 2);
  Complete(EFI_SUCCESS, 0xFFFFFFF0u, 0x20);  // lengths whose 32-bit sum wraps
  EXPECT_FALSE(Instance()->RxDone);
  EXPECT_EQ(recycled_, 3);
}

// ---- BIS probe ----

TEST_F(InstanceTest, BisProbeAcceptsAGoodProviderAndShutsItDown) {
  hosted::BisConfig good;
  good.mode = hosted::BisMode::Good;
  for (uint32_t length : {8u, 16u, 504u}) {
    SCOPED_TRACE(length);
    good.signatureInfoLength = length;
    fw_.SetBis(good);
    ASSERT_EQ(StartChild(), EFI_SUCCESS);
    EXPECT_TRUE(Packets().BisDetected);
    EXPECT_TRUE(Packets().BisSupported);
    EXPECT_EQ(fw_.BisLiveApplicationHandles(), 0);
    EXPECT_EQ(fw_.BisOutstandingSignatureInfo(), 0);
    ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  }
  // Creation probes too.
  hosted::Child second;
  ASSERT_EQ(hosted::CreateChild(fw_, nic_, &second), EFI_SUCCESS);
  EXPECT_TRUE(InstanceOf(second)->Packets.BisDetected);
  EXPECT_EQ(fw_.BisLiveApplicationHandles(), 0);
  EXPECT_EQ(hosted::DestroyChild(fw_, nic_, second.handle), EFI_SUCCESS);
}

TEST_F(InstanceTest, BisProbeRefusesEveryFaultyProvider) {
  const hosted::BisMode refused[] = {
      hosted::BisMode::Absent,          hosted::BisMode::TwoHandles,        hosted::BisMode::NullInterface,
      hosted::BisMode::BadRevision,     hosted::BisMode::NullOperation,     hosted::BisMode::InitializeFails,
      hosted::BisMode::WrongMajorVersion, hosted::BisMode::CheckFlagFails,  hosted::BisMode::CheckFlagFalse,
      hosted::BisMode::SignatureInfoFails, hosted::BisMode::SignatureInfoNull,
  };
  for (hosted::BisMode mode : refused) {
    SCOPED_TRACE(static_cast<int>(mode));
    hosted::BisConfig config;
    config.mode = mode;
    fw_.SetBis(config);
    ASSERT_EQ(StartChild(), EFI_SUCCESS);
    EXPECT_FALSE(Packets().BisDetected);
    EXPECT_TRUE(Packets().BisSupported);
    EXPECT_EQ(fw_.BisLiveApplicationHandles(), 0);
    ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  }
  // Signature information of a bad length is refused and given back.
  for (uint32_t length : {0u, 4u, 12u, 512u}) {
    SCOPED_TRACE(length);
    hosted::BisConfig config;
    config.mode = hosted::BisMode::Good;
    config.signatureInfoLength = length;
    fw_.SetBis(config);
    ASSERT_EQ(StartChild(), EFI_SUCCESS);
    EXPECT_FALSE(Packets().BisDetected);
    EXPECT_EQ(fw_.BisLiveApplicationHandles(), 0);
    EXPECT_EQ(fw_.BisOutstandingSignatureInfo(), 0);
    ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  }
}

TEST_F(InstanceTest, BisVerifyPassesBothObjectsAndTheVerdict) {
  hosted::BisConfig config;
  config.mode = hosted::BisMode::Good;
  fw_.SetBis(config);
  ASSERT_EQ(StartChild(), EFI_SUCCESS);
  uint8_t object[] = {1, 2, 3, 4, 5};
  uint8_t credentials[] = {9, 8, 7};
  BOOLEAN verified = FALSE;
  EXPECT_EQ(Proto()->BisVerify(Proto(), object, 5, credentials, 3, &verified), EFI_SUCCESS);
  EXPECT_TRUE(verified);
  ASSERT_EQ(fw_.BisVerifications().size(), 1u);
  EXPECT_EQ(fw_.BisVerifications()[0].credentials, (Bytes{9, 8, 7}));
  EXPECT_EQ(fw_.BisVerifications()[0].data, (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(fw_.BisLiveApplicationHandles(), 0);
  ExpectTplRestored();

  config.verifyStatus = EFI_SECURITY_VIOLATION;
  config.verifyResult = false;
  fw_.SetBis(config);
  EXPECT_EQ(Proto()->BisVerify(Proto(), object, 5, credentials, 3, &verified), EFI_SECURITY_VIOLATION);
  EXPECT_EQ(fw_.BisLiveApplicationHandles(), 0);

  EXPECT_EQ(Proto()->BisVerify(Proto(), nullptr, 5, credentials, 3, &verified), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->BisVerify(Proto(), object, 0, credentials, 3, &verified), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->BisVerify(Proto(), object, 5, nullptr, 3, &verified), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->BisVerify(Proto(), object, 5, credentials, 0, &verified), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->BisVerify(Proto(), object, 5, credentials, 3, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(fw_.BisVerifications().size(), 2u) << "refused arguments never reach BIS";

  fw_.SetBis(hosted::BisConfig{});
  EXPECT_EQ(Proto()->BisVerify(Proto(), object, 5, credentials, 3, &verified), EFI_INVALID_PARAMETER);
  ExpectTplRestored();
  EXPECT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
}

// ---- Packet accessors ----

// No lock and no Start: these work while another member holds the lock.
TEST_F(InstanceTest, GetDhcpAckCopiesOnlyAReceivedAck) {
  uint8_t buffer[4096];
  UINTN size = sizeof(buffer);
  EXPECT_EQ(Proto()->GetDhcpAck(Proto(), &size, buffer), EFI_NOT_READY);
  Packets().DhcpAck = Reply(0);
  Packets().DhcpAckReceived = TRUE;
  Binding()->Lock.HeldCount = 1;
  size = 1471;
  EXPECT_EQ(Proto()->GetDhcpAck(Proto(), &size, buffer), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 1472u);
  size = sizeof(buffer);
  std::memset(buffer, 0xEE, sizeof(buffer));
  EXPECT_EQ(Proto()->GetDhcpAck(Proto(), &size, buffer), EFI_SUCCESS);
  EXPECT_EQ(size, 1472u);
  EXPECT_EQ(0, std::memcmp(buffer, Packets().DhcpAck.Raw, 1472));
  EXPECT_EQ(buffer[1472], 0xEE) << "nothing past the packet";
  Binding()->Lock.HeldCount = 0;
  EXPECT_EQ(Proto()->GetDhcpAck(nullptr, &size, buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->GetDhcpAck(Proto(), nullptr, buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->GetDhcpAck(Proto(), &size, nullptr), EFI_INVALID_PARAMETER);
  ExpectTplRestored();
}

TEST_F(InstanceTest, GetWirlReplyNeedsTheWirlBootMode) {
  uint8_t buffer[1472];
  UINTN size = sizeof(buffer);
  Packets().PxeReply = Reply(2);
  Packets().PxeReplyReceived = TRUE;
  Packets().BootMode = 0;
  EXPECT_EQ(Proto()->GetWirlReply(Proto(), &size, buffer), EFI_NOT_READY) << "a PXE reply is not a WIRL reply";
  Packets().BootMode = ORVALE_BOOT_MODE_WIRL;
  EXPECT_EQ(Proto()->GetWirlReply(Proto(), &size, buffer), EFI_SUCCESS);
  EXPECT_EQ(0, std::memcmp(buffer, Packets().PxeReply.Raw, 1472));
  size = 0;
  EXPECT_EQ(Proto()->GetWirlReply(Proto(), &size, nullptr), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 1472u);
  Packets().PxeReplyReceived = FALSE;
  EXPECT_EQ(Proto()->GetWirlReply(Proto(), &size, buffer), EFI_NOT_READY);
  EXPECT_EQ(Proto()->GetWirlReply(Proto(), nullptr, buffer), EFI_INVALID_PARAMETER);
}

// Only an ACK given: it lands in DhcpAck and entry 0, parsed there, and the
// received flag stays as it was.
TEST_F(InstanceTest, SetPacketsStoresTheAckAndLeavesTheFlags) {
  ASSERT_EQ(StartChild(), EFI_SUCCESS);
  DhcpPacket discover = Reply(0), ack = Reply(3), pxeDiscover = Reply(1);
  discover.Raw[4] = 0x11;  // xid bytes mark the packets
  ack.Raw[4] = 0x22;
  pxeDiscover.Raw[4] = 0x33;
  Packets().ReservedPointer = &ack;
  Packets().ProxyOffer.Raw[4] = 0x44;
  BOOLEAN flag = TRUE;
  ASSERT_EQ(Proto()->SetPackets(Proto(), &flag, &flag, &flag, &flag, &flag, &flag, &discover, &ack, nullptr,
                                &pxeDiscover, nullptr, nullptr),
            EFI_SUCCESS);
  ExpectTplRestored();
  EXPECT_EQ(Packets().ReservedPointer, nullptr);
  EXPECT_EQ(0, std::memcmp(&Packets().DhcpDiscover, &discover, 1472));
  EXPECT_EQ(0, std::memcmp(&Packets().DhcpAck, &ack, 1472));
  EXPECT_EQ(0, std::memcmp(&Packets().PxeDiscover, &pxeDiscover, 1472));
  EXPECT_EQ(Packets().ProxyOffer.Raw[4], 0x44) << "not given, not touched";

  PacketSlot *slots = Packets().ParsedPackets;
  ASSERT_NE(slots, nullptr);
  EXPECT_EQ(0, std::memcmp(&slots[0].packet, &ack, 1472));
  EXPECT_EQ(slots[0].length, 1472u);
  EXPECT_EQ(slots[0].options.count, 4);
  UINT32 length = 0;
  const UINT8 *type = OptionIndexFind(&slots[0].options, 53, &length, nullptr);
  EXPECT_EQ(type, slots[0].packet.Raw + 242) << "the index points into the entry's own copy";

  EXPECT_FALSE(Packets().DhcpAckReceived) << "flags are left as they were";
  EXPECT_FALSE(Packets().DhcpDiscoverValid);
  UINTN size = 1472;
  uint8_t buffer[1472];
  EXPECT_EQ(Proto()->GetDhcpAck(Proto(), &size, buffer), EFI_NOT_READY);

  DhcpPacket second = Reply(1);
  ASSERT_EQ(Proto()->SetPackets(Proto(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &second,
                                nullptr, nullptr, nullptr, nullptr),
            EFI_SUCCESS);
  EXPECT_EQ(slots, Packets().ParsedPackets) << "the existing entries are reused";
  EXPECT_EQ(slots[0].options.count, 2);
  EXPECT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
}

// Entries 1 to 3 sit at a 1938-byte stride, so their indexes are misaligned:
// under UBSan this shows the codec never reads them as aligned data.
TEST_F(InstanceTest, SetPacketsParsesEveryEntryInPlace) {
  ASSERT_EQ(StartChild(), EFI_SUCCESS);
  DhcpPacket packets[6];
  for (int i = 0; i < 6; ++i) {
    packets[i] = Reply(i);
    packets[i].Raw[4] = static_cast<uint8_t>(0x10 + i);
  }
  ASSERT_EQ(Proto()->SetPackets(Proto(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &packets[0],
                                &packets[1], &packets[2], &packets[3], &packets[4], &packets[5]),
            EFI_SUCCESS);
  const DhcpPacket *record[] = {&Packets().DhcpDiscover, &Packets().DhcpAck,  &Packets().ProxyOffer,
                                &Packets().PxeDiscover,  &Packets().PxeReply, &Packets().PxeBisReply};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(0, std::memcmp(record[i], &packets[i], 1472)) << i;
  // Entries 0..3: ACK, proxy offer, PXE reply, BIS reply.
  const int parsedFrom[] = {1, 2, 4, 5};
  PacketSlot *slots = Packets().ParsedPackets;
  ASSERT_NE(slots, nullptr);
  for (int e = 0; e < 4; ++e) {
    SCOPED_TRACE(e);
    EXPECT_EQ(0, std::memcmp(&slots[e].packet, &packets[parsedFrom[e]], 1472));
    // Packed fields are copied out before gtest binds references to them.
    const uint64_t length = slots[e].length;
    const int32_t count = slots[e].options.count;
    EXPECT_EQ(length, 1472u);
    EXPECT_EQ(count, 1 + parsedFrom[e]);
  }
  EXPECT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
}

TEST_F(InstanceTest, SetPacketsWithoutMemoryFailsCleanly) {
  ASSERT_EQ(StartChild(), EFI_SUCCESS);
  const size_t pool = fw_.LivePoolBlocks();
  DhcpPacket ack = Reply(0);
  fw_.FailAllocationsOfSize(4 * sizeof(PacketSlot));
  EXPECT_EQ(Proto()->SetPackets(Proto(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &ack,
                                nullptr, nullptr, nullptr, nullptr),
            EFI_OUT_OF_RESOURCES);
  fw_.FailAllocationsOfSize(0);
  ExpectTplRestored();
  EXPECT_EQ(fw_.LivePoolBlocks(), pool);
  EXPECT_EQ(Packets().ParsedPackets, nullptr);
  EXPECT_NE(0, std::memcmp(&Packets().DhcpAck, &ack, 1472)) << "nothing stored";
  EXPECT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
}

TEST_F(InstanceTest, FindOptionAndGetBootFileLeaveTheirResultInTheRecord) {
  ASSERT_EQ(StartChild(), EFI_SUCCESS);
  DhcpPacket ack = Reply(2, "boot/x64.efi");
  ASSERT_EQ(Proto()->SetPackets(Proto(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &ack,
                                nullptr, nullptr, nullptr, nullptr),
            EFI_SUCCESS);
  PacketSlot *slot = &Packets().ParsedPackets[0];

  UINT32 length = 0;
  INT32 position = 0;
  EXPECT_EQ(Proto()->FindOption(Proto(), &slot->options, 201, &length, &position), EFI_SUCCESS);
  EXPECT_EQ(Packets().FindOptionResult, slot->packet.Raw + 240 + 3 + 3 + 2) << "the value of option 201";
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(position, 3);
  EXPECT_EQ(Proto()->FindOption(Proto(), &slot->options, 77, &length, nullptr), EFI_SUCCESS);
  EXPECT_EQ(Packets().FindOptionResult, nullptr) << "absent";
  Packets().FindOptionResult = slot;
  EXPECT_EQ(Proto()->FindOption(Proto(), nullptr, 53, &length, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Packets().FindOptionResult, nullptr);

  EXPECT_EQ(Proto()->GetBootFile(Proto(), slot, &length), EFI_SUCCESS);
  EXPECT_EQ(Packets().GetBootFileResult, slot->packet.Raw + 108);
  EXPECT_EQ(length, 12u);
  auto other = std::make_unique<PacketSlot>();  // an empty slot: no name
  EXPECT_EQ(Proto()->GetBootFile(Proto(), other.get(), &length), EFI_SUCCESS);
  EXPECT_EQ(Packets().GetBootFileResult, nullptr);
  EXPECT_EQ(Proto()->GetBootFile(Proto(), nullptr, &length), EFI_INVALID_PARAMETER);
  ExpectTplRestored();
  EXPECT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
}

}  // namespace
}  // namespace orvale_test
