#include "control/launcher_view.h"

#include <algorithm>
#include <memory>

#include "control/control_board.h"
#include "text/encoding.h"
#include "text/format_text.h"
#include "text/texts.h"

namespace {

std::string Gbk(const std::string& utf8) { return Utf16ToGbk(Utf8ToUtf16(utf8)); }

const JsonValue* Member(const JsonValue& object, std::string_view key, JsonValue::Type type) {
  const JsonValue* v = object.Find(key);
  return v && v->type() == type ? v : nullptr;
}

}  // namespace

bool ReadLauncherView(const JsonValue& status, LauncherView& view) {
  const JsonValue* launcher = Member(status, "launcher", JsonValue::Type::kObject);
  const JsonValue* window = Member(status, "window", JsonValue::Type::kObject);
  const JsonValue* plans = Member(status, "plans", JsonValue::Type::kArray);
  if (status.Integer("schema", 0) < kStatusSchema || !launcher || !window || !plans) return false;
  LauncherView read;
  read.revision = static_cast<std::uint64_t>(std::max<std::int64_t>(status.Integer("revision", 0), 0));
  read.pid = static_cast<std::uint32_t>(std::clamp<std::int64_t>(launcher->Integer("pid", 0), 0, 0xFFFFFFFF));
  read.port = static_cast<std::uint16_t>(std::clamp<std::int64_t>(launcher->Integer("port", 0), 0, 65535));
  read.service = launcher->Bool("service");
  read.title = Gbk(launcher->String("title"));
  read.rerun = window->Bool("rerun", true);
  read.notify = window->Bool("notify", true);
  read.detect = window->Bool("detect", true);
  read.interval = static_cast<int>(std::clamp<std::int64_t>(window->Integer("interval", 30), kMinInterval, kMaxInterval));
  const std::string shownName = window->String("plan");
  const bool anyShown = window->Find("plan") && window->Find("plan")->type() == JsonValue::Type::kString;
  for (const JsonValue& plan : plans->items()) {
    if (plan.type() != JsonValue::Type::kObject) continue;
    const int k = static_cast<int>(read.catalogue.PlanCount());
    const std::string name = plan.String("name");
    read.catalogue.AddPlan(Gbk(name));
    const bool running = plan.Bool("running");
    if (running && read.runningPlan < 0) {
      read.runningPlan = k;
      read.catalogue.m_planRunning.back() = 1;
    }
    // The first plan of that name, as the launcher finds a plan by name.
    if (anyShown && read.shownPlan < 0 && name == shownName) read.shownPlan = k;
    const JsonValue* programs = Member(plan, "programs", JsonValue::Type::kArray);
    if (!programs) continue;
    for (const JsonValue& row : programs->items()) {
      if (row.type() != JsonValue::Type::kObject) continue;
      auto entry = std::make_unique<LaunchEntry>();
      entry->programPath = Gbk(row.String("program"));
      entry->runDirectory = Gbk(row.String("folder"));
      entry->commandLine = Gbk(row.String("command_line"));
      entry->delaySeconds =
          static_cast<std::int32_t>(std::clamp<std::int64_t>(row.Integer("delay", 0), INT32_MIN, INT32_MAX));
      entry->enabled = row.Bool("ticked") ? 1 : 0;
      if (k == read.shownPlan) read.status.push_back(Gbk(row.String("status")));
      read.catalogue.AddEntry(std::move(entry));
    }
  }
  read.catalogue.CloseLastPlan();
  view = std::move(read);
  return true;
}

bool SameLayout(const Catalogue& x, const Catalogue& y) {
  if (x.m_planNames != y.m_planNames || x.m_planRanges != y.m_planRanges || x.m_entries.size() != y.m_entries.size()) {
    return false;
  }
  for (std::size_t i = 0; i < x.m_entries.size(); ++i) {
    const LaunchEntry& e = *x.m_entries[i];
    const LaunchEntry& f = *y.m_entries[i];
    if (e.programPath != f.programPath || e.runDirectory != f.runDirectory || e.commandLine != f.commandLine ||
        e.delaySeconds != f.delaySeconds) {
      return false;
    }
  }
  return true;
}

std::string ViewCaption(const LauncherView& view, ViewLink link) {
  const unsigned port = view.port;
  if (link == ViewLink::kGone) return FormatText(texts::kViewGone, view.title.c_str(), port);
  if (view.service) return FormatText(texts::kViewOfService, view.title.c_str(), port);
  return FormatText(texts::kViewOfLauncher, view.title.c_str(), static_cast<unsigned long>(view.pid), port);
}

bool StartStopRequest(const LauncherView& view, int chosen, ControlRequest& request) {
  request = ControlRequest{};
  if (view.runningPlan >= 0) {
    request.command = ControlCommand::kStop;
    return true;
  }
  if (!view.catalogue.HasPlan(chosen)) return false;
  request.command = ControlCommand::kStart;
  request.plan = GbkToUtf8(view.catalogue.m_planNames[static_cast<std::size_t>(chosen)]);
  return true;
}

ControlRequest ShowRequest(const LauncherView& view, int plan) {
  ControlRequest request;
  request.command = ControlCommand::kShow;
  if (view.catalogue.HasPlan(plan)) request.plan = GbkToUtf8(view.catalogue.m_planNames[static_cast<std::size_t>(plan)]);
  return request;
}

ControlRequest TickRequest(int row, bool ticked) {
  ControlRequest request;
  request.command = ControlCommand::kRow;
  request.row = static_cast<std::uint32_t>(row) + 1;
  request.action = ticked ? RowAction::kTick : RowAction::kUntick;
  return request;
}

ControlRequest OptionRequest(WindowOption option, int value) {
  ControlRequest request;
  request.command = ControlCommand::kSet;
  request.option = option;
  if (option == WindowOption::kInterval) {
    request.value = static_cast<std::uint32_t>(std::clamp<int>(value, kMinInterval, kMaxInterval));
  } else {
    request.value = value != 0 ? 1 : 0;
  }
  return request;
}
