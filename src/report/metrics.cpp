#include "report/metrics.h"

#include <cinttypes>
#include <iterator>

#include "catalogue/list_header.h"
#include "text/encoding.h"
#include "text/format_text.h"

namespace {

std::string EscapeUtf8(const std::string& utf8) {
  std::string out;
  for (const char c : utf8) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += FormatText("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

}  // namespace

std::string MetricsLabelValue(const std::string& gbk) { return EscapeUtf8(GbkToUtf8(gbk)); }

void MetricsBoard::Changed() {
  dirty_ = true;
  if (flushAsked_) return;
  flushAsked_ = true;
  if (changed_) changed_();
}

MetricsBoard::Row* MetricsBoard::RowOf(const Event& event) {
  if (event.plan != runningPlan_ || runningPlan_ < 0 || event.row < 0) return nullptr;
  Row& row = rows_[event.row];
  if (!event.program.empty()) row.program = GbkToUtf8(GbkFileName(event.program));
  return &row;
}

MetricsBoard::State MetricsBoard::Shown(const Row& row, std::uint32_t now) {
  const bool settled = row.state == State::kRunning || row.state == State::kExited;
  return settled && row.exitWindow.Looping(now) ? State::kCrashLooping : row.state;
}

void MetricsBoard::OnEvent(const Event& event) {
  switch (event.kind) {
    case EventKind::kLauncherStarted: version_ = event.version; break;
    case EventKind::kLauncherEnding: ended_ = true; break;
    case EventKind::kListRead:
      listRead_ = event.count != 0 ? 1 : 0;
      listPlans_ = event.number;
      break;
    case EventKind::kPlanListed:
      if (event.plan < 0) return;
      if (plans_.size() <= static_cast<std::size_t>(event.plan)) plans_.resize(static_cast<std::size_t>(event.plan) + 1);
      plans_[static_cast<std::size_t>(event.plan)] = GbkToUtf8(event.planName);
      break;
    case EventKind::kRowListed: {
      if (event.plan < 0 || event.row < 0) return;
      const auto plan = static_cast<std::size_t>(event.plan), row = static_cast<std::size_t>(event.row);
      if (listed_.size() <= plan) listed_.resize(plan + 1);
      if (listed_[plan].size() <= row) listed_[plan].resize(row + 1);
      listed_[plan][row] = Listed{GbkToUtf8(GbkFileName(event.program)), event.number};
      return;  // shown once its plan starts
    }
    case EventKind::kListenerOpened: listenerUp_ = 1; break;
    case EventKind::kListenerFailed: listenerUp_ = 0; break;
    case EventKind::kControlOpened: controlUp_ = 1; break;
    case EventKind::kControlFailed: controlUp_ = 0; break;
    case EventKind::kPlanStarted:
      // Every row shows from the start, those that never launch too.
      runningPlan_ = rowsPlan_ = event.plan;
      rows_.clear();
      if (event.plan >= 0 && static_cast<std::size_t>(event.plan) < listed_.size()) {
        const std::vector<Listed>& listed = listed_[static_cast<std::size_t>(event.plan)];
        for (std::size_t r = 0; r < listed.size(); ++r) {
          Row& row = rows_[static_cast<int>(r)];
          row.program = listed[r].program;
          row.delay = listed[r].delay;
        }
      }
      break;
    case EventKind::kPlanStopped:
      // Its programs asked to close stay, ending, until they have.
      runningPlan_ = -1;
      for (auto it = rows_.begin(); it != rows_.end();) it = it->second.askedPid != 0 ? std::next(it) : rows_.erase(it);
      break;
    case EventKind::kTick: {
      // A loop ends when its oldest exit leaves the five minutes.
      const auto now = static_cast<std::uint32_t>(event.number);
      bool changed = false;
      for (const auto& [index, row] : rows_) changed = changed || Shown(row, now) != Shown(row, now_);
      now_ = now;
      if (!changed) return;
      break;
    }
    case EventKind::kExitNoticeSent: ++notices_; break;
    case EventKind::kHeartbeatsDropped:
      droppedLength_ += event.number;
      droppedForeign_ += event.count;
      break;
    case EventKind::kHeartbeatStats:
      if (heartbeats_ == event.number && ids_ == event.count) return;
      heartbeats_ = event.number;
      ids_ = event.count;
      break;
    case EventKind::kDumpWritten: ++dumps_; break;
    case EventKind::kProgramClosed: {
      if (event.number >= static_cast<int>(StopEnding::kCtrlC) && event.number <= static_cast<int>(StopEnding::kEnded)) {
        ++stopEndings_[event.number - static_cast<int>(StopEnding::kCtrlC)];
      }
      const auto it = event.plan == rowsPlan_ ? rows_.find(event.row) : rows_.end();
      if (it == rows_.end() || it->second.askedPid == 0 || it->second.askedPid != event.pid) break;
      // A stopped plan's row is gone with its program; a running plan's
      // row (its own stop) has ended.
      if (runningPlan_ < 0) {
        rows_.erase(it);
        break;
      }
      Row& row = it->second;
      row.askedPid = 0;
      row.up = 0;
      row.state = State::kExited;
      row.lastExitCode = event.error;
      row.exited = true;
      break;
    }
    case EventKind::kDumpFailed: ++dumpFailures_; break;
    default:
      if (!OnRowEvent(event)) return;  // nothing of the file changes
      break;
  }
  Changed();
}

bool MetricsBoard::OnRowEvent(const Event& event) {
  Row* found = RowOf(event);
  if (!found) return false;
  Row& row = *found;
  // The row's launch in this run was tried, with this outcome.
  const auto attempted = [&row](std::int64_t up, State state) {
    row.up = up;
    row.state = state;
    row.attempted = true;
    return true;
  };
  switch (event.kind) {
    case EventKind::kCountdown:
    case EventKind::kRowUnticked: {
      // Every second while waiting: a change only when the state changes.
      const State state = event.kind == EventKind::kCountdown ? State::kWaiting : State::kUnticked;
      if (row.state == state) return false;
      row.state = state;
      return true;
    }
    case EventKind::kProgramLaunched:
    case EventKind::kProgramRelaunched:
    case EventKind::kProgramKept:
    case EventKind::kProgramAdopted:
      if (event.kind == EventKind::kProgramAdopted) {
        ++row.adoptions;
      } else if (event.kind != EventKind::kProgramKept) {
        ++row.starts;
      }
      if (event.kind != EventKind::kProgramKept) row.staleFile = IsReplacedFileTakeover(event) ? 1 : 0;
      return attempted(1, State::kRunning);
    case EventKind::kProgramHeld: return attempted(0, State::kHeld);
    case EventKind::kLaunchFailed:
      ++row.launchFailures;
      return attempted(0, State::kFailed);
    case EventKind::kProgramExited:
      row.up = 0;
      ++row.exits;
      row.exitWindow.Exited(now_);
      row.state = State::kExited;
      [[fallthrough]];
    case EventKind::kProgramEnded:
      // The end of a process the launcher ended: a row's stop's.
      if (row.state == State::kEnding) {
        row.up = 0;
        row.state = State::kExited;
        row.askedPid = 0;
      }
      row.lastExitCode = static_cast<std::uint32_t>(event.number);
      row.exited = true;
      return true;
    case EventKind::kProgramTerminated:
    case EventKind::kProgramAsked:
      row.state = State::kEnding;
      if (event.kind == EventKind::kProgramAsked) row.askedPid = event.pid;
      return true;
    case EventKind::kHangKilled:
      row.up = 0;
      ++row.hangKills;
      row.state = State::kExited;
      return true;
    case EventKind::kDumpStarted:
      row.state = State::kDumping;
      return true;
    default:
      return false;
  }
}

std::string MetricsBoard::Render(double now) {
  dirty_ = false;
  flushAsked_ = false;
  // Every series' labels begin with the port; `Series` gives a name with the
  // port and then `labels`, each already name="escaped value".
  const std::string port =
      FormatText("port=\"%u\"", static_cast<unsigned>(port_ ? port_() : ListHeader::kDefaultPort));
  const auto Series = [&port](const char* name, const std::string& labels = std::string()) {
    return std::string(name) + "{" + port + (labels.empty() ? "" : ",") + labels + "}";
  };
  std::string out;
  Family(out, "morvastel_info", "gauge", "The launcher's version.");
  out += Series("morvastel_info", "version=\"" + EscapeUtf8(version_) + "\"") + " 1\n";
  Family(out, "morvastel_launcher_up", "gauge",
         "1 while the launcher runs; 0 in the last file it writes as it ends, where no plan or program runs.");
  out += FormatText("%s %d\n", Series("morvastel_launcher_up").c_str(), ended_ ? 0 : 1);
  Family(out, "morvastel_last_update_timestamp_seconds", "gauge",
         "When the launcher last wrote this file (a stale value means the launcher is gone).");
  out += FormatText("%s %.3f\n", Series("morvastel_last_update_timestamp_seconds").c_str(), now);
  Family(out, "morvastel_list_read", "gauge", "1 when the launch list file was read at start.");
  out += FormatText("%s %d\n", Series("morvastel_list_read").c_str(), listRead_);
  Family(out, "morvastel_list_plans", "gauge", "Plans the launch list gave (0: nothing can run).");
  out += FormatText("%s %" PRId64 "\n", Series("morvastel_list_plans").c_str(), listPlans_);
  Family(out, "morvastel_plan_running", "gauge", "1 for the plan that runs, 0 for every other plan of the list.");
  for (std::size_t k = 0; k < plans_.size(); ++k) {
    const std::string labels = FormatText("index=\"%zu\",plan=\"%s\"", k, EscapeUtf8(plans_[k]).c_str());
    out += FormatText("%s %d\n", Series("morvastel_plan_running", labels).c_str(),
                      !ended_ && static_cast<int>(k) == runningPlan_ ? 1 : 0);
  }
  // Supervision (relaunches, hang kills) begins once every row's launch was
  // tried; an unticked row or a negative delay holds it off for good.
  bool supervising = runningPlan_ >= 0 && !ended_;
  for (const auto& [index, row] : rows_) supervising = supervising && row.attempted;
  Family(out, "morvastel_plan_supervising", "gauge",
         "1 when the running plan relaunches and watches its programs: every row's launch was tried.");
  out += FormatText("%s %d\n", Series("morvastel_plan_supervising").c_str(), supervising ? 1 : 0);

  const std::string plan = !rows_.empty() && rowsPlan_ >= 0 && static_cast<std::size_t>(rowsPlan_) < plans_.size()
                               ? EscapeUtf8(plans_[static_cast<std::size_t>(rowsPlan_)])
                               : std::string();
  std::map<int, std::string> labels;  // each row's, between the braces
  for (const auto& [index, row] : rows_) {
    labels[index] = FormatText("%s,plan=\"%s\",row=\"%d\",program=\"%s\"", port.c_str(), plan.c_str(), index + 1,
                               EscapeUtf8(row.program).c_str());
  }
  struct PerRow {
    const char* name;
    const char* type;
    const char* help;
    std::int64_t Row::*value;
  };
  static const PerRow kPerRow[] = {
      {"morvastel_program_up", "gauge", "1 while the row's program runs, per row of the running plan.", &Row::up},
      {"morvastel_program_starts_total", "counter", "Launches and relaunches of the row's program.", &Row::starts},
      {"morvastel_program_exits_total", "counter", "Times the row's program exited by itself.", &Row::exits},
      {"morvastel_program_hang_kills_total", "counter", "Times the row's program was killed as hung.", &Row::hangKills},
      {"morvastel_program_launch_failures_total", "counter", "Launches of the row's program that failed.",
       &Row::launchFailures},
      {"morvastel_program_adoptions_total", "counter",
       "Launches that took over a process already running the row's program.", &Row::adoptions},
      {"morvastel_program_delay_seconds", "gauge", "The row's launch delay (negative: never launched).", &Row::delay},
      {"morvastel_program_stale_file", "gauge",
       "1 while the row's program runs a file replaced at its path since it started: a restart of the row runs the "
       "new one.",
       &Row::staleFile},
  };
  for (const PerRow& metric : kPerRow) {
    Family(out, metric.name, metric.type, metric.help);
    for (const auto& [index, row] : rows_) {
      const std::int64_t value = ended_ && metric.value == &Row::up ? 0 : row.*metric.value;
      out += FormatText("%s{%s} %" PRId64 "\n", metric.name, labels[index].c_str(), value);
    }
  }
  static const char* const kStates[] = {"waiting", "unticked", "running", "exited", "failed",
                                         "dumping", "crash_looping", "held", "ending", "unwatched"};
  static_assert(std::size(kStates) == static_cast<std::size_t>(State::kUnwatched) + 1, "one name per State");
  Family(out, "morvastel_program_state", "gauge",
         "1 for the row's state, 0 for the others; crash_looping: 3 or more exits of its own in 5 minutes; "
         "held: its launch waits for a process already running its program; "
         "ending: ended or asked to close by a stop, not gone yet; "
         "unwatched: the launcher ended, nothing relaunches the row or watches it for hangs.");
  for (const auto& [index, row] : rows_) {
    const State shown = ended_ ? State::kUnwatched : Shown(row, now_);
    for (std::size_t k = 0; k < std::size(kStates); ++k) {
      out += FormatText("morvastel_program_state{%s,state=\"%s\"} %d\n", labels[index].c_str(), kStates[k],
                        static_cast<std::size_t>(shown) == k ? 1 : 0);
    }
  }
  Family(out, "morvastel_program_last_exit_code", "gauge", "The exit code of the row's program's last end.");
  for (const auto& [index, row] : rows_) {
    if (!row.exited) continue;
    out += FormatText("morvastel_program_last_exit_code{%s} %" PRId64 "\n", labels[index].c_str(), row.lastExitCode);
  }
  Family(out, "morvastel_heartbeat_listener_up", "gauge", "1 when the heartbeat listener is open.");
  out += FormatText("%s %d\n", Series("morvastel_heartbeat_listener_up").c_str(), listenerUp_);
  Family(out, "morvastel_control_up", "gauge",
         "1 when the control pipe serves morvastelctl; 0 while another process holds its name (tried every 5 s).");
  out += FormatText("%s %d\n", Series("morvastel_control_up").c_str(), controlUp_);
  Family(out, "morvastel_heartbeat_ids", "gauge", "Process ids in the liveness table.");
  out += FormatText("%s %" PRId64 "\n", Series("morvastel_heartbeat_ids").c_str(), ids_);
  Family(out, "morvastel_heartbeats_received_total", "counter", "Heartbeats taken into the liveness table.");
  out += FormatText("%s %" PRId64 "\n", Series("morvastel_heartbeats_received_total").c_str(), heartbeats_);
  Family(out, "morvastel_heartbeats_dropped_total", "counter",
         "Heartbeats dropped: of the wrong length, or from another host.");
  out += FormatText("%s %" PRId64 "\n", Series("morvastel_heartbeats_dropped_total", "reason=\"length\"").c_str(),
                    droppedLength_);
  out += FormatText("%s %" PRId64 "\n", Series("morvastel_heartbeats_dropped_total", "reason=\"foreign\"").c_str(),
                    droppedForeign_);
  Family(out, "morvastel_exit_notices_sent_total", "counter", "Exit notices sent at a stop.");
  out += FormatText("%s %" PRId64 "\n", Series("morvastel_exit_notices_sent_total").c_str(), notices_);
  Family(out, "morvastel_hang_dumps_total", "counter", "Minidumps written of programs about to be killed as hung.");
  out += FormatText("%s %" PRId64 "\n", Series("morvastel_hang_dumps_total").c_str(), dumps_);
  Family(out, "morvastel_hang_dump_failures_total", "counter", "Minidumps of hung programs that could not be written.");
  out += FormatText("%s %" PRId64 "\n", Series("morvastel_hang_dump_failures_total").c_str(), dumpFailures_);
  Family(out, "morvastel_stop_endings_total", "counter",
         "Programs a stop asked to close (/g), by how they went: closed on Ctrl-C, on WM_CLOSE, or ended.");
  const char* const hows[] = {"ctrl_c", "window", "ended"};
  for (std::size_t i = 0; i < 3; ++i) {
    out += FormatText("%s %" PRId64 "\n",
                      Series("morvastel_stop_endings_total", std::string("how=\"") + hows[i] + "\"").c_str(),
                      stopEndings_[i]);
  }
  return out;
}
