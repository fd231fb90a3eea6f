#pragma once
// Texts cross to Windows here. Inside, every text is GBK bytes; Windows gets
// UTF-16 through the wide calls, converted with code page 936 whatever code
// page the machine uses, so an English, Traditional Chinese or UTF-8 Windows
// shows the same Chinese and opens the same files as a Simplified Chinese one.
#include <windows.h>

#include <string>
#include <string_view>

#include "text/encoding.h"

inline std::wstring Wide(std::string_view gbk) {
  const std::u16string text = GbkToUtf16(gbk);
  return std::wstring(text.begin(), text.end());
}

// A path kept in UTF-16 from the command line, for the wide file calls.
inline std::wstring WidePath(std::u16string_view path) { return std::wstring(path.begin(), path.end()); }

inline std::string Narrow(std::wstring_view wide) {
  return Utf16ToGbk(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

// A window's text, as GBK.
inline std::string WindowTextGbk(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return Narrow(text);
}

inline void SetWindowTextGbk(HWND hwnd, std::string_view gbk) { ::SetWindowTextW(hwnd, Wide(gbk).c_str()); }

// The system's text for an error code, GBK, without its line break.
inline std::string SystemErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text ? text : L"", length);
  if (text) ::LocalFree(text);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' ')) {
    message.pop_back();
  }
  return Narrow(message);
}
