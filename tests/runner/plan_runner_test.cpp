#include "runner/plan_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "text/format_text.h"
#include "runner/dump_files.h"
#include "runner/dump_queue.h"
#include "runner/creation_line.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace {

// Records every call in order. Queries ("checked", "rerun", "running", "pid")
// are recorded too; Effects() leaves them out.
class FakeHost : public RunnerHost, public ProcessHost {
 public:
  const Catalogue* catalogue = nullptr;
  std::vector<std::string> log;
  std::set<int> uncheckedRows;
  bool rerun = true;
  bool creationFails = false;
  std::map<std::size_t, std::uint32_t> pids;  // entry -> latest process id
  std::set<std::uint32_t> alive;
  std::deque<std::uint32_t> stale;
  std::uint32_t nextPid = 100;
  std::uint32_t reporterPid = 0;
  std::map<std::uint32_t, std::uint32_t> exitCodes;  // pid -> its exit code
  std::uint64_t now = 0;
  bool dumps = false;
  DumpStart dumpRefused;                            // with an error: every dump asked for is refused so
  std::map<std::size_t, DumpOutcome> dumpOutcomes;  // a dump asked for begins at once, unless set otherwise
  std::vector<FoundProcess> foreign;  // running, not held: what FindRunning sees
  std::uint32_t jobError = 0;         // every creation and adoption gets no job
  bool inLauncherJob = false;         // every creation stays in the launcher's own job
  std::uint32_t adoptionTakenBy = 0;  // another launcher claims each adoption first

  bool IsRowChecked(int row) override {
    log.push_back("checked " + std::to_string(row));
    return uncheckedRows.count(row) == 0;
  }
  bool IsRerunChecked() override {
    log.push_back("rerun");
    return rerun;
  }
  // Creations are asked for ("create N"), then made in order (Make), each
  // one's news waiting in `news` until the runner takes it.
  std::deque<std::size_t> asked;
  std::deque<ProcessNews> news;
  int cancels = 0;
  bool endsTold = false;  // the processes made from now on have their ends told
  void StartEntryProcess(std::size_t entry) override {
    log.push_back("create " + std::to_string(entry));
    asked.push_back(entry);
  }
  void Make(std::size_t most = SIZE_MAX) {
    for (; most > 0 && !asked.empty(); --most) {
      ProcessNews made;
      made.entry = asked.front();
      asked.pop_front();
      if (creationFails) {
        made.start.error = 2;
      } else {
        made.pid = pids[made.entry] = nextPid;
        made.start.jobError = jobError;
        made.start.inLauncherJob = inLauncherJob;
        made.start.endTold = endsTold;
        alive.insert(nextPid);
        nextPid += 4;
      }
      news.push_back(made);
    }
  }
  // Process `pid` exits, and the host sees it.
  void Exit(std::uint32_t pid) {
    alive.erase(pid);
    for (const auto& [entry, held] : pids) {
      if (held == pid) news.push_back({ProcessNews::Kind::kEnded, entry, pid, {}});
    }
  }
  std::vector<ProcessNews> TakeNews(std::size_t most) override {
    std::vector<ProcessNews> taken;
    for (; most > 0 && !news.empty(); --most) {
      taken.push_back(news.front());
      news.pop_front();
    }
    return taken;
  }
  std::vector<ProcessNews> slowStarts;  // told at the next CheckStarts
  std::vector<ProcessNews> CheckStarts() override { return std::exchange(slowStarts, {}); }
  std::vector<ProcessNews> CancelStarts() override {
    ++cancels;
    asked.clear();
    return TakeNews(SIZE_MAX);
  }
  // Rows differ by their program path; all run in one directory. Until
  // Read, the identities and looks are being read (the disk is slow).
  bool reading = false;
  std::map<std::size_t, int> identityAsks;  // entry -> times asked
  void Read() {
    reading = false;
    news.push_back({ProcessNews::Kind::kRead, 0, 0, {}});
  }
  std::optional<ProcessIdentity> EntryIdentity(std::size_t entry) override {
    ++identityAsks[entry];
    if (reading) return std::nullopt;
    const LaunchEntry& e = *catalogue->m_entries[entry];
    return ProcessIdentity{e.programPath, "D:\\RUN", e.commandLine, true};
  }
  bool lookReading = false;  // only the looks are being read
  std::optional<std::vector<FoundProcess>> FindRunning(const ProcessIdentity& row) override {
    if (reading || lookReading) return std::nullopt;
    std::vector<FoundProcess> found;
    for (const FoundProcess& f : foreign) {
      if (f.identity.file == row.file && alive.count(f.pid)) found.push_back(f);
    }
    return found;
  }
  ProcessStart AdoptProcess(std::size_t entry, const FoundProcess& found, const ProcessIdentity&) override {
    const std::uint32_t pid = found.pid;
    log.push_back("adopt " + std::to_string(entry) + " " + std::to_string(pid));
    if (adoptionTakenBy != 0) return {5, 0, adoptionTakenBy};
    if (goneAtAdoption.erase(pid) != 0) {
      alive.erase(pid);
      return {5, 0, 0, false, true};
    }
    pids[entry] = pid;
    for (auto it = foreign.begin(); it != foreign.end(); ++it) {
      if (it->pid == pid) {
        foreign.erase(it);
        break;
      }
    }
    return {0, jobError};
  }
  std::set<std::uint32_t> goneAtAdoption;  // these end between the look and their takeover
  // A process started outside the launcher, running `path` with `commandLine`.
  std::uint32_t Outside(const std::string& path, const std::string& commandLine, bool readable = true,
                        std::uint32_t launcher = 0, const std::string& directory = "D:\\RUN") {
    const std::uint32_t pid = nextPid;
    nextPid += 4;
    alive.insert(pid);
    FoundProcess found;
    found.pid = pid;
    found.identity = {path, readable ? directory : "", commandLine, readable};
    found.otherLauncher = launcher;
    foreign.push_back(found);
    return pid;
  }
  // A process with a launch record: launched as `path`, " -x", in
  // `launchedIn`, and running now in `directory`.
  std::uint32_t Recorded(const std::string& path, const std::string& directory,
                         const std::string& launchedIn = "D:\\RUN") {
    const std::uint32_t pid = Outside(path, " -x", true, 0, directory);
    foreign.back().recorded = true;
    foreign.back().launched = {path, launchedIn, " -x", true};
    return pid;
  }
  std::string DescribeError(std::uint32_t error) override { return "error " + std::to_string(error); }
  bool IsEntryRunning(std::size_t entry) override {
    log.push_back("running " + std::to_string(entry));
    const std::uint32_t pid = EntryPid(entry);
    return pid != 0 && alive.count(pid) != 0;
  }
  std::uint32_t EntryProcessId(std::size_t entry) override {
    log.push_back("pid " + std::to_string(entry));
    return EntryPid(entry);
  }
  bool slowEnds = false;              // a terminated process is ending until Exit()
  std::set<std::uint32_t> ending;
  void TerminateEntry(std::size_t entry) override {
    log.push_back("terminate " + std::to_string(entry));
    if (!slowEnds) {
      alive.erase(EntryPid(entry));
      for (const std::uint32_t pid : LeftInTree(entry)) alive.erase(pid);  // its job with it
    } else if (alive.count(EntryPid(entry)) != 0) {
      ending.insert(EntryPid(entry));
    }
  }
  // A stop's ask: what it reaches (kAsked* bits), by entry.
  std::uint32_t askReaches = kAskedCtrlC;
  std::map<std::size_t, std::uint32_t> askedToClose;
  void AskToClose(std::size_t entry) override {
    log.push_back("ask " + std::to_string(entry));
    askedToClose[entry] = askReaches;
    ending.insert(EntryPid(entry));
  }
  std::uint32_t AskedHow(std::size_t entry) override {
    return askedToClose.count(entry) != 0 ? askedToClose[entry] : 0;
  }
  bool IsEntryEnding(std::size_t entry) override {
    return ending.count(EntryPid(entry)) != 0 && alive.count(EntryPid(entry)) != 0;
  }
  void MoveProcess(std::size_t from, std::size_t to) override {
    log.push_back("move " + std::to_string(from) + " " + std::to_string(to));
    pids[to] = EntryPid(from);
    pids.erase(from);
  }
  std::vector<std::uint32_t> LeftInTree(std::size_t entry) override {
    std::vector<std::uint32_t> left;
    for (const auto& [pid, owner] : trees) {
      if (owner == entry && alive.count(pid) != 0) left.push_back(pid);
    }
    return left;
  }
  ProcessStart TakeSurvivor(std::size_t entry, std::uint32_t pid) override {
    log.push_back("survivor " + std::to_string(entry) + " " + std::to_string(pid));
    pids[entry] = pid;
    trees.erase(pid);
    return {};
  }
  void EndTree(std::size_t entry) override {
    log.push_back("end tree " + std::to_string(entry));
    for (const std::uint32_t pid : LeftInTree(entry)) alive.erase(pid);
  }
  std::uint32_t TerminateErrorReporter(std::uint32_t hungPid) override {
    log.push_back("kill WerFault.exe");
    reportedOn = hungPid;
    return reporterPid;
  }
  std::uint32_t reportedOn = 0;
  std::uint32_t EntryExitCode(std::size_t entry) override {
    const auto it = exitCodes.find(EntryPid(entry));
    return it == exitCodes.end() ? 0 : it->second;
  }
  std::uint64_t NowMilliseconds() override { return now; }
  DumpStart StartDump(std::size_t entry, std::uint32_t pid) override {
    dumpedPid = pid;
    if (!dumps) return {};
    log.push_back("dump " + std::to_string(entry));
    if (dumpRefused.error != 0) return dumpRefused;
    DumpOutcome& outcome = dumpOutcomes[entry];
    outcome = {};
    outcome.begun = true;
    outcome.begunMs = now;
    return {true, 0, ""};
  }
  std::uint32_t dumpedPid = 0;
  std::map<std::uint32_t, std::size_t> trees;  // a process a program started -> the entry
  bool EntryTreeHolds(std::size_t entry, std::uint32_t pid) override {
    const auto it = trees.find(pid);
    return it != trees.end() && it->second == entry && alive.count(pid) != 0;
  }
  DumpOutcome PollDump(std::size_t entry) override { return dumpOutcomes[entry]; }
  void AbandonDump(std::size_t entry) override { log.push_back("abandon " + std::to_string(entry)); }
  void BroadcastExitNotice() override { log.push_back("notice"); }
  StaleProcess TakeStaleProcessId(int interval) override {
    log.push_back("stale " + std::to_string(interval));
    if (stale.empty()) return {};
    const std::uint32_t pid = stale.front();
    stale.pop_front();
    return {pid, 70};
  }
  // `stale` stands for the liveness table's stale ids: forgetting an id
  // removes it there.
  void ForgetHeartbeats(std::uint32_t pid) override {
    log.push_back("forget " + std::to_string(pid));
    for (auto it = stale.begin(); it != stale.end();) it = *it == pid ? stale.erase(it) : it + 1;
  }
  void RestartSilences() override { log.push_back("silences"); }
  void StartTickTimer() override { log.push_back("timer on"); }
  void StopTickTimer() override { log.push_back("timer off"); }
  void WakeIn(std::uint64_t ms) override { log.push_back("wake " + std::to_string(ms)); }
  void ShowRunning(bool running) override { log.push_back(running ? "look running" : "look idle"); }

  std::uint32_t EntryPid(std::size_t entry) const {
    const auto it = pids.find(entry);
    return it == pids.end() ? 0 : it->second;
  }
  // The calls that change something, in order; clears the log.
  std::vector<std::string> Effects() {
    std::vector<std::string> effects;
    for (const std::string& call : log) {
      if (call.rfind("checked", 0) == 0 || call == "rerun" || call.rfind("running ", 0) == 0 ||
          call.rfind("pid", 0) == 0 || call.rfind("forget", 0) == 0) {
        continue;
      }
      effects.push_back(call);
    }
    log.clear();
    return effects;
  }
  bool Called(const std::string& call) const {
    for (const std::string& c : log) {
      if (c == call) return true;
    }
    return false;
  }
};

