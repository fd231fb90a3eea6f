#pragma once
// Every text of the program is GBK (code page 936) bytes: the launch list,
// the texts table, the catalogue. Where a text leaves for Windows' wide calls
// or for a UTF-8 file format, it is converted here, always with code page 936
// and never with whatever code page the machine happens to use.
#include <string>
#include <string_view>

// GBK bytes as UTF-16. A byte sequence that is not GBK becomes U+FFFD (or
// what Windows makes of it); the result is always valid UTF-16.
std::u16string GbkToUtf16(std::string_view gbk);
// UTF-16 as GBK bytes. A character without a GBK form becomes '?', and
// `lossy`, when given, is set to whether that happened.
std::string Utf16ToGbk(std::u16string_view text, bool* lossy = nullptr);

// UTF-8 and UTF-16 into each other. Malformed input (a stray continuation
// byte, a truncated or overlong sequence, a lone surrogate) becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view text);

// A file's UTF-16 bytes (after its byte-order mark) in either byte order as
// UTF-16. An odd last byte, and a surrogate without its other half, become
// U+FFFD: the result is always valid UTF-16.
std::u16string Utf16BytesToUtf16(std::string_view bytes, bool bigEndian);

// GBK bytes as UTF-8 (for formats that require UTF-8); always valid UTF-8.
inline std::string GbkToUtf8(std::string_view gbk) { return Utf16ToUtf8(GbkToUtf16(gbk)); }

// True when `bytes` are well-formed UTF-8 (no overlong forms, no surrogates).
// `multibyte`, when given, is set to whether any character takes more than
// one byte: plain ASCII is valid UTF-8 and valid GBK alike.
bool IsValidUtf8(std::string_view bytes, bool* multibyte = nullptr);

// The file name of a Windows path given in GBK: what follows its last '\'
// or '/'. A GBK character's second byte can be 0x5C, so the scan steps over
// double-byte characters rather than searching for the byte.
std::string GbkFileName(std::string_view path);

// The byte-order marks Notepad writes at the start of a UTF-8 file and of a
// UTF-16 one in either byte order.
inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
inline constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
inline constexpr std::string_view kUtf16BeBom = "\xFE\xFF";
