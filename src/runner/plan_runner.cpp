#include "runner/plan_runner.h"

#include <cstdint>
#include <iterator>
#include <limits>

namespace {

constexpr std::int32_t kCountdownMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kCountdownMin = std::numeric_limits<std::int32_t>::min();
// A read of a row's program or folder longer than this (as long as a slow
// creation) is said once: its share may have gone away.
constexpr std::uint64_t kSlowReadMs = 2000;

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

std::vector<std::uint32_t> SessionProcessesNamed(const std::vector<ListedProcess>& processes,
                                                 std::string_view name, std::uint32_t session) {
  std::vector<std::uint32_t> ids;
  for (const ListedProcess& process : processes) {
    if (process.session == session && EqualsIgnoringAsciiCase(process.exeName, name)) {
      ids.push_back(process.id);
    }
  }
  return ids;
}

std::uint32_t ReportedProcessId(std::string_view commandLine) {
  std::size_t i = 0;
  const auto blank = [&](std::size_t at) { return commandLine[at] == ' ' || commandLine[at] == '\t'; };
  while (i < commandLine.size()) {
    while (i < commandLine.size() && blank(i)) ++i;
    const std::size_t start = i;
    while (i < commandLine.size() && !blank(i)) ++i;
    const std::string_view word = commandLine.substr(start, i - start);
    if (word != "-p" && word != "/p" && word != "-P" && word != "/P") continue;
    while (i < commandLine.size() && blank(i)) ++i;
    std::uint64_t pid = 0;
    std::size_t digits = 0;
    for (; i < commandLine.size() && !blank(i); ++i, ++digits) {
      const char c = commandLine[i];
      if (c < '0' || c > '9' || pid > 0xFFFFFFFFu / 10) return 0;
      pid = pid * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return digits > 0 && pid <= 0xFFFFFFFFu ? static_cast<std::uint32_t>(pid) : 0;
  }
  return 0;
}

std::uint32_t ChooseErrorReporter(const std::vector<ErrorReporter>& reporters, std::uint32_t hungPid) {
  std::uint32_t untold = 0;
  for (const ErrorReporter& reporter : reporters) {
    const std::uint32_t reported = reporter.commandLineKnown ? ReportedProcessId(reporter.commandLine) : 0;
    if (reported != 0 && reported == hungPid) return reporter.pid;
    if (reported == 0 && untold == 0) untold = reporter.pid;
  }
  return untold;
}

int PlanRunner::RunningPlan() const {
  const std::size_t plans = catalogue_.PlanCount();
  for (std::size_t k = 0; k < plans && k < catalogue_.m_planRunning.size(); ++k) {
    if (catalogue_.m_planRunning[k] == 1) return static_cast<int>(k);
  }
  return -1;
}

bool PlanRunner::AutoStartDue() {
  const int running = RunningPlan();
  if (running < 0) return true;
  Raise(EventKind::kAutoStartSkipped, running, PlanEntries(catalogue_, running).first, SIZE_MAX);
  return false;
}

bool PlanRunner::Start(int plan, EventSource source) {
  if (!catalogue_.HasPlan(plan) || RunningPlan() >= 0) return false;
  // The programs a stop has still to ask may be this plan's too.
  AskSome(SIZE_MAX);

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
  lastTickMs_ = processes_.NowMilliseconds();
  // Every row's identity is asked for now, in one go: the host reads them
  // off the window's thread while the delays run, and every due row's look
  // reuses them.
  NewStep();
  for (std::size_t p = 0; p < span.count; ++p) IdentityOf(span.first + p);
  // Entries with delay 0 are launched here, before the first tick (or once
  // their identities have been read).
  LaunchDueEntries();
  host_.StartTickTimer();
  return true;
}

void PlanRunner::Stop(EventSource source) {
  AskSome(SIZE_MAX);  // an earlier stop's asks first
  host_.StopTickTimer();
  const int plan = RunningPlan();
  if (plan >= 0) {
    const EntrySpan span = PlanEntries(catalogue_, plan);
    // Creations not made yet never are; what has started is reported now, so
    // that the stop ends it with the rest. Nothing starts after the stop.
    for (const ProcessNews& news : processes_.CancelStarts()) Apply(news, false);
    putOff_.clear();
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
      const bool held = watch.pid != 0 && !watch.ending;
      const bool spared = notify && IsExemptProgram(catalogue_.m_entries[index]->programPath);
      // A program to be asked is not looked at here (a call to the system
      // each, for hundreds of programs, in one message): one that has ended
      // meanwhile is asked in vain and told as having ended by itself.
      const bool asked = !spared && held && EndOrAsk(plan, span.first, p, true);
      const bool running = !asked && held && processes_.IsEntryRunning(index);
      if (spared && running) {
        Event event;
        event.pid = watch.pid;
        Raise(EventKind::kProgramSpared, plan, span.first, p, event);
      } else if (!spared && !asked) {
        processes_.TerminateEntry(index);
        if (running) {
          Event event;
          event.pid = watch.pid;
          Raise(EventKind::kProgramTerminated, plan, span.first, p, event);
        }
      }
      // Nothing is watched between runs.
      watch = Watch{};
    }
    askingPlan_ = plan;
    askingSource_ = source;
    // A session's end asks them all now: its budget counts, not the window.
    // Sliced, the first slice comes with the first wake, once the window
    // has shown the stop: the helpers' creations begin after it.
    const bool all = toAsk_.size() <= kAsksAtOnce || source == EventSource::kSessionEnd;
    AskSome(all ? SIZE_MAX : 0);
  }
  // The ticks go on while programs asked to close are waited for.
  if (!closing_.empty()) host_.StartTickTimer();
  host_.ShowRunning(false);
}

bool PlanRunner::EndOrAsk(int plan, std::size_t first, std::size_t row, bool later) {
  if (options_.graceSeconds <= 0) return false;
  const Watch& watch = WatchOf(first + row);
  if (later) {
    toAsk_.push_back({row, watch.pid, watch.endTold});
  } else {
    Ask(plan, first, row, watch.pid, watch.endTold);
  }
  return true;
}

void PlanRunner::Ask(int plan, std::size_t first, std::size_t row, std::uint32_t pid, bool endComing) {
  const std::size_t index = first + row;
  processes_.AskToClose(index);
  closing_[index] = Asked{plan, first, row, pid, processes_.NowMilliseconds(), 0, endComing};
  Event asked;
  asked.pid = pid;
  asked.number = options_.graceSeconds;
  Raise(EventKind::kProgramAsked, plan, first, row, asked);
}

void PlanRunner::AskSome(std::size_t most) {
  if (askingPlan_ < 0) return;
  const int plan = askingPlan_;
  const std::size_t first = PlanEntries(catalogue_, plan).first;
  for (std::size_t made = 0; made < most && !toAsk_.empty(); ++made) {
    const ToAsk next = toAsk_.front();
    toAsk_.pop_front();
    Ask(plan, first, next.row, next.pid, next.endComing);
  }
  if (!toAsk_.empty()) {
    host_.WakeIn(0);
    return;
  }
  askingPlan_ = -1;
  Event stopped;
  stopped.number = static_cast<std::int64_t>(askingSource_);
  Raise(EventKind::kPlanStopped, plan, first, SIZE_MAX, stopped);
}

void PlanRunner::SeeClosings(bool now) {
  // The launcher's end ends them all, those still to be asked too.
  if (now) AskSome(SIZE_MAX);
  passAt_.reset();
  SeeClosingsFrom(closing_.begin(), now, SIZE_MAX);
}

void PlanRunner::SeeSomeClosings() {
  const auto from = passAt_ ? closing_.lower_bound(*passAt_) : closing_.begin();
  passAt_.reset();
  SeeClosingsFrom(from, false, kLooksPerSlice);
}

void PlanRunner::SeeClosingsFrom(std::map<std::size_t, Asked>::iterator it, bool now, std::size_t most) {
  const std::uint64_t at = processes_.NowMilliseconds();
  for (std::size_t looks = 0; it != closing_.end();) {
    if (!now && it->second.endComing && at - it->second.askedAt < GraceMs()) {
      ++it;
      continue;
    }
    if (looks++ == most) {
      // The rest of the pass at the next wake, which comes at once.
      passAt_ = it->first;
      host_.WakeIn(0);
      return;
    }
    it = SeeClosing(it->first, now) ? closing_.erase(it) : std::next(it);
  }
  if (closing_.empty() && RunningPlan() < 0) host_.StopTickTimer();
}

void PlanRunner::SeeClosingOf(std::size_t index) {
  const auto it = closing_.find(index);
  if (it == closing_.end()) return;
  // What of its tree is left, the ticks see to.
  it->second.endComing = false;
  if (!SeeClosing(index, false)) return;
  closing_.erase(index);
  if (closing_.empty() && RunningPlan() < 0) host_.StopTickTimer();
}

bool PlanRunner::SeeClosing(std::size_t index, bool now) {
  const std::uint64_t at = processes_.NowMilliseconds();
  Asked& c = closing_.at(index);
  // Closed once every process of its tree has ended, not its first alone.
  const bool closed = !processes_.IsEntryRunning(index) && processes_.LeftInTree(index).empty();
  const bool late = now || at - c.askedAt >= GraceMs();
  if (!closed && !late) return false;
  std::uint32_t how = closed ? processes_.AskedHow(index) : 0;
  // Its Ctrl-C helper may still be ending: the report waits for it a
  // little, keeping the moment the program closed.
  if (closed && (how & kAskPending) != 0 && !now) {
    if (c.closedAt == 0) c.closedAt = at;
    if (at - c.closedAt < kAskSettleMs) return false;
    // Never said: no Ctrl-C is claimed.
    how &= ~kAskedCtrlC;
  }
  Event told;
  told.pid = c.pid;
  told.millis = (c.closedAt != 0 ? c.closedAt : at) - c.askedAt;
  if (closed) {
    told.number = static_cast<std::int64_t>((how & kAskedCtrlC) ? StopEnding::kCtrlC
                                            : (how & kAskedWindow) ? StopEnding::kWindow
                                                                   : StopEnding::kEnded);
    told.error = processes_.EntryExitCode(index);
  } else {
    processes_.TerminateEntry(index);
    told.number = static_cast<std::int64_t>(StopEnding::kEnded);
    told.error = kKillExitCode;
    told.count = options_.graceSeconds;
  }
  Raise(EventKind::kProgramClosed, c.plan, c.first, c.row, told);
  return true;
}

void PlanRunner::LaunchDueEntries() {
  const int plan = RunningPlan();
  if (plan < 0) return;
  const EntrySpan span = PlanEntries(catalogue_, plan);
  NewStep();
  std::vector<std::size_t> starts;
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
      if (TakeOverOrWait(plan, span.first, span.count, p)) starts.push_back(index);
      // A failed creation, or one that waits, counts as an attempt too, so it
      // does not hold the plan in the launch phase.
      ++catalogue_.m_planLaunched[static_cast<std::size_t>(plan)];
    }
  }
  for (const std::size_t index : starts) CreateProcess(index, false);
}

