#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/catalogue.h"
#include "report/event.h"

// The operator's supervision options, owned by the dialog and read by the
// runner on every stop and tick.
struct RunnerOptions {
  int notify = 1;    // stop sends the exit notice and spares the exempt programs
  int detect = 1;    // the tick kills programs whose heartbeat went stale
  int interval = 60; // detection interval in seconds, 15..120
};

// A stale id taken from the liveness table, with how long it had been silent.
struct StaleProcess {
  std::uint32_t id = 0;  // 0: none was stale
  std::uint32_t silentSeconds = 0;
};

// How a minidump of a hung program came out.
struct DumpOutcome {
  bool finished = false;     // false while it is still being written
  std::uint32_t error = 0;   // 0: written
  std::string path;          // the file, GBK
  std::uint64_t bytes = 0;
  std::uint64_t millis = 0;  // how long the writing took
};

// What the runner needs of the platform. Entries are named by their index in
// Catalogue::m_entries; rows by their position in the program list.
class RunnerHost {
 public:
  virtual ~RunnerHost() = default;
  virtual bool IsRowChecked(int row) = 0;
  virtual bool IsRerunChecked() = 0;
  // Creates the entry's program; on success the entry's latest process is
  // the new one (the handles it replaces are closed). Returns 0 when it
  // started, else the system's error code.
  virtual std::uint32_t CreateEntryProcess(std::size_t entry) = 0;
  // The system's text for an error code, GBK.
  virtual std::string DescribeError(std::uint32_t error) = 0;
  // False when the entry never had a process (id 0) or its process has ended.
  virtual bool IsEntryRunning(std::size_t entry) = 0;
  virtual std::uint32_t EntryProcessId(std::size_t entry) = 0;
  // The exit code of the entry's latest process, read from the held handle.
  virtual std::uint32_t EntryExitCode(std::size_t entry) = 0;
  // Terminates the entry's latest process with exit code 111, if it holds a
  // handle to one; does nothing otherwise.
  virtual void TerminateEntry(std::size_t entry) = 0;
  // Terminates the first process whose file name equals `name` (ASCII case
  // ignored) with exit code 111, if there is one; returns its id, or 0.
  virtual std::uint32_t TerminateProcessByName(const char* name) = 0;
  virtual void BroadcastExitNotice() = 0;
  virtual StaleProcess TakeStaleProcessId(int interval) = 0;
  // Drops whatever heartbeats the liveness table holds for `processId`.
  virtual void ForgetHeartbeats(std::uint32_t processId) = 0;
  virtual void StartTickTimer() = 0;
  virtual void StopTickTimer() = 0;
  // Idle or running look of the dialog: the start/stop button's text, the
  // chooser, rerun box and exit button, the system menu's Close command.
  virtual void ShowRunning(bool running) = 0;
  // Milliseconds of a monotonic clock: how long a program ran.
  virtual std::uint64_t NowMilliseconds() = 0;
  // Starts writing a minidump of the entry's process, off the window's
  // thread. False when dumps are off or the writing could not start.
  virtual bool StartDump(std::size_t entry) = 0;
  virtual DumpOutcome PollDump(std::size_t entry) = 0;
  // Gives up the entry's dump: its file is removed once the writing ends
  // (terminating the process ends it).
  virtual void AbandonDump(std::size_t entry) = 0;
};

// The longest a dump may take before the hung program is killed anyway.
inline constexpr std::uint64_t kDumpLimitMs = 30000;

// Starting and stopping a plan, the launch countdown and the supervision tick.
// What happens is reported to `events` (when given) as it happens.
class PlanRunner {
 public:
  PlanRunner(Catalogue& catalogue, RunnerHost& host, const RunnerOptions& options,
             EventSink* events = nullptr)
      : catalogue_(catalogue), host_(host), options_(options), events_(events) {}

  // Starts plan `plan`. Returns false, doing nothing at all, when no such plan
  // exists or a plan already runs. `source` says who asked, for the report.
  bool Start(int plan, EventSource source = EventSource::kButton);
  // Stops the running plan; with no plan running it only resets the look.
  void Stop(EventSource source = EventSource::kButton);
  // One launch step for the running plan.
  void LaunchDueEntries();
  // One tick of timer 1.
  void Tick();
  // The launcher is ending: a program whose dump is being written is killed
  // now, its dump given up, as the kill was already decided.
  void EndDumps();
  // The lowest plan index whose running flag is set, or -1.
  int RunningPlan() const;

 private:
  // What the runner knows of each entry's process in this run, to see its
  // end within a tick and tell an exit by itself from one it caused.
  struct Watch {
    std::uint32_t pid = 0;         // the process watched; 0: none
    std::uint64_t startedMs = 0;   // when it was launched (or found running)
    bool ending = false;           // the runner terminated it
    std::int64_t relaunches = 0;   // relaunches of the entry in this run
    bool dumping = false;          // picked as hung; its dump is being written
    std::uint64_t dumpStartedMs = 0;
    std::uint32_t silentSeconds = 0;  // the silence it was picked for
  };

  // Creates the entry's program (`relaunch`: in the supervision phase) and
  // reports the outcome. Windows hands out the ids of ended processes again,
  // so heartbeats already recorded under the new process's id came from an
  // earlier process: they are dropped, and only the new process's own
  // silence can get it killed as hung.
  void CreateProcess(int plan, std::size_t first, std::size_t row, bool relaunch);
  // Reports the end of every watched process of the plan that has ended.
  void SeeEnds(int plan, std::size_t first, std::size_t count);
  Watch& WatchOf(std::size_t index);
  // Terminates a program picked as hung, with the error reporter it left.
  void KillHung(int plan, std::size_t first, std::size_t row);
  // Finishes the dumps of the plan's hung programs that are done or late.
  void FinishDumps(int plan, std::size_t first, std::size_t count);
  // Kills every program whose dump is being written, giving the dump up.
  void KillDumping(int plan, std::size_t first, std::size_t count);
  void Raise(EventKind kind, int plan, std::size_t first, std::size_t row, Event event = {});

  Catalogue& catalogue_;
  RunnerHost& host_;
  const RunnerOptions& options_;
  EventSink* events_;
  std::vector<Watch> watches_;  // by entry index
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
};

// The ids that a kill by name may end, in list order: the processes named
// `name` (ASCII case ignored) that run in `session`, the launcher's own.
// Another user's process is never a candidate. The caller ends the first it
// can open, so one it cannot open does not shield the next.
std::vector<std::uint32_t> ProcessesToKillByName(const std::vector<ListedProcess>& processes,
                                                 std::string_view name, std::uint32_t session);

// File name of the error-reporting process a hang leaves behind.
inline constexpr char kErrorReportingProgram[] = "WerFault.exe";
// Exit code of every forced termination.
inline constexpr unsigned kKillExitCode = 111;
