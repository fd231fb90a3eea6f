// The real program under Wine: started with a launch list of helper
// programs, driven through its window from outside, observed through the
// helpers' logs and exit codes.
#include <windows.h>
#include <aclapi.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "text/encoding.h"
#include "text/format_text.h"
#include "text/texts.h"
#include "control/json_reader.h"
#include "control/status_reading.h"
#include "platform/console_ctrl.h"
#include "platform/wide.h"
#include "runner/process_host.h"

namespace {

constexpr int kList = 1000, kButton = 1002, kRerun = 1006, kNotify = 1007, kInterval = 1008, kChooser = 1004;

// A Unix path as Wine sees it (Z: is the Unix root).
std::string WinPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string FullPath(const std::string& name) {
  char full[MAX_PATH * 4] = {};
  ::GetFullPathNameA(name.c_str(), sizeof full, full, nullptr);
  return full;
}

std::string Helper(const char* exe) { return WinPath(std::string(HELPERS_DIR) + "/" + exe); }

// How long a started program may take to write its first line: Wine on a
// busy machine can take seconds to start a process. WaitFor returns as soon
// as the line is there, so the bound costs nothing when all is well.
constexpr int kFirstLineMs = 15000;

bool WaitFor(const std::function<bool()>& done, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    ::Sleep(20);
  }
  return true;
}

// One line a helper wrote: who started, when, where, with what.
struct LogLine {
  DWORD pid = 0;
  unsigned long long ms = 0;
  std::string cwd, text;
};

std::vector<LogLine> ReadLog(const std::string& path) {
  std::vector<LogLine> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    LogLine l;
    std::string pid, ms;
    if (!std::getline(fields, pid, '\t') || !std::getline(fields, ms, '\t') ||
        !std::getline(fields, l.cwd, '\t')) {
      continue;
    }
    std::getline(fields, l.text);
    l.pid = static_cast<DWORD>(std::stoul(pid));
    l.ms = std::stoull(ms);
    lines.push_back(l);
  }
  return lines;
}

std::vector<DWORD> Pids(const std::string& log) {
  std::vector<DWORD> pids;
  for (const LogLine& l : ReadLog(log)) {
    bool seen = false;
    for (DWORD p : pids) seen = seen || p == l.pid;
    if (!seen) pids.push_back(l.pid);
  }
  return pids;
}

bool Logged(const std::string& log, const std::string& text) {
  for (const LogLine& l : ReadLog(log)) {
    if (l.text == text) return true;
  }
  return false;
}

// Exit code of a process, waiting up to `ms` for it to end; STILL_ACTIVE if not.
DWORD ExitCodeOf(HANDLE process, int ms) {
  ::WaitForSingleObject(process, static_cast<DWORD>(ms));
  DWORD code = STILL_ACTIVE;
  ::GetExitCodeProcess(process, &code);
  return code;
}

HANDLE OpenForWatch(DWORD pid) {
  return ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
}

// Texts are read back wide and turned into GBK with code page 936, so they
// compare with the texts table on whatever code page the test runs.
std::string Text(HWND hwnd) {
  wchar_t text[256] = {};
  ::SendMessageTimeoutW(hwnd, WM_GETTEXT, sizeof text / sizeof text[0], reinterpret_cast<LPARAM>(text),
                        SMTO_BLOCK, 5000, nullptr);
  return Narrow(text);
}

// A cell of another process's list view: the item record and the text
// buffer must live in that process, so both go through its memory.
std::string RemoteListCell(HANDLE process, HWND list, int row, int column) {
  constexpr SIZE_T kText = 512;
  char* remote = static_cast<char*>(::VirtualAllocEx(process, nullptr, sizeof(LVITEMW) + kText * sizeof(wchar_t),
                                                     MEM_COMMIT, PAGE_READWRITE));
  if (!remote) return "<no memory>";
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(LVITEMW));
  item.cchTextMax = kText;
  ::WriteProcessMemory(process, remote, &item, sizeof item, nullptr);
  ::SendMessageTimeoutW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(remote),
                        SMTO_BLOCK, 5000, nullptr);
  wchar_t text[kText] = {};
  ::ReadProcessMemory(process, remote + sizeof(LVITEMW), text, (kText - 1) * sizeof(wchar_t), nullptr);
  ::VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  return Narrow(text);
}

std::string ChooserText(HWND chooser, int index) {
  wchar_t text[256] = {};
  ::SendMessageW(chooser, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
  return Narrow(text);
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A file named in UTF-16, for folders GBK has no name for.
std::string FileBytes(const std::wstring& path) {
  std::string bytes;
  if (std::FILE* file = _wfopen(path.c_str(), L"rb")) {
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, got);
    std::fclose(file);
  }
  return bytes;
}

// The journal's lines, each split at its TABs (time, event, plan, row,
// program, process id, detail), CR LF removed.
template <typename Path>
std::vector<std::vector<std::string>> JournalLines(const Path& path) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(FileBytes(path));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields(1);
    for (char c : line) {
      if (c == '\t') fields.emplace_back(); else fields.back() += c;
    }
    if (fields.size() == 7) lines.push_back(fields);
  }
  return lines;
}

// The program under test.
class Program {
 public:
  // With a `job`, the program runs in it from its first instruction.
  Program(const std::string& listBytes, std::vector<std::string> args, const char* name, DWORD flags = 0,
          HANDLE job = nullptr)
      : title_(std::string("e2e-") + name) {
    const std::string list = std::string(name) + ".list";
    std::ofstream(list, std::ios::binary) << listBytes;
    std::wstring tail = L" /n " + Wide(title_) + L" /f " + Wide(FullPath(list));
    for (const std::string& a : args) tail += L" " + Wide(a);
    Start(L"\"" + Wide(WinPath(MORVASTEL_EXE)) + L"\"" + tail, flags, job);
  }
  // The whole command line as given, program included; the window is the
  // one with `caption`.
  Program(const std::wstring& commandLine, std::string caption, DWORD flags = 0) : title_(std::move(caption)) {
    Start(commandLine, flags);
  }
  ~Program() {
    if (started_) {
      // Its end is waited for: a creation it had under way is then whole,
      // and the next test's sweep of helpers finds what it left.
      if (ExitCodeOf(pi_.hProcess, 0) == STILL_ACTIVE) {
        ::TerminateProcess(pi_.hProcess, 1);
        ::WaitForSingleObject(pi_.hProcess, 5000);
      }
      ::CloseHandle(pi_.hProcess);
      ::CloseHandle(pi_.hThread);
    }
  }

  HWND dialog() const { return dialog_; }
  HANDLE process() const { return pi_.hProcess; }
  HWND Item(int id) const { return ::GetDlgItem(dialog_, id); }
  void Click(int id) const {
    ::SendMessageTimeoutA(Item(id), BM_CLICK, 0, 0, SMTO_BLOCK, 10000, nullptr);
  }
  // A button's command, as a click sends it; works while the window is hidden.
  void Command(int id) const {
    ::SendMessageTimeoutA(dialog_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Item(id)),
                          SMTO_BLOCK, 10000, nullptr);
  }
  void SetInterval(const char* text) const {
    ::SendMessageTimeoutA(Item(kInterval), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text), SMTO_BLOCK, 5000,
                          nullptr);
  }
  bool Running() const { return Text(Item(kButton)) == texts::kStopPlan; }
  void PressEscape() const {
    ::PostMessageA(Item(kButton), WM_KEYDOWN, VK_ESCAPE, 0);
    ::PostMessageA(Item(kButton), WM_KEYUP, VK_ESCAPE, 0);
  }

 private:
  void Start(std::wstring commandLine, DWORD flags, HANDLE job = nullptr) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    // A priority class is set before the program runs (Wine does not take
    // it from the creation flags).
    started_ = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, flags | CREATE_SUSPENDED,
                                nullptr, nullptr, &si, &pi_) != 0;
    if (!started_) return;
    if ((flags & ~static_cast<DWORD>(DETACHED_PROCESS)) != 0) {
      ::SetPriorityClass(pi_.hProcess, flags & ~static_cast<DWORD>(DETACHED_PROCESS));
    }
    if (job != nullptr) ::AssignProcessToJobObject(job, pi_.hProcess);
    ::ResumeThread(pi_.hThread);
    const std::wstring caption = Wide(title_);
    WaitFor([&] { return (dialog_ = ::FindWindowW(nullptr, caption.c_str())) != nullptr; }, 15000);
  }

  std::string title_;
  PROCESS_INFORMATION pi_{};
  bool started_ = false;
  HWND dialog_ = nullptr;
};

// The processes of the program file `exe` that run now in this Wine prefix,
// by id, lowest first.
std::vector<DWORD> Running(const wchar_t* exe) {
  std::vector<DWORD> pids;
  const ScopedSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W process{};
  process.dwSize = sizeof process;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &process); more;
       more = ::Process32NextW(snapshot.get(), &process)) {
    if (_wcsicmp(process.szExeFile, exe) != 0) continue;
    // One that has ended may still be listed while a handle holds it.
    if (HANDLE h = OpenForWatch(process.th32ProcessID)) {
      if (ExitCodeOf(h, 0) == STILL_ACTIVE) pids.push_back(process.th32ProcessID);
      ::CloseHandle(h);
    }
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

// Ends every helper program still running in this Wine prefix: a launcher
// takes over a program it finds running in its row's folder, so what an
// earlier test left behind would become the next test's program. Returns
// how many it ended.
int EndHelpers() {
  int ended = 0;
  for (const wchar_t* helper : {L"recorder.exe", L"Malvoryn.exe", L"Corvellinex.exe", L"WerFault.exe"}) {
    for (DWORD pid : Running(helper)) {
      if (HANDLE h = OpenForWatch(pid)) {
        ++ended;
        ::TerminateProcess(h, 0);
        ::WaitForSingleObject(h, 5000);
        ::CloseHandle(h);
      }
    }
  }
  return ended;
}

// Every test starts with none left running, whatever an earlier one left
// (said, as a clue to a test or a launcher that leaves one), and none is left
// for the next test program in this prefix.
class EndHelpersFirst : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo& test) override {
    if (const int ended = EndHelpers()) std::printf("before %s: ended %d helper(s) left running\n", test.name(), ended);
  }
  void OnTestProgramEnd(const ::testing::UnitTest&) override {
    if (const int ended = EndHelpers()) std::printf("at the end: ended %d helper(s) left running\n", ended);
  }
};
const bool kEndHelpersFirst =
    (::testing::UnitTest::GetInstance()->listeners().Append(new EndHelpersFirst), true);

// Whether every one of `pids` has ended with `code`, waiting up to `ms` for each.
bool AllEndedWith(const std::vector<DWORD>& pids, DWORD code, int ms) {
  bool all = !pids.empty();
  for (DWORD pid : pids) {
    const HANDLE h = OpenForWatch(pid);
    const DWORD exit = h ? ExitCodeOf(h, ms) : code;  // one already gone cannot be opened
    if (h) ::CloseHandle(h);
    all = all && exit == code;
  }
  return all;
}

// The journal lines whose event word is `word`.
int JournalCount(const std::string& journal, const char* word) {
  int n = 0;
  for (const auto& fields : JournalLines(journal)) n += fields[1] == word;
  return n;
}

// The process id and the detail of each journal line whose event word is `word`.
using Events = std::vector<std::pair<std::string, std::string>>;
Events JournalEvents(const std::string& journal, const char* word) {
  Events events;
  for (const auto& fields : JournalLines(journal)) {
    if (fields[1] == word) events.emplace_back(fields[5], fields[6]);
  }
  return events;
}

// A program line for a helper: enabled, exe, directory, command line, delay.
std::string Line(int enabled, const std::string& exe, const std::string& args, int delay) {
  return std::to_string(enabled) + " " + exe + " " + WinPath(HELPERS_DIR) + " [" + args + "] " +
         std::to_string(delay) + "\r\n";
}

std::string FreshLog(const char* name) {
  const std::string path = FullPath(std::string(name) + ".log");
  ::DeleteFileA(path.c_str());
  return path;
}

void TerminateAll(const std::vector<DWORD>& pids) {
  for (DWORD pid : pids) {
    if (HANDLE h = OpenForWatch(pid)) {
      ::TerminateProcess(h, 0);
      ::CloseHandle(h);
    }
  }
}


// What morvastelctl did: its exit code and what it wrote (UTF-8).
struct CtlRun {
  DWORD code = STILL_ACTIVE;
  std::string out, err;
};

// Runs a console program (morvastelctl, or the launcher's /install) with GBK
// arguments, passed wide so that they arrive whole on any code page, its
// output into files. A run that has not
// ended after 30 s, past its own 20 s limit on the launcher's answer, is
// ended, said, and made once more: under Wine a run was once seen to hang
// past that limit without its request ever reaching the launcher.
CtlRun RunConsole(const std::string& exe, const std::vector<std::string>& args, bool again = true) {
  std::wstring line = L"\"" + Wide(WinPath(exe)) + L"\"";
  for (const std::string& a : args) line += L" \"" + Wide(a) + L"\"";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  // Files of their own for every run: Wine closes an ended process's handles
  // a little after its end, and a reused file could still be held.
  static int runs = 0;
  const std::string name = "ctl-" + std::to_string(++runs);
  const std::string outPath = FullPath(name + ".out"), errPath = FullPath(name + ".err");
  const auto open = [&](const std::string& path) {
    return ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  };
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = open(outPath);
  si.hStdError = open(errPath);
  PROCESS_INFORMATION pi{};
  CtlRun run;
  if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
    run.code = ExitCodeOf(pi.hProcess, 30000);
    if (run.code == STILL_ACTIVE) ::TerminateProcess(pi.hProcess, 1);
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(pi.hThread);
  }
  ::CloseHandle(si.hStdOutput);
  ::CloseHandle(si.hStdError);
  run.out = FileBytes(outPath);
  run.err = FileBytes(errPath);
  if (run.code == STILL_ACTIVE && again) {
    std::printf("%s hung (it wrote \"%s\"), run again\n", Narrow(line).c_str(), run.err.c_str());
    return RunConsole(exe, args, false);
  }
  return run;
}
CtlRun Ctl(const std::vector<std::string>& args, bool again = true) { return RunConsole(MORVASTELCTL_EXE, args, again); }

