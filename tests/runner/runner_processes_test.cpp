// The plan runner driving real processes through the process table: the
// hung-program kill, the relaunch and the stop with the exit notice, observed
// from outside under Wine.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "net/exit_notice.h"
#include "platform/wide.h"
#include "runner/helper_processes.h"
#include "runner/plan_runner.h"
#include "runner/process_host.h"

namespace {

bool LogHas(const std::string& path, const std::string& text) {
  std::ifstream in(path, std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return all.find(text) != std::string::npos;
}

// A UDP port that nothing holds right now.
int FreeUdpPort() {
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<const sockaddr*>(&at), sizeof at);
  int length = sizeof at;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&at), &length);
  ::closesocket(s);
  return ntohs(at.sin_port);
}

// The real process host; the dialog's parts (rows, rerun box, timer, look)
// and the liveness table are stand-ins. The notice goes to one test port.
class Window : public RunnerHost {
 public:
  explicit Window(int noticePort) : noticePort_(noticePort) {}

  bool IsRowChecked(int) override { return true; }
  bool IsRerunChecked() override { return true; }
  void BroadcastExitNotice() override {
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(noticePort_));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(s, kExitNotice, sizeof kExitNotice, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ::closesocket(s);
  }
  StaleProcess TakeStaleProcessId(int) override {
    if (stale.empty()) return {};
    const std::uint32_t pid = stale.front();
    stale.pop_front();
    return {pid, 0};
  }
  void ForgetHeartbeats(std::uint32_t) override {}
  void RestartSilences() override {}
  void StartTickTimer() override {}
  void StopTickTimer() override {}
  void WakeIn(std::uint64_t ms) override { wakeAt = ::GetTickCount64() + ms; }
  void ShowRunning(bool) override {}

  std::deque<std::uint32_t> stale;
  ULONGLONG wakeAt = 0;  // when the runner asked to be woken; 0: not asked

 private:
  int noticePort_;
};

// Ends whatever a table still runs when the test leaves, passing or not.
struct EndAll {
  ProcessTable& table;
  ~EndAll() {
    for (std::size_t i = 0; i < 8; ++i) table.Terminate(i);
  }
};

// The news of every creation asked for reaches the runner, as the window's
// messages would bring it.
bool Settle(WindowsProcessHost& host, PlanRunner& runner) {
  const auto busy = [&] { return host.StartsOut() > 0 || host.Reading() || host.HasNews(); };
  for (int i = 0; i < 30000 && busy(); ++i) {
    runner.TakeProcessNews();
    if (busy()) ::Sleep(1);
  }
  return !busy();
}

// The ids a recorder log names, one per line.
std::vector<DWORD> LoggedPids(const std::string& path) {
  std::vector<DWORD> pids;
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) pids.push_back(static_cast<DWORD>(std::stoul(line)));
  return pids;
}

