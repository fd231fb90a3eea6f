// The helper a stop of the launcher starts for each program it asks to
// close ("morvastelctrlc /ctrl-c PID"): it attaches to the console of
// process PID, which it then shares with that program and whatever else
// runs on it, and sends Ctrl-C there, ignoring it itself. It needs nothing
// but the kernel, so that a stop of hundreds of programs starts hundreds of
// small processes rather than copies of the launcher with its windowing
// libraries (under Wine a quarter of the time each).
// Exit code: 0 when the keystroke went out, 1 when sending it failed, 2 when
// the program has no console (or is gone) or the arguments are not
// "/ctrl-c PID".
#include <windows.h>

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
  if (pid == 0) return 2;
  ::FreeConsole();
  if (!::AttachConsole(pid)) return 2;
  ::SetConsoleCtrlHandler(nullptr, TRUE);
  const BOOL sent = ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  ::FreeConsole();
  return sent ? 0 : 1;
}
