#include "ui/launcher_dialog.h"

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <system_error>
#include <vector>

#include "app/launcher_app.h"
#include "app/service_win.h"
#include "text/format_text.h"
#include "text/number.h"
#include "text/texts.h"
#include "catalogue/launch_list.h"
#include "platform/files.h"
#include "platform/wide.h"
#include "platform/window_thread.h"
#include "ui/resource_ids.h"

namespace {
constexpr UINT_PTR kTickTimer = 1;
constexpr UINT_PTR kAutoStartTimer = 2;
// At a session's end, the share of its 4.5 s that programs a stop asked to
// close have before they are ended.
constexpr std::chrono::milliseconds kSessionAskShare{2000};
// With /m only: the heartbeat counts and the metrics file's refresh.
constexpr UINT_PTR kMetricsTimer = 3;
constexpr UINT kTickPeriodMs = 1000;
// The process host's news is taken one item at a time for this long at
// most: a burst of a thousand ends is worked off in short steps, however
// long each item takes (under load, every call into the system does). The
// steps after the first come by a timer, the lowest of messages, so that
// clicks, keys and painting go between them.
constexpr std::chrono::milliseconds kNewsStep{8};
constexpr UINT_PTR kNewsTimer = 6;
// Posted at the end of the initialisation when the automatic start fired
// while it ran (a surplus message box was open).
constexpr UINT WM_HELD_AUTOSTART = WM_APP + 1;

static_assert(kIdlePriorityClass == IDLE_PRIORITY_CLASS && kBelowNormalPriorityClass == BELOW_NORMAL_PRIORITY_CLASS,
              "the journal names Windows' priority classes");

// Enter on the start/stop button does nothing: a focused push button would
// otherwise take the default button's place, and a stray Enter would start
// or stop the plan. The button keeps the key, which a push button ignores;
// everywhere else Enter presses 退出, the dialog's default.
LRESULT CALLBACK KeepEnter(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
  if (msg == WM_GETDLGCODE && lParam != 0) {
    const MSG* key = reinterpret_cast<const MSG*>(lParam);
    if (key->message == WM_KEYDOWN && key->wParam == VK_RETURN) {
      return ::DefSubclassProc(hwnd, msg, wParam, lParam) | DLGC_WANTMESSAGE;
    }
  }
  return ::DefSubclassProc(hwnd, msg, wParam, lParam);
}

}  // namespace

LauncherDialog::LauncherDialog(LauncherApp& app)
    : Dialog(IDD_LAUNCHER, nullptr),
      app_(app),
      icon_(::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_LAUNCHER))),
      processes_(catalogue_),
      runner_(catalogue_, *this, processes_, options_, &app.events) {}

LauncherDialog::~LauncherDialog() {
  // Destroy a modeless window here, while this object is still whole.
  if (hwnd()) ::DestroyWindow(hwnd());
}

// ---------------------------------------------------------------------------
// Message routing. Every message passes the tray handling first, then the map.

bool LauncherDialog::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  if (msg == WM_TRAY_NOTIFY) {
    OnTrayNotify(lParam);
  } else if (msg == WM_COMMAND) {
    OnTrayCommand(wParam, lParam);
  } else if (taskbarCreated_ != 0 && msg == taskbarCreated_) {
    if (!service_) AddTrayIcon();  // the shell restarted: put the icon back
  } else if (msg == WM_WINDOWPOSCHANGING && keptHidden_) {
    // The modal loop shows its dialog the first time its queue runs empty,
    // which after a held automatic start comes after the hide: a hidden
    // window is shown only by ShowHiddenWindow.
    reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~static_cast<UINT>(SWP_SHOWWINDOW);
  }
  return Dialog::WindowProc(msg, wParam, lParam, result);
}

