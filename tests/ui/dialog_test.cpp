// The main dialog, created from the real template under Wine.
#include <gtest/gtest.h>

#include "text/texts.h"
#include "ui_support.h"

using namespace uitest;

namespace {
// Two plans; GBK names; the second plan's second entry starts unticked.
const char kTwoPlans[] =
    "::\xb7\xbd\xb0\xb8\xd2\xbb\r\n"  // ::方案一
    "1 a.exe C:\\a \xb2\xce\xca\xfd 0\r\n"  // command line 参数
    "::beta\r\n"
    "1 b1.exe C:\\b [] 5\r\n"
    "0 b2.exe C:\\b [-x -y] 7\r\n";

std::vector<std::string> Args(std::initializer_list<const char*> extra) {
  std::vector<std::string> args = {"/p", "0"};  // no fixed port: tests never collide
  for (const char* a : extra) args.emplace_back(a);
  return args;
}

std::string ClassOf(HWND hwnd) {
  char name[64] = {};
  ::GetClassNameA(hwnd, name, sizeof name);
  return name;
}
}  // namespace

TEST(Dialog, ControlsComeFromTheTemplate) {
  Harness h(Args({"/f", "missing.list"}));
  ASSERT_TRUE(h.created);
  struct Expect { int id; const char* cls; const char* caption; };
  const Expect controls[] = {
      {IDOK, "Button", texts::kExitButton},
      {IDC_PROGRAM_LIST, "SysListView32", ""},
      {IDC_HIDE, "Button", texts::kHideButton},
      {IDC_START_STOP, "Button", texts::kStartPlan},
      {IDC_PLAN_CHOOSER, "ComboBox", ""},
      {IDC_RERUN, "Button", texts::kRerunBox},
      {IDC_NOTIFY, "Button", texts::kNotifyBox},
      {IDC_DETECT, "Button", texts::kDetectBox},
      {IDC_INTERVAL, "Edit", texts::kIntervalDefault},
  };
  // Tab order is template order: walk the children from the first.
  HWND child = ::GetWindow(h.dialog.hwnd(), GW_CHILD);
  for (const Expect& c : controls) {
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(::GetDlgCtrlID(child), c.id);
    EXPECT_EQ(ClassOf(child), c.cls) << c.id;
    if (c.id != IDC_PROGRAM_LIST && c.id != IDC_PLAN_CHOOSER) {
      EXPECT_EQ(Text(child), c.caption) << c.id;
    }
    child = ::GetWindow(child, GW_HWNDNEXT);
  }
  EXPECT_EQ(Text(h.dialog.hwnd()), texts::kCaptionAutoStart);
  const LONG style = ::GetWindowLongA(h.dialog.hwnd(), GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
  EXPECT_TRUE(::GetWindowLongA(h.dialog.hwnd(), GWL_EXSTYLE) & WS_EX_APPWINDOW);
  EXPECT_TRUE(::GetWindowLongA(h.Item(IDOK), GWL_STYLE) & BS_DEFPUSHBUTTON);
  EXPECT_EQ(::GetWindowLongA(h.Item(IDC_PLAN_CHOOSER), GWL_STYLE) & 3, CBS_DROPDOWN);
}

TEST(Dialog, ProgramListHasItsColumnsAndStyle) {
  Harness h(Args({"/f", "missing.list"}));
  const HWND list = h.Item(IDC_PROGRAM_LIST);
  const std::pair<const char*, int> columns[] = {{texts::kColumnProgram, 160},
                                                 {texts::kColumnDirectory, 160},
                                                 {texts::kColumnCommandLine, 210},
                                                 {texts::kColumnDelay, 70}};
  for (int i = 0; i < 4; ++i) {
    char text[128] = {};
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT | LVCF_FMT;
    column.pszText = text;
    column.cchTextMax = sizeof text;
    ASSERT_TRUE(::SendMessageA(list, LVM_GETCOLUMNA, i, reinterpret_cast<LPARAM>(&column)));
    EXPECT_STREQ(text, columns[i].first);
    EXPECT_EQ(column.fmt & LVCFMT_JUSTIFYMASK, LVCFMT_LEFT);
    EXPECT_EQ(::SendMessageA(list, LVM_GETCOLUMNWIDTH, i, 0), columns[i].second);
  }
  EXPECT_EQ(::SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0), 0x25);
  EXPECT_TRUE(::GetWindowLongA(list, GWL_STYLE) & LVS_REPORT);
}

