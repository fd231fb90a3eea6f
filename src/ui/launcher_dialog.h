#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/tray_presence.h"
#include "catalogue/catalogue.h"
#include "catalogue/launch_list.h"
#include "control/control_board.h"
#include "control/control_pipe_win.h"
#include "control/launcher_link_win.h"
#include "control/launcher_view.h"
#include "control/supervision.h"
#include "platform/dialog.h"
#include "platform/scoped.h"
#include "report/status_board.h"
#include "runner/plan_runner.h"
#include "runner/process_host.h"

class LauncherApp;

// While the shell does not take the tray icon, it is tried again this often.
inline constexpr UINT_PTR kTrayRetryTimer = 4;
inline constexpr UINT kTrayRetryMs = 2000;
// A relaunch put off until a second after the program's last start.
inline constexpr UINT_PTR kRelaunchTimer = 5;
// While another process holds the control pipe's name, the pipe is tried
// again this often.
inline constexpr UINT_PTR kControlRetryTimer = 7;
inline constexpr UINT kControlRetryMs = 5000;

// A view's news from its link to the launcher it shows.
inline constexpr UINT WM_VIEW_NEWS = WM_APP + 20;

// The main and only window: plan chooser, program list, start/stop button,
// the supervision options, and the tray icon with its menu. It shows the
// state of a supervision and passes the operator's clicks on to it: its
// own (it owns the catalogue, the option states and the runner with its
// process host), or, as a view, another launcher's behind its control
// pipe when one already serves the port (the service, another session).
class LauncherDialog : public Dialog, private RunnerHost, private EventSink, private Supervision {
 public:
  explicit LauncherDialog(LauncherApp& app);
  ~LauncherDialog() override;

  const Catalogue& catalogue() const { return catalogue_; }
  const RunnerOptions& options() const { return options_; }
  HMENU trayHolderMenu() const { return trayHolder_.get(); }
  HMENU trayPopupMenu() const { return trayPopup_; }

  // Rebuilds the tray menu for the current running flags (without showing it).
  void BuildTrayMenu();

