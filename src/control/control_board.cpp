#include "control/control_board.h"

#include "text/encoding.h"
#include "control/json_writer.h"

void ControlBoard::Unspare(std::uint32_t pid) {
  for (auto it = spared_.begin(); it != spared_.end(); ++it) {
    if (it->pid == pid) {
      spared_.erase(it);
      return;
    }
  }
}

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
    case EventKind::kTick:
      now_ = static_cast<std::uint32_t>(event.number);
      return;
    case EventKind::kProgramSpared:
      // Its end is told (kProgramEnded) once it has saved; a next plan's row
      // of the same program may keep it before that.
      if (event.pid != 0) spared_.push_back({event.planName, event.row, event.program, event.pid});
      return;
    case EventKind::kProgramAsked:
      if (event.row >= 0) asked_[{event.plan, event.row}] = Asked{event.pid, now_, event.number};
      break;
    case EventKind::kProgramClosed: {
      const auto it = asked_.find({event.plan, event.row});
      if (it != asked_.end() && it->second.pid == event.pid) asked_.erase(it);
      break;
    }
    case EventKind::kProgramEnded:
    case EventKind::kProgramKept:
    case EventKind::kProgramAdopted:
      Unspare(event.pid);
      break;
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
      if (event.kind != EventKind::kProgramKept) row.staleFile = IsReplacedFileTakeover(event);
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
    case EventKind::kDumpStarted:
      // Picked as hung: it still runs while its dump is written.
      row.state = "dumping";
      break;
    case EventKind::kProgramExited:
      row.state = "exited";
      row.exitWindow.Exited(now_);
      row.pid = 0;
      row.exited = true;
      row.lastExitCode = static_cast<std::uint32_t>(event.number);
      break;
    case EventKind::kProgramEnded:
      // The end of a process the launcher terminated; a spared server of an
      // earlier run of this plan ending now is not the row's process.
      if (row.pid != 0 && row.pid != event.pid) break;
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

const char* ControlBoard::Shown(const Row& row) const {
  // As the status column and the metrics: three exits of its own within
  // five minutes stand for running or exited while they last.
  const std::string_view state = row.state;
  if ((state == "running" || state == "exited") && row.exitWindow.Looping(now_)) return "crash_looping";
  return row.state;
}

std::string ControlBoard::StatusJson(const Catalogue& catalogue, const LauncherFacts& launcher,
                                     const std::function<RowFacts(int plan, int row)>& facts) const {
  JsonWriter json;
  const auto pathOrNull = [&json](const std::string& path) { path.empty() ? json.Null() : json.String(path); };
  json.BeginObject().Key("schema").Number(kStatusSchema);
  json.Key("revision").Number(static_cast<std::int64_t>(launcher.window.revision));
  json.Key("launcher").BeginObject();
  json.Key("pid").Number(launcher.pid).Key("version").String(version_).Key("list").Gbk(listPath_);
  json.Key("port").Number(launcher.port).Key("folder").String(launcher.folder);
  json.Key("service").Bool(launcher.service).Key("title").Gbk(launcher.window.title);
  json.Key("journal");
  pathOrNull(launcher.journal);
  json.Key("metrics");
  pathOrNull(launcher.metrics);
  json.Key("dumps");
  pathOrNull(launcher.dumps);
  json.EndObject();
  const WindowFacts& window = launcher.window;
  json.Key("window").BeginObject().Key("plan");
  catalogue.HasPlan(window.shownPlan) ? json.Gbk(catalogue.m_planNames[static_cast<std::size_t>(window.shownPlan)])
                                      : json.Null();
  json.Key("rerun").Bool(window.rerun).Key("notify").Bool(window.notify).Key("detect").Bool(window.detect);
  json.Key("interval").Number(window.interval).EndObject();
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
      const RowFacts fact = facts(plan, static_cast<int>(r));
      // Terminated and not gone yet: in a stopped plan too, until it is.
      const bool ending = fact.endingPid != 0;
      json.BeginObject().Key("row").Number(static_cast<std::int64_t>(r) + 1);
      const LaunchEntry& entry = *catalogue.m_entries[first + r];
      json.Key("program").Gbk(entry.programPath).Key("folder").Gbk(entry.runDirectory);
      json.Key("command_line").Gbk(entry.commandLine);
      json.Key("ticked").Bool(fact.ticked).Key("delay").Number(entry.delaySeconds);
      json.Key("state").String(ending ? "ending" : Shown(row));
      const std::uint32_t pid = ending ? fact.endingPid : row.pid;
      json.Key("pid");
      pid != 0 ? json.Number(pid) : json.Null();
      // Asked to close: since when, and for how long it may take.
      const auto asked = ending ? asked_.find({plan, static_cast<int>(r)}) : asked_.end();
      const bool isAsked = asked != asked_.end() && asked->second.pid == fact.endingPid;
      json.Key("asked_seconds");
      isAsked ? json.Number(static_cast<std::int64_t>(now_ - asked->second.at)) : json.Null();
      json.Key("grace_seconds");
      isAsked ? json.Number(asked->second.grace) : json.Null();
      json.Key("relaunches").Number(row.relaunches).Key("stale_file").Bool(row.staleFile);
      json.Key("status").Gbk(fact.status);
      json.Key("last_exit_code");
      row.exited ? json.Number(row.lastExitCode) : json.Null();
      json.Key("last_exit_code_hex");
      row.exited ? json.String(ExitCodeHex(row.lastExitCode)) : json.Null();
      json.EndObject();
    }
    json.EndArray().EndObject();
  }
  json.EndArray();
  json.Key("spared").BeginArray();
  for (const Spared& s : spared_) {
    json.BeginObject().Key("plan").Gbk(s.plan).Key("row").Number(static_cast<std::int64_t>(s.row) + 1);
    json.Key("program").Gbk(s.program).Key("pid").Number(s.pid).EndObject();
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

std::string ExitCodeHex(std::uint32_t code) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) text += kHex[(code >> shift) & 0xF];
  return text;
}
