#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catalogue/catalogue.h"
#include "report/event.h"
#include "runner/claim.h"

// The operator's supervision options, owned by the dialog and read by the
// runner on every stop and tick.
struct RunnerOptions {
  int notify = 1;    // stop sends the exit notice and spares the exempt programs
  int detect = 1;    // the tick kills programs whose heartbeat went stale
  int interval = 60; // detection interval in seconds, 15..120
  // /g: a stop asks each program it ends to close and gives it this long
  // before it is ended; 0 ends it at once.
  int graceSeconds = 0;
};

// What a stop's ask did: bits of these.
inline constexpr std::uint32_t kAskedCtrlC = 1;   // Ctrl-C reached the program's console
inline constexpr std::uint32_t kAskedWindow = 2;  // WM_CLOSE was posted to its windows
// The Ctrl-C helper has not ended yet: whether the keystroke went out is
// not known, and the ask's record is kept.
inline constexpr std::uint32_t kAskPending = 4;
// How long a program that has closed is reported late, at most, waiting
// for its helper to say whether its Ctrl-C went out.
inline constexpr std::uint64_t kAskSettleMs = 2000;

// A stale id taken from the liveness table, with how long it had been silent.
struct StaleProcess {
  std::uint32_t id = 0;  // 0: none was stale
  std::uint32_t silentSeconds = 0;
};

// How a minidump of a hung program stands, or came out.
struct DumpOutcome {
  bool finished = false;     // false while it waits its turn or is being written
  std::uint32_t error = 0;   // 0: written
  std::string path;          // the file, GBK
  std::uint64_t bytes = 0;
  std::uint64_t millis = 0;  // how long the writing took
  // Its turn has come (its writing began, as a rule), at begunMs on the
  // host's NowMilliseconds clock: its time limit counts from then. Dumps are
  // written one at a time; one waiting behind another has no limit running.
  bool begun = false;
  std::uint64_t begunMs = 0;
};

// How asking for a minidump came out.
struct DumpStart {
  bool started = false;      // it waits its turn or is being written
  std::uint32_t error = 0;   // not started though dumps are on: the Windows error
  std::string detail;        // and why, in words, GBK
};

// An error-reporting process and what its command line says.
struct ErrorReporter {
  std::uint32_t pid = 0;
  std::string commandLine;          // GBK
  bool commandLineKnown = false;
};

// The process id named after a "-p" or "/p" switch in an error reporter's
// command line, or 0 when it names none.
std::uint32_t ReportedProcessId(std::string_view commandLine);

// The error reporter to end after `hungPid`'s kill, or 0: the one whose
// command line names that process, else the first (in list order) that
// cannot be told apart; never one that reports on another process.
std::uint32_t ChooseErrorReporter(const std::vector<ErrorReporter>& reporters, std::uint32_t hungPid);

// What the runner needs of the window and the heartbeat listener. Rows are
// positions in the program list.
class RunnerHost {
 public:
  virtual ~RunnerHost() = default;
  virtual bool IsRowChecked(int row) = 0;
  virtual bool IsRerunChecked() = 0;
  virtual void BroadcastExitNotice() = 0;
  virtual StaleProcess TakeStaleProcessId(int interval) = 0;
  // Drops whatever heartbeats the liveness table holds for `processId`.
  virtual void ForgetHeartbeats(std::uint32_t processId) = 0;
  // Every program's silence counts from now (LivenessTable::RestartSilences).
  virtual void RestartSilences() = 0;
  virtual void StartTickTimer() = 0;
  virtual void StopTickTimer() = 0;
  // PlanRunner::Wake is to be called once, `ms` milliseconds from now; a
  // later request replaces an earlier one.
  virtual void WakeIn(std::uint64_t ms) = 0;
  // Idle or running look of the dialog: the start/stop button's text, the
  // chooser, rerun box and exit button, the system menu's Close command.
  virtual void ShowRunning(bool running) = 0;
};

