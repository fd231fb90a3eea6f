// The tray icon and its menu: the only way back to a hidden dialog.
#include <windows.h>
#include <shellapi.h>

#include <cstring>
#include <string>

#include "text/texts.h"
#include "platform/wide.h"
#include "text/format_text.h"
#include "app/launcher_app.h"
#include "ui/launcher_dialog.h"
#include "ui/resource_ids.h"

namespace {
constexpr UINT kTrayIconId = IDI_LAUNCHER;

NOTIFYICONDATAW TrayRecord(HWND hwnd) {
  NOTIFYICONDATAW data;
  std::memset(&data, 0, sizeof data);
  // The first-version record: understood by every shell.
  data.cbSize = NOTIFYICONDATAW_V1_SIZE;
  data.hWnd = hwnd;
  data.uID = kTrayIconId;
  return data;
}

}  // namespace

bool LauncherDialog::AddTrayIcon() {
  NOTIFYICONDATAW data = TrayRecord(hwnd());
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = WM_TRAY_NOTIFY;
  data.hIcon = icon_;
  const std::wstring tip = Wide(trayTip_.empty() ? std::string(texts::kTrayTip) : trayTip_);
  // The first-version record's tip holds 64 characters with its end.
  tip.substr(0, 63).copy(data.szTip, 63);
  // After a restart of the shell the old icon is gone; an icon that is
  // still there (a second TaskbarCreated) is only modified.
  const bool added = ::Shell_NotifyIconW(NIM_ADD, &data) != FALSE || ::Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
  ApplyLook(tray_.IconAdded(added));
  if (tray_.RetryDue()) {
    ::SetTimer(hwnd(), kTrayRetryTimer, kTrayRetryMs, nullptr);
  } else {
    ::KillTimer(hwnd(), kTrayRetryTimer);
  }
  return added;
}

void LauncherDialog::SetTrayTip(const std::string& tip) {
  if (tip == trayTip_) return;
  trayTip_ = tip;
  NOTIFYICONDATAW data = TrayRecord(hwnd());
  data.uFlags = NIF_TIP;
  const std::wstring wide = Wide(tip);
  wide.substr(0, 63).copy(data.szTip, 63);
  ::Shell_NotifyIconW(NIM_MODIFY, &data);
}

void LauncherDialog::RemoveTrayIcon() {
  NOTIFYICONDATAW data = TrayRecord(hwnd());
  ::Shell_NotifyIconW(NIM_DELETE, &data);
}

bool LauncherDialog::OnTrayNotify(LPARAM mouseMessage) {
  switch (static_cast<UINT>(mouseMessage)) {
    case WM_LBUTTONDBLCLK:
      ShowHiddenWindow();
      return true;
    case WM_RBUTTONUP:
      ShowTrayMenu();
      return true;
    default:
      return false;  // single clicks, presses, moves: nothing
  }
}

void LauncherDialog::BuildTrayMenu() {
  int running = -1;
  for (std::size_t r = 0; r < catalogue_.m_planRunning.size(); ++r) {
    if (catalogue_.m_planRunning[r] != 0) {
      running = static_cast<int>(r);
      break;
    }
  }
  trayMenuPlan_ = running;
  trayHolder_.reset();  // destroys the earlier popup with it
  trayHolder_.reset(::CreateMenu());
  trayPopup_ = ::CreatePopupMenu();

  const auto item = [](HMENU menu, UINT_PTR id, const std::string& text) {
    ::AppendMenuW(menu, MF_STRING, id, Wide(text).c_str());
  };
  item(trayPopup_, ID_TRAY_SHOW, texts::kTrayShow);
  ::AppendMenuW(trayPopup_, MF_SEPARATOR, 0, nullptr);
  if (running < 0) {
    for (std::size_t j = 0; j < catalogue_.m_planNames.size(); ++j) {
      item(trayPopup_, ID_TRAY_START_PLAN_BASE + j,
           FormatText(texts::kTrayStartFormat, catalogue_.m_planNames[j].c_str()));
    }
    ::AppendMenuW(trayPopup_, MF_SEPARATOR, 0, nullptr);
    item(trayPopup_, ID_TRAY_CLOSE, texts::kTrayClose);
  } else {
    item(trayPopup_, ID_TRAY_STOP_PLAN,
         FormatText(texts::kTrayStopFormat, catalogue_.m_planNames[static_cast<std::size_t>(running)].c_str()));
  }
  ::AppendMenuW(trayHolder_.get(), MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(trayPopup_), L"");
}

void LauncherDialog::ShowTrayMenu() {
  BuildTrayMenu();
  POINT cursor;
  ::GetCursorPos(&cursor);
  ::SetForegroundWindow(hwnd());
  ::TrackPopupMenu(trayPopup_, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0,
                   hwnd(), nullptr);
  // A notification-area menu needs a message to its window after it closes;
  // without one it shows and vanishes at once the next time it opens.
  ::PostMessageW(hwnd(), WM_NULL, 0, 0);
}

bool LauncherDialog::OnTrayCommand(WPARAM wParam, LPARAM lParam) {
  // A menu command has a zero long parameter and a zero notification code;
  // a control's notification never does, whatever its id.
  if (lParam != 0 || HIWORD(wParam) != 0) return false;
  const UINT id = LOWORD(wParam);
  // The menu was built for the state of its opening; a start or stop may
  // have come since (the control pipe, an automatic start). Each item does
  // what it says or nothing: it never toggles the other way.
  const int running = supervision_->RunningPlan();
  switch (id) {
    case ID_TRAY_SHOW:
      ShowHiddenWindow();
      return true;
    case ID_TRAY_CLOSE:
      if (running >= 0) {
        TrayItemStale(TrayItem::kClose, -1);
      } else {
        ::PostMessageW(hwnd(), WM_CLOSE, 0, 0);
      }
      return true;
    case ID_TRAY_STOP_PLAN:
      if (running < 0 || running != trayMenuPlan_) {
        TrayItemStale(TrayItem::kStop, trayMenuPlan_);
      } else {
        OnStartStopPlan(EventSource::kTrayMenu);
      }
      return true;
    default:
      break;
  }
  if (id < ID_TRAY_START_PLAN_BASE) return false;
  const std::size_t plan = id - ID_TRAY_START_PLAN_BASE;
  if (plan >= catalogue_.PlanCount()) return false;
  if (running >= 0) {
    TrayItemStale(TrayItem::kStart, static_cast<int>(plan));
    return true;
  }
  // Select by program (no selection handling runs), then start: the start
  // shows this plan's rows before it reads their check marks.
  ::SendMessageW(Item(IDC_PLAN_CHOOSER), CB_SETCURSEL, plan, 0);
  OnStartStopPlan(EventSource::kTrayMenu);
  return true;
}

void LauncherDialog::TrayItemStale(TrayItem item, int plan) {
  Event stale;
  stale.number = static_cast<int>(item);
  if (catalogue_.HasPlan(plan)) {
    stale.plan = plan;
    stale.planName = catalogue_.m_planNames[static_cast<std::size_t>(plan)];
  }
  app_.Report(std::move(stale), EventKind::kTrayItemStale);
}