void PlanRunner::Hold(std::size_t index, std::uint32_t pid) {
  Watch& watch = WatchOf(index);
  watch.pid = pid;
  watch.startedMs = processes_.NowMilliseconds();
  watch.ending = false;
  watch.held = Claim::kStart;
  watch.heldPid = 0;
  watch.endTold = false;
  // Windows hands out the ids of ended processes again, and a process found
  // running may have sent heartbeats before this run: whatever the table
  // holds for the id came before, and only silence from now on counts.
  host_.ForgetHeartbeats(pid);
}

void PlanRunner::CreateProcess(std::size_t index, bool relaunch) {
  if (TakeOrEndWhatIsLeft(index)) return;
  Watch& watch = WatchOf(index);
  watch.starting = true;
  watch.relaunch = relaunch;
  processes_.StartEntryProcess(index);
}

void PlanRunner::Started(int plan, std::size_t first, std::size_t row, const ProcessNews& news) {
  const std::size_t index = first + row;
  Watch& watch = WatchOf(index);
  watch.starting = false;
  const bool endNow = std::exchange(watch.endOnStart, false);
  Event event;
  if (news.start.error != 0) {
    event.error = news.start.error;
    event.detail = processes_.DescribeError(news.start.error);
    Raise(EventKind::kLaunchFailed, plan, first, row, event);
    return;
  }
  Hold(index, news.pid);
  watch.endTold = news.start.endTold;
  watch.lastStartMs = watch.startedMs;
  event.pid = watch.pid;
  if (watch.relaunch) event.number = ++watch.relaunches;
  Raise(watch.relaunch ? EventKind::kProgramRelaunched : EventKind::kProgramLaunched, plan, first, row, event);
  NoteJob(plan, first, row, news.start.jobError);
  // Started inside a job that lets nothing leave it (a terminal, a remote
  // shell, an agent): said once, as the programs end when that job is closed.
  if (news.start.inLauncherJob && !launcherJobReported_) {
    launcherJobReported_ = true;
    Raise(EventKind::kLauncherInJob, plan, first, SIZE_MAX);
  }
  // Its row was ended while it was being created: it is ended now, as it
  // would have been had it run already.
  if (endNow) EndRow(row);
}

