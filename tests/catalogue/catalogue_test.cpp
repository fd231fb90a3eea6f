#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

#include "catalogue/read_helper.h"

TEST(ProgramListRows, ShowOnePlanInFileOrder) {
  const ReadResult r = Read(
      "9 before x y 1\r\n"
      "::A\r\n"
      "1 [C:\\a.exe] [C:\\] [-x] 0\r\n"
      "0 b.exe D:\\ [] 15\r\n"
      "-2 c.exe E:\\ z -3\r\n"
      "::Empty\r\n");
  const std::vector<ProgramRow> rows = ProgramListRows(r.catalogue, 0);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].program, "C:\\a.exe");
  EXPECT_EQ(rows[0].directory, "C:\\");
  EXPECT_EQ(rows[0].commandLine, " -x");
  EXPECT_EQ(rows[0].delay, "0\xc3\xeb");  // "%d秒" in GBK
  EXPECT_EQ(rows[1].program, "b.exe");
  EXPECT_EQ(rows[1].commandLine, " ");
  EXPECT_EQ(rows[1].delay, "15\xc3\xeb");
  EXPECT_EQ(rows[2].delay, "-3\xc3\xeb");
  EXPECT_TRUE(rows[0].checked);
  EXPECT_FALSE(rows[1].checked);
  EXPECT_TRUE(rows[2].checked);  // any nonzero switch ticks the row

  EXPECT_TRUE(ProgramListRows(r.catalogue, 1).empty());   // plan with no entries
  EXPECT_TRUE(ProgramListRows(r.catalogue, -1).empty());  // no selection
  EXPECT_TRUE(ProgramListRows(r.catalogue, 2).empty());   // past the last plan
}
