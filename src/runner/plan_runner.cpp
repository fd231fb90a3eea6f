#include "runner/plan_runner.h"

#include <cstdint>
#include <limits>

namespace {

constexpr std::int32_t kCountdownMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kCountdownMin = std::numeric_limits<std::int32_t>::min();

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The entries of a plan as [first, first + count) in m_entries. A range that
// does not fit inside the entry array (which the reader never builds) is
// treated as empty rather than read out of bounds.
struct EntrySpan {
  std::size_t first = 0;
  std::size_t count = 0;
};

EntrySpan PlanEntries(const Catalogue& catalogue, int plan) {
  if (!catalogue.HasPlan(plan)) return {};
  const PlanRange range = catalogue.Range(plan);
  if (range.first < 0 || range.count <= 0) return {};
  const std::size_t first = static_cast<std::size_t>(range.first);
  const std::size_t count = static_cast<std::size_t>(range.count);
  if (first > catalogue.m_entries.size() || count > catalogue.m_entries.size() - first) return {};
  return {first, count};
}

// The error a dump that took too long is reported with (WAIT_TIMEOUT).
constexpr std::uint32_t kDumpTimedOut = 258;

// delaySeconds + 1 without overflow: the largest delay keeps the largest
// countdown, which is never reached in practice.
std::int32_t ArmedCountdown(std::int32_t delaySeconds) {
  return delaySeconds == kCountdownMax ? kCountdownMax : delaySeconds + 1;
}

}  // namespace

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool IsExemptProgram(std::string_view programPath) {
  // The cooperating servers; the first two are matched whatever the case of
  // their letters, the other two only as written.
  struct Exempt {
    std::string_view name;
    bool ignoreCase;
  };
  static constexpr Exempt kExempt[] = {
      {"Malvoryn.exe", true},
      {"Malvoryn64.exe", true},
      {"Corvellinex.exe", false},
      {"Corvellinex64.exe", false},
  };
  for (const Exempt& exempt : kExempt) {
    if (programPath.size() <= exempt.name.size()) continue;
    const std::string_view tail = programPath.substr(programPath.size() - exempt.name.size());
    if (exempt.ignoreCase ? EqualsIgnoringAsciiCase(tail, exempt.name) : tail == exempt.name) {
      return true;
    }
  }
  return false;
}

std::vector<std::uint32_t> ProcessesToKillByName(const std::vector<ListedProcess>& processes,
                                                 std::string_view name, std::uint32_t session) {
  std::vector<std::uint32_t> ids;
  for (const ListedProcess& process : processes) {
    if (process.session == session && EqualsIgnoringAsciiCase(process.exeName, name)) {
      ids.push_back(process.id);
    }
  }
  return ids;
}

int PlanRunner::RunningPlan() const {
  const std::size_t plans = catalogue_.PlanCount();
  for (std::size_t k = 0; k < plans && k < catalogue_.m_planRunning.size(); ++k) {
    if (catalogue_.m_planRunning[k] == 1) return static_cast<int>(k);
  }
  return -1;
}

bool PlanRunner::Start(int plan, EventSource source) {
  if (!catalogue_.HasPlan(plan) || RunningPlan() >= 0) return false;

  host_.ShowRunning(true);
  const EntrySpan span = PlanEntries(catalogue_, plan);
  for (std::size_t p = span.count; p-- > 0;) {
    LaunchEntry& entry = *catalogue_.m_entries[span.first + p];
    entry.countdown = ArmedCountdown(entry.delaySeconds);
    WatchOf(span.first + p) = Watch{};
  }
  const std::size_t k = static_cast<std::size_t>(plan);
  catalogue_.m_planLaunched[k] = 0;
  catalogue_.m_planRunning[k] = 1;
  Event started;
  started.number = static_cast<std::int64_t>(source);
  Raise(EventKind::kPlanStarted, plan, span.first, SIZE_MAX, started);
  // Entries with delay 0 are launched here, before the first tick.
  LaunchDueEntries();
  host_.StartTickTimer();
  return true;
}

void PlanRunner::Stop() {
  host_.StopTickTimer();
  const int plan = RunningPlan();
  if (plan >= 0) {
    const EntrySpan span = PlanEntries(catalogue_, plan);
    // A program that ended since the last tick ended by itself.
    if (events_) SeeEnds(plan, span.first, span.count);
    // A kill already decided happens before the stop, spared or not.
    KillDumping(plan, span.first, span.count);
    catalogue_.m_planRunning[static_cast<std::size_t>(plan)] = 0;
    const bool notify = options_.notify != 0;
    // The notice goes out before anything is terminated, so the cooperating
    // servers start saving at once; it goes out even for an empty plan.
    if (notify) {
      host_.BroadcastExitNotice();
      Raise(EventKind::kExitNoticeSent, plan, span.first, SIZE_MAX);
    }
    for (std::size_t p = span.count; p-- > 0;) {
      const std::size_t index = span.first + p;
      Watch& watch = WatchOf(index);
      // One just killed as hung was reported as such.
      const bool running = watch.pid != 0 && !watch.ending && host_.IsEntryRunning(index);
      const bool spared = notify && IsExemptProgram(catalogue_.m_entries[index]->programPath);
      if (!spared) host_.TerminateEntry(index);
      if (running) {
        Event event;
        event.pid = watch.pid;
        Raise(spared ? EventKind::kProgramSpared : EventKind::kProgramTerminated, plan, span.first, p, event);
      }
      // Nothing is watched between runs.
      watch = Watch{};
    }
    Raise(EventKind::kPlanStopped, plan, span.first, SIZE_MAX);
  }
  host_.ShowRunning(false);
}