void PlanRunner::TakeProcessNews(std::size_t most) {
  for (const ProcessNews& news : processes_.TakeNews(most)) Apply(news, true);
}

void PlanRunner::Apply(const ProcessNews& news, bool mayRelaunch) {
  const int plan = RunningPlan();
  const EntrySpan span = PlanEntries(catalogue_, plan);
  const bool inPlan = plan >= 0 && news.entry >= span.first && news.entry - span.first < span.count;
  Watch& watch = WatchOf(news.entry);
  if (news.kind == ProcessNews::Kind::kRead) {
    if (plan >= 0 && mayRelaunch) LookAgain(plan, span.first, span.count);
    return;
  }
  if (news.kind == ProcessNews::Kind::kSlow) {
    if (inPlan && watch.starting) {
      Event slow;
      slow.millis = news.millis;
      Raise(EventKind::kCreationSlow, plan, span.first, news.entry - span.first, slow);
    }
    return;
  }
  if (news.kind == ProcessNews::Kind::kStarted) {
    if (inPlan && watch.starting) {
      Started(plan, span.first, news.entry - span.first, news);
    } else if (news.start.error == 0) {
      // Asked for by no run that still goes on: it must not outlive the stop.
      processes_.TerminateEntry(news.entry);
    }
    return;
  }
  const bool asked = closing_.count(news.entry) != 0;
  // One still to be asked has ended: its end will not come again, so the
  // ticks look at it once it is asked.
  if (!toAsk_.empty()) {
    const std::size_t first = PlanEntries(catalogue_, askingPlan_).first;
    for (ToAsk& waiting : toAsk_) {
      if (first + waiting.row == news.entry && waiting.pid == news.pid) waiting.endComing = false;
    }
  }
  // An end of the process the entry holds now, not of one it held before.
  if (inPlan && watch.pid != 0 && watch.pid == news.pid) {
    const std::size_t row = news.entry - span.first;
    // Supervision only.
    if (SeeEnd(plan, span.first, row, true) && mayRelaunch &&
        catalogue_.m_planLaunched[static_cast<std::size_t>(plan)] == span.count) {
      RelaunchIfTicked(span.first, row);
    }
  }
  // A program a stop asked to close is told of once it has, with its own
  // seconds, not at the next tick; only its own ask is looked at.
  if (asked) SeeClosingOf(news.entry);
}