using Calls = std::vector<std::string>;

// A catalogue with one program line before the first plan (entry 0, which
// belongs to no plan), so that entry indexes and row positions differ.
struct Fixture : ::testing::Test {
  Catalogue catalogue;
  FakeHost host;
  RunnerOptions options;
  PlanRunner runner{catalogue, host, host, options};

  Fixture() {
    host.catalogue = &catalogue;
    Entry(0, "C:\\outside\\loose.exe");
  }

  // What the host has to tell reaches the runner, as between two window
  // messages: the creations asked for are made, and their news taken.
  void Settle(PlanRunner& r) {
    while (!host.asked.empty() || !host.news.empty()) {
      host.Make();
      r.TakeProcessNews();
    }
  }
  bool Start(PlanRunner& r, int plan, EventSource source = EventSource::kButton) {
    const bool started = r.Start(plan, source);
    Settle(r);
    return started;
  }
  bool Start(int plan) { return Start(runner, plan); }
  // A tick of timer 1, a second after the last one, and what follows it.
  void Tick(PlanRunner& r) {
    host.now += 1000;
    r.Tick();
    Settle(r);
  }
  void Tick() { Tick(runner); }

  void Plan(const std::string& name) { catalogue.AddPlan(name); }
  void Entry(std::int32_t delay, const std::string& path = "C:\\srv\\app.exe") {
    auto entry = std::make_unique<LaunchEntry>();
    entry->enabled = 1;
    entry->delaySeconds = delay;
    entry->countdown = 1;  // re-armed by every start
    entry->programPath = path;
    entry->commandLine = " -x";
    catalogue.AddEntry(std::move(entry));
  }
  void Done() { catalogue.CloseLastPlan(); }
  std::int32_t Countdown(std::size_t entry) const { return catalogue.m_entries[entry]->countdown; }
  std::uint32_t Launched(int plan) const { return catalogue.m_planLaunched[static_cast<std::size_t>(plan)]; }

  // Starts `plan` and ticks until it is in the supervision phase.
  void StartAndLaunchAll(int plan) {
    ASSERT_TRUE(Start(plan));
    const PlanRange range = catalogue.Range(plan);
    for (int i = 0; i < 100 && Launched(plan) != static_cast<std::uint32_t>(range.count); ++i) {
      Tick();
    }
    ASSERT_EQ(Launched(plan), static_cast<std::uint32_t>(range.count));
    host.log.clear();
  }
};

TEST_F(Fixture, DelaysZeroZeroThreeLaunchInOrderThenSupervise) {
  Plan("A");
  Entry(0);  // entry 1, row 0
  Entry(0);  // entry 2, row 1
  Entry(3);  // entry 3, row 2
  Done();

  ASSERT_TRUE(Start(0));
  // Both delay-0 entries during the start itself, last before first, and
  // before the timer exists.
  EXPECT_EQ(host.Effects(), (Calls{"look running", "create 2", "create 1", "timer on"}));
  EXPECT_EQ(catalogue.m_planRunning[0], 1u);
  EXPECT_EQ(Launched(0), 2u);
  EXPECT_EQ(Countdown(3), 3);

  Tick();
  Tick();
  EXPECT_TRUE(host.Effects().empty());
  EXPECT_FALSE(host.Called("rerun"));
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"create 3"}));
  EXPECT_EQ(Launched(0), 3u);

  // Fourth tick: supervision. Everything runs, so nothing is created, and
  // one stale id is asked for with the detection interval.
  options.interval = 17;
  Tick();
  EXPECT_EQ(host.log, (Calls{"rerun", "checked 2", "running 3", "checked 1", "running 2",
                             "checked 0", "running 1", "stale 17"}));
  EXPECT_EQ(Countdown(1), -3);  // keeps falling after its launch
  EXPECT_EQ(Countdown(3), 0);
}

TEST_F(Fixture, UncheckedRowFreezesItsCountdownAndHoldsTheLaunchPhase) {
  Plan("A");
  Entry(0);  // entry 1
  Entry(2);  // entry 2, row 1
  Done();
  host.uncheckedRows = {1};

  ASSERT_TRUE(Start(0));
  EXPECT_EQ(host.Effects(), (Calls{"look running", "create 1", "timer on"}));
  // The launch phase lasts: no relaunch of the exited entry 1, no stale kill.
  host.alive.clear();
  host.stale = {host.EntryPid(1)};
  for (int i = 0; i < 5; ++i) Tick();
  EXPECT_TRUE(host.Effects().empty());
  EXPECT_EQ(Countdown(2), 3);
  EXPECT_EQ(host.stale.size(), 1u);

  // Checking the row resumes the countdown where it stopped: three steps.
  host.uncheckedRows.clear();
  Tick();
  Tick();
  EXPECT_TRUE(host.Effects().empty());
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"create 2"}));

  // Now supervising: entry 1 is relaunched, then the stale id is handled.
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"create 1", "stale 60"}));
}

TEST_F(Fixture, NegativeAndExtremeDelaysNeverLaunchAndNeverOverflow) {
  Plan("A");
  Entry(-1);
  Entry(std::numeric_limits<std::int32_t>::min());
  Entry(std::numeric_limits<std::int32_t>::max());
  Done();

  ASSERT_TRUE(Start(0));
  for (int i = 0; i < 5; ++i) Tick();
  EXPECT_EQ(host.Effects(), (Calls{"look running", "timer on"}));
  EXPECT_EQ(Launched(0), 0u);
  EXPECT_FALSE(host.Called("rerun"));
  EXPECT_EQ(Countdown(1), -6);
  EXPECT_EQ(Countdown(2), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(Countdown(3), std::numeric_limits<std::int32_t>::max() - 6);
}

TEST_F(Fixture, FailedCreationsCountAndAreRetriedEachSupervisionTick) {
  Plan("A");
  Entry(0);
  Entry(1);
  Done();
  host.creationFails = true;

  ASSERT_TRUE(Start(0));
  Tick();
  EXPECT_EQ(Launched(0), 2u);  // failed attempts count
  host.Effects();
  // Process id 0 is not running: tried again on every tick, counters and
  // countdowns untouched.
  Tick();
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"create 2", "create 1", "stale 60", "create 2", "create 1", "stale 60"}));
  EXPECT_EQ(Launched(0), 2u);
  EXPECT_EQ(Countdown(1), -1);
  EXPECT_EQ(Countdown(2), 0);
}

TEST_F(Fixture, RestartAfterStopRearmsEverything) {
  Plan("A");
  Entry(0);
  Entry(1);
  Done();
  StartAndLaunchAll(0);
  runner.Stop();
  EXPECT_EQ(catalogue.m_planRunning[0], 0u);
  EXPECT_EQ(Launched(0), 2u);  // left as it was
  host.log.clear();

  ASSERT_TRUE(Start(0));
  EXPECT_EQ(Launched(0), 1u);
  EXPECT_EQ(Countdown(2), 1);
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"look running", "create 1", "timer on", "create 2"}));
  EXPECT_EQ(Launched(0), 2u);
}

TEST_F(Fixture, RerunOffLeavesExitedProgramsDownAndStaleIdsUntaken) {
  Plan("A");
  Entry(0);
  Done();
  StartAndLaunchAll(0);
  host.alive.clear();
  host.stale = {host.EntryPid(1)};
  host.rerun = false;
  Tick();
  EXPECT_EQ(host.log, (Calls{"rerun"}));
  EXPECT_EQ(host.stale.size(), 1u);
}

TEST_F(Fixture, DetectOffRelaunchesButIgnoresStaleIds) {
  Plan("A");
  Entry(0);
  Entry(0);
  Done();
  StartAndLaunchAll(0);
  host.uncheckedRows = {1};  // an unchecked row is not relaunched
  host.alive.clear();
  host.stale = {host.EntryPid(1)};
  options.detect = 0;
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"create 1"}));
  EXPECT_EQ(host.stale.size(), 1u);
  EXPECT_EQ(Launched(0), 2u);
}

TEST_F(Fixture, StaleIdsAreHandledOnePerTick) {
  Plan("other");
  Entry(0);  // entry 1, plan 0
  Plan("A");
  Entry(0);  // entry 2
  Entry(0);  // entry 3
  Done();
  catalogue.m_entries[1]->programPath = "C:\\srv\\other.exe";
  host.pids[1] = 7;  // a program of a plan that is not running
  host.alive.insert(7);
  StartAndLaunchAll(1);
  const std::uint32_t pid2 = host.EntryPid(2), pid3 = host.EntryPid(3);
  host.stale = {7, 12345, pid2, pid3};

  // Ids outside the running plan are taken and dropped, one per tick.
  Tick();
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"stale 60", "stale 60"}));
  EXPECT_TRUE(host.alive.count(7));

  // The hung program first, then an error-reporting process.
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"stale 60", "terminate 2", "kill WerFault.exe"}));
  // Next tick relaunches the killed one and handles the next stale id.
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"create 2", "stale 60", "terminate 3", "kill WerFault.exe"}));
  EXPECT_NE(host.EntryPid(2), pid2);
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"create 3", "stale 60"}));
}

TEST(IsExemptProgram, MatchesTheFourServersByTheirRules) {
  EXPECT_TRUE(IsExemptProgram("C:\\srv\\Malvoryn.exe"));
  EXPECT_TRUE(IsExemptProgram("C:\\srv\\MALVORYN.EXE"));       // case ignored
  EXPECT_TRUE(IsExemptProgram("D:\\a\\malvoryn64.Exe"));
  EXPECT_TRUE(IsExemptProgram("xMalvoryn64.exe"));             // no separator needed
  EXPECT_TRUE(IsExemptProgram("C:\\srv\\Corvellinex.exe"));
  EXPECT_TRUE(IsExemptProgram("C:\\srv\\Corvellinex64.exe"));
  EXPECT_FALSE(IsExemptProgram("C:\\srv\\CORVELLINEX.EXE"));   // case counts
  EXPECT_FALSE(IsExemptProgram("C:\\srv\\corvellinex64.exe"));
  EXPECT_FALSE(IsExemptProgram("Malvoryn.exe"));               // must be longer than the name
  EXPECT_FALSE(IsExemptProgram("Corvellinex64.exe"));
  EXPECT_FALSE(IsExemptProgram("C:\\srv\\Malvoryn.exe.bak"));
  EXPECT_FALSE(IsExemptProgram(""));
}

