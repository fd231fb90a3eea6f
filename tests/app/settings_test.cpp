#include "app/settings.h"

#include <gtest/gtest.h>

#include "app/service_setup.h"
#include "app/tray_presence.h"
#include "text/command_line.h"
#include "text/encoding.h"

namespace {
struct Result {
  Settings settings;
  int armed;
};
Result Apply(std::vector<std::u16string> args) {
  Result r{Settings{}, 0};
  r.armed = ApplyCommandLine(args, r.settings);
  return r;
}
}  // namespace

TEST(CommandLine, NoArgumentsGiveTheDefaults) {
  const Result r = Apply({});
  EXPECT_EQ(r.settings.listPath, u"Morvastel.list");
  EXPECT_EQ(r.settings.port, 22225);
  EXPECT_EQ(r.settings.windowTitle, "");
  EXPECT_EQ(r.settings.bindAddress, "");
  EXPECT_EQ(r.armed, 0);
}

TEST(CommandLine, ValuesGoToThePendingOptionUntilAnotherIsNamed) {
  EXPECT_EQ(Apply({u"x", u"/f", u"a.list"}).settings.listPath, u"a.list");
  EXPECT_EQ(Apply({u"/f", u"a.list", u"b.list"}).settings.listPath, u"b.list");
  EXPECT_EQ(Apply({u"/F", u"A.LIST"}).settings.listPath, u"A.LIST");
  EXPECT_EQ(Apply({u"-f", u"A.LIST"}).settings.listPath, u"A.LIST");
  const Result r = Apply({u"/n", u"Title", u"/i", u"127.0.0.2", u"/p", u"1234", u"/n", u"Other"});
  EXPECT_EQ(r.settings.windowTitle, "Other");
  EXPECT_EQ(r.settings.bindAddress, "127.0.0.2");
  EXPECT_EQ(r.settings.port, 1234);
  // The report options take values the same way, case ignored.
  const Result report = Apply({u"/L", u"j.log", u"-m", u"a.prom", u"b.prom", u"/d", u"D:\\dumps", u"/r"});
  EXPECT_EQ(report.settings.journalPath, u"j.log");
  EXPECT_EQ(report.settings.metricsPath, u"b.prom");
  EXPECT_EQ(report.settings.dumpFolder, u"D:\\dumps");
  EXPECT_EQ(report.armed, 1);
}

TEST(CommandLine, AutomaticStartIsCountedAndLeavesThePendingOption) {
  const Result r = Apply({u"/f", u"/r", u"a.list"});
  EXPECT_EQ(r.armed, 1);
  EXPECT_EQ(r.settings.listPath, u"a.list");
  EXPECT_EQ(Apply({u"/r", u"-R"}).armed, 2);
}

TEST(CommandLine, PortValuesReadLikeAtoiCutTo16Bits) {
  EXPECT_EQ(Apply({u"/p", u"70000"}).settings.port, 4464);
  EXPECT_EQ(Apply({u"/p", u"-1"}).settings.port, 65535);  // -1 is not an option word
  EXPECT_EQ(Apply({u"/p", u"abc"}).settings.port, 0);
}

TEST(CommandLine, TitleEdgeCases) {
  Settings s;
  s.windowTitle = "before";
  ApplyCommandLine({u"/n"}, s);  // option at the end: nothing changes
  EXPECT_EQ(s.windowTitle, "before");
  ApplyCommandLine({u"/n", u""}, s);  // empty value: the title becomes empty
  EXPECT_EQ(s.windowTitle, "");
}

TEST(CommandLine, GluedOptionIsNotAnOptionWord) {
  const Result r = Apply({u"/fa.list"});
  EXPECT_EQ(r.settings.listPath, u"Morvastel.list");
  // Nor are longer words or a lone slash.
  EXPECT_EQ(Apply({u"/f", u"x.list", u"/", u"//f", u"y"}).settings.listPath, u"y");
}

TEST(CommandLine, ListPathIsResetToTheDefaultAtTheStartOfThePass) {
  Settings s;
  s.listPath = u"stale.list";
  ApplyCommandLine({}, s);
  EXPECT_EQ(s.listPath, u"Morvastel.list");
}

TEST(CommandLine, PathsKeepTheirUtf16AndTextsBecomeGbk) {
  const std::u16string folder = u"C:\\Users\\J\u00f6rg \ud55c\uad6d";  // no GBK form
  const Result r = Apply({u"/l", folder + u"\\j.log", u"/m", folder + u"\\m.prom", u"/d", folder, u"/f",
                          folder + u"\\a.list", u"/n", u"\u4e00\u533a"});
  EXPECT_EQ(r.settings.journalPath, folder + u"\\j.log");
  EXPECT_EQ(r.settings.metricsPath, folder + u"\\m.prom");
  EXPECT_EQ(r.settings.dumpFolder, folder);
  EXPECT_EQ(r.settings.listPath, folder + u"\\a.list");
  EXPECT_EQ(r.settings.windowTitle, "\xd2\xbb\xc7\xf8");  // 一区 in GBK
}

