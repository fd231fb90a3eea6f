#include "catalogue/list_check.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "text/encoding.h"

namespace {
using Kind = ListWarning::Kind;

const ListWarning* Find(const ListCheck& c, Kind kind) {
  auto it = std::find_if(c.warnings.begin(), c.warnings.end(),
                         [kind](const ListWarning& w) { return w.kind == kind; });
  return it == c.warnings.end() ? nullptr : &*it;
}
}  // namespace

TEST(ListCheck, WarnsAboutTheTrapsWithTheirLines) {
  const ListCheck c = CheckLaunchList(
      "1 orphan d c 0\r\n"  // 1: before the first plan
      "::Dup\r\n"           // 2
      "1 a b c -1\r\n"      // 3: never launched
      "\r\n"                // 4
      "::Lost\r\n"          // 5: swallowed by the empty line
      "1 d e f 0\r\n"       // 6
      "::Empty\r\n"         // 7
      "::Dup\r\n"           // 8
      "1 g h i 0\r\n"       // 9
      "\r\n\r\n"            // 10, 11: reading stops
      "::Never\r\n"         // 12
      "1 j k l 0\r\n");
  ASSERT_EQ(c.warnings.size(), 7u);
  const std::pair<Kind, std::size_t> expected[] = {{Kind::kEntriesBeforeFirstPlan, 1},
                                                   {Kind::kStartsUnticked, 5},  // the swallowed line reads 0
                                                   {Kind::kSwallowedPlan, 5},
                                                   {Kind::kUnreadData, 10},
                                                   {Kind::kEmptyPlan, 7},
                                                   {Kind::kDuplicatePlanName, 8},
                                                   {Kind::kNeverLaunched, 3}};
  for (const auto& [kind, line] : expected) {
    const ListWarning* w = Find(c, kind);
    ASSERT_NE(w, nullptr) << static_cast<int>(kind);
    EXPECT_EQ(w->line, line) << w->text;
  }
  EXPECT_EQ(Find(c, Kind::kSwallowedPlan)->index, 2);
  EXPECT_NE(Find(c, Kind::kSwallowedPlan)->text.find("\"::Lost\""), std::string::npos);
  EXPECT_NE(Find(c, Kind::kUnreadData)->text.find("\"Never\" (line 12)"), std::string::npos);
  EXPECT_EQ(c.planLines, (std::vector<std::size_t>{2, 7, 8}));
  EXPECT_EQ(c.entryLines, (std::vector<std::size_t>{1, 3, 5, 9}));

  // Every delay whose countdown never reaches zero: any negative one, and
  // one so large that its countdown wraps.
  const ListCheck never = CheckLaunchList("::A\r\n1 a b c -2\r\n1 a b c 2147483647\r\n1 a b c 2147483646\r\n");
  ASSERT_EQ(never.warnings.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(never.warnings[i].kind, Kind::kNeverLaunched);
    EXPECT_EQ(never.warnings[i].line, i + 2);
  }
}

TEST(ListCheck, LineEndsDirectivesAndTruncation) {
  const ListCheck c = CheckLaunchList("-n\r\nTitle line\r\n::A\r\n1 a b c 5\n");
  ASSERT_EQ(c.warnings.size(), 4u);
  EXPECT_EQ(c.warnings[0].kind, Kind::kLfOnlyLines);
  EXPECT_EQ(c.warnings[0].line, 4u);
  EXPECT_EQ(c.warnings[1].kind, Kind::kDirectiveTakesNextLine);
  EXPECT_EQ(c.warnings[1].line, 1u);
  EXPECT_EQ(c.warnings[2].kind, Kind::kTruncatedLine);
  EXPECT_EQ(c.warnings[2].line, 4u);
  EXPECT_EQ(c.warnings[3].kind, Kind::kEmptyPlan);  // its only line gave nothing

  // A final plan line lost to the six-byte rule is named.
  const ListCheck tail = CheckLaunchList("::A\r\n1 a b c 0\r\n::B\r\n");
  ASSERT_EQ(tail.warnings.size(), 1u);
  EXPECT_EQ(tail.warnings[0].kind, Kind::kUnreadData);
  EXPECT_NE(tail.warnings[0].text.find("\"B\" (line 3)"), std::string::npos);
}

