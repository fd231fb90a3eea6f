#pragma once
// What the control pipe's `status` answers: the launcher, every plan of the
// list with its programs, and the servers the last stop spared. The rows'
// states, process ids and counters are kept from the event stream; the
// plans and their programs come from the catalogue; what only the window
// and the process host know (a row's tick, a process still ending) is asked
// for when the object is written.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catalogue/catalogue.h"
#include "report/event.h"
#include "report/exit_window.h"

// The status object's layout; a client that reads it checks this first.
inline constexpr int kStatusSchema = 2;

// What the window knows of one row of a plan.
struct RowFacts {
  bool ticked = false;
  // The row's process, terminated by this launcher and not gone yet (a
  // hang kill, a stop, a row's stop); 0 for none.
  std::uint32_t endingPid = 0;
  // The row's status column (GBK): what the window shows for it.
  std::string status;
};

// What the window shows besides its rows, for the status object's
// "window": a view of this launcher shows the same.
struct WindowFacts {
  std::string title;   // the window's caption (GBK)
  int shownPlan = -1;  // the plan the chooser shows, -1 for none
  bool rerun = true, notify = true, detect = true;
  int interval = 30;
  // Counts every change of what the status object says but the seconds: a
  // view that polls it reads the whole object only when it moved.
  std::uint64_t revision = 0;
};

// The launcher itself, for the status object's "launcher".
struct LauncherFacts {
  std::uint32_t pid = 0;
  std::uint16_t port = 0;
  // The paths of /l, /m and /d, UTF-8; empty when not given.
  std::string journal, metrics, dumps;
  // The launcher's current folder, where relative paths start (the list's
  // own, a row's program and folder), UTF-8.
  std::string folder;
  // Run by the service manager (/service), not on a desktop.
  bool service = false;
  WindowFacts window;
};

class ControlBoard : public EventSink {
 public:
  void OnEvent(const Event& event) override;

  // The whole status object, JSON in pure ASCII on one line.
  std::string StatusJson(const Catalogue& catalogue, const LauncherFacts& launcher,
                         const std::function<RowFacts(int plan, int row)>& facts) const;

  int runningPlan() const { return runningPlan_; }

 private:
  struct Row {
    const char* state = "idle";
    std::uint32_t pid = 0;  // 0 unless the program runs
    std::int64_t relaunches = 0;
    bool exited = false;    // lastExitCode holds an exit code
    std::uint32_t lastExitCode = 0;
    ExitWindow exitWindow;  // its own exits, for crash_looping
    bool staleFile = false; // it runs a file replaced at the row's path since it started
  };
  // A server spared by a stop that has not ended yet.
  struct Spared {
    std::string plan;     // GBK
    int row = -1;
    std::string program;  // GBK
    std::uint32_t pid = 0;
  };
  // A program a stop asked to close (/g) that has not closed yet.
  struct Asked {
    std::uint32_t pid = 0;
    std::uint32_t at = 0;      // the kTick seconds of its ask
    std::int64_t grace = 0;    // the seconds it was given
  };
  const char* Shown(const Row& row) const;
  void Unspare(std::uint32_t pid);

  std::string version_;
  std::string listPath_;  // GBK
  int runningPlan_ = -1;
  std::map<int, Row> rows_;  // rows of the running plan by row index
  std::vector<Spared> spared_;
  std::map<std::pair<int, int>, Asked> asked_;  // by plan and row, in any plan
  std::uint32_t now_ = 0;  // the last kTick's seconds
};

// The first plan, in list order, whose name is `utf8`, matched exactly after
// conversion to the list's GBK; -1 when none is (a name with characters that
// GBK lacks names no plan).
int FindPlanByName(const Catalogue& catalogue, std::string_view utf8);

// "0xC0000005": an exit code as the Windows error codes are written.
std::string ExitCodeHex(std::uint32_t code);