// A Windows path under Z: as Linux names it.
std::string UnixPath(std::string path) {
  if (path.rfind("Z:", 0) == 0) path.erase(0, 2);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

// The status object as Python's json reads it: each value by its path
// ("plans.0.programs.1.pid"), UTF-8; "error" when it is not JSON.
std::map<std::string, std::string> ReadByPython(const std::string& json) {
  const std::string in = FullPath("status.json"), out = FullPath("status.txt");
  std::ofstream(in, std::ios::binary) << json;
  ::DeleteFileA(out.c_str());
  std::string command = "Z:\\usr\\bin\\python3 \"" + std::string(STATUS_JSON_PY) + "\" \"" + UnixPath(in) +
                        "\" \"" + UnixPath(out) + "\"";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::map<std::string, std::string> values;
  // Wine starts a Linux program without a process handle to wait on: its
  // output file appears whole when it is done.
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) ||
      !WaitFor([&] { return ::GetFileAttributesA(out.c_str()) != INVALID_FILE_ATTRIBUTES; }, 15000)) {
    values["error"] = "python3 did not run: " + std::to_string(::GetLastError());
    return values;
  }
  std::istringstream lines(FileBytes(out));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

// Writes `request` (nothing at all when null) straight to the control pipe
// and returns the reply, or "" when the launcher closed the pipe instead.
std::string RawRequest(const std::string& port, const std::string* request) {
  const std::wstring name = L"\\\\.\\pipe\\morvastel-" + Wide(port);
  HANDLE pipe = INVALID_HANDLE_VALUE;
  WaitFor([&] {
    pipe = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return pipe != INVALID_HANDLE_VALUE;
  }, 10000);
  if (pipe == INVALID_HANDLE_VALUE) return "<no pipe>";
  DWORD mode = PIPE_READMODE_MESSAGE, bytes = 0;
  ::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
  if (request) ::WriteFile(pipe, request->data(), static_cast<DWORD>(request->size()), &bytes, nullptr);
  char reply[4096];
  std::string text;
  if (::ReadFile(pipe, reply, sizeof reply, &bytes, nullptr)) text.assign(reply, bytes);
  ::CloseHandle(pipe);
  return text;
}
}  // namespace

TEST(Program, LaunchesAfterTheDelaysThenRelaunchesWhatExits) {
  const std::string a = FreshLog("delay-a"), b = FreshLog("delay-b"), c = FreshLog("delay-c");
  const std::string list = "::p\r\n" + Line(1, Helper("recorder.exe"), a + " sleep", 0) +
                           Line(1, Helper("recorder.exe"), b + " sleep", 0) +
                           Line(1, Helper("recorder.exe"), c + " exit 200", 2) + "\r\n";
  Program program(list, {"/p", "0"}, "delays");
  ASSERT_NE(program.dialog(), nullptr);
  program.Click(kButton);
  ASSERT_TRUE(program.Running());
  ASSERT_TRUE(WaitFor([&] { return !ReadLog(a).empty() && !ReadLog(b).empty(); }, kFirstLineMs));
  ASSERT_TRUE(WaitFor([&] { return !ReadLog(c).empty(); }, kFirstLineMs));
  const LogLine first = ReadLog(a)[0], third = ReadLog(c)[0];
  // Delay 2: launched on the second tick, two seconds after the start.
  EXPECT_GE(third.ms, first.ms + 1500);
  EXPECT_LE(third.ms, first.ms + 3500);
  // The program started in its run directory, with the stored command line.
  EXPECT_EQ(first.cwd, WinPath(HELPERS_DIR));
  EXPECT_EQ(first.text, " " + a + " sleep");
  // It exits after 200 ms and is back within about a tick, with a new id.
  ASSERT_TRUE(WaitFor([&] { return Pids(c).size() >= 2; }, 4000));
  const std::vector<LogLine> runs = ReadLog(c);
  EXPECT_NE(runs[0].pid, runs[1].pid);
  EXPECT_LE(runs[1].ms, runs[0].ms + 200 + 2500);

  program.Click(kButton);  // stop: notify on, nothing here is exempt
  EXPECT_FALSE(program.Running());
  for (const std::string* log : {&a, &b}) {
    HANDLE h = OpenForWatch(ReadLog(*log)[0].pid);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ExitCodeOf(h, 5000), 111u);
    ::CloseHandle(h);
  }
}

TEST(Program, AnEndedProgramIsStartedAgainAtOnceButNoRowMoreThanOnceASecond) {
  const std::string run = FreshLog("soon-run"), quick = FreshLog("soon-quick");
  // One runs 1.2 s and exits; one exits at once.
  const std::string list = "::p\r\n" + Line(1, Helper("recorder.exe"), run + " exit 1200", 0) +
                           Line(1, Helper("recorder.exe"), quick + " exit 0", 0) + "\r\n";
  Program program(list, {"/p", "0"}, "relaunch-soon");
  ASSERT_NE(program.dialog(), nullptr);
  program.Click(kButton);
  ASSERT_TRUE(WaitFor([&] { return ReadLog(run).size() >= 4 && ReadLog(quick).size() >= 4; }, 15000));
  program.Click(kButton);
  // Back well within a second of its end: from one start to the next, 1.2 s
  // and a little, where waiting for the next tick makes 2 s. The median, as
  // a loaded machine may delay one start by hundreds of milliseconds.
  const std::vector<LogLine> runs = ReadLog(run);
  std::vector<unsigned long long> gaps;
  for (std::size_t i = 1; i < runs.size(); ++i) gaps.push_back(runs[i].ms - runs[i - 1].ms);
  std::sort(gaps.begin(), gaps.end());
  EXPECT_LT(gaps[gaps.size() / 2], 1200u + 500u);
  // Started once a second, never sooner. The times are each process's own
  // first moment, which Wine's start-up moves by up to some 100 ms either
  // way: each gap is far above what no floor gives (a few ms), and the run
  // as a whole keeps to one start a second.
  const std::vector<LogLine> quicks = ReadLog(quick);
  for (std::size_t i = 1; i < quicks.size(); ++i) {
    EXPECT_GE(quicks[i].ms, quicks[i - 1].ms + 700) << "start " << i;
  }
  EXPECT_GE(quicks.back().ms - quicks.front().ms, (quicks.size() - 1) * 1000 - 200);
}

TEST(Program, StopSendsTheNoticeAndSparesTheCooperatingServers) {
  const std::string m = FreshLog("stop-m"), k = FreshLog("stop-k"), o = FreshLog("stop-o");
  // Malvoryn takes half a second to save.
  const std::string list = "::p\r\n" + Line(1, Helper("Malvoryn.exe"), m + " listen 33333 500", 0) +
                           Line(1, Helper("Corvellinex.exe"), k + " listen 33334", 0) +
                           Line(1, Helper("recorder.exe"), o + " sleep", 0) + "\r\n";
  const std::string journal = FreshLog("stop-journal");
  Program program(list, {"/p", "0", "/l", journal}, "notify-on");
  ASSERT_NE(program.dialog(), nullptr);
  program.Click(kButton);
  ASSERT_TRUE(WaitFor([&] { return Logged(m, "listening") && Logged(k, "listening") && !ReadLog(o).empty(); },
                      5000));
  HANDLE hm = OpenForWatch(ReadLog(m)[0].pid), hk = OpenForWatch(ReadLog(k)[0].pid),
         ho = OpenForWatch(ReadLog(o)[0].pid);
  program.Click(kButton);
  // The cooperating servers heard the notice and left by themselves.
  EXPECT_EQ(ExitCodeOf(hm, 5000), 0u);
  EXPECT_EQ(ExitCodeOf(hk, 5000), 0u);
  EXPECT_TRUE(Logged(m, "notice"));
  EXPECT_TRUE(Logged(k, "notice"));
  EXPECT_EQ(ExitCodeOf(ho, 5000), 111u);
  for (HANDLE h : {hm, hk, ho}) ::CloseHandle(h);
  // The journal reports the saving server's own end after the stop, after
  // it was spared.
  const std::string pid = std::to_string(ReadLog(m)[0].pid), ended = FormatText(texts::kDetailExit, "0", "%");
  std::vector<std::string> words;
  EXPECT_TRUE(WaitFor(
      [&] {
        words.clear();
        for (const auto& fields : JournalLines(journal)) {
          if (fields[5] == pid && (fields[1] != texts::kEvProgramEnded ||
                                   fields[6].rfind(ended.substr(0, ended.find('%')), 0) == 0)) {
            words.push_back(fields[1]);
          }
        }
        return words.size() == 3;
      },
      5000));
  EXPECT_EQ(words, (std::vector<std::string>{texts::kEvProgramLaunched, texts::kEvProgramSpared,
                                             texts::kEvProgramEnded}));
}

TEST(Program, TheEndOfTheSessionStopsThePlanAsTheButtonAndWaitsForTheSavingServersWithinItsTime) {
  const std::string m = FreshLog("session-m"), k = FreshLog("session-k"), o = FreshLog("session-o");
  // Malvoryn takes a second to save, Corvellinex ten: longer than Windows waits.
  const std::string list = "::p\r\n" + Line(1, Helper("Malvoryn.exe"), m + " listen 33333 1000", 0) +
                           Line(1, Helper("Corvellinex.exe"), k + " listen 33334 10000", 0) +
                           Line(1, Helper("recorder.exe"), o + " deaf", 0) + "\r\n";
  const std::string journal = FreshLog("session-journal"), metrics = FullPath("session.prom");
  ::DeleteFileA(metrics.c_str());
  // With a grace of 30 s the program that ignores its Ctrl-C is asked, and
  // ended within the end's time all the same.
  Program program(list, {"/p", "0", "/l", journal, "/m", metrics, "/g", "30"}, "session");
  ASSERT_NE(program.dialog(), nullptr);
  program.Click(kButton);
  ASSERT_TRUE(WaitFor([&] { return Logged(m, "listening") && Logged(k, "listening") && !ReadLog(o).empty(); },
                      kFirstLineMs));
  HANDLE hm = OpenForWatch(ReadLog(m)[0].pid), hk = OpenForWatch(ReadLog(k)[0].pid);
  HANDLE ho = OpenForWatch(ReadLog(o)[0].pid);
  const auto send = [&](UINT msg, WPARAM wParam) {
    DWORD_PTR answer = 0;
    ::SendMessageTimeoutW(program.dialog(), msg, wParam, ENDSESSION_LOGOFF, SMTO_BLOCK, 15000, &answer);
    return answer;
  };
  // A cancelled end changes nothing.
  EXPECT_EQ(send(WM_QUERYENDSESSION, 0), static_cast<DWORD_PTR>(TRUE));
  send(WM_ENDSESSION, FALSE);
  EXPECT_TRUE(program.Running());
  EXPECT_EQ(ExitCodeOf(hm, 0), STILL_ACTIVE);
  // The real end: the notice, the saving servers spared and waited for, the
  // rest terminated, the journal written out, and the launcher gone, all
  // answered within the end's 4.5 s of the 5 s Windows gives, on a machine
  // kept busy meanwhile.
  EXPECT_EQ(send(WM_QUERYENDSESSION, 0), static_cast<DWORD_PTR>(TRUE));
  std::atomic<bool> busy{true};
  std::vector<std::thread> burners;
  for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i) {
    burners.emplace_back([&busy] {
      for (volatile unsigned n = 0; busy; n = n + 1) {
      }
    });
  }
  const auto sent = std::chrono::steady_clock::now();
  send(WM_ENDSESSION, TRUE);
  const auto answeredMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent).count();
  busy = false;
  for (std::thread& burner : burners) burner.join();
  EXPECT_LT(answeredMs, 4500);
  EXPECT_EQ(ExitCodeOf(hm, 0), 0u);
  EXPECT_EQ(ExitCodeOf(hk, 0), STILL_ACTIVE);  // still saving: not waited for past the end's time
  EXPECT_TRUE(Logged(m, "notice") && Logged(k, "notice"));
  EXPECT_EQ(ExitCodeOf(ho, 5000), 111u);
  EXPECT_NE(ExitCodeOf(program.process(), 10000), STILL_ACTIVE);
  ::TerminateProcess(hk, 0);  // its save is not what this test waits for
  for (HANDLE h : {hm, hk, ho}) ::CloseHandle(h);
  std::vector<std::string> words;
  const auto lines = JournalLines(journal);
  for (const auto& fields : lines) {
    if (fields[1] == texts::kEvPlanStopped) {
      EXPECT_EQ(fields[6], texts::kSourceSessionEnd);
    }
    if (fields[1] == texts::kEvPlanStopped || fields[5] == std::to_string(ReadLog(m)[0].pid) ||
        fields[1] == texts::kEvLauncherEnded) {
      words.push_back(fields[1]);
    }
  }
  EXPECT_EQ(words, (std::vector<std::string>{texts::kEvProgramLaunched, texts::kEvProgramSpared, texts::kEvPlanStopped,
                                             texts::kEvProgramEnded, texts::kEvLauncherEnded}));
  // The last line says what the end waited for and what it cut short.
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back()[1], texts::kEvLauncherEnded);
  const std::string cut = FormatText(texts::kDetailEndSparedCut, 2ll, 1ll, "\x01");
  EXPECT_NE(lines.back()[6].find(cut.substr(0, cut.find('\x01'))), std::string::npos) << lines.back()[6];
  EXPECT_NE(lines.back()[6].find(texts::kDetailEndMetricsWritten), std::string::npos) << lines.back()[6];
  // The metrics' last word: the launcher and its programs are down.
  const std::string text = FileBytes(metrics);
  EXPECT_NE(text.find("\nmorvastel_launcher_up{port=\"0\"} 0\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("\nmorvastel_launcher_up{port=\"0\"} 1\n"), std::string::npos);
}

