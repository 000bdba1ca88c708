// The loader's boot scripts (efi/loader/boot_script.cpp): what a good script
// yields, how hostile ones are refused, and the kernel's command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "efi/loader/boot_script.h"

namespace {

struct Result {
  EFI_STATUS status = EFI_SUCCESS;
  BootScript script;
  ScriptError error;
};

// The text in a heap block of exactly its length, so that ASan sees any read past it.
Result Parse(const std::string &text) {
  Result r;
  std::vector<UINT8> bytes(text.begin(), text.end());
  r.status = ParseBootScript(bytes.empty() ? nullptr : bytes.data(), bytes.size(), &r.script, &r.error);
  return r;
}

TEST(BootScript, EveryKeywordWithCommentsBlanksCrLfAndNoFinalNewline) {
  const Result r = Parse(
      "#!orvale  \r\n"
      "# a kernel of our own\r\n"
      "\r\n"
      "  kernel   vmlinuz-6.1\r\n"
      "initrd\tinitrd.cpio\n"
      "server 198.18.0.7\n"
      "block-size 8192\n"
      "cmdline console=ttyS0  quiet panic=-1");
  ASSERT_EQ(r.status, EFI_SUCCESS) << r.error.Line << ": " << r.error.Reason;
  EXPECT_STREQ(r.script.Kernel, "vmlinuz-6.1");
  EXPECT_TRUE(r.script.HaveInitrd);
  EXPECT_STREQ(r.script.Initrd, "initrd.cpio");
  EXPECT_STREQ(r.script.Cmdline, "console=ttyS0  quiet panic=-1");
  EXPECT_EQ(r.script.CmdlineLength, 29u);
  EXPECT_TRUE(r.script.HaveServer);
  EXPECT_EQ(r.script.Server[0], 198);
  EXPECT_EQ(r.script.Server[3], 7);
  EXPECT_EQ(r.script.BlockSize, 8192u);

  const Result bare = Parse("#!orvale\nkernel k\n");
  ASSERT_EQ(bare.status, EFI_SUCCESS);
  EXPECT_FALSE(bare.script.HaveInitrd);
  EXPECT_FALSE(bare.script.HaveServer);
  EXPECT_EQ(bare.script.CmdlineLength, 0u);
  EXPECT_EQ(bare.script.BlockSize, 0u);
}

TEST(BootScript, LimitsHoldExactlyAtTheirBounds) {
  const std::string longest(2021, 'x');
  const Result cmdline = Parse("#!orvale\nkernel k\ncmdline " + longest + "\n");
  ASSERT_EQ(cmdline.status, EFI_SUCCESS);
  EXPECT_EQ(cmdline.script.CmdlineLength, 2021u);
  const Result name = Parse("#!orvale\nkernel " + std::string(255, 'k'));
  ASSERT_EQ(name.status, EFI_SUCCESS);
  EXPECT_EQ(std::string(name.script.Kernel).size(), 255u);
  std::string padded = "#!orvale\nkernel k\n";
  while (padded.size() + 1000 < 8192) padded += std::string(999, '#') + "\n";
  padded += std::string(8192 - padded.size() - 1, '#') + "\n";
  ASSERT_EQ(padded.size(), 8192u);
  EXPECT_EQ(Parse(padded).status, EFI_SUCCESS);
}

TEST(BootScript, HostileScriptsAreRefusedWithTheirLine) {
  const struct {
    const char *what;
    std::string text;
    EFI_STATUS status;
    UINTN line;
  } cases[] = {
      {"longer than its buffer", "#!orvale\nkernel k\n" + std::string(8200, '#'), EFI_BAD_BUFFER_SIZE, 0},
      {"empty", "", EFI_INVALID_PARAMETER, 1},
      {"only the first line, no newline", "#!orvale", EFI_INVALID_PARAMETER, 0},
      {"another first line", "#!orvalex\nkernel k\n", EFI_INVALID_PARAMETER, 1},
      {"no first line", "kernel vmlinuz\n", EFI_INVALID_PARAMETER, 1},
      {"more on the first line", "#!orvale kernel k\n", EFI_INVALID_PARAMETER, 1},
      {"NUL inside a name", std::string("#!orvale\nkernel vm\0linuz\n", 25), EFI_INVALID_PARAMETER, 2},
      {"NUL as the last byte", std::string("#!orvale\nkernel k\ncmdline a\0", 28), EFI_INVALID_PARAMETER, 3},
      {"NUL in a comment", std::string("#!orvale\n#\0\nkernel k\n", 21), EFI_INVALID_PARAMETER, 2},
      {"byte above ASCII", "#!orvale\nkernel k\ncmdline caf\xC3\xA9\n", EFI_INVALID_PARAMETER, 3},
      {"escape byte", "#!orvale\nkernel \x1b[2J\n", EFI_INVALID_PARAMETER, 2},
      {"cmdline one too long", "#!orvale\nkernel k\ncmdline " + std::string(2022, 'x'), EFI_BAD_BUFFER_SIZE, 3},
      {"line longer than a line", "#!orvale\n#" + std::string(2100, 'x') + "\nkernel k\n", EFI_BAD_BUFFER_SIZE, 2},
      {"kernel name too long", "#!orvale\nkernel " + std::string(256, 'k') + "\n", EFI_INVALID_PARAMETER, 2},
      {"kernel without a name", "#!orvale\nkernel\n", EFI_INVALID_PARAMETER, 2},
      {"kernel name with a space", "#!orvale\nkernel vm linuz\n", EFI_INVALID_PARAMETER, 2},
      {"two kernels", "#!orvale\nkernel a\nkernel b\n", EFI_INVALID_PARAMETER, 3},
      {"two initrds", "#!orvale\nkernel a\ninitrd b\ninitrd c\n", EFI_INVALID_PARAMETER, 4},
      {"two cmdlines", "#!orvale\nkernel a\ncmdline b\ncmdline c\n", EFI_INVALID_PARAMETER, 4},
      {"no kernel", "#!orvale\ninitrd i\ncmdline quiet\n", EFI_INVALID_PARAMETER, 0},
      {"misspelt keyword", "#!orvale\nkernal vmlinuz\n", EFI_INVALID_PARAMETER, 2},
      {"keyword glued to its value", "#!orvale\nkernel=vmlinuz\n", EFI_INVALID_PARAMETER, 2},
      {"bad server", "#!orvale\nkernel k\nserver 198.18.0.256\n", EFI_INVALID_PARAMETER, 3},
      {"block size too small", "#!orvale\nkernel k\nblock-size 511\n", EFI_INVALID_PARAMETER, 3},
      {"block size too large", "#!orvale\nkernel k\nblock-size 65465\n", EFI_INVALID_PARAMETER, 3},
  };
  for (const auto &c : cases) {
    const Result r = Parse(c.text);
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.error.Line, c.line) << c.what;
    EXPECT_NE(r.error.Reason, nullptr) << c.what;
  }
}

