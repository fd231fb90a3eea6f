// The application object: start-up order, the socket-layer failure, the
// font's lifetime, and the automatic start held back during initialisation.
#include <gtest/gtest.h>

#include "text/texts.h"
#include "ui_support.h"

using namespace uitest;

namespace {
class FailingSocketsApp : public LauncherApp {
 public:
  using LauncherApp::LauncherApp;
  int failureMessages = 0;

 protected:
  bool StartSockets() override { return false; }
  void ShowSocketLayerFailure() override { ++failureMessages; }
};

// Closes the main window from inside the modal loop as soon as it exists.
LauncherApp* g_closing = nullptr;
void CALLBACK CloseMainWindow(HWND, UINT, UINT_PTR id, DWORD) {
  if (g_closing && g_closing->mainWindow()) {
    ::KillTimer(nullptr, id);
    ::PostMessageA(g_closing->mainWindow(), WM_CLOSE, 0, 0);
  }
}
}  // namespace

TEST(App, SocketLayerFailureShowsOneMessageAndNoDialogAndStillDeletesTheFont) {
  FailingSocketsApp app({u"/p", u"0", u"/f", u"missing.list"});
  const HFONT font = app.dialogFont();
  ASSERT_NE(font, nullptr);
  EXPECT_EQ(::GetObjectType(font), static_cast<DWORD>(OBJ_FONT));
  app.Run(::GetModuleHandleA(nullptr), SW_SHOW);
  EXPECT_EQ(app.failureMessages, 1);
  EXPECT_EQ(app.mainWindow(), nullptr);
  EXPECT_EQ(app.dialogFont(), nullptr);
  EXPECT_EQ(::GetObjectType(font), 0u);  // deleted
}

TEST(App, ModalRunEndsOnCloseAndDeletesTheFontOnce) {
  LauncherApp app({u"/p", u"0", u"/f", u"missing.list"});
  const HFONT font = app.dialogFont();
  g_closing = &app;
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 20, &CloseMainWindow);
  app.Run(::GetModuleHandleA(nullptr), SW_SHOW);
  ::KillTimer(nullptr, timer);
  g_closing = nullptr;
  EXPECT_EQ(app.mainWindow(), nullptr);
  EXPECT_EQ(app.dialogFont(), nullptr);
  EXPECT_EQ(::GetObjectType(font), 0u);
}

TEST(App, MessageResource103IsTheSocketFailureText) {
  char text[256] = {};
  ASSERT_GT(::LoadStringA(::GetModuleHandleA(nullptr), IDS_SOCKET_LAYER_FAILED, text, sizeof text), 0);
  EXPECT_STREQ(text, texts::kSocketLayerFailed);
}

TEST(App, DialogFontHasTheLogicalFontValues) {
  const HFONT font = CreateDialogFont();
  ASSERT_NE(font, nullptr);
  LOGFONTA lf{};
  ASSERT_EQ(::GetObjectA(font, sizeof lf, &lf), static_cast<int>(sizeof lf));
  EXPECT_EQ(lf.lfHeight, 16);
  EXPECT_EQ(lf.lfWidth, 8);
  EXPECT_EQ(lf.lfWeight, FW_NORMAL);
  EXPECT_EQ(lf.lfCharSet, GB2312_CHARSET);
  EXPECT_EQ(lf.lfOutPrecision, OUT_STROKE_PRECIS);
  EXPECT_EQ(lf.lfQuality, DRAFT_QUALITY);
  EXPECT_EQ(lf.lfPitchAndFamily, VARIABLE_PITCH);
  EXPECT_STREQ(lf.lfFaceName, texts::kFontFace);
  ::DeleteObject(font);
}

namespace {
// Answers a surplus message slowly, the way an operator reading the box
// would: the box's own loop serves the automatic-start timer meanwhile.
class SlowReaderDialog : public LauncherDialog {
 public:
  using LauncherDialog::LauncherDialog;
  bool startedDuringInit = false;