bool PlanRunner::MayRelaunch(const Watch& watch) {
  return watch.held == Claim::kStart && !watch.dumping && !watch.starting && watch.relaunchAt == 0;
}

void PlanRunner::RelaunchIfTicked(std::size_t first, std::size_t row) {
  if (MayRelaunch(WatchOf(first + row)) && host_.IsRerunChecked() && host_.IsRowChecked(static_cast<int>(row))) {
    Relaunch(first, row);
  }
}

void PlanRunner::Relaunch(std::size_t first, std::size_t row) {
  const std::size_t index = first + row;
  Watch& watch = WatchOf(index);
  const std::uint64_t now = processes_.NowMilliseconds();
  if (watch.lastStartMs && now - *watch.lastStartMs < kRelaunchFloorMs) {
    watch.relaunchAt = *watch.lastStartMs + kRelaunchFloorMs;
    putOff_.emplace(watch.relaunchAt, index);
    if (putOff_.begin()->second == index) host_.WakeIn(watch.relaunchAt - now);
    return;
  }
  CreateProcess(index, true);
}

void PlanRunner::Wake() {
  // The ticks see to the asks' times. A tick timer already going is left as
  // it is: slices coming fast must not hold its ticks off.
  const bool waited = !closing_.empty();
  // One kind of work a wake: the asks' slices first, then the rest of a look.
  if (!toAsk_.empty()) {
    AskSome(kAsksPerSlice);
  } else if (passAt_) {
    SeeSomeClosings();
  }
  if (!waited && !closing_.empty()) host_.StartTickTimer();
  const int plan = RunningPlan();
  if (plan < 0) return;
  const EntrySpan span = PlanEntries(catalogue_, plan);
  const std::uint64_t now = processes_.NowMilliseconds();
  while (!putOff_.empty() && putOff_.begin()->first <= now) {
    const std::size_t index = putOff_.begin()->second;
    putOff_.erase(putOff_.begin());
    WatchOf(index).relaunchAt = 0;
    // As at the end itself. Nothing has started it while it was put off.
    RelaunchIfTicked(span.first, index - span.first);
  }
  // A pass or a slice still to go wakes sooner.
  if (!putOff_.empty() && !passAt_ && toAsk_.empty()) host_.WakeIn(putOff_.begin()->first - now);
}

void PlanRunner::NewStep() {
  identities_.clear();
  runningElsewhere_.reset();
}

const ProcessIdentity* PlanRunner::IdentityOf(std::size_t index) {
  if (index >= identities_.size()) identities_.resize(index + 1);
  if (!identities_[index]) identities_[index] = processes_.EntryIdentity(index);
  return identities_[index] ? &*identities_[index] : nullptr;
}

