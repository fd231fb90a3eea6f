#pragma once
// A small writer of compact JSON text (RFC 8259), UTF-8. Commas and nesting
// are kept by the writer; strings are escaped, and text that is not valid
// UTF-8 has its bad bytes replaced, so whatever it is given the output parses.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class JsonWriter {
 public:
  JsonWriter& BeginObject() { return Open('{'); }
  JsonWriter& EndObject() { return Close('}'); }
  JsonWriter& BeginArray() { return Open('['); }
  JsonWriter& EndArray() { return Close(']'); }
  // The name of the next member of the current object.
  JsonWriter& Key(std::string_view utf8);
  JsonWriter& String(std::string_view utf8);
  // GBK text (the list's and the program's own), converted to UTF-8.
  JsonWriter& Gbk(std::string_view gbk);
  JsonWriter& Number(std::int64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();

  const std::string& text() const { return text_; }

 private:
  JsonWriter& Open(char bracket);
  JsonWriter& Close(char bracket);
  // A comma before every value of an array but its first; none after a key.
  void BeforeValue();

  std::string text_;
  std::vector<bool> first_;  // per open bracket: nothing written in it yet
  bool afterKey_ = false;
};

// `utf8` as a JSON string literal, quotes included.
std::string JsonString(std::string_view utf8);
