#pragma once
// What the window's clicks ask of the supervision it shows. The window is
// one dialog with two of these behind it: the runner in its own process
// (the launcher), or another launcher behind its control pipe (a view of
// the service, or of a launcher in another session). Platform-free.
#include "control/control_protocol.h"
#include "report/event.h"

class Supervision {
 public:
  virtual ~Supervision() = default;
  // The plan that runs, -1 for none: it decides what the button and the
  // tray's items do.
  virtual int RunningPlan() const = 0;
  // The start/stop button or a tray item, with `chosen` in the chooser.
  virtual void StartStop(int chosen, EventSource source) = 0;
  // The chooser's selection changed to `plan`.
  virtual void ShowPlan(int plan) = 0;
  // The box of row `row` (from 0) of the plan shown changed to `ticked`.
  virtual void Tick(int row, bool ticked) = 0;
  // An option's box, or the interval's text (its clamped seconds).
  virtual void SetOption(WindowOption option, int value) = 0;
};