// How taking a process as an entry's own came out.
struct ProcessStart {
  std::uint32_t error = 0;          // 0: the entry holds the process; else the system's error
  std::uint32_t jobError = 0;       // 0: its tree is reachable; else why it has no job
  std::uint32_t otherLauncher = 0;  // an adoption refused: this launcher holds the process
  bool endTold = false;             // its end will come as kEnded news
  bool gone = false;                // an adoption refused: the process ended since it was seen
  bool inLauncherJob = false;       // a creation: it could not leave the launcher's own job
};

// What the host has to tell the runner about its processes: a creation the
// runner asked for has come out, or a process an entry holds has ended, or
// a creation is slow (it has not come back for a while; the others go on),
// or what a look asked of the disk has been read.
struct ProcessNews {
  enum class Kind { kStarted, kEnded, kSlow, kRead };
  Kind kind = Kind::kStarted;
  std::size_t entry = 0;
  std::uint32_t pid = 0;  // kStarted: the new process (0 when it failed); kEnded: the process that ended
  ProcessStart start;     // kStarted: how the creation came out
  std::uint64_t millis = 0;  // kSlow: how long it has taken so far
};

// What the runner needs of the system's processes. Entries are named by
// their index in Catalogue::m_entries. Each entry holds at most one process,
// its latest, with the tree it started.
//
// Creations and the ends of held processes are news: the host makes the
// former and sees the latter away from the runner's thread, and the runner
// takes the news (TakeNews) when the host says it has some. A process is the
// entry's from the moment its news is taken.
class ProcessHost {
 public:
  virtual ~ProcessHost() = default;
  // Asks for the entry's program to be created. Creations are made one at a
  // time in the order asked; each comes back as one kStarted news.
  virtual void StartEntryProcess(std::size_t entry) = 0;
  // Up to `most` pieces of news, oldest first.
  virtual std::vector<ProcessNews> TakeNews(std::size_t most) = 0;
  // Creations that have been slow since the last look (kSlow news), each
  // told once. Asked every tick.
  virtual std::vector<ProcessNews> CheckStarts() = 0;
  // Drops every creation asked for and not made yet; one being made is ended
  // before it runs. Returns all news not taken yet: every process started
  // for the runner is in it or in news taken before, and a dropped creation
  // is never reported.
  virtual std::vector<ProcessNews> CancelStarts() = 0;
  // What the entry's launch would run. The disk is read off the window's
  // thread: none until it has been, and a kRead news then tells.
  virtual std::optional<ProcessIdentity> EntryIdentity(std::size_t entry) = 0;
  // The processes of the launcher's session that run `row.file` or whose
  // launch record names it, other than those the launcher holds and those
  // of the trees it started. None while what the look needs of the disk is
  // read (as EntryIdentity).
  virtual std::optional<std::vector<FoundProcess>> FindRunning(const ProcessIdentity& row) = 0;
  // Takes running process `found` as the entry's own, as if it had started
  // it, and gives it a record of `row` (the entry's identity); refused
  // (gone) when it has ended or its id is another process's since the look.
  virtual ProcessStart AdoptProcess(std::size_t entry, const FoundProcess& found, const ProcessIdentity& row) = 0;
  // Gives the entry `from`'s process, with its tree, to entry `to` (the
  // same program in another plan); `from` holds nothing afterwards.
  virtual void MoveProcess(std::size_t from, std::size_t to) = 0;
  // The system's text for an error code, GBK.
  virtual std::string DescribeError(std::uint32_t error) = 0;
  // False when the entry never had a process (id 0) or its process has ended.
  virtual bool IsEntryRunning(std::size_t entry) = 0;
  virtual std::uint32_t EntryProcessId(std::size_t entry) = 0;
  // The exit code of the entry's latest process, read from the held handle.
  virtual std::uint32_t EntryExitCode(std::size_t entry) = 0;
  // Ends the entry's latest process and its tree with exit code 111, if it
  // holds one; does nothing otherwise. Until the process has ended, the
  // entry's process is ending.
  virtual void TerminateEntry(std::size_t entry) = 0;
  // Asks the entry's program, which its stop saw running, to close:
  // Ctrl-C on its console, WM_CLOSE posted to its visible windows; it
  // counts as ending from now on. Never waits.
  virtual void AskToClose(std::size_t entry) = 0;
  // What the ask reached, as far as it is known by now (kAsked* bits, with
  // kAskPending while that is not known yet). Once it is known, the ask is
  // forgotten.
  virtual std::uint32_t AskedHow(std::size_t entry) = 0;
  // Whether the entry's latest process was terminated by this launcher and
  // has not ended yet.
  virtual bool IsEntryEnding(std::size_t entry) = 0;
  // The processes still running in the tree of the entry's latest process,
  // which has ended; console hosts, which end with their last client, are
  // not counted.
  virtual std::vector<std::uint32_t> LeftInTree(std::size_t entry) = 0;
  // Takes `pid`, left in the tree of the entry's ended process, as the
  // entry's process, with the same tree and a record of the entry's launch.
  virtual ProcessStart TakeSurvivor(std::size_t entry, std::uint32_t pid) = 0;
  // Ends what is left in the tree of the entry's ended process with 111.
  virtual void EndTree(std::size_t entry) = 0;
  // Whether running process `pid` belongs to the tree the entry's latest
  // process started (a loader's server).
  virtual bool EntryTreeHolds(std::size_t entry, std::uint32_t pid) = 0;
  // Ends the error reporter ChooseErrorReporter picks for `hungPid` among
  // those of the launcher's session; returns its id, or 0.
  virtual std::uint32_t TerminateErrorReporter(std::uint32_t hungPid) = 0;
  // Milliseconds of a monotonic clock: how long a program ran.
  virtual std::uint64_t NowMilliseconds() = 0;
  // Asks for a minidump of process `pid` of the entry's tree, written off
  // the window's thread after those asked for before. Not started, without
  // an error, when dumps are off.
  virtual DumpStart StartDump(std::size_t entry, std::uint32_t pid) = 0;
  virtual DumpOutcome PollDump(std::size_t entry) = 0;
  // Gives up the entry's dump: one waiting is dropped; one being written has
  // its file removed once the writing ends (terminating the process ends it).
  virtual void AbandonDump(std::size_t entry) = 0;
};

