// The tool's machine-readable report: a small JSON writer, so monitoring
// scripts read one object per run without the tool taking a library.
#ifndef ORVALE_TOOLS_CLI_JSON_H
#define ORVALE_TOOLS_CLI_JSON_H

#include <cstdint>
#include <string>
#include <vector>

namespace orvale_cli {

// text as a JSON string, quotes included. Valid UTF-8 passes through; control
// characters, quote and backslash are escaped; a byte that is not part of a
// valid UTF-8 sequence becomes U+FFFD, so the output is always valid JSON
// whatever a server put in its error text.
std::string JsonString(const std::string &text);

// Writes one value: objects and arrays nest, members take a key, array
// elements none (pass nullptr).
class JsonWriter {
 public:
  JsonWriter &BeginObject(const char *key = nullptr);
  JsonWriter &EndObject();
  JsonWriter &BeginArray(const char *key = nullptr);
  JsonWriter &EndArray();
  JsonWriter &String(const char *key, const std::string &value);
  JsonWriter &Unsigned(const char *key, uint64_t value);
  JsonWriter &Integer(const char *key, int64_t value);
  // Fixed decimals; a value that is not finite is written as null.
  JsonWriter &Number(const char *key, double value, int decimals = 3);
  JsonWriter &Bool(const char *key, bool value);
  JsonWriter &Null(const char *key);
  const std::string &Text() const { return out_; }

 private:
  void Member(const char *key);
  std::string out_;
  std::vector<bool> first_;  // per open container: nothing written in it yet
};

}  // namespace orvale_cli

#endif