std::vector<std::size_t>& PlanRunner::RunningElsewhere(std::size_t first, std::size_t count) {
  if (!runningElsewhere_) {
    runningElsewhere_.emplace();
    for (std::size_t e = 0; e < catalogue_.m_entries.size(); ++e) {
      if ((e < first || e - first >= count) && processes_.IsEntryRunning(e)) runningElsewhere_->push_back(e);
    }
  }
  return *runningElsewhere_;
}

void PlanRunner::Keep(int plan, std::size_t first, std::size_t row) {
  const std::size_t index = first + row;
  Hold(index, processes_.EntryProcessId(index));
  Event kept;
  kept.pid = WatchOf(index).pid;
  Raise(EventKind::kProgramKept, plan, first, row, kept);
}

bool PlanRunner::TakeOverOrWait(int plan, std::size_t first, std::size_t count, std::size_t row) {
  const std::size_t index = first + row;
  // A process of an earlier run that still runs (a server still saving
  // after a stop that spared it) stays the entry's process: a second copy
  // would share its files, and its handle would be lost. The supervision
  // phase relaunches the entry once it has exited. One the launcher has
  // terminated is not kept: the row waits for its end, then starts.
  if (processes_.IsEntryRunning(index)) {
    if (processes_.IsEntryEnding(index)) {
      Wait(plan, first, row, {Claim::kHeldEnding, processes_.EntryProcessId(index), 0, {}, {}});
      return false;
    }
    Keep(plan, first, row);
    return false;
  }
  // A look needs what the host reads of the disk: until it has, the row
  // waits, and looks again when the host tells it has.
  const ClaimChoice reading{Claim::kReading, 0, 0, {}, {}};
  const ProcessIdentity* own = IdentityOf(index);
  if (own == nullptr) {
    Wait(plan, first, row, reading);
    return false;
  }
  // The same for the same program held for a row of a stopped plan.
  std::vector<std::size_t>& elsewhere = RunningElsewhere(first, count);
  for (auto it = elsewhere.begin(); it != elsewhere.end(); ++it) {
    const ProcessIdentity* other = IdentityOf(*it);
    if (other == nullptr) {
      Wait(plan, first, row, reading);
      return false;
    }
    if (!SameIdentity(*other, *own)) continue;
    if (processes_.IsEntryEnding(*it)) {
      Wait(plan, first, row, {Claim::kHeldEnding, processes_.EntryProcessId(*it), 0, {}, {}});
      return false;
    }
    processes_.MoveProcess(*it, index);
    elsewhere.erase(it);
    Keep(plan, first, row);
    return false;
  }

  ClaimChoice choice;
  // A process that ends between the look and its takeover is said so, and
  // the row looks again.
  for (int look = 0; look < 3; ++look) {
    const std::optional<std::vector<FoundProcess>> looked = processes_.FindRunning(*own);
    if (!looked) {
      choice = reading;
      break;
    }
    const std::vector<FoundProcess>& found = *looked;
    if (found.empty()) {
      choice = ClaimChoice{};  // nothing runs it: it starts (and is held for nothing any more)
      break;
    }
    // The other rows matter only when something runs the file.
    std::vector<ProcessIdentity> rows;
    for (std::size_t p = 0; p < count && choice.claim != Claim::kReading; ++p) {
      const ProcessIdentity* identity = IdentityOf(first + p);
      if (identity == nullptr) choice = reading;
      else rows.push_back(*identity);
    }
    if (choice.claim == Claim::kReading) break;
    choice = ChooseClaim(rows, row, found);
    if (choice.claim != Claim::kAdopt && choice.claim != Claim::kAdoptDiffering) break;
    const FoundProcess* chosen = nullptr;
    for (const FoundProcess& process : found) {
      if (process.pid == choice.pid) chosen = &process;
    }
    const ProcessStart start = processes_.AdoptProcess(index, *chosen, *own);
    if (start.error == 0) {
      Hold(index, choice.pid);
      WatchOf(index).endTold = start.endTold;
      Event adopted;
      adopted.pid = choice.pid;
      adopted.number = static_cast<std::int64_t>(choice.basis);
      if (choice.claim == Claim::kAdoptDiffering) {
        adopted.detail = choice.commandLine;
        adopted.rowCommandLine = catalogue_.m_entries[index]->commandLine;
      }
      Raise(EventKind::kProgramAdopted, plan, first, row, adopted);
      NoteJob(plan, first, row, start.jobError);
      return false;
    }
    if (start.gone) {
      Event gone;
      gone.pid = choice.pid;
      Raise(EventKind::kTakeoverGone, plan, first, row, gone);
      if (look < 2) continue;
    }
    // Claimed by another launcher meanwhile, or not ours to open (or ending
    // one after another): it waits, and looks again at the next tick.
    choice.claim = start.otherLauncher != 0 ? Claim::kHeldByLauncher : Claim::kHeldUnreadable;
    choice.otherLauncher = start.otherLauncher;
    break;
  }
  if (choice.claim == Claim::kStart) {
    WatchOf(index).held = Claim::kStart;
    return true;
  }
  Wait(plan, first, row, choice);
  return false;
}

