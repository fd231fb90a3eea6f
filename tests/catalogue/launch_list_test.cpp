#include "catalogue/launch_list.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "text/encoding.h"
#include "text/format_text.h"
#include "text/texts.h"
#include "catalogue/read_helper.h"

namespace {
// Writes `bytes` to a file and reads it as the launcher does.
struct FileRead {
  ListHeader header;
  Catalogue catalogue;
  LaunchListReport report;
};
// The file's name has characters GBK lacks: the path reaches the file call
// whole (here as UTF-8, on Windows as UTF-16).
FileRead ReadAsFile(const std::string& bytes) {
  const std::u16string path = u"launch_list_test_J\u00f6rg \ud55c.list";
  const std::string utf8Path = Utf16ToUtf8(path);
  {
    std::ofstream out(utf8Path, std::ios::binary);
    out << bytes;
  }
  FileRead r;
  std::string error;
  EXPECT_TRUE(ReadLaunchListFile(path, r.header, r.catalogue, {}, &error, &r.report)) << error;
  std::remove(utf8Path.c_str());
  return r;
}

// `text` as a file saved by Notepad as "UTF-16 LE" or "UTF-16 BE": the mark,
// then each unit in that byte order.
std::string Utf16File(const std::u16string& text, bool bigEndian) {
  std::string bytes(bigEndian ? kUtf16BeBom : kUtf16LeBom);
  for (const char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
    bytes += bigEndian ? high : low;
    bytes += bigEndian ? low : high;
  }
  return bytes;
}

bool SameSurplus(const SurplusLine& a, const SurplusLine& b) {
  return a.field1 == b.field1 && a.field2 == b.field2 && a.field3 == b.field3 &&
         a.field5 == b.field5 && a.surplus == b.surplus;
}
}  // namespace

TEST(LaunchListHeader, DirectivesAtTheTopSetTheHeaderValues) {
  const ReadResult r = Read("-n  My Title  \r\n/p 70000\r\n-i \t10.0.0.5 \r\n/n Second\r\n::A\r\n");
  EXPECT_EQ(r.header.windowTitle, "Second");
  EXPECT_EQ(r.titles, (std::vector<std::string>{" My Title  ", "Second"}));  // untrimmed
  EXPECT_EQ(r.header.port, 4464);                                          // low 16 bits
  EXPECT_EQ(r.header.bindAddress, "10.0.0.5");                             // trimmed
  ASSERT_EQ(r.catalogue.PlanCount(), 1u);
  EXPECT_EQ(r.catalogue.m_planNames[0], "A");

  EXPECT_EQ(Read("-nXTitle\r\n").header.windowTitle,
            "Title");  // third byte skipped, whatever it is
  // A prefix alone takes the LF and the whole next line; that line is not read on its own.
  const ReadResult bare = Read("-n\r\nNext line\r\n::A\r\n");
  EXPECT_EQ(bare.header.windowTitle, "\nNext line");
  EXPECT_EQ(bare.catalogue.PlanCount(), 1u);
  EXPECT_TRUE(bare.catalogue.m_entries.empty());
}

TEST(LaunchListHeader, DirectivesElsewhereAreProgramLines) {
  for (const char* text : {" -n T x y 5\r\n::Plan\r\n", "-N T x y 5\r\n::Plan\r\n"}) {
    const ReadResult r = Read(text);
    EXPECT_EQ(r.header.windowTitle, "") << text;
    ASSERT_EQ(r.catalogue.m_entries.size(), 1u) << text;
    EXPECT_EQ(r.entry(0).programPath, "T");
  }
  const ReadResult late = Read("::A\r\n-p 99 x y 5\r\n");
  EXPECT_EQ(late.header.port, 22225);
  ASSERT_EQ(late.catalogue.m_entries.size(), 1u);
  EXPECT_EQ(late.entry(0).programPath, "99");
}

