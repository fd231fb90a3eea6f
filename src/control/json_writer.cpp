#include "control/json_writer.h"

#include "text/encoding.h"

std::string JsonString(std::string_view utf8) {
  // Malformed UTF-8 is turned into U+FFFD first: a JSON text must be UTF-8.
  std::string valid;
  if (!IsValidUtf8(utf8)) {
    valid = Utf16ToUtf8(Utf8ToUtf16(utf8));
    utf8 = valid;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(utf8.size() + 2);
  out += '"';
  for (const char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (b < 0x20) {
          out += "\\u00";
          out += kHex[b >> 4];
          out += kHex[b & 0xF];
        } else {
          out += c;
        }
    }
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