TEST(BootScript, RecognisedOnlyByItsFirstLine) {
  const struct {
    std::string text;
    bool script;
  } cases[] = {
      {"#!orvale\n", true},  {"#!orvale\r\n", true}, {"#!orvale", true},   {"#!orvale kernel k", true},
      {"#!orval", false},    {"#!orvalE\n", false},  {"MZ\x90\0", false}, {"#!orvale2\n", false},
  };
  for (const auto &c : cases) {
    std::vector<UINT8> bytes(c.text.begin(), c.text.end());
    EXPECT_EQ(IsBootScript(bytes.data(), bytes.size()) != FALSE, c.script) << c.text;
  }
  EXPECT_FALSE(IsBootScript(nullptr, 0));
}

TEST(BootScript, CommandLineCarriesTheLeasedAddress) {
  const struct {
    std::string cmdline;
    UINT8 address[4];
    std::u16string expected;
  } cases[] = {
      {"console=ttyS0 quiet", {198, 18, 0, 100}, u"console=ttyS0 quiet orvale.ip=198.18.0.100"},
      {"", {10, 0, 0, 5}, u"orvale.ip=10.0.0.5"},
      {"a", {0, 9, 10, 255}, u"a orvale.ip=0.9.10.255"},
  };
  for (const auto &c : cases) {
    const Result r = Parse("#!orvale\nkernel k\n" + (c.cmdline.empty() ? "" : "cmdline " + c.cmdline + "\n"));
    ASSERT_EQ(r.status, EFI_SUCCESS);
    std::vector<CHAR16> out(kKernelCmdlineBytes, 0xFFFF);
    const UINTN units = KernelCommandLine(r.script, c.address, out.data(), out.size());
    ASSERT_EQ(units, c.expected.size() + 1) << c.cmdline;
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(out.data())), c.expected);
    EXPECT_EQ(out[units], 0xFFFF) << "wrote past its command line";
  }

  // The longest script command line and the longest address fill the kernel's 2048 bytes exactly.
  const Result longest = Parse("#!orvale\nkernel k\ncmdline " + std::string(2021, 'x') + "\n");
  ASSERT_EQ(longest.status, EFI_SUCCESS);
  const UINT8 broadest[4] = {255, 255, 255, 255};
  std::vector<CHAR16> out(kKernelCmdlineBytes);
  EXPECT_EQ(KernelCommandLine(longest.script, broadest, out.data(), out.size()), 2048u);
  EXPECT_EQ(out[2047], 0);
  EXPECT_EQ(out[2046], '5');
  EXPECT_EQ(KernelCommandLine(longest.script, broadest, out.data(), 2047), 0u);
}

}  // namespace