// An entry's program is started again no sooner than this after its last
// start, so one that exits at once is started once a second.
inline constexpr std::uint64_t kRelaunchFloorMs = 1000;
// The longest a dump may take, from its turn, before the hung program is
// killed anyway.
inline constexpr std::uint64_t kDumpLimitMs = 30000;
// Ticks further apart than this on the awake clock mean the launcher did not
// run meanwhile (a paused virtual machine, a stalled window): no heartbeat
// could be read, so silences count again from the late tick.
inline constexpr std::uint64_t kTickGapMs = 5000;

// Starting and stopping a plan, the launch countdown and the supervision tick.
// What happens is reported to `events` (when given) as it happens.
class PlanRunner {
 public:
  PlanRunner(Catalogue& catalogue, RunnerHost& host, ProcessHost& processes, const RunnerOptions& options,
             EventSink* events = nullptr)
      : catalogue_(catalogue), host_(host), processes_(processes), options_(options), events_(events) {}

  // Starts plan `plan`. Returns false, doing nothing at all, when no such plan
  // exists or a plan already runs. `source` says who asked, for the report.
  bool Start(int plan, EventSource source = EventSource::kButton);
  // The automatic start's moment has come. False, starting and stopping
  // nothing, when a plan already runs (the control pipe, the tray or a click
  // came first): that plan is said to be left running (kAutoStartSkipped).
  // True when the caller is to start its plan as a click would.
  bool AutoStartDue();
  // Stops the running plan; with no plan running it only resets the look.
  void Stop(EventSource source = EventSource::kButton);
  // One launch step for the running plan.
  void LaunchDueEntries();
  // One tick of timer 1.
  void Tick();
  // The process host has news (at most `most` are taken now). A program of
  // the supervising plan that ended is started again at once.
  void TakeProcessNews(std::size_t most = SIZE_MAX);
  // A relaunch put off until a second after the entry's last start is due,
  // or the next slice of a stop's asks or of a look at them (RunnerHost::WakeIn).
  void Wake();
  // The launcher is ending: a program whose dump is being written is killed
  // now, its dump given up, as the kill was already decided.
  void EndDumps();
  // The programs a stop asked to close: each that has closed is told, each
  // whose time is up (all, with `now`: the launcher is ending) is ended
  // with 111 and told. The tick does it by itself.
  void SeeClosings(bool now = false);
  // The same for the one entry whose process has just ended.
  void SeeClosingOf(std::size_t index);
  // Whether a stop's ask is still waiting on some program, or still to be made.
  bool AskedToClose() const { return !closing_.empty() || !toAsk_.empty(); }
  static constexpr std::size_t kAsksAtOnce = 8;
  static constexpr std::size_t kAsksPerSlice = 2;
  // The lowest plan index whose running flag is set, or -1.
  int RunningPlan() const;
  // Row `row` of the running plan, as morvastelctl's row command asks (the
  // window ticks or unticks the row first). EndRow ends the row's process
  // and its tree with 111, as a hang kill does: its end is told as
  // kProgramEnded, and it is started again only as its row and the rerun box
  // say. StartRow starts the row's program now, whatever its countdown and
  // the plan's phase, unless it runs or its creation is under way; one still
  // ending is waited for, and started once it has ended. A row whose creation
  // is under way has what it makes ended as soon as it is made (EndRow), or
  // kept after all (StartRow after EndRow: a restart gets the new process).
  // Each returns whether it did anything; both do nothing for a row the plan
  // does not have.
  bool EndRow(std::size_t row);
  bool StartRow(std::size_t row);