TEST(ListCheck, RunOnLinesAndUntickedRows) {
  const ListCheck c = CheckLaunchList(
      "::A\r\n"
      "1 a.exe dir args\r\n"      // 2: four fields...
      " 4\r\n"                    // 3: ...the fifth comes from here
      "1 [b c] [d\r\ne] f 0\r\n"  // 4-5: a bracket across a line break
      "0 g.exe dir h 0\r\n"       // 6: starts unticked
      "\r\n"                      // 7: an empty line before a bare first field is harmless
      "1 i.exe dir j 0\r\n");
  std::vector<std::pair<Kind, std::size_t>> got;
  for (const ListWarning& w : c.warnings) got.emplace_back(w.kind, w.line);
  EXPECT_EQ(got, (std::vector<std::pair<Kind, std::size_t>>{
                     {Kind::kRunOnLine, 2}, {Kind::kRunOnLine, 4}, {Kind::kStartsUnticked, 6}}));
  EXPECT_EQ(c.catalogue.m_entries[0]->commandLine, " args\r\n");
  EXPECT_NE(c.warnings[0].text.find("lines 2-3"), std::string::npos);
  EXPECT_NE(c.warnings[1].text.find("lines 4-5"), std::string::npos);
}

TEST(ListCheck, CleanListsGiveNoWarnings) {
  // A trailing empty line is left unread but holds nothing.
  EXPECT_TRUE(CheckLaunchList("::A\r\n1 a b c 0\r\n\r\n").warnings.empty());
  EXPECT_TRUE(CheckLaunchList("").warnings.empty());
  // What a deploy stops on: any warning, a surplus among them, is status 1.
  EXPECT_EQ(ListCheckReportStatus(CheckLaunchList("::A\r\n1 a b c 0\r\n\r\n")), 0);
  EXPECT_EQ(ListCheckReportStatus(CheckLaunchList("::A\r\n1 a b c 0 more\r\n\r\n")), 1);

  std::string bytes, error;
  ASSERT_TRUE(ReadFileBytes(Utf8ToUtf16(MORVASTEL_EXAMPLE_LIST), bytes, &error)) << error;
  const ListCheck example = CheckLaunchList(bytes);
  for (const ListWarning& w : example.warnings) ADD_FAILURE() << w.text;
  EXPECT_TRUE(example.surplus.empty());
  EXPECT_GE(example.catalogue.PlanCount(), 2u);
  EXPECT_FALSE(example.header.windowTitle.empty());
  EXPECT_EQ(example.report.stop, ListStop::kEndOfData);
}