void PlanRunner::Wait(int plan, std::size_t first, std::size_t row, const ClaimChoice& choice) {
  Watch& watch = WatchOf(first + row);
  // A read of moments says nothing, one that lasts is said once, and a row
  // already held for a reason keeps it (said once) while it looks again.
  if (choice.claim == Claim::kReading) {
    const std::uint64_t now = processes_.NowMilliseconds();
    if (watch.held == Claim::kStart) {
      watch.held = Claim::kReading;
      watch.readingSinceMs = now;
      watch.readingTold = false;
    }
    if (watch.held == Claim::kReading && !watch.readingTold && now - watch.readingSinceMs >= kSlowReadMs) {
      watch.readingTold = true;
      Event held;
      held.number = static_cast<std::int64_t>(HoldReason::kReading);
      Raise(EventKind::kProgramHeld, plan, first, row, held);
    }
    return;
  }
  if (watch.held != choice.claim || watch.heldPid != choice.pid) {
    Event held;
    held.pid = choice.pid;
    HoldReason reason = HoldReason::kAmbiguous;
    switch (choice.claim) {
      case Claim::kHeldByLauncher: reason = HoldReason::kOtherLauncher; break;
      case Claim::kHeldUnreadable: reason = HoldReason::kUnreadable; break;
      case Claim::kHeldFolder: reason = HoldReason::kFolder; break;
      case Claim::kHeldEnding: reason = HoldReason::kEnding; break;
      default: break;
    }
    held.number = static_cast<std::int64_t>(reason);
    held.count = choice.otherLauncher;
    Raise(EventKind::kProgramHeld, plan, first, row, held);
  }
  watch.held = choice.claim;
  watch.heldPid = choice.pid;
}

bool PlanRunner::TakeOrEndWhatIsLeft(std::size_t index) {
  if (processes_.EntryProcessId(index) == 0 || processes_.IsEntryRunning(index)) return false;
  const std::vector<std::uint32_t> left = processes_.LeftInTree(index);
  if (left.empty()) return false;
  const int plan = RunningPlan();
  const EntrySpan span = PlanEntries(catalogue_, plan);
  const std::size_t row = index - span.first;
  // A loader that has ended, its server still running: the server is the
  // row's program now, and nothing starts beside it.
  if (left.size() == 1) {
    const ProcessStart start = processes_.TakeSurvivor(index, left.front());
    if (start.error == 0) {
      Hold(index, left.front());
      WatchOf(index).endTold = start.endTold;
      Event adopted;
      adopted.pid = left.front();
      adopted.number = static_cast<std::int64_t>(AdoptBasis::kSurvivor);
      Raise(EventKind::kProgramAdopted, plan, span.first, row, adopted);
      return true;
    }
  }
  processes_.EndTree(index);
  Event ended;
  ended.count = static_cast<std::int64_t>(left.size());
  Raise(EventKind::kOldTreeEnded, plan, span.first, row, ended);
  return false;
}

void PlanRunner::NoteJob(int plan, std::size_t first, std::size_t row, std::uint32_t jobError) {
  if (jobError == 0 || jobFailureReported_) return;
  jobFailureReported_ = true;
  Event event;
  event.error = jobError;
  event.detail = processes_.DescribeError(jobError);
  Raise(EventKind::kJobUnavailable, plan, first, row, event);
}

void PlanRunner::SeeEnds(int plan, std::size_t first, std::size_t count) {
  // Ends that will be told need no asking.
  for (std::size_t p = count; p-- > 0;) {
    if (!WatchOf(first + p).endTold) SeeEnd(plan, first, p);
  }
}

