#pragma once
// A small writer of compact JSON text (RFC 8259) in pure ASCII. Commas and
// nesting are kept by the writer; strings are escaped, every character
// beyond U+007F as \uXXXX (a surrogate pair beyond U+FFFF), and text that is
// not valid UTF-8 has its bad bytes replaced, so whatever it is given the
// output parses, and reads the same in any code page: PowerShell 5.1 decodes
// a native program's output with the ANSI code page.
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

// `utf8` as a JSON string literal, quotes included, pure ASCII.
std::string JsonString(std::string_view utf8);
// JSON text with every character beyond U+007F written as \uXXXX, the
// same value in pure ASCII; bytes that are not UTF-8 become \ufffd. Outside
// strings valid JSON has no such characters, so only strings change.
std::string AsciiJson(std::string_view utf8Json);
