// The hosted platform itself: TPL and notification rules, events and the
// virtual clock, the handle database, the MNP over a simulated segment, the
// segment's faults and capture, and the platform data tables.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/hosted.h"

namespace {

using hosted::Bytes;
using hosted::Firmware;
using hosted::kTicksPerMs;
using hosted::kTicksPerSecond;
using hosted::Mac;

constexpr Mac kMacA = {0x52, 0x54, 0x00, 0x00, 0x00, 0x0A};
constexpr Mac kMacB = {0x52, 0x54, 0x00, 0x00, 0x00, 0x0B};
constexpr Mac kMacOther = {0x52, 0x54, 0x00, 0x00, 0x00, 0x0C};

EFI_GUID kMnpSbGuid = EFI_MANAGED_NETWORK_SERVICE_BINDING_PROTOCOL_GUID;
EFI_GUID kMnpGuid = EFI_MANAGED_NETWORK_PROTOCOL_GUID;
EFI_GUID kTestGuidA = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x01}};
EFI_GUID kTestGuidB = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x02}};

// Records what every notification saw.
struct NotifyLog {
  std::vector<std::string> order;
  std::vector<EFI_TPL> tpls;
  std::vector<uint64_t> times;
};
struct NotifyContext {
  NotifyLog *log;
  std::string name;
};

VOID EFIAPI RecordNotify(EFI_EVENT, VOID *Context) {
  auto *c = static_cast<NotifyContext *>(Context);
  c->log->order.push_back(c->name);
  c->log->tpls.push_back(Firmware::Current()->CurrentTpl());
  c->log->times.push_back(Firmware::Current()->Now());
}

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fw_.LoadDriver();
    bs_ = fw_.BootServices();
    rt_ = fw_.SystemTable()->RuntimeServices;
    pool_ = fw_.LivePoolBlocks();
    events_ = fw_.LiveEvents();
  }
  void TearDown() override {
    EXPECT_EQ(fw_.CurrentTpl(), TPL_APPLICATION);
    EXPECT_EQ(fw_.TplViolations().size(), expectedViolations_);
    EXPECT_EQ(fw_.LivePoolBlocks(), pool_);
    EXPECT_EQ(fw_.LiveEvents(), events_);
  }

  EFI_EVENT Timer() {
    EFI_EVENT e = nullptr;
    EXPECT_EQ(bs_->CreateEvent(EVT_TIMER, TPL_CALLBACK, nullptr, nullptr, &e), EFI_SUCCESS);
    return e;
  }
  EFI_EVENT NotifyEvent(uint32_t type, EFI_TPL tpl, NotifyContext *ctx) {
    EFI_EVENT e = nullptr;
    EXPECT_EQ(bs_->CreateEvent(type, tpl, RecordNotify, ctx, &e), EFI_SUCCESS);
    return e;
  }

  hosted::SimSegment segment_;
  Firmware fw_;
  EFI_BOOT_SERVICES *bs_ = nullptr;
  EFI_RUNTIME_SERVICES *rt_ = nullptr;
  size_t pool_ = 0;
  size_t events_ = 0;
  size_t expectedViolations_ = 0;
};

// ---- TPL rules and notification order ----

using TplTest = PlatformTest;

TEST_F(TplTest, RaiseBelowAndRestoreAboveAreRecordedAndChangeNothing) {
  const EFI_TPL old = bs_->RaiseTPL(TPL_NOTIFY);
  EXPECT_EQ(old, TPL_APPLICATION);
  EXPECT_EQ(bs_->RaiseTPL(TPL_CALLBACK), TPL_NOTIFY);  // below the current level
  EXPECT_EQ(fw_.CurrentTpl(), TPL_NOTIFY);
  bs_->RestoreTPL(TPL_HIGH_LEVEL);  // above the current level
  EXPECT_EQ(fw_.CurrentTpl(), TPL_NOTIFY);
  ASSERT_EQ(fw_.TplViolations().size(), 2u);
  bs_->RestoreTPL(old);
  EXPECT_EQ(fw_.CurrentTpl(), TPL_APPLICATION);
  expectedViolations_ = 2;
}

TEST_F(TplTest, SignalRunsNotifyAtOnceOnlyBelowItsTpl) {
  NotifyLog log;
  NotifyContext cb{&log, "callback"};
  NotifyContext nt{&log, "notify"};
  EFI_EVENT callback = NotifyEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &cb);
  EFI_EVENT notify = NotifyEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, &nt);

  const EFI_TPL old = bs_->RaiseTPL(9);  // the driver's member level
  EXPECT_EQ(bs_->SignalEvent(callback), EFI_SUCCESS);
  EXPECT_TRUE(log.order.empty());  // TPL_CALLBACK waits below 9
  EXPECT_EQ(bs_->SignalEvent(notify), EFI_SUCCESS);
  ASSERT_EQ(log.order, (std::vector<std::string>{"notify"}));
  EXPECT_EQ(log.tpls[0], TPL_NOTIFY);  // the notify runs at its own TPL
  EXPECT_EQ(fw_.CurrentTpl(), 9u);
  bs_->RestoreTPL(old);
  ASSERT_EQ(log.order, (std::vector<std::string>{"notify", "callback"}));
  EXPECT_EQ(log.tpls[1], TPL_CALLBACK);
  EXPECT_EQ(bs_->CloseEvent(callback), EFI_SUCCESS);
  EXPECT_EQ(bs_->CloseEvent(notify), EFI_SUCCESS);
}

TEST_F(TplTest, QueuedNotifiesRunHighestTplFirstAndOncePerSignalState) {
  NotifyLog log;
  NotifyContext cb1{&log, "cb1"};
  NotifyContext cb2{&log, "cb2"};
  NotifyContext nt{&log, "nt"};
  EFI_EVENT e1 = NotifyEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &cb1);
  EFI_EVENT e2 = NotifyEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &cb2);
  EFI_EVENT e3 = NotifyEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, &nt);
  const EFI_TPL old = bs_->RaiseTPL(TPL_HIGH_LEVEL);
  bs_->SignalEvent(e1);
  bs_->SignalEvent(e2);
  bs_->SignalEvent(e1);  // already pending: still one call
  bs_->SignalEvent(e3);
  EXPECT_TRUE(log.order.empty());
  bs_->RestoreTPL(old);
  EXPECT_EQ(log.order, (std::vector<std::string>{"nt", "cb1", "cb2"}));
  // The notify reset the signal state: a new signal runs it again.
  bs_->SignalEvent(e1);
  EXPECT_EQ(log.order.size(), 4u);
  for (EFI_EVENT e : {e1, e2, e3}) bs_->CloseEvent(e);
}

TEST_F(TplTest, ClosingAQueuedEventDropsItsNotify) {
  NotifyLog log;
  NotifyContext cb{&log, "cb"};
  EFI_EVENT e = NotifyEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &cb);
  const EFI_TPL old = bs_->RaiseTPL(TPL_NOTIFY);
  bs_->SignalEvent(e);
  bs_->CloseEvent(e);
  bs_->RestoreTPL(old);
  EXPECT_TRUE(log.order.empty());
}

// ---- Events: CheckEvent, creation rules, misuse ----

using EventTest = PlatformTest;

TEST_F(EventTest, CheckEventResetsTheSignalState) {
  EFI_EVENT e = nullptr;
  ASSERT_EQ(bs_->CreateEvent(0, 0, nullptr, nullptr, &e), EFI_SUCCESS);
  EXPECT_EQ(bs_->CheckEvent(e), EFI_NOT_READY);
  bs_->SignalEvent(e);
  EXPECT_EQ(bs_->CheckEvent(e), EFI_SUCCESS);
  EXPECT_EQ(bs_->CheckEvent(e), EFI_NOT_READY);
  EXPECT_EQ(bs_->CloseEvent(e), EFI_SUCCESS);
}

