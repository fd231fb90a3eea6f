// The tray menu and commands on the real dialog.
#include <gtest/gtest.h>

#include "text/texts.h"
#include "ui_support.h"

#include <shellapi.h>

#include <fstream>
#include <string>
#include <vector>

using namespace uitest;

namespace {
std::string ItemText(HMENU menu, int position) {
  char text[256] = {};
  ::GetMenuStringA(menu, static_cast<UINT>(position), text, sizeof text, MF_BYPOSITION);
  return text;
}
bool IsSeparator(HMENU menu, int position) {
  return ::GetMenuState(menu, static_cast<UINT>(position), MF_BYPOSITION) & MF_SEPARATOR;
}
std::string Bracketed(const char* format, const char* name) {
  char text[256];
  std::snprintf(text, sizeof text, format, name);
  return text;
}
void Tray(Harness& h, UINT mouse) { ::SendMessageA(h.dialog.hwnd(), WM_TRAY_NOTIFY, IDI_LAUNCHER, mouse); }
void MenuCommand(Harness& h, UINT id) { ::SendMessageA(h.dialog.hwnd(), WM_COMMAND, id, 0); }

// Closes the tray menu from inside its tracking loop.
void CALLBACK EndMenuFromItsLoop(HWND, UINT, UINT_PTR id, DWORD) {
  ::KillTimer(nullptr, id);
  ::EndMenu();
}

// Unticked rows: starting a plan launches nothing.
std::string Plans(int n) {
  std::string list;
  for (int i = 0; i < n; ++i) list += "::plan" + std::to_string(i) + "\r\n0 none.exe C:\\ x 0\r\n";
  return list;
}
}  // namespace

TEST(Tray, MenuWithNoPlans) {
  Harness h({"/p", "0", "/f", "missing.list"});
  h.dialog.BuildTrayMenu();
  const HMENU popup = h.dialog.trayPopupMenu();
  ASSERT_EQ(::GetMenuItemCount(popup), 4);
  EXPECT_EQ(ItemText(popup, 0), texts::kTrayShow);
  EXPECT_EQ(::GetMenuItemID(popup, 0), static_cast<UINT>(ID_TRAY_SHOW));
  EXPECT_TRUE(IsSeparator(popup, 1));
  EXPECT_TRUE(IsSeparator(popup, 2));
  EXPECT_EQ(ItemText(popup, 3), texts::kTrayClose);
  EXPECT_EQ(::GetMenuItemID(popup, 3), static_cast<UINT>(ID_TRAY_CLOSE));
  // The holder's only item is the popup.
  EXPECT_EQ(::GetMenuItemCount(h.dialog.trayHolderMenu()), 1);
  EXPECT_EQ(::GetSubMenu(h.dialog.trayHolderMenu(), 0), popup);
}

TEST(Tray, MenuListsEveryPlanWhileIdleAndOnlyStopWhileRunning) {
  WriteList("three.list", Plans(3));
  Harness h({"/p", "0", "/f", "three.list"});
  h.dialog.BuildTrayMenu();
  HMENU popup = h.dialog.trayPopupMenu();
  ASSERT_EQ(::GetMenuItemCount(popup), 7);
  for (int j = 0; j < 3; ++j) {
    const std::string name = "plan" + std::to_string(j);
    EXPECT_EQ(ItemText(popup, 2 + j), Bracketed(texts::kTrayStartFormat, name.c_str()));
    EXPECT_EQ(::GetMenuItemID(popup, 2 + j), static_cast<UINT>(ID_TRAY_START_PLAN_BASE + j));
  }
  EXPECT_NE(ItemText(popup, 2).find("plan0 \xa1\xbf"), std::string::npos);  // one blank, then 】

  h.ChoosePlan(1);
  h.Command(IDC_START_STOP, BN_CLICKED);
  h.dialog.BuildTrayMenu();
  popup = h.dialog.trayPopupMenu();
  ASSERT_EQ(::GetMenuItemCount(popup), 3);
  EXPECT_EQ(ItemText(popup, 0), texts::kTrayShow);
  EXPECT_TRUE(IsSeparator(popup, 1));
  EXPECT_EQ(ItemText(popup, 2), Bracketed(texts::kTrayStopFormat, "plan1"));
  EXPECT_EQ(::GetMenuItemID(popup, 2), static_cast<UINT>(ID_TRAY_STOP_PLAN));
  h.Command(IDC_START_STOP, BN_CLICKED);  // stop
}