void PlanRunner::LaunchDueEntries() {
  const int plan = RunningPlan();
  if (plan < 0) return;
  const EntrySpan span = PlanEntries(catalogue_, plan);
  for (std::size_t p = span.count; p-- > 0;) {
    // An unchecked row freezes its entry's countdown until it is checked again.
    if (!host_.IsRowChecked(static_cast<int>(p))) {
      Raise(EventKind::kRowUnticked, plan, span.first, p);
      continue;
    }
    const std::size_t index = span.first + p;
    LaunchEntry& entry = *catalogue_.m_entries[index];
    // The countdown keeps falling after the launch so the entry is not
    // launched twice in a run; it stops at the bottom instead of wrapping.
    if (entry.countdown > kCountdownMin) --entry.countdown;
    if (entry.countdown > 0) {
      Event waiting;
      waiting.number = entry.countdown;
      Raise(EventKind::kCountdown, plan, span.first, p, waiting);
    }
    if (entry.countdown == 0) {
      // A process of an earlier run that still runs (a server still saving
      // after a stop that spared it) stays the entry's process: a second copy
      // would share its files, and its handle would be lost. The supervision
      // phase relaunches the entry once it has exited.
      if (host_.IsEntryRunning(index)) {
        Watch& watch = WatchOf(index);
        watch.pid = host_.EntryProcessId(index);
        watch.startedMs = host_.NowMilliseconds();
        Event kept;
        kept.pid = watch.pid;
        Raise(EventKind::kProgramKept, plan, span.first, p, kept);
      } else {
        CreateProcess(plan, span.first, p, false);
      }
      // A failed creation counts as an attempt too, so it does not hold the
      // plan in the launch phase.
      ++catalogue_.m_planLaunched[static_cast<std::size_t>(plan)];
    }
  }
}

void PlanRunner::CreateProcess(int plan, std::size_t first, std::size_t row, bool relaunch) {
  const std::size_t index = first + row;
  const std::uint32_t error = host_.CreateEntryProcess(index);
  Event event;
  if (error != 0) {
    event.error = error;
    event.detail = host_.DescribeError(error);
    Raise(EventKind::kLaunchFailed, plan, first, row, event);
    return;
  }
  Watch& watch = WatchOf(index);
  watch.pid = host_.EntryProcessId(index);
  watch.startedMs = host_.NowMilliseconds();
  watch.ending = false;
  host_.ForgetHeartbeats(watch.pid);
  event.pid = watch.pid;
  if (relaunch) event.number = ++watch.relaunches;
  Raise(relaunch ? EventKind::kProgramRelaunched : EventKind::kProgramLaunched, plan, first, row, event);
}

void PlanRunner::SeeEnds(int plan, std::size_t first, std::size_t count) {
  for (std::size_t p = count; p-- > 0;) {
    const std::size_t index = first + p;
    Watch& watch = WatchOf(index);
    if (watch.pid == 0 || host_.IsEntryRunning(index)) continue;
    // An end the runner caused (a hang kill) is no exit of the program's own.
    Event ended;
    ended.pid = watch.pid;
    ended.number = host_.EntryExitCode(index);
    ended.millis = host_.NowMilliseconds() - watch.startedMs;
    Raise(watch.ending ? EventKind::kProgramEnded : EventKind::kProgramExited, plan, first, p, ended);
    watch.pid = 0;
    watch.ending = false;
  }
}

