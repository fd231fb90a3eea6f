#pragma once
// A small reader of JSON text (RFC 8259), for what a launcher replies: the
// console program reads the status object with it to judge a check and to
// see a wait through. Strings come out as UTF-8 (escapes resolved, a lone
// surrogate as U+FFFD); numbers as double; nesting is limited, so any input
// is read in bounded time and stack.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class JsonValue {
 public:
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };

  Type type() const { return type_; }
  bool IsNull() const { return type_ == Type::kNull; }
  bool boolean() const { return bool_; }
  double number() const { return number_; }
  const std::string& string() const { return string_; }
  const std::vector<JsonValue>& items() const { return items_; }
  const std::vector<std::pair<std::string, JsonValue>>& members() const { return members_; }

  // The member `key` of an object (the first of that name), or null.
  const JsonValue* Find(std::string_view key) const;
  // Shorthands that read a member of an expected type; `fallback` when the
  // member is missing or of another type.
  bool Bool(std::string_view key, bool fallback = false) const;
  std::string String(std::string_view key, std::string fallback = {}) const;
  // A whole number; `fallback` for a fraction or one beyond ±2^53.
  std::int64_t Integer(std::string_view key, std::int64_t fallback = -1) const;

 private:
  friend class JsonParser;
  Type type_ = Type::kNull;
  bool bool_ = false;
  double number_ = 0;
  std::string string_;
  std::vector<JsonValue> items_;
  std::vector<std::pair<std::string, JsonValue>> members_;
};

// Deeper nesting than this is refused.
inline constexpr std::size_t kMaxJsonDepth = 64;

// Reads one JSON text, blanks around it allowed; false (and `value` null)
// for anything else.
bool ParseJson(std::string_view text, JsonValue& value);