bool LauncherDialog::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  switch (msg) {
    case WM_PAINT:
      return OnPaint();
    case WM_QUERYDRAGICON:
      result = reinterpret_cast<LRESULT>(icon_);
      return true;
    case WM_TIMER:
      OnTimer(wParam);
      return true;
    case WM_HELD_AUTOSTART:
      RunAutomaticStart();
      return true;
    case WM_CONTROL_REQUEST:
      OnControlRequest();
      return true;
    case WM_CONTROL_QUIT:
      OnControlQuit();
      return true;
    case WM_POWERBROADCAST:
      OnPowerBroadcast(wParam);
      result = TRUE;
      return true;
    case WM_QUERYENDSESSION:
      OnQueryEndSession();
      result = TRUE;  // never refused: the launcher saves nothing of its own
      return true;
    case WM_ENDSESSION:
      OnEndSession(wParam != FALSE);
      result = 0;
      return true;
    case WM_REPORTS_DUE:
      app_.OnReportsDue();
      return true;
    case WM_PROCESSES_DUE:
      OnProcessesDue();
      return true;
    case WM_VIEW_NEWS:
      OnViewNews();
      return true;
    case WM_NOTIFY: {
      // A row's box: its state image changed, by a click or the keyboard.
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->idFrom != IDC_PROGRAM_LIST || header->code != LVN_ITEMCHANGED) break;
      const auto* change = reinterpret_cast<const NMLISTVIEW*>(lParam);
      if ((change->uChanged & LVIF_STATE) != 0 && change->iItem >= 0 &&
          ((change->uNewState ^ change->uOldState) & LVIS_STATEIMAGEMASK) != 0) {
        OnRowBox(change->iItem, (change->uNewState & LVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2));
      }
      return true;
    }
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      if (lParam == 0) break;  // menu commands were handled before the map
      if (id == IDC_PLAN_CHOOSER && code == CBN_SELENDOK) {
        FillProgramList();
        supervision_->ShowPlan(shownPlan_);
        return true;
      }
      if (id == IDC_RERUN && code == BN_CLICKED) {
        if (!filling_) supervision_->SetOption(WindowOption::kRerun, IsRerunChecked() ? 1 : 0);
        return true;
      }
      if (id == IDC_START_STOP && code == BN_CLICKED) { OnStartStopPlan(); return true; }
      if (id == IDC_HIDE && code == BN_CLICKED) { OnHideWindow(); return true; }
      if (id == IDC_NOTIFY && code == BN_CLICKED) { OnNotifyCheck(); return true; }
      if (id == IDC_DETECT && code == BN_CLICKED) { OnDetectCheck(); return true; }
      if (id == IDC_INTERVAL && code == EN_CHANGE) { OnIntervalChange(); return true; }
      break;
    }
    default:
      break;
  }
  return Dialog::OnMessage(msg, wParam, lParam, result);
}

// ---------------------------------------------------------------------------
// Initialisation.

BOOL LauncherDialog::OnInitDialog() {
  Dialog::OnInitDialog();
  // From here on this thread never waits on the disk (checked).
  MarkWindowThread();
  initialising_ = true;
  app_.SetMainWindow(hwnd());

  int armed = ApplyCommandLine(app_.commandLineArgs(), app_.settings);
  // Under the service manager no one sees the window: it is never shown,
  // and the first plan starts as /r starts it.
  options_.graceSeconds = app_.settings.graceSeconds;
  service_ = app_.settings.mode == Settings::Mode::kService;
  if (service_) {
    keptHidden_ = true;
    armed = std::max(armed, 1);
  } else if (OpenAsView()) {
    return TRUE;
  }
  // The list is named by its full path from here on (the journal, status):
  // a relative /f, or none, says nothing without the folder it started in.
  const std::wstring fullList = FullLongPath(WidePath(app_.settings.listPath));
  app_.settings.listPath.assign(fullList.begin(), fullList.end());
  app_.StartReports();
  app_.events.Add(*this);
  app_.events.Add(controlBoard_);
  processes_.SetDumpFolder(app_.dumpFolder(), app_.files());
  processes_.PostNewsTo(hwnd(), WM_PROCESSES_DUE);
  if (app_.metricsOn()) ::SetTimer(hwnd(), kMetricsTimer, kTickPeriodMs, nullptr);
  // Under the service manager nobody is there to look first: the plan
  // starts as soon as the initialisation is over.
  const UINT autoStartMs = service_ ? USER_TIMER_MINIMUM : 2000;
  for (int i = 0; i < armed; ++i) ::SetTimer(hwnd(), kAutoStartTimer, autoStartMs, nullptr);
  if (!app_.settings.windowTitle.empty()) SetWindowTextGbk(hwnd(), app_.settings.windowTitle);

  SetUpControls();
  const LaunchListReport listReport = ReadLaunchList();
  ServeControl();
  FillPlanChooser();
  ReportStart(listReport);

  SetUpShell();

  initialising_ = false;
  if (autoStartHeld_) ::PostMessageW(hwnd(), WM_HELD_AUTOSTART, 0, 0);
  // The list is read, the listener and the pipe are up or their failures
  // journalled: the service manager hears that the service runs.
  ServiceReady(hwnd());
  return TRUE;
}