TEST(ListCheck, WarnsAboutTheListsEncoding) {
  const auto noWarnings = [](const ListCheck& c) {
    return FormatListReport(c, "x.list").find("No warnings.") != std::string::npos;
  };
  // Read as UTF-8 for its mark, with the characters that became '?' and their lines;
  // the other checks count the converted text.
  const ListCheck bom = CheckLaunchList(std::string(kUtf8Bom) +
                                        "::\xe5\x85\xa8\r\n"      // 1: 全
                                        "1 a b c 0\r\n"            // 2
                                        "1 \xea\xb0\x80 b c 0\r\n"  // 3: U+AC00
                                        "1 d e \xf0\x9f\x98\x80\xff 0\r\n\r\n\r\n::X\r\n");
  ASSERT_EQ(bom.warnings.size(), 2u);
  EXPECT_EQ(bom.warnings[0].kind, Kind::kConverted);
  EXPECT_NE(bom.warnings[0].text.find(
                "3 character(s) without a GBK form became \"?\": U+AC00 (line 3), U+1F600 "
                "(line 4), U+FFFD (not UTF-8, line 4)"),
            std::string::npos)
      << bom.warnings[0].text;
  EXPECT_EQ(bom.warnings[1].kind, Kind::kUnreadData);
  EXPECT_EQ(bom.warnings[1].line, 5u);
  EXPECT_EQ(bom.catalogue.m_planNames[0], "\xc8\xab");
  // The mark; 全 3 bytes to 2, U+AC00 3 to 1, U+1F600 4 to 1.
  EXPECT_EQ(bom.textSize, bom.fileSize - 3 - 1 - 2 - 3);
  // The report's first line names the encoding, whatever it is.
  const auto header = [](const ListCheck& c) {
    const std::string report = FormatListReport(c, "x.list");
    return report.substr(0, report.find('\n'));
  };
  EXPECT_EQ(header(bom), "Launch list x.list: " + std::to_string(bom.fileSize) +
                             " bytes of UTF-8 with a byte-order mark, read as " + std::to_string(bom.textSize) +
                             " bytes of GBK");
  const ListCheck clean = CheckLaunchList(std::string(kUtf8Bom) + "::A\r\n1 a b c 0\r\n");
  ASSERT_EQ(clean.warnings.size(), 1u);
  EXPECT_EQ(clean.warnings[0].kind, Kind::kConverted);
  EXPECT_FALSE(noWarnings(clean));
  // A character beyond U+FFFF is named when it is the only one.
  const ListCheck emoji = CheckLaunchList(std::string(kUtf8Bom) + "::A\r\n1 \xf0\x9f\x98\x80 b c 0\r\n");
  ASSERT_EQ(emoji.warnings.size(), 1u);
  EXPECT_NE(emoji.warnings[0].text.find("1 character(s) without a GBK form became \"?\": U+1F600 (line 2)"),
            std::string::npos)
      << emoji.warnings[0].text;

  // UTF-16 with its mark (Notepad's "UTF-16 LE" and "UTF-16 BE"): converted
  // the same way, a lone surrogate named as not UTF-16.
  const ListCheck le = CheckLaunchList(std::string("\xff\xfe:\0:\0A\0\r\0\n\0" "1\0 \0\x00\xd8 \0b\0 \0c\0 \0" "0\0", 28));
  EXPECT_EQ(le.report.encoding.encoding, ListEncoding::kUtf16Le);
  ASSERT_EQ(le.warnings.size(), 1u);
  EXPECT_EQ(le.warnings[0].kind, Kind::kConverted);
  EXPECT_NE(le.warnings[0].text.find("UTF-16 LE byte-order mark: it is read as UTF-16 LE and converted"),
            std::string::npos);
  EXPECT_NE(le.warnings[0].text.find("U+FFFD (not UTF-16 LE, line 2)"), std::string::npos) << le.warnings[0].text;
  EXPECT_EQ(le.catalogue.m_entries[0]->programPath, "?");
  EXPECT_EQ(header(le), "Launch list x.list: 28 bytes of UTF-16 LE with a byte-order mark, read as 13 bytes of GBK "
                       "(no line break at the end: CR LF appended)");
  EXPECT_EQ(header(CheckLaunchList(std::string("\xfe\xff\0:\0\r\0\n", 8))),
            "Launch list x.list: 8 bytes of UTF-16 BE with a byte-order mark, read as 3 bytes of GBK");
  EXPECT_EQ(header(CheckLaunchList("::A\r\n")), "Launch list x.list: 5 bytes of GBK");

  // UTF-8 without the mark: read as GBK, with how to save it as GBK.
  const ListCheck utf8 = CheckLaunchList("::A\r\n1 a b c 0\r\n::\xe5\x85\xa8\r\n1 a b c 0\r\n");
  ASSERT_EQ(utf8.warnings.size(), 1u);
  EXPECT_EQ(utf8.warnings[0].kind, Kind::kUtf8WithoutMark);
  EXPECT_EQ(utf8.warnings[0].line, 3u);
  EXPECT_NE(utf8.warnings[0].text.find("File > Save As, Encoding: ANSI"), std::string::npos);
  EXPECT_EQ(utf8.catalogue.m_planNames[1], "\xe5\x85\xa8");  // the bytes as they are
  EXPECT_FALSE(noWarnings(utf8));
  EXPECT_EQ(header(utf8), "Launch list x.list: 34 bytes of GBK (though they look like UTF-8 without a byte-order mark)");
  // The same list in GBK (全部: a lone 全 would be valid UTF-8 too) gives no warning.
  EXPECT_TRUE(
      noWarnings(CheckLaunchList("::A\r\n1 a b c 0\r\n::\xc8\xab\xb2\xbf\r\n1 a b c 0\r\n")));
}