TEST(TrayPresence, TheWindowHidesOnlyWhileTheIconExists) {
  using Look = TrayPresence::Look;
  // Logon before the shell is ready: the automatic start minimises, the
  // retries go on, and the hide happens once the icon is there.
  TrayPresence early;
  EXPECT_EQ(early.IconAdded(false), Look::kUnchanged);
  EXPECT_TRUE(early.RetryDue());
  EXPECT_EQ(early.HideAsked(), Look::kMinimised);
  EXPECT_EQ(early.IconAdded(false), Look::kMinimised);
  EXPECT_EQ(early.IconAdded(true), Look::kHidden);
  EXPECT_FALSE(early.RetryDue());
  // The shell restarts and cannot take the icon back: the hidden window
  // comes back minimised; shown from the tray, it stays shown.
  EXPECT_EQ(early.IconAdded(false), Look::kMinimised);
  early.Shown();
  EXPECT_EQ(early.IconAdded(true), Look::kUnchanged);
  EXPECT_EQ(early.HideAsked(), Look::kHidden);
}

TEST(CommandLine, ModeWordsAreNeverAnOptionsValue) {
  const Result install = Apply({u"/p", u"22226", u"/INSTALL", u"/operators", u"Ops", u"/f", u"a.list"});
  EXPECT_EQ(install.settings.mode, Settings::Mode::kInstall);
  EXPECT_EQ(install.settings.port, 22226);  // not overwritten by "/INSTALL"
  EXPECT_EQ(install.settings.operators, u"Ops");
  EXPECT_EQ(install.settings.listPath, u"a.list");
  EXPECT_EQ(Apply({u"-Service"}).settings.mode, Settings::Mode::kService);
  EXPECT_EQ(Apply({u"/uninstall", u"/p", u"1"}).settings.mode, Settings::Mode::kUninstall);
  EXPECT_EQ(Apply({u"/f", u"/services"}).settings.mode, Settings::Mode::kDesktop);  // a value, not the word
}

TEST(ServiceSetup, TheServicesLineHasEveryOptionOnceWithFullPathsAndSurvivesSplitting) {
  const auto full = [](const std::u16string& path) { return u"C:\\Work Dir\\" + path; };
  const std::u16string line = ServiceCommandLine(
      u"D:\\Morvastel\\Morvastel.exe",
      {u"/install", u"/r", u"/n", u"一区 \"主\"", u"/l", u"logs\\", u"/p", u"1", u"/p", u"22226", u"/operators", u"Ops",
       u"/g", u"30"},
      full);
  const std::vector<std::u16string> args = SplitCommandLine(line);
  EXPECT_EQ(args, (std::vector<std::u16string>{u"D:\\Morvastel\\Morvastel.exe", u"/service", u"/f",
                                               u"C:\\Work Dir\\Morvastel.list", u"/p", u"22226", u"/n",
                                               u"一区 \"主\"", u"/l", u"C:\\Work Dir\\logs\\", u"/g", u"30",
                                               u"/operators", u"Ops"}));
  EXPECT_EQ(ServiceName(22226), u"Morvastel-22226");
  for (const std::u16string& hard : {std::u16string(), std::u16string(u"a\\\\\"b"), std::u16string(u"x \\")}) {
    EXPECT_EQ(SplitCommandLine(u"p " + QuoteArgument(hard)), (std::vector<std::u16string>{u"p", hard}));
  }
}

TEST(ServiceSetup, StopQuitsShutdownEndsTheSessionAndAShutdownKeptForTheWindowIsNeverLost) {
  EXPECT_EQ(ActionOfControl(kControlStop), ServiceAction::kQuit);
  EXPECT_EQ(ActionOfControl(kControlPreshutdown), ServiceAction::kEndSession);
  EXPECT_EQ(ActionOfControl(kControlRehearseShutdown), ServiceAction::kEndSession);
  for (std::uint32_t other : {0x0u, 0x4u /* interrogate */, 0x5u /* shutdown: not asked for */, 201u}) {
    EXPECT_EQ(ActionOfControl(other), ServiceAction::kNone) << other;
  }
  EXPECT_EQ(KeptAction(ServiceAction::kNone, ServiceAction::kQuit), ServiceAction::kQuit);
  EXPECT_EQ(KeptAction(ServiceAction::kQuit, ServiceAction::kEndSession), ServiceAction::kEndSession);
  EXPECT_EQ(KeptAction(ServiceAction::kEndSession, ServiceAction::kQuit), ServiceAction::kEndSession);
  EXPECT_EQ(KeptAction(ServiceAction::kQuit, ServiceAction::kNone), ServiceAction::kQuit);
}

TEST(CommandLine, TheGraceIsWholeSecondsUpToFiveMinutesAndAnythingElseIsNoneAndKept) {
  EXPECT_EQ(Apply({u"/g", u"30"}).settings.graceSeconds, 30);
  EXPECT_EQ(Apply({u"-G", u"300"}).settings.graceSeconds, 300);
  EXPECT_EQ(Apply({}).settings.graceSeconds, 0);
  for (const char16_t* bad : {u"301", u"-1", u"1.5", u"abc", u"", u"1000"}) {
    const Result r = Apply({u"/g", u"10", u"/g", bad});
    EXPECT_EQ(r.settings.graceSeconds, 0) << Utf16ToGbk(bad);
    EXPECT_EQ(r.settings.graceRejected, Utf16ToGbk(bad));
  }
  EXPECT_EQ(Apply({u"/g", u"abc", u"/g", u"5"}).settings.graceRejected, "");  // the last word counts
}
