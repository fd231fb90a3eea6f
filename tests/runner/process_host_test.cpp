// The process table against real processes under Wine: the helper programs
// record how they were started, and the tests observe exits from outside.
#include "platform/handle_count.h"
#include "platform/wide.h"
#include "platform/window_thread.h"
#include "runner/process_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "runner/dump_writer.h"
#include "runner/helper_processes.h"
#include "runner/plan_runner.h"
#include "text/format_text.h"

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

  ASSERT_EQ(table_.Create(0, entry).error, 0u);
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
  ASSERT_EQ(table_.Create(0, Entry(Helper("recorder.exe"), "", " " + log_ + " exit 0")).error, 0u);
  ASSERT_TRUE(WaitForExit(table_.ProcessHandle(0)));
  const std::vector<LogLine> log = ReadLog(log_);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(EqualsIgnoringAsciiCase(log[0].cwd, CurrentDirectory())) << log[0].cwd;
}

TEST_F(ProcessTableTest, TerminateUses111AndARelaunchReplacesTheProcess) {
  ASSERT_EQ(table_.Create(0, Sleeper()).error, 0u);
  const DWORD first = table_.ProcessId(0);
  EXPECT_TRUE(table_.IsRunning(0));
  const ScopedProcessHandle firstProcess = OpenToWatch(first);
  ASSERT_TRUE(firstProcess);

  ASSERT_EQ(table_.Create(0, Sleeper()).error, 0u);
  const DWORD second = table_.ProcessId(0);
  EXPECT_NE(second, first);

  // A creation that fails leaves the latest process in place.
  EXPECT_EQ(table_.Create(0, Entry(work_ + "\\missing.exe", run_, " x")).error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
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

// A launcher that dies between a creation and letting it run leaves no
// program behind: its handles closing end the program, which never ran.
// (That a program let run outlives its launcher, the program tests show.)
TEST_F(ProcessTableTest, AProgramNotYetLetRunEndsWithTheLaunchersHandles) {
  LaunchParameters parameters;
  parameters.program = Wide(Helper("recorder.exe"));
  parameters.commandLine = Wide(" " + log_ + " exit 0 7");
  parameters.directory = Wide(run_);
  parameters.startupInfo.cb = sizeof parameters.startupInfo;
  StartedProcess unrun = CreateSuspended(parameters);
  ASSERT_EQ(unrun.start.error, 0u);
  const ScopedProcessHandle watched = OpenToWatch(unrun.processId);
  ASSERT_TRUE(watched);
  unrun = StartedProcess{};  // the launcher's handles close, as at its end
  const bool ended = WaitForExit(watched.get());
  ::TerminateProcess(watched.get(), 0);  // none left for the next test, whatever the outcome
  ASSERT_TRUE(ended);
  EXPECT_NE(ExitCode(watched.get()), 7u);
  EXPECT_TRUE(ReadLog(log_).empty());  // it never ran
}

// What `ask` gives once the host has read it off this thread, taking the
// host's news meanwhile, as the window does.
template <typename Ask>
auto Once(WindowsProcessHost& host, Ask ask) {
  for (int i = 0; i < 1000; ++i) {
    if (auto read = ask()) return *read;
    host.TakeNews(SIZE_MAX);
    ::Sleep(5);
  }
  ADD_FAILURE() << "never read";
  return std::remove_reference_t<decltype(*ask())>{};
}

TEST_F(ProcessTableTest, EndingAProgramEndsWhatItStartedAndAnotherLauncherCanTakeItOver) {
  // This thread is the window's: looks, takeovers and their records make
  // no file call on it.
  struct WindowThread {
    WindowThread() { MarkWindowThread(true); }
    ~WindowThread() { MarkWindowThread(false); }
  } windowThread;
  const unsigned fileCalls = FileCallsOnWindowThread();
  const auto inFound = [](const std::vector<FoundProcess>& in, DWORD pid) {
    return std::find_if(in.begin(), in.end(), [pid](const FoundProcess& f) { return f.pid == pid; });
  };
  // A loader that starts its server and waits for it.
  const std::string server = work_ + "\\server.txt";
  ::DeleteFileA(server.c_str());
  Catalogue catalogue;
  catalogue.AddPlan("p");
  catalogue.AddEntry(std::make_unique<LaunchEntry>(
      Entry(Helper("recorder.exe"), run_, " " + log_ + " spawn " + server + " sleep")));
  catalogue.CloseLastPlan();
  const auto serverPid = [&] {
    for (int i = 0; i < 500 && ReadLog(server).empty(); ++i) ::Sleep(10);
    return ReadLog(server).empty() ? 0 : ReadLog(server)[0].pid;
  };

  // Whatever happens, nothing outlives the test.
  struct EndPids {
    std::vector<DWORD> pids;
    ~EndPids() {
      for (DWORD pid : pids) {
        const ScopedProcessHandle process = OpenToWatch(pid);
        if (process) ::TerminateProcess(process.get(), 0);
      }
    }
  } leftovers;

  // The first launcher starts it and ends without ending it.
  DWORD loader = 0;
  {
    WindowsProcessHost first(catalogue);
    ASSERT_EQ(first.table().Create(0, *catalogue.m_entries[0], Once(first, [&] { return first.EntryIdentity(0); }))
                  .jobError,
              0u);
    loader = first.EntryProcessId(0);
    leftovers.pids = {loader, serverPid()};
    ASSERT_NE(leftovers.pids[1], 0u);
    // While it supervises, another launcher finds the loader as its.
    WindowsProcessHost other(catalogue);
    const ProcessIdentity otherRow = Once(other, [&] { return other.EntryIdentity(0); });
    const std::vector<FoundProcess> found = Once(other, [&] { return other.FindRunning(otherRow); });
    const auto seen = std::find_if(found.begin(), found.end(), [&](const FoundProcess& f) { return f.pid == loader; });
    ASSERT_NE(seen, found.end());
    EXPECT_EQ(seen->otherLauncher, ::GetCurrentProcessId());
    EXPECT_NE(other.AdoptProcess(0, *seen, otherRow).error, 0u);
    // Its own host never finds what it holds.
    const ProcessIdentity firstRow = Once(first, [&] { return first.EntryIdentity(0); });
    const std::vector<FoundProcess> own = Once(first, [&] { return first.FindRunning(firstRow); });
    EXPECT_EQ(inFound(own, loader), own.end());
    EXPECT_EQ(inFound(own, serverPid()), own.end());
  }
  const ScopedProcessHandle loaderProcess = OpenToWatch(loader);
  const ScopedProcessHandle serverProcess = OpenToWatch(serverPid());
  ASSERT_TRUE(loaderProcess && serverProcess);

  // The next one finds it as the row would start it, by the record it
  // carries, and takes it over with its tree.
  WindowsProcessHost next(catalogue);
  // Read off this thread: nothing at the first ask, and news once read.
  EXPECT_FALSE(next.EntryIdentity(0).has_value());
  const ProcessIdentity row = Once(next, [&] { return next.EntryIdentity(0); });
  EXPECT_EQ(row.file.front(), '#');  // the file by its id, not its path's text
  // The server runs the same file in the same folder, with its own line and
  // no record of its own.
  // (Processes of earlier tests that Wine has not ended yet may be listed too.)
  const std::vector<FoundProcess> found = Once(next, [&] { return next.FindRunning(row); });
  ASSERT_NE(inFound(found, loader), found.end());
  ASSERT_NE(inFound(found, serverPid()), found.end());
  const FoundProcess& first = *inFound(found, loader);
  const FoundProcess& child = *inFound(found, serverPid());
  EXPECT_EQ(first.otherLauncher, 0u);
  EXPECT_TRUE(first.recorded);
  EXPECT_EQ(first.launched.file, row.file);
  EXPECT_EQ(first.launched.directory, row.directory);
  EXPECT_EQ(first.launched.commandLine, row.commandLine);
  EXPECT_EQ(first.identity.directory, row.directory);
  EXPECT_FALSE(child.recorded);
  const ClaimChoice claim = ChooseClaim({row}, 0, found);
  EXPECT_EQ(claim.pid, loader);
  EXPECT_EQ(claim.basis, AdoptBasis::kRecord);
  // A process with the id but another creation time is not the one seen.
  FoundProcess reused = first;
  reused.created += 1;
  EXPECT_TRUE(next.AdoptProcess(0, reused, row).gone);
  EXPECT_EQ(next.AdoptProcess(0, first, row).error, 0u);
  EXPECT_TRUE(next.IsEntryRunning(0));
  // Once held, neither it nor what it started is found again.
  const std::vector<FoundProcess> held = Once(next, [&] { return next.FindRunning(row); });
  EXPECT_EQ(inFound(held, loader), held.end());
  EXPECT_EQ(inFound(held, serverPid()), held.end());
  // The loader ends alone: its server is the one process left in its tree,
  // and is taken as the row's, with a record a later launcher believes.
  ::TerminateProcess(loaderProcess.get(), 3);
  ASSERT_TRUE(WaitForExit(loaderProcess.get()));
  ASSERT_EQ(next.LeftInTree(0), std::vector<std::uint32_t>{serverPid()});
  ASSERT_EQ(next.TakeSurvivor(0, serverPid()).error, 0u);
  EXPECT_EQ(next.EntryProcessId(0), serverPid());
  {
    WindowsProcessHost later(catalogue);
    const ProcessIdentity laterRow = Once(later, [&] { return later.EntryIdentity(0); });
    const std::vector<FoundProcess> again = Once(later, [&] { return later.FindRunning(laterRow); });
    const auto survivor = inFound(again, serverPid());
    ASSERT_NE(survivor, again.end());
    EXPECT_TRUE(survivor->recorded);
    EXPECT_EQ(survivor->launched.commandLine, row.commandLine);
    EXPECT_EQ(survivor->otherLauncher, ::GetCurrentProcessId());
  }
  // Ending it ends it in its tree.
  next.TerminateEntry(0);
  EXPECT_TRUE(next.IsEntryEnding(0) || !next.IsEntryRunning(0));
  ASSERT_TRUE(WaitForExit(serverProcess.get()));
  EXPECT_EQ(ExitCode(serverProcess.get()), kKillExitCode);
  EXPECT_FALSE(next.IsEntryEnding(0));
  EXPECT_EQ(FileCallsOnWindowThread(), fileCalls);
  ::DeleteFileA(server.c_str());
}

TEST_F(ProcessTableTest, TheErrorReporterEndedIsTheOneReportingOnTheHungProgram) {
  Catalogue none;
  WindowsProcessHost host(none);
  EXPECT_EQ(host.TerminateErrorReporter(4242), 0u);
  ASSERT_EQ(table_.Create(0, Entry(Helper("WerFault.exe"), run_, " -u -p 4241 -s 1")).error, 0u);
  ASSERT_EQ(table_.Create(1, Entry(Helper("werfault.EXE"), run_, " -u -p 4242 -s 1")).error, 0u);
  EXPECT_EQ(host.TerminateErrorReporter(4242), table_.ProcessId(1));
  ASSERT_TRUE(WaitForExit(table_.ProcessHandle(1)));
  EXPECT_EQ(ExitCode(table_.ProcessHandle(1)), kKillExitCode);
  // One that reports on another program is left alone; one that names no
  // program is taken when nothing tells the reporters apart.
  EXPECT_EQ(host.TerminateErrorReporter(4242), 0u);
  EXPECT_TRUE(table_.IsRunning(0));
  ASSERT_EQ(table_.Create(2, Entry(Helper("WerFault.exe"), run_, " ")).error, 0u);
  EXPECT_EQ(host.TerminateErrorReporter(4242), table_.ProcessId(2));
}

// The outcome of a dump once it is finished; not finished if it never is.
DumpOutcome FinishedDump(DumpWriter& writer, std::size_t entry) {
  for (int i = 0; i < 600; ++i) {
    const DumpOutcome outcome = writer.Poll(entry);
    if (outcome.finished) return outcome;
    ::Sleep(20);
  }
  return {};
}

TEST_F(ProcessTableTest, DumpsAreWrittenOneAtATimeAndTheTenNewestByFileTimeKept) {
  // A folder GBK has no name for (the dump writer takes it as given).
  const std::wstring dumps = Wide(work_) + L"\\dumps J\u00f6rg";
  ::CreateDirectoryW(dumps.c_str(), nullptr);
  // Ten earlier dumps, each written an hour before the one named before it
  // (the clock went back), and a file that is not ours.
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  std::vector<std::wstring> earlier;
  for (int k = 1; k <= 10; ++k) {
    earlier.push_back(dumps + Wide(FormatText("\\old.exe_%d_202612%02d-000000.dmp", k, k)));
    const ULONGLONG hoursAgo = ((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime) -
                               static_cast<ULONGLONG>(k) * 36000000000ull;
    const FILETIME written{static_cast<DWORD>(hoursAgo), static_cast<DWORD>(hoursAgo >> 32)};
    const ScopedKernelHandle file(
        ::CreateFileW(earlier.back().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file && ::SetFileTime(file.get(), nullptr, nullptr, &written));
  }
  const std::wstring notOurs = dumps + L"\\notes.dmp";
  ::CloseHandle(::CreateFileW(notOurs.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));

  for (std::size_t i = 0; i < 3; ++i) ASSERT_EQ(table_.Create(i, Sleeper()).error, 0u);
  std::vector<DumpOutcome> outcomes;
  {
    DumpWriter writer(dumps);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_TRUE(writer.Start(i, table_.ProcessHandle(i), table_.ProcessId(i), Helper("recorder.exe")).started);
    }
    writer.Abandon(2);  // never written, or its file removed
    for (std::size_t i = 0; i < 2; ++i) outcomes.push_back(FinishedDump(writer, i));
    EXPECT_FALSE(writer.Poll(2).finished);
  }
  // Written in turn: the second began once the first was done. The journal
  // names the file in GBK, which shows the folder's ö as '?'.
  std::vector<std::wstring> written;
  for (const DumpOutcome& outcome : outcomes) {
    ASSERT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.error, 0u);
    ASSERT_EQ(outcome.path.rfind(Narrow(dumps) + "\\recorder.exe_", 0), 0u) << outcome.path;
    written.push_back(dumps + Wide(outcome.path.substr(Narrow(dumps).size())));
    char signature[4] = {};
    std::ifstream(written.back().c_str(), std::ios::binary).read(signature, 4);
    EXPECT_EQ(std::string(signature, 4), "MDMP") << outcome.path;
  }
  std::printf("two dumps of %llu bytes: %llu ms, then %llu ms\n", static_cast<unsigned long long>(outcomes[0].bytes),
              static_cast<unsigned long long>(outcomes[0].millis), static_cast<unsigned long long>(outcomes[1].millis));
  EXPECT_GE(outcomes[1].begunMs, outcomes[0].begunMs + outcomes[0].millis);
  // A process that has ended: the Windows error its dump carries, no file.
  table_.Terminate(2);
  ASSERT_TRUE(WaitForExit(table_.ProcessHandle(2)));
  DumpWriter writer(dumps);
  ASSERT_TRUE(writer.Start(2, table_.ProcessHandle(2), table_.ProcessId(2), Helper("recorder.exe")).started);
  const DumpOutcome ended = FinishedDump(writer, 2);
  EXPECT_NE(ended.error, 0u);
  EXPECT_LT(ended.error, 0x10000u) << "an HRESULT, not the Windows error it carries";
  EXPECT_EQ(::GetFileAttributesW((dumps + Wide(ended.path.substr(Narrow(dumps).size()))).c_str()),
            INVALID_FILE_ATTRIBUTES);

  // Room was made by file time, for the dumps written only: the two written
  // longest ago went, and the failed dump took none.
  for (int k = 1; k <= 10; ++k) {
    EXPECT_EQ(::GetFileAttributesW(earlier[k - 1].c_str()) != INVALID_FILE_ATTRIBUTES, k <= 8) << k;
  }
  EXPECT_NE(::GetFileAttributesW(notOurs.c_str()), INVALID_FILE_ATTRIBUTES);
  WIN32_FIND_DATAW found;
  int files = 0;
  const HANDLE search = ::FindFirstFileW((dumps + L"\\*.dmp").c_str(), &found);
  for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(search, &found)) ++files;
  if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
  EXPECT_EQ(files, 11);  // ten of ours and the other

  for (const std::wstring& path : earlier) ::DeleteFileW(path.c_str());
  for (const std::wstring& path : written) ::DeleteFileW(path.c_str());
  ::DeleteFileW(notOurs.c_str());
  ::RemoveDirectoryW(dumps.c_str());
}

// One whose launcher died before letting it run while no kill-on-close job
// held it (its job kept open from elsewhere here) is left suspended with its
// record: the next launcher ends it rather than take it for running.
TEST_F(ProcessTableTest, AProgramNeverLetRunIsEndedByTheNextLauncherNotTakenOver) {
  Catalogue catalogue;
  catalogue.AddPlan("p");
  catalogue.AddEntry(std::make_unique<LaunchEntry>(Sleeper()));
  catalogue.CloseLastPlan();
  LaunchParameters parameters;
  parameters.program = Wide(Helper("recorder.exe"));
  parameters.commandLine = Wide(Sleeper().commandLine);
  parameters.directory = Wide(run_);
  parameters.startupInfo.cb = sizeof parameters.startupInfo;
  StartedProcess unrun = CreateSuspended(parameters);
  ASSERT_EQ(unrun.start.error, 0u);
  const DWORD pid = unrun.processId;
  const ScopedProcessHandle watched = OpenToWatch(pid);
  HANDLE inside = nullptr;
  ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), unrun.job.get(), unrun.process.get(), &inside, SYNCHRONIZE,
                                FALSE, 0));
  unrun = StartedProcess{};  // the launcher's handles and mark go
  ASSERT_EQ(::WaitForSingleObject(watched.get(), 100), static_cast<DWORD>(WAIT_TIMEOUT));

  WindowsProcessHost next(catalogue);
  const ProcessIdentity row = Once(next, [&] { return next.EntryIdentity(0); });
  const std::vector<FoundProcess> found = Once(next, [&] { return next.FindRunning(row); });
  EXPECT_TRUE(std::none_of(found.begin(), found.end(), [pid](const FoundProcess& f) { return f.pid == pid; }));
  const bool ended = WaitForExit(watched.get());
  ::TerminateProcess(watched.get(), 0);  // none left for the next test, whatever the outcome
  ASSERT_TRUE(ended);
  EXPECT_EQ(ExitCode(watched.get()), kKillExitCode);
  EXPECT_TRUE(ReadLog(log_).empty());  // it never ran
}