TEST(Dialog, OptionsStartTickedWithInterval60) {
  Harness h(Args({"/f", "missing.list"}));
  for (int id : {IDC_RERUN, IDC_NOTIFY, IDC_DETECT}) {
    EXPECT_EQ(::IsDlgButtonChecked(h.dialog.hwnd(), id), BST_CHECKED) << id;
  }
  EXPECT_EQ(h.dialog.options().notify, 1);
  EXPECT_EQ(h.dialog.options().detect, 1);
  EXPECT_EQ(h.dialog.options().interval, 60);
  // Clicking a box updates its state at once.
  ::SendMessageA(h.Item(IDC_NOTIFY), BM_CLICK, 0, 0);
  ::SendMessageA(h.Item(IDC_DETECT), BM_CLICK, 0, 0);
  EXPECT_EQ(h.dialog.options().notify, 0);
  EXPECT_EQ(h.dialog.options().detect, 0);
  ::SendMessageA(h.Item(IDC_NOTIFY), BM_CLICK, 0, 0);
  EXPECT_EQ(h.dialog.options().notify, 1);
}

TEST(Dialog, IntervalIsClampedAndTheTextKept) {
  Harness h(Args({"/f", "missing.list"}));
  const std::pair<const char*, int> cases[] = {
      {"10", 15}, {"200", 120}, {"90\xc3\xeb", 90} /* 90秒 */, {"abc", 15},
      {"", 15},   {"-5", 15},   {" 45", 45},       {"99999999999", 120}};
  for (const auto& [text, interval] : cases) {
    ::SetDlgItemTextA(h.dialog.hwnd(), IDC_INTERVAL, text);
    EXPECT_EQ(h.dialog.options().interval, interval) << "'" << text << "'";
    EXPECT_EQ(Text(h.Item(IDC_INTERVAL)), text);  // never rewritten
  }
}

TEST(Dialog, ListFillsChooserAndRowsInFileOrder) {
  WriteList("two.list", kTwoPlans);
  Harness h(Args({"/f", "two.list"}));
  const HWND chooser = h.Item(IDC_PLAN_CHOOSER);
  const HWND list = h.Item(IDC_PROGRAM_LIST);
  ASSERT_EQ(::SendMessageA(chooser, CB_GETCOUNT, 0, 0), 2);
  EXPECT_EQ(::SendMessageA(chooser, CB_GETCURSEL, 0, 0), 0);
  char name[64] = {};
  ::SendMessageA(chooser, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(name));
  EXPECT_STREQ(name, "\xb7\xbd\xb0\xb8\xd2\xbb");

  ASSERT_EQ(RowCount(list), 1);
  EXPECT_EQ(ListCell(list, 0, 0), "a.exe");
  EXPECT_EQ(ListCell(list, 0, 2), " \xb2\xce\xca\xfd");  // the leading blank is shown
  EXPECT_EQ(ListCell(list, 0, 3), "0\xc3\xeb");           // 0秒

  h.ChoosePlan(1);
  ASSERT_EQ(RowCount(list), 2);
  EXPECT_EQ(ListCell(list, 0, 0), "b1.exe");
  EXPECT_EQ(ListCell(list, 1, 0), "b2.exe");
  EXPECT_EQ(ListCell(list, 1, 1), "C:\\b");
  EXPECT_EQ(ListCell(list, 1, 2), " -x -y");
  EXPECT_EQ(ListCell(list, 1, 3), "7\xc3\xeb");
  EXPECT_TRUE(RowChecked(list, 0));
  EXPECT_FALSE(RowChecked(list, 1));

  // Ticks changed by the operator are reset when a plan is chosen again.
  ListView_SetCheckState(list, 0, FALSE);
  ListView_SetCheckState(list, 1, TRUE);
  h.ChoosePlan(1);
  EXPECT_TRUE(RowChecked(list, 0));
  EXPECT_FALSE(RowChecked(list, 1));
}

TEST(Dialog, TitleComesFromCommandLineThenFromTheListHeader) {
  WriteList("titled.list", "/n \xb1\xea\xcc\xe2  \r\n::p\r\n");  // /n 标题 (two trailing blanks)
  WriteList("plain.list", "::p\r\n");
  {
    Harness h(Args({"/n", "FromCommandLine", "/f", "plain.list"}));
    EXPECT_EQ(Text(h.dialog.hwnd()), "FromCommandLine");
  }
  {
    Harness h(Args({"/n", "FromCommandLine", "/f", "titled.list"}));
    EXPECT_EQ(Text(h.dialog.hwnd()), "\xb1\xea\xcc\xe2  ");
    EXPECT_EQ(h.app.settings.windowTitle, "\xb1\xea\xcc\xe2  ");
  }
}

