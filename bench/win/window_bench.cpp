// The real launcher under Wine, seen from outside: how long its window takes
// to answer while a burst of ended programs is started again, how soon one
// ended program is back, and what the launcher costs while nothing happens.
// Given two builds it runs them one after the other and prints their figures
// side by side, with the first's as a share of the second's.
//
//   window_bench NEW.exe [OLD.exe] [--burst N]... [--ends N] [--grace N]
//
// For each launcher:
// - burst N (default 30 and 1000): a plan of N programs that wait for one
//   signal; once all run, the signal ends them together. Measured: the
//   longest the window takes to answer a message from then until every one
//   runs again (its longest pause), and how long until every one runs again.
//   After the largest burst, with all of them running: the launcher's
//   processor time over 10 s in which nothing happens, then the window's
//   longest answer over 10 s more (a supervision tick).
// - ends (default 24): a plan of three programs that each run 1.5 s and
//   exit, started a second apart; for every end, the time from the program's
//   end to its next start, both as the system records them (a creation is
//   stamped as its call returns, so this includes the whole creation, timed
//   once more on its own for comparison).
// - grace N (default 200; 0 leaves it out): a stop of N programs that
//   close on their Ctrl-C, with /g 10 and with /g 0.
// - view: a launcher on a fixed port (23975) and a second one started with
//   that port, which opens as its view. Measured: the view's processor time
//   over 10 s in which nothing happens (it polls the launcher twice a
//   second), and ten times the time from a click on the view's notify box
//   to the launcher's own box following it.
// - service: the launcher registered as a service (/install, port 23976)
//   with a plan of 20 programs with delay 0. Measured: from StartService to
//   every one of them running, as the programs' own first lines stamp it.
//
// The window is asked with WM_NULL every 5 ms from a thread of this program,
// and so is an idle window of this program's own: under Wine every answer
// passes the one wineserver, which a burst of creations keeps busy, so the
// idle window's longest answer is what any window would show.
// Each launcher keeps a journal (/l), as operators run it, left beside this
// program for a look afterwards.
// The launchers run with the exit notice off and an ephemeral heartbeat port,
// so they use none of the machine's fixed ports.
// The helper programs come from ..\helpers beside this program's folder.
#include <windows.h>
#include <tlhelp32.h>
#include <winsvc.h>

#include "bench_clock.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr int kStartStopButton = 1002, kNotifyBox = 1007;

std::string ProgramDir() {
  char path[MAX_PATH] = "";
  ::GetModuleFileNameA(nullptr, path, sizeof path);
  std::string dir(path);
  dir.resize(dir.find_last_of('\\'));  // ...\bench
  return dir;
}

std::string Recorder() { return ProgramDir().substr(0, ProgramDir().find_last_of('\\')) + "\\helpers\\recorder.exe"; }

std::string WorkFile(const std::string& name) { return ProgramDir() + "\\window_bench_" + name; }

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void PutFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// One line a helper wrote: its process id, when (GetTickCount64), and what.
struct LogLine {
  DWORD pid = 0;
  unsigned long long ms = 0;
  std::string text;
};

std::vector<LogLine> ReadLog(const std::string& path) {
  std::vector<LogLine> lines;
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    const std::size_t a = line.find('\t'), b = line.find('\t', a + 1), c = line.find('\t', b + 1);
    if (c == std::string::npos) continue;  // a line still being written
    lines.push_back({static_cast<DWORD>(std::strtoul(line.c_str(), nullptr, 10)),
                     std::strtoull(line.c_str() + a + 1, nullptr, 10), line.substr(c + 1)});
  }
  return lines;
}

std::size_t CountLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::size_t n = 0;
  for (std::string line; std::getline(in, line);) n += !line.empty();
  return n;
}

