#include "control/control_board.h"

#include "text/encoding.h"
#include "control/json_writer.h"

void ControlBoard::OnEvent(const Event& event) {
  switch (event.kind) {
    case EventKind::kLauncherStarted:
      version_ = event.version;
      listPath_ = event.program;
      return;
    case EventKind::kPlanStarted:
      runningPlan_ = event.plan;
      rows_.clear();
      return;
    case EventKind::kPlanStopped:
      runningPlan_ = -1;
      rows_.clear();
      return;
    default:
      break;
  }
  if (event.plan != runningPlan_ || event.plan < 0 || event.row < 0) return;
  Row& row = rows_[event.row];
  switch (event.kind) {
    case EventKind::kCountdown:
      row.state = "waiting";
      break;
    case EventKind::kRowUnticked:
      // A program launched before its row was unticked still runs.
      if (row.pid == 0) row.state = "unticked";
      break;
    case EventKind::kProgramLaunched:
    case EventKind::kProgramKept:
    case EventKind::kProgramAdopted:
    case EventKind::kProgramRelaunched:
      row.state = "running";
      row.pid = event.pid;
      if (event.kind == EventKind::kProgramRelaunched) row.relaunches = event.number;
      break;
    case EventKind::kLaunchFailed:
      row.state = "launch_failed";
      row.pid = 0;
      break;
    case EventKind::kProgramHeld:
      // A process that may be the row's runs; the launch waits for it.
      row.state = "held";
      row.pid = 0;
      break;
    case EventKind::kProgramExited:
      row.state = "exited";
      [[fallthrough]];
    case EventKind::kProgramEnded:
      row.pid = 0;
      row.exited = true;
      row.lastExitCode = static_cast<std::uint32_t>(event.number);
      break;
    case EventKind::kHangKilled:
      row.state = "hang_killed";
      row.pid = 0;
      break;
    default:
      break;
  }
}

std::string ControlBoard::StatusJson(const Catalogue& catalogue, std::uint32_t pid, std::uint16_t port,
                                     const std::function<bool(int plan, int row)>& ticked) const {
  JsonWriter json;
  json.BeginObject().Key("launcher").BeginObject();
  json.Key("pid").Number(pid).Key("version").String(version_).Key("list").Gbk(listPath_);
  json.Key("port").Number(port).EndObject();
  json.Key("plans").BeginArray();
  const std::size_t entries = catalogue.m_entries.size();
  for (std::size_t k = 0; k < catalogue.PlanCount(); ++k) {
    const int plan = static_cast<int>(k);
    const PlanRange range = catalogue.Range(plan);
    // A range outside the entries (never built by the reader) shows no rows.
    std::size_t first = 0, count = 0;
    if (range.first >= 0 && range.count > 0 && static_cast<std::size_t>(range.first) <= entries &&
        static_cast<std::size_t>(range.count) <= entries - static_cast<std::size_t>(range.first)) {
      first = static_cast<std::size_t>(range.first);
      count = static_cast<std::size_t>(range.count);
    }
    const bool running = plan == runningPlan_;
    // Supervision begins once every entry has had its launch attempt.
    const bool supervising = running && k < catalogue.m_planLaunched.size() && catalogue.m_planLaunched[k] == count;
    json.BeginObject().Key("name").Gbk(catalogue.m_planNames[k]);
    json.Key("running").Bool(running).Key("supervising").Bool(supervising);
    json.Key("programs").BeginArray();
    static const Row kIdle;
    for (std::size_t r = 0; r < count; ++r) {
      const auto found = running ? rows_.find(static_cast<int>(r)) : rows_.end();
      const Row& row = found == rows_.end() ? kIdle : found->second;
      json.BeginObject().Key("row").Number(static_cast<std::int64_t>(r));
      json.Key("program").Gbk(catalogue.m_entries[first + r]->programPath);
      json.Key("ticked").Bool(ticked(plan, static_cast<int>(r)));
      json.Key("state").String(row.state);
      json.Key("pid");
      row.pid != 0 ? json.Number(row.pid) : json.Null();
      json.Key("relaunches").Number(row.relaunches);
      json.Key("last_exit_code");
      row.exited ? json.Number(row.lastExitCode) : json.Null();
      json.EndObject();
    }
    json.EndArray().EndObject();
  }
  json.EndArray().EndObject();
  return json.text();
}

int FindPlanByName(const Catalogue& catalogue, std::string_view utf8) {
  bool lossy = false;
  const std::string gbk = Utf16ToGbk(Utf8ToUtf16(utf8), &lossy);
  if (lossy || !IsValidUtf8(utf8)) return -1;
  for (std::size_t k = 0; k < catalogue.PlanCount(); ++k) {
    if (catalogue.m_planNames[k] == gbk) return static_cast<int>(k);
  }
  return -1;
}