TEST(Program, MetricsThatCannotBeWrittenAreJournalledOnceAndSoIsTheRecovery) {
  // A file stands where the metrics file's folder should be.
  const std::string blocker = FullPath("metrics-blocked");
  ::DeleteFileA((blocker + "\\m.prom").c_str());
  ::RemoveDirectoryA(blocker.c_str());
  std::ofstream(blocker, std::ios::binary) << "x";
  const std::string journal = FreshLog("metrics-journal");
  Program program("::p\r\n" + Line(1, Helper("recorder.exe"), "x sleep", 0) + "\r\n",
                  {"/p", "0", "/l", journal, "/m", blocker + "\\m.prom"}, "metrics-blocked");
  ASSERT_NE(program.dialog(), nullptr);
  const auto count = [&](const char* word) {
    int n = 0;
    for (const auto& fields : JournalLines(journal)) n += fields[1] == word && fields[4] == blocker + "\\m.prom";
    return n;
  };
  ASSERT_TRUE(WaitFor([&] { return count(texts::kEvMetricsFailed) == 1; }, 5000));
  ::DeleteFileA(blocker.c_str());  // now the folder can be made
  EXPECT_TRUE(WaitFor([&] { return count(texts::kEvMetricsRecovered) == 1; }, 5000));
  EXPECT_EQ(count(texts::kEvMetricsFailed), 1);  // tried every second, said once
  EXPECT_NE(::GetFileAttributesA((blocker + "\\m.prom").c_str()), INVALID_FILE_ATTRIBUTES);
  // The list's line at the start: read, one plan.
  bool listed = false;
  for (const auto& fields : JournalLines(journal)) {
    listed = listed || (fields[1] == texts::kEvListRead && fields[6] == FormatText(texts::kDetailListRead, 1ll));
  }
  EXPECT_TRUE(listed);
}

TEST(Program, StopWithNotifyOffTerminatesEveryoneAndSendsNothing) {
  const std::string m = FreshLog("off-m"), o = FreshLog("off-o");
  const std::string list = "::p\r\n" + Line(1, Helper("Malvoryn.exe"), m + " listen 33333", 0) +
                           Line(1, Helper("recorder.exe"), o + " sleep", 0) + "\r\n";
  Program program(list, {"/p", "0"}, "notify-off");
  ASSERT_NE(program.dialog(), nullptr);
  program.Click(kNotify);  // untick: no notice, nobody spared
  program.Click(kButton);
  ASSERT_TRUE(WaitFor([&] { return Logged(m, "listening") && !ReadLog(o).empty(); }, 5000));
  HANDLE hm = OpenForWatch(ReadLog(m)[0].pid), ho = OpenForWatch(ReadLog(o)[0].pid);
  program.Click(kButton);
  EXPECT_EQ(ExitCodeOf(hm, 5000), 111u);
  EXPECT_EQ(ExitCodeOf(ho, 5000), 111u);
  EXPECT_FALSE(Logged(m, "notice"));
  for (HANDLE h : {hm, ho}) ::CloseHandle(h);
}

TEST(Program, SilentProgramIsKilledAfterTheIntervalWithTheErrorReporter) {
  // An error reporter left behind by a hang, as the test's own child.
  std::string werCommand = "\"" + Helper("WerFault.exe") + "\"";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION wer{};
  ASSERT_TRUE(::CreateProcessA(nullptr, werCommand.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &wer));

  const std::string s = FreshLog("hang-s"), t = FreshLog("hang-t"), q = FreshLog("hang-q"), e = FreshLog("hang-e");
  const std::string journal = FreshLog("hang-journal");
  // Two that send heartbeats every 200 ms for 1 s, then fall silent together
  // (their dumps are written in turn); a quiet neighbour that never sends one
  // is never judged hung; a fourth that exits with code 7.
  const std::string list = "::p\r\n" + Line(1, Helper("recorder.exe"), s + " beat 23481 200 1000", 0) +
                           Line(1, Helper("recorder.exe"), t + " beat 23481 200 1000", 0) +
                           Line(1, Helper("recorder.exe"), q + " sleep", 0) +
                           Line(1, Helper("recorder.exe"), e + " exit 3000 7", 0) + "\r\n";
  const std::string dumps = FullPath("hang-dumps");
  ::CreateDirectoryA(dumps.c_str(), nullptr);
  WIN32_FIND_DATAA found;
  for (HANDLE old = ::FindFirstFileA((dumps + "\\*.dmp").c_str(), &found); old != INVALID_HANDLE_VALUE;
       old = INVALID_HANDLE_VALUE) {
    do ::DeleteFileA((dumps + "\\" + found.cFileName).c_str()); while (::FindNextFileA(old, &found));
    ::FindClose(old);
  }
  Program program(list, {"/p", "23481", "/l", journal, "/d", dumps}, "hang");
  ASSERT_NE(program.dialog(), nullptr);
  program.SetInterval("15");
  program.Click(kButton);
  ASSERT_TRUE(WaitFor([&] { return !ReadLog(s).empty() && !ReadLog(t).empty() && !ReadLog(q).empty(); }, kFirstLineMs));
  HANDLE hs = OpenForWatch(ReadLog(s)[0].pid), ht = OpenForWatch(ReadLog(t)[0].pid);
  HANDLE hq = OpenForWatch(ReadLog(q)[0].pid);
  const ULONGLONG started = ::GetTickCount64();
  // The status column, read from outside: the quiet one runs.
  EXPECT_EQ(RemoteListCell(program.process(), program.Item(kList), 2, 4),
            FormatText(texts::kStatusRunning, static_cast<unsigned>(ReadLog(q)[0].pid)));
  // Silent from about 1 s on; stale once more than 15 s old; dumped, then
  // killed. The window answers all along, the dumps being written off its thread.
  ULONGLONG longestPause = 0;
  while ((ExitCodeOf(hs, 50) == STILL_ACTIVE || ExitCodeOf(ht, 0) == STILL_ACTIVE) &&
         ::GetTickCount64() - started < 60000) {
    const ULONGLONG asked = ::GetTickCount64();
    ::SendMessageTimeoutA(program.dialog(), WM_NULL, 0, 0, SMTO_BLOCK, 10000, nullptr);
    longestPause = std::max(longestPause, ::GetTickCount64() - asked);
  }
  EXPECT_EQ(ExitCodeOf(hs, 0), 111u);
  EXPECT_EQ(ExitCodeOf(ht, 0), 111u);
  const ULONGLONG killedAfter = ::GetTickCount64() - started;
  EXPECT_GE(killedAfter, 15000u);
  EXPECT_LT(longestPause, 2000u) << "the window stalled while the dump was written";
  std::printf("hang kill after %llu ms; the window's longest pause meanwhile: %llu ms\n",
              static_cast<unsigned long long>(killedAfter), static_cast<unsigned long long>(longestPause));
  // A dump of each, named after the program and its id, a minidump by its signature.
  std::vector<std::string> files;
  for (HANDLE dir = ::FindFirstFileA((dumps + "\\*").c_str(), &found); dir != INVALID_HANDLE_VALUE;
       dir = INVALID_HANDLE_VALUE) {
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(found.cFileName);
    } while (::FindNextFileA(dir, &found));
    ::FindClose(dir);
  }
  ASSERT_EQ(files.size(), 2u);
  for (const std::string& log : {s, t}) {
    const std::string prefix = "recorder.exe_" + std::to_string(ReadLog(log)[0].pid) + "_";
    const auto file =
        std::find_if(files.begin(), files.end(), [&](const std::string& f) { return f.rfind(prefix, 0) == 0; });
    ASSERT_NE(file, files.end()) << prefix;
    char signature[4] = {};
    std::ifstream(dumps + "\\" + *file, std::ios::binary).read(signature, 4);
    EXPECT_EQ(std::string(signature, 4), "MDMP");
  }
  EXPECT_EQ(ExitCodeOf(wer.hProcess, 2000), 111u);
  EXPECT_EQ(ExitCodeOf(hq, 0), static_cast<DWORD>(STILL_ACTIVE));
  // The rerun pass brings the killed programs back.
  EXPECT_TRUE(WaitFor([&] { return Pids(s).size() >= 2 && Pids(t).size() >= 2; }, 4000));

  program.Click(kButton);
  TerminateAll(Pids(s));
  TerminateAll(Pids(t));
  for (HANDLE h : {hs, ht, hq, wer.hProcess, wer.hThread}) ::CloseHandle(h);

  // The journal tells the same story: the exit with its code, the kill, the
  // stop. Its writer is a thread of its own: the stop's line comes last.
  std::vector<std::vector<std::string>> lines;
  EXPECT_TRUE(WaitFor(
      [&] {
        lines = JournalLines(journal);
        return !lines.empty() && lines.back()[1] == texts::kEvPlanStopped;
      },
      5000));
  const auto count = [&](const char* word, const std::string& pid, const std::string& detail) {
    int n = 0;
    for (const auto& fields : lines) {
      n += fields[1] == word && (pid.empty() || fields[5] == pid) && fields[6].rfind(detail, 0) == 0;
    }
    return n;
  };
  const std::string exitDetail = FormatText(texts::kDetailExit, "7", "%");
  EXPECT_GE(count(texts::kEvProgramExited, "", exitDetail.substr(0, exitDetail.find('%'))), 1);
  // Each silent program: killed once, its dump written (with its file) and
  // none reported failed.
  for (const std::string& log : {s, t}) {
    const std::string pid = std::to_string(ReadLog(log)[0].pid);
    EXPECT_EQ(count(texts::kEvHangKilled, pid, ""), 1);
    EXPECT_EQ(count(texts::kEvDumpWritten, pid, dumps + "\\recorder.exe_" + pid + "_"), 1);
  }
  EXPECT_EQ(count(texts::kEvDumpFailed, "", ""), 0);
  EXPECT_EQ(count(texts::kEvErrorReporterKilled, std::to_string(wer.dwProcessId), ""), 1);
  EXPECT_EQ(count(texts::kEvProgramTerminated, std::to_string(ReadLog(q)[0].pid), ""), 1);
  EXPECT_EQ(count(texts::kEvPlanStopped, "", ""), 1);
}

TEST(Program, AQuickRestartLetsASavingServerFinishItsSaveAndRelaunchesItAfter) {
  // Heartbeats every 0.5 s until the notice, then a silent save longer than
  // the interval and an exit of its own.
  const std::string m = FreshLog("restart-m"), metrics = FullPath("restart.prom");
  ::DeleteFileA(metrics.c_str());
  const std::string list = "::p\r\n" + Line(1, Helper("Malvoryn.exe"), m + " save 23482 500 18000", 0) + "\r\n";
  Program program(list, {"/p", "23482", "/m", metrics}, "restart");
  ASSERT_NE(program.dialog(), nullptr);
  program.SetInterval("15");
  program.Click(kButton);
  // Its heartbeats are in the launcher's table before the stop.
  ASSERT_TRUE(WaitFor(
      [&] {
        std::ifstream in(metrics, std::ios::binary);
        const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const char* const name = "\nmorvastel_heartbeats_received_total{port=\"23482\"} ";
        const std::size_t at = all.find(name);
        return at != std::string::npos && std::atoi(all.c_str() + at + std::strlen(name)) >= 2;
      },
      5000));
  ASSERT_FALSE(ReadLog(m).empty());
  HANDLE server = OpenForWatch(ReadLog(m)[0].pid);
  program.Click(kButton);  // stop with the notice: it starts saving
  ASSERT_TRUE(WaitFor([&] { return Logged(m, "saving"); }, 5000));
  ::Sleep(500);
  program.Click(kButton);  // started again while it saves
  ASSERT_TRUE(program.Running());
  // The save ends in its own time; the program is not killed as hung.
  EXPECT_EQ(ExitCodeOf(server, 25000), 0u);
  EXPECT_TRUE(Logged(m, "saved"));
  ::CloseHandle(server);
  // Then it is relaunched like any program that exits.
  EXPECT_TRUE(WaitFor([&] { return Pids(m).size() >= 2; }, 3000));
  program.Click(kNotify);
  program.Click(kButton);
  TerminateAll(Pids(m));
}

TEST(Program, ANextPlanWithTheSameServerKeepsItWhileItSavesNeverTwoAndRelaunchesItAfter) {
  // Two plans run the same cooperating server, which saves for 3 s after the notice.
  const std::string m = FreshLog("twoplans-m"), journal = FreshLog("twoplans-journal"), port = "23485";
  const std::string row = Line(1, Helper("Malvoryn.exe"), m + " save " + port + " 200 3000", 0);
  Program program("::a\r\n" + row + "::b\r\n" + row + "\r\n", {"/p", port, "/l", journal}, "twoplans");
  ASSERT_NE(program.dialog(), nullptr);
  program.Click(kButton);  // plan a
  ASSERT_TRUE(WaitFor([&] { return Logged(m, "listening"); }, kFirstLineMs));
  const DWORD first = ReadLog(m)[0].pid;
  HANDLE server = OpenForWatch(first);
  program.Click(kButton);  // stopped with the notice: it saves
  ASSERT_TRUE(WaitFor([&] { return Logged(m, "saving"); }, 5000));
  const CtlRun start = Ctl({"start", "b", "/p", port});
  ASSERT_EQ(start.code, 0u) << start.err;
  // Plan b's row keeps the saving server: one copy at every moment of the save.
  std::size_t most = 0;
  for (const ULONGLONG until = ::GetTickCount64() + 15000;
       ExitCodeOf(server, 20) == STILL_ACTIVE && ::GetTickCount64() < until;) {
    most = std::max(most, Running(L"Malvoryn.exe").size());
  }
  EXPECT_EQ(most, 1u);
  EXPECT_EQ(ExitCodeOf(server, 0), 0u);
  EXPECT_TRUE(Logged(m, "saved"));
  ::CloseHandle(server);
  // Once it has exited, plan b runs it again.
  EXPECT_TRUE(WaitFor([&] { return Pids(m).size() >= 2; }, kFirstLineMs));
  EXPECT_EQ(JournalCount(journal, texts::kEvProgramKept), 1);
  EXPECT_EQ(JournalCount(journal, texts::kEvProgramLaunched), 1);  // plan a's only
  program.Click(kNotify);
  program.Click(kButton);
  EndHelpers();
}