// Waits until `path` has `lines` lines, for as long as lines keep coming
// (a minute without a new one ends the wait). True when they are all there.
bool WaitForLines(const std::string& path, std::size_t lines) {
  std::size_t seen = 0;
  ULONGLONG last = ::GetTickCount64();
  for (;;) {
    const std::size_t now = CountLines(path);
    if (now >= lines) return true;
    if (now != seen) {
      seen = now;
      last = ::GetTickCount64();
    } else if (::GetTickCount64() - last > 60000) {
      std::printf("  only %zu of %zu lines in %s\n", now, lines, path.c_str());
      return false;
    }
    ::Sleep(10);
  }
}

template <typename Done>
bool WaitFor(Done done, int ms) {
  const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(ms);
  while (!done()) {
    if (::GetTickCount64() > end) return false;
    ::Sleep(10);
  }
  return true;
}

double Milliseconds(const FILETIME& t) {
  return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4;
}

// Ends every helper still running: a launcher would take one over.
void EndHelpers() {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W process{};
  process.dwSize = sizeof process;
  for (BOOL more = ::Process32FirstW(snapshot, &process); more; more = ::Process32NextW(snapshot, &process)) {
    if (_wcsicmp(process.szExeFile, L"recorder.exe") != 0) continue;
    if (HANDLE h = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.th32ProcessID)) {
      ::TerminateProcess(h, 0);
      ::WaitForSingleObject(h, 5000);
      ::CloseHandle(h);
    }
  }
  ::CloseHandle(snapshot);
}

// A window of this program that does nothing but answer, on a thread of
// its own: how long any window takes to answer while the system is as busy
// as the launcher's, for comparison.
class IdleWindow {
 public:
  IdleWindow() : thread_([this] { Run(); }) {
    while (!window_) ::Sleep(1);
  }
  ~IdleWindow() {
    ::PostMessageW(window_, WM_QUIT, 0, 0);
    thread_.join();
  }
  HWND window() const { return window_; }

 private:
  void Run() {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    window_ = window;
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
    ::DestroyWindow(window);
  }
  std::atomic<HWND> window_{nullptr};
  std::thread thread_;
};

// Asks the launcher's window, then the idle window, with WM_NULL every 5 ms
// and keeps the longest answer of each.
class Pinger {
 public:
  Pinger(HWND window, HWND idle) : windows_{window, idle}, thread_([this] { Run(); }) {}
  ~Pinger() { Stop(); }
  // The launcher's longest answer, and the idle window's.
  std::pair<double, double> Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return {longest_[0], longest_[1]};
  }

 private:
  void Run() {
    while (!stop_) {
      for (int i = 0; i < 2; ++i) {
        const double t = NowMs();
        DWORD_PTR result = 0;
        ::SendMessageTimeoutW(windows_[i], WM_NULL, 0, 0, SMTO_NORMAL, 600000, &result);
        longest_[i] = std::max(longest_[i], NowMs() - t);
      }
      ::Sleep(5);
    }
  }
  HWND windows_[2];
  std::atomic<bool> stop_{false};
  double longest_[2] = {0, 0};
  std::thread thread_;
};

// The dialog of process `pid`: the top-level window with a start/stop
// button. A named callback: WNDENUMPROC is stdcall on 32 bits.
struct DialogSearch {
  DWORD pid;
  HWND found;
};
BOOL CALLBACK FindDialog(HWND hwnd, LPARAM data) {
  auto* search = reinterpret_cast<DialogSearch*>(data);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(hwnd, &owner);
  if (owner != search->pid || !::GetDlgItem(hwnd, kStartStopButton)) return TRUE;
  search->found = hwnd;
  return FALSE;
}

