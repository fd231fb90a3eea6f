#pragma once
// What the control pipe's `status` answers: the launcher, and every plan of
// the list with its programs. The rows' states, process ids and counters are
// kept from the event stream alone; the plans and their programs come from
// the catalogue.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "catalogue/catalogue.h"
#include "report/event.h"

class ControlBoard : public EventSink {
 public:
  void OnEvent(const Event& event) override;

  // The whole status object, UTF-8 JSON on one line. `ticked` says whether
  // the row of a plan is ticked (the window knows).
  std::string StatusJson(const Catalogue& catalogue, std::uint32_t pid, std::uint16_t port,
                         const std::function<bool(int plan, int row)>& ticked) const;

  int runningPlan() const { return runningPlan_; }

 private:
  struct Row {
    const char* state = "idle";
    std::uint32_t pid = 0;  // 0 unless the program runs
    std::int64_t relaunches = 0;
    bool exited = false;    // lastExitCode holds an exit code
    std::uint32_t lastExitCode = 0;
  };

  std::string version_;
  std::string listPath_;  // GBK
  int runningPlan_ = -1;
  std::map<int, Row> rows_;  // rows of the running plan by row index
};

// The first plan, in list order, whose name is `utf8`, matched exactly after
// conversion to the list's GBK; -1 when none is (a name with characters that
// GBK lacks names no plan).
int FindPlanByName(const Catalogue& catalogue, std::string_view utf8);
