#pragma once
// The window as a view of a launcher that runs in another process (the
// service, or a launcher of another session): what the window shows, read
// from that launcher's status object, and the request each click makes of
// it. The window is the same dialog either way; this is what it reads and
// sends when its plan runs elsewhere. Platform-free: the link that polls
// the pipe is ui/launcher_link_win.
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "control/control_protocol.h"
#include "control/json_reader.h"

struct LauncherView {
  std::uint64_t revision = 0;
  std::uint32_t pid = 0;
  std::uint16_t port = 0;
  bool service = false;
  std::string title;  // the launcher's caption, GBK
  // The launcher's plans and rows as its list gave them; each entry's
  // `enabled` holds the row's tick, and the running plan is marked in
  // m_planRunning as the tray menu reads it.
  Catalogue catalogue;
  int shownPlan = -1;    // the plan the launcher's window shows
  int runningPlan = -1;  // the plan that runs there, -1 for none
  // The status column of the shown plan's rows, GBK.
  std::vector<std::string> status;
  bool rerun = true, notify = true, detect = true;
  int interval = 30;
};

// Reads a status object into `view`; false, with `view` untouched, for an
// object that is not a launcher's status with its window (an older
// launcher's, or none).
bool ReadLauncherView(const JsonValue& status, LauncherView& view);

// Whether the two hold the same plans with the same rows (names, programs,
// folders, command lines, delays): the window then keeps its chooser and
// list and updates ticks, states and options in place.
bool SameLayout(const Catalogue& a, const Catalogue& b);

// How the view stands with its launcher.
enum class ViewLink { kConnected, kGone };
// The caption (GBK): a view of the service or of the launcher with its pid,
// or that the launcher went away.
std::string ViewCaption(const LauncherView& view, ViewLink link);

// The start/stop button with `chosen` selected in the chooser: a stop when
// a plan runs there, else a start of `chosen`; false when there is nothing
// to ask (no plan chosen).
bool StartStopRequest(const LauncherView& view, int chosen, ControlRequest& request);
// The chooser's selection, a row's box (row from 0 in the shown plan), an
// option's box or the interval's text (clamped as the window clamps it).
ControlRequest ShowRequest(const LauncherView& view, int plan);
ControlRequest TickRequest(int row, bool ticked);
ControlRequest OptionRequest(WindowOption option, int value);
