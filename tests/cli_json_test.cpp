// The tool's JSON report: whatever bytes a server or a file name brings, the
// text stays one valid JSON value.
#include <gtest/gtest.h>

#include <cmath>

#include "tools/cli/json.h"

namespace {

using orvale_cli::JsonString;

TEST(CliJsonTest, StringsAreEscapedAndAlwaysValidUtf8) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain text", "\"plain text\""},
      {"a\"b\\c/d", "\"a\\\"b\\\\c/d\""},
      {"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
      {std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\\u007f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"\xff", "\"\\ufffd\""},
      {"ab\xc3", "\"ab\\ufffd\""},                           // cut short at the end
      {"\xc3(", "\"\\ufffd(\""},                              // a continuation byte missing
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},                     // overlong '/'
      {"\xe0\x80\xaf", "\"\\ufffd\\ufffd\\ufffd\""},          // overlong, three bytes
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},          // a UTF-16 surrogate
      {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // past U+10FFFF
      {"\x80", "\"\\ufffd\""},
  };
  for (const auto &c : cases) EXPECT_EQ(JsonString(c.in), c.out) << c.out;
}

TEST(CliJsonTest, WriterSeparatesMembersAndNests) {
  orvale_cli::JsonWriter w;
  w.BeginObject()
      .String("k\"ey", "v")
      .Unsigned("n", 18446744073709551615ull)
      .Integer("i", -3)
      .Number("x", 1.23456, 2)
      .Number("nan", std::nan(""))
      .Bool("t", true)
      .Null("z")
      .BeginArray("a")
      .BeginObject()
      .EndObject()
      .BeginArray()
      .EndArray()
      .String(nullptr, "s")
      .EndArray()
      .BeginObject("o")
      .Bool("f", false)
      .EndObject()
      .EndObject();
  EXPECT_EQ(w.Text(),
            "{\"k\\\"ey\":\"v\",\"n\":18446744073709551615,\"i\":-3,\"x\":1.23,\"nan\":null,\"t\":true,\"z\":null,"
            "\"a\":[{},[],\"s\"],\"o\":{\"f\":false}}");
}

}  // namespace
