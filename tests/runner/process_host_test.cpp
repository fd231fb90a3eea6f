// The process table against real processes under Wine: the helper programs
// record how they were started, and the tests observe exits from outside.
#include "platform/handle_count.h"
#include "runner/process_host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <algorithm>
#include <string>
#include <vector>

#include "runner/helper_processes.h"
#include "runner/plan_runner.h"

namespace {

std::string CurrentDirectory() {
  char buffer[4096] = "";
  ::GetCurrentDirectoryA(sizeof buffer, buffer);
  return buffer;
}

struct LogLine {
  DWORD pid = 0;
  std::string cwd;
  std::string what;  // the command line, or an event such as "notice"
};

std::vector<LogLine> ReadLog(const std::string& path) {
  std::vector<LogLine> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
      const std::size_t tab = line.find('\t', start);
      if (tab == std::string::npos) break;
      fields.push_back(line.substr(start, tab - start));
      start = tab + 1;
    }
    if (fields.size() != 3) continue;
    lines.push_back(LogLine{static_cast<DWORD>(std::stoul(fields[0])), fields[2], line.substr(start)});
  }
  return lines;
}

LaunchEntry Entry(const std::string& program, const std::string& directory, const std::string& commandLine) {
  LaunchEntry entry;
  entry.enabled = 1;
  entry.programPath = program;
  entry.runDirectory = directory;
  entry.commandLine = commandLine;
  return entry;
}

class ProcessTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = CurrentDirectory() + "\\process_work_" + std::to_string(::GetCurrentProcessId());
    ::CreateDirectoryA(work_.c_str(), nullptr);
    run_ = work_ + "\\run";
    ::CreateDirectoryA(run_.c_str(), nullptr);
    log_ = work_ + "\\log.txt";
    ::DeleteFileA(log_.c_str());
  }
  void TearDown() override {
    // No helper outlives its test.
    for (std::size_t i = 0; i < 8; ++i) {
      table_.Terminate(i);
      if (table_.ProcessHandle(i) != nullptr) WaitForExit(table_.ProcessHandle(i));
    }
    ::DeleteFileA(log_.c_str());
    ::RemoveDirectoryA(run_.c_str());
    ::RemoveDirectoryA(work_.c_str());
  }
  // An entry whose program sleeps until it is terminated.
  LaunchEntry Sleeper() { return Entry(Helper("recorder.exe"), run_, " " + log_ + " sleep"); }

  ProcessTable table_;
  std::string work_, run_, log_;
};

TEST_F(ProcessTableTest, CreateRunsTheStoredCommandLineInTheRunDirectory) {
  const std::string launcherDir = CurrentDirectory();
  const LaunchEntry entry = Entry(Helper("recorder.exe"), run_, " " + log_ + " exit 0 7");
  EXPECT_EQ(table_.ProcessId(0), 0u);
  EXPECT_FALSE(table_.IsRunning(0));

  ASSERT_TRUE(table_.Create(0, entry));
  EXPECT_EQ(CurrentDirectory(), launcherDir);
  const DWORD pid = table_.ProcessId(0);
  EXPECT_NE(pid, 0u);
  ASSERT_TRUE(WaitForExit(table_.ProcessHandle(0)));
  EXPECT_EQ(ExitCode(table_.ProcessHandle(0)), 7u);  // the arguments arrived
  EXPECT_FALSE(table_.IsRunning(0));                // it ended by itself
  EXPECT_EQ(table_.ProcessId(0), pid);              // and is still the latest

  const std::vector<LogLine> log = ReadLog(log_);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].pid, pid);
  EXPECT_EQ(log[0].what, entry.commandLine);
  EXPECT_TRUE(EqualsIgnoringAsciiCase(log[0].cwd, run_)) << log[0].cwd << " vs " << run_;
}

