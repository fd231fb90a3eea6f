#pragma once
#include <cstdio>
#include <string>

// printf-style formatting into a string of whatever length the values need.
template <typename... Args>
std::string FormatText(const char* format, Args... args) {
  const int n = std::snprintf(nullptr, 0, format, args...);
  if (n < 0) return std::string();
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(text.data(), text.size(), format, args...);
  text.resize(static_cast<std::size_t>(n));
  return text;
}
