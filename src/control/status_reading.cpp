#include "control/status_reading.h"

#include <vector>

#include "control/control_board.h"

namespace {

const std::vector<JsonValue>& Items(const JsonValue& object, std::string_view key) {
  static const std::vector<JsonValue> kNone;
  const JsonValue* v = object.Find(key);
  return v && v->type() == JsonValue::Type::kArray ? v->items() : kNone;
}

bool IsStatus(const JsonValue& status) {
  const JsonValue* plans = status.Find("plans");
  return status.Integer("schema", 0) >= kStatusSchema && plans && plans->type() == JsonValue::Type::kArray;
}

// What a plan held in its launch phase goes without.
constexpr char kNoSupervision[] = ": no relaunch, no hang kill";

CheckVerdict Verdict(CheckCode code, const std::string& text) {
  static const char* const kWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
  CheckVerdict verdict;
  verdict.code = code;
  verdict.line = std::string(kWords[static_cast<int>(code)]) + " - " + text;
  return verdict;
}

}  // namespace

CheckVerdict CheckStatus(const JsonValue& status, std::string_view plan) {
  if (!IsStatus(status)) return Verdict(CheckCode::kUnknown, "not a status object of schema 2");
  const JsonValue* running = nullptr;
  bool named = false;
  for (const JsonValue& p : Items(status, "plans")) {
    named = named || p.String("name") == plan;
    if (p.Bool("running") && !running) running = &p;
  }
  if (!running) return Verdict(CheckCode::kCritical, "no plan runs");
  if (!plan.empty() && running->String("name") != plan) {
    return Verdict(CheckCode::kCritical, named ? "another plan runs" : "no plan of that name");
  }
  const bool supervising = running->Bool("supervising");
  int ticked = 0, up = 0;
  std::string down;  // "row 2 exited, row 5 held"
  std::string held;  // the first row that keeps the plan from supervising
  const auto holds = [&held](const JsonValue& row, const std::string& why) {
    if (held.empty()) held = "row " + std::to_string(row.Integer("row")) + " " + why;
  };
  for (const JsonValue& row : Items(*running, "programs")) {
    const std::string state = row.String("state");
    if (!row.Bool("ticked")) {
      // Unticked before its launch: its launch, and supervision, wait for its tick.
      if (!supervising && state == "unticked") holds(row, "unticked");
      continue;
    }
    // A negative delay never comes: such a row is never launched by itself.
    const std::int64_t delay = row.Integer("delay", 0);
    if (!supervising && delay < 0 && state == "idle") {
      holds(row, "delay " + std::to_string(delay));
      continue;
    }
    ++ticked;
    if (state == "running") {
      ++up;
      continue;
    }
    if (!down.empty()) down += ", ";
    down += "row " + std::to_string(row.Integer("row")) + " " + state;
  }
  const std::string counted = std::to_string(up) + "/" + std::to_string(ticked) + " running";
  const std::string launchPhase = held.empty() ? std::string() : held + kNoSupervision;
  const std::string phase = held.empty() ? "not supervising yet" : "not supervising: " + launchPhase;
  CheckVerdict verdict;
  if (!down.empty()) {
    verdict = Verdict(CheckCode::kWarning, counted + "; " + down + (held.empty() ? "" : "; " + phase));
  } else if (!supervising) {
    verdict = Verdict(CheckCode::kWarning, counted + "; " + phase);
  } else {
    verdict = Verdict(CheckCode::kOk, counted);
  }
  verdict.launchPhase = launchPhase;
  verdict.up = verdict.code == CheckCode::kOk || (!held.empty() && down.empty());
  return verdict;
}

CheckVerdict UnknownVerdict(std::string_view token, std::uint16_t port) {
  return Verdict(CheckCode::kUnknown, std::string(token) + " on port " + std::to_string(port));
}

std::string RunningPlanName(const JsonValue& status) {
  for (const JsonValue& p : Items(status, "plans")) {
    if (p.Bool("running")) return p.String("name");
  }
  return {};
}

bool StopSettled(const JsonValue& status, std::string_view plan) {
  if (!IsStatus(status)) return false;
  for (const JsonValue& p : Items(status, "plans")) {
    // A plan that runs again has its own processes to end.
    if (p.Bool("running") || (!plan.empty() && p.String("name") != plan)) continue;
    for (const JsonValue& row : Items(p, "programs")) {
      if (row.String("state") == "ending") return false;
    }
  }
  for (const JsonValue& s : Items(status, "spared")) {
    if (plan.empty() || s.String("plan") == plan) return false;
  }
  return true;
}

std::uint32_t StatusLauncherPid(const JsonValue& status) {
  const JsonValue* launcher = status.Find("launcher");
  const std::int64_t pid = launcher ? launcher->Integer("pid", 0) : 0;
  return pid > 0 && pid <= 0xFFFFFFFF ? static_cast<std::uint32_t>(pid) : 0;
}