TEST(EqualsIgnoringAsciiCase, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(EqualsIgnoringAsciiCase("WerFault.exe", "werfault.EXE"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("WerFault.exe", "WerFault.ex"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("[", "{"));  // 0x5B vs 0x7B: not letters
  EXPECT_FALSE(EqualsIgnoringAsciiCase("\xc3\xeb", "\xe3\xeb"));
}

TEST(SessionProcessesNamed, OnlyThoseOfTheLaunchersSessionByWholeNameInListOrder) {
  const std::vector<ListedProcess> listed = {
      {40, 0, "WerFault.exe"},    // a service's, session 0
      {44, 2, "werfault.EXE"},    // another user's desktop
      {48, 1, "WerFault.exe"},
      {52, 1, "xWerFault.exe"},   // whole names only
      {56, 1, "WERFAULT.EXE"},
  };
  EXPECT_EQ(SessionProcessesNamed(listed, "WerFault.exe", 1), (std::vector<std::uint32_t>{48, 56}));
  EXPECT_EQ(SessionProcessesNamed(listed, "WerFault.exe", 2), (std::vector<std::uint32_t>{44}));
  EXPECT_TRUE(SessionProcessesNamed(listed, "WerFault.exe", 3).empty());
}

struct StopFixture : Fixture {
  StopFixture() {
    Plan("A");
    Entry(0, "C:\\srv\\MALVORYN.EXE");      // entry 1: spared with notify
    Entry(0, "C:\\srv\\CORVELLINEX.EXE");   // entry 2: terminated
    Entry(0, "C:\\srv\\xMalvoryn64.exe");   // entry 3: spared with notify
    Entry(0, "Malvoryn.exe");               // entry 4: terminated
    Entry(0, "C:\\srv\\Corvellinex64.exe"); // entry 5: spared with notify
    Done();
  }
};

TEST_F(StopFixture, NotifySendsTheNoticeFirstAndSparesTheServers) {
  StartAndLaunchAll(0);
  runner.Stop();
  EXPECT_EQ(host.Effects(), (Calls{"timer off", "notice", "terminate 4", "terminate 2", "look idle"}));
  EXPECT_EQ(catalogue.m_planRunning[0], 0u);
  // A late tick finds no running plan and does nothing.
  Tick();
  EXPECT_TRUE(host.log.empty());
}

TEST_F(StopFixture, NotifyOffSendsNothingAndSparesNobody) {
  options.notify = 0;
  StartAndLaunchAll(0);
  runner.Stop();
  EXPECT_EQ(host.Effects(), (Calls{"timer off", "terminate 5", "terminate 4", "terminate 3", "terminate 2",
                                   "terminate 1", "look idle"}));
}

TEST_F(StopFixture, AStartLeavesAServerThatIsStillSavingAloneAndRelaunchesItOnceItExits) {
  StartAndLaunchAll(0);
  const std::uint32_t saving = host.EntryPid(1);
  runner.Stop();
  host.log.clear();
  // Started again while the spared servers (entries 1, 3, 5) still save.
  ASSERT_TRUE(Start(0));
  EXPECT_EQ(host.Effects(), (Calls{"look running", "create 4", "create 2", "timer on"}));
  EXPECT_EQ(Launched(0), 5u);  // they count as launched: supervision begins
  EXPECT_EQ(host.EntryPid(1), saving);
  host.alive.erase(saving);  // entry 1 has saved and exited
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"create 1", "stale 60"}));
}

TEST_F(StopFixture, TheNextPlanKeepsASavingServerOfTheSameProgramAndWaitsForOneStillEnding) {
  Plan("B");
  Entry(0, "C:\\srv\\MALVORYN.EXE");     // entry 6: entry 1's server
  Entry(0, "C:\\srv\\CORVELLINEX.EXE");  // entry 7: entry 2's program
  Done();
  host.slowEnds = true;
  StartAndLaunchAll(0);
  const std::uint32_t saving = host.EntryPid(1), dying = host.EntryPid(2);
  runner.Stop();  // entry 1 saves; entry 2 is terminated and still ending
  host.log.clear();
  ASSERT_TRUE(Start(1));
  // The saving server is plan B's now, never a second copy; the ending
  // program is neither kept nor doubled.
  EXPECT_EQ(host.Effects(), (Calls{"look running", "move 1 6", "timer on"}));
  EXPECT_EQ(host.EntryPid(6), saving);
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"stale 60"}));
  host.alive.erase(dying);  // its end comes
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"create 7", "stale 60"}));
  // The same in one plan: a quick stop and start waits for what the stop
  // ended, and starts it even with the rerun box off (it never ran in this run).
  host.rerun = false;
  runner.Stop();
  const std::uint32_t ending = host.EntryPid(7);
  host.log.clear();
  ASSERT_TRUE(Start(1));
  EXPECT_EQ(host.Effects(), (Calls{"look running", "timer on"}));
  EXPECT_EQ(host.EntryPid(7), ending);
  host.alive.erase(ending);
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"create 7"}));
}

TEST_F(StopFixture, TwoRowsOfTheSavingServersProgramKeepItOnceAndTheOtherStarts) {
  Plan("B");
  Entry(0, "C:\\srv\\MALVORYN.EXE");  // entries 6 and 7: entry 1's program twice
  Entry(0, "C:\\srv\\MALVORYN.EXE");
  Done();
  StartAndLaunchAll(0);
  const std::uint32_t saving = host.EntryPid(1);
  runner.Stop();
  host.log.clear();
  ASSERT_TRUE(Start(1));
  // Due bottom up: row 1 keeps the saving server, row 0 starts its own.
  EXPECT_EQ(host.Effects(), (Calls{"look running", "move 1 7", "create 6", "timer on"}));
  EXPECT_EQ(host.EntryPid(7), saving);
}

namespace {
// Records the events as one short line each.
struct EventLog : EventSink {
  std::vector<std::string> lines;
  void OnEvent(const Event& e) override {
    static const char* const kNames[] = {"started",  "ended",    "encoding",   "listening", "no listener",
                                         "plan",     "stopped",  "launched",   "relaunched", "failed",
                                         "exited",   "hung",     "reporter",   "notice",    "spared",
                                         "terminated", "asked",  "closed",    "dropped",   "kept",
                                         "ended",    "dumped",
                                         "no dump",  "dumping",  "metrics failed", "metrics ok", "list",
                                         "countdown", "unticked", "listed",   "stats",    "adopted",
                                         "held",     "no job",   "priority", "row listed", "gone",
                                         "old tree", "in job",   "slow",     "tick"};
    std::string line = kNames[static_cast<int>(e.kind)];
    if (e.row >= 0) line += " r" + std::to_string(e.row);
    if (e.pid != 0) line += " pid" + std::to_string(e.pid);
    if (e.number != 0) line += " n" + std::to_string(e.number);
    if (e.millis != 0) line += " ms" + std::to_string(e.millis);
    if (e.count != 0) line += " c" + std::to_string(e.count);
    if (e.error != 0) line += " err" + std::to_string(e.error) + " " + e.detail;
    else if (!e.detail.empty()) line += " [" + e.detail + "]";
    lines.push_back(line);
  }
  std::vector<std::string> Take() {
    std::vector<std::string> taken;
    taken.swap(lines);
    return taken;
  }
};
}  // namespace

// With /g every program the stop ends is asked at once, each is told as it
// closes, and those still running when their time is up are ended then, not
// before; the spared servers keep their notice. A row stop asks the same way.
TEST_F(StopFixture, WithAGraceTheStopAsksAllAtOnceAndEndsOnlyThoseStillRunningWhenTheirTimeIsUp) {
  EventLog events;
  PlanRunner asking(catalogue, host, host, options, &events);
  options.graceSeconds = 3;
  ASSERT_TRUE(Start(asking, 0));
  for (int i = 0; i < 3; ++i) Tick(asking);
  host.log.clear();
  events.Take();
  const std::uint32_t four = host.EntryPid(4), two = host.EntryPid(2);
  host.askedToClose.clear();
  const std::uint64_t asked = host.now;
  asking.Stop();
  EXPECT_EQ(host.Effects(), (Calls{"timer off", "notice", "ask 4", "ask 2", "timer on", "look idle"}));
  EXPECT_TRUE(asking.AskedToClose());
  events.Take();
  // Entry 2 closes on its Ctrl-C 1.2 s later, told as its end comes, not at
  // the next tick; entry 4 ignores it.
  host.now += 1200;
  host.alive.erase(two);
  host.exitCodes[two] = 0;
  host.news.push_back({ProcessNews::Kind::kEnded, 2, two, {}});
  asking.TakeProcessNews();
  EXPECT_EQ(events.Take(), (Calls{"closed r1 pid" + std::to_string(two) + " n1 ms1200"}));
  host.now -= 700;
  Tick(asking);
  EXPECT_TRUE(events.Take().empty());
  host.now = asked + 2999 - 1000;  // a tick 2999 ms after the ask: not yet
  Tick(asking);
  EXPECT_TRUE(events.Take().empty());
  EXPECT_FALSE(host.Called("terminate 4"));
  host.now = asked + 3000 - 1000;
  Tick(asking);
  EXPECT_TRUE(host.Called("terminate 4"));
  EXPECT_EQ(events.Take(), (Calls{"closed r3 pid" + std::to_string(four) + " n3 ms3000 c3 err111 "}));
  EXPECT_FALSE(asking.AskedToClose());
  EXPECT_TRUE(host.Called("timer off"));
  // The launcher's end ends at once whatever is still asked.
  ASSERT_TRUE(Start(asking, 0));
  Tick(asking);
  asking.Stop();
  asking.SeeClosings(true);
  EXPECT_TRUE(host.Called("terminate 4") && host.Called("terminate 2"));
  EXPECT_FALSE(asking.AskedToClose());
  // A helper still ending holds the report back, within its limit, with the
  // moment of the close kept; one that never ends is reported as no Ctrl-C.
  ASSERT_TRUE(Start(asking, 0));
  for (int i = 0; i < 3; ++i) Tick(asking);
  asking.Stop();
  events.Take();
  host.askReaches = kAskedCtrlC | kAskPending;
  for (auto& [entry, how] : host.askedToClose) how = host.askReaches;
  const std::uint32_t twoAgain = host.EntryPid(2);
  host.alive.erase(twoAgain);
  host.exitCodes[twoAgain] = 0;
  host.now += 300;
  host.news.push_back({ProcessNews::Kind::kEnded, 2, twoAgain, {}});
  asking.TakeProcessNews();
  EXPECT_TRUE(events.Take().empty());
  host.askedToClose[2] = kAskedCtrlC;
  Tick(asking);
  EXPECT_EQ(events.Take(), (Calls{"closed r1 pid" + std::to_string(twoAgain) + " n1 ms300"}));
  const std::uint32_t fourAgain = host.EntryPid(4);
  host.alive.erase(fourAgain);
  host.exitCodes[fourAgain] = 0;
  Tick(asking);  // seen closed, 2.3 s after the ask
  Tick(asking);  // past its grace, still within its helper's limit
  EXPECT_TRUE(events.Take().empty());
  Tick(asking);  // the helper's limit is up: it never said
  EXPECT_EQ(events.Take(), (Calls{"closed r3 pid" + std::to_string(fourAgain) + " n3 ms2300"}));
  // Its end told as news, a program is looked at by the ticks once its own
  // process has ended, until the rest of its tree has too.
  host.endsTold = true;
  ASSERT_TRUE(Start(asking, 0));
  for (int i = 0; i < 3; ++i) Tick(asking);
  asking.Stop();
  events.Take();
  host.askReaches = kAskedCtrlC;
  for (auto& [entry, how] : host.askedToClose) how = host.askReaches;
  const std::uint32_t twoTold = host.EntryPid(2), child = twoTold + 1;
  host.trees[child] = 2;
  host.alive.insert(child);
  host.alive.erase(twoTold);
  host.exitCodes[twoTold] = 0;
  host.news.push_back({ProcessNews::Kind::kEnded, 2, twoTold, {}});
  asking.TakeProcessNews();
  EXPECT_TRUE(events.Take().empty());
  host.alive.erase(child);
  Tick(asking);
  EXPECT_EQ(events.Take(), (Calls{"closed r1 pid" + std::to_string(twoTold) + " n1 ms1000"}));
  asking.SeeClosings(true);
  // One whose end is on its way when the stop comes is asked in vain and
  // told, as its end arrives, as having ended by itself.
  ASSERT_TRUE(Start(asking, 0));
  for (int i = 0; i < 3; ++i) Tick(asking);
  const std::uint32_t fourGone = host.EntryPid(4);
  host.alive.erase(fourGone);
  host.exitCodes[fourGone] = 7;
  host.askReaches = 0;
  asking.Stop();
  events.Take();
  host.news.push_back({ProcessNews::Kind::kEnded, 4, fourGone, {}});
  asking.TakeProcessNews();
  EXPECT_EQ(events.Take(), (Calls{"closed r3 pid" + std::to_string(fourGone) + " n3 err7 "}));
  asking.SeeClosings(true);
}