bool PlanRunner::SeeEnd(int plan, std::size_t first, std::size_t row, bool told) {
  const std::size_t index = first + row;
  Watch& watch = WatchOf(index);
  if (watch.pid == 0 || (!told && processes_.IsEntryRunning(index))) return false;
  // An end the runner caused (a hang kill) is no exit of the program's own.
  Event ended;
  ended.pid = watch.pid;
  ended.number = processes_.EntryExitCode(index);
  ended.millis = processes_.NowMilliseconds() - watch.startedMs;
  Raise(watch.ending ? EventKind::kProgramEnded : EventKind::kProgramExited, plan, first, row, ended);
  watch.pid = 0;
  watch.ending = false;
  watch.endTold = false;
  return true;
}

void PlanRunner::LookAgain(int plan, std::size_t first, std::size_t count) {
  // Rows whose launch waits for a process that may be theirs, or for a read,
  // look again: once nothing holds them back they start, in either phase.
  NewStep();
  std::vector<std::size_t> starts;
  for (std::size_t p = count; p-- > 0;) {
    if (WatchOf(first + p).held != Claim::kStart && host_.IsRowChecked(static_cast<int>(p)) &&
        TakeOverOrWait(plan, first, count, p)) {
      starts.push_back(first + p);
    }
  }
  for (const std::size_t index : starts) CreateProcess(index, false);
}

void PlanRunner::Tick() {
  if (!closing_.empty()) SeeSomeClosings();
  const int plan = RunningPlan();
  if (plan < 0) return;
  const EntrySpan span = PlanEntries(catalogue_, plan);
  const std::size_t k = static_cast<std::size_t>(plan);
  const std::uint64_t now = processes_.NowMilliseconds();
  if (now - lastTickMs_ > kTickGapMs) host_.RestartSilences();
  lastTickMs_ = now;
  for (const ProcessNews& news : processes_.CheckStarts()) Apply(news, true);
  if (events_) SeeEnds(plan, span.first, span.count);

  LookAgain(plan, span.first, span.count);

  // Launch phase: until every entry has had its launch attempt.
  if (catalogue_.m_planLaunched[k] != span.count) {
    LaunchDueEntries();
    return;
  }

  // Supervision phase.
  const bool rerun = host_.IsRerunChecked();
  for (std::size_t p = span.count; rerun && p-- > 0;) {
    const std::size_t index = span.first + p;
    const Watch& watch = WatchOf(index);
    // A program whose end will be told has ended once SeeEnd has seen it:
    // one that runs costs no question at all, not even about its row.
    if (!MayRelaunch(watch) || (watch.endTold && watch.pid != 0)) continue;
    if (host_.IsRowChecked(static_cast<int>(p)) && (watch.endTold || !processes_.IsEntryRunning(index))) {
      Relaunch(span.first, p);
    }
  }

  // A hung program whose dump is done (or late) is killed now, whatever the
  // options say since; like every program killed as hung, it is started
  // again once its end is seen.
  FinishDumps(plan, span.first, span.count);
  if (!rerun || options_.detect == 0) return;
  const StaleProcess stale = host_.TakeStaleProcessId(options_.interval);
  if (stale.id == 0) return;
  const std::size_t p = RowOfProcess(span.first, span.count, stale.id);
  // An id that belongs to no running program of this plan has been dropped.
  if (p == SIZE_MAX) return;
  const std::size_t index = span.first + p;
  Watch& watch = WatchOf(index);
  // A program whose dump is being written has been picked already.
  if (watch.dumping) return;
  watch.silentSeconds = stale.silentSeconds;
  watch.silentPid = stale.id;
  // With dumps on, the evidence is taken first; the kill follows when the
  // dump is done (FinishDumps), and meanwhile the program keeps its place.
  const DumpStart dump = processes_.StartDump(index, stale.id);
  if (dump.started) {
    watch.dumping = true;
    Event dumping;
    dumping.pid = stale.id;
    dumping.number = stale.silentSeconds;
    Raise(EventKind::kDumpStarted, plan, span.first, p, dumping);
    return;
  }
  KillHung(plan, span.first, p);
  // A dump that cannot even be tried (a 64-bit program and a 32-bit
  // launcher, a process that cannot be opened) says why.
  if (dump.error != 0) {
    Event failed;
    failed.pid = stale.id;
    failed.error = dump.error;
    failed.detail = dump.detail;
    Raise(EventKind::kDumpFailed, plan, span.first, p, failed);
  }
}

std::size_t PlanRunner::RowOfProcess(std::size_t first, std::size_t count, std::uint32_t pid) {
  for (std::size_t p = count; p-- > 0;) {
    if (processes_.EntryProcessId(first + p) != pid) continue;
    // A program that has ended (its relaunch failing since) hangs no more.
    return processes_.IsEntryRunning(first + p) ? p : SIZE_MAX;
  }
  // Behind a loader, the heartbeats come from the server it started.
  for (std::size_t p = count; p-- > 0;) {
    if (processes_.IsEntryRunning(first + p) && processes_.EntryTreeHolds(first + p, pid)) return p;
  }
  return SIZE_MAX;
}