TEST(ListCheck, WarnsAboutHiddenBracketsFalseDirectivesSurplusAndMissingPaths) {
  using Lines = std::vector<std::pair<Kind, std::size_t>>;
  const auto kindsAndLines = [](const ListCheck& c) {
    Lines got;
    for (const ListWarning& w : c.warnings) got.emplace_back(w.kind, w.line);
    return got;
  };
  // 揮 is 93 5D: its "]" ends the bracket after the lead byte, which the
  // report shows escaped. 乕 is 81 5B: the separator after "[a]" takes its
  // lead byte and its "[" opens a bracket. 指 (D6 B8) in brackets is harmless.
  const ListCheck brackets = CheckLaunchList(
      "::A\r\n"
      "1 [C:\\\xd6\xb8\x93] x\\a.exe] d c 0\r\n"  // 2
      "1 [a]\x81[b] d c 0\r\n"                     // 3
      "1 [C:\\\xd6\xb8 x\\a.exe] d [] 0\r\n");      // 4
  const Lines hidden = {{Kind::kHiddenDelimiter, 2}, {Kind::kHiddenDelimiter, 3}};
  Lines got = kindsAndLines(brackets);
  got.erase(std::remove_if(got.begin(), got.end(),
                           [](const auto& w) { return w.first != Kind::kHiddenDelimiter; }),
            got.end());
  EXPECT_EQ(got, hidden);
  EXPECT_NE(Find(brackets, Kind::kHiddenDelimiter)->text.find("\"\x93]\""), std::string::npos);
  EXPECT_NE(Find(brackets, Kind::kHiddenDelimiter)->text.find("as \"C:\\\xd6\xb8\\x93\""),
            std::string::npos);

  // Where the header ends: an upper-case directive, one after an empty line;
  // values the launcher takes otherwise than they look.
  EXPECT_EQ(kindsAndLines(CheckLaunchList("/N T\r\n::A\r\n1 a b c 0\r\n"))[0],
            std::make_pair(Kind::kNotADirective, std::size_t{1}));
  EXPECT_EQ(kindsAndLines(CheckLaunchList("/n T\r\n\r\n/p 1\r\n::A\r\n1 a b c 0\r\n"))[0],
            std::make_pair(Kind::kNotADirective, std::size_t{3}));
  const ListCheck values =
      CheckLaunchList("/n \r\n/p x\r\n/i\t\r\n-p 70000\r\n/p 22225\r\n::A\r\n1 a b c 0\r\n");
  EXPECT_EQ(kindsAndLines(values), (Lines{{Kind::kDirectiveValue, 1}, {Kind::kDirectiveValue, 2},
                                          {Kind::kDirectiveValue, 3}, {Kind::kDirectiveValue, 4}}));
  EXPECT_NE(values.warnings[1].text.find("port becomes 0"), std::string::npos);
  EXPECT_NE(values.warnings[3].text.find("port becomes 4464"), std::string::npos);

  // A surplus line is a warning: the launcher shows a box for it.
  const ListCheck surplus = CheckLaunchList("::A\r\n1 a b c 0 \r\n");
  EXPECT_EQ(kindsAndLines(surplus), (Lines{{Kind::kSurplus, 2}}));
  EXPECT_EQ(FormatListReport(surplus, "x.list").find("No warnings."), std::string::npos);

  // Paths as the machine has them; an empty directory, an entry never
  // launched and one before the first plan are not asked about.
  ListCheck paths = CheckLaunchList(
      "1 gone.exe gone c 0\r\n::A\r\n"
      "1 a.exe dir c 0\r\n"    // 3: fine
      "1 gone.exe [] c 0\r\n"  // 4: no program
      "1 a.exe gone c 0\r\n"   // 5: no directory
      "1 dir a.exe c 0\r\n"    // 6: a folder as program, a file as directory
      "1 gone.exe gone c -1\r\n");
  const std::size_t before = paths.warnings.size();
  std::vector<std::string> asked;
  AddMissingPathWarnings(paths, [&asked](const std::string& path) {
    asked.push_back(path);
    return path == "a.exe" ? PathKind::kFile : path == "dir" ? PathKind::kDirectory : PathKind::kMissing;
  });
  EXPECT_EQ(asked.size(), 7u);
  got = kindsAndLines(paths);
  got.erase(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(before));
  EXPECT_EQ(got, (Lines{{Kind::kMissingPath, 4}, {Kind::kMissingPath, 5},
                        {Kind::kMissingPath, 6}, {Kind::kMissingPath, 6}}));
}