// A stop of more programs than it asks at once asks them a slice a wake and
// tells the plan stopped after the last; a start makes the rest first, and
// so does the launcher's end, which then ends them.
TEST_F(Fixture, AStopOfManyProgramsAsksThemASliceAWakeAndWhatComesNextMakesTheRestFirst) {
  EventLog events;
  PlanRunner asking(catalogue, host, host, options, &events);
  options.graceSeconds = 3;
  Plan("A");
  for (int i = 0; i < 11; ++i) Entry(0, "C:\\srv\\app" + std::to_string(i) + ".exe");
  Done();
  const auto count = [&events](const char* head) {
    std::size_t n = 0;
    for (const std::string& line : events.lines) n += line.rfind(head, 0) == 0;
    return n;
  };
  ASSERT_TRUE(Start(asking, 0));
  events.Take();
  asking.Stop();
  EXPECT_EQ(count("asked"), 0u);
  EXPECT_EQ(count("stopped"), 0u);
  EXPECT_TRUE(host.Called("wake 0"));
  int wakes = 0;
  while (count("stopped") == 0 && wakes < 20) {
    ++wakes;
    asking.Wake();
  }
  EXPECT_EQ(wakes, 6);  // two a wake
  EXPECT_EQ(count("asked"), 11u);
  EXPECT_EQ(events.lines.back().rfind("stopped", 0), 0u);
  for (std::size_t e = 1; e <= 11; ++e) host.alive.erase(host.EntryPid(e));
  Tick(asking);  // two a message: the rest at the wakes that come at once
  EXPECT_EQ(count("closed"), 2u);
  for (wakes = 0; asking.AskedToClose() && wakes < 20; ++wakes) asking.Wake();
  EXPECT_EQ(wakes, 5);
  EXPECT_EQ(count("closed"), 11u);

  ASSERT_TRUE(Start(asking, 0));
  events.Take();
  asking.Stop();
  ASSERT_TRUE(Start(asking, 0));
  EXPECT_EQ(count("asked"), 11u);
  EXPECT_LT(count("stopped"), events.lines.size());
  const auto stoppedAt = std::find_if(events.lines.begin(), events.lines.end(),
                                      [](const std::string& line) { return line.rfind("stopped", 0) == 0; });
  const auto startedAt = std::find_if(events.lines.begin(), events.lines.end(),
                                      [](const std::string& line) { return line.rfind("plan", 0) == 0; });
  EXPECT_LT(stoppedAt, startedAt);
  // They close; the rows held for them start.
  for (std::size_t e = 1; e <= 11; ++e) host.alive.erase(host.EntryPid(e));
  Tick(asking);
  Tick(asking);

  events.Take();
  asking.Stop();
  asking.SeeClosings(true);
  EXPECT_EQ(count("asked"), 11u);
  EXPECT_EQ(count("stopped"), 1u);
  EXPECT_TRUE(host.Called("terminate 1"));
  EXPECT_FALSE(asking.AskedToClose());

  // One whose end, told as news, comes while it waits for its slice is told
  // closed at the first tick after its ask, not once its time is up.
  host.endsTold = true;
  ASSERT_TRUE(Start(asking, 0));
  asking.Stop();
  host.Exit(host.EntryPid(1));
  asking.TakeProcessNews();
  for (int i = 0; i < 6; ++i) asking.Wake();
  events.Take();
  Tick(asking);
  EXPECT_EQ(count("closed r0"), 1u);
  asking.SeeClosings(true);
}

TEST_F(Fixture, AScriptedRunReportsWhatHappenedInOrder) {
  EventLog events;
  PlanRunner reporting(catalogue, host, host, options, &events);
  Plan("A");
  Entry(0, "C:\\srv\\Malvoryn.exe");  // entry 1, row 0: spared at the stop
  Entry(2);                              // entry 2, row 1
  Done();
  ASSERT_TRUE(Start(reporting, 0, EventSource::kTrayMenu));
  EXPECT_EQ(events.Take(), (Calls{"plan n1", "countdown r1 n2", "launched r0 pid100"}));
  Tick(reporting);
  Tick(reporting);  // 2 s
  EXPECT_EQ(events.Take(), (Calls{"countdown r1 n1", "launched r1 pid104"}));
  // Row 1 exits by itself with a crash code, seen by the next tick, and comes back.
  host.alive.erase(104);
  host.exitCodes[104] = 0xC0000005;
  host.now += 500;
  Tick(reporting);
  EXPECT_EQ(events.Take(), (Calls{"exited r1 pid104 n3221225477 ms1500", "relaunched r1 pid108 n1"}));
  // Row 0 falls silent: killed, with the error reporter; its end is no exit of its own.
  host.stale = {100};
  host.reporterPid = 77;
  Tick(reporting);
  EXPECT_EQ(events.Take(), (Calls{"hung r0 pid100 n70", "reporter pid77"}));
  host.creationFails = true;
  host.exitCodes[100] = 111;
  Tick(reporting);
  EXPECT_EQ(events.Take(), (Calls{"ended r0 pid100 n111 ms5500", "failed r0 err2 error 2"}));
  reporting.Stop();
  EXPECT_EQ(events.Take(), (Calls{"notice", "terminated r1 pid108", "stopped"}));
}

TEST_F(Fixture, AHungProgramIsDumpedBeforeItsKillAndKeepsItsPlaceMeanwhile) {
  EventLog events;
  PlanRunner reporting(catalogue, host, host, options, &events);
  Plan("A");
  Entry(0, "C:\\srv\\Malvoryn.exe");  // entry 1, row 0 (pid 104)
  Entry(0);                              // entry 2, row 1 (pid 100)
  Done();
  host.dumps = true;
  ASSERT_TRUE(Start(reporting, 0));
  Tick(reporting);
  host.log.clear();
  events.Take();

  // Picked: the dump starts, nothing is killed yet.
  host.stale = {100};
  Tick(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"stale 60", "dump 2"}));
  EXPECT_EQ(events.Take(), (Calls{"dumping r1 pid100 n70"}));
  // Stale again while the dump is written: picked by nobody, not relaunched.
  host.stale = {100};
  host.now += kDumpLimitMs - 1;
  reporting.Tick();
  EXPECT_EQ(host.Effects(), (Calls{"silences", "stale 60"}));  // a tick 30 s late
  // 30 s on and still writing: killed anyway, the unfinished dump given up.
  host.now += 1;
  reporting.Tick();
  Settle(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"terminate 2", "kill WerFault.exe", "abandon 2", "stale 60"}));
  EXPECT_EQ(events.Take(), (Calls{"hung r1 pid100 n70", "no dump r1 pid100 err258 error 258"}));

  // A dump that finishes: the kill follows at the next tick, with the file.
  Tick(reporting);  // entry 2 relaunched as pid 108
  events.Take();
  host.stale = {108};
  Tick(reporting);
  host.dumpOutcomes[2] = {true, 0, "D:\\d\\app.exe_108.dmp", 4096, 3900};
  host.log.clear();
  Tick(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"terminate 2", "kill WerFault.exe", "stale 60"}));
  Calls written = events.Take();
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[0], "dumping r1 pid108 n70");
  EXPECT_EQ(written[2], "dumped r1 pid108 ms3900 c4096 [D:\\d\\app.exe_108.dmp]");

  // A program that ends by itself during its dump: the dump goes, nothing more.
  Tick(reporting);  // pid 112
  host.dumpOutcomes.clear();
  host.stale = {112};
  Tick(reporting);
  host.alive.erase(112);
  host.log.clear();
  options.detect = 0;
  Tick(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"abandon 2"}));
  Tick(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"create 2"}));

  // A stop during the dump of a server the notice would spare: killed at once.
  options.detect = 1;
  host.stale = {104};
  Tick(reporting);
  host.log.clear();
  events.Take();
  reporting.Stop();
  EXPECT_EQ(host.Effects(), (Calls{"timer off", "terminate 1", "kill WerFault.exe", "abandon 1", "notice",
                                   "terminate 2", "look idle"}));
  EXPECT_EQ(events.Take(), (Calls{"hung r0 pid104 n70", "notice", "terminated r1 pid116", "stopped"}));
}

TEST_F(Fixture, DumpsTakeTurnsEachLimitCountsFromItsTurnAndEveryOutcomeIsToldAsItCame) {
  EventLog events;
  PlanRunner reporting(catalogue, host, host, options, &events);
  Plan("A");
  Entry(0);  // entry 1, row 0 (pid 104)
  Entry(0);  // entry 2, row 1 (pid 100)
  Done();
  host.dumps = true;
  ASSERT_TRUE(Start(reporting, 0));
  reporting.Tick();
  Settle(reporting);
  host.log.clear();
  events.Take();

  // Both fall silent together; the second's dump waits behind the first's.
  host.stale = {104, 100};
  reporting.Tick();
  Settle(reporting);
  reporting.Tick();
  Settle(reporting);
  host.dumpOutcomes[2].begun = false;
  EXPECT_EQ(host.Effects(), (Calls{"stale 60", "dump 1", "stale 60", "dump 2"}));
  EXPECT_EQ(events.Take(), (Calls{"dumping r0 pid104 n70", "dumping r1 pid100 n70"}));
  // The first could not be written: killed, and the journal says why.
  host.dumpOutcomes[1] = {true, 5, "", 0, 0};
  reporting.Tick();
  Settle(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"terminate 1", "kill WerFault.exe", "stale 60"}));
  EXPECT_EQ(events.Take(), (Calls{"hung r0 pid104 n70", "no dump r0 pid104 err5 error 5"}));
  // The second waits for its turn however long that takes, in its place:
  // neither killed nor relaunched.
  for (int i = 0; i < 3; ++i) {
    host.now += kDumpLimitMs;
    reporting.Tick();
    Settle(reporting);
  }
  EXPECT_FALSE(host.Called("terminate 2") || host.Called("create 2"));
  EXPECT_TRUE(host.alive.count(100));
  // Its limit counts from its turn.
  host.dumpOutcomes[2].begun = true;
  host.dumpOutcomes[2].begunMs = host.now;
  host.now += kDumpLimitMs - 1;
  reporting.Tick();
  Settle(reporting);
  EXPECT_TRUE(host.alive.count(100));
  host.now += 1;
  host.log.clear();
  events.Take();
  reporting.Tick();
  Settle(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"terminate 2", "kill WerFault.exe", "abandon 2", "stale 60"}));
  EXPECT_EQ(events.Take(), (Calls{"hung r1 pid100 n70", "no dump r1 pid100 err258 error 258"}));

  // A dump that cannot even be tried (a 64-bit program, a 32-bit launcher):
  // killed at once, with the reason.
  host.dumpRefused = {false, 50, "bitness"};
  host.stale = {host.EntryPid(1)};
  reporting.Tick();
  Settle(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"create 2", "stale 60", "dump 1", "terminate 1", "kill WerFault.exe"}));
  EXPECT_EQ(events.Take(), (Calls{"ended r1 pid100 ms120000", "hung r0 pid108 n70", "no dump r0 pid108 err50 bitness",
                                   "relaunched r1 pid112 n1"}));
}

TEST_F(Fixture, ATickLongAfterTheLastOneRestartsEverySilenceBeforeJudging) {
  Plan("A");
  Entry(0);
  Done();
  StartAndLaunchAll(0);
  host.now += kTickGapMs;  // late, but not by so much that heartbeats went unread
  runner.Tick();
  EXPECT_FALSE(host.Called("silences"));
  host.now += kTickGapMs + 1;  // the machine or the window stood still
  host.log.clear();
  runner.Tick();
  ASSERT_TRUE(host.Called("silences"));
  EXPECT_LT(std::find(host.log.begin(), host.log.end(), "silences"),
            std::find(host.log.begin(), host.log.end(), "stale 60"));
}

TEST_F(Fixture, HeartbeatsOfAnEarlierProcessWithTheSameIdNeverKillTheNewOne) {
  Plan("A");
  Entry(0);
  Done();
  StartAndLaunchAll(0);
  // The program exits; its relaunch gets the id of a process that sent
  // heartbeats and ended, and that id has gone stale meanwhile.
  host.alive.clear();
  host.stale = {host.nextPid};
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"create 1", "stale 60"}));
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"stale 60"}));
  // The new process's own silence still gets it killed.
  host.stale = {host.EntryPid(1)};
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"stale 60", "terminate 1", "kill WerFault.exe"}));
}

