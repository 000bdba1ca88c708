// The TFTP client against real servers in the server namespace: tftpd-hpa
// (options honoured), atftpd with options switched off, and atftpd's
// multicast mode. Every read is compared byte for byte with the file served,
// and the capture of every test is judged like all others.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/realnet/realnet_fixture.h"
#include "tools/cli/sha256.h"

namespace realnet {
namespace {

constexpr uint16_t kTftpPort = 69;

hosted::Bytes FileBytes(size_t n, unsigned seed) {
  hosted::Bytes b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    b[i] = static_cast<uint8_t>(x >> 16);
  }
  return b;
}

bool WriteFile(const std::string &path, const hosted::Bytes &data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
  return f.good();
}

hosted::Bytes ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return hosted::Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Where the atftpd binary was unpacked (tools/install-deps.sh): it cannot be
// installed beside tftpd-hpa.
std::string AtftpdPath() {
  const char *dir = getenv("ORVALE_ATFTPD_DIR");
  return std::string(dir != nullptr ? dir : "/opt/orvale-atftpd") + "/usr/sbin/atftpd";
}

// The judge's verdict, except that tshark marks every TFTP ERROR packet as a
// warning and the driver sends them on purpose (the abort, ERROR 5 to a
// stranger). Nothing else may be flagged.
void ExpectCleanAllowingTftpErrors(const std::string &path, const hosted::Mac &mac) {
  const Verdict v = Judge(path, mac);
  EXPECT_TRUE(v.usable) << v.Summary();
  const std::string allowed = "from the driver: [TFTP ERROR packet]";
  for (const std::string &problem : v.problems) {
    EXPECT_TRUE(problem.size() >= allowed.size() &&
                problem.compare(problem.size() - allowed.size(), allowed.size(), allowed) == 0)
        << "judge of " << path << ": " << problem;
  }
}

// Frames of a capture that match a display filter.
size_t CountFrames(const std::string &path, const std::string &filter) {
  const Outcome o = RunCommand({"tshark", "-r", path, "-Y", filter, "-T", "fields", "-e", "frame.number"});
  size_t lines = 0;
  for (char c : o.out) lines += c == '\n';
  return lines;
}

class TftpReal : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (HasFatalFailure()) return;
    root_ = "/tmp/orvale-rn-tftp-" + std::to_string(getpid());
    RunCommand({"rm", "-rf", root_});
    ASSERT_EQ(mkdir(root_.c_str(), 0777), 0);
    chmod(root_.c_str(), 0777);
    SetStation();
    server_ = env_.serverIp;
    judgeInTearDown_ = false;  // judged below, with the driver's ERROR packets allowed
  }
  void TearDown() override {
    StopServer();
    const bool judge = capturing_;
    const std::string path = StopCapture();
    if (judge) {
      ExpectCleanAllowingTftpErrors(path, mac_);
    }
    DriverTest::TearDown();
    RunCommand({"rm", "-rf", root_});
  }

  void Serve(const std::string &name, const hosted::Bytes &data) {
    const std::string path = root_ + "/" + name;
    ASSERT_TRUE(WriteFile(path, data));
    chmod(path.c_str(), 0666);
  }

  // argv runs in the server namespace until the test ends.
  void StartServer(const std::vector<std::string> &argv, uint16_t port = kTftpPort) {
    std::vector<std::string> all = {"ip", "netns", "exec", env_.serverNs};
    all.insert(all.end(), argv.begin(), argv.end());
    serverPid_ = Spawn(all, "", env_.captureDir + "/tftp-server.log");
    ASSERT_GT(serverPid_, 0);
    const double deadline = MonotonicNow() + 5;
    while (MonotonicNow() < deadline) {
      Outcome ss = RunCommandIn(env_.serverNs, {"ss", "-Hlnu", "sport = :" + std::to_string(port)});
      if (!ss.out.empty()) return;
      SleepSeconds(0.05);
    }
    FAIL() << "the TFTP server did not bind port " << port;
  }
  void StartTftpdHpa(const std::vector<std::string> &extra = {}) {
    std::vector<std::string> argv = {"in.tftpd", "--foreground", "--address", Text(env_.serverIp) + ":69",
                                     "--user",   "nobody",       "--secure"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(root_);
    StartServer(argv);
  }
  void StartAtftpd(const std::vector<std::string> &extra = {}) {
    if (access(AtftpdPath().c_str(), X_OK) != 0) GTEST_SKIP() << "atftpd not unpacked at " << AtftpdPath();
    std::vector<std::string> argv = {AtftpdPath(), "--daemon", "--no-fork", "--user", "nobody.nogroup",
                                     "--bind-address", Text(env_.serverIp), "--logfile", "/dev/stderr"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(root_);
    StartServer(argv);
  }
  // Ends the server and whatever it forked that still holds its port.
  void StopServer(uint16_t port = kTftpPort) {
    if (serverPid_ <= 0) return;
    kill(serverPid_, SIGTERM);
    if (WaitExit(serverPid_, 3) < 0) kill(serverPid_, SIGKILL);
    serverPid_ = -1;
    const double deadline = MonotonicNow() + 3;
    while (MonotonicNow() < deadline) {
      Outcome ss = RunCommandIn(env_.serverNs, {"ss", "-Hlnup", "sport = :" + std::to_string(port)});
      const size_t at = ss.out.find("pid=");
      if (at == std::string::npos) return;
      kill(static_cast<pid_t>(atoi(ss.out.c_str() + at + 4)), SIGKILL);
      SleepSeconds(0.05);
    }
  }

  struct Result {
    EFI_STATUS status;
    UINT64 size;
    UINTN blockSize;
    hosted::Bytes data;
  };
  Result Call(EFI_PXE_BASE_CODE_TFTP_OPCODE op, const std::string &file, UINT64 room, UINTN blockSize,
              hosted::Bytes *write = nullptr, EFI_PXE_BASE_CODE_MTFTP_INFO *info = nullptr) {
    Result r{EFI_SUCCESS, write != nullptr ? write->size() : room, blockSize, {}};
    hosted::Bytes buffer = write != nullptr ? *write : hosted::Bytes(room + 1);
    std::string name = file;
    r.status = p_->Mtftp(p_, op, buffer.data(), FALSE, &r.size, &r.blockSize, &server_,
                         reinterpret_cast<UINT8 *>(name.data()), info, FALSE);
    if (r.status == EFI_SUCCESS && write == nullptr) {
      r.data.assign(buffer.begin(), buffer.begin() + std::min<UINT64>(r.size, room));
    }
    if (r.status == EFI_TFTP_ERROR) {
      printf("server error %u: %.127s\n", p_->State->TftpError.ErrorCode, p_->State->TftpError.ErrorString);
    }
    return r;
  }

  std::string root_;
  pid_t serverPid_ = -1;
  EFI_IP_ADDRESS server_{};
};

TEST_F(TftpReal, TftpdHpaReadAtEveryBlockSize) {
  const hosted::Bytes file = FileBytes(300000, 1);
  Serve("image.bin", file);
  StartTftpdHpa();
  for (UINTN block : {512u, 1468u, 8192u}) {
    SCOPED_TRACE(block);
    const Result r = Call(EFI_PXE_BASE_CODE_TFTP_READ_FILE, "image.bin", 1 << 20, block);
    ASSERT_STATUS(r.status, EFI_SUCCESS);
    EXPECT_EQ(r.blockSize, block);
    EXPECT_TRUE(r.data == file);
  }
}

TEST_F(TftpReal, TftpdHpaSizeExactMultipleAndMissingFile) {
  Serve("exact.bin", FileBytes(4 * 1024, 2));
  StartTftpdHpa();
  Result size = Call(EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, "exact.bin", 0, 1024);
  ASSERT_STATUS(size.status, EFI_SUCCESS);
  EXPECT_EQ(size.size, 4096u);
  const Result r = Call(EFI_PXE_BASE_CODE_TFTP_READ_FILE, "exact.bin", 8192, 1024);
  ASSERT_STATUS(r.status, EFI_SUCCESS);
  EXPECT_TRUE(r.data == FileBytes(4 * 1024, 2));
  const Result missing = Call(EFI_PXE_BASE_CODE_TFTP_READ_FILE, "absent.bin", 8192, 1024);
  EXPECT_STATUS(missing.status, EFI_TFTP_ERROR);
  EXPECT_TRUE(p_->State->TftpErrorReceived);
  EXPECT_EQ(p_->State->TftpError.ErrorCode, 1);
  // Too small a buffer: the size comes from a second request.
  const Result small = Call(EFI_PXE_BASE_CODE_TFTP_READ_FILE, "exact.bin", 3000, 1024);
  EXPECT_STATUS(small.status, EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(small.size, 4096u);
}

TEST_F(TftpReal, TftpdHpaWrite) {
  StartTftpdHpa({"--create", "--umask", "000"});
  hosted::Bytes data = FileBytes(100000, 3);
  const Result r = Call(EFI_PXE_BASE_CODE_TFTP_WRITE_FILE, "upload.bin", 0, 1468, &data);
  ASSERT_STATUS(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.blockSize, 1468u);
  StopServer();
  EXPECT_TRUE(ReadFile(root_ + "/upload.bin") == data);
}

TEST_F(TftpReal, TftpdHpaNeverAnswersADirectoryRequest) {
  StartTftpdHpa();
  const Result r = Call(EFI_PXE_BASE_CODE_TFTP_READ_DIRECTORY, "", 8192, 512);
  EXPECT_STATUS(r.status, EFI_TIMEOUT);
}

// The tool's TFTP commands against tftpd-hpa (the test's own driver
// instance stays idle meanwhile).
TEST_F(TftpReal, ToolCommands) {
  const hosted::Bytes file = FileBytes(123457, 6);
  Serve("tool.bin", file);
  StartTftpdHpa({"--create", "--umask", "000"});
  const std::string server = Text(env_.serverIp), out = root_ + "/tool.out";
  const Outcome o = RunCommand({env_.cli, "--if", env_.iface, "set-ip", Text(env_.stationIp) + "/24", "tftp-size",
                                server, "tool.bin", "tftp-get", server, "tool.bin", "--blksize", "1468", "--tsize",
                                "--sha256", "--out", out, "tftp-put", server, "put.bin", "--size", "3000"});
  EXPECT_EQ(o.exitCode, 0) << o.out;
  EXPECT_NE(o.out.find("size: 123457 (blksize"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("tsize: 123457"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("blksize: 1468"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("sha256: " + orvale_cli::Sha256Hex(file.data(), file.size())), std::string::npos) << o.out;
  EXPECT_TRUE(ReadFile(out) == file);
  StopServer();
  EXPECT_TRUE(ReadFile(root_ + "/put.bin") == orvale_cli::Pattern(3000));
  const Outcome missing = RunCommand({env_.cli, "--if", env_.iface, "set-ip", Text(env_.stationIp) + "/24",
                                      "tftp-get", server, "absent.bin"});
  EXPECT_EQ(missing.exitCode, 22) << missing.out;  // no server any more: the port unreachable ends it
}

// An empty file is DATA 1 of 0 bytes: from a server that refuses every
// option it is the first reply, from one that honours them it follows the
// OACK; the size is 0 either way, and tsize 0 needs no more than that.
TEST_F(TftpReal, EmptyFile) {
  Serve("empty.bin", {});
  const std::string server = Text(env_.serverIp), station = Text(env_.stationIp) + "/24";
  const uint8_t none = 0;
  const std::string empty = orvale_cli::Sha256Hex(&none, 0);
  for (bool refusing : {true, false}) {
    SCOPED_TRACE(refusing ? "tftpd-hpa --refuse blksize --refuse tsize" : "tftpd-hpa");
    if (refusing) {
      StartTftpdHpa({"--refuse", "blksize", "--refuse", "tsize"});
    } else {
      StartTftpdHpa();
    }
    const Result read = Call(EFI_PXE_BASE_CODE_TFTP_READ_FILE, "empty.bin", 4096, 1468);
    EXPECT_STATUS(read.status, EFI_SUCCESS);
    EXPECT_EQ(read.size, 0u);
    const Result size = Call(EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, "empty.bin", 0, 1468);
    EXPECT_STATUS(size.status, EFI_SUCCESS);
    EXPECT_EQ(size.size, 0u);
    const Outcome o = RunCommand({env_.cli, "--if", env_.iface, "set-ip", station, "tftp-size", server, "empty.bin",
                                  "tftp-get", server, "empty.bin", "--tsize", "--sha256"});
    EXPECT_EQ(o.exitCode, 0) << o.out;
    EXPECT_NE(o.out.find("size: 0 (blksize"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("tsize: 0"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("sha256: " + empty), std::string::npos) << o.out;
    StopServer();
  }
}

// A station in the server namespace floods the tool's client port with DATA
// from a port of no transfer for a few seconds, as fast as a packet socket
// can send; the tool's read still gets the file from tftpd-hpa, well within
// the read's worst case.
TEST_F(TftpReal, ToolReadUnderAFloodOfStrayData) {
  const hosted::Bytes file = FileBytes(300000, 8);
  Serve("flood.bin", file);
  StartTftpdHpa();
  // Hundreds of thousands of frames: not captured, so not judged either.
  StopCapture();
  const std::string log = env_.captureDir + "/tftp-flood.out";
  const pid_t flood = Spawn({"ip", "netns", "exec", env_.serverNs, env_.python, env_.scripts + "/tftp_flood.py",
                             env_.serverIf, Text(env_.serverIp), "3"},
                            log, env_.captureDir + "/tftp-flood.err");
  ASSERT_GT(flood, 0);
  for (double deadline = MonotonicNow() + 5; MonotonicNow() < deadline && ReadFile(log).empty();) SleepSeconds(0.05);
  const double start = MonotonicNow();
  const Outcome o = RunCommand({env_.cli, "--if", env_.iface, "set-ip", Text(env_.stationIp) + "/24", "tftp-get",
                                Text(env_.serverIp), "flood.bin", "--blksize", "1468", "--sha256"});
  const double seconds = MonotonicNow() - start;
  EXPECT_EQ(WaitExit(flood, 10), 0);
  EXPECT_EQ(o.exitCode, 0) << o.out;
  EXPECT_NE(o.out.find("sha256: " + orvale_cli::Sha256Hex(file.data(), file.size())), std::string::npos) << o.out;
  // Worst case: two opens of three 5.1 s windows, then five 4.1 s windows
  // for each of the 205 blocks; a few seconds of flood cost far less.
  EXPECT_LT(seconds, 2 * 3 * 5.1 + 205 * 5 * 4.1);
  EXPECT_LT(seconds, 20.0);
  const hosted::Bytes sent = ReadFile(log);
  const std::string count(sent.begin(), sent.end());
  printf("%sflood: %s", o.out.c_str(), count.c_str());
  EXPECT_GT(atol(count.c_str() + count.find('\n') + 1), 10000) << count;
}

TEST_F(TftpReal, AtftpdWithoutOptions) {
  const hosted::Bytes file = FileBytes(70000, 4);
  Serve("plain.bin", file);
  StartAtftpd({"--no-blksize", "--no-tsize"});
  if (IsSkipped()) return;
  const Result r = Call(EFI_PXE_BASE_CODE_TFTP_READ_FILE, "plain.bin", 1 << 20, 8192);
  ASSERT_STATUS(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.blockSize, 512u);
  EXPECT_TRUE(r.data == file);
  const Result size = Call(EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, "plain.bin", 0, 8192);
  ASSERT_STATUS(size.status, EFI_SUCCESS);
  EXPECT_EQ(size.size, file.size());  // counted, first block included
  const Result missing = Call(EFI_PXE_BASE_CODE_TFTP_READ_FILE, "absent.bin", 8192, 8192);
  EXPECT_STATUS(missing.status, EFI_TFTP_ERROR);
}

TEST_F(TftpReal, AtftpdReadWithOptions) {
  const hosted::Bytes file = FileBytes(200000, 5);
  Serve("opt.bin", file);
  StartAtftpd();
  if (IsSkipped()) return;
  const Result r = Call(EFI_PXE_BASE_CODE_TFTP_READ_FILE, "opt.bin", 1 << 20, 1468);
  ASSERT_STATUS(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.blockSize, 1468u);
  EXPECT_TRUE(r.data == file);
  const Result missing = Call(EFI_PXE_BASE_CODE_TFTP_READ_FILE, "absent.bin", 8192, 8192);
  EXPECT_STATUS(missing.status, EFI_TFTP_ERROR);
}

}  // namespace
}  // namespace realnet

namespace realnet {
namespace {

// atftpd's multicast mode (--mtftp): two driver instances, each the tool on
// its own interface of the bridge, read one file from one multicast transfer.
class MtftpReal : public CapturedTest {
 protected:
  void SetUp() override {
    CapturedTest::SetUp();
    if (HasFatalFailure()) return;
    if (access(AtftpdPath().c_str(), X_OK) != 0) GTEST_SKIP() << "atftpd not unpacked at " << AtftpdPath();
    judgeInTearDown_ = false;
    root_ = "/tmp/orvale-rn-mtftp-" + std::to_string(getpid());
    RunCommand({"rm", "-rf", root_});
    ASSERT_EQ(mkdir(root_.c_str(), 0777), 0);
    chmod(root_.c_str(), 0777);
    // A second client interface on the bridge, set up as the harness sets up the first.
    ASSERT_EQ(RunCommand({"ip", "link", "add", kSecondIf, "type", "veth", "peer", "name", kSecondBridgePort, "netns",
                          env_.bridgeNs})
                  .exitCode,
              0);
    RunCommand({"sysctl", "-qw", std::string("net.ipv6.conf.") + kSecondIf + ".disable_ipv6=1"});
    RunCommand({"ethtool", "-K", kSecondIf, "tx", "off"});
    ASSERT_EQ(RunCommand({"ip", "link", "set", kSecondIf, "up"}).exitCode, 0);
    RunCommandIn(env_.bridgeNs, {"sysctl", "-qw", std::string("net.ipv6.conf.") + kSecondBridgePort + ".disable_ipv6=1"});
    RunCommandIn(env_.bridgeNs, {"ethtool", "-K", kSecondBridgePort, "tx", "off"});
    ASSERT_EQ(RunCommandIn(env_.bridgeNs, {"ip", "link", "set", kSecondBridgePort, "master", env_.bridge, "up"}).exitCode,
              0);
    RunCommandIn(env_.serverNs, {"ip", "route", "replace", "224.0.0.0/4", "dev", env_.serverIf});
  }
  void TearDown() override {
    if (serverPid_ > 0) {
      kill(serverPid_, SIGTERM);
      if (WaitExit(serverPid_, 3) < 0) kill(serverPid_, SIGKILL);
    }
    const bool judge = capturing_;
    const std::string path = StopCapture();
    if (judge) {
      ExpectCleanAllowingTftpErrors(path, mac_);
    }
    RunCommand({"ip", "link", "del", kSecondIf});
    RunCommand({"rm", "-rf", root_});
    CapturedTest::TearDown();
  }

  static constexpr const char *kSecondIf = "orv-c1";
  static constexpr const char *kSecondBridgePort = "orv-bc1";
  std::string root_;
  pid_t serverPid_ = -1;
};

TEST_F(MtftpReal, TwoInstancesShareOneAtftpdMulticastTransfer) {
  const hosted::Bytes file = FileBytes(512 * 200 + 77, 9);
  ASSERT_TRUE(WriteFile(root_ + "/mfile.bin", file));
  chmod((root_ + "/mfile.bin").c_str(), 0666);
  const std::string list = root_ + "/mtftp.conf";
  {
    std::ofstream conf(list);
    conf << "mfile.bin 239.255.1.1 1758\n";
  }
  serverPid_ = Spawn({"ip", "netns", "exec", env_.serverNs, AtftpdPath(), "--daemon", "--no-fork", "--user",
                      "nobody.nogroup", "--bind-address", Text(env_.serverIp), "--logfile", "/dev/stderr", "--mtftp",
                      list, "--mtftp-port", "1759", root_},
                     "", env_.captureDir + "/atftpd-mtftp.log");
  ASSERT_GT(serverPid_, 0);
  SleepSeconds(0.5);

  auto tool = [&](const std::string &iface, const std::string &station, const std::string &listen,
                  const std::string &out) {
    return Spawn({env_.cli, "--if", iface, "set-ip", station + "/24", "mtftp-get", Text(env_.serverIp), "mfile.bin",
                  "--group", "239.255.1.1", "--cport", "1758", "--sport", "1759", "--listen", listen, "--transmit",
                  "2", "--sha256"},
                 out, out + ".err");
  };
  const std::string out1 = env_.captureDir + "/mtftp-c0.out", out2 = env_.captureDir + "/mtftp-c1.out";
  // The first opens the transfer after a short listen; the second listens longer and hears it.
  pid_t second = tool(kSecondIf, "198.18.0.11", "4", out2);
  SleepSeconds(0.3);
  pid_t first = tool(env_.iface, Text(env_.stationIp), "1", out1);
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  EXPECT_EQ(WaitExit(first, 30), 0);
  EXPECT_EQ(WaitExit(second, 30), 0);
  const std::string want = orvale_cli::Sha256Hex(file.data(), file.size());
  const hosted::Bytes o1 = ReadFile(out1), o2 = ReadFile(out2);
  const std::string s1(o1.begin(), o1.end()), s2(o2.begin(), o2.end());
  EXPECT_NE(s1.find("sha256: " + want), std::string::npos) << s1;
  EXPECT_NE(s2.find("sha256: " + want), std::string::npos) << s2;
  // The first instance opened the transfer and acknowledged every block; no
  // unicast fallback (a read request to port 69) was needed.
  const std::string path = StopCapture();
  ExpectCleanAllowingTftpErrors(path, mac_);
  EXPECT_EQ(CountFrames(path, "udp.dstport == 69"), 0u);
  EXPECT_EQ(CountFrames(path, "ip.dst == 239.255.1.1 && udp.dstport == 1758"), 201u);  // 201 blocks to the group
  EXPECT_EQ(CountFrames(path, "ip.src == " + Text(env_.stationIp) + " && udp.srcport == 1758 && udp.payload[0:2] == 00:04"), 201u);
}

}  // namespace
}  // namespace realnet
