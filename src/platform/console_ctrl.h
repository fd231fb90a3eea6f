#pragma once
// Ctrl-C on other programs' consoles, as a stop's helper sends it
// ("/ctrl-c PID [PID...]"): the helper attaches to the console of each
// process in turn, which it then shares with that program and whatever else
// runs on it, sends Ctrl-C there, ignoring it itself, and detaches. Kernel
// calls alone: the helper program (morvastelctrlc) needs nothing else.
#include <windows.h>

// At most this many programs per helper: a stop of hundreds starts a few
// helpers, not one per program (a process creation costs tens of
// milliseconds, more under Wine, and would take the processor from the
// launcher's window meanwhile).
inline constexpr int kCtrlCTargetsPerHelper = 64;

// What the helper writes to its standard output for each program, in the
// order given, as soon as it is done with it; and, for the worst of them,
// its exit code.
inline constexpr char kCtrlCSent = '0';       // the keystroke went out
inline constexpr char kCtrlCFailed = '1';     // sending it failed
inline constexpr char kCtrlCNoConsole = '2';  // no console, or the program is gone
// Exit code of a line that is not "/ctrl-c" and 1 to kCtrlCTargetsPerHelper
// process ids: nothing is sent.
inline constexpr int kCtrlCBadLine = 3;

inline char SendCtrlCToConsoleOf(DWORD pid) {
  ::FreeConsole();
  if (!::AttachConsole(pid)) return kCtrlCNoConsole;
  ::SetConsoleCtrlHandler(nullptr, TRUE);
  const BOOL sent = ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  ::FreeConsole();
  return sent ? kCtrlCSent : kCtrlCFailed;
}

// The process ids after "/ctrl-c" in a whole command line (argument 0
// first, quoted or not) into `pids`; how many, 0 when the line is not one
// of the helper's. An id is 1 to 10 digits, not 0 and within 32 bits.
inline int CtrlCTargetsOf(const wchar_t* line, DWORD (&pids)[kCtrlCTargetsPerHelper]) {
  const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
  if (*line == L'"') {
    for (++line; *line != L'\0' && *line != L'"'; ++line) {}
    if (*line == L'"') ++line;
  } else {
    while (*line != L'\0' && !blank(*line)) ++line;
  }
  while (blank(*line)) ++line;
  for (const wchar_t* word = L"/ctrl-c"; *word != L'\0'; ++word, ++line) {
    if (*line != *word) return 0;
  }
  int count = 0;
  for (;;) {
    if (*line != L'\0' && !blank(*line)) return 0;
    while (blank(*line)) ++line;
    if (*line == L'\0') return count;
    unsigned long long pid = 0;
    int digits = 0;
    for (; *line >= L'0' && *line <= L'9'; ++line) {
      pid = pid * 10 + static_cast<unsigned>(*line - L'0');
      if (++digits > 10) return 0;
    }
    if (digits == 0 || pid == 0 || pid > 0xFFFFFFFFull || count == kCtrlCTargetsPerHelper) return 0;
    pids[count++] = static_cast<DWORD>(pid);
  }
}

// The helper's whole work for its command line: each program's outcome is
// written as it comes, to the standard output taken before any console is
// attached (attaching may put the console's in its place).
inline int RunCtrlCHelper(const wchar_t* commandLine) {
  DWORD pids[kCtrlCTargetsPerHelper];
  const int count = CtrlCTargetsOf(commandLine, pids);
  if (count == 0) return kCtrlCBadLine;
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  char worst = kCtrlCSent;
  for (int i = 0; i < count; ++i) {
    const char outcome = SendCtrlCToConsoleOf(pids[i]);
    if (outcome > worst) worst = outcome;
    DWORD written = 0;
    if (out != nullptr && out != INVALID_HANDLE_VALUE) ::WriteFile(out, &outcome, 1, &written, nullptr);
  }
  ::FreeConsole();
  return worst - kCtrlCSent;
}