TEST_F(StopFixture, AQuickRestartJudgesAKeptServerOnlyByHeartbeatsSentAfterIt) {
  StartAndLaunchAll(0);
  const std::uint32_t saving = host.EntryPid(1);
  runner.Stop();
  // Its heartbeats stopped at the notice; before its save ends they are stale.
  host.stale = {saving};
  ASSERT_TRUE(Start(0));
  host.log.clear();
  for (int i = 0; i < 3; ++i) Tick();
  EXPECT_FALSE(host.Called("terminate 1"));
  EXPECT_TRUE(host.alive.count(saving));
  host.alive.erase(saving);  // saved and exited by itself: relaunched as usual
  host.log.clear();
  Tick();
  EXPECT_EQ(host.Effects(), (Calls{"create 1", "stale 60"}));
}

TEST_F(Fixture, AProgramThatEndedIsNeverKilledOrReportedAsHung) {
  EventLog events;
  PlanRunner reporting(catalogue, host, host, options, &events);
  Plan("A");
  Entry(0);
  Done();
  host.dumps = true;
  ASSERT_TRUE(Start(reporting, 0));
  Tick(reporting);
  // It sent heartbeats, then exited; its relaunches fail, so the entry still
  // names the ended process when its id goes stale.
  const std::uint32_t gone = host.EntryPid(1);
  host.alive.erase(gone);
  host.creationFails = true;
  host.stale = {gone};
  host.log.clear();
  events.Take();
  Tick(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"create 1", "stale 60"}));
  EXPECT_EQ(events.Take(), (Calls{"exited r0 pid100 ms2000", "failed r0 err2 error 2"}));

  // A program that ends during its dump is reported once at a stop, as ended.
  host.creationFails = false;
  Tick(reporting);  // pid 104
  host.stale = {104};
  Tick(reporting);  // picked: its dump starts
  host.alive.erase(104);
  host.log.clear();
  events.Take();
  reporting.Stop();
  EXPECT_EQ(host.Effects(), (Calls{"timer off", "abandon 1", "notice", "terminate 1", "look idle"}));
  EXPECT_EQ(events.Take(), (Calls{"exited r0 pid104 ms1000", "notice", "stopped"}));
}

TEST_F(Fixture, ASilentServerBehindALoaderGetsItsWholeTreeKilled) {
  EventLog events;
  PlanRunner reporting(catalogue, host, host, options, &events);
  Plan("A");
  Entry(0, "C:\\srv\\loader.exe");
  Entry(0);
  Done();
  host.dumps = true;
  ASSERT_TRUE(Start(reporting, 0));
  Tick(reporting);
  // The loader (pid 104, row 0) started the server that sends the heartbeats.
  host.trees[900] = 1;
  host.alive.insert(900);
  host.trees[901] = 1;  // one that has ended since
  host.stale = {901, 900};
  host.log.clear();
  events.Take();
  Tick(reporting);
  Tick(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"stale 60", "stale 60", "dump 1"}));
  EXPECT_EQ(host.dumpedPid, 900u);
  EXPECT_EQ(events.Take(), (Calls{"dumping r0 pid900 n70"}));
  host.dumpOutcomes[1] = {true, 0, "x.dmp", 1, 1};
  Tick(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"terminate 1", "kill WerFault.exe", "stale 60"}));
  EXPECT_EQ(host.reportedOn, 900u);
  EXPECT_EQ(events.Take()[0], "hung r0 pid900 n70");
}

TEST_F(Fixture, BeforeARowStartsAgainTheOneProcessItsTreeLeftIsTakenAndMoreAreEnded) {
  EventLog events;
  PlanRunner reporting(catalogue, host, host, options, &events);
  Plan("A");
  Entry(0, "C:\\srv\\loader.exe");
  Done();
  ASSERT_TRUE(Start(reporting, 0));
  const std::uint32_t loader = host.EntryPid(1);
  host.trees[900] = 1;  // its server
  host.alive.insert(900);
  host.now += 5000;
  events.Take();
  host.log.clear();
  host.Exit(loader);
  reporting.TakeProcessNews();
  EXPECT_EQ(host.Effects(), (Calls{"survivor 1 900"}));
  EXPECT_EQ(events.Take(), (Calls{"exited r0 pid" + std::to_string(loader) + " ms5000", "adopted r0 pid900 n3"}));
  // Supervised as the row's program: its exit starts the loader again.
  host.now += 5000;
  host.Exit(900);
  Settle(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"create 1"}));
  // Two left behind: both are ended before the new copy starts.
  host.trees = {{950, 1}, {951, 1}};
  host.alive.insert({950, 951});
  host.now += 5000;
  host.Exit(host.EntryPid(1));
  Settle(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"end tree 1", "create 1"}));
  EXPECT_TRUE(host.alive.count(950) == 0 && host.alive.count(951) == 0);
  events.Take();
  // A process that ends between the look and its takeover is said so, and
  // the row looks again.
  options.notify = 0;
  reporting.Stop();
  const std::uint32_t gone = host.Outside("C:\\srv\\loader.exe", " -x");
  host.goneAtAdoption.insert(gone);
  host.log.clear();
  ASSERT_TRUE(Start(reporting, 0));
  EXPECT_EQ(host.Effects(), (Calls{"look running", "adopt 1 " + std::to_string(gone), "create 1", "timer on"}));
  bool said = false;
  for (const std::string& line : events.Take()) said = said || line == "gone r0 pid" + std::to_string(gone);
  EXPECT_TRUE(said);
}

TEST_F(Fixture, ALaunchTakesOverWhatAlreadyRunsTheRowsProgramOneProcessARow) {
  EventLog events;
  PlanRunner reporting(catalogue, host, host, options, &events);
  Plan("A");
  Entry(0, "C:\\srv\\zone.exe");  // entries 1 to 3: the same line three times
  Entry(0, "C:\\srv\\zone.exe");
  Entry(0, "C:\\srv\\zone.exe");
  Entry(2, "C:\\srv\\login.exe");
  Done();
  // Left running by a launcher that died: two zones and the login server.
  const std::uint32_t zoneA = host.Outside("C:\\srv\\zone.exe", " -x");
  const std::uint32_t zoneB = host.Outside("C:\\srv\\zone.exe", " -x");
  const std::uint32_t login = host.Outside("C:\\srv\\login.exe", " -x");
  host.Recorded("C:\\srv\\zone.exe", "E:\\OTHER", "E:\\OTHER");  // launched for another folder
  host.stale = {zoneA, login};  // their heartbeats from before this run
  ASSERT_TRUE(Start(reporting, 0, EventSource::kAutomaticStart));
  // Due bottom up: two rows take the two copies, the row left over starts.
  EXPECT_EQ(host.Effects(), (Calls{"look running", "adopt 3 " + std::to_string(zoneA),
                                   "adopt 2 " + std::to_string(zoneB), "create 1", "timer on"}));
  Tick(reporting);
  Tick(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"adopt 4 " + std::to_string(login)}));
  const Calls adopted = events.Take();
  for (const std::string& line : {"adopted r2 pid" + std::to_string(zoneA) + " n2",
                                  "adopted r1 pid" + std::to_string(zoneB) + " n2",
                                  "adopted r3 pid" + std::to_string(login) + " n2"}) {
    EXPECT_NE(std::find(adopted.begin(), adopted.end(), line), adopted.end()) << line;
  }
  // Supervised as its own: old heartbeats kill nothing, an exit is relaunched,
  // a stop ends it.
  EXPECT_TRUE(host.stale.empty());
  host.alive.erase(zoneB);
  Tick(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"create 2", "stale 60"}));
  options.notify = 0;
  reporting.Stop();
  EXPECT_EQ(host.Effects(), (Calls{"timer off", "terminate 4", "terminate 3", "terminate 2", "terminate 1",
                                   "look idle"}));
}

TEST_F(Fixture, ARowWaitsWithoutStartingWhileAProcessThatMayBeItsOwnCannotBeTakenOver) {
  EventLog events;
  PlanRunner reporting(catalogue, host, host, options, &events);
  Plan("A");
  Entry(0, "C:\\srv\\a.exe");
  Entry(0, "C:\\srv\\b.exe");
  Entry(0, "C:\\srv\\c.exe");
  Done();
  const std::uint32_t elevated = host.Outside("C:\\srv\\a.exe", "", false);
  const std::uint32_t elsewhere = host.Outside("C:\\srv\\b.exe", " -x", true, 4321);
  host.adoptionTakenBy = 0;
  ASSERT_TRUE(Start(reporting, 0));
  EXPECT_EQ(host.Effects(), (Calls{"look running", "create 3", "timer on"}));
  // The creation's news comes after the look at every row.
  const Calls held = events.Take();
  ASSERT_GE(held.size(), 3u);
  EXPECT_EQ(held[held.size() - 3], "held r1 pid" + std::to_string(elsewhere) + " n1 c4321");
  EXPECT_EQ(held[held.size() - 2], "held r0 pid" + std::to_string(elevated) + " n2");
  EXPECT_EQ(held.back(), "launched r2 pid" + std::to_string(host.EntryPid(3)));
  // Said once; the plan supervises meanwhile, without touching them.
  for (int i = 0; i < 3; ++i) Tick(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"stale 60", "stale 60", "stale 60"}));
  EXPECT_TRUE(events.Take().empty());
  // Once the other launcher's copy is gone, the row starts.
  host.alive.erase(elsewhere);
  Tick(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"create 2", "stale 60"}));
  EXPECT_EQ(events.Take(), (Calls{"launched r1 pid" + std::to_string(host.EntryPid(2))}));

  // A launcher that claims the process between the look and the adoption.
  reporting.Stop();
  host.alive.erase(host.EntryPid(2));
  const std::uint32_t claimed = host.Outside("C:\\srv\\b.exe", " -x");
  host.adoptionTakenBy = 99;
  ASSERT_TRUE(Start(reporting, 0));
  EXPECT_FALSE(host.Called("create 2"));
  EXPECT_TRUE(host.Called("adopt 2 " + std::to_string(claimed)));
  bool said = false;
  for (const std::string& line : events.Take()) said = said || line == "held r1 pid" + std::to_string(claimed) + " n1 c99";
  EXPECT_TRUE(said);
}

TEST_F(Fixture, ALookWaitsSilentlyForWhatTheDiskSaysAndGoesOnTheMomentItHasBeenRead) {
  EventLog events;
  PlanRunner reporting(catalogue, host, host, options, &events);
  Plan("A");
  Entry(0, "C:\\srv\\a.exe");
  Entry(0, "C:\\srv\\b.exe");
  Entry(5, "C:\\srv\\c.exe");
  Done();
  // Every row's identity is asked for at the start, while the disk is slow.
  host.reading = true;
  ASSERT_TRUE(reporting.Start(0, EventSource::kButton));
  EXPECT_EQ(host.Effects(), (Calls{"look running", "timer on"}));
  EXPECT_EQ(host.identityAsks[3], 1);
  // Said nowhere; once read, the due rows start in their order, before any tick.
  const auto heldLines = [&events] {
    Calls held;
    for (const std::string& line : events.Take()) {
      if (line.rfind("held", 0) == 0 || line.rfind("launched", 0) == 0) held.push_back(line);
    }
    return held;
  };
  EXPECT_TRUE(heldLines().empty());
  // Two reads told at once start each row once.
  host.Read();
  host.Read();
  Settle(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"create 2", "create 1"}));
  EXPECT_EQ(heldLines(), (Calls{"launched r1 pid" + std::to_string(host.EntryPid(2)),
                                "launched r0 pid" + std::to_string(host.EntryPid(1))}));

  // A row held for a process it cannot take keeps its one word while its
  // looks wait for reads; a read after a stop starts nothing.
  const std::uint32_t elevated = host.Outside("C:\\srv\\c.exe", "", false);
  host.lookReading = true;
  for (int i = 0; i < 5; ++i) Tick(reporting);
  EXPECT_FALSE(host.Called("create 3"));
  host.lookReading = false;
  Tick(reporting);
  host.lookReading = true;
  Tick(reporting);
  host.lookReading = false;
  Tick(reporting);
  EXPECT_EQ(heldLines(), (Calls{"held r2 pid" + std::to_string(elevated) + " n2"}));
  host.alive.erase(elevated);
  host.reading = true;
  reporting.Stop();
  host.log.clear();
  host.Read();
  Settle(reporting);
  EXPECT_FALSE(host.Called("create 3"));

  // A read that lasts 2 s (a share gone away) is said once, then the row
  // starts as soon as it is read.
  host.reading = true;
  ASSERT_TRUE(reporting.Start(0, EventSource::kButton));
  heldLines();
  Tick(reporting);
  EXPECT_TRUE(heldLines().empty());
  for (int i = 0; i < 3; ++i) Tick(reporting);
  EXPECT_EQ(heldLines(), (Calls{"held r1 n6", "held r0 n6"}));
  host.Read();
  Settle(reporting);
  EXPECT_EQ(heldLines(), (Calls{"launched r1 pid" + std::to_string(host.EntryPid(2)),
                                "launched r0 pid" + std::to_string(host.EntryPid(1))}));
}

