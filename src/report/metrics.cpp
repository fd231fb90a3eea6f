#include "report/metrics.h"

#include <cinttypes>

#include "app/encoding.h"
#include "app/format_text.h"

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

MetricsBoard::Row& MetricsBoard::RowOf(const Event& event) {
  Row& row = rows_[event.row];
  row.program = GbkToUtf8(GbkFileName(event.program));
  return row;
}

void MetricsBoard::OnEvent(const Event& event) {
  switch (event.kind) {
    case EventKind::kLauncherStarted: version_ = event.version; break;
    case EventKind::kPlanListed:
      if (event.plan < 0) return;
      if (plans_.size() <= static_cast<std::size_t>(event.plan)) plans_.resize(static_cast<std::size_t>(event.plan) + 1);
      plans_[static_cast<std::size_t>(event.plan)] = GbkToUtf8(event.planName);
      break;
    case EventKind::kListenerOpened: listenerUp_ = 1; break;
    case EventKind::kListenerFailed: listenerUp_ = 0; break;
    case EventKind::kPlanStarted:
      runningPlan_ = event.plan;
      rows_.clear();
      break;
    case EventKind::kPlanStopped:
      runningPlan_ = -1;
      rows_.clear();
      break;
    case EventKind::kProgramLaunched:
    case EventKind::kProgramRelaunched: {
      Row& row = RowOf(event);
      row.up = 1;
      ++row.starts;
      break;
    }
    case EventKind::kProgramKept: RowOf(event).up = 1; break;
    case EventKind::kProgramAdopted: {
      Row& row = RowOf(event);
      row.up = 1;
      ++row.adoptions;
      break;
    }
    case EventKind::kProgramHeld: RowOf(event).up = 0; break;
    case EventKind::kLaunchFailed: {
      Row& row = RowOf(event);
      row.up = 0;
      ++row.launchFailures;
      break;
    }
    case EventKind::kProgramExited: {
      Row& row = RowOf(event);
      row.up = 0;
      ++row.exits;
      row.lastExitCode = static_cast<std::uint32_t>(event.number);
      row.exited = true;
      break;
    }
    case EventKind::kHangKilled: {
      Row& row = RowOf(event);
      row.up = 0;
      ++row.hangKills;
      break;
    }
    case EventKind::kProgramEnded: {
      Row& row = RowOf(event);
      row.lastExitCode = static_cast<std::uint32_t>(event.number);
      row.exited = true;
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
    case EventKind::kDumpFailed: ++dumpFailures_; break;
    default: return;  // nothing of the file changes
  }
  Changed();
}

std::string MetricsBoard::Render(double now) {
  dirty_ = false;
  flushAsked_ = false;
  std::string out;
  Family(out, "morvastel_info", "gauge", "The launcher's version.");
  out += "morvastel_info{version=\"" + EscapeUtf8(version_) + "\"} 1\n";
  Family(out, "morvastel_last_update_timestamp_seconds", "gauge",
         "When the launcher last wrote this file (a stale value means the launcher is gone).");
  out += FormatText("morvastel_last_update_timestamp_seconds %.3f\n", now);
  Family(out, "morvastel_plan_running", "gauge", "1 for the plan that runs, 0 for every other plan of the list.");
  for (std::size_t k = 0; k < plans_.size(); ++k) {
    out += FormatText("morvastel_plan_running{index=\"%zu\",plan=\"%s\"} %d\n", k, EscapeUtf8(plans_[k]).c_str(),
                      static_cast<int>(k) == runningPlan_ ? 1 : 0);
  }
  const std::string plan =
      runningPlan_ >= 0 && static_cast<std::size_t>(runningPlan_) < plans_.size()
          ? EscapeUtf8(plans_[static_cast<std::size_t>(runningPlan_)])
          : std::string();
  struct PerRow {
    const char* name;
    const char* type;
    const char* help;
    std::int64_t Row::*value;
  };
  static const PerRow kPerRow[] = {
      {"morvastel_program_starts_total", "counter", "Launches and relaunches of the row's program.", &Row::starts},
      {"morvastel_program_exits_total", "counter", "Times the row's program exited by itself.", &Row::exits},
      {"morvastel_program_hang_kills_total", "counter", "Times the row's program was killed as hung.", &Row::hangKills},
      {"morvastel_program_launch_failures_total", "counter", "Launches of the row's program that failed.",
       &Row::launchFailures},
      {"morvastel_program_adoptions_total", "counter",
       "Launches that took over a process already running the row's program.", &Row::adoptions},
  };
  Family(out, "morvastel_program_up", "gauge", "1 while the row's program runs, per row of the running plan.");
  for (const auto& [row, r] : rows_) {
    out += FormatText("morvastel_program_up{plan=\"%s\",row=\"%d\",program=\"%s\"} %d\n", plan.c_str(), row + 1,
                      EscapeUtf8(r.program).c_str(), r.up);
  }
  for (const PerRow& metric : kPerRow) {
    Family(out, metric.name, metric.type, metric.help);
    for (const auto& [row, r] : rows_) {
      out += FormatText("%s{plan=\"%s\",row=\"%d\",program=\"%s\"} %" PRId64 "\n", metric.name, plan.c_str(), row + 1,
                        EscapeUtf8(r.program).c_str(), r.*metric.value);
    }
  }
  Family(out, "morvastel_program_last_exit_code", "gauge", "The exit code of the row's program's last end.");
  for (const auto& [row, r] : rows_) {
    if (!r.exited) continue;
    out += FormatText("morvastel_program_last_exit_code{plan=\"%s\",row=\"%d\",program=\"%s\"} %" PRId64 "\n",
                      plan.c_str(), row + 1, EscapeUtf8(r.program).c_str(), r.lastExitCode);
  }
  Family(out, "morvastel_heartbeat_listener_up", "gauge", "1 when the heartbeat listener is open.");
  out += FormatText("morvastel_heartbeat_listener_up %d\n", listenerUp_);
  Family(out, "morvastel_heartbeat_ids", "gauge", "Process ids in the liveness table.");
  out += FormatText("morvastel_heartbeat_ids %" PRId64 "\n", ids_);
  Family(out, "morvastel_heartbeats_received_total", "counter", "Heartbeats taken into the liveness table.");
  out += FormatText("morvastel_heartbeats_received_total %" PRId64 "\n", heartbeats_);
  Family(out, "morvastel_heartbeats_dropped_total", "counter",
         "Heartbeats dropped: of the wrong length, or from another host.");
  out += FormatText("morvastel_heartbeats_dropped_total{reason=\"length\"} %" PRId64 "\n", droppedLength_);
  out += FormatText("morvastel_heartbeats_dropped_total{reason=\"foreign\"} %" PRId64 "\n", droppedForeign_);
  Family(out, "morvastel_exit_notices_sent_total", "counter", "Exit notices sent at a stop.");
  out += FormatText("morvastel_exit_notices_sent_total %" PRId64 "\n", notices_);
  Family(out, "morvastel_hang_dumps_total", "counter", "Minidumps written of programs about to be killed as hung.");
  out += FormatText("morvastel_hang_dumps_total %" PRId64 "\n", dumps_);
  Family(out, "morvastel_hang_dump_failures_total", "counter", "Minidumps of hung programs that could not be written.");
  out += FormatText("morvastel_hang_dump_failures_total %" PRId64 "\n", dumpFailures_);
  return out;
}