TEST_F(EventTest, CheckEventOfANotifySignalEventIsInvalid) {
  NotifyLog log;
  NotifyContext ctx{&log, "x"};
  EFI_EVENT e = NotifyEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &ctx);
  EXPECT_EQ(bs_->CheckEvent(e), EFI_INVALID_PARAMETER);
  bs_->CloseEvent(e);
}

TEST_F(EventTest, CreateEventRejectsBadCombinations) {
  EFI_EVENT e = nullptr;
  EXPECT_EQ(bs_->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, nullptr, nullptr, &e), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs_->CreateEvent(EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT, TPL_CALLBACK, RecordNotify, nullptr, &e),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs_->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_APPLICATION, RecordNotify, nullptr, &e), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs_->CreateEvent(EVT_TIMER, TPL_CALLBACK, nullptr, nullptr, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(fw_.LiveEvents(), events_);
}

TEST_F(EventTest, UseAfterCloseIsRefusedAndRecorded) {
  EFI_EVENT e = Timer();
  EXPECT_EQ(fw_.LiveEvents(), events_ + 1);
  EXPECT_EQ(bs_->CloseEvent(e), EFI_SUCCESS);
  EXPECT_EQ(fw_.LiveEvents(), events_);
  const size_t errors = fw_.Errors().size();
  EXPECT_EQ(bs_->CloseEvent(e), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs_->CheckEvent(e), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs_->SetTimer(e, TimerRelative, 10), EFI_INVALID_PARAMETER);
  EXPECT_EQ(fw_.Errors().size(), errors + 3);
  // Many events created and closed later never take the stale handle's place.
  for (int i = 0; i < 1000; ++i) {
    EFI_EVENT later = Timer();
    EXPECT_NE(later, e);
    EXPECT_EQ(bs_->CloseEvent(later), EFI_SUCCESS);
  }
  EXPECT_EQ(bs_->CloseEvent(e), EFI_INVALID_PARAMETER);
  ASSERT_EQ(fw_.Errors().size(), errors + 4);
  EXPECT_NE(fw_.Errors().back().find("already closed"), std::string::npos);
  EXPECT_EQ(fw_.LiveEvents(), events_);
}

TEST_F(EventTest, SetTimerOnANonTimerEventIsInvalid) {
  EFI_EVENT e = nullptr;
  ASSERT_EQ(bs_->CreateEvent(0, 0, nullptr, nullptr, &e), EFI_SUCCESS);
  EXPECT_EQ(bs_->SetTimer(e, TimerRelative, 10), EFI_INVALID_PARAMETER);
  bs_->CloseEvent(e);
}

// ---- Virtual clock ----

using ClockTest = PlatformTest;

TEST_F(ClockTest, WaitingFourHundredSecondsTakesNoRealTime) {
  EFI_EVENT t = Timer();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(bs_->SetTimer(t, TimerRelative, 400 * kTicksPerSecond), EFI_SUCCESS);
  int checks = 0;
  while (bs_->CheckEvent(t) != EFI_SUCCESS) ++checks;
  const auto real = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(fw_.Now(), 400 * kTicksPerSecond);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(real).count(), 1000);
  EXPECT_LE(checks, 1);
  bs_->CloseEvent(t);
}

TEST_F(ClockTest, CheckEventNeverJumpsPastTheCheckedTimer) {
  EFI_EVENT soon = Timer();
  EFI_EVENT late = Timer();
  bs_->SetTimer(late, TimerRelative, 5 * kTicksPerSecond);
  bs_->SetTimer(soon, TimerRelative, 1 * kTicksPerSecond);
  // Checking the late timer first moves only to the earlier deadline.
  EXPECT_EQ(bs_->CheckEvent(late), EFI_NOT_READY);
  EXPECT_EQ(fw_.Now(), 1 * kTicksPerSecond);
  EXPECT_EQ(bs_->CheckEvent(soon), EFI_SUCCESS);
  EXPECT_EQ(bs_->CheckEvent(late), EFI_SUCCESS);
  EXPECT_EQ(fw_.Now(), 5 * kTicksPerSecond);
  // A cancelled timer never fires and the clock stays.
  bs_->SetTimer(soon, TimerRelative, kTicksPerSecond);
  bs_->SetTimer(soon, TimerCancel, 0);
  EXPECT_EQ(bs_->CheckEvent(soon), EFI_NOT_READY);
  EXPECT_EQ(fw_.Now(), 5 * kTicksPerSecond);
  bs_->CloseEvent(soon);
  bs_->CloseEvent(late);
}

TEST_F(ClockTest, CheckEventStopsAtAFrameDueBeforeTheDeadline) {
  EFI_EVENT t = Timer();
  fw_.UseWire(&segment_);
  segment_.Inject(Bytes(60, 0xFF), 30 * kTicksPerMs);
  bs_->SetTimer(t, TimerRelative, kTicksPerSecond);
  EXPECT_EQ(bs_->CheckEvent(t), EFI_NOT_READY);
  EXPECT_EQ(fw_.Now(), 30 * kTicksPerMs);  // the frame's arrival, for the caller's next poll
  EXPECT_EQ(bs_->CheckEvent(t), EFI_SUCCESS);
  EXPECT_EQ(fw_.Now(), kTicksPerSecond);
  bs_->CloseEvent(t);
}

TEST_F(ClockTest, StallAdvancesExactlyAndFiresTimersInTimeOrder) {
  NotifyLog log;
  NotifyContext a{&log, "3ms"};
  NotifyContext b{&log, "1ms"};
  EFI_EVENT ta = NotifyEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &a);
  EFI_EVENT tb = NotifyEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &b);
  bs_->SetTimer(ta, TimerRelative, 3 * kTicksPerMs);
  bs_->SetTimer(tb, TimerRelative, 1 * kTicksPerMs);
  EXPECT_EQ(bs_->Stall(10'000), EFI_SUCCESS);
  EXPECT_EQ(fw_.Now(), 10 * kTicksPerMs);
  EXPECT_EQ(log.order, (std::vector<std::string>{"1ms", "3ms"}));
  EXPECT_EQ(log.times, (std::vector<uint64_t>{1 * kTicksPerMs, 3 * kTicksPerMs}));
  EXPECT_EQ(log.tpls, (std::vector<EFI_TPL>{TPL_CALLBACK, TPL_CALLBACK}));
  bs_->CloseEvent(ta);
  bs_->CloseEvent(tb);
}

TEST_F(ClockTest, PeriodicTimerFiresEveryPeriod) {
  NotifyLog log;
  NotifyContext p{&log, "tick"};
  EFI_EVENT t = NotifyEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &p);
  bs_->SetTimer(t, TimerPeriodic, 10 * kTicksPerMs);
  fw_.Advance(55 * kTicksPerMs);
  EXPECT_EQ(log.order.size(), 5u);
  bs_->CloseEvent(t);
  fw_.Advance(50 * kTicksPerMs);
  EXPECT_EQ(log.order.size(), 5u);  // closing cancelled it
}

