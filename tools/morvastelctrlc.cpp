// The helper a stop of the launcher starts for each program it asks to
// close ("morvastelctrlc /ctrl-c PID"): Ctrl-C on that program's console
// (platform/console_ctrl.h). It needs nothing but the kernel, so that a
// stop of hundreds of programs starts hundreds of small processes rather
// than copies of the launcher with its windowing libraries (under Wine a
// quarter of the time each).
// Exit code: 0 when the keystroke went out, 1 when sending it failed, 2 when
// the program has no console (or is gone) or the arguments are not
// "/ctrl-c PID".
#include <windows.h>

#include "platform/console_ctrl.h"

namespace {

// The process id after "/ctrl-c " in the command line, 0 when there is none.
DWORD TargetOf(const wchar_t* line) {
  // Argument 0, quoted or not.
  if (*line == L'"') {
    for (++line; *line != L'\0' && *line != L'"'; ++line) {}
    if (*line == L'"') ++line;
  } else {
    while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  const wchar_t word[] = L"/ctrl-c";
  for (const wchar_t* w = word; *w != L'\0'; ++w, ++line) {
    if (*line != *w) return 0;
  }
  if (*line != L' ' && *line != L'\t') return 0;
  while (*line == L' ' || *line == L'\t') ++line;
  unsigned long long pid = 0;
  int digits = 0;
  for (; *line >= L'0' && *line <= L'9'; ++line) {
    pid = pid * 10 + static_cast<unsigned>(*line - L'0');
    if (++digits > 10) return 0;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return *line == L'\0' && pid <= 0xFFFFFFFFull ? static_cast<DWORD>(pid) : 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  const DWORD pid = TargetOf(::GetCommandLineW());
  return pid == 0 ? 2 : SendCtrlCToConsoleOf(pid);
}