class Launcher {
 public:
  // Its journal goes to `journal`, as an operator would keep one.
  // With `port`, on that port; with an empty `list`, a view of the
  // launcher already there (its /n only finds it among the processes).
  // `extra` goes on its command line; `flags` to its creation.
  Launcher(const std::string& exe, const std::string& list, const std::string& journal, const char* port = "0",
           const std::string& extra = "", DWORD flags = 0) {
    static int runs = 0;
    title_ = "window-bench-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++runs);
    ::DeleteFileA(journal.c_str());
    std::string commandLine = "\"" + exe + "\" /n " + title_ + " /p " + port;
    if (!list.empty()) commandLine += " /f \"" + list + "\" /l \"" + journal + "\"";
    commandLine += extra;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si, &pi_)) {
      return;
    }
    if (list.empty()) {
      // A view's caption is its launcher's: found as this process's dialog.
      WaitFor([&] { return (window_ = DialogOf(pi_.dwProcessId)) != nullptr; }, 20000);
      return;
    }
    WaitFor([&] { return (window_ = ::FindWindowA(nullptr, title_.c_str())) != nullptr; }, 20000);
    // No exit notice at the stop: it would reach other programs' listeners
    // on the machine's fixed ports.
    if (window_) {
      ::SendMessageTimeoutW(::GetDlgItem(window_, kNotifyBox), BM_CLICK, 0, 0, SMTO_NORMAL, 10000, nullptr);
    }
  }
  ~Launcher() {
    if (pi_.hProcess == nullptr) return;
    ::TerminateProcess(pi_.hProcess, 0);
    ::WaitForSingleObject(pi_.hProcess, 10000);
    ::CloseHandle(pi_.hProcess);
    ::CloseHandle(pi_.hThread);
  }
  HWND window() const { return window_; }
  // Presses 启动方案 or 停止方案 without waiting for the window to answer.
  void PressStartStop() const {
    ::PostMessageW(window_, WM_COMMAND, MAKEWPARAM(kStartStopButton, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(window_, kStartStopButton)));
  }
  // The processor time the launcher has used, as Linux counts it (Wine
  // answers GetProcessTimes for another process with zeros): its process
  // is found by its title among the command lines under /proc. -1 when it
  // cannot be found.
  double CpuMs() const {
    WIN32_FIND_DATAA found;
    const HANDLE search = ::FindFirstFileA("Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE) return -1;
    double ms = -1;
    do {
      const std::string dir = std::string("Z:\\proc\\") + found.cFileName;
      if (found.cFileName[0] < '1' || found.cFileName[0] > '9') continue;
      std::ifstream cmdline(dir + "\\cmdline", std::ios::binary);
      const std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
      if (args.find(title_ + '\0') == std::string::npos && args.find(title_ + ' ') == std::string::npos) continue;
      std::ifstream stat(dir + "\\stat", std::ios::binary);
      std::string line;
      std::getline(stat, line);
      // Fields after the command name in parentheses; utime and stime are
      // the 14th and 15th, in ticks of 10 ms.
      std::istringstream fields(line.substr(line.rfind(')') + 2));
      std::string field;
      double ticks = 0;
      for (int i = 3; fields >> field && i <= 15; ++i) {
        if (i >= 14) ticks += std::atof(field.c_str());
      }
      ms = ticks * 10.0;
      break;
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
    return ms;
  }

 private:
  static HWND DialogOf(DWORD pid) {
    DialogSearch search{pid, nullptr};
    ::EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  std::string title_;
  PROCESS_INFORMATION pi_{};
  HWND window_ = nullptr;
};

using Figures = std::vector<std::pair<std::string, double>>;

std::string ListOf(const std::vector<std::string>& commandLines, const std::vector<int>& delays) {
  std::string list = "::bench\r\n";
  for (std::size_t i = 0; i < commandLines.size(); ++i) {
    list += "1 [" + Recorder() + "] [] [" + commandLines[i] + "] " + std::to_string(delays[i]) + "\r\n";
  }
  return list + "\r\n";
}

void Burst(const std::string& exe, const std::string& tag, int n, bool idleToo, Figures& figures) {
  const std::string log = WorkFile("burst.log"), generation = WorkFile("generation.txt"), list = WorkFile("burst.list");
  ::DeleteFileA(log.c_str());
  // A helper reads the number in `generation` and waits for the event named
  // after it: those started after the signal wait for the next one.
  static int round = 0;
  const int first = ++round * 2, second = first + 1;
  PutFile(generation, std::to_string(first));
  const HANDLE signal = ::CreateEventA(nullptr, TRUE, FALSE, ("Local\\morvastel-await-" + std::to_string(first)).c_str());
  const HANDLE next = ::CreateEventA(nullptr, TRUE, FALSE, ("Local\\morvastel-await-" + std::to_string(second)).c_str());
  PutFile(list, ListOf(std::vector<std::string>(static_cast<std::size_t>(n), " " + log + " await " + generation),
                         std::vector<int>(static_cast<std::size_t>(n), 0)));
  const std::string name = std::to_string(n) + " programs ending together: ";
  {
    Launcher launcher(exe, list, WorkFile(tag + "-burst-" + std::to_string(n) + ".journal"));
    if (!launcher.window()) {
      std::printf("no window for %s\n", exe.c_str());
      return;
    }
    launcher.PressStartStop();
    WaitForLines(log, static_cast<std::size_t>(n));
    ::Sleep(1500);  // every one has run longer than a second
    PutFile(generation, std::to_string(second));
    IdleWindow idle;
    Pinger pinger(launcher.window(), idle.window());
    const unsigned long long t0 = ::GetTickCount64();
    ::SetEvent(signal);
    WaitForLines(log, 2 * static_cast<std::size_t>(n));
    unsigned long long last = t0;
    const std::vector<LogLine> lines = ReadLog(log);
    for (std::size_t i = static_cast<std::size_t>(n); i < lines.size(); ++i) last = std::max(last, lines[i].ms);
    ::Sleep(1000);  // what the window still does after the last start
    const std::pair<double, double> longest = pinger.Stop();
    figures.emplace_back(name + "window's longest pause (ms)", longest.first);
    figures.emplace_back(name + "an idle window's longest answer meanwhile (ms)", longest.second);
    figures.emplace_back(name + "until all run again (ms)", static_cast<double>(last - t0));
    if (idleToo) {
      // The processor time first, unasked (every answer costs some).
      ::Sleep(2000);
      const double cpu = launcher.CpuMs();
      ::Sleep(10000);
      const double used = launcher.CpuMs() - cpu;
      Pinger quiet(launcher.window(), idle.window());
      ::Sleep(10000);
      figures.emplace_back(std::to_string(n) + " running, nothing happening: window's longest answer (ms)",
                           quiet.Stop().first);
      figures.emplace_back(std::to_string(n) + " running, nothing happening: launcher CPU over 10 s (ms)",
                           cpu < 0 ? -1 : used);
    }
    launcher.PressStartStop();
    ::Sleep(2000);
  }
  EndHelpers();
  ::CloseHandle(signal);
  ::CloseHandle(next);
  ::DeleteFileA(log.c_str());
  ::DeleteFileA(list.c_str());
  ::DeleteFileA(generation.c_str());
}

void Ends(const std::string& exe, const std::string& tag, int ends, Figures& figures) {
  const std::string log = WorkFile("ends.log"), list = WorkFile("ends.list");
  ::DeleteFileA(log.c_str());
  std::vector<std::string> lines;
  for (int row = 0; row < 3; ++row) lines.push_back(" " + log + " run 1500 row" + std::to_string(row));
  PutFile(list, ListOf(lines, {0, 1, 2}));
  std::map<DWORD, HANDLE> opened;  // every helper, held so its times can be read after its end
  std::map<DWORD, std::string> rowOf;
  {
    Launcher launcher(exe, list, WorkFile(tag + "-ends.journal"));
    if (!launcher.window()) return;
    launcher.PressStartStop();
    const ULONGLONG end = ::GetTickCount64() + 120000;
    int exits = 0;
    while (exits < ends + 3 && ::GetTickCount64() < end) {
      exits = 0;
      for (const LogLine& line : ReadLog(log)) {
        if (line.text == "exit") {
          ++exits;
        } else if (opened.count(line.pid) == 0) {
          opened[line.pid] = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, line.pid);
          rowOf[line.pid] = line.text.substr(line.text.rfind(' ') + 1);
        }
      }
      ::Sleep(5);
    }
    launcher.PressStartStop();
    ::Sleep(1000);
  }
  // Per row, its processes in the order they were created: each one's end
  // to the next one's creation.
  std::map<std::string, std::vector<std::pair<double, double>>> runs;  // row -> (created, ended)
  for (const auto& [pid, process] : opened) {
    FILETIME created{}, exited{}, kernel, user;
    if (process && ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0 &&
        ::GetProcessTimes(process, &created, &exited, &kernel, &user)) {
      runs[rowOf[pid]].emplace_back(Milliseconds(created), Milliseconds(exited));
    }
    if (process) ::CloseHandle(process);
  }
  // Ends before the last row's first start fall in the launch phase, in
  // which nothing is started again.
  double supervising = 0;
  for (auto& [row, times] : runs) {
    std::sort(times.begin(), times.end());
    if (!times.empty()) supervising = std::max(supervising, times.front().first);
  }
  std::vector<double> latencies;
  for (const auto& [row, times] : runs) {
    for (std::size_t i = 1; i < times.size(); ++i) {
      if (times[i - 1].second > supervising) latencies.push_back(times[i].first - times[i - 1].second);
    }
  }
  if (latencies.size() > static_cast<std::size_t>(ends)) latencies.resize(static_cast<std::size_t>(ends));
  const std::string name = "relaunch after an end, over " + std::to_string(latencies.size()) + " ends: ";
  figures.emplace_back(name + "median (ms)", Median(latencies));
  figures.emplace_back(name + "worst (ms)", latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end()));
  EndHelpers();
  ::DeleteFileA(log.c_str());
  ::DeleteFileA(list.c_str());
}