TEST(Tray, ARightClickTracksTheMenuThenPostsTheWindowAMessage) {
  Harness h({"/p", "0", "/f", "missing.list"});
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 100, &EndMenuFromItsLoop);
  Tray(h, WM_RBUTTONUP);
  ::KillTimer(nullptr, timer);
  bool posted = false;
  MSG msg;
  while (::PeekMessageA(&msg, h.dialog.hwnd(), 0, 0, PM_REMOVE)) posted = posted || msg.message == WM_NULL;
  EXPECT_TRUE(posted);
}

TEST(Tray, RepeatedRightClicksKeepOneMenuPair) {
  WriteList("three.list", Plans(3));
  Harness h({"/p", "0", "/f", "three.list"});
  h.dialog.BuildTrayMenu();
  const HMENU oldHolder = h.dialog.trayHolderMenu();
  const HMENU oldPopup = h.dialog.trayPopupMenu();
  h.dialog.BuildTrayMenu();
  EXPECT_FALSE(::IsMenu(oldHolder));
  EXPECT_FALSE(::IsMenu(oldPopup));
  EXPECT_TRUE(::IsMenu(h.dialog.trayHolderMenu()));
  EXPECT_TRUE(::IsMenu(h.dialog.trayPopupMenu()));
}

TEST(Tray, DoubleClickShowsAndOtherMouseMessagesDoNothing) {
  Harness h({"/p", "0", "/f", "missing.list"});
  ::ShowWindow(h.dialog.hwnd(), SW_HIDE);
  for (UINT mouse : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_MOUSEMOVE}) {
    Tray(h, mouse);
    EXPECT_FALSE(::IsWindowVisible(h.dialog.hwnd())) << mouse;
    EXPECT_EQ(h.dialog.trayHolderMenu(), nullptr);
  }
  Tray(h, WM_LBUTTONDBLCLK);
  EXPECT_TRUE(::IsWindowVisible(h.dialog.hwnd()));
  MenuCommand(h, ID_TRAY_SHOW);  // on a visible dialog: stays visible
  EXPECT_TRUE(::IsWindowVisible(h.dialog.hwnd()));
}

TEST(Tray, CloseCommandEndsTheDialog) {
  Harness h({"/p", "0", "/f", "missing.list"});
  MenuCommand(h, ID_TRAY_CLOSE);
  EXPECT_TRUE(::IsWindow(h.dialog.hwnd()));  // posted, not sent
  ASSERT_TRUE(PumpUntil([&] { return h.dialog.hwnd() == nullptr; }));
}

TEST(Tray, AnItemThatNoLongerFitsWhenChosenDoesNothingAndIsJournalled) {
  WriteList("three.list", Plans(3));
  const std::string journal = "tray-stale.log";
  ::DeleteFileA(journal.c_str());
  Harness h({"/p", "0", "/f", "three.list", "/l", journal});
  h.dialog.BuildTrayMenu();  // idle: start items
  MenuCommand(h, ID_TRAY_START_PLAN_BASE + 2);
  EXPECT_EQ(h.dialog.catalogue().m_planRunning[2], 1u);
  EXPECT_EQ(::SendMessageA(h.Item(IDC_PLAN_CHOOSER), CB_GETCURSEL, 0, 0), 2);
  // A start item of that menu, chosen after the start: nothing, never a stop.
  MenuCommand(h, ID_TRAY_START_PLAN_BASE + 0);
  EXPECT_EQ(h.dialog.catalogue().m_planRunning[2], 1u);
  EXPECT_EQ(::SendMessageA(h.Item(IDC_PLAN_CHOOSER), CB_GETCURSEL, 0, 0), 2);
  // A stop item built for plan2, chosen after another start took its place
  // (as the control pipe would): plan 2 runs on.
  h.dialog.BuildTrayMenu();
  h.Command(IDC_START_STOP, BN_CLICKED);
  h.ChoosePlan(1);
  h.Command(IDC_START_STOP, BN_CLICKED);
  ASSERT_EQ(h.dialog.catalogue().m_planRunning[1], 1u);
  MenuCommand(h, ID_TRAY_STOP_PLAN);
  EXPECT_EQ(h.dialog.catalogue().m_planRunning[1], 1u);
  MenuCommand(h, ID_TRAY_CLOSE);  // an idle menu's close, with a plan running
  // The journal says so, once for each, naming the item's plan.
  std::vector<std::string> stale;
  ASSERT_TRUE(PumpUntil([&] {
    std::ifstream in(journal, std::ios::binary);
    std::string line;
    stale.clear();
    while (std::getline(in, line)) {
      if (line.find(texts::kEvTrayItemStale) != std::string::npos) stale.push_back(line);
    }
    return stale.size() == 3;
  }));
  EXPECT_NE(stale[0].find(std::string("\tplan0\t")), std::string::npos) << stale[0];
  EXPECT_NE(stale[0].find(texts::kDetailTrayStartStale), std::string::npos);
  EXPECT_NE(stale[1].find(std::string("\tplan2\t")), std::string::npos) << stale[1];
  EXPECT_NE(stale[1].find(texts::kDetailTrayStopStale), std::string::npos);
  EXPECT_NE(stale[2].find(texts::kDetailTrayCloseStale), std::string::npos);
  EXPECT_TRUE(::IsWindow(h.dialog.hwnd()));
}

