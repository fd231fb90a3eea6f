#include "control/json_reader.h"

#include <cmath>
#include <cstdlib>

#include "text/encoding.h"

class JsonParser {
 public:
  explicit JsonParser(std::string_view text) : text_(text) {}

  bool Document(JsonValue& value) {
    Blanks();
    if (!Value(value, 0)) return false;
    Blanks();
    return at_ == text_.size();
  }

 private:
  void Blanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }

  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  bool Value(JsonValue& value, std::size_t depth) {
    if (at_ >= text_.size()) return false;
    switch (text_[at_]) {
      case '{': return depth < kMaxJsonDepth && Object(value, depth + 1);
      case '[': return depth < kMaxJsonDepth && Array(value, depth + 1);
      case '"':
        value.type_ = JsonValue::Type::kString;
        return String(value.string_);
      case 't':
        value.type_ = JsonValue::Type::kBool;
        value.bool_ = true;
        return Word("true");
      case 'f':
        value.type_ = JsonValue::Type::kBool;
        return Word("false");
      case 'n': return Word("null");
      default:
        value.type_ = JsonValue::Type::kNumber;
        return Number(value.number_);
    }
  }

  // The elements of an object or an array, past its opening bracket:
  // `element` reads one, and commas part them until `close`.
  template <typename Element>
  bool Elements(std::string_view close, Element element) {
    ++at_;
    Blanks();
    if (Word(close)) return true;
    for (;;) {
      Blanks();
      if (!element()) return false;
      Blanks();
      if (Word(close)) return true;
      if (!Word(",")) return false;
    }
  }

  bool Object(JsonValue& value, std::size_t depth) {
    value.type_ = JsonValue::Type::kObject;
    return Elements("}", [&] {
      std::string key;
      if (at_ >= text_.size() || text_[at_] != '"' || !String(key)) return false;
      Blanks();
      if (!Word(":")) return false;
      Blanks();
      value.members_.emplace_back(std::move(key), JsonValue());
      return Value(value.members_.back().second, depth);
    });
  }

  bool Array(JsonValue& value, std::size_t depth) {
    value.type_ = JsonValue::Type::kArray;
    return Elements("]", [&] {
      value.items_.emplace_back();
      return Value(value.items_.back(), depth);
    });
  }

  bool Hex4(char16_t& unit) {
    if (at_ + 4 > text_.size()) return false;
    unsigned value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const char c = text_[at_ + i];
      value <<= 4;
      if (c >= '0' && c <= '9') value |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') value |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') value |= static_cast<unsigned>(c - 'A' + 10);
      else return false;
    }
    at_ += 4;
    unit = static_cast<char16_t>(value);
    return true;
  }

  // A string literal, its escapes resolved to UTF-8. Escaped UTF-16 units
  // are gathered and converted together, so a surrogate pair written as two
  // escapes is one character; raw bytes must be UTF-8.
  bool String(std::string& out) {
    ++at_;
    std::u16string units;
    const auto flush = [&] {
      if (!units.empty()) out += Utf16ToUtf8(units);
      units.clear();
    };
    const std::size_t start = at_;
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c == '"') {
        flush();
        ++at_;
        return IsValidUtf8(text_.substr(start, at_ - 1 - start));
      }
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        flush();
        out += c;
        ++at_;
        continue;
      }
      if (++at_ >= text_.size()) return false;
      const char e = text_[at_++];
      if (e == 'u') {
        char16_t unit = 0;
        if (!Hex4(unit)) return false;
        units += unit;
        continue;
      }
      flush();
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        default: return false;
      }
    }
    return false;
  }

  bool Digits() {
    const std::size_t start = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    return at_ > start;
  }

  bool Number(double& number) {
    const std::size_t start = at_;
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    if (at_ < text_.size() && text_[at_] == '0') {
      ++at_;
    } else if (!Digits()) {
      return false;
    }
    if (at_ < text_.size() && text_[at_] == '.') {
      ++at_;
      if (!Digits()) return false;
    }
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      ++at_;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
      if (!Digits()) return false;
    }
    // The text is a well-formed number here; strtod reads it in the C
    // locale's terms, which JSON's are.
    const std::string copy(text_.substr(start, at_ - start));
    number = std::strtod(copy.c_str(), nullptr);
    return true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

const JsonValue* JsonValue::Find(std::string_view key) const {
  if (type_ != Type::kObject) return nullptr;
  for (const auto& [name, value] : members_) {
    if (name == key) return &value;
  }
  return nullptr;
}

bool JsonValue::Bool(std::string_view key, bool fallback) const {
  const JsonValue* v = Find(key);
  return v && v->type_ == Type::kBool ? v->bool_ : fallback;
}

std::string JsonValue::String(std::string_view key, std::string fallback) const {
  const JsonValue* v = Find(key);
  return v && v->type_ == Type::kString ? v->string_ : fallback;
}

std::int64_t JsonValue::Integer(std::string_view key, std::int64_t fallback) const {
  const JsonValue* v = Find(key);
  constexpr double kExact = 9007199254740992.0;  // 2^53
  if (!v || v->type_ != Type::kNumber || !(std::fabs(v->number_) <= kExact) ||
      std::floor(v->number_) != v->number_) {
    return fallback;
  }
  return static_cast<std::int64_t>(v->number_);
}

bool ParseJson(std::string_view text, JsonValue& value) {
  value = JsonValue();
  JsonParser parser(text);
  if (parser.Document(value)) return true;
  value = JsonValue();
  return false;
}
