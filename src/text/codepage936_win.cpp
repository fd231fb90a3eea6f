// Code page 936 from Windows' own tables.
#include <windows.h>

#include "text/encoding.h"

namespace {
constexpr UINT kGbk = 936;
}

std::u16string GbkToUtf16(std::string_view gbk) {
  if (gbk.empty()) return {};
  const int size = static_cast<int>(gbk.size());
  const int length = ::MultiByteToWideChar(kGbk, 0, gbk.data(), size, nullptr, 0);
  if (length <= 0) return {};
  std::u16string out(static_cast<std::size_t>(length), u'\0');
  ::MultiByteToWideChar(kGbk, 0, gbk.data(), size, reinterpret_cast<wchar_t*>(out.data()), length);
  return out;
}

std::string Utf16ToGbk(std::u16string_view text, bool* lossy) {
  if (lossy) *lossy = false;
  if (text.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int size = static_cast<int>(text.size());
  // No best-fit: a character without a GBK form becomes '?', never a
  // look-alike that could name another file.
  constexpr DWORD kFlags = WC_NO_BEST_FIT_CHARS;
  const int length = ::WideCharToMultiByte(kGbk, kFlags, wide, size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string out(static_cast<std::size_t>(length), '\0');
  BOOL usedDefault = FALSE;
  ::WideCharToMultiByte(kGbk, kFlags, wide, size, out.data(), length, "?", &usedDefault);
  if (lossy) *lossy = usedDefault != FALSE;
  return out;
}