void LauncherDialog::SetUpShell() {
  ::SendMessageW(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  ::SendMessageW(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
  taskbarCreated_ = ::RegisterWindowMessageW(L"TaskbarCreated");
  // An elevated launcher would not receive the shell's broadcast from the
  // lower integrity level of Explorer; this one message is let through.
  ::ChangeWindowMessageFilterEx(hwnd(), taskbarCreated_, MSGFLT_ALLOW, nullptr);
  if (!service_) AddTrayIcon();
}

void LauncherDialog::SetUpControls() {
  trayHolder_.reset();
  trayPopup_ = nullptr;

  const HFONT font = app_.dialogFont();
  auto setFont = [&](int id) {
    if (font) ::SendMessageW(Item(id), WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  };
  setFont(IDC_START_STOP);
  ::SetWindowSubclass(Item(IDC_START_STOP), KeepEnter, 0, 0);
  setFont(IDC_HIDE);
  setFont(IDOK);
  SetWindowTextGbk(Item(IDC_INTERVAL), texts::kIntervalDefault);  // raises EN_CHANGE
  for (int id : {IDC_RERUN, IDC_NOTIFY, IDC_DETECT}) {
    setFont(id);
    ::CheckDlgButton(hwnd(), id, BST_CHECKED);
  }
  setFont(IDC_PLAN_CHOOSER);
  setFont(IDC_PROGRAM_LIST);

  const HWND list = Item(IDC_PROGRAM_LIST);
  struct Column {
    const char* text;
    int width;
  } columns[] = {
      {texts::kColumnProgram, 160},
      {texts::kColumnDirectory, 160},
      {texts::kColumnCommandLine, 210},
      {texts::kColumnDelay, 70},
      {texts::kColumnStatus, 0},
  };
  // The status column takes the room the four leave free, less a vertical
  // scroll bar's, so a long plan does not need a horizontal one.
  RECT client{};
  ::GetClientRect(list, &client);
  int room = client.right - client.left - ::GetSystemMetrics(SM_CXVSCROLL);
  for (int i = 0; i < 4; ++i) room -= columns[i].width;
  columns[4].width = room > 40 ? room : 40;
  for (int i = 0; i < 5; ++i) {
    std::wstring text = Wide(columns[i].text);
    LVCOLUMNW column{};
    column.mask = LVCF_FMT | LVCF_TEXT;
    column.fmt = LVCFMT_LEFT;
    column.pszText = text.data();
    ::SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column));
    ::SendMessageW(list, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(i), MAKELPARAM(columns[i].width, 0));
  }
  // Grid lines, check boxes, full-row selection; every other bit cleared.
  ::SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, ~0u,
                 LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
}

LaunchListReport LauncherDialog::ReadLaunchList() {
  LaunchListEvents events;
  events.onTitle = [this](const std::string& title) { SetWindowTextGbk(hwnd(), title); };
  events.onSurplus = [this](const SurplusLine& line) {
    // The header lines are behind us, so the port is final: the control
    // pipe serves (and refuses) while the box is open.
    ServeControl();
    ShowSurplusMessage(FormatText(texts::kSurplusFormat, line.field1.c_str(), line.field2.c_str(),
                                  line.field3.c_str(), line.field5.c_str(), line.surplus.c_str()));
  };
  LaunchListReport report;
  listRead_ = ReadLaunchListFile(app_.settings.listPath, app_.settings, catalogue_, events, nullptr, &report);
  listError_ = listRead_ ? 0 : ::GetLastError();
  return report;
}

void LauncherDialog::ReportStart(const LaunchListReport& list) {
  const Settings& settings = app_.settings;
  const std::string listPath = Utf16ToGbk(settings.listPath);
  Event started;
  started.program = listPath;
  started.detail = FormatText(texts::kDetailStarted, MORVASTEL_VERSION, static_cast<unsigned>(settings.port),
                              settings.bindAddress.empty() ? texts::kDetailAllAddresses
                                                           : settings.bindAddress.c_str(),
                              settings.windowTitle.c_str());
  started.version = MORVASTEL_VERSION;
  app_.Report(started, EventKind::kLauncherStarted);
  if (!settings.graceRejected.empty()) {
    Event rejected;
    rejected.detail = settings.graceRejected;
    app_.Report(rejected, EventKind::kGraceRejected);
  }
  // Task Scheduler starts its programs below normal; the programs the
  // launcher starts run at normal priority all the same.
  const DWORD priority = ::GetPriorityClass(::GetCurrentProcess());
  if (priority == IDLE_PRIORITY_CLASS || priority == BELOW_NORMAL_PRIORITY_CLASS) {
    Event low;
    low.number = priority;
    app_.Report(low, EventKind::kLauncherPriority);
  }

  for (std::size_t k = 0; k < catalogue_.PlanCount(); ++k) {
    Event listed;
    listed.plan = static_cast<int>(k);
    listed.planName = catalogue_.m_planNames[k];
    app_.Report(listed, EventKind::kPlanListed);
    const PlanRange range = catalogue_.Range(listed.plan);
    for (std::int32_t r = 0; r < range.count; ++r) {
      const auto index = static_cast<std::size_t>(range.first) + static_cast<std::size_t>(r);
      if (index >= catalogue_.m_entries.size()) break;
      Event entry = listed;
      entry.row = r;
      entry.program = catalogue_.m_entries[index]->programPath;
      entry.number = catalogue_.m_entries[index]->delaySeconds;
      app_.Report(entry, EventKind::kRowListed);
    }
  }
  Event read;
  read.program = listPath;
  read.number = static_cast<std::int64_t>(catalogue_.PlanCount());
  read.count = listRead_ ? 1 : 0;
  read.error = static_cast<std::uint32_t>(listError_);
  if (!listRead_) read.detail = SystemErrorText(listError_);
  app_.Report(read, EventKind::kListRead);
  Event encoding;
  encoding.detail = ListEncodingDetail(list.encoding);
  if (!encoding.detail.empty()) {
    encoding.program = listPath;
    app_.Report(encoding, EventKind::kListEncoding);
  }
  app_.OpenHeartbeatListener();
}

void LauncherDialog::ServeControl() {
  if (controlOff_) return;
  try {
    StartControl();
  } catch (const std::system_error& error) {
    // The pipe made before its thread goes with it: no client waits on a
    // pipe nobody serves.
    control_.Stop();
    controlOff_ = true;
    Event off;
    off.number = static_cast<int>(Feature::kControlPipe);
    off.error = ERROR_NOT_ENOUGH_MEMORY;
    off.detail = error.what();
    app_.Report(std::move(off), EventKind::kFeatureOff);
  }
}

void LauncherDialog::ShowSurplusMessage(const std::string& text) {
  // A box no one can close would hold the service's start: the journal
  // has the list's read all the same.
  if (service_) return;
  ::MessageBoxW(nullptr, Wide(text).c_str(), Wide(texts::kSurplusCaption).c_str(), MB_OK);
}

void LauncherDialog::FillPlanChooser() {
  const HWND chooser = Item(IDC_PLAN_CHOOSER);
  ::SendMessageW(chooser, CB_RESETCONTENT, 0, 0);
  for (const std::string& name : catalogue_.m_planNames) {
    ::SendMessageW(chooser, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(name).c_str()));
  }
  ::SendMessageW(chooser, CB_SETCURSEL, 0, 0);
  FillProgramList();
}