 private:
  // What the runner knows of each entry's process in this run, to see its
  // end within a tick and tell an exit by itself from one it caused.
  struct Watch {
    std::uint32_t pid = 0;         // the process watched; 0: none
    std::uint64_t startedMs = 0;   // when it was launched (or found running)
    bool ending = false;           // the runner terminated it
    std::int64_t relaunches = 0;   // relaunches of the entry in this run
    bool dumping = false;          // picked as hung; its dump waits its turn or is being written
    std::uint32_t silentSeconds = 0;  // the silence it was picked for
    std::uint32_t silentPid = 0;      // the process that fell silent: its own, or one of its tree
    Claim held = Claim::kStart;       // a kHeld* claim: its launch waits for that process
    std::uint32_t heldPid = 0;
    std::uint64_t readingSinceMs = 0;  // kReading: since when (said once past kSlowReadMs)
    bool readingTold = false;
    bool endTold = false;             // the end of `pid` will come as news: no need to ask
    bool starting = false;            // its creation is asked for and not reported yet
    bool relaunch = false;            // ... and is a relaunch
    bool endOnStart = false;          // ... and its row was ended meanwhile: it ends as it comes
    std::optional<std::uint64_t> lastStartMs;  // when its last creation in this run came back started
    std::uint64_t relaunchAt = 0;     // a relaunch put off until then; 0: none
  };

