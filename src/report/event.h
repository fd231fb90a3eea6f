#pragma once
// What the launcher reports about itself. The runner, the heartbeat listener
// and the application raise events through one EventSink; the journal, the
// status column and the metrics each read that stream and nothing else. No
// Windows header: the events are plain values.
#include <cstdint>
#include <string>
#include <vector>

enum class EventKind {
  kLauncherStarted,      // program: the list path; detail: version and settings
  kLauncherEnded,        // detail: how the end went (what was waited for, what was cut short);
                         // number: spared servers still saving when their wait ended; count: those waited for
  kListEncoding,         // detail: how the list was read (UTF-8 or UTF-16 with a mark, or UTF-8 taken as GBK)
  kListenerOpened,       // number: port; detail: bind address ("" for all)
  kListenerFailed,       // number: port; error: the Windows error; detail: why, in words
  kPlanStarted,          // plan; number: the EventSource it came from
  kPlanStopped,          // plan; number: the EventSource it came from
  kProgramLaunched,      // plan, row, program, pid: the first launch of the run
  kProgramRelaunched,    // plan, row, program, pid; number: relaunches of this row in the run
  kLaunchFailed,         // plan, row, program; error and detail: the Windows error and its text
  kProgramExited,        // plan, row, program, pid; number: exit code; millis: how long it ran
  kHangKilled,           // plan, row, program, pid; number: seconds of silence
  kErrorReporterKilled,  // pid
  kExitNoticeSent,       // plan
  kProgramSpared,        // plan, row, program, pid: left to save and exit at a stop
  kProgramTerminated,    // plan, row, program, pid: terminated at a stop
  kProgramAsked,         // plan, row, program, pid; number: the seconds it is given (/g). A stop asked
                         // it to close (Ctrl-C, WM_CLOSE) instead of ending it at once
  kProgramClosed,        // plan, row, program, pid; number: the StopEnding; millis: since its ask;
                         // error: its exit code; count: the seconds it had, when it was ended
  kHeartbeatsDropped,    // number: wrong length; count: from another host (since the last report)
  kProgramKept,          // plan, row, program, pid: a start found the last run's process still running
  kProgramEnded,         // plan, row, program, pid; number: exit code; millis: how long it ran.
                         // The end of a process the runner terminated (a hang kill), or of
                         // a server spared at a stop (raised by SparedExits).
  kDumpWritten,          // plan, row, program, pid; detail: the file; count: its size; millis: time taken
  kDumpFailed,           // plan, row, program, pid; error and detail: the Windows error and its text
  kDumpStarted,          // plan, row, program, pid; number: seconds of silence. Killed once it is written.
  kMetricsFailed,        // program: the metrics file; error and detail: the Windows error and its text.
                         // The first failed write after good ones (or none).
  kMetricsRecovered,     // program: the metrics file; number: the writes that failed before
  kListRead,             // program: the list path; number: plans it gave; count: 1 when the file was
                         // read, 0 when not; error and detail: why not
  // State, not a happening: the journal skips them.
  kCountdown,            // plan, row; number: seconds until the launch
  kRowUnticked,          // plan, row: its launch waits for its tick
  kPlanListed,           // plan: one of the list's plans, in list order, after the list is read
  kHeartbeatStats,       // number: heartbeats heard in all; count: ids in the liveness table
  kProgramAdopted,       // plan, row, program, pid: a process already running the row's program
                         // taken over at its launch; number: the AdoptBasis; detail: its command
                         // line where it differs from the row's, which is then in rowCommandLine
  kProgramHeld,          // plan, row, program, pid: the process it waits for; number: the
                         // HoldReason; count: the other launcher's id. The launch waits while it runs.
  kJobUnavailable,       // plan, row, program; error and detail: why the program has no job, so
                         // ending it ends the program alone
  kLauncherPriority,     // number: the launcher's priority class, when below normal
  kRowListed,            // plan, row, program; number: its delay. Every row of every plan, after the list is read
  kTakeoverGone,         // plan, row, program, pid: a process found running ended before its takeover
  kOldTreeEnded,         // plan, row, program; count: processes the row's ended process left in its
                         // job, ended with 111 before the row starts again
  kLauncherInJob,        // plan: a creation could not leave the job the launcher runs in: the
                         // programs end when that job is closed. Once per launcher run
  kCreationSlow,         // plan, row, program; millis: how long its creation has taken so far.
                         // The other rows' creations go on meanwhile
  kTick,                 // number: seconds of a monotonic clock. A second of the running plan has passed:
                         // what depends on time is looked at again. Time reaches the readers only so.
  kFeatureOff,           // number: the Feature left off, as a thread it needs could not be created;
                         // error: why (a Windows error code)
  kTrayItemStale,        // plan, planName: the item's plan (-1 for 关闭); number: the TrayItem chosen.
                         // It no longer fitted when chosen (a start or stop came meanwhile): nothing done
  kLauncherEnding,       // the launcher's end has begun: what the metrics say from here is their last
                         // (launcher, plans and programs down). kLauncherEnded follows, with how it went.
  kControlFailed,        // program: the control pipe's name; error and detail: the Windows error and its
                         // text. The pipe could not be made (another process holds the name); it is
                         // tried again every 5 s, and said again only when the error changes
  kControlOpened,        // program: the control pipe's name: it serves, from the start or after failures
  kGraceRejected,        // detail: the /g value given, which is not 0 to 300 whole seconds: stops end
                         // their programs at once
  kAutoStartSkipped,     // plan: the plan already running when the automatic start's moment came (the
                         // control pipe, the tray or a click started it first): nothing started or stopped
};

