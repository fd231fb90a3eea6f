#include "text/command_line.h"

#include <gtest/gtest.h>

TEST(SplitCommandLine, SplitsAsTheCRuntimeDoesWhereCommandLineToArgvWDiffers) {
  using Args = std::vector<std::u16string>;
  // "" inside quotes is one quote and the quotes go on (CommandLineToArgvW
  // would end them, and take "/f b.list" into the title).
  EXPECT_EQ(SplitCommandLine(u"M.exe /n \"a\"\"b\" /f b.list"), (Args{u"M.exe", u"/n", u"a\"b", u"/f", u"b.list"}));
  EXPECT_EQ(SplitCommandLine(u"M.exe a\"b\"\" c d"), (Args{u"M.exe", u"ab\" c d"}));
  EXPECT_EQ(SplitCommandLine(u"M.exe \"\"\"a\"\"\" x"), (Args{u"M.exe", u"\"a\"", u"x"}));
  // A quoted program runs on to a blank outside quotes.
  EXPECT_EQ(SplitCommandLine(u"\"C:\\a b\\M.exe\"x /r"), (Args{u"C:\\a b\\M.exe" u"x", u"/r"}));
  // Backslashes count only before a quote: 2n give n and a quote that
  // opens or closes, 2n+1 give n and a literal quote.
  EXPECT_EQ(SplitCommandLine(u"M a\\b a\\\\\\b a\\\\\\\"b a\\\\\\\\\"b c\" \\\\"),
            (Args{u"M", u"a\\b", u"a\\\\\\b", u"a\\\"b", u"a\\\\b c", u"\\\\"}));
  // A folder ending in a backslash before its closing quote swallows what follows.
  EXPECT_EQ(SplitCommandLine(u"M /d \"D:\\Dumps\\\" /l x"), (Args{u"M", u"/d", u"D:\\Dumps\" /l x"}));
  EXPECT_EQ(SplitCommandLine(u"M /d \"D:\\Dumps\\\\\" /l x"), (Args{u"M", u"/d", u"D:\\Dumps\\", u"/l", u"x"}));
  // Empty arguments, blanks and tabs around, an open quote at the end.
  EXPECT_EQ(SplitCommandLine(u" M \t\"\" x  "), (Args{u"", u"M", u"", u"x"}));
  EXPECT_EQ(SplitCommandLine(u""), (Args{u""}));
  EXPECT_EQ(SplitCommandLine(u"M \"a b"), (Args{u"M", u"a b"}));
}