// How long one creation of the helper takes here and now, outside any
// launcher (the median of ten): the share of a relaunch that is the system's.
double CreationMs() {
  std::vector<double> times;
  const std::string recorder = Recorder();
  const std::wstring program(recorder.begin(), recorder.end());
  for (int i = 0; i < 10; ++i) {
    std::wstring commandLine = L" ";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    const double t = NowMs();
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                          nullptr, &si, &pi)) {
      continue;
    }
    times.push_back(NowMs() - t);
    ::TerminateProcess(pi.hProcess, 0);
    ::WaitForSingleObject(pi.hProcess, 5000);
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(pi.hThread);
  }
  return Median(times);
}

// A stop of `n` programs that close on their Ctrl-C, with /g 10 and then
// with /g 0 (ended at once): until every one has ended, how many closed on
// their Ctrl-C, and the window's longest pause meanwhile. The launcher has
// no console, so each program gets one of its own. /g 10 is measured twice:
// with the window shown, and hidden in the tray as an unattended launcher
// runs. Shown, under Wine, enabling the plan chooser again at the stop
// (a style change of its drop-down list, a top-level window) was seen
// waiting seconds on the X server while the programs' console windows exist.
void Grace(const std::string& exe, const std::string& tag, int n, Figures& figures) {
  const std::string log = WorkFile("grace.log"), list = WorkFile("grace.list");
  for (const auto& [grace, hidden] : {std::pair{"10", false}, std::pair{"10", true}, std::pair{"0", false}}) {
    ::DeleteFileA(log.c_str());
    PutFile(list, ListOf(std::vector<std::string>(static_cast<std::size_t>(n), " " + log + " ctrlc"),
                         std::vector<int>(static_cast<std::size_t>(n), 0)));
    const std::string name = std::to_string(n) + " programs closing on Ctrl-C at a stop, /g " + grace +
                             (hidden ? ", window hidden: " : ": ");
    Launcher launcher(exe, list, WorkFile(tag + "-grace-" + grace + ".journal"), "0", std::string(" /g ") + grace,
                      DETACHED_PROCESS);
    if (!launcher.window()) return;
    if (hidden) ::ShowWindow(launcher.window(), SW_HIDE);
    launcher.PressStartStop();
    if (!WaitForLines(log, static_cast<std::size_t>(n))) return;
    ::Sleep(1500);
    std::vector<HANDLE> running;
    for (const LogLine& line : ReadLog(log)) {
      if (HANDLE h = ::OpenProcess(SYNCHRONIZE, FALSE, line.pid)) running.push_back(h);
    }
    IdleWindow idle;
    Pinger pinger(launcher.window(), idle.window());
    const double t0 = NowMs();
    launcher.PressStartStop();
    for (HANDLE h : running) ::WaitForSingleObject(h, 30000);
    const double all = NowMs() - t0;
    ::Sleep(500);
    const std::pair<double, double> longest = pinger.Stop();
    for (HANDLE h : running) ::CloseHandle(h);
    std::size_t closed = 0;
    for (const LogLine& line : ReadLog(log)) closed += line.text.find("ctrl-c") != std::string::npos ? 1 : 0;
    figures.emplace_back(name + "until all have ended (ms)", all);
    figures.emplace_back(name + "closed on their Ctrl-C", static_cast<double>(closed));
    figures.emplace_back(name + "window's longest pause (ms)", longest.first);
    figures.emplace_back(name + "an idle window's longest answer meanwhile (ms)", longest.second);
    EndHelpers();
  }
}

