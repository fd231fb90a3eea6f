// The plan runner driving real processes through the process table: the
// hung-program kill, the relaunch and the stop with the exit notice, observed
// from outside under Wine.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <memory>
#include <string>

#include "net/exit_notice.h"
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

// The real process table; the dialog's parts (rows, rerun box, timer, look)
// and the liveness table are stand-ins. The notice goes to one test port.
class TableHost : public RunnerHost {
 public:
  TableHost(Catalogue& catalogue, int noticePort) : catalogue_(catalogue), noticePort_(noticePort) {}

  bool IsRowChecked(int) override { return true; }
  bool IsRerunChecked() override { return true; }
  std::uint32_t CreateEntryProcess(std::size_t entry) override {
    return table.Create(entry, *catalogue_.m_entries[entry]) ? 0 : 1;
  }
  std::string DescribeError(std::uint32_t) override { return {}; }
  std::uint32_t EntryExitCode(std::size_t) override { return 0; }
  std::uint64_t NowMilliseconds() override { return 0; }
  bool StartDump(std::size_t) override { return false; }
  DumpOutcome PollDump(std::size_t) override { return {}; }
  void AbandonDump(std::size_t) override {}
  bool IsEntryRunning(std::size_t entry) override { return table.IsRunning(entry); }
  std::uint32_t EntryProcessId(std::size_t entry) override { return table.ProcessId(entry); }
  void TerminateEntry(std::size_t entry) override { table.Terminate(entry); }
  std::uint32_t TerminateProcessByName(const char* name) override { return ProcessTable::TerminateProcessByName(name); }
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
  void StartTickTimer() override {}
  void StopTickTimer() override {}
  void ShowRunning(bool) override {}

  ProcessTable table;
  std::deque<std::uint32_t> stale;

 private:
  Catalogue& catalogue_;
  int noticePort_;
};

// Ends whatever a table still runs when the test leaves, passing or not.
struct EndAll {
  ProcessTable& table;
  ~EndAll() {
    for (std::size_t i = 0; i < 4; ++i) table.Terminate(i);
  }
};

TEST(RunnerWithProcesses, HungKillRelaunchAndStopWithNotice) {
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

  TableHost host(catalogue, port);
  RunnerOptions options;
  PlanRunner runner(catalogue, host, options);
  const EndAll endPlan{host.table};
  ASSERT_TRUE(runner.Start(0));
  ASSERT_TRUE(host.table.IsRunning(0));
  ASSERT_TRUE(host.table.IsRunning(1));

  // An error-reporting process left behind by some hang.
  ProcessTable others;
  const EndAll endOthers{others};
  LaunchEntry werFault;
  werFault.programPath = Helper("WerFault.exe");
  werFault.commandLine = " ";
  ASSERT_TRUE(others.Create(0, werFault));

  // Entry 0's heartbeat went stale: it and the error-reporting process die.
  const DWORD hung = host.table.ProcessId(0);
  const ScopedProcessHandle hungProcess = ProcessTable::OpenProcessById(hung);
  host.stale = {hung};
  runner.Tick();
  ASSERT_TRUE(WaitForExit(hungProcess.get()));
  EXPECT_EQ(ExitCode(hungProcess.get()), kKillExitCode);
  ASSERT_TRUE(WaitForExit(others.ProcessHandle(0)));
  EXPECT_EQ(ExitCode(others.ProcessHandle(0)), kKillExitCode);
  EXPECT_TRUE(host.table.IsRunning(1));

  // The next tick relaunches it.
  runner.Tick();
  EXPECT_TRUE(host.table.IsRunning(0));
  EXPECT_NE(host.table.ProcessId(0), hung);

  // The listener must be up before the notice is worth sending; it logs
  // "listening" once bound.
  for (int i = 0; i < 3000 && !LogHas(log, "\tlistening"); ++i) ::Sleep(10);
  ASSERT_TRUE(LogHas(log, "\tlistening"));

  // Stop: the exempt server exits by itself on the notice, the other is
  // terminated through the handle of its latest process.
  runner.Stop();
  ASSERT_TRUE(WaitForExit(host.table.ProcessHandle(0)));
  EXPECT_EQ(ExitCode(host.table.ProcessHandle(0)), kKillExitCode);
  ASSERT_TRUE(WaitForExit(host.table.ProcessHandle(1)));
  EXPECT_EQ(ExitCode(host.table.ProcessHandle(1)), 0u);
  EXPECT_TRUE(LogHas(log, "\tnotice"));

  ::DeleteFileA(log.c_str());
  ::WSACleanup();
}

}  // namespace
