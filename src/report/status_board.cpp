#include "report/status_board.h"

#include <cinttypes>

#include "text/format_text.h"
#include "text/texts.h"

std::string FormatExitCode(std::uint32_t code) {
  return code >= 0xC0000000u ? FormatText("0x%08" PRIX32, code) : FormatText("%" PRIu32, code);
}

void StatusBoard::OnEvent(const Event& event) {
  switch (event.kind) {
    case EventKind::kPlanStarted:
      plan_ = event.plan;
      askingPlan_ = -1;
      asked_.clear();
      states_.clear();
      rows_.clear();
      changed_.clear();
      return;
    case EventKind::kPlanStopped:
      // A plan that is not running shows nothing: every cell is emptied but
      // those of programs its stop asked to close, until they have.
      for (std::size_t r = 0; r < states_.size(); ++r) {
        if (event.plan != askingPlan_ || r >= asked_.size() || !asked_[r]) states_[r] = Row{};
      }
      for (std::size_t r = 0; r < rows_.size(); ++r) Show(r);
      if (event.plan != askingPlan_) askingPlan_ = -1;
      plan_ = -1;
      return;
    case EventKind::kProgramAsked:
      if (event.plan != plan_ || event.row < 0) return;
      askingPlan_ = event.plan;
      if (asked_.size() <= static_cast<std::size_t>(event.row)) asked_.resize(static_cast<std::size_t>(event.row) + 1);
      asked_[static_cast<std::size_t>(event.row)] = true;
      Set(event.row, FormatText(texts::kStatusAsked, static_cast<int>(event.number)));
      states_[static_cast<std::size_t>(event.row)].exits = ExitWindow{};
      return;
    case EventKind::kProgramClosed: {
      const auto r = static_cast<std::size_t>(event.row);
      if (event.plan != askingPlan_ || event.row < 0 || r >= asked_.size() || !asked_[r]) return;
      asked_[r] = false;
      states_[r] = Row{};
      Show(r);
      bool any = false;
      for (const bool a : asked_) any = any || a;
      if (!any) askingPlan_ = -1;
      return;
    }
    case EventKind::kTick:
      // A loop ends when its oldest exit leaves the five minutes.
      now_ = static_cast<std::uint32_t>(event.number);
      for (std::size_t r = 0; r < states_.size(); ++r) Show(r);
      return;
    default:
      break;
  }
  if (event.plan != plan_ || event.row < 0) return;
  const auto pid = static_cast<unsigned>(event.pid);
  switch (event.kind) {
    case EventKind::kCountdown:
      Set(event.row, FormatText(texts::kStatusWaiting, static_cast<int>(event.number)));
      break;
    case EventKind::kRowUnticked:
      Set(event.row, texts::kStatusUnticked);
      break;
    case EventKind::kProgramLaunched:
    case EventKind::kProgramKept:
      Set(event.row, FormatText(texts::kStatusRunning, pid));
      break;
    case EventKind::kProgramRelaunched:
      Set(event.row, FormatText(texts::kStatusRelaunched, static_cast<int>(event.number), pid));
      break;
    case EventKind::kLaunchFailed:
      Set(event.row, FormatText(texts::kStatusLaunchFailed, static_cast<unsigned>(event.error)));
      break;
    case EventKind::kProgramExited:
      Set(event.row, FormatText(texts::kStatusExited,
                            FormatExitCode(static_cast<std::uint32_t>(event.number)).c_str()));
      states_[static_cast<std::size_t>(event.row)].exits.Exited(now_);
      Show(static_cast<std::size_t>(event.row));
      break;
    case EventKind::kHangKilled:
      Set(event.row, texts::kStatusHangKilled);
      break;
    case EventKind::kDumpStarted:
      Set(event.row, texts::kStatusDumping);
      break;
    case EventKind::kProgramAdopted:
      Set(event.row, FormatText(texts::kStatusAdopted, pid));
      break;
    case EventKind::kProgramHeld: {
      const auto reason = static_cast<HoldReason>(event.number);
      Set(event.row, FormatText(reason == HoldReason::kOtherLauncher ? texts::kStatusHeldByLauncher
                                : reason == HoldReason::kUnreadable || reason == HoldReason::kFolder
                                    ? texts::kStatusHeldUnreadable
                                : reason == HoldReason::kEnding ? texts::kStatusHeldEnding
                                : reason == HoldReason::kReading ? texts::kStatusHeldReading
                                                                : texts::kStatusHeldAmbiguous,
                                pid));
      break;
    }
    default:
      break;
  }
}

void StatusBoard::Set(int row, std::string text) {
  const auto r = static_cast<std::size_t>(row);
  if (r >= states_.size()) states_.resize(r + 1);
  states_[r].text = std::move(text);
  Show(r);
}

void StatusBoard::Show(std::size_t r) {
  if (r >= rows_.size()) {
    rows_.resize(r + 1);
    changed_.resize(r + 1, false);
  }
  const Row& row = states_[r];
  std::string text = row.exits.Looping(now_) ? FormatText(texts::kStatusCrashLooping, row.text.c_str()) : row.text;
  if (rows_[r] == text) return;
  rows_[r] = std::move(text);
  changed_[r] = true;
}

std::vector<std::pair<int, std::string>> StatusBoard::TakeChanges() {
  std::vector<std::pair<int, std::string>> changes;
  for (std::size_t r = 0; r < changed_.size(); ++r) {
    if (!changed_[r]) continue;
    changes.emplace_back(static_cast<int>(r), rows_[r]);
    changed_[r] = false;
  }
  return changes;
}