TEST(Tray, StartItemShowsThatPlansRowsAndActsForThe40thPlan) {
  WriteList("forty.list", Plans(40));
  Harness h({"/p", "0", "/f", "forty.list"});
  h.dialog.BuildTrayMenu();
  MenuCommand(h, ID_TRAY_START_PLAN_BASE + 39);
  EXPECT_EQ(h.dialog.catalogue().m_planRunning[39], 1u);
  h.dialog.BuildTrayMenu();
  EXPECT_EQ(ListCell(h.Item(IDC_PROGRAM_LIST), 0, 0), "none.exe");
  EXPECT_EQ(RowCount(h.Item(IDC_PROGRAM_LIST)), 1);
  MenuCommand(h, ID_TRAY_STOP_PLAN);
  EXPECT_EQ(h.dialog.catalogue().m_planRunning[39], 0u);
  // An id past the last plan does nothing.
  MenuCommand(h, ID_TRAY_START_PLAN_BASE + 40);
  EXPECT_EQ(Text(h.Item(IDC_START_STOP)), texts::kStartPlan);
}

TEST(Tray, RunningLookDisablesChooserRerunExitAndClose) {
  WriteList("three.list", Plans(3));
  Harness h({"/p", "0", "/f", "three.list"});
  MenuCommand(h, ID_TRAY_START_PLAN_BASE + 1);
  for (int id : {IDC_PLAN_CHOOSER, IDC_RERUN, IDOK}) EXPECT_FALSE(::IsWindowEnabled(h.Item(id))) << id;
  for (int id : {IDC_HIDE, IDC_NOTIFY, IDC_DETECT, IDC_INTERVAL, IDC_PROGRAM_LIST, IDC_START_STOP}) {
    EXPECT_TRUE(::IsWindowEnabled(h.Item(id))) << id;
  }
  const HMENU system = ::GetSystemMenu(h.dialog.hwnd(), FALSE);
  EXPECT_TRUE(::GetMenuState(system, SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED);
  h.Command(IDC_START_STOP, BN_CLICKED);
  for (int id : {IDC_PLAN_CHOOSER, IDC_RERUN, IDOK}) EXPECT_TRUE(::IsWindowEnabled(h.Item(id))) << id;
  EXPECT_FALSE(::GetMenuState(system, SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED);
}

TEST(Tray, IconComesBackWhenTheTaskbarIsRecreated) {
  Harness h({"/p", "0", "/f", "missing.list"});
  NOTIFYICONDATAA data{};
  data.cbSize = NOTIFYICONDATAA_V1_SIZE;
  data.hWnd = h.dialog.hwnd();
  data.uID = IDI_LAUNCHER;
  // The icon exists after start-up; once removed, a second removal fails.
  ASSERT_TRUE(::Shell_NotifyIconA(NIM_DELETE, &data));
  ASSERT_FALSE(::Shell_NotifyIconA(NIM_DELETE, &data));
  // A restarted shell broadcasts "TaskbarCreated": the dialog adds it again.
  ::SendMessageA(h.dialog.hwnd(), ::RegisterWindowMessageA("TaskbarCreated"), 0, 0);
  EXPECT_TRUE(::Shell_NotifyIconA(NIM_DELETE, &data));
}