void LauncherDialog::FillProgramList() {
  const HWND list = Item(IDC_PROGRAM_LIST);
  // The boxes set here are no operator's clicks.
  const bool wasFilling = filling_;
  filling_ = true;
  MarkChanged();
  ::SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  const int plan = static_cast<int>(::SendMessageW(Item(IDC_PLAN_CHOOSER), CB_GETCURSEL, 0, 0));
  shownPlan_ = catalogue_.HasPlan(plan) ? plan : -1;
  const std::vector<ProgramRow> rows = ProgramListRows(catalogue_, plan);
  // Insert each row at the top, last entry first, so the list ends in file order.
  for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
    std::wstring program = Wide(row->program);
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = 0;
    item.pszText = program.data();
    const int index = static_cast<int>(::SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    if (index < 0) continue;
    const std::string* cells[] = {&row->directory, &row->commandLine, &row->delay};
    for (int column = 1; column <= 3; ++column) {
      std::wstring text = Wide(*cells[column - 1]);
      LVITEMW sub{};
      sub.iSubItem = column;
      sub.pszText = text.data();
      ::SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&sub));
    }
    ListView_SetCheckState(list, index, row->checked ? TRUE : FALSE);
  }
  // The running plan's rows show their status again (a view's: the rows
  // of the plan its launcher shows).
  const bool shown = viewing_ ? shownPlan_ >= 0 && shownPlan_ == view_.shownPlan
                              : shownPlan_ >= 0 && shownPlan_ == status_.cellsPlan();
  const std::vector<std::string>& rowTexts = viewing_ ? view_.status : status_.rows();
  if (shown) {
    std::vector<std::pair<int, std::string>> cells;
    for (std::size_t r = 0; r < rowTexts.size(); ++r) cells.emplace_back(static_cast<int>(r), rowTexts[r]);
    ShowStatus(cells);
  }
  filling_ = wasFilling;
}