void View(const std::string& exe, const std::string& tag, Figures& figures) {
  const std::string list = WorkFile("view.list");
  PutFile(list, ListOf({" " + WorkFile("view.log") + " sleep"}, {0}));
  Launcher launcher(exe, list, WorkFile(tag + "-view.journal"), "23975");
  Launcher view(exe, "", "", "23975");
  if (!launcher.window() || !view.window()) {
    std::printf("  the view did not open\n");
    return;
  }
  ::Sleep(2000);  // the view's first reads are behind it
  const double cpu = view.CpuMs();
  ::Sleep(10000);
  figures.emplace_back("view: its processor time over 10 s of nothing (% of a core)", (view.CpuMs() - cpu) / 100.0);
  const HWND own = ::GetDlgItem(launcher.window(), kNotifyBox);
  std::vector<double> clicks;
  for (int i = 0; i < 10; ++i) {
    const LRESULT before = ::SendMessageW(own, BM_GETCHECK, 0, 0);
    const double t = NowMs();
    ::SendMessageTimeoutW(::GetDlgItem(view.window(), kNotifyBox), BM_CLICK, 0, 0, SMTO_NORMAL, 10000, nullptr);
    if (!WaitFor([&] { return ::SendMessageW(own, BM_GETCHECK, 0, 0) != before; }, 5000)) break;
    clicks.push_back(NowMs() - t);
    ::Sleep(300);
  }
  figures.emplace_back("view: from a click on its box to the launcher's box following, median (ms)", Median(clicks));
  figures.emplace_back("view: the same, longest of " + std::to_string(clicks.size()) + " (ms)",
                       clicks.empty() ? -1 : *std::max_element(clicks.begin(), clicks.end()));
}

