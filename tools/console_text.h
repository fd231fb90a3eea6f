#pragma once
// Text for a console, readable whatever its code page: written as UTF-16
// with WriteConsoleW when the stream is a console. Shared by the console
// tools.
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "text/command_line.h"

// Writes `text` to the console when `which` (STD_OUTPUT_HANDLE or
// STD_ERROR_HANDLE) is one; false when it is not (redirected to a file or a
// pipe), or when the console took none of it, and nothing is written: the
// caller then writes the bytes to the stream itself, so a handle that passes
// for a console but refuses writes never swallows the output.
inline bool WriteConsoleText(DWORD which, std::u16string_view text) {
  const HANDLE handle = ::GetStdHandle(which);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr || !::GetConsoleMode(handle, &mode)) return false;
  // In pieces: old consoles refuse one large write. A piece never ends
  // between the two halves of a surrogate pair.
  constexpr std::size_t kPiece = 8192;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t count = text.size() - at < kPiece ? text.size() - at : kPiece;
    if (at + count < text.size() && text[at + count - 1] >= 0xD800 && text[at + count - 1] <= 0xDBFF) --count;
    DWORD written = 0;
    if (!::WriteConsoleW(handle, text.data() + at, static_cast<DWORD>(count), &written, nullptr) || written == 0) {
      return at > 0;
    }
    at += written;
  }
  return true;
}

// The program's arguments as UTF-16, without the program's name, split as
// the C runtime splits a wide main's command line (and as the launcher
// splits its own).
inline std::vector<std::u16string> CommandLineArguments() {
  const wchar_t* line = ::GetCommandLineW();
  std::vector<std::u16string> args = SplitCommandLine(reinterpret_cast<const char16_t*>(line));
  args.erase(args.begin());
  return args;
}
