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

TEST(ParseDecimal, HugeNumbersWrapModulo2To32WithoutOverflow) {
  // Each digit multiplies what was read in unsigned arithmetic, so the value
  // is the number modulo 2^32 taken as signed; nothing undefined happens
  // (UBSan): 2^32 + 1 is 1, 2^31 is INT32_MIN, a 29-digit number is what
  // it leaves modulo 2^32, and a sign applies to that.
  EXPECT_EQ(ParseDecimal("4294967297"), 1);
  EXPECT_EQ(ParseDecimal("2147483648"), INT32_MIN);
  EXPECT_EQ(ParseDecimal("99999999999999999999999999999"), -1610612737);
  EXPECT_EQ(ParseDecimal("-4294967297"), -1);
  EXPECT_EQ(ParsePort("4294967297"), 1);
}

TEST(ParsePort, KeepsTheLow16Bits) {
  EXPECT_EQ(ParsePort("70000"), 4464);
  EXPECT_EQ(ParsePort("-1"), 65535);
  EXPECT_EQ(ParsePort("abc"), 0);
  EXPECT_EQ(ParsePort(" 22225 "), 22225);
}
