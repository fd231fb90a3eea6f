#pragma once
// Shared by the Windows runner tests: where the helper programs are, and how
// to wait for a process and read its exit code.
#include <windows.h>
#include <tlhelp32.h>

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

// A helper's process, opened to be waited for and ended.
inline ScopedProcessHandle OpenToWatch(DWORD pid) {
  return ScopedProcessHandle(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
}

// Waits for a process to end; the bound only keeps a broken test from
// hanging, a passing test never reaches it.
inline bool WaitForExit(HANDLE process) { return ::WaitForSingleObject(process, 30000) == WAIT_OBJECT_0; }

inline DWORD ExitCode(HANDLE process) {
  DWORD code = 0;
  ::GetExitCodeProcess(process, &code);
  return code;
}

// Whether a process runs the recorder (an id seen earlier may be another's now).
inline bool RunsRecorder(HANDLE process) {
  wchar_t image[MAX_PATH * 4];
  DWORD n = MAX_PATH * 4;
  if (!::QueryFullProcessImageNameW(process, 0, image, &n)) return false;
  const std::wstring path(image, n);
  return path.size() >= 12 && _wcsicmp(path.c_str() + path.size() - 12, L"recorder.exe") == 0;
}

// Ends every recorder still running in this Wine prefix and waits for each.
// A runner takes a process running its row's file for the row's own, or
// holds the row while one may be, so what another test left running would
// hold the next test's rows.
inline void EndStrayRecorders() {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, L"recorder.exe") != 0) continue;
    const ScopedProcessHandle process = OpenToWatch(entry.th32ProcessID);
    if (!process) continue;
    ::TerminateProcess(process.get(), 0);
    WaitForExit(process.get());
  }
  ::CloseHandle(snapshot);
}
