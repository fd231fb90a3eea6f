// procstat: measures processes the way the reliability run needs, with calls
// that give true answers under Wine as well as on Windows.
//
//   procstat stat PID
//       "pid P handles H working_set W peak_working_set X" (bytes). The handle
//       count comes from the system handle table (NtQuerySystemInformation),
//       counting the entries that belong to PID; GetProcessHandleCount
//       answers 0 under Wine. The working set comes from
//       GetProcessMemoryInfo.
//   procstat watch [--while PID] SECONDS NAME...
//       Watches for SECONDS (and, with --while, no longer than process PID
//       lives) the processes whose file name is one of NAMEs (ASCII case
//       ignored) and prints one line when one appears and one when it ends,
//       with its exit code, in the demo programs' log format; then a summary
//       line per name: "summary NAME started S ended E codes C:N,...".
//
// Exit status 0 on success, 1 when a measurement failed, 2 on a usage error.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "platform/handle_count.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

int Stat(DWORD pid) {
  const long handles = CountHandles(pid);
  const HANDLE process = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) {
    std::fprintf(stderr, "procstat: cannot open process %lu (error %lu)\n",
                 static_cast<unsigned long>(pid), ::GetLastError());
    return 1;
  }
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  const BOOL haveMemory = ::GetProcessMemoryInfo(process, &memory, sizeof memory);
  ::CloseHandle(process);
  if (handles < 0 || !haveMemory) {
    std::fprintf(stderr, "procstat: cannot measure process %lu\n", static_cast<unsigned long>(pid));
    return 1;
  }
  std::printf("pid %lu handles %ld working_set %llu peak_working_set %llu\n",
              static_cast<unsigned long>(pid), handles,
              static_cast<unsigned long long>(memory.WorkingSetSize),
              static_cast<unsigned long long>(memory.PeakWorkingSetSize));
  return 0;
}

void LogLine(const std::string& name, DWORD pid, const char* text) {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  std::printf("%04u-%02u-%02u %02u:%02u:%02u.%03u %s pid %lu | %s\n", now.wYear, now.wMonth, now.wDay,
              now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, name.c_str(),
              static_cast<unsigned long>(pid), text);
  std::fflush(stdout);
}

// The name as given on the command line that `file` matches, or "".
std::string Match(const char* file, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (_stricmp(file, name.c_str()) == 0) return name;
  }
  return std::string();
}

struct Watched {
  DWORD pid;
  std::string name;
  HANDLE process;
};

struct Tally {
  long started = 0;
  long ended = 0;
  std::map<unsigned long, long> codes;
};

int Watch(double seconds, HANDLE whileRuns, const std::vector<std::string>& names) {
  std::vector<Watched> live;
  std::map<std::string, Tally> tally;
  for (const std::string& name : names) tally[name];
  ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
  for (;;) {
    // Ends first, so that a reused id is seen as a new process below.
    for (std::size_t i = 0; i < live.size();) {
      if (::WaitForSingleObject(live[i].process, 0) != WAIT_OBJECT_0) {
        ++i;
        continue;
      }
      DWORD code = 0;
      ::GetExitCodeProcess(live[i].process, &code);
      char text[64];
      std::snprintf(text, sizeof text, "ended with exit code %lu", static_cast<unsigned long>(code));
      LogLine(live[i].name, live[i].pid, text);
      Tally& t = tally[live[i].name];
      ++t.ended;
      ++t.codes[code];
      ::CloseHandle(live[i].process);
      live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (::GetTickCount64() >= end) break;
    // One more round after the end of the watched-over process, for the ends
    // that came with it.
    if (whileRuns != nullptr && ::WaitForSingleObject(whileRuns, 0) == WAIT_OBJECT_0) {
      ::CloseHandle(whileRuns);
      whileRuns = nullptr;
      end = 0;
    }
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
      PROCESSENTRY32 entry{};
      entry.dwSize = sizeof entry;
      for (BOOL more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry)) {
        const std::string name = Match(entry.szExeFile, names);
        if (name.empty()) continue;
        bool known = false;
        for (const Watched& w : live) known = known || w.pid == entry.th32ProcessID;
        if (known) continue;
        const HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                             entry.th32ProcessID);
        if (process == nullptr) continue;  // gone already, or not ours to watch
        live.push_back({entry.th32ProcessID, name, process});
        ++tally[name].started;
        LogLine(name, entry.th32ProcessID, "seen running");
      }
      ::CloseHandle(snapshot);
    }
    ::Sleep(100);
  }
  for (const auto& [name, t] : tally) {
    std::printf("summary %s started %ld ended %ld codes ", name.c_str(), t.started, t.ended);
    bool first = true;
    for (const auto& [code, n] : t.codes) {
      std::printf("%s%lu:%ld", first ? "" : ",", code, n);
      first = false;
    }
    std::printf("%s\n", first ? "-" : "");
  }
  for (const Watched& w : live) ::CloseHandle(w.process);
  return 0;
}

int Usage() {
  std::fputs("usage: procstat stat PID | procstat watch [--while PID] SECONDS NAME...\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Plain LF line ends: the lines are read by scripts on the build machine.
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc == 3 && std::strcmp(argv[1], "stat") == 0) {
    return Stat(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
  }
  if (argc >= 4 && std::strcmp(argv[1], "watch") == 0) {
    HANDLE whileRuns = nullptr;
    int first = 2;
    if (std::strcmp(argv[2], "--while") == 0) {
      if (argc < 6) return Usage();
      const DWORD pid = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
      whileRuns = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
      if (whileRuns == nullptr) {
        std::fprintf(stderr, "procstat: no process %lu to watch over\n", static_cast<unsigned long>(pid));
        return 1;
      }
      first = 4;
    }
    return Watch(std::atof(argv[first]), whileRuns, std::vector<std::string>(argv + first + 1, argv + argc));
  }
  return Usage();
}