TEST(RunnerWithProcesses, HungKillRelaunchAndStopWithNotice) {
  EndStrayRecorders();
  WSADATA wsa;
  ASSERT_EQ(::WSAStartup(MAKEWORD(1, 1), &wsa), 0);
  char cwd[4096] = "";
  ::GetCurrentDirectoryA(sizeof cwd, cwd);
  const std::string log = std::string(cwd) + "\\runner_processes_" + std::to_string(::GetCurrentProcessId()) + ".txt";
  ::DeleteFileA(log.c_str());
  const int port = FreeUdpPort();

  Catalogue catalogue;
  catalogue.AddPlan("A");
  auto add = [&](const char* program, const std::string& commandLine) {
    auto entry = std::make_unique<LaunchEntry>();
    entry->programPath = Helper(program);
    entry->commandLine = commandLine;
    catalogue.AddEntry(std::move(entry));
  };
  add("recorder.exe", " " + log + " sleep");                               // entry 0
  add("Malvoryn.exe", " " + log + " listen " + std::to_string(port));      // entry 1: exempt
  catalogue.CloseLastPlan();

  Window window(port);
  WindowsProcessHost host(catalogue);
  ProcessTable& table = host.table();
  RunnerOptions options;
  PlanRunner runner(catalogue, window, host, options);
  const EndAll endPlan{table};
  ASSERT_TRUE(runner.Start(0));
  ASSERT_TRUE(Settle(host, runner));
  ASSERT_TRUE(table.IsRunning(0));
  ASSERT_TRUE(table.IsRunning(1));

  // Error-reporting processes: one reporting on another program, which is
  // left alone, and one reporting on the program that hangs.
  const DWORD hung = table.ProcessId(0);
  ProcessTable others;
  const EndAll endOthers{others};
  LaunchEntry werFault;
  werFault.programPath = Helper("WerFault.exe");
  werFault.commandLine = " -u -p 1 -s 8";
  ASSERT_EQ(others.Create(0, werFault).error, 0u);
  werFault.commandLine = " -u -p " + std::to_string(hung) + " -s 8";
  ASSERT_EQ(others.Create(1, werFault).error, 0u);

  // Entry 0's heartbeat went stale: it and its error-reporting process die.
  const ScopedProcessHandle hungProcess = OpenToWatch(hung);
  window.stale = {hung};
  runner.Tick();
  ASSERT_TRUE(WaitForExit(hungProcess.get()));
  EXPECT_EQ(ExitCode(hungProcess.get()), kKillExitCode);
  ASSERT_TRUE(WaitForExit(others.ProcessHandle(1)));
  EXPECT_EQ(ExitCode(others.ProcessHandle(1)), kKillExitCode);
  EXPECT_TRUE(others.IsRunning(0));
  EXPECT_TRUE(table.IsRunning(1));

  // Its end is news: it is started again without a tick, as soon as a
  // second has passed since its start.
  for (int i = 0; i < 3000 && table.ProcessId(0) == hung; ++i) {
    ::Sleep(1);
    runner.TakeProcessNews();
    if (window.wakeAt != 0 && ::GetTickCount64() >= window.wakeAt) {
      window.wakeAt = 0;
      runner.Wake();
    }
  }
  ASSERT_TRUE(Settle(host, runner));
  EXPECT_TRUE(table.IsRunning(0));
  EXPECT_NE(table.ProcessId(0), hung);

  // The listener must be up before the notice is worth sending; it logs
  // "listening" once bound.
  for (int i = 0; i < 3000 && !LogHas(log, "\tlistening"); ++i) ::Sleep(10);
  ASSERT_TRUE(LogHas(log, "\tlistening"));

  // Stop: the exempt server exits by itself on the notice, the other is
  // terminated through the handle of its latest process.
  runner.Stop();
  ASSERT_TRUE(WaitForExit(table.ProcessHandle(0)));
  EXPECT_EQ(ExitCode(table.ProcessHandle(0)), kKillExitCode);
  ASSERT_TRUE(WaitForExit(table.ProcessHandle(1)));
  EXPECT_EQ(ExitCode(table.ProcessHandle(1)), 0u);
  EXPECT_TRUE(LogHas(log, "\tnotice"));

  ::DeleteFileA(log.c_str());
  ::WSACleanup();
}

// A plan of recorder rows that sleep, each logging to its own file, run
// without the exit notice.
struct RecorderPlan {
  Catalogue catalogue;
  Window window{FreeUdpPort()};
  WindowsProcessHost host{catalogue};
  RunnerOptions options;
  PlanRunner runner{catalogue, window, host, options};
  EndAll endPlan{host.table()};

  RecorderPlan() {
    EndStrayRecorders();
    options.notify = 0;
    catalogue.AddPlan("A");
  }
  void Row(int delay, const std::string& log, const std::string& folder = "") {
    auto entry = std::make_unique<LaunchEntry>();
    entry->programPath = Helper("recorder.exe");
    entry->runDirectory = folder;
    entry->commandLine = " " + log + " sleep";
    entry->delaySeconds = delay;
    catalogue.AddEntry(std::move(entry));
  }
};