TEST(Program, ARestartedLauncherTakesOverWhatItsPredecessorRanInsteadOfStartingItAgain) {
  const std::string a = FreshLog("adopt-a"), b = FreshLog("adopt-b"), c = FreshLog("adopt-c");
  const std::string journal = FreshLog("adopt-journal");
  // The same program twice with two command lines, and another program.
  const std::string list = "::p\r\n" + Line(1, Helper("recorder.exe"), a + " sleep", 0) +
                           Line(1, Helper("recorder.exe"), b + " sleep", 0) +
                           Line(1, Helper("Malvoryn.exe"), c + " sleep", 1) + "\r\n";
  const auto all = [&] {
    std::vector<DWORD> pids;
    for (const std::string* log : {&a, &b, &c}) {
      for (DWORD pid : Pids(*log)) pids.push_back(pid);
    }
    return pids;
  };
  {
    Program first(list, {"/p", "0"}, "adopt-first");
    ASSERT_NE(first.dialog(), nullptr);
    first.Click(kButton);
    ASSERT_TRUE(WaitFor([&] { return all().size() == 3; }, 5000));
    // The launcher dies under its plan (end task, crash).
    ::TerminateProcess(first.process(), 1);
    ASSERT_EQ(ExitCodeOf(first.process(), 5000), 1u);
  }
  const std::vector<DWORD> before = all();
  // Started again as Task Scheduler starts it at logon: below normal priority.
  Program second(list, {"/p", "0", "/r", "/l", journal}, "adopt-second", BELOW_NORMAL_PRIORITY_CLASS);
  ASSERT_NE(second.dialog(), nullptr);
  ASSERT_TRUE(WaitFor([&] { return JournalCount(journal, texts::kEvProgramAdopted) == 3; }, 8000));
  EXPECT_TRUE(second.Running());
  EXPECT_EQ(all(), before);  // no second copy of any row
  EXPECT_EQ(JournalCount(journal, texts::kEvProgramLaunched), 0);
  EXPECT_EQ(RemoteListCell(second.process(), second.Item(kList), 1, 4),
            FormatText(texts::kStatusAdopted, static_cast<unsigned>(ReadLog(b)[0].pid)));

  // An adopted program that exits is relaunched, at normal priority.
  TerminateAll({ReadLog(a)[0].pid});
  ASSERT_TRUE(WaitFor([&] { return Pids(a).size() == 2; }, 4000));
  const HANDLE relaunched = OpenForWatch(Pids(a)[1]);
  EXPECT_EQ(::GetPriorityClass(relaunched), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
  ::CloseHandle(relaunched);
  EXPECT_EQ(JournalCount(journal, texts::kEvLauncherPriority), 1);
  // A stop with the notice off leaves nothing running.
  ::SendMessageTimeoutA(second.Item(kNotify), BM_SETCHECK, BST_UNCHECKED, 0, SMTO_BLOCK, 5000, nullptr);
  second.Command(kNotify);
  second.Command(kButton);
  EXPECT_FALSE(second.Running());
  const std::vector<DWORD> last = {Pids(a)[1], ReadLog(b)[0].pid, ReadLog(c)[0].pid};
  EXPECT_TRUE(AllEndedWith(last, 111, 5000));
  TerminateAll(all());
}

TEST(Program, ARestartedLauncherTakesOverByItsRecordAServerThatHasSinceChangedItsDirectory) {
  // The server makes another folder its current directory once it runs;
  // the row names the folder it starts in.
  const std::string a = FreshLog("moved-a"), journal = FreshLog("moved-journal"), elsewhere = FullPath("moved-to");
  ::CreateDirectoryA(elsewhere.c_str(), nullptr);
  const std::string list = "::p\r\n" + Line(1, Helper("recorder.exe"), a + " cd " + elsewhere, 0) + "\r\n";
  {
    Program first(list, {"/p", "0"}, "moved-first");
    ASSERT_NE(first.dialog(), nullptr);
    first.Click(kButton);
    ASSERT_TRUE(WaitFor([&] { return Logged(a, "cd"); }, kFirstLineMs));
    ::TerminateProcess(first.process(), 1);
    ASSERT_EQ(ExitCodeOf(first.process(), 5000), 1u);
  }
  const DWORD server = ReadLog(a)[0].pid;
  ASSERT_EQ(ReadLog(a).back().cwd, elsewhere);
  Program second(list, {"/p", "0", "/r", "/l", journal}, "moved-second");
  ASSERT_NE(second.dialog(), nullptr);
  // The row is settled as the plan starts: taken over, started or held.
  ASSERT_TRUE(WaitFor([&] {
    return JournalCount(journal, texts::kEvProgramAdopted) + JournalCount(journal, texts::kEvProgramLaunched) +
           JournalCount(journal, texts::kEvProgramHeld) > 0;
  }, 8000));
  EXPECT_EQ(JournalEvents(journal, texts::kEvProgramAdopted),
            (Events{{std::to_string(server), texts::kDetailAdoptedByRecord}}));
  EXPECT_EQ(JournalCount(journal, texts::kEvProgramLaunched), 0);
  EXPECT_EQ(Running(L"recorder.exe"), std::vector<DWORD>{server});
  // Held as its own: the stop ends it.
  second.Command(kButton);
  EXPECT_TRUE(AllEndedWith({server}, 111, 5000));
  EXPECT_EQ(Pids(a).size(), 1u);
  EndHelpers();
}

// The usual update in place: the running program renamed aside, the new
// build copied to its path, the launcher started again.
TEST(Program, AProgramUpdatedInPlaceIsTakenOverRunningItsOldFileNeitherDoubledNorUnwatched) {
  const std::string a = FreshLog("update-a"), journal = FreshLog("update-journal");
  const std::string program = FullPath("update-server.exe"), aside = FullPath("update-server-old.exe");
  ::DeleteFileA(aside.c_str());
  ASSERT_TRUE(::CopyFileA(Helper("recorder.exe").c_str(), program.c_str(), FALSE));
  const std::string list = "::p\r\n" + Line(1, program, a + " sleep", 0) + "\r\n";
  {
    Program first(list, {"/p", "0"}, "update-first");
    ASSERT_NE(first.dialog(), nullptr);
    first.Click(kButton);
    ASSERT_TRUE(WaitFor([&] { return Pids(a).size() == 1; }, kFirstLineMs));
    ::TerminateProcess(first.process(), 1);
    ASSERT_EQ(ExitCodeOf(first.process(), 5000), 1u);
  }
  const DWORD server = Pids(a)[0];
  ASSERT_TRUE(::MoveFileA(program.c_str(), aside.c_str())) << ::GetLastError();
  ASSERT_TRUE(::CopyFileA(Helper("recorder.exe").c_str(), program.c_str(), FALSE));
  Program second(list, {"/p", "0", "/r", "/l", journal}, "update-second");
  ASSERT_NE(second.dialog(), nullptr);
  ASSERT_TRUE(WaitFor([&] {
    return JournalCount(journal, texts::kEvProgramAdopted) + JournalCount(journal, texts::kEvProgramLaunched) +
           JournalCount(journal, texts::kEvProgramHeld) > 0;
  }, 8000));
  EXPECT_EQ(JournalEvents(journal, texts::kEvProgramAdopted),
            (Events{{std::to_string(server), texts::kDetailAdoptedReplacedFile}}));
  EXPECT_EQ(JournalCount(journal, texts::kEvProgramLaunched), 0);
  EXPECT_EQ(Pids(a), std::vector<DWORD>{server});
  // Supervised: the stop ends it.
  second.Command(kButton);
  EXPECT_TRUE(AllEndedWith({server}, 111, 5000));
  EndHelpers();
}

TEST(Program, ProgramsOutliveALauncherEndedWithTheJobItRanInAndTheNextTakesThemOver) {
  const std::string a = FreshLog("job-a"), b = FreshLog("job-b"), journal = FreshLog("job-journal");
  const std::string list = "::p\r\n" + Line(1, Helper("recorder.exe"), a + " sleep", 0) +
                           Line(1, Helper("recorder.exe"), b + " sleep", 0) + "\r\n";
  // A job that ends all it holds when its last handle closes, as a terminal
  // or an automation agent puts what it starts in, and lets a child leave it.
  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  ASSERT_NE(job, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  ASSERT_TRUE(::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits));
  std::vector<DWORD> pids;
  {
    Program first(list, {"/p", "0"}, "job-first", 0, job);
    ASSERT_NE(first.dialog(), nullptr);
    BOOL inside = FALSE;
    ASSERT_TRUE(::IsProcessInJob(first.process(), job, &inside) && inside);
    first.Click(kButton);
    ASSERT_TRUE(WaitFor([&] { return !ReadLog(a).empty() && !ReadLog(b).empty(); }, kFirstLineMs));
    pids = {ReadLog(a)[0].pid, ReadLog(b)[0].pid};
    std::sort(pids.begin(), pids.end());
    ::CloseHandle(job);  // the launcher ends with the job
    ASSERT_NE(ExitCodeOf(first.process(), 5000), STILL_ACTIVE);
  }
  ASSERT_EQ(Running(L"recorder.exe"), pids);
  Program second(list, {"/p", "0", "/r", "/l", journal}, "job-second");
  ASSERT_NE(second.dialog(), nullptr);
  ASSERT_TRUE(WaitFor([&] {
    return JournalCount(journal, texts::kEvProgramAdopted) + JournalCount(journal, texts::kEvProgramLaunched) >= 2;
  }, 8000));
  Events adopted = JournalEvents(journal, texts::kEvProgramAdopted);
  std::sort(adopted.begin(), adopted.end());
  EXPECT_EQ(adopted, (Events{{std::to_string(pids[0]), texts::kDetailAdoptedByRecord},
                             {std::to_string(pids[1]), texts::kDetailAdoptedByRecord}}));
  EXPECT_EQ(JournalCount(journal, texts::kEvProgramLaunched), 0);
  EXPECT_EQ(Running(L"recorder.exe"), pids);
  second.Command(kButton);
  EXPECT_TRUE(AllEndedWith(pids, 111, 5000));
  EndHelpers();
}

TEST(Program, ALoadersServerIsEndedWithItAtAHangKillAndAtAStop) {
  // The row starts a loader; the loader starts the real server and waits.
  // The server sends heartbeats for 1 s, then falls silent.
  const std::string l = FreshLog("loader-l"), s = FreshLog("loader-s"), journal = FreshLog("loader-journal");
  const std::string list =
      "::p\r\n" + Line(1, Helper("recorder.exe"), l + " spawn " + s + " beat 23483 200 1000", 0) + "\r\n";
  Program program(list, {"/p", "23483", "/l", journal}, "loader");
  ASSERT_NE(program.dialog(), nullptr);
  program.SetInterval("15");
  program.Click(kButton);
  ASSERT_TRUE(WaitFor([&] { return !ReadLog(s).empty(); }, kFirstLineMs));
  const std::vector<DWORD> first = {ReadLog(l)[0].pid, ReadLog(s)[0].pid};
  // The server's silence gets the whole tree killed, the loader with it;
  // the relaunch starts one loader and one server.
  EXPECT_TRUE(AllEndedWith(first, 111, 25000));
  ASSERT_TRUE(WaitFor([&] { return Pids(l).size() == 2 && Pids(s).size() == 2; }, 4000));
  // Reported as the server's hang, in the loader's row.
  bool reported = false;
  for (const auto& fields : JournalLines(journal)) {
    reported = reported || (fields[1] == texts::kEvHangKilled && fields[5] == std::to_string(first[1]));
  }
  EXPECT_TRUE(reported);
  const std::vector<DWORD> second = {Pids(l)[1], Pids(s)[1]};
  program.Click(kButton);  // nothing here is spared: both end
  EXPECT_TRUE(AllEndedWith(second, 111, 5000));
  TerminateAll(Pids(l));
  TerminateAll(Pids(s));
}

TEST(Program, AServerLeftByItsKilledLoaderIsTakenOverAsTheRowsProgramNotStartedBeside) {
  // A loader and the server it waits for; the loader is killed alone.
  const std::string l = FreshLog("survivor-l"), s = FreshLog("survivor-s"), journal = FreshLog("survivor-journal");
  const std::string list = "::p\r\n" + Line(1, Helper("recorder.exe"), l + " spawn " + s + " sleep", 0) + "\r\n";
  Program program(list, {"/p", "0", "/l", journal}, "survivor");
  ASSERT_NE(program.dialog(), nullptr);
  program.Click(kNotify);  // stops end everything
  program.Click(kButton);
  ASSERT_TRUE(WaitFor([&] { return !ReadLog(s).empty(); }, kFirstLineMs));
  const DWORD server = ReadLog(s)[0].pid;
  TerminateAll({ReadLog(l)[0].pid});
  ASSERT_TRUE(WaitFor([&] {
    return JournalCount(journal, texts::kEvProgramAdopted) + JournalCount(journal, texts::kEvProgramRelaunched) > 0;
  }, 5000));
  Events adopted = JournalEvents(journal, texts::kEvProgramAdopted);
  // Its command line differs from the row's, which the detail may go on to say.
  for (auto& event : adopted) event.second = event.second.substr(0, std::strlen(texts::kDetailAdoptedSurvivor));
  EXPECT_EQ(adopted, (Events{{std::to_string(server), texts::kDetailAdoptedSurvivor}}));
  // No loader and server start beside it, past the one-second floor between starts.
  EXPECT_FALSE(WaitFor([&] {
    return Pids(l).size() > 1 || Pids(s).size() > 1 || Running(L"recorder.exe") != std::vector<DWORD>{server} ||
           JournalCount(journal, texts::kEvProgramRelaunched) > 0;
  }, 2000));
  // It is the row's program: the stop ends it, and nothing is left.
  program.Click(kButton);
  EXPECT_TRUE(AllEndedWith(Pids(s), 111, 5000));
  EXPECT_TRUE(WaitFor([&] { return Running(L"recorder.exe").empty(); }, 5000));
  EndHelpers();
}

TEST(Program, AfterTheMachineWakesEveryProgramHasAWholeIntervalToSpeakAgain) {
  // Heartbeats for 1 s, then silence.
  const std::string w = FreshLog("wake-w");
  const std::string list = "::p\r\n" + Line(1, Helper("recorder.exe"), w + " beat 23484 200 1000", 0) + "\r\n";
  Program program(list, {"/p", "23484"}, "wake");
  ASSERT_NE(program.dialog(), nullptr);
  program.SetInterval("15");
  program.Click(kButton);
  ASSERT_TRUE(WaitFor([&] { return !ReadLog(w).empty(); }, kFirstLineMs));
  HANDLE silent = OpenForWatch(ReadLog(w)[0].pid);
  // Ten seconds into its silence, Windows says the machine woke up.
  ::Sleep(10000);
  ::SendMessageTimeoutW(program.dialog(), WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0, SMTO_BLOCK, 5000, nullptr);
  const ULONGLONG woke = ::GetTickCount64();
  EXPECT_EQ(ExitCodeOf(silent, 25000), 111u);
  EXPECT_GE(::GetTickCount64() - woke, 15000u);
  ::CloseHandle(silent);
  // The killed program is started again at once, and may not have logged
  // yet: every helper ends, or the next launcher would take it over.
  program.Click(kButton);
  EndHelpers();
}

TEST(Program, AutomaticStartStartsTheFirstPlanAndHides) {
  const std::string a = FreshLog("auto-a");
  const std::string list = "::first\r\n" + Line(1, Helper("recorder.exe"), a + " sleep", 0) +
                           "::second\r\n" + Line(1, Helper("recorder.exe"), a + " other", 0) + "\r\n";
  // A journal in a folder that does not exist: the folder is made.
  const std::string journal = FullPath("made-folder\\j.log");
  ::DeleteFileA(journal.c_str());
  ::RemoveDirectoryA(FullPath("made-folder").c_str());
  Program program(list, {"/p", "0", "/r", "/l", journal}, "auto");
  ASSERT_NE(program.dialog(), nullptr);
  // Shown once initialised, hidden by the automatic start 2 s later.
  ASSERT_TRUE(WaitFor([&] { return ::IsWindowVisible(program.dialog()) != FALSE; }, 5000));
  ASSERT_TRUE(WaitFor([&] { return !::IsWindowVisible(program.dialog()); }, 5000));
  EXPECT_TRUE(program.Running());
  ASSERT_TRUE(WaitFor([&] { return !ReadLog(a).empty(); }, kFirstLineMs));
  EXPECT_EQ(ReadLog(a)[0].text, " " + a + " sleep");  // the first plan's program
  program.Click(kButton);
  TerminateAll(Pids(a));
  EXPECT_TRUE(WaitFor([&] { return !JournalLines(journal).empty(); }, 5000));
}

TEST(Program, EscapeEndsTheProgramWhileAPlanRunsAndItsProgramsKeepRunning) {
  const std::string a = FreshLog("esc-a");
  const std::string list = "::p\r\n" + Line(1, Helper("recorder.exe"), a + " sleep", 0) + "\r\n";
  Program program(list, {"/p", "0"}, "escape");
  ASSERT_NE(program.dialog(), nullptr);
  // The chooser and the program list read back across processes.
  EXPECT_EQ(::SendMessageA(program.Item(kChooser), CB_GETCOUNT, 0, 0), 1);
  EXPECT_EQ(ChooserText(program.Item(kChooser), 0), "p");
  const HWND rows = program.Item(kList);
  EXPECT_EQ(::SendMessageA(rows, LVM_GETITEMCOUNT, 0, 0), 1);
  EXPECT_EQ(::SendMessageA(rows, LVM_GETITEMSTATE, 0, LVIS_STATEIMAGEMASK), INDEXTOSTATEIMAGEMASK(2));
  EXPECT_EQ(RemoteListCell(program.process(), rows, 0, 0), Helper("recorder.exe"));
  EXPECT_EQ(RemoteListCell(program.process(), rows, 0, 2), " " + a + " sleep");
  EXPECT_EQ(RemoteListCell(program.process(), rows, 0, 3), "0\xc3\xeb");  // 0秒
  program.Click(kButton);
  ASSERT_TRUE(WaitFor([&] { return !ReadLog(a).empty(); }, kFirstLineMs));
  HANDLE child = OpenForWatch(ReadLog(a)[0].pid);
  program.PressEscape();
  EXPECT_NE(ExitCodeOf(program.process(), 10000), static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(ExitCodeOf(child, 0), static_cast<DWORD>(STILL_ACTIVE));
  ::TerminateProcess(child, 0);
  ::CloseHandle(child);
}

TEST(Program, EnterOnTheStartStopButtonNeitherStartsNorStopsElsewhereItPressesExit) {
  const std::string a = FreshLog("enter-a");
  const std::string list = "::p\r\n" + Line(1, Helper("recorder.exe"), a + " sleep", 0) + "\r\n";
  Program program(list, {"/p", "0"}, "enter");
  ASSERT_NE(program.dialog(), nullptr);
  const HWND button = program.Item(kButton);
  const auto key = [&](HWND to, WPARAM vk) {
    ::PostMessageA(to, WM_KEYDOWN, vk, 0);
    ::PostMessageA(to, WM_KEYUP, vk, 0xC0000000);
  };
  // The keys are handled in order: Space, which does click the focused
  // button, shows whether the Enter before it did anything.
  ::SendMessageTimeoutA(program.dialog(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE, SMTO_BLOCK, 5000,
                        nullptr);
  key(button, VK_RETURN);
  key(button, VK_SPACE);
  ASSERT_TRUE(WaitFor([&] { return program.Running(); }, 5000));  // started by Space alone
  key(button, VK_RETURN);
  key(button, VK_SPACE);
  ASSERT_TRUE(WaitFor([&] { return !program.Running(); }, 5000));  // stopped by Space alone
  // Elsewhere, Enter presses 退出: an idle launcher closes.
  ::SendMessageTimeoutA(program.dialog(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(program.Item(kList)), TRUE,
                        SMTO_BLOCK, 5000, nullptr);
  key(program.Item(kList), VK_RETURN);
  EXPECT_NE(ExitCodeOf(program.process(), 10000), static_cast<DWORD>(STILL_ACTIVE));
  TerminateAll(Pids(a));
}

TEST(Program, TrayMenuDrivenByKeyboardShowsTheWindowAndStartsAPlan) {
  Program program("::p\r\n", {"/p", "0"}, "tray");
  ASSERT_NE(program.dialog(), nullptr);
  ASSERT_TRUE(WaitFor([&] { return ::IsWindowVisible(program.dialog()) != FALSE; }, 5000));
  program.Click(1001);  // hide
  ASSERT_FALSE(::IsWindowVisible(program.dialog()));
  // A right click on the icon opens the menu; its tracking loop runs in the
  // program, which reads the keys posted to its thread.
  auto choose = [&](std::initializer_list<UINT> keys) {
    ::PostMessageA(program.dialog(), WM_USER + 5, 128, WM_RBUTTONUP);
    HWND menu = nullptr;
    if (!WaitFor([&] { return (menu = ::FindWindowA("#32768", nullptr)) && ::IsWindowVisible(menu); }, 5000)) {
      return false;
    }
    for (UINT key : keys) {
      ::PostMessageA(program.dialog(), WM_KEYDOWN, key, 0);
      ::PostMessageA(program.dialog(), WM_KEYUP, key, 0xC0000000);
    }
    return true;
  };
  // First item: 显示调度窗.
  ASSERT_TRUE(choose({VK_DOWN, VK_RETURN}));
  EXPECT_TRUE(WaitFor([&] { return ::IsWindowVisible(program.dialog()) != FALSE; }, 5000));
  // Next item past the separator: 启动方案【p 】.
  ASSERT_TRUE(choose({VK_DOWN, VK_DOWN, VK_RETURN}));
  EXPECT_TRUE(WaitFor([&] { return program.Running(); }, 5000));
}

TEST(Program, ChineseTextsAndAProgramInAChineseFolderOnTheMachinesCodePage) {
  // 服务器 一区\登录服务器.exe, a copy of the recorder, and the plan 一区方案.
  const std::string folder = FullPath("\xb7\xfe\xce\xf1\xc6\xf7 \xd2\xbb\xc7\xf8");
  const std::string exe = folder + "\\\xb5\xc7\xc2\xbc\xb7\xfe\xce\xf1\xc6\xf7.exe";
  ::CreateDirectoryW(Wide(folder).c_str(), nullptr);
  ASSERT_TRUE(::CopyFileW(Wide(Helper("recorder.exe")).c_str(), Wide(exe).c_str(), FALSE));
  const std::string plan = "\xd2\xbb\xc7\xf8\xb7\xbd\xb0\xb8";
  const std::string a = FreshLog("chinese-a");
  const std::string list = "::" + plan + "\r\n1 [" + exe + "] [" + folder + "] [" + a + " sleep] 0\r\n\r\n";
  Program program(list, {"/p", "0"}, "chinese");
  ASSERT_NE(program.dialog(), nullptr);
  EXPECT_EQ(ChooserText(program.Item(kChooser), 0), plan);
  EXPECT_EQ(RemoteListCell(program.process(), program.Item(kList), 0, 0), exe);
  EXPECT_EQ(RemoteListCell(program.process(), program.Item(kList), 0, 1), folder);
  EXPECT_EQ(Text(program.Item(kButton)), texts::kStartPlan);
  EXPECT_EQ(Text(program.Item(kInterval)), texts::kIntervalDefault);
  program.Click(kButton);
  ASSERT_TRUE(program.Running());
  ASSERT_TRUE(WaitFor([&] { return !ReadLog(a).empty(); }, kFirstLineMs));
  HANDLE child = OpenForWatch(ReadLog(a)[0].pid);
  program.Click(kButton);
  EXPECT_FALSE(program.Running());
  EXPECT_EQ(ExitCodeOf(child, 5000), 111u);
  ::CloseHandle(child);
}

TEST(Program, TheCommandLineIsSplitAsTheCRuntimeSplitsItNotAsCommandLineToArgvW) {
  const std::string list = FullPath("split.list");
  std::ofstream(list, std::ios::binary) << "::split\r\n1 a.exe C:\\ [] 0\r\n\r\n";
  const std::wstring exe = L"\"" + Wide(WinPath(MORVASTEL_EXE)) + L"\"";
  {
    // "" inside quotes is one quote and the quotes go on to the next lone
    // one; CommandLineToArgvW would end them there and take "/f ..." into
    // the title.
    Program program(exe + L" /p 0 /n \"e2e-a\"\"b c\" /f " + Wide(list), "e2e-a\"b c");
    ASSERT_NE(program.dialog(), nullptr);
    EXPECT_EQ(ChooserText(program.Item(kChooser), 0), "split");
  }
  {
    // A quoted program runs on to the first blank: "/f" glued to it is part
    // of argument 0, and the list after it is a value for nothing.
    Program program(exe + L"/f " + Wide(list) + L" /p 0 /n e2e-glued", "e2e-glued");
    ASSERT_NE(program.dialog(), nullptr);
    EXPECT_EQ(::SendMessageA(program.Item(kChooser), CB_GETCOUNT, 0, 0), 0);
  }
}

TEST(Program, JournalMetricsAndAUtf16ListInAFolderGbkCannotName) {
  // Jörg 한국: GBK has neither the ö nor the Hangul.
  wchar_t here[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, here);
  const std::wstring folder = std::wstring(here) + L"\\J\u00f6rg \ud55c\uad6d";
  const std::wstring list = folder + L"\\utf16.list", journal = folder + L"\\logs\\j.log",
                     metrics = folder + L"\\m.prom";
  ::CreateDirectoryW(folder.c_str(), nullptr);
  ::DeleteFileW(journal.c_str());
  ::RemoveDirectoryW((folder + L"\\logs").c_str());  // made again by the launcher
  ::RemoveDirectoryW((folder + L"\\dumps").c_str());
  ::DeleteFileW(metrics.c_str());
  // A one-plan list saved by Notepad as "UTF-16 LE": plan 一区, a recorder.
  const std::string a = FreshLog("utf16-a");
  const std::u16string text =
      GbkToUtf16("::\xd2\xbb\xc7\xf8\r\n" + Line(1, Helper("recorder.exe"), a + " sleep", 0) + "\r\n");
  std::string bytes = "\xff\xfe";
  for (const char16_t unit : text) bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
  std::FILE* file = _wfopen(list.c_str(), L"wb");
  ASSERT_NE(file, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);

  Program program(L"\"" + Wide(WinPath(MORVASTEL_EXE)) + L"\" /p 0 /n e2e-utf16 /f \"" + list + L"\" /l \"" +
                      journal + L"\" /m \"" + metrics + L"\" /d \"" + folder + L"\\dumps\"",
                  "e2e-utf16");
  ASSERT_NE(program.dialog(), nullptr);
  EXPECT_EQ(ChooserText(program.Item(kChooser), 0), "\xd2\xbb\xc7\xf8");
  EXPECT_EQ(RemoteListCell(program.process(), program.Item(kList), 0, 0), Helper("recorder.exe"));
  program.Click(kButton);
  ASSERT_TRUE(WaitFor([&] { return !ReadLog(a).empty(); }, kFirstLineMs));
  program.Click(kButton);
  TerminateAll(Pids(a));

  // The journal, the metrics file and the dump folder are where the command
  // line put them.
  std::map<std::string, std::string> details;
  EXPECT_TRUE(WaitFor([&] {
    for (const auto& fields : JournalLines(journal)) details[fields[1]] = fields[6];
    return details.count(texts::kEvPlanStopped) > 0;
  }, 5000));
  EXPECT_EQ(details[texts::kEvListEncoding], FormatText(texts::kDetailUtf16WithMark, "LE"));
  EXPECT_EQ(details[texts::kEvListRead], FormatText(texts::kDetailListRead, 1ll));
  EXPECT_TRUE(WaitFor([&] { return ::CreateDirectoryW((folder + L"\\dumps").c_str(), nullptr) == FALSE &&
                                   ::GetLastError() == ERROR_ALREADY_EXISTS; }, 5000));
  EXPECT_EQ(details.count(texts::kEvJournalOpenFailed), 0u);
  EXPECT_TRUE(WaitFor(
      [&] { return FileBytes(metrics).find("\nmorvastel_list_plans{port=\"0\"} 1\n") != std::string::npos; }, 5000));
}

TEST(Program, ManifestAsksForCommonControls6AsInvokerAndGdiScaling) {
  const HMODULE exe = ::LoadLibraryExW(Wide(WinPath(MORVASTEL_EXE)).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(exe, nullptr);
  const HRSRC found = ::FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // the manifest
  ASSERT_NE(found, nullptr);
  const std::string manifest(static_cast<const char*>(::LockResource(::LoadResource(exe, found))),
                             ::SizeofResource(exe, found));
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"), std::string::npos);  // from Windows 7 on
  EXPECT_NE(manifest.find(">true</gdiScaling>"), std::string::npos);
  EXPECT_EQ(manifest.find("dpiAware"), std::string::npos);  // never DPI aware: Windows scales the window
  ::FreeLibrary(exe);
}

TEST(Program, ControlPipeStartsAndStopsAsTheButtonAndAnswersStatus) {
  const std::string port = "23811";
  EXPECT_EQ(Ctl({"status", "/p", "23810"}).code, 3u);  // nobody there
  // The second plan has a Chinese name: 一区方案.
  const std::string plan = "\xd2\xbb\xc7\xf8\xb7\xbd\xb0\xb8";
  const std::string a = FreshLog("ctl-a"), journal = FreshLog("ctl-journal");
  const std::string list = "::first\r\n" + Line(1, Helper("recorder.exe"), a + " first", 0) + "::" + plan + "\r\n" +
                           Line(1, Helper("recorder.exe"), a + " sleep", 0) + "\r\n";
  Program program(list, {"/p", port, "/l", journal}, "ctl");
  ASSERT_NE(program.dialog(), nullptr);

  CtlRun idle = Ctl({"status", "/p", port});
  ASSERT_EQ(idle.code, 0u) << idle.err;
  // Pure ASCII, the Chinese as \u escapes, whatever the reader's code page.
  EXPECT_TRUE(std::all_of(idle.out.begin(), idle.out.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
  std::map<std::string, std::string> status = ReadByPython(idle.out);
  EXPECT_EQ(status["schema"], "2");
  EXPECT_EQ(status["launcher.pid"], std::to_string(::GetProcessId(program.process())));
  EXPECT_EQ(status["launcher.journal"], journal);
  EXPECT_EQ(status["launcher.metrics"], "null");
  EXPECT_EQ(status["launcher.port"], port);
  EXPECT_EQ(status["launcher.list"], FullPath("ctl.list"));
  EXPECT_EQ(status["launcher.folder"] + "\\ctl.list", FullPath("ctl.list"));  // the test's, which it inherited
  EXPECT_EQ(status["plans.1.name"], GbkToUtf8(plan));
  EXPECT_EQ(status["plans.1.running"], "false");
  EXPECT_EQ(status["plans.1.programs.0.state"], "idle");
  EXPECT_EQ(status["plans.1.programs.0.pid"], "null");
  EXPECT_EQ(status.count("error"), 0u) << status["error"];

  const CtlRun start = Ctl({"start", plan, "/p", port});
  EXPECT_EQ(start.code, 0u) << start.err;
  // The window shows it as after the button: the plan chosen, its rows
  // shown, the button's text, the chooser greyed.
  EXPECT_TRUE(program.Running());
  EXPECT_EQ(::SendMessageA(program.Item(kChooser), CB_GETCURSEL, 0, 0), 1);
  EXPECT_FALSE(::IsWindowEnabled(program.Item(kChooser)));
  EXPECT_EQ(RemoteListCell(program.process(), program.Item(kList), 0, 2), " " + a + " sleep");
  const CtlRun again = Ctl({"start", "first", "/p", port});
  EXPECT_EQ(again.code, 1u);
  EXPECT_NE(again.err.find(GbkToUtf8(plan)), std::string::npos) << again.err;  // names the running plan

  ASSERT_TRUE(WaitFor([&] { return !ReadLog(a).empty(); }, kFirstLineMs));
  const DWORD pid = ReadLog(a)[0].pid;
  const CtlRun running = Ctl({"status", "/p", port});
  ASSERT_EQ(running.code, 0u) << running.err;
  status = ReadByPython(running.out);
  ASSERT_EQ(status.count("error"), 0u) << status["error"] << running.out;
  EXPECT_EQ(status["plans.1.running"], "true");
  EXPECT_EQ(status["plans.1.supervising"], "true");
  EXPECT_EQ(status["plans.1.programs.0.state"], "running");
  EXPECT_EQ(status["plans.1.programs.0.pid"], std::to_string(pid));
  EXPECT_EQ(status["plans.1.programs.0.row"], "1");  // as the window and the journal count
  EXPECT_EQ(status["plans.0.running"], "false");

  // Junk straight to the pipe gets an error or a closed pipe, and changes
  // nothing; a client that says nothing is dropped.
  const std::string junk[] = {"junk", "", "morvastel-control 1\nstop", std::string(5000, 's'),
                              "morvastel-control 1\nstart\nfirst\xff\n", "morvastel-control 2\nstop\n"};
  for (const std::string& bytes : junk) EXPECT_EQ(RawRequest(port, &bytes).substr(0, 2), "2\n") << bytes;
  EXPECT_EQ(RawRequest(port, nullptr), "");
  EXPECT_TRUE(program.Running());
  status = ReadByPython(Ctl({"status", "/p", port}).out);
  EXPECT_EQ(status["plans.1.programs.0.pid"], std::to_string(pid));

  HANDLE child = OpenForWatch(pid);
  const CtlRun stop = Ctl({"stop", "/p", port});
  EXPECT_EQ(stop.code, 0u) << stop.err;
  EXPECT_EQ(ReadByPython(stop.out)["changed"], "true");
  EXPECT_FALSE(program.Running());
  EXPECT_TRUE(::IsWindowEnabled(program.Item(kChooser)));
  EXPECT_EQ(ExitCodeOf(child, 5000), 111u);
  ::CloseHandle(child);
  EXPECT_EQ(ReadByPython(Ctl({"stop", "/p", port}).out)["changed"], "false");
  const CtlRun unknown = Ctl({"start", "nope", "/p", port});
  EXPECT_EQ(unknown.code, 2u) << unknown.err;
  EXPECT_NE(unknown.err.find("nope"), std::string::npos) << unknown.err;
  EXPECT_EQ(unknown.err.rfind("E_NO_PLAN ", 0), 0u) << unknown.err;
  EXPECT_FALSE(program.Running());

  // The journal names the command line as the start's and the stop's source.
  int fromControl = 0;
  EXPECT_TRUE(WaitFor([&] {
    fromControl = 0;
    for (const auto& fields : JournalLines(journal)) {
      fromControl += (fields[1] == texts::kEvPlanStarted || fields[1] == texts::kEvPlanStopped) &&
                     fields[6] == texts::kSourceControl;
    }
    return fromControl == 2;
  }, 5000)) << fromControl;
}

TEST(Program, ControlStartIsRefusedWhileTheSurplusBoxIsOpenNotQueued) {
  const std::string port = "23812";
  const std::string list = "::p\r\n1 a.exe C:\\ [] 0 surplus\r\n\r\n";
  Program program(list, {"/p", port}, "ctl-surplus");
  ASSERT_NE(program.dialog(), nullptr);
  // The pipe serves from the moment the box opens.
  CtlRun refused;
  EXPECT_TRUE(WaitFor([&] { return (refused = Ctl({"start", "p", "/p", port})).code != 3; }, 15000));
  EXPECT_EQ(refused.code, 1u) << refused.err;
  EXPECT_EQ(Ctl({"status", "/p", port}).code, 1u);
  // The box answered, the start has not happened behind it.
  HWND box = nullptr;
  ASSERT_TRUE(WaitFor([&] {
    for (HWND w = ::FindWindowExA(nullptr, nullptr, "#32770", nullptr); w; w = ::FindWindowExA(nullptr, w, "#32770", nullptr)) {
      DWORD owner = 0;
      ::GetWindowThreadProcessId(w, &owner);
      if (w != program.dialog() && owner == ::GetProcessId(program.process())) box = w;
    }
    return box != nullptr;
  }, 5000));
  ::PostMessageA(box, WM_COMMAND, IDOK, 0);
  const CtlRun after = Ctl({"status", "/p", port});
  ASSERT_EQ(after.code, 0u) << after.err;
  EXPECT_EQ(ReadByPython(after.out)["plans.0.running"], "false");
  EXPECT_FALSE(program.Running());
  EXPECT_EQ(Ctl({"start", "p", "/p", port}).code, 0u);
  EXPECT_TRUE(program.Running());
}

namespace {

// A helper program started by the test itself, outside any launcher; ended
// with the test.
class Helped {
 public:
  explicit Helped(const std::string& args) {
    std::wstring line = L"\"" + Wide(Helper("recorder.exe")) + L"\" " + Wide(args);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    started_ = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi_) != 0;
  }
  ~Helped() { End(); }
  bool started() const { return started_; }
  void End() {
    if (!started_) return;
    ::TerminateProcess(pi_.hProcess, 0);
    ::WaitForSingleObject(pi_.hProcess, 5000);
    ::CloseHandle(pi_.hProcess);
    ::CloseHandle(pi_.hThread);
    started_ = false;
  }

 private:
  PROCESS_INFORMATION pi_{};
  bool started_ = false;
};

// Suspends or resumes every thread of process `pid`: a launcher that takes a
// request and never answers it.
void Suspend(DWORD pid, bool suspend) {
  const ScopedSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 thread{};
  thread.dwSize = sizeof thread;
  for (BOOL more = ::Thread32First(snapshot.get(), &thread); more; more = ::Thread32Next(snapshot.get(), &thread)) {
    if (thread.th32OwnerProcessID != pid) continue;
    if (HANDLE h = ::OpenThread(THREAD_SUSPEND_RESUME, FALSE, thread.th32ThreadID)) {
      suspend ? ::SuspendThread(h) : ::ResumeThread(h);
      ::CloseHandle(h);
    }
  }
}

// What morvastelctl printed on standard output, read.
JsonValue Parsed(const CtlRun& run) {
  JsonValue value;
  ParseJson(run.out, value);
  return value;
}

// The journal line whose event word is `word`: its fields, or none.
std::vector<std::string> JournalLine(const std::string& journal, const char* word) {
  for (const auto& fields : JournalLines(journal)) {
    if (fields[1] == word) return fields;
  }
  return {};
}

bool StartsWith(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }

}  // namespace

TEST(Program, ControlPipeHeldByAnImpostorGetsNothingAndTheLauncherTakesTheNameOnceFree) {
  const std::string port = "23813", pipe = "\\\\.\\pipe\\morvastel-" + port;
  const std::string fake = FreshLog("ctl-impostor"), journal = FreshLog("ctl-impostor-journal");
  const std::string metrics = FullPath("ctl-impostor.prom");
  ::DeleteFileA(metrics.c_str());
  Helped impostor(fake + " pipe " + pipe);
  ASSERT_TRUE(impostor.started());
  ASSERT_TRUE(WaitFor([&] { return Logged(fake, "pipe"); }, kFirstLineMs));
  Program program("::p\r\n\r\n", {"/p", port, "/l", journal, "/m", metrics}, "ctl-impostor");
  ASSERT_NE(program.dialog(), nullptr);

  // The pipe's server runs another program: nothing is sent, and its fake
  // status is never seen.
  const CtlRun refused = Ctl({"status", "/p", port});
  EXPECT_EQ(refused.code, 7u) << refused.out << refused.err;
  EXPECT_TRUE(StartsWith(refused.err, "E_IMPOSTOR ")) << refused.err;
  EXPECT_EQ(refused.out, "");
  const CtlRun unknown = Ctl({"check", "/p", port});
  EXPECT_EQ(unknown.code, 3u);
  EXPECT_EQ(unknown.out, "UNKNOWN - E_IMPOSTOR on port " + port + "\n");
  EXPECT_TRUE(Logged(fake, "client"));
  for (const LogLine& line : ReadLog(fake)) EXPECT_FALSE(StartsWith(line.text, "read")) << line.text;

  // The launcher says which pipe it could not make and why, and that it
  // tries again; the metrics say the pipe is down.
  std::vector<std::string> failed;
  ASSERT_TRUE(WaitFor([&] { return !(failed = JournalLine(journal, texts::kEvControlFailed)).empty(); }, 5000));
  EXPECT_EQ(failed[4], pipe);
  const std::string retried = std::string(texts::kDetailControlFailed).substr(2);
  EXPECT_TRUE(failed[6].size() > retried.size() && failed[6].back() == retried.back() &&
              failed[6].compare(failed[6].size() - retried.size(), retried.size(), retried) == 0 &&
              failed[6][0] >= '1' && failed[6][0] <= '9')
      << failed[6];
  const std::string controlUp = "\nmorvastel_control_up{port=\"" + port + "\"} ";
  EXPECT_TRUE(WaitFor([&] { return FileBytes(metrics).find(controlUp + "0\n") != std::string::npos; }, 5000));

  // Once the name is free the launcher serves it, within its retry.
  impostor.End();
  const auto freed = std::chrono::steady_clock::now();
  CtlRun served;
  EXPECT_TRUE(WaitFor([&] { return (served = Ctl({"status", "/p", port})).code == 0; }, 10000)) << served.err;
  EXPECT_LT(std::chrono::steady_clock::now() - freed, std::chrono::seconds(10));
  EXPECT_EQ(StatusLauncherPid(Parsed(served)), ::GetProcessId(program.process()));
  // Trusted for its file, not its name: told to trust another Morvastel.exe,
  // the client refuses this one and says which file each is.
  const std::string elsewhere = FullPath("elsewhere\\Morvastel.exe");
  const CtlRun other = Ctl({"status", "/p", port, "--launcher", elsewhere});
  EXPECT_EQ(other.code, 7u) << other.err;
  EXPECT_TRUE(StartsWith(other.err, "E_IMPOSTOR ") && other.err.find(elsewhere) != std::string::npos) << other.err;
  EXPECT_EQ(other.out, "");
  EXPECT_EQ(Ctl({"status", "/p", port, "--launcher", WinPath(MORVASTEL_EXE)}).code, 0u);
  EXPECT_TRUE(WaitFor([&] { return !JournalLine(journal, texts::kEvControlOpened).empty(); }, 5000));
  EXPECT_EQ(JournalLine(journal, texts::kEvControlOpened)[4], pipe);
  EXPECT_TRUE(WaitFor([&] { return FileBytes(metrics).find(controlUp + "1\n") != std::string::npos; }, 5000));

  // The launcher's pipe is its user's (the Administrators group's when it
  // runs elevated, as under Wine): read and write for its user and the
  // Administrators group, no right to change its security.
  const HANDLE client = ::CreateFileW(Wide(pipe).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                      nullptr);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(::GetSecurityInfo(client, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  HANDLE token = nullptr;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
  char user[256];
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, user, sizeof user, &size);
  ::CloseHandle(token);
  TOKEN_ELEVATION elevation{};
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
  ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  ::CloseHandle(token);
  if (elevation.TokenIsElevated != 0) {
    EXPECT_TRUE(::IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
  } else {
    EXPECT_TRUE(::EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid));
  }
  ASSERT_NE(dacl, nullptr);
  EXPECT_EQ(dacl->AceCount, 2);
  for (WORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Mask & (WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_ALL), 0u) << std::hex << ace->Mask;
    EXPECT_NE(ace->Mask & (FILE_READ_DATA | GENERIC_READ), 0u) << std::hex << ace->Mask;
    EXPECT_NE(ace->Mask & (FILE_WRITE_DATA | GENERIC_WRITE), 0u) << std::hex << ace->Mask;
  }
  ::LocalFree(descriptor);
  // Run elevated (as this test and its launcher are under Wine), the pipe
  // is labelled high integrity, no write or read up: the same user's
  // unelevated processes can neither drive it nor hold it open.
  PACL label = nullptr;
  ASSERT_EQ(::GetSecurityInfo(client, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, &label,
                              &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  const SYSTEM_MANDATORY_LABEL_ACE* mandatory = nullptr;
  for (WORD i = 0; label != nullptr && i < label->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (::GetAce(label, i, reinterpret_cast<void**>(&ace)) && ace->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE) {
      mandatory = reinterpret_cast<const SYSTEM_MANDATORY_LABEL_ACE*>(ace);
    }
  }
  if (elevation.TokenIsElevated != 0) {
    ASSERT_NE(mandatory, nullptr);
    EXPECT_EQ(mandatory->Mask, static_cast<DWORD>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP));
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
    PSID high = nullptr;
    ::AllocateAndInitializeSid(&authority, 1, SECURITY_MANDATORY_HIGH_RID, 0, 0, 0, 0, 0, 0, 0, &high);
    EXPECT_TRUE(::EqualSid(const_cast<DWORD*>(&mandatory->SidStart), high));
    ::FreeSid(high);
  } else {
    EXPECT_EQ(mandatory, nullptr);
  }
  ::LocalFree(descriptor);
  ::CloseHandle(client);
}

TEST(Program, ControlWaitsChecksRowsAndQuits) {
  const std::string port = "23814";
  const std::string m = FreshLog("ctl-m"), r = FreshLog("ctl-r"), l = FreshLog("ctl-l");
  // Malvoryn saves for 2 s after the exit notice.
  const std::string list = "::p\r\n" + Line(1, Helper("Malvoryn.exe"), m + " listen 33333 2000", 0) +
                           Line(1, Helper("recorder.exe"), r + " sleep", 0) + "::loop\r\n" +
                           Line(1, Helper("recorder.exe"), l + " exit 0", 0) + "\r\n";
  Program program(list, {"/p", port}, "ctl-waits");
  ASSERT_NE(program.dialog(), nullptr);
  EXPECT_EQ(Ctl({"check", "/p", port}).out, "CRITICAL - no plan runs\n");

  // start --wait returns once the plan supervises and its programs run.
  const CtlRun started = Ctl({"start", "p", "--wait", "30", "/p", port});
  ASSERT_EQ(started.code, 0u) << started.err;
  const CtlRun up = Ctl({"status", "/p", port});
  EXPECT_EQ(CheckStatus(Parsed(up), "p").code, CheckCode::kOk) << up.out;
  EXPECT_TRUE(Logged(m, "listening"));
  // Asked again: done, nothing changes.
  const CtlRun again = Ctl({"start", "p", "/p", port});
  EXPECT_EQ(again.code, 0u);
  EXPECT_FALSE(Parsed(again).Bool("changed", true)) << again.out;
  const CtlRun ok = Ctl({"check", "p", "/p", port});
  EXPECT_EQ(ok.code, 0u);
  EXPECT_EQ(ok.out, "OK - 2/2 running\n");

  // Rows count from 1. An exempt server is not ended without --force.
  const DWORD server = ReadLog(m)[0].pid, worker = ReadLog(r)[0].pid;
  const CtlRun exempt = Ctl({"row", "1", "stop", "/p", port});
  EXPECT_EQ(exempt.code, 1u);
  EXPECT_TRUE(StartsWith(exempt.err, "E_REFUSED ")) << exempt.err;
  EXPECT_EQ(Ctl({"row", "1", "restart", "/p", port}).code, 1u);
  EXPECT_EQ(Running(L"Malvoryn.exe"), std::vector<DWORD>{server});
  const CtlRun none = Ctl({"row", "3", "stop", "/p", port});
  EXPECT_EQ(none.code, 2u);
  EXPECT_TRUE(StartsWith(none.err, "E_NO_ROW ")) << none.err;
  const CtlRun stopped = Ctl({"row", "2", "stop", "/p", port});
  EXPECT_EQ(stopped.code, 0u) << stopped.err;
  EXPECT_TRUE(AllEndedWith({worker}, 111, 5000));
  EXPECT_EQ(Ctl({"check", "p", "/p", port}).out, "OK - 1/1 running\n");  // unticked: not counted
  ::Sleep(1500);  // more than a tick: an unticked row is not started again
  EXPECT_EQ(Pids(r).size(), 1u);
  EXPECT_EQ(Ctl({"row", "2", "start", "/p", port}).code, 0u);
  ASSERT_TRUE(WaitFor([&] { return Pids(r).size() == 2; }, kFirstLineMs));
  EXPECT_EQ(Ctl({"check", "p", "/p", port}).out, "OK - 2/2 running\n");

  // stop --wait returns once the saving server has ended, not before.
  const HANDLE saving = OpenForWatch(server);
  const CtlRun stop = Ctl({"stop", "--wait", "30", "/p", port});
  EXPECT_EQ(stop.code, 0u) << stop.err;
  EXPECT_EQ(ExitCodeOf(saving, 0), 0u);  // gone already, after its save
  ::CloseHandle(saving);
  EXPECT_TRUE(Logged(m, "notice"));
  EXPECT_TRUE(Parsed(Ctl({"status", "/p", port})).Find("spared")->items().empty());

  // A row that exits at once: WARNING; another plan named: CRITICAL.
  EXPECT_EQ(Ctl({"start", "loop", "/p", port}).code, 0u);
  CtlRun warning;
  EXPECT_TRUE(WaitFor([&] { return (warning = Ctl({"check", "loop", "/p", port})).code == 1; }, 10000)) << warning.out;
  EXPECT_TRUE(StartsWith(warning.out, "WARNING - 0/1 running; row 1 ")) << warning.out;
  EXPECT_EQ(Ctl({"check", "p", "/p", port}).out, "CRITICAL - another plan runs\n");

  // restart: the running plan stopped, its ends waited for, the one named started.
  const CtlRun restarted = Ctl({"restart", "p", "--wait", "30", "/p", port});
  EXPECT_EQ(restarted.code, 0u) << restarted.err;
  EXPECT_EQ(Ctl({"check", "p", "/p", port}).code, 0u);
  EXPECT_EQ(Pids(m).size(), 2u);

  // quit --wait: the launcher is gone, its programs run on.
  const CtlRun quit = Ctl({"quit", "--wait", "15", "/p", port});
  EXPECT_EQ(quit.code, 0u) << quit.err;
  EXPECT_NE(ExitCodeOf(program.process(), 0), static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(Running(L"Malvoryn.exe").size(), 1u);
  EXPECT_EQ(Ctl({"status", "/p", port}).code, 3u);
  EndHelpers();
}

// A script starts the launcher's task, then the plan it wants, before the
// automatic start's 2 s: that plan keeps running.
TEST(Program, APlanStartedBeforeTheAutomaticStartKeepsRunning) {
  const std::string a = FreshLog("auto-a"), b = FreshLog("auto-b"), journal = FreshLog("auto-journal");
  const std::string list = "::A\r\n" + Line(1, Helper("recorder.exe"), a + " sleep", 0) + "::B\r\n" +
                           Line(1, Helper("recorder.exe"), b + " sleep", 0) + "\r\n";
  Program program(list, {"/p", "23817", "/r", "/l", journal}, "auto");
  ASSERT_NE(program.dialog(), nullptr);
  const CtlRun started = Ctl({"start", "B", "/p", "23817"});
  ASSERT_EQ(started.code, 0u) << started.err;
  ASSERT_TRUE(WaitFor([&] { return JournalCount(journal, texts::kEvAutoStartSkipped) == 1; }, 6000));
  const std::map<std::string, std::string> status = ReadByPython(Ctl({"status", "/p", "23817"}).out);
  EXPECT_EQ(status.at("plans.1.running"), "true");
  EXPECT_EQ(status.at("plans.0.running"), "false");
  EXPECT_EQ(JournalCount(journal, texts::kEvPlanStopped), 0);
  EXPECT_TRUE(Pids(a).empty());
  EndHelpers();
}

TEST(Program, ControlListsEveryLauncherAndTellsAnUnansweredRequest) {
  Program first("::a\r\n\r\n", {"/p", "23815"}, "ctl-list-1");
  Program second("::b\r\n\r\n", {"/p", "23816"}, "ctl-list-2");
  ASSERT_NE(first.dialog(), nullptr);
  ASSERT_NE(second.dialog(), nullptr);
  const CtlRun listed = Ctl({"list"});
  ASSERT_EQ(listed.code, 0u) << listed.err;
  std::map<std::int64_t, std::int64_t> pids;  // by port
  const JsonValue launchers = Parsed(listed);
  for (const JsonValue& launcher : launchers.items()) pids[launcher.Integer("port")] = launcher.Integer("pid");
  EXPECT_EQ(pids[23815], ::GetProcessId(first.process())) << listed.out;
  EXPECT_EQ(pids[23816], ::GetProcessId(second.process())) << listed.out;

  // A launcher that takes the request and never answers: the outcome is
  // unknown, which is neither "no launcher" nor "refused".
  Suspend(::GetProcessId(second.process()), true);
  const CtlRun silent = Ctl({"stop", "/p", "23816"});
  Suspend(::GetProcessId(second.process()), false);
  EXPECT_EQ(silent.code, 6u) << silent.err;
  EXPECT_TRUE(StartsWith(silent.err, "E_NO_REPLY ")) << silent.err;
  const CtlRun version = Ctl({"version", "/p", "23815"});
  EXPECT_EQ(version.code, 0u);
  EXPECT_EQ(Parsed(version).String("launcher"), Parsed(version).String("morvastelctl")) << version.out;
}

// The launcher as a Windows service: registered, started by the service
// manager with its first plan, stopped leaving its program running, started
// again to take that program over (no second copy), shown and driven by a
// view on the desktop, and removed.
TEST(Program, AsAServiceItRunsTheFirstPlanAndAStopLeavesItsProgramForTheNextStart) {
  const std::string port = "23961";
  const std::string log = FreshLog("service-row"), journal = FreshLog("service-journal");
  const std::string list = FullPath("service.list");
  std::ofstream(list, std::ios::binary) << "::p\r\n" + Line(1, Helper("recorder.exe"), log + " sleep", 0) + "\r\n";
  RunConsole(MORVASTEL_EXE, {"/uninstall", "/p", port});  // none left by an earlier run
  const CtlRun installed = RunConsole(MORVASTEL_EXE, {"/install", "/p", port, "/f", list, "/l", journal});
  ASSERT_EQ(installed.code, 0u) << installed.err;
  const CtlRun twice = RunConsole(MORVASTEL_EXE, {"/install", "/p", port, "/f", list});
  EXPECT_EQ(twice.code, 1u);
  EXPECT_NE(twice.err.find("Morvastel-" + port), std::string::npos) << twice.err;
  EXPECT_EQ(RunConsole(MORVASTEL_EXE, {"/install", "/p", "23962", "/f", list, "/operators", "NoSuchGroup"}).code, 1u);

  const SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  const SC_HANDLE service = ::OpenServiceW(manager, Wide("Morvastel-" + port).c_str(),
                                           SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG |
                                               SERVICE_USER_DEFINED_CONTROL);
  ASSERT_NE(service, nullptr);
  std::vector<BYTE> config(8192);
  DWORD needed = 0;
  ASSERT_TRUE(::QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()),
                                    static_cast<DWORD>(config.size()), &needed));
  const auto* facts = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.data());
  EXPECT_EQ(facts->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_NE(std::wstring(facts->lpBinaryPathName).find(L" /service /f "), std::wstring::npos);
  const auto state = [&] {
    SERVICE_STATUS status{};
    return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
  };
  const auto rowPid = [&] {
    const CtlRun run = Ctl({"status", "/p", port});
    const JsonValue parsed = run.code == 0 ? Parsed(run) : JsonValue();
    const JsonValue* plans = parsed.Find("plans");
    const JsonValue* rows = plans && !plans->items().empty() ? plans->items()[0].Find("programs") : nullptr;
    return rows && !rows->items().empty() ? rows->items()[0].Integer("pid") : std::int64_t{-1};
  };

  // Started, it runs the first plan by itself and says it is a service.
  ASSERT_TRUE(::StartServiceW(service, 0, nullptr) || ::GetLastError() == ERROR_SERVICE_ALREADY_RUNNING);
  ASSERT_TRUE(WaitFor([&] { return !ReadLog(log).empty(); }, kFirstLineMs));
  const DWORD pid = ReadLog(log)[0].pid;
  const HANDLE row = OpenForWatch(pid);
  EXPECT_TRUE(WaitFor([&] { return state() == SERVICE_RUNNING; }, 5000));
  const CtlRun status = Ctl({"status", "/p", port});
  EXPECT_TRUE(Parsed(status).Find("launcher")->Bool("service")) << status.out;
  EXPECT_TRUE(WaitFor([&] { return rowPid() == pid; }, 5000));

  // Stopped as sc stop does, it ends as Esc does: its program runs on.
  SERVICE_STATUS stopping{};
  EXPECT_TRUE(::ControlService(service, SERVICE_CONTROL_STOP, &stopping));
  EXPECT_TRUE(WaitFor([&] { return state() == SERVICE_STOPPED; }, 10000));
  EXPECT_EQ(ExitCodeOf(row, 0), STILL_ACTIVE);

  // Started again, it takes that program over: the same process, no second.
  ASSERT_TRUE(::StartServiceW(service, 0, nullptr));
  EXPECT_TRUE(WaitFor([&] { return rowPid() == pid; }, 10000));
  EXPECT_EQ(ReadLog(log).size(), 1u);
  // The machine shuts down: the plan stops as at a session's end. Only the
  // system sends the pre-shutdown itself; its rehearsal, control 200, takes
  // the same path.
  SERVICE_STATUS shutting{};
  EXPECT_TRUE(::ControlService(service, 200, &shutting)) << ::GetLastError();
  EXPECT_EQ(ExitCodeOf(row, 5000), kKillExitCode);
  EXPECT_TRUE(WaitFor([&] { return state() == SERVICE_STOPPED; }, 10000));

  // Started once more, the launcher started on the desktop with its port
  // opens as the service's view: its rows and states, its stop click and
  // its rerun box go to the service, and closing it leaves the service be.
  ASSERT_TRUE(::StartServiceW(service, 0, nullptr));
  ASSERT_TRUE(WaitFor([&] { return ReadLog(log).size() == 2; }, kFirstLineMs));
  const DWORD again = ReadLog(log)[1].pid;
  const HANDLE second = OpenForWatch(again);
  ASSERT_TRUE(WaitFor([&] { return rowPid() == again; }, 5000));
  const auto window = [&] {
    const CtlRun run = Ctl({"status", "/p", port});
    return run.code == 0 ? *Parsed(run).Find("window") : JsonValue();
  };
  const std::string title = Utf16ToGbk(Utf8ToUtf16(Parsed(Ctl({"status", "/p", port})).Find("launcher")->String("title")));
  const unsigned portNumber = static_cast<unsigned>(std::stoul(port));
  const std::string caption = FormatText(texts::kViewOfService, title.c_str(), portNumber);
  {
    Program view(L"\"" + Wide(WinPath(MORVASTEL_EXE)) + L"\" /p " + Wide(port), caption);
    ASSERT_NE(view.dialog(), nullptr);
    const HWND rows = view.Item(kList);
    EXPECT_EQ(::SendMessageA(rows, LVM_GETITEMCOUNT, 0, 0), 1);
    EXPECT_EQ(RemoteListCell(view.process(), rows, 0, 0), Helper("recorder.exe"));
    EXPECT_TRUE(WaitFor([&] { return !RemoteListCell(view.process(), rows, 0, 4).empty(); }, 3000));
    EXPECT_TRUE(view.Running());
    view.Click(kButton);
    EXPECT_EQ(ExitCodeOf(second, 5000), kKillExitCode);
    EXPECT_TRUE(WaitFor([&] { return !view.Running(); }, 3000));
    EXPECT_TRUE(window().Bool("rerun"));
    view.Click(kRerun);
    EXPECT_TRUE(WaitFor([&] { return !window().Bool("rerun", true); }, 3000));
    // The service goes and comes back: the view says so, then shows it again.
    SERVICE_STATUS halted{};
    EXPECT_TRUE(::ControlService(service, SERVICE_CONTROL_STOP, &halted));
    EXPECT_TRUE(WaitFor([&] { return Text(view.dialog()) == FormatText(texts::kViewGone, title.c_str(), portNumber); },
                        10000));
    EXPECT_EQ(RemoteListCell(view.process(), rows, 0, 4), texts::kViewGoneCell);
    EXPECT_TRUE(WaitFor([&] { return state() == SERVICE_STOPPED; }, 10000));
    ASSERT_TRUE(::StartServiceW(service, 0, nullptr));
    EXPECT_TRUE(WaitFor([&] { return Text(view.dialog()) == caption; }, 10000));
    view.PressEscape();
    EXPECT_NE(ExitCodeOf(view.process(), 10000), static_cast<DWORD>(STILL_ACTIVE));
  }
  EXPECT_EQ(state(), static_cast<DWORD>(SERVICE_RUNNING));
  ::CloseHandle(second);

  // Removed: stopped first, then gone.
  const CtlRun removed = RunConsole(MORVASTEL_EXE, {"/uninstall", "/p", port});
  EXPECT_EQ(removed.code, 0u) << removed.err;
  EXPECT_EQ(state(), static_cast<DWORD>(SERVICE_STOPPED));
  ::CloseServiceHandle(service);
  EXPECT_EQ(::OpenServiceW(manager, Wide("Morvastel-" + port).c_str(), SERVICE_QUERY_STATUS), nullptr);
  EXPECT_NE(RunConsole(MORVASTEL_EXE, {"/uninstall", "/p", port}).code, 0u);  // nothing left to remove
  ::CloseServiceHandle(manager);
  ::TerminateProcess(row, 0);
  ::CloseHandle(row);
  TerminateAll(Pids(log));
}

// With /g a stop asks every program at once: the console program closes on
// its Ctrl-C and the windowed one on WM_CLOSE, each with its own exit code,
// and the one that ignores both is ended with 111 once its seconds are up;
// the journal says how each went.
TEST(Program, WithAGraceTheStopAsksEachProgramToCloseAndSaysHowEachWent) {
  const std::string c = FreshLog("grace-c"), w = FreshLog("grace-w"), d = FreshLog("grace-d");
  const std::string journal = FreshLog("grace-journal");
  const std::string list = "::p\r\n" + Line(1, Helper("recorder.exe"), c + " ctrlc", 0) +
                           Line(1, Helper("recorder.exe"), w + " window", 0) +
                           Line(1, Helper("recorder.exe"), d + " deaf", 0) + "\r\n";
  // With no console of its own, as Windows starts a windowed program: each
  // console program it starts gets a console of its own.
  Program program(list, {"/p", "0", "/l", journal, "/g", "2"}, "grace", DETACHED_PROCESS);
  ASSERT_NE(program.dialog(), nullptr);
  program.Click(kButton);
  ASSERT_TRUE(WaitFor([&] { return !ReadLog(c).empty() && !ReadLog(w).empty() && !ReadLog(d).empty(); },
                      kFirstLineMs));
  HANDLE hc = OpenForWatch(ReadLog(c)[0].pid), hw = OpenForWatch(ReadLog(w)[0].pid);
  HANDLE hd = OpenForWatch(ReadLog(d)[0].pid);
  ::Sleep(300);  // the window shown, the handler set
  const auto stopped = std::chrono::steady_clock::now();
  program.Click(kButton);
  EXPECT_EQ(ExitCodeOf(hc, 2000), 0u);
  EXPECT_EQ(ExitCodeOf(hw, 2000), 0u);
  EXPECT_EQ(ExitCodeOf(hd, 5000), kKillExitCode);
  const auto endedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopped).count();
  EXPECT_GE(endedMs, 1500);
  EXPECT_LE(endedMs, 3500);
  EXPECT_TRUE(Logged(c, "ctrl-c"));
  EXPECT_TRUE(Logged(w, "close"));
  for (HANDLE h : {hc, hw, hd}) ::CloseHandle(h);
  const auto detailOf = [&](const std::string& log) {
    std::vector<std::string> fields;
    WaitFor([&] {
      for (const auto& line : JournalLines(journal)) {
        if (line[1] == texts::kEvProgramClosed && line[5] == std::to_string(ReadLog(log)[0].pid)) fields = line;
      }
      return !fields.empty();
    }, 3000);
    return fields.empty() ? std::string() : fields[6];
  };
  const auto head = [](const char* format) { return std::string(format).substr(0, std::string(format).find('%')); };
  EXPECT_EQ(detailOf(c).rfind(head(texts::kDetailClosedCtrlC), 0), 0u) << detailOf(c);
  EXPECT_EQ(detailOf(w).rfind(head(texts::kDetailClosedWindow), 0), 0u) << detailOf(w);
  EXPECT_EQ(detailOf(d), FormatText(texts::kDetailClosedEnded, 2ll));

  // The helper (and the launcher as its stand-in) claims no Ctrl-C it did
  // not send: the launcher, started without a console, has none to attach
  // to; a line not the launcher's is refused.
  const std::string launcher = WinPath(MORVASTEL_EXE);
  const std::string helper = launcher.substr(0, launcher.find_last_of('\\') + 1) + "morvastelctrlc.exe";
  const auto helperCode = [](const std::string& exe, const std::string& args) {
    std::wstring line = L"\"" + Wide(exe) + L"\" " + Wide(args);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr, &si, &pi)) {
      return static_cast<DWORD>(-1);
    }
    const DWORD code = ExitCodeOf(pi.hProcess, 10000);
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(pi.hThread);
    return code;
  };
  const std::string self = std::to_string(::GetProcessId(program.process()));
  std::string tooMany = "/ctrl-c";
  for (int i = 0; i <= kCtrlCTargetsPerHelper; ++i) tooMany += " " + self;
  for (const std::string& exe : {helper, launcher}) {
    EXPECT_EQ(helperCode(exe, "/ctrl-c " + self + " " + self), 2u) << exe;
    for (const std::string& bad : {std::string("/ctrl-c 12x"), std::string("/ctrl-c 99999999999"),
                                   std::string("/ctrl-c 4294967296"), std::string("/ctrl-c 12 0"), tooMany}) {
      EXPECT_EQ(helperCode(exe, bad), 3u) << exe << " " << bad;
    }
  }
  for (const char* bad : {"", "/ctrl-c", "/ctrl-cc 12"}) EXPECT_EQ(helperCode(helper, bad), 3u) << bad;
}

// A launcher copied without its helper sends the Ctrl-C as its own helper.
TEST(Program, WithoutItsHelperBesideItTheLauncherSendsTheCtrlCItself) {
  const std::string folder = FullPath("alone");
  ::CreateDirectoryA(folder.c_str(), nullptr);
  const std::string exe = folder + "\\Morvastel.exe";
  ASSERT_TRUE(::CopyFileA(WinPath(MORVASTEL_EXE).c_str(), exe.c_str(), FALSE));
  const std::string c = FreshLog("alone-c"), journal = FreshLog("alone-journal");
  const std::string list = FullPath("alone.list");
  std::ofstream(list, std::ios::binary) << "::p\r\n" + Line(1, Helper("recorder.exe"), c + " ctrlc", 0) + "\r\n";
  Program program(L"\"" + Wide(exe) + L"\" /n e2e-alone /f " + Wide(list) + L" /p 0 /g 5 /l " + Wide(journal),
                  "e2e-alone", DETACHED_PROCESS);
  ASSERT_NE(program.dialog(), nullptr);
  program.Click(kButton);
  ASSERT_TRUE(WaitFor([&] { return !ReadLog(c).empty(); }, kFirstLineMs));
  const HANDLE process = OpenForWatch(ReadLog(c)[0].pid);
  ::Sleep(300);  // the handler set
  program.Click(kButton);
  EXPECT_EQ(ExitCodeOf(process, 4000), 0u);
  ::CloseHandle(process);
  EXPECT_TRUE(Logged(c, "ctrl-c"));
  EXPECT_TRUE(WaitFor([&] { return JournalCount(journal, texts::kEvProgramClosed) == 1; }, 3000));
  const std::string ctrlC = texts::kDetailClosedCtrlC;
  EXPECT_TRUE(StartsWith(JournalLine(journal, texts::kEvProgramClosed)[6], ctrlC.substr(0, ctrlC.find('%'))));
}