void PlanRunner::DropPutOff(std::size_t index) {
  Watch& watch = WatchOf(index);
  if (watch.relaunchAt == 0) return;
  putOff_.erase({watch.relaunchAt, index});
  watch.relaunchAt = 0;
}

bool PlanRunner::EndRow(std::size_t row) {
  const int plan = RunningPlan();
  const EntrySpan span = PlanEntries(catalogue_, plan);
  if (plan < 0 || row >= span.count) return false;
  const std::size_t index = span.first + row;
  Watch& watch = WatchOf(index);
  // A relaunch put off, or a dump under way, is given up with the program.
  DropPutOff(index);
  if (watch.dumping) {
    processes_.AbandonDump(index);
    watch.dumping = false;
  }
  // Its program is being created: what the creation makes is ended as it comes.
  if (watch.starting) return !std::exchange(watch.endOnStart, true);
  if (watch.pid == 0 || watch.ending || !processes_.IsEntryRunning(index)) return false;
  watch.ending = true;
  if (EndOrAsk(plan, span.first, row)) return true;
  processes_.TerminateEntry(index);
  Event ended;
  ended.pid = watch.pid;
  Raise(EventKind::kProgramTerminated, plan, span.first, row, ended);
  return true;
}

bool PlanRunner::StartRow(std::size_t row) {
  const int plan = RunningPlan();
  const EntrySpan span = PlanEntries(catalogue_, plan);
  if (plan < 0 || row >= span.count) return false;
  const std::size_t index = span.first + row;
  Watch& watch = WatchOf(index);
  // A creation under way is the row's start: an end asked for it since is
  // dropped, and what it makes runs.
  if (watch.starting) return std::exchange(watch.endOnStart, false);
  if (watch.pid != 0 && !watch.ending && processes_.IsEntryRunning(index)) return false;
  // An end not seen yet is told before anything starts in its place.
  SeeEnd(plan, span.first, row);
  DropPutOff(index);
  // Its launch attempt is this one: the countdown does not launch it again,
  // and the plan counts it towards supervision as the countdown would.
  LaunchEntry& entry = *catalogue_.m_entries[index];
  if (entry.countdown > 0) {
    entry.countdown = 0;
    ++catalogue_.m_planLaunched[static_cast<std::size_t>(plan)];
  }
  NewStep();
  if (TakeOverOrWait(plan, span.first, span.count, row)) CreateProcess(index, false);
  return true;
}

void PlanRunner::KillHung(int plan, std::size_t first, std::size_t row) {
  const std::size_t index = first + row;
  Watch& watch = WatchOf(index);
  processes_.TerminateEntry(index);
  watch.ending = true;
  watch.dumping = false;
  Event killed;
  killed.pid = watch.silentPid != 0 ? watch.silentPid : processes_.EntryProcessId(index);
  killed.number = watch.silentSeconds;
  Raise(EventKind::kHangKilled, plan, first, row, killed);
  // A hung program usually leaves an error-reporting process behind.
  if (const std::uint32_t reporter = processes_.TerminateErrorReporter(killed.pid)) {
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
    if (!processes_.IsEntryRunning(index)) {
      processes_.AbandonDump(index);
      watch.dumping = false;
      continue;
    }
    // The limit counts from the dump's turn: a program whose dump waits
    // behind another's keeps its place meanwhile.
    const DumpOutcome outcome = processes_.PollDump(index);
    const bool late = !outcome.finished && outcome.begun &&
                      processes_.NowMilliseconds() >= outcome.begunMs + kDumpLimitMs;
    if (!outcome.finished && !late) continue;
    Event dump;
    dump.pid = watch.silentPid;
    KillHung(plan, first, p);
    if (!outcome.finished) {
      // Terminating the program ends the writing, if it had begun; the dump
      // is given up.
      processes_.AbandonDump(index);
      dump.error = kDumpTimedOut;
      dump.detail = processes_.DescribeError(kDumpTimedOut);
    } else if (outcome.error != 0) {
      dump.error = outcome.error;
      dump.detail = processes_.DescribeError(outcome.error);
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
    Watch& watch = WatchOf(index);
    if (!watch.dumping) continue;
    // One that ended during its dump has been reported as ended: it is no
    // hung program to kill any more.
    if (processes_.IsEntryRunning(index)) {
      KillHung(plan, first, p);
    } else {
      watch.dumping = false;
    }
    processes_.AbandonDump(index);
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