TEST_F(Fixture, AServerRestartedWithEditedArgumentsIsTakenOverOnlyWhereNoOtherRowCouldClaimIt) {
  EventLog events;
  PlanRunner reporting(catalogue, host, host, options, &events);
  Plan("A");
  Entry(0, "C:\\srv\\world.exe");  // row 0: the only row of world.exe
  Entry(0, "C:\\srv\\zone.exe");   // rows 1 and 2: zone.exe twice, one folder
  Entry(0, "C:\\srv\\zone.exe");
  Done();
  catalogue.m_entries[3]->commandLine = " -zone 2";
  const std::uint32_t world = host.Outside("C:\\srv\\world.exe", " -old");
  const std::uint32_t stray = host.Outside("C:\\srv\\zone.exe", " -zone 9");
  const std::uint32_t zone2 = host.Outside("C:\\srv\\zone.exe", " -zone 2");
  ASSERT_TRUE(Start(reporting, 0));
  // Row 2 takes its exact copy; row 1 may not take the stray, nor row 2's.
  EXPECT_EQ(host.Effects(), (Calls{"look running", "adopt 3 " + std::to_string(zone2),
                                   "adopt 1 " + std::to_string(world), "timer on"}));
  const Calls said = events.Take();
  EXPECT_EQ(said[said.size() - 2], "held r1 pid" + std::to_string(stray) + " n3");
  EXPECT_EQ(said.back(), "adopted r0 pid" + std::to_string(world) + " n2 [ -old]");
}

TEST(ChooseClaim, ARecordDecidesAloneAndWithoutOneAnythingInDoubtHoldsTheRow) {
  const ProcessIdentity row{"C:\\A.EXE", "C:\\RUN", " -x", true};
  const std::vector<ProcessIdentity> rows = {row, {"C:\\A.EXE", "C:\\RUN", " -y", true}};
  const auto found = [](std::uint32_t pid, const std::string& cmd, const std::string& dir = "C:\\RUN",
                        std::uint32_t other = 0, bool known = true) {
    FoundProcess process;
    process.pid = pid;
    process.identity = {"C:\\A.EXE", dir, cmd, known};
    process.otherLauncher = other;
    return process;
  };
  // Launched as `launched` and running now in D:\DATA.
  const auto recorded = [&](std::uint32_t pid, const ProcessIdentity& launched, std::uint32_t other = 0) {
    FoundProcess process = found(pid, launched.commandLine, "D:\\DATA", other);
    process.recorded = true;
    process.launched = launched;
    return process;
  };
  // Nothing, or only another row's exact copy: start.
  EXPECT_EQ(ChooseClaim(rows, 0, {}).claim, Claim::kStart);
  EXPECT_EQ(ChooseClaim(rows, 0, {found(8, " -y")}).claim, Claim::kStart);
  // A record decides, whatever folder the process has moved to since: the
  // row's is taken before a guess; another row's, or one launched for
  // another folder, is not this row's.
  const ClaimChoice byRecord = ChooseClaim(rows, 0, {found(7, " -x"), recorded(9, row)});
  EXPECT_EQ(byRecord.claim, Claim::kAdopt);
  EXPECT_EQ(byRecord.pid, 9u);
  EXPECT_EQ(byRecord.basis, AdoptBasis::kRecord);
  EXPECT_EQ(ChooseClaim(rows, 0, {recorded(9, rows[1])}).claim, Claim::kStart);
  EXPECT_EQ(ChooseClaim(rows, 0, {recorded(9, {"C:\\A.EXE", "E:\\X", " -x", true})}).claim, Claim::kStart);
  EXPECT_EQ(ChooseClaim(rows, 0, {recorded(9, row, 55)}).otherLauncher, 55u);
  // A program updated in place (renamed aside, a new build copied in): the
  // record names the row's path, folder and command line but the old file.
  // It is the row's, running an older file; a record without a path (an
  // older launcher's), or with another row's command line, is not.
  std::vector<ProcessIdentity> pathed = rows;
  for (ProcessIdentity& r : pathed) r.path = "C:\\SRV\\A.EXE";
  const ProcessIdentity old{"#OLD", "C:\\RUN", " -x", true, "C:\\SRV\\A.EXE"};
  const ClaimChoice updated = ChooseClaim(pathed, 0, {recorded(9, old)});
  EXPECT_EQ(updated.claim, Claim::kAdopt);
  EXPECT_EQ(updated.basis, AdoptBasis::kReplacedFile);
  EXPECT_EQ(ChooseClaim(pathed, 1, {recorded(9, old)}).claim, Claim::kStart);
  EXPECT_EQ(ChooseClaim(rows, 0, {recorded(9, {"#OLD", "C:\\RUN", " -x", true})}).claim, Claim::kStart);
  // Without a record: the row's command line and folder are taken, a free
  // copy before another launcher's.
  const ClaimChoice guessed = ChooseClaim(rows, 0, {found(8, " -x", "C:\\RUN", 55), found(9, " -x")});
  EXPECT_EQ(guessed.claim, Claim::kAdopt);
  EXPECT_EQ(guessed.pid, 9u);
  EXPECT_EQ(guessed.basis, AdoptBasis::kGuess);
  EXPECT_EQ(ChooseClaim(rows, 0, {found(8, " -x", "C:\\RUN", 55)}).claim, Claim::kHeldByLauncher);
  // Anything in doubt holds the row: a folder that differs (a server that
  // moved to its data folder) or cannot be read, a command line that cannot
  // be read.
  EXPECT_EQ(ChooseClaim(rows, 0, {found(8, " -x", "D:\\DATA")}).claim, Claim::kHeldFolder);
  EXPECT_EQ(ChooseClaim(rows, 0, {found(8, " -x", "")}).claim, Claim::kHeldFolder);
  EXPECT_EQ(ChooseClaim(rows, 0, {found(8, " -z", "E:\\X")}).claim, Claim::kHeldFolder);
  EXPECT_EQ(ChooseClaim(rows, 0, {found(8, " -y", "D:\\DATA")}).claim, Claim::kHeldFolder);
  EXPECT_EQ(ChooseClaim(rows, 0, {found(7, "", "", 0, false)}).claim, Claim::kHeldUnreadable);
  // Edited arguments in the row's folder: taken where the row alone has the
  // file and folder, by record or guess.
  const ClaimChoice edited = ChooseClaim({row}, 0, {found(8, " -z")});
  EXPECT_EQ(edited.claim, Claim::kAdoptDiffering);
  EXPECT_EQ(edited.commandLine, " -z");
  EXPECT_EQ(ChooseClaim({row}, 0, {recorded(8, {"C:\\A.EXE", "C:\\RUN", " -z", true})}).basis, AdoptBasis::kRecord);
  EXPECT_EQ(ChooseClaim({row}, 0, {found(8, " -z", "C:\\RUN", 56)}).claim, Claim::kHeldByLauncher);
  EXPECT_EQ(ChooseClaim(rows, 0, {found(8, " -z")}).claim, Claim::kHeldAmbiguous);
  EXPECT_EQ(ChooseClaim(rows, 5, {found(8, " -x")}).claim, Claim::kStart);  // no such row

  // Two rows of one program: a record's folder is where it was launched,
  // not where it runs now, so its edited arguments are ambiguous here too.
  EXPECT_EQ(ChooseClaim(rows, 0, {recorded(8, {"C:\\A.EXE", "C:\\RUN", " -z", true})}).claim,
            Claim::kHeldAmbiguous);
  // In two folders, edited arguments in one folder are that row's alone.
  const std::vector<ProcessIdentity> apart = {row, {"C:\\A.EXE", "E:\\X", " -y", true}};
  EXPECT_EQ(ChooseClaim(apart, 0, {found(8, " -z")}).claim, Claim::kAdoptDiffering);
  // Another row's exact copy found first does not hide a copy in doubt.
  const ClaimChoice behind = ChooseClaim(rows, 0, {found(8, " -y"), found(9, " -x", "D:\\DATA")});
  EXPECT_EQ(behind.claim, Claim::kHeldFolder);
  EXPECT_EQ(behind.pid, 9u);
  // Held by two launchers: the recorded copy names the one that holds the row.
  EXPECT_EQ(ChooseClaim(rows, 0, {recorded(9, row, 55), found(8, " -x", "C:\\RUN", 56)}).otherLauncher, 55u);
}

// A file without an id is never one with every other file without one.
TEST(FileIdText, AnIdOfZerosIsNoIdAndAnyOtherKeepsItsByteOrder) {
  const unsigned char zeros[16] = {};
  EXPECT_EQ(FileIdText(0, zeros, 8), "");
  EXPECT_EQ(FileIdText(0x1234, zeros, 16), "");
  const unsigned char index[8] = {0, 0, 0, 1, 0, 0, 0, 0xAB};
  EXPECT_EQ(FileIdText(0, index, 8), "#0000000000000000:00000001000000AB");
  EXPECT_EQ(FileIdText(0xC0FFEE, index + 7, 1), "#0000000000C0FFEE:AB");
}

TEST(RecordLabelBelieved, NeverBelowTheLaunchersLevelCappedAtHigh) {
  constexpr std::uint32_t kLow = 0x1000, kMedium = 0x2000, kHigh = 0x3000, kSystem = 0x4000;
  EXPECT_FALSE(RecordLabelBelieved(kMedium, kHigh));  // an unelevated program's forgery
  EXPECT_TRUE(RecordLabelBelieved(kHigh, kHigh));
  EXPECT_TRUE(RecordLabelBelieved(kHigh, kSystem));   // a service's own, labelled high
  EXPECT_FALSE(RecordLabelBelieved(kMedium, kSystem));
  EXPECT_TRUE(RecordLabelBelieved(kMedium, kMedium));
  EXPECT_FALSE(RecordLabelBelieved(kLow, kMedium));
  EXPECT_FALSE(RecordLabelBelieved(0, kMedium));      // its label unreadable
  EXPECT_TRUE(RecordLabelBelieved(kMedium, 0));       // the launcher's own unreadable
}

TEST(ChooseErrorReporter, TheOneReportingOnTheHungProgramElseTheFirstUntold) {
  EXPECT_EQ(ReportedProcessId("C:\\Windows\\system32\\WerFault.exe -u -p 4242 -s 1234"), 4242u);
  EXPECT_EQ(ReportedProcessId(" /P 17"), 17u);
  for (const char* none : {"", "WerFault.exe -u", "WerFault.exe -p", "WerFault.exe -p x12", "-pp 5",
                           "-p 99999999999"}) {
    EXPECT_EQ(ReportedProcessId(none), 0u) << none;
  }
  const std::vector<ErrorReporter> reporters = {
      {10, "WerFault.exe -u -p 300 -s 1", true},  // another program's
      {11, "", false},                            // cannot be read
      {12, "WerFault.exe -u -p 200 -s 2", true},
      {13, "WerFault.exe", true},                 // names nobody
  };
  EXPECT_EQ(ChooseErrorReporter(reporters, 200), 12u);
  EXPECT_EQ(ChooseErrorReporter(reporters, 999), 11u);
  EXPECT_EQ(ChooseErrorReporter({reporters[0], reporters[2]}, 999), 0u);
  EXPECT_EQ(ChooseErrorReporter({}, 200), 0u);
}