TEST(ListDump, EscapesEveryByteThatIsNotPlainText) {
  EXPECT_EQ(EscapeListText("a\\b\tc\rd\ne\x01\x1f\x7f\x80\xc3\xeb ~"),
            "a\\\\b\\tc\\rd\\ne\\x01\\x1f\\x7f\\x80\\xc3\\xeb ~");
  EXPECT_EQ(EscapeListText("C:\\\xc3\xeb\x7f\r", true), "C:\\\xc3\xeb\\x7f\\r");
}

TEST(ListDump, ExactMachineForm) {
  const ListCheck c =
      CheckLaunchList("-n T\\x\r\n-i  ::1 \r\n0 stray d c 0\r\n::P\xc3\xeb\r\n1 a b [] 5 junk\r\n");
  EXPECT_EQ(FormatListDump(c),
            "encoding\tgbk\n"
            "title\tT\\\\x\n"
            "port\t22225\n"
            "bind\t::1\n"
            "surplus\t1\ta\tb\t5\tjunk\n"
            "entries\t2\n"
            "entry\t0\t0\t0\tstray\td\t c\n"
            "entry\t1\t1\t5\ta\tb\t \n"
            "plans\t1\n"
            "plan\t0\t1\t1\tP\\xc3\\xeb\n");
  EXPECT_EQ(FormatListDump(CheckLaunchList("")),
            "encoding\tgbk\ntitle\t\nport\t22225\nbind\t\nentries\t0\nplans\t0\n");
  EXPECT_EQ(FormatListDump(CheckLaunchList(kUtf16BeBom)).substr(0, 22), "encoding\tutf-16be-bom\n");
  EXPECT_EQ(FormatListDump(CheckLaunchList(kUtf8Bom)).substr(0, 19), "encoding\tutf-8-bom\n");
}

TEST(ListCheckArguments, AFileADumpOfOneOrTheVersionAndNothingElse) {
  using Action = ListCheckCommand::Action;
  ListCheckCommand c = ParseListCheckArguments({u"a.list"});
  EXPECT_EQ(c.action, Action::kReport);
  EXPECT_EQ(c.path, u"a.list");
  c = ParseListCheckArguments({u"--dump", u"\u65b9\u6848.list"});
  EXPECT_EQ(c.action, Action::kDump);
  EXPECT_EQ(c.path, u"\u65b9\u6848.list");
  EXPECT_EQ(ParseListCheckArguments({u"--version"}).action, Action::kVersion);
  EXPECT_EQ(ParseListCheckArguments({u"--help"}).action, Action::kHelp);
  // One word is a file, whatever it looks like: the options are matched exactly.
  for (const char16_t* file : {u"--dump", u"--Version", u"-version"}) {
    c = ParseListCheckArguments({file});
    EXPECT_EQ(c.action, Action::kReport);
    EXPECT_EQ(c.path, file);
  }
  for (const std::vector<std::u16string>& bad : std::vector<std::vector<std::u16string>>{
           {}, {u"a.list", u"--dump"}, {u"--version", u"a.list"}, {u"--help", u"a"}, {u"a", u"b"}, {u"--DUMP", u"a"},
           {u"--dump", u"a", u"b"}}) {
    EXPECT_EQ(ParseListCheckArguments(bad).action, Action::kUsage) << bad.size();
  }
}
