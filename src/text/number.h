#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

// Reads text as a signed decimal integer the way the C runtime's atoi does:
// leading white space skipped, an optional sign, then the leading digits.
// Text without digits reads as 0. Never reads past the view, never fails;
// values beyond the 32-bit range wrap modulo 2^32 instead of overflowing.
std::int32_t ParseDecimal(std::string_view text);

// The low 16 bits of ParseDecimal, as a port number is taken.
inline std::uint16_t ParsePort(std::string_view text) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(ParseDecimal(text)) & 0xFFFFu);
}
