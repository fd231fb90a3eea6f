#include "app/settings.h"

#include <gtest/gtest.h>

#include "app/tray_presence.h"

namespace {
struct Result {
  Settings settings;
  int armed;
};
Result Apply(std::vector<std::string> args) {
  Result r{Settings{}, 0};
  r.armed = ApplyCommandLine(args, r.settings);
  return r;
}
}  // namespace

TEST(CommandLine, NoArgumentsGiveTheDefaults) {
  const Result r = Apply({});
  EXPECT_EQ(r.settings.listPath, "Morvastel.list");
  EXPECT_EQ(r.settings.port, 22225);
  EXPECT_EQ(r.settings.windowTitle, "");
  EXPECT_EQ(r.settings.bindAddress, "");
  EXPECT_EQ(r.armed, 0);
}

TEST(CommandLine, ValuesGoToThePendingOptionUntilAnotherIsNamed) {
  EXPECT_EQ(Apply({"x", "/f", "a.list"}).settings.listPath, "a.list");
  EXPECT_EQ(Apply({"/f", "a.list", "b.list"}).settings.listPath, "b.list");
  EXPECT_EQ(Apply({"/F", "A.LIST"}).settings.listPath, "A.LIST");
  EXPECT_EQ(Apply({"-f", "A.LIST"}).settings.listPath, "A.LIST");
  const Result r = Apply({"/n", "Title", "/i", "127.0.0.2", "/p", "1234", "/n", "Other"});
  EXPECT_EQ(r.settings.windowTitle, "Other");
  EXPECT_EQ(r.settings.bindAddress, "127.0.0.2");
  EXPECT_EQ(r.settings.port, 1234);
  // The report options take values the same way, case ignored.
  const Result report = Apply({"/L", "j.log", "-m", "a.prom", "b.prom", "/d", "D:\\dumps", "/r"});
  EXPECT_EQ(report.settings.journalPath, "j.log");
  EXPECT_EQ(report.settings.metricsPath, "b.prom");
  EXPECT_EQ(report.settings.dumpFolder, "D:\\dumps");
  EXPECT_EQ(report.armed, 1);
}

TEST(CommandLine, AutomaticStartIsCountedAndLeavesThePendingOption) {
  const Result r = Apply({"/f", "/r", "a.list"});
  EXPECT_EQ(r.armed, 1);
  EXPECT_EQ(r.settings.listPath, "a.list");
  EXPECT_EQ(Apply({"/r", "-R"}).armed, 2);
}

TEST(CommandLine, PortValuesReadLikeAtoiCutTo16Bits) {
  EXPECT_EQ(Apply({"/p", "70000"}).settings.port, 4464);
  EXPECT_EQ(Apply({"/p", "-1"}).settings.port, 65535);  // -1 is not an option word
  EXPECT_EQ(Apply({"/p", "abc"}).settings.port, 0);
}

TEST(CommandLine, TitleEdgeCases) {
  Settings s;
  s.windowTitle = "before";
  ApplyCommandLine({"/n"}, s);  // option at the end: nothing changes
  EXPECT_EQ(s.windowTitle, "before");
  ApplyCommandLine({"/n", ""}, s);  // empty value: the title becomes empty
  EXPECT_EQ(s.windowTitle, "");
}

TEST(CommandLine, GluedOptionIsNotAnOptionWord) {
  const Result r = Apply({"/fa.list"});
  EXPECT_EQ(r.settings.listPath, "Morvastel.list");
  // Nor are longer words or a lone slash.
  EXPECT_EQ(Apply({"/f", "x.list", "/", "//f", "y"}).settings.listPath, "y");
}

TEST(CommandLine, ListPathIsResetToTheDefaultAtTheStartOfThePass) {
  Settings s;
  s.listPath = "stale.list";
  ApplyCommandLine({}, s);
  EXPECT_EQ(s.listPath, "Morvastel.list");
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