void PlanRunner::Tick() {
  const int plan = RunningPlan();
  if (plan < 0) return;
  const EntrySpan span = PlanEntries(catalogue_, plan);
  const std::size_t k = static_cast<std::size_t>(plan);
  if (events_) SeeEnds(plan, span.first, span.count);

  // Launch phase: until every entry has had its launch attempt.
  if (catalogue_.m_planLaunched[k] != span.count) {
    LaunchDueEntries();
    return;
  }

  // Supervision phase.
  const bool rerun = host_.IsRerunChecked();
  for (std::size_t p = span.count; rerun && p-- > 0;) {
    const std::size_t index = span.first + p;
    if (host_.IsRowChecked(static_cast<int>(p)) && !WatchOf(index).dumping && !host_.IsEntryRunning(index)) {
      CreateProcess(plan, span.first, p, true);
    }
  }

  // A hung program whose dump is done (or late) is killed now, whatever the
  // options say since; it is relaunched by the next tick, like every program
  // killed as hung.
  FinishDumps(plan, span.first, span.count);
  if (!rerun || options_.detect == 0) return;
  const StaleProcess stale = host_.TakeStaleProcessId(options_.interval);
  if (stale.id == 0) return;
  for (std::size_t p = span.count; p-- > 0;) {
    const std::size_t index = span.first + p;
    if (host_.EntryProcessId(index) != stale.id) continue;
    Watch& watch = WatchOf(index);
    // A program whose dump is being written has been picked already.
    if (watch.dumping) return;
    watch.silentSeconds = stale.silentSeconds;
    // With dumps on, the evidence is taken first; the kill follows when the
    // dump is done (FinishDumps), and meanwhile the program keeps its place.
    if (host_.StartDump(index)) {
      watch.dumping = true;
      watch.dumpStartedMs = host_.NowMilliseconds();
      Event dumping;
      dumping.pid = stale.id;
      dumping.number = stale.silentSeconds;
      Raise(EventKind::kDumpStarted, plan, span.first, p, dumping);
      return;
    }
    KillHung(plan, span.first, p);
    return;
  }
  // The id belongs to no entry of this plan: it has been dropped.
}

void PlanRunner::KillHung(int plan, std::size_t first, std::size_t row) {
  const std::size_t index = first + row;
  Watch& watch = WatchOf(index);
  host_.TerminateEntry(index);
  watch.ending = true;
  watch.dumping = false;
  Event killed;
  killed.pid = host_.EntryProcessId(index);
  killed.number = watch.silentSeconds;
  Raise(EventKind::kHangKilled, plan, first, row, killed);
  // A hung program usually leaves an error-reporting process behind.
  if (const std::uint32_t reporter = host_.TerminateProcessByName(kErrorReportingProgram)) {
    Event event;
    event.pid = reporter;
    Raise(EventKind::kErrorReporterKilled, plan, first, SIZE_MAX, event);
  }
}

void PlanRunner::FinishDumps(int plan, std::size_t first, std::size_t count) {
  for (std::size_t p = count; p-- > 0;) {
    const std::size_t index = first + p;
    Watch& watch = WatchOf(index);
    if (!watch.dumping) continue;
    // It ended by itself meanwhile: the dump is given up, nothing more is done.
    if (!host_.IsEntryRunning(index)) {
      host_.AbandonDump(index);
      watch.dumping = false;
      continue;
    }
    const DumpOutcome outcome = host_.PollDump(index);
    const bool late = host_.NowMilliseconds() - watch.dumpStartedMs >= kDumpLimitMs;
    if (!outcome.finished && !late) continue;
    Event dump;
    dump.pid = host_.EntryProcessId(index);
    KillHung(plan, first, p);
    if (!outcome.finished) {
      // Terminating the program has ended the writing; its file goes.
      host_.AbandonDump(index);
      dump.error = kDumpTimedOut;
      dump.detail = host_.DescribeError(kDumpTimedOut);
    } else if (outcome.error != 0) {
      dump.error = outcome.error;
      dump.detail = host_.DescribeError(outcome.error);
    } else {
      dump.detail = outcome.path;
      dump.count = static_cast<std::int64_t>(outcome.bytes);
      dump.millis = outcome.millis;
    }
    Raise(dump.error == 0 ? EventKind::kDumpWritten : EventKind::kDumpFailed, plan, first, p, dump);
  }
}

void PlanRunner::KillDumping(int plan, std::size_t first, std::size_t count) {
  for (std::size_t p = count; p-- > 0;) {
    const std::size_t index = first + p;
    if (!WatchOf(index).dumping) continue;
    KillHung(plan, first, p);
    host_.AbandonDump(index);
  }
}

void PlanRunner::EndDumps() {
  const int plan = RunningPlan();
  if (plan < 0) return;
  const EntrySpan span = PlanEntries(catalogue_, plan);
  KillDumping(plan, span.first, span.count);
}

PlanRunner::Watch& PlanRunner::WatchOf(std::size_t index) {
  if (index >= watches_.size()) watches_.resize(index + 1);
  return watches_[index];
}

void PlanRunner::Raise(EventKind kind, int plan, std::size_t first, std::size_t row, Event event) {
  if (!events_) return;
  event.kind = kind;
  event.plan = plan;
  event.planName = catalogue_.m_planNames[static_cast<std::size_t>(plan)];
  if (row != SIZE_MAX) {
    event.row = static_cast<int>(row);
    event.program = catalogue_.m_entries[first + row]->programPath;
  }
  events_->OnEvent(event);
}