TEST(Dialog, EmptyOrMissingListOpensWithEmptyControls) {
  WriteList("empty.list", "");
  for (const char* path : {"empty.list", "does-not-exist.list"}) {
    Harness h(Args({"/f", path}));
    ASSERT_TRUE(h.created) << path;
    EXPECT_EQ(::SendMessageA(h.Item(IDC_PLAN_CHOOSER), CB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(::SendMessageA(h.Item(IDC_PLAN_CHOOSER), CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(RowCount(h.Item(IDC_PROGRAM_LIST)), 0);
    // Start with no plan does nothing at all.
    h.Command(IDC_START_STOP, BN_CLICKED);
    EXPECT_EQ(Text(h.Item(IDC_START_STOP)), texts::kStartPlan);
    EXPECT_TRUE(::IsWindowEnabled(h.Item(IDC_PLAN_CHOOSER)));
    // Choosing with nothing selected leaves the list empty.
    h.Command(IDC_PLAN_CHOOSER, CBN_SELENDOK);
    EXPECT_EQ(RowCount(h.Item(IDC_PROGRAM_LIST)), 0);
  }
}

TEST(Dialog, SurplusLinesAreReportedWithTheirFiveValues) {
  WriteList("surplus.list", "::p\r\n1 a.exe C:\\d [x y] 3 extra words\r\n1 b.exe C:\\d x 4 \r\n");
  Harness h(Args({"/f", "surplus.list"}));
  ASSERT_EQ(h.dialog.surplusMessages.size(), 2u);
  // 此行【1  a.exe  C:\d  3】有多于内容【extra words】没有用到
  EXPECT_EQ(h.dialog.surplusMessages[0],
            "\xb4\xcb\xd0\xd0\xa1\xbe" "1  a.exe  C:\\d  3\xa1\xbf\xd3\xd0\xb6\xe0\xd3\xda\xc4\xda\xc8\xdd\xa1\xbe"
            "extra words\xa1\xbf\xc3\xbb\xd3\xd0\xd3\xc3\xb5\xbd");
  EXPECT_NE(h.dialog.surplusMessages[1].find("\xa1\xbe\xa1\xbf"), std::string::npos);  // empty surplus
  // Both entries are built all the same.
  EXPECT_EQ(RowCount(h.Item(IDC_PROGRAM_LIST)), 2);
}

TEST(Dialog, ARowWhoseCheckCannotBeReadCountsAsUnticked) {
  WriteList("rows.list", "::p\r\n1 a.exe C:\\ x 1\r\n1 b.exe C:\\ x 1\r\n");
  Harness h(Args({"/f", "rows.list"}));
  h.Command(IDC_START_STOP, BN_CLICKED);
  ASSERT_EQ(h.dialog.catalogue().m_planRunning[0], 1u);
  // Row 1 goes away: the list view answers -1 for its check state.
  ::SendMessageA(h.Item(IDC_PROGRAM_LIST), LVM_DELETEITEM, 1, 0);
  ::SendMessageA(h.dialog.hwnd(), WM_TIMER, 1, 0);
  EXPECT_EQ(h.dialog.catalogue().m_planLaunched[0], 1u);  // row 0's attempt only
  h.Command(IDC_START_STOP, BN_CLICKED);
}

TEST(Dialog, HideButtonHidesTheWindow) {
  Harness h(Args({"/f", "missing.list"}));
  ::ShowWindow(h.dialog.hwnd(), SW_SHOW);
  h.Command(IDC_HIDE, BN_CLICKED);
  EXPECT_FALSE(::IsWindowVisible(h.dialog.hwnd()));
}

TEST(Dialog, DragIconIsTheDialogIcon) {
  Harness h(Args({"/f", "missing.list"}));
  const LRESULT icon = ::SendMessageA(h.dialog.hwnd(), WM_QUERYDRAGICON, 0, 0);
  EXPECT_NE(icon, 0);
  EXPECT_EQ(icon, ::SendMessageA(h.dialog.hwnd(), WM_GETICON, ICON_BIG, 0));
}