// Why a launch waits instead of starting its program (kProgramHeld's number).
enum class HoldReason { kOtherLauncher = 1, kUnreadable = 2, kAmbiguous = 3, kFolder = 4, kEnding = 5, kReading = 6 };

// What a takeover went by (kProgramAdopted's number).
enum class AdoptBasis {
  kRecord = 1,    // the launch record the process carries names the row
  kGuess = 2,     // no record: its file, folder and command line are the row's
  kSurvivor = 3,  // the row's process ended; the one process left in its tree is taken
  // Its record names the row's path, folder and command line, but the file at
  // that path has been replaced since: it runs an older file than the list names.
  kReplacedFile = 4,
};

// The priority classes a launcher started below normal runs in (Windows' values).
inline constexpr std::int64_t kIdlePriorityClass = 0x40;
inline constexpr std::int64_t kBelowNormalPriorityClass = 0x4000;

// What a thread that could not be created leaves off (kFeatureOff's number).
enum class Feature { kFileWriter = 1, kControlPipe = 2 };

// A tray menu item (kTrayItemStale's number).
enum class TrayItem { kStart = 1, kStop = 2, kClose = 3 };

// How a stop's ask reached a program, and how the program went (the
// kProgramClosed event's number; the metric's "how").
enum class StopEnding { kCtrlC = 1, kWindow = 2, kEnded = 3 };

// Where a plan start or stop came from.
enum class EventSource { kButton = 0, kTrayMenu = 1, kAutomaticStart = 2, kControl = 3, kSessionEnd = 4 };

struct Event {
  EventKind kind = EventKind::kLauncherEnded;
  int plan = -1;              // plan index, -1 for none
  std::string planName;       // GBK
  int row = -1;               // row in the plan's program list, -1 for none
  std::string program;        // program path as the list has it, GBK
  std::uint32_t pid = 0;      // process id, 0 for none
  std::int64_t number = 0;    // the kind's number: exit code, port, seconds, count
  std::int64_t count = 0;     // a second count where a kind needs one
  std::uint64_t millis = 0;   // a duration in milliseconds where a kind needs one
  std::uint32_t error = 0;    // a Windows error code, 0 for none
  std::string detail;         // words, GBK: the error's text, the settings, an address
  std::string version;        // kLauncherStarted: the launcher's version
  std::string rowCommandLine; // kProgramAdopted: the list's command line, GBK
};

// Receives the events, on the thread that raised them (the window's).
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void OnEvent(const Event& event) = 0;
};

// Passes every event to each of its sinks, in the order they were added.
class EventFanOut : public EventSink {
 public:
  void Add(EventSink& sink) { sinks_.push_back(&sink); }
  void Remove(EventSink& sink) {
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
      if (*it == &sink) {
        sinks_.erase(it);
        return;
      }
    }
  }
  void OnEvent(const Event& event) override {
    for (EventSink* sink : sinks_) sink->OnEvent(event);
  }

 private:
  std::vector<EventSink*> sinks_;
};

// True for the kinds that say what happened (the journal's lines), false for
// the status column's state.
inline bool IsHappening(EventKind kind) {
  return kind != EventKind::kCountdown && kind != EventKind::kRowUnticked &&
         kind != EventKind::kPlanListed && kind != EventKind::kHeartbeatStats &&
         kind != EventKind::kRowListed && kind != EventKind::kTick && kind != EventKind::kLauncherEnding;
}

// Whether `event` is a takeover of a process that runs a file replaced at its
// row's path since it started.
inline bool IsReplacedFileTakeover(const Event& event) {
  return event.kind == EventKind::kProgramAdopted && event.number == static_cast<std::int64_t>(AdoptBasis::kReplacedFile);
}