TEST_F(Fixture, AProgramWithoutAJobAndOneKeptInTheLaunchersJobAreEachReportedOnce) {
  EventLog events;
  PlanRunner reporting(catalogue, host, host, options, &events);
  Plan("A");
  Entry(0);
  Entry(0);
  Done();
  host.jobError = 5;
  host.inLauncherJob = true;
  ASSERT_TRUE(Start(reporting, 0));
  host.alive.clear();
  Tick(reporting);
  int reports = 0, inJob = 0;
  for (const std::string& line : events.Take()) {
    reports += line.rfind("no job", 0) == 0;
    inJob += line.rfind("in job", 0) == 0;
  }
  EXPECT_EQ(reports, 1);
  EXPECT_EQ(inJob, 1);
}

TEST_F(Fixture, AnEndIsRelaunchedAtOnceButNoEntryStartsTwiceWithinASecond) {
  Plan("A");
  Entry(0);  // entry 1, row 0
  Entry(0);  // entry 2, row 1
  Done();
  host.endsTold = true;
  StartAndLaunchAll(0);  // both started at 0 ms

  // It ran 1.5 s: started again as soon as its end is seen, no tick needed.
  host.now = 1500;
  host.Exit(host.EntryPid(1));
  Settle(runner);
  EXPECT_EQ(host.Effects(), (Calls{"create 1"}));
  // It ends again at once: the next start waits until a second after this one,
  // and neither a tick nor an early wake brings it forward.
  host.now = 1520;
  host.Exit(host.EntryPid(1));
  Settle(runner);
  EXPECT_EQ(host.Effects(), (Calls{"wake 980"}));
  host.now = 2000;
  runner.Tick();
  // Whether a program whose end will be told still runs is never asked, nor
  // is its row while it runs.
  EXPECT_FALSE(host.Called("running 1") || host.Called("running 2") || host.Called("checked 1"));
  EXPECT_EQ(host.Effects(), (Calls{"stale 60"}));
  host.now = 2499;
  runner.Wake();
  EXPECT_EQ(host.Effects(), (Calls{"wake 1"}));
  host.now = 2500;
  runner.Wake();
  Settle(runner);
  EXPECT_EQ(host.Effects(), (Calls{"create 1"}));
}

TEST_F(Fixture, AnEndIsRelaunchedOnlyInSupervisionWithItsRowAndTheRerunBoxTickedAtThatMoment) {
  EventLog events;
  PlanRunner reporting(catalogue, host, host, options, &events);
  Plan("A");
  Entry(0);  // entry 1, row 0
  Entry(0);  // entry 2, row 1
  Entry(1);  // entry 3, row 2
  Done();
  ASSERT_TRUE(Start(reporting, 0));
  // Launch phase: an end is reported, and nothing started again.
  host.now = 1500;
  host.Exit(host.EntryPid(1));
  Settle(reporting);
  EXPECT_EQ(events.Take().back(), "exited r0 pid104 ms1500");
  Tick(reporting);  // row 2 launched: supervising from now on
  Tick(reporting);  // the tick starts row 0 again
  EXPECT_EQ(host.Effects(), (Calls{"look running", "create 2", "create 1", "timer on", "create 3", "create 1",
                                   "stale 60"}));

  // Unticked row, or rerun off, when the end is seen: it stays down...
  host.now += 1500;
  host.uncheckedRows = {0};
  host.Exit(host.EntryPid(1));
  Settle(reporting);
  host.uncheckedRows.clear();
  host.rerun = false;
  host.Exit(host.EntryPid(2));
  Settle(reporting);
  EXPECT_TRUE(host.Effects().empty());
  // ... until a tick finds them ticked again.
  host.rerun = true;
  Tick(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"create 2", "create 1", "stale 60"}));

  // A relaunch put off by a second reads them at its own moment.
  host.now += 100;
  host.Exit(host.EntryPid(1));
  Settle(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"wake 900"}));
  host.uncheckedRows = {0};
  host.now += 900;
  reporting.Wake();
  EXPECT_TRUE(host.Effects().empty());
  host.uncheckedRows.clear();
  Tick(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"create 1", "stale 60"}));

  // An end the tick saw first: the tick started it again, and the late news
  // of the old process changes nothing.
  const std::uint32_t old = host.EntryPid(2);
  host.alive.erase(old);
  Tick(reporting);
  EXPECT_EQ(host.Effects(), (Calls{"create 2", "stale 60"}));
  host.news.push_back({ProcessNews::Kind::kEnded, 2, old, {}});
  reporting.TakeProcessNews();
  EXPECT_TRUE(host.Effects().empty());
}

TEST_F(Fixture, AStopDuringCreationsEndsWhatStartedAndNothingStartsAfterIt) {
  EventLog events;
  PlanRunner reporting(catalogue, host, host, options, &events);
  Plan("A");
  Entry(0, "C:\\srv\\Malvoryn.exe");  // entry 1, row 0: spared at a stop, had it started
  Entry(0);                              // entry 2, row 1
  Entry(0);                              // entry 3, row 2
  Done();
  ASSERT_TRUE(reporting.Start(0));  // asks for 3, 2, 1
  host.Make(2);                     // 3 and 2 have started, 1 is not made yet
  host.Exit(host.EntryPid(3));      // and 3 has ended already
  host.log.clear();
  events.Take();
  reporting.Stop();
  // What started is reported and ended with the rest; the end already seen
  // starts nothing; the creation not made never is.
  EXPECT_EQ(host.cancels, 1);
  EXPECT_TRUE(host.asked.empty());
  EXPECT_EQ(host.Effects(), (Calls{"timer off", "notice", "terminate 3", "terminate 2", "look idle"}));
  EXPECT_EQ(events.Take(), (Calls{"launched r2 pid100", "launched r1 pid104", "exited r2 pid100", "notice",
                                  "terminated r1 pid104", "stopped"}));
  // A start reported after the stop (which the host never does) is ended at once.
  host.pids[1] = 999;
  host.alive.insert(999);
  host.news.push_back({ProcessNews::Kind::kStarted, 1, 999, {}});
  reporting.TakeProcessNews();
  EXPECT_EQ(host.Effects(), (Calls{"terminate 1"}));
  EXPECT_TRUE(events.Take().empty());
}

TEST_F(Fixture, EmptyPlanStartsAndStopsAndTheNoticeGoesOutOnce) {
  Plan("empty");
  Plan("B");
  Entry(0);
  Done();
  ASSERT_TRUE(Start(0));
  Tick();  // supervision from the first tick
  runner.Stop();
  EXPECT_EQ(host.Effects(), (Calls{"look running", "timer on", "stale 60", "timer off", "notice", "look idle"}));
}

TEST_F(Fixture, WithoutARunningPlanNothingHappens) {
  Plan("A");
  Entry(0);
  Done();
  EXPECT_FALSE(Start(-1));  // no selection
  EXPECT_FALSE(Start(1));
  Tick();                   // a late timer-1 tick
  runner.LaunchDueEntries();
  EXPECT_TRUE(host.log.empty());
  EXPECT_EQ(catalogue.m_planRunning[0], 0u);
  runner.Stop();
  EXPECT_EQ(host.Effects(), (Calls{"timer off", "look idle"}));

  ASSERT_TRUE(Start(0));
  host.log.clear();
  EXPECT_FALSE(Start(0));  // one plan at a time
  EXPECT_TRUE(host.log.empty());
  EXPECT_EQ(Launched(0), 1u);
}

TEST_F(Fixture, RangeOutsideTheEntriesIsTreatedAsEmpty) {
  Plan("A");
  Entry(0);
  Done();
  catalogue.m_planRanges[1] = 5;  // claims more entries than exist
  ASSERT_TRUE(Start(0));
  Tick();
  runner.Stop();
  EXPECT_EQ(host.Effects(), (Calls{"look running", "timer on", "stale 60", "timer off", "notice", "look idle"}));
}

}  // namespace

TEST_F(Fixture, ARowIsEndedOrStartedAtOnceOnTheCommandLinesWord) {
  EventLog events;
  PlanRunner r(catalogue, host, host, options, &events);
  Plan("p");
  Entry(0, "C:\\a.exe");   // entry 1, row 0
  Entry(3, "C:\\b.exe");   // entry 2, row 1
  Entry(10, "C:\\c.exe");  // entry 3, row 2
  Done();
  ASSERT_TRUE(Start(r, 0));
  events.Take();
  // Started now whatever its countdown: its attempt counts as the
  // countdown's would, and the countdown never starts it a second time.
  EXPECT_TRUE(r.StartRow(1));
  Settle(r);
  EXPECT_EQ(events.Take(), (Calls{"launched r1 pid104"}));
  EXPECT_EQ(Launched(0), 2u);
  EXPECT_FALSE(r.StartRow(1));  // it runs
  for (int i = 0; i < 11; ++i) Tick(r);
  const Calls later = events.Take();
  EXPECT_EQ(std::count(later.begin(), later.end(), "launched r2 pid108"), 1);
  for (const std::string& e : later) EXPECT_EQ(e.find(" r1"), std::string::npos) << e;
  EXPECT_EQ(Launched(0), 3u);
  EXPECT_EQ(host.nextPid, 112u);

  // Ended with its tree as a hang kill is: told as ended, not as an exit of
  // its own, and not started again while its row is unticked.
  host.uncheckedRows.insert(0);
  host.exitCodes[100] = 111;
  EXPECT_TRUE(r.EndRow(0));
  EXPECT_FALSE(r.EndRow(0));  // already ending
  Tick(r);
  Tick(r);
  EXPECT_EQ(events.Take(), (Calls{"terminated r0 pid100", "ended r0 pid100 n111 ms12000"}));
  EXPECT_FALSE(r.EndRow(0));  // nothing runs
  EXPECT_EQ(host.nextPid, 112u);

  // Ended and started again: the new one waits until the old one is gone,
  // then starts once.
  host.slowEnds = true;
  EXPECT_TRUE(r.EndRow(1));
  EXPECT_TRUE(r.StartRow(1));
  Tick(r);
  EXPECT_EQ(host.nextPid, 112u);
  host.Exit(104);
  Settle(r);
  Tick(r);
  EXPECT_EQ(host.nextPid, 116u);
  const Calls restarted = events.Take();
  ASSERT_GE(restarted.size(), 3u);
  EXPECT_EQ(restarted.front(), "terminated r1 pid104");
  EXPECT_EQ(restarted.back(), "launched r1 pid112");

  // Rows the plan does not have, and no plan.
  EXPECT_FALSE(r.EndRow(3));
  EXPECT_FALSE(r.StartRow(3));
  r.Stop();
  EXPECT_FALSE(r.StartRow(0));
  EXPECT_FALSE(r.EndRow(1));
}

TEST_F(Fixture, ARowCommandWhileTheRowsProgramIsBeingCreatedActsOnWhatTheCreationMakes) {
  EventLog events;
  PlanRunner r(catalogue, host, host, options, &events);
  Plan("p");
  Entry(0, "C:\\a.exe");  // entry 1, row 0
  Done();
  // Its creation is asked for and not made yet: a start is that creation.
  ASSERT_TRUE(r.Start(0));
  EXPECT_FALSE(r.StartRow(0));
  Settle(r);
  EXPECT_EQ(host.nextPid, 104u);
  // A stop during its relaunch ends what the relaunch makes, at once.
  host.now += 1000;
  host.Exit(100);
  r.TakeProcessNews();
  ASSERT_EQ(host.asked.size(), 1u);
  host.uncheckedRows.insert(0);
  EXPECT_TRUE(r.EndRow(0));
  EXPECT_FALSE(r.EndRow(0));  // already to be ended
  Settle(r);
  Tick(r);
  EXPECT_EQ(events.Take(), (Calls{"plan", "launched r0 pid100", "exited r0 pid100 ms1000", "relaunched r0 pid104 n1",
                                  "terminated r0 pid104", "ended r0 pid104 ms1000"}));
  EXPECT_TRUE(host.alive.empty());
  // A restart during a creation (its end, then its start) keeps what the creation makes.
  host.uncheckedRows.clear();
  EXPECT_TRUE(r.StartRow(0));
  EXPECT_TRUE(r.EndRow(0));
  EXPECT_TRUE(r.StartRow(0));
  Settle(r);
  Tick(r);
  EXPECT_EQ(events.Take(), (Calls{"launched r0 pid108"}));
  EXPECT_EQ(host.alive, (std::set<std::uint32_t>{108}));
}