// A job name taken before the launcher takes a process over (by another
// user, or by anyone first) still leaves the program in a job of the
// launcher's own, never in the squatter's or in none: ending the row ends it.
TEST_F(ProcessTableTest, ATakenJobNameStillGivesTheProgramAJobOfItsOwn) {
  Catalogue catalogue;
  catalogue.AddPlan("p");
  catalogue.AddEntry(std::make_unique<LaunchEntry>(Sleeper()));
  catalogue.CloseLastPlan();
  // Started by hand, as the row would start it: no record, no job.
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::wstring line = Wide(Sleeper().commandLine);
  ASSERT_TRUE(::CreateProcessW(Wide(Helper("recorder.exe")).c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, Wide(run_).c_str(), &startup, &info));
  ::CloseHandle(info.hThread);
  const ScopedProcessHandle program(info.hProcess);
  const ScopedKernelHandle squatter(
      ::CreateJobObjectW(nullptr, (L"Local\\Morvastel-job-" + std::to_wstring(info.dwProcessId)).c_str()));
  ASSERT_TRUE(squatter);

  WindowsProcessHost host(catalogue);
  const ProcessIdentity row = Once(host, [&] { return host.EntryIdentity(0); });
  const std::vector<FoundProcess> found = Once(host, [&] { return host.FindRunning(row); });
  const auto seen = std::find_if(found.begin(), found.end(),
                                 [&](const FoundProcess& f) { return f.pid == info.dwProcessId; });
  ASSERT_NE(seen, found.end());
  const bool adopted = host.AdoptProcess(0, *seen, row).error == 0;
  BOOL inSquatters = TRUE, inOne = FALSE;
  ::IsProcessInJob(program.get(), squatter.get(), &inSquatters);
  ::IsProcessInJob(program.get(), nullptr, &inOne);
  host.TerminateEntry(0);
  const bool ended = WaitForExit(program.get());
  ::TerminateProcess(program.get(), 0);  // none left for the next test, whatever the outcome
  EXPECT_TRUE(adopted);
  EXPECT_FALSE(inSquatters);
  EXPECT_TRUE(inOne);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ExitCode(program.get()), kKillExitCode);
}