TEST(RunnerWithProcesses, AStopDuringCreationsLeavesNothingRunning) {
  char cwd[4096] = "";
  ::GetCurrentDirectoryA(sizeof cwd, cwd);
  // A folder of its own, so no other test's program is taken for one of its rows.
  const std::string run = std::string(cwd) + "\\stop_creations_" + std::to_string(::GetCurrentProcessId());
  ::CreateDirectoryA(run.c_str(), nullptr);
  const std::string log = run + "\\log.txt";
  RecorderPlan plan;
  for (int i = 0; i < 8; ++i) plan.Row(0, log, run);
  plan.catalogue.CloseLastPlan();
  WindowsProcessHost& host = plan.host;
  PlanRunner& runner = plan.runner;

  // Stops at several moments of the creations: at once, and after a few
  // have come out.
  for (const int afterMs : {0, 30, 80}) {
    ::DeleteFileA(log.c_str());
    ASSERT_TRUE(runner.Start(0));
    // The rows are read first (at the first start), then their creations asked.
    for (int i = 0; i < 5000 && host.StartsOut() == 0; ++i) {
      runner.TakeProcessNews();
      if (host.StartsOut() == 0) ::Sleep(1);
    }
    ASSERT_EQ(host.StartsOut(), 8u);
    ::Sleep(static_cast<DWORD>(afterMs));
    runner.Stop();
    EXPECT_EQ(host.StartsOut(), 0u);
    // Whatever ran was terminated by the stop; nothing starts afterwards.
    ::Sleep(300);
    runner.TakeProcessNews();
    for (const DWORD pid : LoggedPids(log)) {
      const ScopedProcessHandle process = OpenToWatch(pid);
      if (!process) continue;  // ended and gone
      ASSERT_TRUE(WaitForExit(process.get())) << "after " << afterMs << " ms: " << pid;
      EXPECT_EQ(ExitCode(process.get()), kKillExitCode);
    }
  }
  ::DeleteFileA(log.c_str());
  ::RemoveDirectoryA(run.c_str());
}

TEST(RunnerWithProcesses, ACreationThatBlocksHoldsOnlyItsOwnRow) {
  char cwd[4096] = "";
  ::GetCurrentDirectoryA(sizeof cwd, cwd);
  RecorderPlan plan;
  std::vector<std::string> logs;
  for (const int delay : {3, 0, 0}) {  // rows 2 and 1 are due at once, row 2 asked first
    logs.push_back(std::string(cwd) + "\\blocked_" + std::to_string(::GetCurrentProcessId()) + "_" +
                   std::to_string(logs.size()) + ".txt");
    plan.Row(delay, logs.back());
  }
  plan.catalogue.CloseLastPlan();
  WindowsProcessHost& host = plan.host;
  PlanRunner& runner = plan.runner;

  // The seam: row 2's creation blocks for 5 s (its program on a share that
  // has gone away). When each creation begins is noted.
  using Clock = std::chrono::steady_clock;
  std::mutex mutex;
  Clock::time_point begun[3]{};
  Clock::time_point returned{};
  host.CreateWith([&](LaunchParameters& parameters) {
    std::size_t entry = 0;
    while (parameters.commandLine.find(Wide(logs[entry])) == std::wstring::npos) ++entry;
    {
      std::lock_guard<std::mutex> lock(mutex);
      begun[entry] = Clock::now();
    }
    if (entry == 2) {
      ::Sleep(5000);
      std::lock_guard<std::mutex> lock(mutex);
      returned = Clock::now();
    }
    return CreateSuspended(parameters);
  });

  // Ticks a second apart, as the window's timer gives them, the news taken
  // between them.
  const Clock::time_point start = Clock::now();
  std::vector<Clock::time_point> ticks;
  ASSERT_TRUE(runner.Start(0));
  ProcessTable& table = host.table();
  while (Clock::now() - start < std::chrono::seconds(8) &&
         !(table.IsRunning(0) && table.IsRunning(1) && table.IsRunning(2))) {
    if (Clock::now() - start >= std::chrono::seconds(ticks.size() + 1)) {
      ticks.push_back(Clock::now());
      runner.Tick();
    }
    runner.TakeProcessNews();
    ::Sleep(2);
  }
  ASSERT_TRUE(table.IsRunning(0) && table.IsRunning(1) && table.IsRunning(2));
  std::lock_guard<std::mutex> lock(mutex);
  // The others began while the blocked one had not come back: row 1, due
  // with it and asked after it, once it had been stuck for 2 s; row 0 soon
  // after the tick that made it due (its third), not when the stuck one came
  // back 2 s later.
  EXPECT_LT(begun[2], begun[1]);
  EXPECT_LT(begun[1], returned);
  EXPECT_LT(begun[0], returned);
  ASSERT_GE(ticks.size(), 3u);
  EXPECT_GE(begun[0], ticks[2]);
  EXPECT_LT(begun[0] - ticks[2], std::chrono::milliseconds(500));
  for (const std::string& log : logs) ::DeleteFileA(log.c_str());
}

}  // namespace