TEST(LaunchListFields, BracketedAndBareFieldsBecomeEntries) {
  const ReadResult r = Read(
      "::Main\r\n"
      "[1] [C:\\Servers\\Game Server\\gs.exe] [C:\\Servers\\Game Server] [-port 7000 -x] [10]\r\n"
      "0\t[]\t[]\t[]\t[]\r\n"
      "-1 b.exe C:\\b [ already] -5\r\n"
      "7 [two\r\nlines] d x 0\r\n");
  ASSERT_EQ(r.catalogue.m_entries.size(), 4u);
  EXPECT_TRUE(r.surplus.empty());
  const LaunchEntry& a = r.entry(0);
  EXPECT_EQ(a.enabled, 1);
  EXPECT_EQ(a.programPath, "C:\\Servers\\Game Server\\gs.exe");
  EXPECT_EQ(a.runDirectory, "C:\\Servers\\Game Server");
  EXPECT_EQ(a.commandLine, " -port 7000 -x");
  EXPECT_EQ(a.delaySeconds, 10);
  EXPECT_EQ(a.countdown, 11);
  const LaunchEntry& empty = r.entry(1);
  EXPECT_EQ(empty.programPath, "");
  EXPECT_EQ(empty.runDirectory, "");
  EXPECT_EQ(empty.commandLine, " ");
  EXPECT_EQ(empty.countdown, 1);
  EXPECT_EQ(r.entry(2).enabled, -1);
  EXPECT_EQ(r.entry(2).commandLine, " already");  // no second blank
  EXPECT_EQ(r.entry(2).countdown, -4);
  EXPECT_EQ(r.entry(3).programPath, "two\r\nlines");
  EXPECT_EQ(r.plan(0).count, 4);
  EXPECT_EQ(r.report.stop, ListStop::kEndOfData);
}

TEST(LaunchListFields, MisreadsThatTheFormatDefines) {
  // "[" right after "]" is eaten as the separator: the next field is bare up to a blank.
  const ReadResult glued = Read("::A\r\n1 [C:\\a b][C:\\dir] x 5\r\n");
  ASSERT_EQ(glued.catalogue.m_entries.size(), 1u);
  EXPECT_EQ(glued.entry(0).programPath, "C:\\a b");
  EXPECT_EQ(glued.entry(0).runDirectory, "C:\\dir]");
  EXPECT_EQ(glued.entry(0).delaySeconds, 5);

  // Fields 1 to 4 run on into the next line; the rest of that line is surplus.
  const ReadResult short_ = Read("::A\r\n1 a b\r\n2 x y z 3\r\n");
  ASSERT_EQ(short_.catalogue.m_entries.size(), 1u);
  EXPECT_EQ(short_.entry(0).runDirectory, "b\r\n2");
  ASSERT_EQ(short_.surplus.size(), 1u);
  EXPECT_TRUE(SameSurplus(short_.surplus[0], {"1", "a", "b\r\n2", "y", "z 3"}));

  // A delay of INT32_MAX wraps its countdown instead of overflowing.
  EXPECT_EQ(Read("::A\r\n1 a b c 2147483647\r\n").entry(0).countdown, INT32_MIN);
}

TEST(LaunchListFields, SurplusIsReportedAndTheEntryStillBuilt) {
  const ReadResult r = Read(
      "::A\r\n"
      "1 a b c 5 \r\n"
      "2 d e f 6 extra text\r\n"
      "3 g h [cmd] [7] tail\r\n"
      "4 i j k 8\r\r\n");
  EXPECT_EQ(r.catalogue.m_entries.size(), 4u);
  EXPECT_EQ(r.plan(0).count, 4);
  ASSERT_EQ(r.surplus.size(), 4u);
  EXPECT_TRUE(SameSurplus(r.surplus[0], {"1", "a", "b", "5", ""}));  // trailing blank: empty text
  EXPECT_TRUE(SameSurplus(r.surplus[1], {"2", "d", "e", "6", "extra text"}));
  EXPECT_TRUE(SameSurplus(r.surplus[2], {"3", "g", "h", "7", "tail"}));
  EXPECT_TRUE(SameSurplus(r.surplus[3], {"4", "i", "j", "8", ""}));  // a second CR
  EXPECT_EQ(r.entry(2).commandLine, " cmd");
}

