#pragma once
// The metrics file (`/m PATH`): the launcher's state and counters in the
// Prometheus text exposition format (version 0.0.4), kept from the event
// stream alone, for a Windows exporter's textfile collector to publish.
// Counters count from the launcher's start. Every series carries the
// launcher's heartbeat port as its first label, `port`: two launchers on one
// machine write two files into the same folder, and the collector refuses a
// scrape that holds one series twice.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "report/event.h"
#include "report/exit_window.h"

class MetricsBoard : public EventSink {
 public:
  // `changed` is called when an event changed a value and the file is due to
  // be written again (once until Render is next called): the window coalesces
  // a burst of events into one write. `port` gives the launcher's heartbeat
  // port (/p, which also names its control pipe); it is asked at every
  // Render, because the launch list's header lines may set it after the
  // board is made. Without it the series say the default port.
  explicit MetricsBoard(std::function<void()> changed = {}, std::function<std::uint16_t()> port = {})
      : changed_(std::move(changed)), port_(std::move(port)) {}

  void OnEvent(const Event& event) override;

  // The whole file, LF line ends, ending in a line feed. `now` is the Unix
  // time of the writing, in seconds.
  std::string Render(double now);
  // Whether an event changed a value since the last Render.
  bool dirty() const { return dirty_; }

  // A row's state, one series each; crash-looping (exit_window.h) stands
  // for running or exited while it lasts. Unwatched is every row's in the
  // last file, written as the launcher ends: whatever still runs, nobody
  // relaunches it or kills it as hung. Ending: a stop or a row's stop has
  // ended its program, or asked it to close (/g), and it has not gone yet.
  enum class State {
    kWaiting, kUnticked, kRunning, kExited, kFailed, kDumping, kCrashLooping, kHeld, kEnding, kUnwatched
  };

 private:
  struct Listed {
    std::string program;  // file name, UTF-8
    std::int64_t delay = 0;
  };
  struct Row {
    std::string program;  // file name, UTF-8
    std::int64_t delay = 0;
    State state = State::kWaiting;
    bool attempted = false;  // its launch in this run was tried
    std::int64_t up = 0;
    std::int64_t starts = 0, exits = 0, hangKills = 0, launchFailures = 0, adoptions = 0;
    std::int64_t lastExitCode = 0;
    std::int64_t staleFile = 0;  // 1: it runs a file replaced at the row's path since it started
    bool exited = false;  // lastExitCode is meaningful
    std::uint32_t askedPid = 0;  // a stop asked this process to close, and it has not yet
    ExitWindow exitWindow;
  };
  void Changed();
  // The running plan's row of `event`, or null for another plan's.
  Row* RowOf(const Event& event);
  // Applies an event about a row; false when nothing of the file changed.
  bool OnRowEvent(const Event& event);
  static State Shown(const Row& row, std::uint32_t now);

  std::function<void()> changed_;
  std::function<std::uint16_t()> port_;
  bool dirty_ = true;
  bool flushAsked_ = false;
  std::string version_;
  int listRead_ = 0;
  std::int64_t listPlans_ = 0;
  std::vector<std::string> plans_;  // UTF-8 names by index
  std::vector<std::vector<Listed>> listed_;  // every plan's rows, by plan and row
  int runningPlan_ = -1;
  // Rows of the running plan by row index; after its stop, those it asked to
  // close until they have (rowsPlan_ is then the stopped plan).
  std::map<int, Row> rows_;
  int rowsPlan_ = -1;
  std::uint32_t now_ = 0;  // the last kTick's seconds
  int listenerUp_ = 0;
  int controlUp_ = 0;  // the control pipe serves
  std::int64_t heartbeats_ = 0, ids_ = 0, droppedLength_ = 0, droppedForeign_ = 0, notices_ = 0;
  std::int64_t dumps_ = 0, dumpFailures_ = 0;
  std::int64_t stopEndings_[3] = {};  // by StopEnding: Ctrl-C, window, ended
  bool ended_ = false;  // kLauncherEnding: the launcher, its plan and its programs are down
};

// A label value as the format wants it: UTF-8 (from GBK), with backslash,
// double quote and line feed escaped. Any input gives a valid value.
std::string MetricsLabelValue(const std::string& gbk);

// Writes `bytes` as the whole new content of the file at `path`: first
// to PATH.tmp in the same folder, then moved over PATH in one step, so a
// reader sees the old file or the new one, never half of one (Windows side,
// metrics_file_win.cpp). Returns 0, or the Windows error; on failure the
// old file stays and no temporary is left behind.
std::uint32_t ReplaceFileWhole(const std::u16string& path, const std::string& bytes);