TEST_F(ClockTest, RealTimeModeWaitsOnTheMonotonicClock) {
  fw_.Advance(kTicksPerSecond);
  fw_.UseRealTime(true);
  EFI_EVENT t = Timer();
  const auto start = std::chrono::steady_clock::now();
  bs_->Stall(20'000);
  bs_->SetTimer(t, TimerRelative, 10 * kTicksPerMs);
  while (bs_->CheckEvent(t) != EFI_SUCCESS) {
  }
  const auto real = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(real.count(), 30'000);
  EXPECT_GE(fw_.Now(), kTicksPerSecond + 30 * kTicksPerMs);  // continues from the virtual time
  fw_.UseRealTime(false);
  bs_->CloseEvent(t);
}

TEST_F(ClockTest, GetTimeFollowsTheVirtualClock) {
  EFI_TIME t{};
  ASSERT_EQ(rt_->GetTime(&t, nullptr), EFI_SUCCESS);
  EXPECT_EQ(t.Year, 2026);
  EXPECT_EQ(t.Month, 1);
  EXPECT_EQ(t.Day, 1);
  EXPECT_EQ(t.Hour, 0);
  EXPECT_EQ(t.Second, 0);
  fw_.Advance(86400ull * 31 * kTicksPerSecond + 3661 * kTicksPerSecond + 5 * kTicksPerMs);
  ASSERT_EQ(rt_->GetTime(&t, nullptr), EFI_SUCCESS);
  EXPECT_EQ(t.Month, 2);
  EXPECT_EQ(t.Day, 1);
  EXPECT_EQ(t.Hour, 1);
  EXPECT_EQ(t.Minute, 1);
  EXPECT_EQ(t.Second, 1);
  EXPECT_EQ(t.Nanosecond, 5'000'000u);
  EFI_TIME wall{};
  wall.Year = 2027;
  wall.Month = 12;
  wall.Day = 31;
  wall.Hour = 23;
  wall.Minute = 59;
  wall.Second = 59;
  fw_.SetWallTime(wall);
  fw_.Advance(kTicksPerSecond);
  ASSERT_EQ(rt_->GetTime(&t, nullptr), EFI_SUCCESS);
  EXPECT_EQ(t.Year, 2028);
  EXPECT_EQ(t.Month, 1);
  EXPECT_EQ(t.Day, 1);
  EXPECT_EQ(t.Hour, 0);
}

// ---- Pool ----

using PoolTest = PlatformTest;

TEST_F(PoolTest, AccountingAndUnknownFrees) {
  void *a = nullptr;
  void *b = nullptr;
  ASSERT_EQ(bs_->AllocatePool(EfiBootServicesData, 100, &a), EFI_SUCCESS);
  ASSERT_EQ(bs_->AllocatePool(EfiBootServicesData, 28, &b), EFI_SUCCESS);
  EXPECT_EQ(fw_.LivePoolBlocks(), pool_ + 2);
  EXPECT_GE(fw_.LivePoolBytes(), 128u);
  EXPECT_EQ(bs_->FreePool(a), EFI_SUCCESS);
  const size_t errors = fw_.Errors().size();
  EXPECT_EQ(bs_->FreePool(a), EFI_INVALID_PARAMETER);  // twice
  int local = 0;
  EXPECT_EQ(bs_->FreePool(&local), EFI_INVALID_PARAMETER);
  EXPECT_EQ(fw_.Errors().size(), errors + 2);
  EXPECT_EQ(bs_->FreePool(b), EFI_SUCCESS);
}

TEST_F(PoolTest, InjectedFailures) {
  void *p[3] = {};
  fw_.FailAllocation(1);
  EXPECT_EQ(bs_->AllocatePool(EfiBootServicesData, 8, &p[0]), EFI_SUCCESS);
  EXPECT_EQ(bs_->AllocatePool(EfiBootServicesData, 8, &p[1]), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(bs_->AllocatePool(EfiBootServicesData, 8, &p[2]), EFI_SUCCESS);  // one-shot
  fw_.FailAllocationsOfSize(48);
  void *q = nullptr;
  EXPECT_EQ(bs_->AllocatePool(EfiBootServicesData, 48, &q), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(bs_->AllocatePool(EfiBootServicesData, 48, &q), EFI_OUT_OF_RESOURCES);
  fw_.FailAllocationsOfSize(0);
  EXPECT_EQ(bs_->AllocatePool(EfiBootServicesData, 48, &q), EFI_SUCCESS);
  for (void *x : {p[0], p[2], q}) bs_->FreePool(x);
}

// ---- Handle database ----

using HandleTest = PlatformTest;

TEST_F(HandleTest, OpenByDriverIsExclusivePerAgentAndBlocksUninstall) {
  int iface = 0;
  EFI_HANDLE h = nullptr;
  ASSERT_EQ(bs_->InstallProtocolInterface(&h, &kTestGuidA, EFI_NATIVE_INTERFACE, &iface), EFI_SUCCESS);
  EFI_HANDLE agent1 = fw_.NewHandle();
  EFI_HANDLE agent2 = fw_.NewHandle();
  void *got = nullptr;
  EXPECT_EQ(bs_->OpenProtocol(h, &kTestGuidA, &got, agent1, h, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_SUCCESS);
  EXPECT_EQ(got, &iface);
  EXPECT_EQ(bs_->OpenProtocol(h, &kTestGuidA, &got, agent1, h, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_ALREADY_STARTED);
  EXPECT_EQ(bs_->OpenProtocol(h, &kTestGuidA, &got, agent2, h, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_ACCESS_DENIED);
  EXPECT_EQ(bs_->OpenProtocol(h, &kTestGuidA, nullptr, agent2, h, EFI_OPEN_PROTOCOL_TEST_PROTOCOL), EFI_SUCCESS);
  EXPECT_EQ(bs_->OpenProtocol(h, &kTestGuidB, nullptr, agent2, h, EFI_OPEN_PROTOCOL_TEST_PROTOCOL), EFI_UNSUPPORTED);
  EXPECT_EQ(bs_->OpenProtocol(h, &kTestGuidA, &got, agent2, h, EFI_OPEN_PROTOCOL_GET_PROTOCOL), EFI_SUCCESS);

  EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *info = nullptr;
  UINTN count = 0;
  ASSERT_EQ(bs_->OpenProtocolInformation(h, &kTestGuidA, &info, &count), EFI_SUCCESS);
  ASSERT_EQ(count, 2u);  // TEST opens leave no trace
  EXPECT_EQ(info[0].AgentHandle, agent1);
  EXPECT_EQ(info[0].Attributes, EFI_OPEN_PROTOCOL_BY_DRIVER);
  EXPECT_EQ(info[1].AgentHandle, agent2);
  EXPECT_EQ(fw_.LivePoolBlocks(), pool_ + 1);  // the caller frees the entries
  bs_->FreePool(info);

  EXPECT_EQ(bs_->UninstallProtocolInterface(h, &kTestGuidA, &iface), EFI_ACCESS_DENIED);
  EXPECT_EQ(bs_->CloseProtocol(h, &kTestGuidA, agent1, h), EFI_SUCCESS);
  EXPECT_EQ(bs_->CloseProtocol(h, &kTestGuidA, agent1, h), EFI_NOT_FOUND);
  EXPECT_EQ(bs_->UninstallProtocolInterface(h, &kTestGuidA, &iface), EFI_SUCCESS);
  EXPECT_FALSE(fw_.HandleExists(h));  // no protocol left
}

TEST_F(HandleTest, InstallMultipleIsAllOrNothing) {
  int a = 0;
  int b = 0;
  EFI_HANDLE h = nullptr;
  ASSERT_EQ(bs_->InstallMultipleProtocolInterfaces(&h, &kTestGuidA, &a, nullptr), EFI_SUCCESS);
  const size_t handles = fw_.HandleCount();
  EXPECT_EQ(bs_->InstallMultipleProtocolInterfaces(&h, &kTestGuidB, &b, &kTestGuidA, &a, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(fw_.FindProtocol(h, kTestGuidB), nullptr);

  EFI_HANDLE fresh = nullptr;
  fw_.FailInstallOf(kTestGuidB, true);
  EXPECT_EQ(bs_->InstallMultipleProtocolInterfaces(&fresh, &kTestGuidA, &a, &kTestGuidB, &b, nullptr),
            EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(fresh, nullptr);
  EXPECT_EQ(fw_.HandleCount(), handles);
  fw_.FailInstallOf(kTestGuidB, false);
  ASSERT_EQ(bs_->InstallMultipleProtocolInterfaces(&fresh, &kTestGuidA, &a, &kTestGuidB, &b, nullptr), EFI_SUCCESS);
  EXPECT_EQ(fw_.HandleCount(), handles + 1);

  // A wrong interface for one GUID leaves both installed.
  EXPECT_EQ(bs_->UninstallMultipleProtocolInterfaces(fresh, &kTestGuidA, &a, &kTestGuidB, &a, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(fw_.FindProtocol(fresh, kTestGuidA), &a);
  fw_.FailUninstallOf(kTestGuidB, true);
  EXPECT_NE(bs_->UninstallMultipleProtocolInterfaces(fresh, &kTestGuidA, &a, &kTestGuidB, &b, nullptr), EFI_SUCCESS);
  fw_.FailUninstallOf(kTestGuidB, false);
  EXPECT_EQ(bs_->UninstallMultipleProtocolInterfaces(fresh, &kTestGuidA, &a, &kTestGuidB, &b, nullptr), EFI_SUCCESS);
  EXPECT_FALSE(fw_.HandleExists(fresh));
  EXPECT_EQ(bs_->UninstallMultipleProtocolInterfaces(h, &kTestGuidA, &a, nullptr), EFI_SUCCESS);
}

TEST_F(HandleTest, LocateHandleReportsTheSizeItNeeds) {
  int a = 0;
  EFI_HANDLE h1 = nullptr;
  EFI_HANDLE h2 = nullptr;
  bs_->InstallProtocolInterface(&h1, &kTestGuidA, EFI_NATIVE_INTERFACE, &a);
  bs_->InstallProtocolInterface(&h2, &kTestGuidA, EFI_NATIVE_INTERFACE, &a);
  EFI_HANDLE buf[2] = {};
  UINTN size = sizeof(EFI_HANDLE);
  EXPECT_EQ(bs_->LocateHandle(ByProtocol, &kTestGuidA, nullptr, &size, buf), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 2 * sizeof(EFI_HANDLE));
  EXPECT_EQ(bs_->LocateHandle(ByProtocol, &kTestGuidA, nullptr, &size, buf), EFI_SUCCESS);
  EXPECT_EQ(buf[0], h1);
  EXPECT_EQ(buf[1], h2);
  size = sizeof buf;
  EXPECT_EQ(bs_->LocateHandle(ByProtocol, &kTestGuidB, nullptr, &size, buf), EFI_NOT_FOUND);
  void *iface = &size;
  EXPECT_EQ(bs_->LocateProtocol(&kTestGuidB, nullptr, &iface), EFI_NOT_FOUND);
  EXPECT_EQ(iface, nullptr);
  EXPECT_EQ(bs_->LocateProtocol(&kTestGuidA, nullptr, &iface), EFI_SUCCESS);
  EXPECT_EQ(iface, &a);
  bs_->UninstallProtocolInterface(h1, &kTestGuidA, &a);
  bs_->UninstallProtocolInterface(h2, &kTestGuidA, &a);
}

// ---- MNP over a simulated segment ----

// A scripted port that keeps what reaches it.
class CapturePort : public hosted::Port {
 public:
  explicit CapturePort(const Mac &mac) : mac_(mac) {}
  Mac Address() const override { return mac_; }
  void Deliver(const hosted::Frame &frame) override { frames.push_back(frame); }
  std::vector<hosted::Frame> frames;

 private:
  Mac mac_;
};

struct TokenState {
  int completions = 0;
  EFI_TPL tpl = 0;
};

VOID EFIAPI TokenNotify(EFI_EVENT, VOID *Context) {
  auto *s = static_cast<TokenState *>(Context);
  ++s->completions;
  s->tpl = Firmware::Current()->CurrentTpl();
}

class MnpTest : public PlatformTest {
 protected:
  EFI_MANAGED_NETWORK_PROTOCOL *OpenMnp(hosted::Nic *nic, EFI_HANDLE *child) {
    auto *sb = static_cast<EFI_SERVICE_BINDING_PROTOCOL *>(fw_.FindProtocol(nic->controller, kMnpSbGuid));
    EXPECT_NE(sb, nullptr);
    *child = nullptr;
    EXPECT_EQ(sb->CreateChild(sb, child), EFI_SUCCESS);
    return static_cast<EFI_MANAGED_NETWORK_PROTOCOL *>(fw_.FindProtocol(*child, kMnpGuid));
  }
  void CloseMnp(hosted::Nic *nic, EFI_HANDLE child) {
    auto *sb = static_cast<EFI_SERVICE_BINDING_PROTOCOL *>(fw_.FindProtocol(nic->controller, kMnpSbGuid));
    EXPECT_EQ(sb->DestroyChild(sb, child), EFI_SUCCESS);
  }
  static EFI_MANAGED_NETWORK_CONFIG_DATA Config(bool promiscuous = false) {
    EFI_MANAGED_NETWORK_CONFIG_DATA c{};
    c.EnableUnicastReceive = TRUE;
    c.EnableMulticastReceive = TRUE;
    c.EnableBroadcastReceive = TRUE;
    c.EnablePromiscuousReceive = promiscuous ? TRUE : FALSE;
    c.FlushQueuesOnReset = TRUE;
    return c;
  }
  EFI_EVENT TokenEvent(TokenState *s) {
    EFI_EVENT e = nullptr;
    EXPECT_EQ(bs_->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, TokenNotify, s, &e), EFI_SUCCESS);
    return e;
  }
};

// ARP request 10.0.0.1 -> 10.0.0.2 as A's MNP must put it on the wire.
const Bytes kArpFrame = {
    0x52, 0x54, 0x00, 0x00, 0x00, 0x0B,  // destination: B
    0x52, 0x54, 0x00, 0x00, 0x00, 0x0A,  // source: A
    0x08, 0x06,                          // EtherType ARP
    0x00, 0x01,                          // hardware type Ethernet
    0x08, 0x00,                          // protocol type IPv4
    0x06, 0x04,                          // sizes
    0x00, 0x01,                          // request
    0x52, 0x54, 0x00, 0x00, 0x00, 0x0A,  // sender hardware address
    0x0A, 0x00, 0x00, 0x01,              // sender IP 10.0.0.1
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // target hardware address
    0x0A, 0x00, 0x00, 0x02,              // target IP 10.0.0.2
};

TEST_F(MnpTest, ModeDataBeforeConfigure) {
  hosted::Nic *nic = fw_.AddNic(&segment_, kMacA);
  EFI_HANDLE child = nullptr;
  EFI_MANAGED_NETWORK_PROTOCOL *mnp = OpenMnp(nic, &child);
  ASSERT_NE(mnp, nullptr);
  EFI_MANAGED_NETWORK_CONFIG_DATA cfg{};
  EFI_SIMPLE_NETWORK_MODE mode{};
  EXPECT_EQ(mnp->GetModeData(mnp, &cfg, &mode), EFI_NOT_STARTED);
  EXPECT_EQ(mode.HwAddressSize, 6u);
  EXPECT_EQ(mode.MediaHeaderSize, 14u);
  EXPECT_EQ(mode.MaxPacketSize, 1500u);
  EXPECT_EQ(mode.IfType, 1);
  EXPECT_TRUE(mode.MediaPresent);
  EXPECT_EQ(0, memcmp(mode.CurrentAddress.Addr, kMacA.data(), 6));
  const uint8_t bcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(0, memcmp(mode.BroadcastAddress.Addr, bcast, 6));
  EXPECT_EQ(cfg.ReceivedQueueTimeoutValue, 10'000'000u);
  EXPECT_EQ(mnp->Poll(mnp), EFI_NOT_STARTED);
  EFI_MANAGED_NETWORK_CONFIG_DATA c = Config();
  EXPECT_EQ(mnp->Configure(mnp, &c), EFI_SUCCESS);
  EXPECT_EQ(mnp->GetModeData(mnp, nullptr, &mode), EFI_SUCCESS);

  EFI_IP_ADDRESS group{};
  const uint8_t ip[4] = {239, 129, 2, 3};
  memcpy(group.v4.Addr, ip, 4);
  EFI_MAC_ADDRESS mac{};
  ASSERT_EQ(mnp->McastIpToMac(mnp, FALSE, &group, &mac), EFI_SUCCESS);
  const uint8_t want[6] = {0x01, 0x00, 0x5E, 0x01, 0x02, 0x03};  // low 23 bits of the group
  EXPECT_EQ(0, memcmp(mac.Addr, want, 6));
  group.v4.Addr[0] = 10;
  EXPECT_EQ(mnp->McastIpToMac(mnp, FALSE, &group, &mac), EFI_INVALID_PARAMETER);
  EXPECT_EQ(mnp->Configure(mnp, nullptr), EFI_SUCCESS);
  CloseMnp(nic, child);
  EXPECT_EQ(nic->MnpChildren(), 0u);
}

TEST_F(MnpTest, TwoNicsExchangeAFramePaddedAndRecycled) {
  hosted::Nic *a = fw_.AddNic(&segment_, kMacA);
  hosted::Nic *b = fw_.AddNic(&segment_, kMacB);
  EFI_HANDLE ca = nullptr;
  EFI_HANDLE cb = nullptr;
  EFI_MANAGED_NETWORK_PROTOCOL *ma = OpenMnp(a, &ca);
  EFI_MANAGED_NETWORK_PROTOCOL *mb = OpenMnp(b, &cb);
  EFI_MANAGED_NETWORK_CONFIG_DATA c = Config();
  ma->Configure(ma, &c);
  mb->Configure(mb, &c);

  TokenState rxState;
  EFI_MANAGED_NETWORK_COMPLETION_TOKEN rx{};
  rx.Event = TokenEvent(&rxState);
  ASSERT_EQ(mb->Receive(mb, &rx), EFI_SUCCESS);
  EXPECT_EQ(mb->Receive(mb, &rx), EFI_ACCESS_DENIED);  // already queued

  TokenState txState;
  EFI_MANAGED_NETWORK_COMPLETION_TOKEN tx{};
  tx.Event = TokenEvent(&txState);
  EFI_MANAGED_NETWORK_TRANSMIT_DATA data{};
  EFI_MAC_ADDRESS dst{};
  memcpy(dst.Addr, kMacB.data(), 6);
  data.DestinationAddress = &dst;
  data.ProtocolType = 0x0806;
  data.DataLength = 28;
  data.FragmentCount = 1;
  data.FragmentTable[0].FragmentLength = 28;
  data.FragmentTable[0].FragmentBuffer = const_cast<uint8_t *>(kArpFrame.data() + 14);
  tx.Packet.TxData = &data;

  const EFI_TPL old = bs_->RaiseTPL(9);
  ASSERT_EQ(ma->Transmit(ma, &tx), EFI_SUCCESS);
  ASSERT_EQ(a->sent.size(), 1u);
  Bytes onWire = kArpFrame;
  onWire.resize(60, 0);  // the sending NIC pads to the Ethernet minimum
  EXPECT_EQ(a->sent[0].bytes, onWire);
  EXPECT_EQ(txState.completions, 0);  // completes in Poll
  EXPECT_EQ(ma->Poll(ma), EFI_SUCCESS);
  EXPECT_EQ(txState.completions, 1);
  EXPECT_EQ(txState.tpl, TPL_NOTIFY);
  EXPECT_EQ(tx.Status, EFI_SUCCESS);

  EXPECT_EQ(mb->Poll(mb), EFI_SUCCESS);
  ASSERT_EQ(rxState.completions, 1);
  EXPECT_EQ(rxState.tpl, TPL_NOTIFY);
  bs_->RestoreTPL(old);
  ASSERT_EQ(rx.Status, EFI_SUCCESS);
  EFI_MANAGED_NETWORK_RECEIVE_DATA *r = rx.Packet.RxData;
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->HeaderLength, 14u);
  EXPECT_EQ(r->DataLength, 46u);  // 28 bytes of ARP and the sender's padding
  EXPECT_EQ(r->PacketLength, 60u);
  EXPECT_EQ(r->ProtocolType, 0x0806);
  EXPECT_FALSE(r->BroadcastFlag);
  EXPECT_EQ(static_cast<uint8_t *>(r->PacketData), static_cast<uint8_t *>(r->MediaHeader) + 14);
  EXPECT_EQ(0, memcmp(r->MediaHeader, kArpFrame.data(), kArpFrame.size()));
  const Bytes padding(18, 0);
  EXPECT_EQ(0, memcmp(static_cast<uint8_t *>(r->MediaHeader) + 42, padding.data(), padding.size()));
  EXPECT_EQ(b->UnrecycledBuffers(), 1u);
  EXPECT_EQ(bs_->SignalEvent(r->RecycleEvent), EFI_SUCCESS);
  EXPECT_EQ(b->UnrecycledBuffers(), 0u);
  EXPECT_EQ(mb->Poll(mb), EFI_NOT_READY);

  bs_->CloseEvent(rx.Event);
  bs_->CloseEvent(tx.Event);
  ma->Configure(ma, nullptr);
  mb->Configure(mb, nullptr);
  CloseMnp(a, ca);
  CloseMnp(b, cb);
}

TEST_F(MnpTest, TransmitValidatesTheTokenLikeTheUefiSpecification) {
  hosted::Nic *a = fw_.AddNic(&segment_, kMacA);
  EFI_HANDLE ca = nullptr;
  EFI_MANAGED_NETWORK_PROTOCOL *m = OpenMnp(a, &ca);
  EFI_MANAGED_NETWORK_CONFIG_DATA c = Config();
  m->Configure(m, &c);
  TokenState s;
  EFI_MANAGED_NETWORK_COMPLETION_TOKEN tx{};
  tx.Event = TokenEvent(&s);
  static uint8_t payload[1501] = {};
  EFI_MAC_ADDRESS dst{};
  EFI_MANAGED_NETWORK_TRANSMIT_DATA d{};
  d.DestinationAddress = &dst;
  d.ProtocolType = 0x0800;
  d.FragmentCount = 1;
  d.FragmentTable[0].FragmentBuffer = payload;
  tx.Packet.TxData = &d;

  EXPECT_EQ(m->Transmit(m, nullptr), EFI_INVALID_PARAMETER);
  d.DataLength = 20;
  d.FragmentTable[0].FragmentLength = 21;  // fragments do not add up
  EXPECT_EQ(m->Transmit(m, &tx), EFI_INVALID_PARAMETER);
  d.FragmentTable[0].FragmentLength = 20;
  d.FragmentCount = 0;
  EXPECT_EQ(m->Transmit(m, &tx), EFI_INVALID_PARAMETER);
  d.FragmentCount = 1;
  d.DataLength = 1501;  // a 1515-byte frame
  d.FragmentTable[0].FragmentLength = 1501;
  EXPECT_EQ(m->Transmit(m, &tx), EFI_INVALID_PARAMETER);
  d.DestinationAddress = nullptr;
  d.DataLength = 20;
  d.FragmentTable[0].FragmentLength = 20;
  EXPECT_EQ(m->Transmit(m, &tx), EFI_INVALID_PARAMETER);  // no header and no destination
  EXPECT_TRUE(a->sent.empty());

  d.DestinationAddress = &dst;
  a->faults.transmitFails = true;
  EXPECT_EQ(m->Transmit(m, &tx), EFI_DEVICE_ERROR);
  a->faults.transmitFails = false;
  a->faults.transmitNeverCompletes = true;
  EXPECT_EQ(m->Transmit(m, &tx), EFI_SUCCESS);
  EXPECT_EQ(m->Poll(m), EFI_NOT_READY);
  EXPECT_EQ(s.completions, 0);
  EXPECT_EQ(a->PendingTransmits(), 1u);
  EXPECT_EQ(m->Cancel(m, &tx), EFI_SUCCESS);
  EXPECT_EQ(tx.Status, EFI_ABORTED);
  EXPECT_EQ(s.completions, 1);
  EXPECT_EQ(m->Cancel(m, &tx), EFI_NOT_FOUND);
  bs_->CloseEvent(tx.Event);
  m->Configure(m, nullptr);
  CloseMnp(a, ca);
}

TEST_F(MnpTest, ReceiveFilterAndFlags) {
  hosted::Nic *a = fw_.AddNic(&segment_, kMacA);
  EFI_HANDLE ca = nullptr;
  EFI_MANAGED_NETWORK_PROTOCOL *m = OpenMnp(a, &ca);
  EFI_MANAGED_NETWORK_CONFIG_DATA c = Config();
  m->Configure(m, &c);
  Bytes toOther(60, 0);
  memcpy(toOther.data(), kMacOther.data(), 6);
  Bytes broadcast(60, 0);
  memset(broadcast.data(), 0xFF, 6);
  segment_.Inject(toOther);
  segment_.Inject(broadcast);
  TokenState s;
  EFI_MANAGED_NETWORK_COMPLETION_TOKEN rx{};
  rx.Event = TokenEvent(&s);
  ASSERT_EQ(m->Receive(m, &rx), EFI_SUCCESS);
  EXPECT_EQ(m->Poll(m), EFI_SUCCESS);
  ASSERT_EQ(s.completions, 1);
  EXPECT_TRUE(rx.Packet.RxData->BroadcastFlag);  // the frame for another station was not taken
  EXPECT_EQ(a->DroppedFrames(), 1u);
  bs_->SignalEvent(rx.Packet.RxData->RecycleEvent);

  EFI_MANAGED_NETWORK_CONFIG_DATA p = Config(true);
  m->Configure(m, &p);
  segment_.Inject(toOther);
  ASSERT_EQ(m->Receive(m, &rx), EFI_SUCCESS);
  EXPECT_EQ(m->Poll(m), EFI_SUCCESS);
  ASSERT_EQ(s.completions, 2);
  EXPECT_TRUE(rx.Packet.RxData->PromiscuousFlag);
  bs_->SignalEvent(rx.Packet.RxData->RecycleEvent);

  // A posted receive: the error fault, then cancel and reset abort it.
  a->faults.receiveCompletesWithError = true;
  ASSERT_EQ(m->Receive(m, &rx), EFI_SUCCESS);
  EXPECT_EQ(m->Poll(m), EFI_SUCCESS);
  EXPECT_EQ(rx.Status, EFI_DEVICE_ERROR);
  EXPECT_FALSE(a->faults.receiveCompletesWithError);
  ASSERT_EQ(m->Receive(m, &rx), EFI_SUCCESS);
  EXPECT_EQ(m->Cancel(m, nullptr), EFI_SUCCESS);
  EXPECT_EQ(rx.Status, EFI_ABORTED);
  ASSERT_EQ(m->Receive(m, &rx), EFI_SUCCESS);
  EXPECT_EQ(m->Configure(m, nullptr), EFI_SUCCESS);
  EXPECT_EQ(rx.Status, EFI_ABORTED);
  EXPECT_EQ(s.completions, 5);
  EXPECT_EQ(a->PendingReceives(), 0u);
  EXPECT_EQ(a->UnrecycledBuffers(), 0u);
  bs_->CloseEvent(rx.Event);
  CloseMnp(a, ca);
}

TEST_F(MnpTest, ChildOpenByDriverCannotBeDestroyed) {
  hosted::Nic *a = fw_.AddNic(&segment_, kMacA);
  EFI_HANDLE child = nullptr;
  OpenMnp(a, &child);
  EFI_HANDLE agent = fw_.NewHandle();
  void *iface = nullptr;
  ASSERT_EQ(bs_->OpenProtocol(child, &kMnpGuid, &iface, agent, a->controller, EFI_OPEN_PROTOCOL_BY_DRIVER),
            EFI_SUCCESS);
  auto *sb = static_cast<EFI_SERVICE_BINDING_PROTOCOL *>(fw_.FindProtocol(a->controller, kMnpSbGuid));
  EXPECT_EQ(sb->DestroyChild(sb, child), EFI_ACCESS_DENIED);
  EXPECT_EQ(bs_->CloseProtocol(child, &kMnpGuid, agent, a->controller), EFI_SUCCESS);
  EXPECT_EQ(sb->DestroyChild(sb, child), EFI_SUCCESS);
  // A call through the destroyed child is refused and recorded.
  auto *m = static_cast<EFI_MANAGED_NETWORK_PROTOCOL *>(iface);
  const size_t errors = fw_.Errors().size();
  EXPECT_EQ(m->Poll(m), EFI_INVALID_PARAMETER);
  EXPECT_EQ(fw_.Errors().size(), errors + 1);
}

TEST_F(MnpTest, StallDeliversFramesThatFallDue) {
  hosted::Nic *a = fw_.AddNic(&segment_, kMacA);
  EFI_HANDLE ca = nullptr;
  EFI_MANAGED_NETWORK_PROTOCOL *m = OpenMnp(a, &ca);
  EFI_MANAGED_NETWORK_CONFIG_DATA c = Config();
  m->Configure(m, &c);
  TokenState s;
  EFI_MANAGED_NETWORK_COMPLETION_TOKEN rx{};
  rx.Event = TokenEvent(&s);
  m->Receive(m, &rx);
  Bytes frame = kArpFrame;
  memset(frame.data(), 0xFF, 6);
  segment_.Inject(frame, 2 * kTicksPerMs);  // unpadded, as on a veth link
  bs_->Stall(1000);
  EXPECT_EQ(m->Poll(m), EFI_NOT_READY);  // a lone Poll does not move the clock
  EXPECT_EQ(fw_.Now(), kTicksPerMs);
  bs_->Stall(1000);
  EXPECT_EQ(m->Poll(m), EFI_SUCCESS);
  EXPECT_EQ(s.completions, 1);
  EXPECT_EQ(rx.Packet.RxData->DataLength, 28u);
  bs_->SignalEvent(rx.Packet.RxData->RecycleEvent);
  bs_->CloseEvent(rx.Event);
  m->Configure(m, nullptr);
  CloseMnp(a, ca);
}

TEST_F(MnpTest, ControllerCarriesDevicePathAndInterfaceIdentifier) {
  hosted::Nic *a = fw_.AddNic(&segment_, kMacA);
  EFI_GUID niiGuid = EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL_GUID_31;
  auto *nii = static_cast<EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL *>(fw_.FindProtocol(a->controller, niiGuid));
  ASSERT_NE(nii, nullptr);
  EXPECT_EQ(0, memcmp(nii->StringId, "UNDI", 4));
  EXPECT_EQ(nii->Type, 2);
  EXPECT_EQ(nii->MajorVer, 3);
  EXPECT_EQ(nii->MinorVer, 1);
  EFI_GUID dpGuid = {0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
  auto *dp = static_cast<const uint8_t *>(fw_.FindProtocol(a->controller, dpGuid));
  ASSERT_NE(dp, nullptr);
  const uint8_t want[] = {
      0x02, 0x01, 0x0C, 0x00, 0xD0, 0x41, 0x03, 0x0A, 0x00, 0x00, 0x00, 0x00,  // PciRoot(0x0)
      0x01, 0x01, 0x06, 0x00, 0x00, 0x03,                                      // Pci(0x3,0x0)
      0x03, 0x0B, 0x25, 0x00, 0x52, 0x54, 0x00, 0x00, 0x00, 0x0A,              // MAC(52540000000A,
  };
  EXPECT_EQ(0, memcmp(dp, want, sizeof want));
  EXPECT_EQ(dp[22 + 32], 0x01);  // ,0x1)
  const uint8_t end[] = {0x7F, 0xFF, 0x04, 0x00};
  EXPECT_EQ(0, memcmp(dp + 22 + 33, end, 4));
}

// ---- Segment faults and capture ----

class SegmentTest : public PlatformTest {
 protected:
  // Sends n numbered frames from one port and returns the numbers the other saw, in order.
  std::vector<int> Run(const hosted::SegmentFaults &faults, int n) {
    hosted::SimSegment seg;
    CapturePort from(kMacA);
    CapturePort to(kMacB);
    seg.Attach(&from);
    seg.Attach(&to);
    fw_.UseWire(&seg);
    seg.SetFaults(faults);
    for (int i = 0; i < n; ++i) seg.Send(&from, Bytes(60, static_cast<uint8_t>(i)));
    fw_.Advance(10 * kTicksPerSecond);
    std::vector<int> seen;
    for (const hosted::Frame &f : to.frames) seen.push_back(f.bytes[0]);
    EXPECT_TRUE(from.frames.empty());  // nobody hears itself
    return seen;
  }
};

TEST_F(SegmentTest, LossAndDuplicationAreDeterministicPerSeed) {
  hosted::SegmentFaults f;
  f.lossRate = 0.3;
  f.duplicateRate = 0.2;
  f.seed = 7;
  const std::vector<int> first = Run(f, 100);
  EXPECT_EQ(Run(f, 100), first);
  f.seed = 8;
  EXPECT_NE(Run(f, 100), first);
  // Roughly the rates asked for.
  EXPECT_GT(first.size(), 60u);
  EXPECT_LT(first.size(), 100u);
}

TEST_F(SegmentTest, DropIndexesAndFullDuplication) {
  hosted::SegmentFaults f;
  f.dropIndexes = {0, 2};
  EXPECT_EQ(Run(f, 4), (std::vector<int>{1, 3}));
  hosted::SegmentFaults d;
  d.duplicateRate = 1.0;
  EXPECT_EQ(Run(d, 2), (std::vector<int>{0, 0, 1, 1}));
}

TEST_F(SegmentTest, JitterReordersButStaysDeterministic) {
  hosted::SegmentFaults f;
  f.delay = 5 * kTicksPerMs;
  f.jitter = 50 * kTicksPerMs;
  f.seed = 3;
  const std::vector<int> first = Run(f, 20);
  ASSERT_EQ(first.size(), 20u);
  std::vector<int> sorted = first;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_NE(first, sorted);
  EXPECT_EQ(Run(f, 20), first);
}

TEST_F(SegmentTest, DelayHoldsFramesUntilDue) {
  hosted::SimSegment seg;
  CapturePort from(kMacA);
  CapturePort to(kMacB);
  seg.Attach(&from);
  seg.Attach(&to);
  hosted::SegmentFaults f;
  f.delay = 3 * kTicksPerMs;
  seg.SetFaults(f);
  seg.Send(&from, Bytes(60, 1));
  EXPECT_EQ(seg.NextDue(), std::optional<uint64_t>(3 * kTicksPerMs));
  seg.Pump();
  EXPECT_TRUE(to.frames.empty());
  fw_.Advance(3 * kTicksPerMs);
  ASSERT_EQ(to.frames.size(), 1u);
  EXPECT_EQ(to.frames[0].time, 3 * kTicksPerMs);
  EXPECT_EQ(seg.History().size(), 1u);
  EXPECT_EQ(seg.History()[0].time, 0u);  // send time
}

uint32_t Le32(const std::string &s, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24;
}

TEST_F(SegmentTest, PcapHoldsEveryFrameWithVirtualTimestamps) {
  const std::string path = std::string(ORVALE_BINARY_DIR) + "/platform_test_capture.pcap";
  hosted::SimSegment seg;
  CapturePort a(kMacA);
  seg.Attach(&a);
  ASSERT_TRUE(seg.StartCapture(path));
  seg.Send(&a, kArpFrame);
  fw_.Advance(1500 * kTicksPerMs);
  seg.Inject(Bytes(60, 0xFF));
  seg.StopCapture();

  std::ifstream in(path, std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(file.size(), 24u + 16 + 42 + 16 + 60);
  EXPECT_EQ(Le32(file, 0), 0xA1B2C3D4u);
  EXPECT_EQ(Le32(file, 20), 1u);   // Ethernet
  EXPECT_EQ(Le32(file, 24), 0u);   // first frame at 0 s
  EXPECT_EQ(Le32(file, 32), 42u);  // captured length
  const size_t second = 24 + 16 + 42;
  EXPECT_EQ(Le32(file, second), 1u);           // 1.5 s: seconds
  EXPECT_EQ(Le32(file, second + 4), 500000u);  // and microseconds
  EXPECT_EQ(file.substr(40, 42), std::string(kArpFrame.begin(), kArpFrame.end()));

  if (system("command -v tshark >/dev/null 2>&1") == 0) {
    const std::string cmd = "tshark -r '" + path + "' 2>/dev/null | wc -l";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    int lines = 0;
    ASSERT_EQ(fscanf(p, "%d", &lines), 1);
    pclose(p);
    EXPECT_EQ(lines, 2);
  }
  std::remove(path.c_str());
}

// ---- Platform data ----

using TablesTest = PlatformTest;

const SMBIOS_TABLE_ENTRY_POINT *FindSmbios(EFI_SYSTEM_TABLE *st) {
  const EFI_GUID guid = SMBIOS_TABLE_GUID;
  for (UINTN i = 0; i < st->NumberOfTableEntries; ++i) {
    if (memcmp(&st->ConfigurationTable[i].VendorGuid, &guid, sizeof guid) == 0)
      return static_cast<const SMBIOS_TABLE_ENTRY_POINT *>(st->ConfigurationTable[i].VendorTable);
  }
  return nullptr;
}

TEST_F(TablesTest, SmbiosEntryPointAndTypeOneUuid) {
  const uint8_t uuid[16] = {0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE,
                            0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  fw_.SetSmbiosUuid(uuid);
  const SMBIOS_TABLE_ENTRY_POINT *eps = FindSmbios(fw_.SystemTable());
  ASSERT_NE(eps, nullptr);
  const auto *raw = reinterpret_cast<const uint8_t *>(eps);
  EXPECT_EQ(0, memcmp(eps->AnchorString, "_SM_", 4));
  EXPECT_EQ(0, memcmp(eps->IntermediateAnchorString, "_DMI_", 5));
  EXPECT_EQ(eps->EntryPointLength, 0x1F);
  EXPECT_EQ(eps->MajorVersion, 2);
  EXPECT_EQ(eps->MinorVersion, 8);
  uint8_t sum = 0;
  for (int i = 0; i < 0x1F; ++i) sum = static_cast<uint8_t>(sum + raw[i]);
  EXPECT_EQ(sum, 0);
  sum = 0;
  for (int i = 0x10; i < 0x1F; ++i) sum = static_cast<uint8_t>(sum + raw[i]);
  EXPECT_EQ(sum, 0);

  // Walk to the type-1 structure by the structures' own lengths.
  const auto *t = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(eps->TableAddress));
  size_t pos = 0;
  int types = 0;
  const uint8_t *type1 = nullptr;
  while (pos + 4 <= eps->TableLength) {
    if (t[pos] == 1) type1 = t + pos;
    ++types;
    if (t[pos] == 127) break;
    size_t s = pos + t[pos + 1];
    while (!(t[s] == 0 && t[s + 1] == 0)) ++s;
    pos = s + 2;
  }
  EXPECT_EQ(types, eps->NumberOfSmbiosStructures);
  ASSERT_NE(type1, nullptr);
  EXPECT_EQ(0, memcmp(type1 + 8, uuid, 16));
  fw_.RemoveSmbios();
  EXPECT_EQ(FindSmbios(fw_.SystemTable()), nullptr);
}

TEST_F(TablesTest, DataHubWalkAndModelRecordLayout) {
  const Bytes other(80, 0x11);
  fw_.AddDataHubRecord(other);
  fw_.SetModelName(u"Box");
  EFI_GUID hubGuid = EFI_DATA_HUB_PROTOCOL_GUID;
  EFI_DATA_HUB_PROTOCOL *hub = nullptr;
  ASSERT_EQ(bs_->LocateProtocol(&hubGuid, nullptr, reinterpret_cast<void **>(&hub)), EFI_SUCCESS);
  std::vector<const uint8_t *> seen;
  UINT64 count = 0;
  do {
    EFI_DATA_RECORD_HEADER *r = nullptr;
    ASSERT_EQ(hub->GetNextRecord(hub, &count, nullptr, &r), EFI_SUCCESS);
    seen.push_back(reinterpret_cast<const uint8_t *>(r));
  } while (count != 0);
  ASSERT_EQ(seen.size(), 2u);  // the model record kept its place before the raw one
  const uint8_t *m = seen[0];
  const uint8_t recordGuid[16] = {0xB5, 0xC6, 0x03, 0x9F, 0x14, 0x7A, 0xE8, 0x42,
                                  0xA5, 0xD9, 0x3E, 0x6C, 0x0B, 0x81, 0xF2, 0x7D};
  const uint8_t producer[16] = {0x91, 0x4E, 0x7D, 0x2A, 0x30, 0xB6, 0x5F, 0x4C,
                                0x9E, 0x27, 0x81, 0xF6, 0xD0, 0xA3, 0xC5, 0x4B};
  EXPECT_EQ(0, memcmp(m + 8, recordGuid, 16));
  EXPECT_EQ(0, memcmp(m + 24, producer, 16));
  uint32_t nameSize = 0;
  uint32_t valueSize = 0;
  memcpy(&nameSize, m + 88, 4);
  memcpy(&valueSize, m + 92, 4);
  EXPECT_EQ(valueSize, 6u);
  const char16_t box[3] = {u'B', u'o', u'x'};
  EXPECT_EQ(0, memcmp(m + 96 + nameSize, box, 6));
  EXPECT_EQ(0, memcmp(seen[1] + 72, other.data() + 72, 8));
  UINT64 past = 0xFFFF;
  EFI_DATA_RECORD_HEADER *r = nullptr;
  EXPECT_EQ(hub->GetNextRecord(hub, &past, nullptr, &r), EFI_NOT_FOUND);
  fw_.RemoveDataHub();
  EXPECT_EQ(bs_->LocateProtocol(&hubGuid, nullptr, reinterpret_cast<void **>(&hub)), EFI_NOT_FOUND);
}

TEST_F(TablesTest, BisCountsApplicationsAndSignatureInfo) {
  EFI_GUID bisGuid = EFI_BIS_PROTOCOL_GUID;
  UINTN size = 0;
  EXPECT_EQ(bs_->LocateHandle(ByProtocol, &bisGuid, nullptr, &size, nullptr), EFI_NOT_FOUND);
  hosted::BisConfig cfg;
  cfg.mode = hosted::BisMode::Good;
  cfg.signatureInfoLength = 24;
  fw_.SetBis(cfg);
  EFI_BIS_PROTOCOL *bis = nullptr;
  ASSERT_EQ(bs_->LocateProtocol(&bisGuid, nullptr, reinterpret_cast<void **>(&bis)), EFI_SUCCESS);
  EXPECT_EQ(bis->Revision, 0x10000u);
  BIS_APPLICATION_HANDLE app = nullptr;
  EFI_BIS_VERSION version{1, 0};
  ASSERT_EQ(bis->Initialize(bis, &app, &version, nullptr), EFI_SUCCESS);
  EXPECT_EQ(fw_.BisLiveApplicationHandles(), 1);
  EFI_BIS_DATA *info = nullptr;
  ASSERT_EQ(bis->GetSignatureInfo(app, &info), EFI_SUCCESS);
  EXPECT_EQ(info->Length, 24u);
  EXPECT_EQ(fw_.BisOutstandingSignatureInfo(), 1);
  EXPECT_EQ(bis->Free(app, info), EFI_SUCCESS);
  EXPECT_EQ(fw_.BisOutstandingSignatureInfo(), 0);
  EXPECT_EQ(bis->Shutdown(app), EFI_SUCCESS);
  EXPECT_EQ(fw_.BisLiveApplicationHandles(), 0);

  cfg.mode = hosted::BisMode::TwoHandles;
  fw_.SetBis(cfg);
  size = 0;
  EXPECT_EQ(bs_->LocateHandle(ByProtocol, &bisGuid, nullptr, &size, nullptr), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 2 * sizeof(EFI_HANDLE));
  cfg.mode = hosted::BisMode::WrongMajorVersion;
  fw_.SetBis(cfg);
  ASSERT_EQ(bs_->LocateProtocol(&bisGuid, nullptr, reinterpret_cast<void **>(&bis)), EFI_SUCCESS);
  ASSERT_EQ(bis->Initialize(bis, &app, &version, nullptr), EFI_SUCCESS);
  EXPECT_EQ(version.Major, 2u);
  bis->Shutdown(app);
}

TEST_F(TablesTest, VariablesAndResets) {
  EFI_GUID vendor = {0xC3956B7A, 0x2E04, 0x4A8F, {0x8D, 0x61, 0xF0, 0x7B, 0x25, 0xC9, 0xE4, 0x18}};
  uint8_t ip[4] = {10, 0, 2, 15};
  CHAR16 name[] = u"IpAddr";
  ASSERT_EQ(rt_->SetVariable(name, &vendor, EFI_VARIABLE_BOOTSERVICE_ACCESS, 4, ip), EFI_SUCCESS);
  uint32_t attributes = 0;
  const std::optional<Bytes> v = fw_.GetVariable(u"IpAddr", vendor, &attributes);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(*v, (Bytes{10, 0, 2, 15}));
  EXPECT_EQ(attributes, EFI_VARIABLE_BOOTSERVICE_ACCESS);
  uint8_t out[2] = {};
  UINTN size = sizeof out;
  EXPECT_EQ(rt_->GetVariable(name, &vendor, nullptr, &size, out), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 4u);
  rt_->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr);
  ASSERT_EQ(fw_.ResetRequests().size(), 1u);
  EXPECT_EQ(fw_.ResetRequests()[0], EfiResetShutdown);
}

}  // namespace
