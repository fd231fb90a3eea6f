#pragma once
// The status column of the program list, kept from the event stream alone:
// one short text per row of the running plan, and which rows changed since
// the window last drew them, so it redraws only those cells. A row that
// crash-loops (see exit_window.h) says so before its text.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "report/event.h"
#include "report/exit_window.h"

class StatusBoard : public EventSink {
 public:
  void OnEvent(const Event& event) override;

  // The running plan (-1 for none) and its rows' texts, GBK.
  int plan() const { return plan_; }
  // The plan the texts belong to: the running one, or the one a stop left
  // with programs asked to close (whose rows say so until each has closed
  // or been ended); -1 for none.
  int cellsPlan() const { return plan_ >= 0 ? plan_ : askingPlan_; }
  const std::vector<std::string>& rows() const { return rows_; }
  // The rows whose text changed since the last call, with their texts.
  std::vector<std::pair<int, std::string>> TakeChanges();

 private:
  struct Row {
    std::string text;  // what the last event said
    ExitWindow exits;
  };
  // Sets the row's text and shows it (after the crash-loop mark when it loops).
  void Set(int row, std::string text);
  void Show(std::size_t row);

  int plan_ = -1;
  int askingPlan_ = -1;
  std::vector<bool> asked_;  // rows of askingPlan_ whose programs were asked to close
  std::uint32_t now_ = 0;
  std::vector<Row> states_;
  std::vector<std::string> rows_;  // as shown
  std::vector<bool> changed_;
};

// An exit code as the operator reads it: crashes (0xC0000000 and up, such as
// 0xC0000005) in hex, every other code in decimal.
std::string FormatExitCode(std::uint32_t code);
