#include "report/status_board.h"

#include <cinttypes>

#include "app/format_text.h"
#include "app/texts.h"

std::string FormatExitCode(std::uint32_t code) {
  return code >= 0xC0000000u ? FormatText("0x%08" PRIX32, code) : FormatText("%" PRIu32, code);
}

void StatusBoard::OnEvent(const Event& event) {
  switch (event.kind) {
    case EventKind::kPlanStarted:
      plan_ = event.plan;
      rows_.clear();
      changed_.clear();
      return;
    case EventKind::kPlanStopped:
      // A plan that is not running shows nothing: every cell is emptied.
      for (std::size_t r = 0; r < rows_.size(); ++r) Set(static_cast<int>(r), std::string());
      plan_ = -1;
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
      break;
    case EventKind::kHangKilled:
      Set(event.row, texts::kStatusHangKilled);
      break;
    case EventKind::kProgramAdopted:
      Set(event.row, FormatText(texts::kStatusAdopted, pid));
      break;
    case EventKind::kProgramHeld: {
      const auto reason = static_cast<HoldReason>(event.number);
      Set(event.row, FormatText(reason == HoldReason::kOtherLauncher ? texts::kStatusHeldByLauncher
                                : reason == HoldReason::kUnreadable  ? texts::kStatusHeldUnreadable
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
  if (r >= rows_.size()) {
    rows_.resize(r + 1);
    changed_.resize(r + 1, false);
  }
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
