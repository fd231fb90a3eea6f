// procstat against processes whose handles, memory and exit codes the test
// controls: the reliability figures are only as true as these answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "demo_test_support.h"

using namespace demo_test;

namespace {

struct Stat {
  long handles = -1;
  unsigned long long workingSet = 0;
};

// procstat's answer about this test process.
Stat StatOfSelf() {
  Child tool(ProgramPath("procstat.exe") + " stat " + std::to_string(GetCurrentProcessId()), "", true);
  const std::string out = tool.Output();
  EXPECT_EQ(tool.Finish(), 0u) << out;
  Stat stat;
  unsigned long pid = 0;
  EXPECT_EQ(std::sscanf(out.c_str(), "pid %lu handles %ld working_set %llu", &pid, &stat.handles,
                        &stat.workingSet),
            3)
      << out;
  EXPECT_EQ(pid, GetCurrentProcessId());
  return stat;
}

}  // namespace

TEST(Procstat, CountsExactlyTheHandlesTheProcessOpens) {
  const Stat before = StatOfSelf();
  ASSERT_GT(before.handles, 0);
  std::vector<HANDLE> events;
  for (int i = 0; i < 50; ++i) events.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  const Stat during = StatOfSelf();
  for (HANDLE event : events) CloseHandle(event);
  const Stat after = StatOfSelf();
  EXPECT_EQ(during.handles - before.handles, 50);
  EXPECT_EQ(after.handles, before.handles);
}

TEST(Procstat, WorkingSetGrowsWithTouchedMemory) {
  const Stat before = StatOfSelf();
  const SIZE_T size = 64u << 20;
  auto* block = static_cast<volatile char*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(block, nullptr);
  for (SIZE_T offset = 0; offset < size; offset += 4096) block[offset] = 1;
  const Stat during = StatOfSelf();
  VirtualFree(const_cast<char*>(block), 0, MEM_RELEASE);
  EXPECT_GE(during.workingSet, before.workingSet + (60u << 20));
}

TEST(Procstat, FailsForAProcessThatDoesNotExist) {
  Child tool(ProgramPath("procstat.exe") + " stat 4294967280", "", true);
  const std::string out = tool.Output();
  EXPECT_EQ(tool.Finish(), 1u) << out;
  EXPECT_EQ(out, "");
}

TEST(Procstat, WatchReportsEachEndWithItsExitCode) {
  ScratchDir dir;
  UdpPort beats;  // keeps StallWorker's heartbeats away from any launcher
  Child watch(ProgramPath("procstat.exe") + " watch 4 BriefWorker.exe stallworker.exe", "", true);
  Child brief(ProgramPath("BriefWorker.exe") + " --exit-after 1", dir.path());
  Child stall(ProgramPath("StallWorker.exe") + " --port " + std::to_string(beats.port()), dir.path());
  EXPECT_EQ(brief.Finish(), 3u);
  ASSERT_FALSE(beats.Receive(5000).empty());
  TerminateProcess(stall.handle(), 111);
  EXPECT_EQ(stall.Finish(), 111u);

  const std::string out = watch.Output();
  EXPECT_EQ(watch.Finish(), 0u);
  EXPECT_NE(out.find("BriefWorker.exe pid " + std::to_string(brief.pid()) + " | ended with exit code 3\n"),
            std::string::npos)
      << out;
  // The name as given on the command line, whatever its case.
  EXPECT_NE(out.find("stallworker.exe pid " + std::to_string(stall.pid()) + " | ended with exit code 111\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("summary BriefWorker.exe started 1 ended 1 codes 3:1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("summary stallworker.exe started 1 ended 1 codes 111:1\n"), std::string::npos) << out;
}

TEST(Procstat, WatchWhileEndsWithTheProcessAndStillReportsItsEnd) {
  ScratchDir dir;
  Child brief(ProgramPath("BriefWorker.exe") + " --exit-after 1", dir.path());
  // Watches over the worker itself: the watch ends when it does, long before
  // its hour is up, and the worker's own end is in the report.
  Child watch(ProgramPath("procstat.exe") + " watch --while " + std::to_string(brief.pid()) +
                  " 3600 BriefWorker.exe",
              "", true);
  const std::string out = watch.Output();
  EXPECT_EQ(watch.Finish(), 0u) << out;
  EXPECT_EQ(brief.Finish(0), 3u);
  EXPECT_NE(out.find("BriefWorker.exe pid " + std::to_string(brief.pid()) + " | ended with exit code 3\n"),
            std::string::npos)
      << out;
}

TEST(Procstat, WatchWhileRefusesAProcessThatDoesNotExist) {
  Child watch(ProgramPath("procstat.exe") + " watch --while 4294967280 5 BriefWorker.exe", "", true);
  EXPECT_EQ(watch.Finish(), 1u);
}
