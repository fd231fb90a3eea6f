#pragma once
// Shared by the Windows runner tests: where the helper programs are, and how
// to wait for a process and read its exit code.
#include <windows.h>

#include <string>

#include "runner/process_host.h"

// The helpers' directory as a Windows path ("/x/y" on the build host is
// Z:\x\y under Wine).
inline std::string HelpersDir() {
  std::string dir = MORVASTEL_HELPERS_DIR;
  if (!dir.empty() && dir[0] == '/') dir = "Z:" + dir;
  for (char& c : dir) {
    if (c == '/') c = '\\';
  }
  return dir;
}

inline std::string Helper(const char* file) { return HelpersDir() + "\\" + file; }

// Waits for a process to end; the bound only keeps a broken test from
// hanging, a passing test never reaches it.
// A helper's process, opened to be waited for and ended.
inline ScopedProcessHandle OpenToWatch(DWORD pid) {
  return ScopedProcessHandle(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
}

inline bool WaitForExit(HANDLE process) { return ::WaitForSingleObject(process, 30000) == WAIT_OBJECT_0; }

inline DWORD ExitCode(HANDLE process) {
  DWORD code = 0;
  ::GetExitCodeProcess(process, &code);
  return code;
}