TEST_F(ProcessTableTest, EmptyRunDirectoryRunsInTheLaunchersDirectory) {
  ASSERT_TRUE(table_.Create(0, Entry(Helper("recorder.exe"), "", " " + log_ + " exit 0")));
  ASSERT_TRUE(WaitForExit(table_.ProcessHandle(0)));
  const std::vector<LogLine> log = ReadLog(log_);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(EqualsIgnoringAsciiCase(log[0].cwd, CurrentDirectory())) << log[0].cwd;
}

TEST_F(ProcessTableTest, TerminateUses111AndARelaunchReplacesTheProcess) {
  ASSERT_TRUE(table_.Create(0, Sleeper()));
  const DWORD first = table_.ProcessId(0);
  EXPECT_TRUE(table_.IsRunning(0));
  const ScopedProcessHandle firstProcess = ProcessTable::OpenProcessById(first);
  ASSERT_TRUE(firstProcess);

  ASSERT_TRUE(table_.Create(0, Sleeper()));
  const DWORD second = table_.ProcessId(0);
  EXPECT_NE(second, first);

  // A creation that fails leaves the latest process in place.
  EXPECT_FALSE(table_.Create(0, Entry(work_ + "\\missing.exe", run_, " x")));
  EXPECT_EQ(table_.ProcessId(0), second);

  // Terminate reaches the latest process only.
  table_.Terminate(0);
  ASSERT_TRUE(WaitForExit(table_.ProcessHandle(0)));
  EXPECT_EQ(ExitCode(table_.ProcessHandle(0)), kKillExitCode);
  EXPECT_FALSE(table_.IsRunning(0));
  EXPECT_EQ(::WaitForSingleObject(firstProcess.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ::TerminateProcess(firstProcess.get(), 0);
  WaitForExit(firstProcess.get());

  // Terminating an ended process again, or an entry without one, is harmless.
  table_.Terminate(0);
  table_.Terminate(5);
  EXPECT_FALSE(table_.IsRunning(5));
  EXPECT_EQ(table_.ProcessId(5), 0u);
}

TEST_F(ProcessTableTest, FindsAndTerminatesAProcessByNameIgnoringCase) {
  EXPECT_FALSE(ProcessTable::FindProcessByName("WerFault.exe"));
  // Started with no arguments, the WerFault.exe copy only sleeps.
  ASSERT_TRUE(table_.Create(0, Entry(Helper("WerFault.exe"), run_, " ")));

  EXPECT_TRUE(ProcessTable::FindProcessByName("werfault.EXE"));
  EXPECT_FALSE(ProcessTable::FindProcessByName("WerFault"));  // whole names only
  EXPECT_FALSE(ProcessTable::FindProcessByName("Fault.exe"));

  ProcessTable::TerminateProcessByName("WERFAULT.exe");
  ASSERT_TRUE(WaitForExit(table_.ProcessHandle(0)));
  EXPECT_EQ(ExitCode(table_.ProcessHandle(0)), kKillExitCode);
}

TEST_F(ProcessTableTest, RelaunchesLeaveTheHandleCountFlat) {
  const LaunchEntry quiet = Entry(Helper("recorder.exe"), run_, " ");  // sleeps, logs nothing
  // Warm up: the first creations may set up lasting state of their own.
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(table_.Create(0, quiet));
    table_.Terminate(0);
  }
  ASSERT_TRUE(WaitForExit(table_.ProcessHandle(0)));
  const long before = CountHandles(::GetCurrentProcessId());
  ASSERT_GT(before, 0);

  constexpr int kRelaunches = 200;
  for (int i = 0; i < kRelaunches; ++i) {
    ASSERT_TRUE(table_.Create(0, quiet));
    table_.Terminate(0);
  }
  ASSERT_TRUE(WaitForExit(table_.ProcessHandle(0)));
  const long after = CountHandles(::GetCurrentProcessId());
  // Keeping the replaced process and thread handles would add 600.
  EXPECT_EQ(after, before);
}

}  // namespace