TEST(LaunchListEnd, RulesAfterAProgramLine) {
  const ReadResult two = Read("::A\r\n1 a b c 0\r\n\r\n\r\n::B\r\n1 d e f 0\r\n");
  EXPECT_EQ(two.catalogue.PlanCount(), 1u);
  EXPECT_EQ(two.catalogue.m_entries.size(), 1u);
  EXPECT_EQ(two.report.stop, ListStop::kTwoEmptyLines);
  EXPECT_EQ(two.report.stopOffset, 16u);

  // A final plan line of five bytes after a program line is never read; six bytes are.
  const ReadResult five = Read("::A\r\n1 a b c 0\r\n::B\r\n");
  EXPECT_EQ(five.catalogue.PlanCount(), 1u);
  EXPECT_EQ(five.report.stop, ListStop::kShortTail);
  EXPECT_EQ(five.report.stopOffset, 16u);
  EXPECT_EQ(five.report.dataSize, 21u);
  EXPECT_EQ(Read("::A\r\n1 a b c 0\r\n::BC\r\n").catalogue.PlanCount(), 2u);

  // After a plan line no end rule applies: the empty lines join the next first field.
  const ReadResult afterPlan = Read("::A\r\n\r\n\r\n1 a b c 0\r\n");
  ASSERT_EQ(afterPlan.catalogue.m_entries.size(), 1u);
  EXPECT_EQ(afterPlan.entry(0).enabled, 1);
  EXPECT_EQ(Read("::A\r\n::B\r\n").catalogue.PlanCount(), 2u);
}

TEST(LaunchListEnd, OneEmptyLineJoinsTheNextLine) {
  const std::string head = "::A\r\n1 a b c 0\r\n\r\n";
  const ReadResult bare = Read(head + "1 d e f 0\r\n");  // the number skips the line break
  EXPECT_EQ(bare.entry(1).enabled, 1);
  EXPECT_EQ(Read(head + "[1] d e f 0\r\n").entry(1).enabled, 0);

  // The plan line is swallowed into a program line of plan A.
  const ReadResult plan = Read(head + "::B\r\n1 d e f 2\r\n");
  EXPECT_EQ(plan.catalogue.PlanCount(), 1u);
  ASSERT_EQ(plan.catalogue.m_entries.size(), 2u);
  EXPECT_EQ(plan.entry(1).enabled, 0);
  EXPECT_EQ(plan.entry(1).programPath, "d");
  EXPECT_EQ(plan.entry(1).delaySeconds, 2);
  EXPECT_EQ(plan.plan(0).count, 2);

  // An indented line moves its fields one place along.
  const ReadResult indented = Read(head + "  1 q e f 2\r\n");
  ASSERT_EQ(indented.catalogue.m_entries.size(), 2u);
  EXPECT_EQ(indented.entry(1).enabled, 0);
  EXPECT_EQ(indented.entry(1).programPath, "1");
  EXPECT_EQ(indented.entry(1).runDirectory, "q");
  ASSERT_EQ(indented.surplus.size(), 1u);
  EXPECT_TRUE(SameSurplus(indented.surplus[0], {"\r\n", "1", "q", "f", "2"}));
}

TEST(LaunchListPlans, EntriesBeforeThePlanAndEmptyPlans) {
  const ReadResult r = Read("1 a b c 0\r\n2 d e f 0\r\n::A\r\n::B\r\n3 g h i 0\r\n::Empty\r\n");
  EXPECT_EQ(r.catalogue.m_entries.size(), 3u);
  ASSERT_EQ(r.catalogue.PlanCount(), 3u);
  EXPECT_EQ(r.plan(0).first, 2);
  EXPECT_EQ(r.plan(0).count, 0);
  EXPECT_EQ(r.plan(1).first, 2);
  EXPECT_EQ(r.plan(1).count, 1);
  EXPECT_EQ(r.plan(2).first, 3);
  EXPECT_EQ(r.plan(2).count, 0);
  EXPECT_EQ(r.catalogue.m_planRunning, (std::vector<std::uint32_t>{0, 0, 0}));
  EXPECT_EQ(r.catalogue.m_planLaunched, (std::vector<std::uint32_t>{0, 0, 0}));

  const ReadResult noPlan = Read("1 a b c 0\r\n");
  EXPECT_EQ(noPlan.catalogue.m_entries.size(), 1u);
  EXPECT_EQ(noPlan.catalogue.PlanCount(), 0u);

  // Text after a plan name is ignored; "::" alone opens a plan with an empty name.
  const ReadResult names = Read("  ::Main server\tnote\r\n::\r\n");
  EXPECT_EQ(names.catalogue.m_planNames, (std::vector<std::string>{"Main", ""}));
}

