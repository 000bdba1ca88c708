#include "tools/cli/json.h"

#include <math.h>
#include <stdio.h>

namespace orvale_cli {

namespace {

// Length of the valid UTF-8 sequence at s[at], or 0.
size_t Utf8Length(const std::string &s, size_t at) {
  const auto c = static_cast<unsigned char>(s[at]);
  size_t n;
  uint32_t min;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, min = 0x80, cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, min = 0x800, cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, min = 0x10000, cp = c & 0x07;
  } else {
    return 0;
  }
  if (at + n > s.size()) return 0;
  for (size_t i = 1; i < n; ++i) {
    const auto d = static_cast<unsigned char>(s[at + i]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (d & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
  return n;
}

}  // namespace

std::string JsonString(const std::string &text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c >= 0x80) {
      const size_t n = Utf8Length(text, at);
      if (n == 0) {
        out += "\\ufffd";
        ++at;
      } else {
        out.append(text, at, n);
        at += n;
      }
      continue;
    }
    ++at;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char u[8];
          snprintf(u, sizeof u, "\\u%04x", c);
          out += u;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void JsonWriter::Member(const char *key) {
  if (!first_.empty()) {
    if (!first_.back()) out_ += ",";
    first_.back() = false;
  }
  if (key != nullptr) out_ += JsonString(key) + ":";
}

JsonWriter &JsonWriter::BeginObject(const char *key) {
  Member(key);
  out_ += "{";
  first_.push_back(true);
  return *this;
}

JsonWriter &JsonWriter::EndObject() {
  out_ += "}";
  if (!first_.empty()) first_.pop_back();
  return *this;
}

JsonWriter &JsonWriter::BeginArray(const char *key) {
  Member(key);
  out_ += "[";
  first_.push_back(true);
  return *this;
}

JsonWriter &JsonWriter::EndArray() {
  out_ += "]";
  if (!first_.empty()) first_.pop_back();
  return *this;
}

JsonWriter &JsonWriter::String(const char *key, const std::string &value) {
  Member(key);
  out_ += JsonString(value);
  return *this;
}

JsonWriter &JsonWriter::Unsigned(const char *key, uint64_t value) {
  Member(key);
  out_ += std::to_string(value);
  return *this;
}

JsonWriter &JsonWriter::Integer(const char *key, int64_t value) {
  Member(key);
  out_ += std::to_string(value);
  return *this;
}

JsonWriter &JsonWriter::Number(const char *key, double value, int decimals) {
  Member(key);
  if (!isfinite(value)) {
    out_ += "null";
    return *this;
  }
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  out_ += text;
  return *this;
}

JsonWriter &JsonWriter::Bool(const char *key, bool value) {
  Member(key);
  out_ += value ? "true" : "false";
  return *this;
}

JsonWriter &JsonWriter::Null(const char *key) {
  Member(key);
  out_ += "null";
  return *this;
}

}  // namespace orvale_cli