TEST_F(ProcessTableTest, RelaunchesLeaveTheHandleCountFlat) {
  // Outlives the table, whose last watch may tell it after the test.
  static struct Ends : EndSink {
    std::atomic<int> seen{0};
    void ProcessEnded(std::size_t, DWORD) override { ++seen; }
  } ends;
  const LaunchEntry quiet = Entry(Helper("recorder.exe"), run_, " ");  // sleeps, logs nothing
  std::vector<DWORD> pids;
  pids.reserve(512);
  const auto relaunch = [&] {
    // Wine's loader now and then fails to start a process on a loaded
    // machine, and the creation fails with ERROR_INTERNAL_ERROR; the runner
    // tries again at its next tick, and so does this.
    DWORD error = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
      error = table_.Create(0, quiet).error;
      if (error != ERROR_INTERNAL_ERROR) break;
    }
    ASSERT_EQ(error, 0u);
    pids.push_back(table_.ProcessId(0));
    table_.WatchEnd(0, ends);
    table_.Terminate(0);
  };
  // Warm up: the first creations (and the thread pool's first wait) may set
  // up lasting state of their own.
  for (int i = 0; i < 3; ++i) relaunch();
  ASSERT_TRUE(WaitForExit(table_.ProcessHandle(0)));
  const long before = CountHandles(::GetCurrentProcessId());
  ASSERT_GT(before, 0);

  constexpr int kRelaunches = 200;
  for (int i = 0; i < kRelaunches; ++i) relaunch();
  ASSERT_TRUE(WaitForExit(table_.ProcessHandle(0)));
  const long after = CountHandles(::GetCurrentProcessId());
  // Keeping the replaced process and thread handles would add 600, and the
  // replaced end watches as many again.
  EXPECT_EQ(after, before);
  for (int i = 0; i < 500 && ends.seen == 0; ++i) ::Sleep(10);
  EXPECT_GE(ends.seen, 1);  // the last one's end at least (replaced watches may never tell)
  // Each one the table let go was ended by its kill, none left running.
  for (const DWORD pid : pids) {
    const ScopedProcessHandle process = OpenToWatch(pid);
    if (!process || !RunsRecorder(process.get())) continue;  // ended and gone
    EXPECT_TRUE(WaitForExit(process.get())) << pid;
    ::TerminateProcess(process.get(), 0);
  }
}

}  // namespace