  // Asks for the entry's program to be created (`relaunch`: in the
  // supervision phase); Started reports the outcome.
  void CreateProcess(std::size_t index, bool relaunch);
  // A creation came out. Windows hands out the ids of ended processes again,
  // so heartbeats already recorded under the new process's id came from an
  // earlier process: they are dropped, and only the new process's own
  // silence can get it killed as hung.
  void Started(int plan, std::size_t first, std::size_t row, const ProcessNews& news);
  // Applies one piece of news; an end may start the program again only
  // outside a stop.
  void Apply(const ProcessNews& news, bool mayRelaunch);
  // Whether nothing keeps the entry from a relaunch but its row, the rerun
  // box and whether it runs.
  static bool MayRelaunch(const Watch& watch);
  // Starts the ended program of `row` again, or puts that off until a second
  // after its last start.
  void Relaunch(std::size_t first, std::size_t row);
  // The same when nothing keeps it from that and its row and the rerun box
  // are ticked, read at this moment.
  void RelaunchIfTicked(std::size_t first, std::size_t row);
  // The entry's launch is due: it keeps its process of an earlier run, or
  // the same program's held for another plan's row; it takes over one that
  // already runs its program; or it waits while one that may be its own
  // cannot be told apart or is still ending. True when none of these: its
  // program is to be started, which the caller asks for once every due row
  // has looked (so that none of its creations is half made while the others
  // look).
  bool TakeOverOrWait(int plan, std::size_t first, std::size_t count, std::size_t row);
  // The row keeps the process its entry holds.
  void Keep(int plan, std::size_t first, std::size_t row);
  // The row waits without starting, as `choice` says; said once for as long
  // as the same process holds it back.
  void Wait(int plan, std::size_t first, std::size_t row, const ClaimChoice& choice);
  // Before the entry starts again, what its ended process left in its tree:
  // the one process left is taken as the row's (true), more are ended.
  bool TakeOrEndWhatIsLeft(std::size_t index);
  // What the entry's launch would run, asked once per step; null while the
  // host reads it.
  const ProcessIdentity* IdentityOf(std::size_t index);
  // Gives up the entry's relaunch put off, if it has one.
  void DropPutOff(std::size_t index);
  // Rows waiting for a look look again: at every tick, and when the host
  // has read what they wait for.
  void LookAgain(int plan, std::size_t first, std::size_t count);
  // The entries outside the running plan whose processes still run (a stopped
  // plan's spared servers), found once per step.
  std::vector<std::size_t>& RunningElsewhere(std::size_t first, std::size_t count);
  // A new step looks afresh: the list or the processes may have changed.
  void NewStep();
  // The entry now holds `pid`, found running or just started: watched from
  // now on, judged only by heartbeats sent from now on.
  void Hold(std::size_t index, std::uint32_t pid);
  // Reports once that a program's tree cannot be reached through a job.
  void NoteJob(int plan, std::size_t first, std::size_t row, std::uint32_t jobError);
  // Reports the end of every watched process of the plan that has ended.
  void SeeEnds(int plan, std::size_t first, std::size_t count);
  // The same for one row (`told`: the host has told of its end); true when
  // its process was seen to end.
  bool SeeEnd(int plan, std::size_t first, std::size_t row, bool told = false);
  Watch& WatchOf(std::size_t index);
  // The row of the plan whose process, or one of whose tree, is `pid`.
  std::size_t RowOfProcess(std::size_t first, std::size_t count, std::uint32_t pid);
  // Terminates a program picked as hung, with the error reporter it left.
  void KillHung(int plan, std::size_t first, std::size_t row);
  // Finishes the dumps of the plan's hung programs that are done or late.
  void FinishDumps(int plan, std::size_t first, std::size_t count);
  // Kills every program whose dump is being written, giving the dump up.
  void KillDumping(int plan, std::size_t first, std::size_t count);
  void Raise(EventKind kind, int plan, std::size_t first, std::size_t row, Event event = {});
  // A program the stop ends: asked to close with /g (`later`: among the
  // stop's asks still to be made), else ended at once. True when it was or
  // will be asked.
  bool EndOrAsk(int plan, std::size_t first, std::size_t row, bool later = false);
  void Ask(int plan, std::size_t first, std::size_t row, std::uint32_t pid, bool endComing);
  // Makes up to `most` of the stop's asks still to be made; once none is
  // left, tells its plan stopped. Otherwise the next slice is due at once.
  void AskSome(std::size_t most);