TEST(DumpFiles, NamedForTheOperatorAndTheTenNewestOfOursKeptByTheirFileTimes) {
  const LocalTime time{2026, 12, 7, 3, 4, 5, 678};
  // 服务\战斗.exe: the file name only, whatever its bytes; 淺's second byte
  // is a backslash's, and no separator.
  EXPECT_EQ(DumpFileName("D:\\\xb7\xfe\xce\xf1\\\xd5\xbd\xb6\xb7.exe", 1234, time),
            "\xd5\xbd\xb6\xb7.exe_1234_20261207-030405.dmp");
  EXPECT_EQ(DumpFileName("D:\\\x9c\x5c\\\x9c\x5c.exe", 7, time), "\x9c\x5c.exe_7_20261207-030405.dmp");
  EXPECT_TRUE(IsDumpFileName("\x9c\x5c.exe_7_20261207-030405.dmp"));
  EXPECT_TRUE(IsDumpFileName("a.exe_1_20261207-030405.dmp"));
  for (const char* other : {"a.exe_20261207-030405.dmp", "a.exe_1_20261207-030405.dmp.txt",
                            "a.exe_x_20261207-030405.dmp", "_1_20261207-030405.dmp", "notes.dmp",
                            "a.exe_1_2026120-0304055.dmp"}) {
    EXPECT_FALSE(IsDumpFileName(other)) << other;
  }
  // Ten dumps, the later written the earlier named (the clocks went back).
  std::vector<FolderFile> folder = {{"readme.txt", 1}, {"crash.dmp", 2}};  // not ours: never touched
  for (int k = 1; k <= 10; ++k) {
    folder.push_back({FormatText("b.exe_%d_202612%02d-000000.dmp", k, 11 - k), 100u + k});
  }
  EXPECT_TRUE(DumpsToRemove(folder, "b.exe_10_20261201-000000.dmp").empty());
  // One more: the one written longest ago goes. The one just written stays,
  // whatever its time says.
  folder.push_back({"a.exe_99_20261130-235959.dmp", 50});
  EXPECT_EQ(DumpsToRemove(folder, "a.exe_99_20261130-235959.dmp"),
            (std::vector<std::string>{"b.exe_1_20261210-000000.dmp"}));
  folder.push_back({"c.exe_7_20261130-000000.dmp", 200});
  EXPECT_EQ(DumpsToRemove(folder, "c.exe_7_20261130-000000.dmp"),
            (std::vector<std::string>{"a.exe_99_20261130-235959.dmp", "b.exe_1_20261210-000000.dmp"}));
}

TEST(DumpQueue, OneAtATimeInOrderEachFromItsTurnAndAGivenUpDumpNeverHoldsTheLine) {
  DumpQueue<std::string> queue;
  const auto turn = [&](std::size_t entry) {
    const DumpOutcome o = queue.Poll(entry);
    return o.begun ? static_cast<std::int64_t>(o.begunMs) : -1;
  };
  queue.Add(1, "one", 100);
  queue.Add(2, "two", 200);
  queue.Add(3, "three", 300);
  auto taken = queue.Take(400);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->request, "one");
  EXPECT_FALSE(queue.Take(410));  // one at a time
  EXPECT_EQ(turn(1), 400);
  EXPECT_EQ(turn(2), -1);  // waits its turn: no limit runs for it

  // Written: told once, with when its turn came.
  DumpOutcome written;
  written.path = "one.dmp";
  EXPECT_FALSE(queue.Finish(written));
  const DumpOutcome told = queue.Poll(1);
  EXPECT_TRUE(told.finished && told.path == "one.dmp" && told.begunMs == 400);
  EXPECT_FALSE(queue.Poll(1).finished);

  // Given up while it is written (its program killed at its limit): the next
  // one's turn comes at once, though the worker is still busy with it.
  ASSERT_EQ(queue.Take(1000)->entry, 2u);
  EXPECT_EQ(queue.Abandon(2, 31000), "");
  EXPECT_FALSE(queue.Take(31001));
  EXPECT_EQ(turn(3), 31000);
  EXPECT_TRUE(queue.Finish(written));  // nobody wants entry 2's file
  EXPECT_FALSE(queue.Poll(2).finished);
  ASSERT_TRUE(queue.Take(40000));
  EXPECT_EQ(turn(3), 31000);

  // One given up while it waits is never written; of those given up once
  // done, a written one leaves its file to remove, a failed one none.
  queue.Add(4, "four", 40001);
  EXPECT_EQ(queue.Abandon(4, 40002), "");
  DumpOutcome failed = written;
  failed.error = 5;
  EXPECT_FALSE(queue.Finish(failed));
  EXPECT_EQ(queue.Abandon(3, 40003), "");
  EXPECT_FALSE(queue.Take(40004));
  queue.Add(5, "five", 40005);
  ASSERT_TRUE(queue.Take(40006));
  EXPECT_FALSE(queue.Finish(written));
  EXPECT_EQ(queue.Abandon(5, 40007), "one.dmp");
}

TEST(DumpQueue, AFailedDumpReportsTheWindowsErrorItsHresultCarries) {
  EXPECT_EQ(DumpFailureError(0x8007012Bu), 299u);  // ERROR_PARTIAL_COPY
  EXPECT_EQ(DumpFailureError(0x80070005u), 5u);
  EXPECT_EQ(DumpFailureError(5), 5u);                     // a Windows error already
  EXPECT_EQ(DumpFailureError(0x8000FFFFu), 0x8000FFFFu);  // another facility's, as it is
  EXPECT_EQ(DumpFailureError(0), 31u);                    // none at all: ERROR_GEN_FAILURE
  EXPECT_EQ(DumpFailureError(0x80070000u), 31u);
}

namespace {
// A creation line whose creations block until released, and whose workers
// are real threads.
struct LineFixture {
  std::mutex mutex;
  std::condition_variable released;
  std::set<int> blocked;                 // these block until released
  std::vector<int> delivered, discarded, started;
  std::vector<bool> busyWhileDiscarding;  // a discard still counts as a creation under way
  std::vector<std::thread> threads;
  CreationLine<int, int> line{{
      [this](int& job) {
        std::unique_lock<std::mutex> lock(mutex);
        started.push_back(job);
        released.wait(lock, [&] { return blocked.count(job) == 0; });
        return job;
      },
      [this](int&& made, const int&) {
        std::lock_guard<std::mutex> lock(mutex);
        delivered.push_back(made);
      },
      [this](int&& made) {
        const bool busy = line.Busy();  // the line's lock before the fixture's, as a delivery takes them
        std::lock_guard<std::mutex> lock(mutex);
        discarded.push_back(made);
        busyWhileDiscarding.push_back(busy);
      },
      [this](std::function<void()> run) {
        threads.emplace_back(std::move(run));
        return true;
      }}};
  ~LineFixture() {
    Release(-1);
    line.End(CreationLine<int, int>::Clock::now() + std::chrono::seconds(5));
    for (std::thread& t : threads) t.join();
  }
  void Release(int job) {
    std::lock_guard<std::mutex> lock(mutex);
    if (job < 0) blocked.clear(); else blocked.erase(job);
    released.notify_all();
  }
  // Waits (bounded) until `done` holds, looking under the fixture's lock.
  bool Until(const std::function<bool()>& done) {
    for (int i = 0; i < 2000; ++i) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (done()) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
};
}  // namespace

TEST(CreationLine, AStuckCreationHoldsOnlyItselfTheRestKeepTheirOrderAndWhatACancelOrEndLeavesIsDiscarded) {
  using Line = CreationLine<int, int>;
  LineFixture f;
  f.blocked = {1, 7};
  for (int job : {1, 2, 3}) ASSERT_TRUE(f.line.Ask(job));
  ASSERT_TRUE(f.Until([&] { return f.started == std::vector<int>{1}; }));
  // Not slow yet: the others wait behind it.
  EXPECT_TRUE(f.line.Check(Line::Clock::now()).empty());
  EXPECT_EQ(f.line.Workers(), 1);
  // Slow: told once, and a fresh worker makes the rest in order.
  const std::vector<Line::Slow> slow = f.line.Check(Line::Clock::now() + std::chrono::seconds(3));
  ASSERT_EQ(slow.size(), 1u);
  EXPECT_EQ(slow[0].job, 1);
  EXPECT_GE(slow[0].taken, Line::kSlowMs);
  EXPECT_TRUE(f.line.Check(Line::Clock::now() + std::chrono::seconds(4)).empty());
  ASSERT_TRUE(f.Until([&] { return f.delivered == std::vector<int>{2, 3}; }));
  // The slow one still counts when it comes back, after the others.
  f.Release(1);
  ASSERT_TRUE(f.Until([&] { return f.delivered == std::vector<int>{2, 3, 1}; }));
  ASSERT_TRUE(f.Until([&] { return f.line.Workers() == 1; }));  // it ended; one takes creations
  // A creation under way at a cancel is discarded when it comes back; one
  // asked for after it is made.
  ASSERT_TRUE(f.line.Ask(7));
  ASSERT_TRUE(f.Until([&] { return f.started.back() == 7; }));
  f.line.Cancel([] {});
  f.Release(7);
  ASSERT_TRUE(f.Until([&] { return f.discarded == std::vector<int>{7}; }));
  ASSERT_TRUE(f.line.Ask(8));
  ASSERT_TRUE(f.Until([&] { return f.delivered.back() == 8; }));
  // At the end, one stuck past the deadline is given up on, and what it
  // finishes afterwards is discarded, never delivered.
  f.blocked = {9};
  ASSERT_TRUE(f.line.Ask(9));
  ASSERT_TRUE(f.Until([&] { return f.started.back() == 9; }));
  f.line.End(Line::Clock::now() + std::chrono::milliseconds(20));
  EXPECT_EQ(f.line.Workers(), 1);
  f.Release(9);
  ASSERT_TRUE(f.Until([&] { return f.discarded.size() == 2 && f.discarded.back() == 9; }));
  EXPECT_EQ(f.delivered.back(), 8);
  EXPECT_EQ(f.busyWhileDiscarding, (std::vector<bool>{true, true}));
}

TEST_F(Fixture, TheAutomaticStartLeavesAPlanStartedBeforeItRunningAndSaysSo) {
  struct : EventSink {
    std::vector<Event> seen;
    void OnEvent(const Event& e) override { seen.push_back(e); }
  } events;
  PlanRunner reporting(catalogue, host, host, options, &events);
  Plan("A");
  Entry(0);
  Done();
  Plan("B");
  Entry(0, "C:\\srv\\other.exe");
  Done();
  EXPECT_TRUE(reporting.AutoStartDue());  // nothing runs: the caller starts its plan
  EXPECT_TRUE(events.seen.empty());
  ASSERT_TRUE(Start(reporting, 1, EventSource::kControl));
  events.seen.clear();
  host.log.clear();
  EXPECT_FALSE(reporting.AutoStartDue());
  EXPECT_EQ(reporting.RunningPlan(), 1);
  EXPECT_TRUE(host.log.empty()) << host.log.front();  // nothing ended, no notice
  ASSERT_EQ(events.seen.size(), 1u);
  EXPECT_EQ(events.seen[0].kind, EventKind::kAutoStartSkipped);
  EXPECT_EQ(events.seen[0].plan, 1);
  EXPECT_EQ(events.seen[0].planName, "B");
}