TEST(LaunchListData, MissingFinalLineBreakAndEmptyData) {
  const ReadResult cut = Read("::A\r\n1 a b c 5");
  EXPECT_TRUE(cut.report.appendedLineBreak);
  ASSERT_EQ(cut.catalogue.m_entries.size(), 1u);
  EXPECT_EQ(cut.entry(0).delaySeconds, 5);
  EXPECT_TRUE(cut.surplus.empty());
  EXPECT_EQ(cut.report.stop, ListStop::kEndOfData);

  const ReadResult empty = Read("");
  EXPECT_EQ(empty.report.stop, ListStop::kEmpty);
  EXPECT_TRUE(empty.catalogue.m_entries.empty());
  EXPECT_EQ(empty.catalogue.PlanCount(), 0u);
  EXPECT_EQ(empty.header.port, 22225);
}

// The data can end inside any kind of field: reading stops there, that line
// gives nothing, and the last plan is closed over the entries before it.
TEST(LaunchListData, DataEndingInsideALineGivesNothingForThatLine) {
  const std::string head = "::A\r\n1 a b c 0\r\n";
  const std::string truncated[] = {
      head + "1 [unclosed d c 0\r\n",  // no closing "]"
      head + "abcdefg",                // bare field 1
      head + "1 abcdef",               // bare field 2
      head + "1 a bcdef",              // bare field 3
      head + "1 a b cdef",             // bare field 4
      head + "1 a b c 5\n",            // bare field 5 with LF alone
      head + "::Name\n",               // plan name with LF alone
  };
  for (const std::string& text : truncated) {
    const ReadResult r = Read(text);
    EXPECT_EQ(r.report.stop, ListStop::kTruncated) << text;
    EXPECT_EQ(r.report.stopOffset, head.size()) << text;
    EXPECT_EQ(r.catalogue.m_entries.size(), 1u) << text;
    ASSERT_EQ(r.catalogue.PlanCount(), 1u) << text;
    EXPECT_EQ(r.plan(0).count, 1) << text;
  }

  const ReadResult directive = Read("-n Title\n");  // directive value without its CR
  EXPECT_EQ(directive.report.stop, ListStop::kTruncated);
  EXPECT_EQ(directive.header.windowTitle, "");
  EXPECT_TRUE(directive.titles.empty());

  // LF-only lines: the plan name runs on to the next blank, the last field to the end.
  const ReadResult lf = Read("::A\n1 p d c 5\n1 q e f 6\n");
  EXPECT_EQ(lf.catalogue.m_planNames, (std::vector<std::string>{"A\n1"}));
  EXPECT_TRUE(lf.catalogue.m_entries.empty());
  EXPECT_EQ(lf.plan(0).count, 0);
  EXPECT_EQ(lf.report.stop, ListStop::kTruncated);
  EXPECT_EQ(Read("\n").report.stop, ListStop::kTruncated);
}

