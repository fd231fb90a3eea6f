#include "control/json_writer.h"

#include "text/encoding.h"

namespace {

constexpr char kHex[] = "0123456789abcdef";

void AddEscape(std::string& out, char16_t unit) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
}

// Appends the non-ASCII run `bytes` as escapes of its UTF-16 units: a
// character beyond U+FFFF gives its surrogate pair, a malformed sequence
// U+FFFD.
void AddEscaped(std::string& out, std::string_view bytes) {
  for (const char16_t unit : Utf8ToUtf16(bytes)) AddEscape(out, unit);
}

}  // namespace

std::string AsciiJson(std::string_view utf8Json) {
  std::string out;
  out.reserve(utf8Json.size());
  for (std::size_t i = 0; i < utf8Json.size();) {
    if (static_cast<unsigned char>(utf8Json[i]) < 0x80) {
      out += utf8Json[i++];
      continue;
    }
    // The whole run up to the next ASCII byte, so that a sequence is never
    // cut and a malformed one is replaced as the converter replaces it.
    std::size_t end = i;
    while (end < utf8Json.size() && static_cast<unsigned char>(utf8Json[end]) >= 0x80) ++end;
    AddEscaped(out, utf8Json.substr(i, end - i));
    i = end;
  }
  return out;
}

std::string JsonString(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < utf8.size();) {
    const char c = utf8[i];
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x80) {
      std::size_t end = i;
      while (end < utf8.size() && static_cast<unsigned char>(utf8[end]) >= 0x80) ++end;
      AddEscaped(out, utf8.substr(i, end - i));
      i = end;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (b < 0x20) {
          AddEscape(out, b);
        } else {
          out += c;
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) text_ += ',';
    first_.back() = false;
  }
}

JsonWriter& JsonWriter::Open(char bracket) {
  BeforeValue();
  text_ += bracket;
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::Close(char bracket) {
  text_ += bracket;
  if (!first_.empty()) first_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view utf8) {
  BeforeValue();
  text_ += JsonString(utf8);
  text_ += ':';
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view utf8) {
  BeforeValue();
  text_ += JsonString(utf8);
  return *this;
}

JsonWriter& JsonWriter::Gbk(std::string_view gbk) { return String(GbkToUtf8(gbk)); }

JsonWriter& JsonWriter::Number(std::int64_t value) {
  BeforeValue();
  text_ += std::to_string(static_cast<long long>(value));
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  text_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  text_ += "null";
  return *this;
}