 protected:
  void ShowSurplusMessage(const std::string&) override {
    PumpUntil([] { return false; }, 2300);
    startedDuringInit = ::GetDlgItem(hwnd(), IDC_START_STOP) &&
                        Text(::GetDlgItem(hwnd(), IDC_START_STOP)) != texts::kStartPlan;
  }
};
}  // namespace

TEST(App, AutomaticStartFiringDuringTheListIsHeldUntilInitialisationEnds) {
  // One plan whose only row is unticked: starting it launches nothing.
  WriteList("auto.list", "::p\r\n0 none.exe C:\\ x 0 surplus\r\n");
  StartSocketLayer();
  LauncherApp app({u"/p", u"0", u"/r", u"/f", u"auto.list"});
  SlowReaderDialog dialog(app);
  ASSERT_TRUE(dialog.Create());
  EXPECT_FALSE(dialog.startedDuringInit);
  ASSERT_TRUE(PumpUntil([&] { return Text(dialog.Item(IDC_START_STOP)) == texts::kStopPlan; }, 1000));
  EXPECT_EQ(dialog.catalogue().m_planRunning[0], 1u);
  EXPECT_FALSE(::IsWindowVisible(dialog.hwnd()));
  // It ran once: the toggle did not stop the plan again.
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(Text(dialog.Item(IDC_START_STOP)), texts::kStopPlan);
}

namespace {
// Drives a modal run whose automatic start is held by a real surplus box:
// answers the box once the start timer has fired behind it, then watches the
// window for ten more timer rounds after the plan has started (the modal loop
// runs empty between them), then closes it.
struct HeldStartRun {
  LauncherApp* app = nullptr;
  DWORD begun = 0;
  bool answered = false;
  int roundsAfterStart = -1;
  bool shownAfterStart = false;
};
HeldStartRun* g_held = nullptr;

BOOL CALLBACK AnswerMessageBox(HWND hwnd, LPARAM) {
  char name[16] = {};
  ::GetClassNameA(hwnd, name, sizeof name);
  if (hwnd != g_held->app->mainWindow() && std::string(name) == "#32770" && ::IsWindowVisible(hwnd)) {
    ::PostMessageA(hwnd, WM_COMMAND, IDOK, 0);
    g_held->answered = true;
  }
  return TRUE;
}

void CALLBACK DriveHeldStart(HWND, UINT, UINT_PTR id, DWORD) {
  HeldStartRun& run = *g_held;
  const HWND main = run.app->mainWindow();
  const DWORD elapsed = ::GetTickCount() - run.begun;
  if (!run.answered) {
    if (elapsed > 2300) ::EnumThreadWindows(::GetCurrentThreadId(), &AnswerMessageBox, 0);
    return;
  }
  if (main == nullptr) return;
  if (run.roundsAfterStart < 0) {
    if (Text(::GetDlgItem(main, IDC_START_STOP)) == texts::kStopPlan) run.roundsAfterStart = 0;
    if (elapsed < 10000) return;  // never started: give up and close
  }
  if (::IsWindowVisible(main)) run.shownAfterStart = true;
  if (++run.roundsAfterStart >= 10 || elapsed >= 10000) {
    ::KillTimer(nullptr, id);
    ::PostMessageA(main, WM_CLOSE, 0, 0);
  }
}
}  // namespace

TEST(App, HeldAutomaticStartOnTheModalPathLeavesTheWindowHidden) {
  WriteList("held.list", "::p\r\n0 none.exe C:\\ x 0 surplus\r\n");
  LauncherApp app({u"/p", u"0", u"/r", u"/f", u"held.list"});
  HeldStartRun run;
  run.app = &app;
  run.begun = ::GetTickCount();
  g_held = &run;
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 20, &DriveHeldStart);
  app.Run(::GetModuleHandleA(nullptr), SW_SHOW);
  ::KillTimer(nullptr, timer);
  g_held = nullptr;
  EXPECT_TRUE(run.answered);
  EXPECT_GE(run.roundsAfterStart, 10);
  EXPECT_FALSE(run.shownAfterStart);
}