void Service(const std::string& exe, Figures& figures) {
  const std::string list = WorkFile("service.list"), log = WorkFile("service.log");
  ::DeleteFileA(log.c_str());
  PutFile(list, ListOf(std::vector<std::string>(20, " " + log + " sleep"), std::vector<int>(20, 0)));
  const auto run = [&](const std::string& args) {
    std::string commandLine = "\"" + exe + "\" " + args;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return;
    ::WaitForSingleObject(pi.hProcess, 30000);
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(pi.hThread);
  };
  run("/uninstall /p 23976");
  run("/install /p 23976 /f \"" + list + "\" /l \"" + WorkFile("service.journal") + "\"");
  const SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  const SC_HANDLE service = manager ? ::OpenServiceW(manager, L"Morvastel-23976", SERVICE_START) : nullptr;
  const unsigned long long t0 = ::GetTickCount64();
  if (!service || !::StartServiceW(service, 0, nullptr)) {
    std::printf("  the service did not start (%lu)\n", ::GetLastError());
  } else if (WaitForLines(log, 20)) {
    unsigned long long first = ~0ull, last = t0;
    for (const LogLine& line : ReadLog(log)) {
      first = std::min(first, line.ms);
      last = std::max(last, line.ms);
    }
    figures.emplace_back("service: from its start to the first of them running (ms)", static_cast<double>(first - t0));
    figures.emplace_back("service: from its start to 20 programs with delay 0 running (ms)",
                         static_cast<double>(last - t0));
  }
  if (service) ::CloseServiceHandle(service);
  if (manager) ::CloseServiceHandle(manager);
  run("/uninstall /p 23976");
  EndHelpers();
  // The same plan started by the start button of a desktop launcher.
  ::DeleteFileA(log.c_str());
  Launcher launcher(exe, list, WorkFile("desktop-start.journal"));
  if (!launcher.window()) return;
  const unsigned long long t1 = ::GetTickCount64();
  launcher.PressStartStop();
  if (WaitForLines(log, 20)) {
    unsigned long long last = t1;
    for (const LogLine& line : ReadLog(log)) last = std::max(last, line.ms);
    figures.emplace_back("desktop: from the start button to the same 20 running (ms)", static_cast<double>(last - t1));
  }
  EndHelpers();
}

