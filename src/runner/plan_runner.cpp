#include "runner/plan_runner.h"

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

bool PlanRunner::Start(int plan) {
  if (!catalogue_.HasPlan(plan) || RunningPlan() >= 0) return false;

  host_.ShowRunning(true);
  const EntrySpan span = PlanEntries(catalogue_, plan);
  for (std::size_t p = span.count; p-- > 0;) {
    LaunchEntry& entry = *catalogue_.m_entries[span.first + p];
    entry.countdown = ArmedCountdown(entry.delaySeconds);
  }
  const std::size_t k = static_cast<std::size_t>(plan);
  catalogue_.m_planLaunched[k] = 0;
  catalogue_.m_planRunning[k] = 1;
  // Entries with delay 0 are launched here, before the first tick.
  LaunchDueEntries();
  host_.StartTickTimer();
  return true;
}

void PlanRunner::Stop() {
  host_.StopTickTimer();
  const int plan = RunningPlan();
  if (plan >= 0) {
    catalogue_.m_planRunning[static_cast<std::size_t>(plan)] = 0;
    const bool notify = options_.notify != 0;
    // The notice goes out before anything is terminated, so the cooperating
    // servers start saving at once; it goes out even for an empty plan.
    if (notify) host_.BroadcastExitNotice();
    const EntrySpan span = PlanEntries(catalogue_, plan);
    for (std::size_t p = span.count; p-- > 0;) {
      const std::size_t index = span.first + p;
      if (notify && IsExemptProgram(catalogue_.m_entries[index]->programPath)) continue;
      host_.TerminateEntry(index);
    }
  }
  host_.ShowRunning(false);
}

void PlanRunner::LaunchDueEntries() {
  const int plan = RunningPlan();
  if (plan < 0) return;
  const EntrySpan span = PlanEntries(catalogue_, plan);
  for (std::size_t p = span.count; p-- > 0;) {
    // An unchecked row freezes its entry's countdown until it is checked again.
    if (!host_.IsRowChecked(static_cast<int>(p))) continue;
    const std::size_t index = span.first + p;
    LaunchEntry& entry = *catalogue_.m_entries[index];
    // The countdown keeps falling after the launch so the entry is not
    // launched twice in a run; it stops at the bottom instead of wrapping.
    if (entry.countdown > kCountdownMin) --entry.countdown;
    if (entry.countdown == 0) {
      // A process of an earlier run that still runs (a server still saving
      // after a stop that spared it) stays the entry's process: a second copy
      // would share its files, and its handle would be lost. The supervision
      // phase relaunches the entry once it has exited.
      if (!host_.IsEntryRunning(index)) CreateProcess(index);
      // A failed creation counts as an attempt too, so it does not hold the
      // plan in the launch phase.
      ++catalogue_.m_planLaunched[static_cast<std::size_t>(plan)];
    }
  }
}

void PlanRunner::CreateProcess(std::size_t index) {
  if (host_.CreateEntryProcess(index)) host_.ForgetHeartbeats(host_.EntryProcessId(index));
}

void PlanRunner::Tick() {
  const int plan = RunningPlan();
  if (plan < 0) return;
  const EntrySpan span = PlanEntries(catalogue_, plan);
  const std::size_t k = static_cast<std::size_t>(plan);

  // Launch phase: until every entry has had its launch attempt.
  if (catalogue_.m_planLaunched[k] != span.count) {
    LaunchDueEntries();
    return;
  }

  // Supervision phase.
  if (!host_.IsRerunChecked()) return;
  for (std::size_t p = span.count; p-- > 0;) {
    const std::size_t index = span.first + p;
    if (host_.IsRowChecked(static_cast<int>(p)) && !host_.IsEntryRunning(index)) {
      CreateProcess(index);
    }
  }

  if (options_.detect == 0) return;
  const std::uint32_t stale = host_.TakeStaleProcessId(options_.interval);
  if (stale == 0) return;
  for (std::size_t p = span.count; p-- > 0;) {
    const std::size_t index = span.first + p;
    if (host_.EntryProcessId(index) != stale) continue;
    host_.TerminateEntry(index);
    // A hung program usually leaves an error-reporting process behind.
    host_.TerminateProcessByName(kErrorReportingProgram);
    return;
  }
  // The id belongs to no entry of this plan: it has been dropped.
}
