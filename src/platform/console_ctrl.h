#pragma once
// Ctrl-C on another program's console, as a stop's helper sends it: the
// helper attaches to the console of process `pid`, which it then shares with
// that program and whatever else runs on it, and sends Ctrl-C there,
// ignoring it itself. Kernel calls alone: the helper program
// (morvastelctrlc) needs nothing else.
#include <windows.h>

// 0 when the keystroke went out, 1 when sending it failed, 2 when the
// program has no console (or is gone).
inline int SendCtrlCToConsoleOf(DWORD pid) {
  ::FreeConsole();
  if (pid == 0 || !::AttachConsole(pid)) return 2;
  ::SetConsoleCtrlHandler(nullptr, TRUE);
  const BOOL sent = ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  ::FreeConsole();
  return sent ? 0 : 1;
}
