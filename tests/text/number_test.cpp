#include "text/number.h"

#include <gtest/gtest.h>

TEST(ParseDecimal, ReadsLikeAtoi) {
  EXPECT_EQ(ParseDecimal("42"), 42);
  EXPECT_EQ(ParseDecimal("  \t\r\n-17x"), -17);
  EXPECT_EQ(ParseDecimal("+8"), 8);
  EXPECT_EQ(ParseDecimal("90\xc3\xeb"), 90);  // "90秒"
  EXPECT_EQ(ParseDecimal(""), 0);
  EXPECT_EQ(ParseDecimal("abc"), 0);
  EXPECT_EQ(ParseDecimal("-"), 0);
  EXPECT_EQ(ParseDecimal("- 5"), 0);
  EXPECT_EQ(ParseDecimal("2147483647"), 2147483647);
  EXPECT_EQ(ParseDecimal("-2147483648"), INT32_MIN);
}

TEST(ParseDecimal, StopsAtTheEndOfTheView) {
  const char text[] = "123456";
  EXPECT_EQ(ParseDecimal(std::string_view(text, 3)), 123);
}

TEST(ParseDecimal, HugeNumbersWrapWithoutOverflow) {
  // 4294967297 = 2^32 + 1 wraps to 1; nothing undefined happens (UBSan).
  EXPECT_EQ(ParseDecimal("4294967297"), 1);
  EXPECT_NO_FATAL_FAILURE(ParseDecimal("99999999999999999999999999999"));
}

TEST(ParsePort, KeepsTheLow16Bits) {
  EXPECT_EQ(ParsePort("70000"), 4464);
  EXPECT_EQ(ParsePort("-1"), 65535);
  EXPECT_EQ(ParsePort("abc"), 0);
  EXPECT_EQ(ParsePort(" 22225 "), 22225);
}
