// The window as a view of a launcher in another process: the service, or a
// launcher of another session, that already serves this port. It is the
// same dialog with the same controls; what it shows comes from that
// launcher's status object, and its clicks go there as requests (through
// RemoteSupervision). It runs nothing itself, writes no journal, metrics or
// dumps, listens to no heartbeat and serves no pipe.
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <utility>

#include "app/launcher_app.h"
#include "control/json_reader.h"
#include "platform/wide.h"
#include "text/encoding.h"
#include "text/format_text.h"
#include "text/number.h"
#include "text/texts.h"
#include "ui/launcher_dialog.h"
#include "ui/resource_ids.h"

namespace {
// How long the first question to an answering launcher may take.
constexpr DWORD kProbeMs = 3000;
}  // namespace

bool LauncherDialog::OpenAsView() {
  // Port 0 takes whatever port the system gives: it names no launcher that
  // could already run, and every launcher started so is one of its own.
  if (app_.settings.port == 0) return false;
  ControlRequest status;
  const std::wstring launcher = LauncherBeside();
  const LauncherCall call = CallLauncher(app_.settings.port, status, kProbeMs, launcher);
  if (!call.replied && call.failure == ControlFailure::kDenied) {
    // A launcher runs there and will not have this user: said, and no
    // window (a second launcher on its port would only fight it).
    const std::string why = SystemErrorText(call.error);
    ::MessageBoxW(nullptr, Wide(FormatText(texts::kViewDenied, static_cast<unsigned>(app_.settings.port), why.c_str())).c_str(),
                  Wide(texts::kTrayTip).c_str(), MB_OK | MB_ICONWARNING);
    EndDialog(IDCANCEL);
    return true;
  }
  // Nobody answers, or no launcher this user trusts, or one too old to
  // show its window: this program becomes the port's launcher.
  JsonValue value;
  LauncherView fresh;
  if (!call.replied || call.reply.code != ControlExit::kDone || !ParseJson(call.reply.body, value) ||
      !ReadLauncherView(value, fresh)) {
    return false;
  }
  viewing_ = true;
  initialising_ = false;
  remote_ = std::make_unique<RemoteSupervision>(link_, view_);
  supervision_ = remote_.get();
  app_.SetMainWindow(hwnd());
  filling_ = true;
  SetUpControls();
  filling_ = false;
  ShowView(std::move(fresh));
  SetUpShell();
  try {
    link_.Start(app_.settings.port, launcher, hwnd(), WM_VIEW_NEWS);
  } catch (const std::system_error&) {
    ShowViewGone();  // shown as it was, and said to be cut off
  }
  return true;
}

void LauncherDialog::OnViewNews() {
  LauncherLink::News news;
  if (!link_.TakeNews(news)) return;
  if (!news.status.empty()) {
    JsonValue value;
    LauncherView fresh;
    if (ParseJson(news.status, value) && ReadLauncherView(value, fresh)) ShowView(std::move(fresh));
  }
  if (news.gone) ShowViewGone();
  for (const std::string& line : news.refusals) {
    ::MessageBoxW(hwnd(), Wide(FormatText(texts::kViewRefused, Utf16ToGbk(Utf8ToUtf16(line)).c_str())).c_str(),
                  Wide(view_.title).c_str(), MB_OK | MB_ICONINFORMATION);
  }
}

void LauncherDialog::ShowView(LauncherView fresh) {
  filling_ = true;
  viewGone_ = false;
  const bool sameLayout = SameLayout(catalogue_, fresh.catalogue) && !catalogue_.m_entries.empty();
  view_ = std::move(fresh);
  // The view's catalogue is the launcher's: the chooser, the list and the
  // tray menu read it as they read a list of their own.
  catalogue_.m_planNames = view_.catalogue.m_planNames;
  catalogue_.m_planRanges = view_.catalogue.m_planRanges;
  catalogue_.m_planRunning = view_.catalogue.m_planRunning;
  catalogue_.m_planLaunched = view_.catalogue.m_planLaunched;
  catalogue_.m_entries.clear();
  for (const auto& entry : view_.catalogue.m_entries) catalogue_.m_entries.push_back(std::make_unique<LaunchEntry>(*entry));
  const HWND chooser = Item(IDC_PLAN_CHOOSER);
  if (!sameLayout) {
    FillPlanChooser();
  }
  // The chooser follows the launcher's own unless the operator's choice
  // is on its way there.
  if (view_.shownPlan >= 0 && view_.shownPlan != static_cast<int>(::SendMessageW(chooser, CB_GETCURSEL, 0, 0))) {
    ::SendMessageW(chooser, CB_SETCURSEL, static_cast<WPARAM>(view_.shownPlan), 0);
    FillProgramList();
  } else if (!sameLayout) {
    FillProgramList();
  } else {
    // Same rows: their boxes and states in place.
    const HWND list = Item(IDC_PROGRAM_LIST);
    const std::vector<ProgramRow> rows = ProgramListRows(catalogue_, shownPlan_);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      const int row = static_cast<int>(r);
      if ((ListView_GetCheckState(list, row) == 1) != rows[r].checked) ListView_SetCheckState(list, row, rows[r].checked);
    }
    std::vector<std::pair<int, std::string>> cells;
    const bool shown = shownPlan_ >= 0 && shownPlan_ == view_.shownPlan;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      cells.emplace_back(static_cast<int>(r), shown && r < view_.status.size() ? view_.status[r] : std::string());
    }
    ShowStatus(cells);
  }
  ::CheckDlgButton(hwnd(), IDC_RERUN, view_.rerun ? BST_CHECKED : BST_UNCHECKED);
  ::CheckDlgButton(hwnd(), IDC_NOTIFY, view_.notify ? BST_CHECKED : BST_UNCHECKED);
  ::CheckDlgButton(hwnd(), IDC_DETECT, view_.detect ? BST_CHECKED : BST_UNCHECKED);
  // The interval's text is left alone while the operator edits it.
  const HWND interval = Item(IDC_INTERVAL);
  if (::GetFocus() != interval && ParseDecimal(WindowTextGbk(interval)) != view_.interval) {
    SetWindowTextGbk(interval, std::to_string(view_.interval));
  }
  ShowRunning(view_.runningPlan >= 0);
  const std::string caption = ViewCaption(view_, ViewLink::kConnected);
  SetWindowTextGbk(hwnd(), caption);
  SetTrayTip(caption);
  filling_ = false;
}

void LauncherDialog::ShowViewGone() {
  if (viewGone_) return;
  viewGone_ = true;
  // The cells first: whoever sees the caption say so sees them say so too.
  std::vector<std::pair<int, std::string>> cells;
  const int rows = static_cast<int>(::SendMessageW(Item(IDC_PROGRAM_LIST), LVM_GETITEMCOUNT, 0, 0));
  for (int r = 0; r < rows; ++r) cells.emplace_back(r, texts::kViewGoneCell);
  ShowStatus(cells);
  const std::string caption = ViewCaption(view_, ViewLink::kGone);
  SetWindowTextGbk(hwnd(), caption);
  SetTrayTip(caption);
}