  Catalogue& catalogue_;
  RunnerHost& host_;
  ProcessHost& processes_;
  const RunnerOptions& options_;
  EventSink* events_;
  std::vector<Watch> watches_;  // by entry index
  bool jobFailureReported_ = false;  // once per launcher run
  bool launcherJobReported_ = false; // once per launcher run
  std::uint64_t lastTickMs_ = 0;     // when the running plan last ticked (or started)
  std::set<std::pair<std::uint64_t, std::size_t>> putOff_;  // relaunches put off: (when, entry index)
  // What one step has asked already (NewStep forgets it).
  std::vector<std::optional<ProcessIdentity>> identities_;
  std::optional<std::vector<std::size_t>> runningElsewhere_;
  // Programs a stop asked to close, by entry index.
  struct Asked {
    int plan = -1;
    std::size_t first = 0, row = 0;
    std::uint32_t pid = 0;
    std::uint64_t askedAt = 0;
    std::uint64_t closedAt = 0;  // seen closed while its helper still ran; 0 until then
    // Its process's end is still to come as news: until then, or its time
    // is up, a tick need not look at it (a look costs a few calls to the
    // system per program, and hundreds may be asked at once).
    bool endComing = false;
  };
  std::map<std::size_t, Asked> closing_;
  // A stop's asks still to be made, rows of askingPlan_ with the process
  // each had. A stop of more than kAsksAtOnce programs makes them
  // kAsksPerSlice at a time, a slice each time it is woken (the first once
  // the stop itself is over), so that the window answers between slices (an
  // ask and its reports take a few milliseconds under load, hundreds of
  // them seconds); its plan is told stopped after the last. Whatever could meet those programs (a start,
  // another stop, the launcher's end) makes the rest first.
  struct ToAsk {
    std::size_t row = 0;
    std::uint32_t pid = 0;
    bool endComing = false;  // as Asked's
  };
  std::deque<ToAsk> toAsk_;
  int askingPlan_ = -1;
  EventSource askingSource_ = EventSource::kButton;
  // One ask of closing_: told, and true to be forgotten, once its program
  // has closed or its time is up (at once with `now`).
  bool SeeClosing(std::size_t index, bool now);
  // A tick's look at the asks, kLooksPerSlice of them (those whose end is
  // still to come as news cost nothing) a message, going on where the last
  // one stopped, so that the window answers between them however many
  // programs close or run out of time together: a look and its report take
  // a few calls to the system, tens of milliseconds each under load.
  static constexpr std::size_t kLooksPerSlice = 2;
  void SeeSomeClosings();
  void SeeClosingsFrom(std::map<std::size_t, Asked>::iterator it, bool now, std::size_t most);
  // Where a pass cut short goes on, at the next wake or tick.
  std::optional<std::size_t> passAt_;
  std::uint64_t GraceMs() const { return static_cast<std::uint64_t>(options_.graceSeconds) * 1000; }
};

// True when `programPath` names one of the cooperating servers that save and
// exit on the exit notice: longer than the name, ending in it.
bool IsExemptProgram(std::string_view programPath);

// Whole-text equality with ASCII letters compared without regard to case
// (other bytes, including double-byte characters, compare exactly).
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

// A process as the system's process list shows it.
struct ListedProcess {
  std::uint32_t id = 0;
  std::uint32_t session = 0;  // the logon session it runs in
  std::string exeName;        // its executable file name, GBK
  std::uint32_t parent = 0;   // the process that created it (the id may be reused since)
};

// The ids of the processes named `name` (ASCII case ignored) that run in
// `session`, the launcher's own, in list order: the only ones the launcher
// may end by name or take over. Another user's process is never among them.
std::vector<std::uint32_t> SessionProcessesNamed(const std::vector<ListedProcess>& processes,
                                                 std::string_view name, std::uint32_t session);

// File name of the error-reporting process a hang leaves behind.
inline constexpr char kErrorReportingProgram[] = "WerFault.exe";
// Exit code of every forced termination.
inline constexpr unsigned kKillExitCode = 111;