 protected:
  bool WindowProc(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  BOOL OnInitDialog() override;
  void OnDestroyWindow() override;
  // Shows one surplus-line message; a seam so tests need not answer a box.
  virtual void ShowSurplusMessage(const std::string& text);

 private:
  // Fonts, the program list's columns and the options' first states.
  void SetUpControls();
  // The window's icons, the shell's restart message and the tray icon.
  void SetUpShell();
  // Launch list and display.
  LaunchListReport ReadLaunchList();
  void FillPlanChooser();
  void FillProgramList();
  // Commands and timers.
  void OnStartStopPlan(EventSource source = EventSource::kButton);
  void OnTimer(UINT_PTR id);
  // The process host has news: a step of it goes to the runner.
  void OnProcessesDue();
  void RunAutomaticStart();
  // The launcher's own account of itself at start: settings, list, listener.
  void ReportStart(const LaunchListReport& list);
  // Whether ReadLaunchList read the file, and if not, the Windows error.
  bool listRead_ = false;
  unsigned long listError_ = 0;
  // The status column: the event stream's last word on each row.
  void OnEvent(const Event& event) override;
  void ShowStatus(const std::vector<std::pair<int, std::string>>& cells);
  void OnHideWindow();
  // Hides the window until the operator shows it again from the tray.
  void HideWindow();
  void ShowHiddenWindow();
  void OnNotifyCheck();
  void OnDetectCheck();
  void OnIntervalChange();
  // The machine woke up: every program gets a whole interval to speak again.
  void OnPowerBroadcast(WPARAM event);
  // Windows asks whether the session may end, then says whether it does.
  void OnQueryEndSession();
  void OnEndSession(bool ending);
  bool OnPaint();
  // Tray.
  // Adds the icon (retried by a timer while the shell does not take it).
  bool AddTrayIcon();
  // Hides or minimises the window as the tray's presence allows.
  void ApplyLook(TrayPresence::Look look);
  void RemoveTrayIcon();
  // The icon's tip (GBK), kept for when the icon is added again.
  void SetTrayTip(const std::string& tip);
  std::string trayTip_;
  void ShowTrayMenu();
  bool OnTrayNotify(LPARAM mouseMessage);
  bool OnTrayCommand(WPARAM wParam, LPARAM lParam);
  // A tray item that no longer fits the state: journalled, nothing done.
  void TrayItemStale(TrayItem item, int plan);
  // Control pipe (control_dialog.cpp): served once the list's header has
  // been read; its requests are acted on here, as the button would.
  void StartControl();
  // StartControl, with a thread that cannot be created journalled and the
  // pipe left off for the launcher's life.
  void ServeControl();
  void OnControlRequest();
  ControlReply AnswerControl(const ControlRequest& request);
  ControlReply AnswerRow(const ControlRequest& request, int running);
  ControlReply AnswerSet(const ControlRequest& request, int running);
  // A quit's reply has reached its client: the window closes as at Esc.
  void OnControlQuit();

  // Something the status object says has changed (control_dialog.cpp).
  void MarkChanged() { ++revision_; }
  WindowFacts Window();

  // Supervision, by the runner in this process.
  int RunningPlan() const override { return runner_.RunningPlan(); }
  void StartStop(int chosen, EventSource source) override;
  void ShowPlan(int plan) override;
  void Tick(int row, bool ticked) override;
  void SetOption(WindowOption option, int value) override;
  // The operator's click on a row's box, an option's box or the chooser:
  // passed on to the supervision shown, except while the window fills.
  void OnRowBox(int row, bool ticked);

  // The window as a view (view_dialog.cpp). OpenAsView asks whether a
  // launcher serves the port already: if so the window becomes its view
  // and true is returned (also when that launcher refused this user: the
  // window then closes after saying so).
  bool OpenAsView();
  void OnViewNews();
  // Shows what the launcher's status said, or that it went away.
  void ShowView(LauncherView fresh);
  void ShowViewGone();

  // RunnerHost: what the runner asks of the window and the listener.
  bool IsRowChecked(int row) override;
  bool IsRerunChecked() override;
  void BroadcastExitNotice() override;
  StaleProcess TakeStaleProcessId(int interval) override;
  void ForgetHeartbeats(std::uint32_t processId) override;
  void RestartSilences() override;
  void StartTickTimer() override;
  void StopTickTimer() override;
  void WakeIn(std::uint64_t ms) override;
  void ShowRunning(bool running) override;

  LauncherApp& app_;
  RunnerOptions options_;       // notify, detect, detection interval
  ScopedMenu trayHolder_;       // owns the popup attached to it
  HMENU trayPopup_ = nullptr;
  int trayMenuPlan_ = -1;       // the plan that ran when the tray menu was built
  Catalogue catalogue_;
  HICON icon_ = nullptr;
  WindowsProcessHost processes_;
  PlanRunner runner_;
  StatusBoard status_;
  int shownPlan_ = -1;          // the plan whose rows the program list shows
  bool initialising_ = false;   // inside OnInitDialog
  bool autoStartHeld_ = false;  // the automatic start fired during initialisation
  bool keptHidden_ = false;     // hidden on request: nothing else may show it
  bool service_ = false;  // run by the service manager: never shown, no tray icon
  UINT taskbarCreated_ = 0;     // registered message: the shell came back
  TrayPresence tray_;           // hidden only while the icon exists
  ControlBoard controlBoard_;   // what `status` answers, from the events
  ControlServer control_;
  std::uint32_t controlError_ = 0;  // the pipe's last failure journalled; 0 while it serves
  bool controlOff_ = false;     // its thread could not be created
  bool sessionEnding_ = false;  // Windows ends the session: nothing starts any more
  std::uint64_t revision_ = 0;  // the status object's revision

  // What the clicks go to: this window's own runner, or the link's launcher.
  Supervision* supervision_ = this;
  bool viewing_ = false;        // the window is a view of another launcher
  bool filling_ = false;        // the window itself sets boxes and texts: no click
  // While many status cells change at once (a plan's start or stop, a
  // second's countdowns), the program list is not drawn after each: it is
  // drawn once when the last hold ends.
  class HeldDrawing;
  int drawingHeld_ = 0;
  LauncherView view_;           // the last state the viewed launcher gave
  bool viewGone_ = false;       // the viewed launcher does not answer now
  LauncherLink link_;
  std::unique_ptr<RemoteSupervision> remote_;
};