void LauncherDialog::OnEvent(const Event& event) {
  status_.OnEvent(event);
  const std::vector<std::pair<int, std::string>> changes = status_.TakeChanges();
  if (event.kind != EventKind::kTick || !changes.empty()) MarkChanged();
  // Only the running plan's rows show a status; after a stop its cells empty.
  if (!changes.empty() && (shownPlan_ == status_.cellsPlan() || status_.cellsPlan() < 0)) ShowStatus(changes);
}

// Each cell set redraws its row at once: under Wine a round trip to the
// server each, which a stop of hundreds of programs paid per program. With
// WM_SETREDRAW FALSE the list is drawn once, when it is set TRUE again and
// redrawn as WM_SETREDRAW's documentation says
// (learn.microsoft.com/windows/win32/gdi/wm-setredraw). The program list is
// never hidden, so TRUE shows nothing that was not shown.
class LauncherDialog::HeldDrawing {
 public:
  explicit HeldDrawing(LauncherDialog& dialog) : dialog_(dialog), list_(dialog.Item(IDC_PROGRAM_LIST)) {
    if (dialog_.drawingHeld_++ == 0) ::SendMessageW(list_, WM_SETREDRAW, FALSE, 0);
  }
  ~HeldDrawing() {
    if (--dialog_.drawingHeld_ != 0) return;
    ::SendMessageW(list_, WM_SETREDRAW, TRUE, 0);
    ::RedrawWindow(list_, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
  }
  HeldDrawing(const HeldDrawing&) = delete;
  HeldDrawing& operator=(const HeldDrawing&) = delete;

 private:
  LauncherDialog& dialog_;
  const HWND list_;
};

void LauncherDialog::ShowStatus(const std::vector<std::pair<int, std::string>>& cells) {
  constexpr int kStatusColumn = 4;
  const HWND list = Item(IDC_PROGRAM_LIST);
  std::optional<HeldDrawing> held;
  if (cells.size() > 1) held.emplace(*this);
  for (const auto& [row, text] : cells) {
    std::wstring wide = Wide(text);
    LVITEMW item{};
    item.iSubItem = kStatusColumn;
    item.pszText = wide.data();
    ::SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  }
}

// ---------------------------------------------------------------------------
// Start and stop, timers.

void LauncherDialog::OnStartStopPlan(EventSource source) {
  // The session ends: while its end waits for the spared servers (with the
  // window's messages handled), no click, tray item or control request
  // starts anything.
  if (sessionEnding_) return;
  supervision_->StartStop(static_cast<int>(::SendMessageW(Item(IDC_PLAN_CHOOSER), CB_GETCURSEL, 0, 0)), source);
}

void LauncherDialog::StartStop(int plan, EventSource source) {
  // Whether a plan runs decides, not the button's text: read back through
  // Windows, the text would not compare equal on every code page.
  const HeldDrawing held(*this);
  if (runner_.RunningPlan() >= 0) {
    runner_.Stop(source);
    return;
  }
  if (!catalogue_.HasPlan(plan)) return;  // no plan selected: nothing happens
  // The runner reads the launch switches from the rows: show this plan's.
  if (shownPlan_ != plan) FillProgramList();
  runner_.Start(plan, source);
}

void LauncherDialog::OnTimer(UINT_PTR id) {
  if (id == kTrayRetryTimer) {
    AddTrayIcon();
    return;
  }
  if (id == kNewsTimer) {
    ::KillTimer(hwnd(), kNewsTimer);
    OnProcessesDue();
    return;
  }
  if (id == kControlRetryTimer) {
    ServeControl();
    return;
  }
  if (id == kRelaunchTimer) {
    ::KillTimer(hwnd(), kRelaunchTimer);
    runner_.Wake();
    return;
  }
  if (id == kMetricsTimer) {
    app_.ReportHeartbeats();
    app_.drops.Poll();
    app_.WriteMetrics(true);
    return;
  }
  if (id != kAutoStartTimer) {
    app_.ReportTime();
    // News a lost message or timer left untaken is taken here: no end goes
    // unseen for longer than a tick.
    if (processes_.HasNews()) OnProcessesDue();
    runner_.Tick();
    app_.drops.Poll();
    return;
  }
  if (initialising_) {
    // The list is still being read (a surplus message is open): hold the
    // start until the catalogue and the chooser are complete.
    ::KillTimer(hwnd(), kAutoStartTimer);
    autoStartHeld_ = true;
    return;
  }
  RunAutomaticStart();
}

void LauncherDialog::OnProcessesDue() {
  const auto until = std::chrono::steady_clock::now() + kNewsStep;
  do {
    runner_.TakeProcessNews(1);
  } while (processes_.MoreNews() && std::chrono::steady_clock::now() < until);
  if (!processes_.MoreNews()) return;
  // Without a timer, a message: the rest is never left untaken.
  if (!::SetTimer(hwnd(), kNewsTimer, USER_TIMER_MINIMUM, nullptr)) ::PostMessageW(hwnd(), WM_PROCESSES_DUE, 0, 0);
}

void LauncherDialog::RunAutomaticStart() {
  ::KillTimer(hwnd(), kAutoStartTimer);
  autoStartHeld_ = false;
  // A plan started in the first seconds is left running: the button's
  // toggle would stop it, exit notice and all.
  if (runner_.AutoStartDue()) OnStartStopPlan(EventSource::kAutomaticStart);
  HideWindow();
}

void LauncherDialog::OnHideWindow() { HideWindow(); }

void LauncherDialog::HideWindow() { ApplyLook(service_ ? TrayPresence::Look::kHidden : tray_.HideAsked()); }

void LauncherDialog::ApplyLook(TrayPresence::Look look) {
  if (look == TrayPresence::Look::kHidden) {
    keptHidden_ = true;
    ::ShowWindow(hwnd(), SW_HIDE);
  } else if (look == TrayPresence::Look::kMinimised) {
    // No icon to come back through: reachable from the taskbar instead.
    keptHidden_ = false;
    ::ShowWindow(hwnd(), SW_SHOWMINNOACTIVE);
  }
}

void LauncherDialog::ShowHiddenWindow() {
  tray_.Shown();
  keptHidden_ = false;
  ::ShowWindow(hwnd(), SW_SHOW);
}

void LauncherDialog::OnNotifyCheck() {
  if (!filling_) supervision_->SetOption(WindowOption::kNotify, ::IsDlgButtonChecked(hwnd(), IDC_NOTIFY) == BST_CHECKED);
}

void LauncherDialog::OnDetectCheck() {
  if (!filling_) supervision_->SetOption(WindowOption::kDetect, ::IsDlgButtonChecked(hwnd(), IDC_DETECT) == BST_CHECKED);
}

void LauncherDialog::OnIntervalChange() {
  const int interval = ParseDecimal(WindowTextGbk(Item(IDC_INTERVAL)));
  if (!filling_) {
    supervision_->SetOption(WindowOption::kInterval,
                            std::clamp<int>(interval, static_cast<int>(kMinInterval), static_cast<int>(kMaxInterval)));
  }
}

void LauncherDialog::OnRowBox(int row, bool ticked) {
  if (!filling_) supervision_->Tick(row, ticked);
}

void LauncherDialog::ShowPlan(int) {}

void LauncherDialog::Tick(int, bool) {
  // The list's box is the tick: the runner reads it at its next step.
  MarkChanged();
}

void LauncherDialog::SetOption(WindowOption option, int value) {
  switch (option) {
    case WindowOption::kRerun: break;  // read from its box when needed
    case WindowOption::kNotify: options_.notify = value; break;
    case WindowOption::kDetect: options_.detect = value; break;
    case WindowOption::kInterval: options_.interval = value; break;
  }
  MarkChanged();
}

void LauncherDialog::OnPowerBroadcast(WPARAM event) {
  // Sleep does not advance the heartbeats' clock, but the programs, too, were
  // asleep and need a moment to find their network again.
  if (event == PBT_APMRESUMEAUTOMATIC || event == PBT_APMRESUMESUSPEND) app_.liveness.RestartSilences();
}

void LauncherDialog::OnQueryEndSession() {
  // Windows' shutdown screen names the launcher and why it holds the end
  // while the spared servers save.
  if (runner_.RunningPlan() >= 0) ::ShutdownBlockReasonCreate(hwnd(), Wide(texts::kShutdownBlockReason).c_str());
}

void LauncherDialog::OnEndSession(bool ending) {
  if (!ending) {
    // The end was cancelled: the plan runs on as before.
    ::ShutdownBlockReasonDestroy(hwnd());
    return;
  }
  // Windows may end the launcher at any moment once this returns, and offers
  // to end it (on a forced restart: ends it) 5 s after it was sent ("Shutdown
  // Changes for Windows Vista",
  // learn.microsoft.com/windows/win32/shutdown/shutdown-changes-for-windows-vista):
  // the stop, the servers' ends and the last lines happen now, as at the stop
  // button and at the exit, within one deadline that counts from here.
  const auto begun = app_.EndBegun();
  {
    const HeldDrawing held(*this);
    runner_.Stop(EventSource::kSessionEnd);
  }
  sessionEnding_ = true;
  // Programs the stop asked to close (/g) have the first part of the end,
  // whatever their grace, then are ended: the rest is the reports'.
  const auto asksEnd = begun + kSessionAskShare;
  while (runner_.AskedToClose() && std::chrono::steady_clock::now() < asksEnd) {
    ::Sleep(50);
    runner_.SeeClosings();
  }
  runner_.SeeClosings(true);
  // Nothing is supervised from here on: the marks go before the end waits
  // on any disk.
  processes_.table().ReleaseMarks();
  // The dump worker is let go before the file writer that joins it stops.
  processes_.EndDumps();
  app_.EndReports(kSessionEndLimits, begun);
  // Creations still under way have what is left of the budget.
  processes_.EndStarts(begun + kSessionEndLimits.total);
  ::ShutdownBlockReasonDestroy(hwnd());
  EndDialog(IDOK);
}

bool LauncherDialog::OnPaint() {
  if (!::IsIconic(hwnd())) return false;  // default painting
  PAINTSTRUCT ps;
  const HDC dc = ::BeginPaint(hwnd(), &ps);
  ::SendMessageW(hwnd(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int cx = ::GetSystemMetrics(SM_CXICON);
  const int cy = ::GetSystemMetrics(SM_CYICON);
  RECT rect;
  ::GetClientRect(hwnd(), &rect);
  ::DrawIcon(dc, (rect.right - rect.left - cx + 1) / 2, (rect.bottom - rect.top - cy + 1) / 2, icon_);
  ::EndPaint(hwnd(), &ps);
  return true;
}

void LauncherDialog::OnDestroyWindow() {
  trayHolder_.reset();  // destroys the popup attached to it
  trayPopup_ = nullptr;
  RemoveTrayIcon();
  if (viewing_) {
    // A view ran nothing of its own: closing it changes nothing elsewhere.
    link_.Stop();
    app_.SetMainWindow(nullptr);
    return;
  }
  // A kill decided while a dump was written happens before the end.
  runner_.EndDumps();
  // Programs a stop asked to close that have not are ended now.
  runner_.SeeClosings(true);
  processes_.EndDumps();
  processes_.PostNewsTo(nullptr, 0);
  processes_.table().ReleaseMarks();
  // The end begins with the close: creations still under way have a share
  // of its budget, then are given up on; the reports have the rest.
  processes_.EndStarts(app_.EndBegun() + WindowsProcessHost::kEndStartsWait);
  control_.Stop();
  app_.events.Remove(controlBoard_);
  app_.events.Remove(*this);
  // Entries are released with the window; their programs keep running.
  for (auto& entry : catalogue_.m_entries) entry.reset();
  app_.SetMainWindow(nullptr);
}

// ---------------------------------------------------------------------------
// RunnerHost.

bool LauncherDialog::IsRowChecked(int row) {
  // 1 is ticked, 0 unticked; a row that does not exist or has no state image
  // answers -1, and a switch that cannot be read must never launch anything.
  return ListView_GetCheckState(Item(IDC_PROGRAM_LIST), row) == 1;
}

bool LauncherDialog::IsRerunChecked() {
  return ::SendMessageW(Item(IDC_RERUN), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void LauncherDialog::BroadcastExitNotice() { app_.exitNotice.Broadcast(); }

StaleProcess LauncherDialog::TakeStaleProcessId(int interval) {
  StaleProcess stale;
  stale.id = app_.liveness.TakeStaleProcessId(interval, &stale.silentSeconds);
  return stale;
}

void LauncherDialog::ForgetHeartbeats(std::uint32_t processId) { app_.liveness.Forget(processId); }

void LauncherDialog::RestartSilences() { app_.liveness.RestartSilences(); }

void LauncherDialog::StartTickTimer() { ::SetTimer(hwnd(), kTickTimer, kTickPeriodMs, nullptr); }

void LauncherDialog::StopTickTimer() { ::KillTimer(hwnd(), kTickTimer); }

void LauncherDialog::WakeIn(std::uint64_t ms) {
  ::SetTimer(hwnd(), kRelaunchTimer, static_cast<UINT>(ms < kTickPeriodMs ? ms : kTickPeriodMs), nullptr);
}

void LauncherDialog::ShowRunning(bool running) {
  MarkChanged();
  SetWindowTextGbk(Item(IDC_START_STOP), running ? texts::kStopPlan : texts::kStartPlan);
  for (int id : {IDC_PLAN_CHOOSER, IDC_RERUN}) ::EnableWindow(Item(id), running ? FALSE : TRUE);
  // A view closes whatever runs: closing it changes nothing in the launcher.
  const bool closable = !running || viewing_;
  ::EnableWindow(Item(IDOK), closable ? TRUE : FALSE);
  ::EnableMenuItem(::GetSystemMenu(hwnd(), FALSE), SC_CLOSE, MF_BYCOMMAND | (closable ? MF_ENABLED : MF_GRAYED));
}