Figures Measure(const std::string& exe, const std::string& tag, const std::vector<int>& bursts, int ends, int grace) {
  Figures figures;
  EndHelpers();
  for (std::size_t i = 0; i < bursts.size(); ++i) Burst(exe, tag, bursts[i], i + 1 == bursts.size(), figures);
  if (ends > 0) {
    Ends(exe, tag, ends, figures);
    figures.emplace_back("the system's part of it: one creation, outside a launcher (ms)", CreationMs());
  }
  if (grace > 0) Grace(exe, tag, grace, figures);
  View(exe, tag, figures);
  Service(exe, figures);
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> exes;
  std::vector<int> bursts;
  int ends = 24;
  int grace = 200;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--burst") == 0 && i + 1 < argc) {
      bursts.push_back(std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--grace") == 0 && i + 1 < argc) {
      grace = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--ends") == 0 && i + 1 < argc) {
      ends = std::atoi(argv[++i]);
    } else {
      exes.push_back(argv[i]);
    }
  }
  if (exes.empty() || exes.size() > 2) {
    std::fprintf(stderr, "usage: window_bench NEW.exe [OLD.exe] [--burst N]... [--ends N] [--grace N]\n");
    return 2;
  }
  if (bursts.empty()) bursts = {30, 1000};
  std::vector<Figures> results;
  for (const std::string& exe : exes) {
    const std::string tag = results.empty() ? "first" : "second";
    std::printf("measuring %s (journals window_bench_%s-*.journal)\n", exe.c_str(), tag.c_str());
    std::fflush(stdout);
    results.push_back(Measure(exe, tag, bursts, ends, grace));
  }
  std::printf("\n%-75s %10s", "figure", "first");
  if (results.size() == 2) std::printf(" %10s %8s", "second", "ratio");
  std::printf("\n");
  for (std::size_t i = 0; i < results[0].size(); ++i) {
    std::printf("%-75s %10.1f", results[0][i].first.c_str(), results[0][i].second);
    if (results.size() == 2 && i < results[1].size()) {
      const double other = results[1][i].second;
      std::printf(" %10.1f %8.3f", other, other > 0 ? results[0][i].second / other : 0.0);
    }
    std::printf("\n");
  }
  return 0;
}