TEST(LaunchListFile, ReadsInBinaryModeAndReportsAMissingFile) {
  const std::string path = "launch_list_test.list";
  {
    std::ofstream out(path, std::ios::binary);
    out << "-p 1234\r\n::A\r\n1 a b c 3\r\n";
  }
  ListHeader header;
  Catalogue catalogue;
  LaunchListReport report;
  std::string error;
  ASSERT_TRUE(ReadLaunchListFile(u"launch_list_test.list", header, catalogue, {}, &error, &report));
  EXPECT_EQ(header.port, 1234);
  EXPECT_EQ(catalogue.m_entries.size(), 1u);
  EXPECT_EQ(report.dataSize, 25u);
  std::remove(path.c_str());

  ListHeader missing;
  Catalogue empty;
  EXPECT_FALSE(ReadLaunchListFile(u"no-such-dir/none.list", missing, empty, {}, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(empty.PlanCount(), 0u);
  EXPECT_EQ(missing.port, 22225);
}

TEST(LaunchListFile, AListSavedAsUtf8OrUtf16WithTheMarkReadsLikeTheSameListInGbk) {
  // 调度台, 全部服务 and C:\服务器 in GBK and in UTF-8.
  const auto list = [](const std::string& title, const std::string& plan, const std::string& dir) {
    return "/n " + title + "\r\n::" + plan + "\r\n1 [" + dir + "\\a b.exe] " + dir +
           " [-x] 3\r\n1 a b c 0\r\n\r\n\r\n::Unread\r\n";
  };
  const std::string gbk = list("\xb5\xf7\xb6\xc8\xcc\xa8", "\xc8\xab\xb2\xbf\xb7\xfe\xce\xf1",
                               "C:\\\xb7\xfe\xce\xf1\xc6\xf7");
  const std::string utf8 = list("\xe8\xb0\x83\xe5\xba\xa6\xe5\x8f\xb0",
                                "\xe5\x85\xa8\xe9\x83\xa8\xe6\x9c\x8d\xe5\x8a\xa1",
                                "C:\\\xe6\x9c\x8d\xe5\x8a\xa1\xe5\x99\xa8");
  const ReadResult expected = Read(gbk);
  const std::u16string wide = Utf8ToUtf16(utf8);
  const std::pair<std::string, ListEncoding> marked[] = {{std::string(kUtf8Bom) + utf8, ListEncoding::kUtf8Bom},
                                                         {Utf16File(wide, false), ListEncoding::kUtf16Le},
                                                         {Utf16File(wide, true), ListEncoding::kUtf16Be}};
  for (const auto& [bytes, encoding] : marked) {
    const FileRead bom = ReadAsFile(bytes);
    EXPECT_EQ(bom.report.encoding.encoding, encoding);
    EXPECT_EQ(bom.header.windowTitle, expected.header.windowTitle);
    EXPECT_EQ(bom.catalogue.m_planNames, expected.catalogue.m_planNames);
    ASSERT_EQ(bom.catalogue.m_entries.size(), 2u);
    EXPECT_EQ(bom.catalogue.m_entries[0]->programPath, expected.entry(0).programPath);
    EXPECT_EQ(bom.catalogue.m_entries[0]->runDirectory, expected.entry(0).runDirectory);
    EXPECT_EQ(bom.catalogue.m_entries[0]->commandLine, " -x");
    // Offsets count the GBK text, so they match the GBK list's.
    EXPECT_EQ(bom.report.stop, ListStop::kTwoEmptyLines);
    EXPECT_EQ(bom.report.stopOffset, expected.report.stopOffset);
    EXPECT_EQ(bom.report.dataSize, expected.report.dataSize);
    EXPECT_EQ(bom.report.encoding.replacedCharacters, 0u);
    EXPECT_FALSE(bom.report.encoding.utf8WithoutMark);
  }

  // Without the mark the bytes are read as they are, UTF-8 or not; UTF-8
  // with multi-byte characters is noted.
  const FileRead plain = ReadAsFile(utf8);
  EXPECT_EQ(plain.catalogue.m_planNames[0], "\xe5\x85\xa8\xe9\x83\xa8\xe6\x9c\x8d\xe5\x8a\xa1");
  EXPECT_EQ(plain.report.encoding.encoding, ListEncoding::kGbk);
  EXPECT_TRUE(plain.report.encoding.utf8WithoutMark);

  // What the journal says of each: nothing for a GBK list; the byte order
  // of a UTF-16 one, and how many characters became '?'.
  EXPECT_EQ(ListEncodingDetail(Read(gbk).report.encoding), "");
  EXPECT_EQ(ListEncodingDetail(plain.report.encoding), texts::kDetailUtf8Unmarked);
  EXPECT_EQ(ListEncodingDetail({ListEncoding::kUtf8Bom, false, 0}), texts::kDetailUtf8WithMark);
  const std::string be = ListEncodingDetail({ListEncoding::kUtf16Be, false, 0});
  EXPECT_NE(be.find("UTF-16 BE"), std::string::npos) << be;
  const std::string replaced = ListEncodingDetail({ListEncoding::kUtf16Le, false, 27});
  EXPECT_EQ(replaced.rfind(FormatText(texts::kDetailUtf16WithMark, "LE"), 0), 0u) << replaced;
  EXPECT_NE(replaced.find(" 27 "), std::string::npos) << replaced;
  const std::string middleMark = "::A\r\n\xEF\xBB\xBF::B\r\n";
  for (const std::string& bytes : {gbk, utf8, middleMark, std::string("::A\r\n1 a b c 0\r\n")}) {
    const LaunchListText text = DecodeLaunchList(bytes);
    EXPECT_EQ(text.gbk, bytes);
    EXPECT_EQ(text.note.encoding, ListEncoding::kGbk);
    EXPECT_TRUE(text.replaced.empty());
    EXPECT_EQ(text.note.utf8WithoutMark, bytes == utf8 || bytes == middleMark) << bytes;
  }

  // A character without a GBK form becomes one '?' (also beyond U+FFFF, and
  // for bytes that are not UTF-8), named with its line; a '?' of the list is not.
  const LaunchListText lossy =
      DecodeLaunchList(std::string(kUtf8Bom) + "::A?\r\n\r\n1 [C:\\\xea\xb0\x80\\" +
                       "\xf0\x9f\x98\x80.exe] d \xff 0\r\n");  // U+AC00, U+1F600
  EXPECT_EQ(lossy.gbk, "::A?\r\n\r\n1 [C:\\?\\?.exe] d ? 0\r\n");
  EXPECT_EQ(lossy.note.replacedCharacters, 3u);
  ASSERT_EQ(lossy.replaced.size(), 3u);
  const char32_t codePoints[] = {0xAC00, 0x1F600, 0xFFFD};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(lossy.replaced[i].codePoint, codePoints[i]) << i;
    EXPECT_EQ(lossy.replaced[i].line, 3u) << i;
  }
  EXPECT_EQ(DecodeLaunchList(kUtf8Bom).gbk, "");
  // In UTF-16 too; a lone surrogate and an odd last byte are not UTF-16.
  const LaunchListText lossy16 =
      DecodeLaunchList(Utf16File(u"::A\r\n1 [C:\\\uAC00] \U0001F600 \xD800 0\r\n", false) + "x");
  EXPECT_EQ(lossy16.gbk, "::A\r\n1 [C:\\?] ? ? 0\r\n?");
  ASSERT_EQ(lossy16.replaced.size(), 4u);
  EXPECT_EQ(lossy16.replaced[1].codePoint, 0x1F600u);
  EXPECT_EQ(lossy16.replaced[3].codePoint, 0xFFFDu);
  EXPECT_EQ(lossy16.replaced[3].line, 3u);
  EXPECT_EQ(DecodeLaunchList(kUtf16BeBom).gbk, "");
  // A character beyond U+FFFF is named when it is the only one.
  for (const std::string& bytes :
       {std::string(kUtf8Bom) + "::\xf0\x9f\x98\x80\r\n", Utf16File(u"::\U0001F600\r\n", true)}) {
    const LaunchListText beyond = DecodeLaunchList(bytes);
    EXPECT_EQ(beyond.gbk, "::?\r\n");
    ASSERT_EQ(beyond.replaced.size(), 1u);
    EXPECT_EQ(beyond.replaced[0].codePoint, 0x1F600u);
  }
}
