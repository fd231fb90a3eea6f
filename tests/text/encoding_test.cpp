#include "text/encoding.h"

#include <gtest/gtest.h>

TEST(Encoding, ConvertsGbkUtf16AndUtf8BothWays) {
  // 服务器 一区: GBK bytes, UTF-16, UTF-8.
  const std::string gbk = "\xb7\xfe\xce\xf1\xc6\xf7 \xd2\xbb\xc7\xf8";
  const std::u16string utf16 = u"\u670d\u52a1\u5668 \u4e00\u533a";
  const std::string utf8 = "\xe6\x9c\x8d\xe5\x8a\xa1\xe5\x99\xa8 \xe4\xb8\x80\xe5\x8c\xba";
  EXPECT_EQ(GbkToUtf16(gbk), utf16);
  EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
  EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
  EXPECT_EQ(GbkToUtf8(gbk), utf8);
  bool lossy = true;
  EXPECT_EQ(Utf16ToGbk(utf16, &lossy), gbk);
  EXPECT_FALSE(lossy);
  // No GBK form (an emoji, a Hangul syllable): '?' for each UTF-16 unit,
  // and it is told.
  EXPECT_EQ(Utf16ToGbk(u"a\U0001F600b\uD55C", &lossy), "a??b?");
  EXPECT_TRUE(lossy);
  // Malformed input gives valid output, one U+FFFD per bad byte.
  EXPECT_EQ(Utf8ToUtf16("a\x80" "b\xe6\x9c"), u"a\uFFFDb\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xc0\xaf"), u"\uFFFD\uFFFD");  // overlong '/'
  EXPECT_EQ(Utf16ToUtf8(u"x\xD800y"), "x\xef\xbf\xbdy");
  EXPECT_EQ(Utf16ToUtf8(u"\U0001F600"), "\xf0\x9f\x98\x80");
  const std::string fromBadGbk = GbkToUtf8("a\xff" "b\x81");  // no such lead byte; a cut-off one
  bool multibyte = false;
  EXPECT_TRUE(IsValidUtf8(fromBadGbk, &multibyte));
  EXPECT_EQ(fromBadGbk.front(), 'a');
  EXPECT_NE(fromBadGbk.find('b'), std::string::npos);
}

TEST(Encoding, TellsUtf8FromGbk) {
  bool multibyte = true;
  EXPECT_TRUE(IsValidUtf8("plain ascii\r\n", &multibyte));
  EXPECT_FALSE(multibyte);
  EXPECT_TRUE(IsValidUtf8("::\xe6\x9c\x8d\xe5\x8a\xa1", &multibyte));
  EXPECT_TRUE(multibyte);
  EXPECT_FALSE(IsValidUtf8("::\xb7\xfe\xce\xf1"));  // GBK 服务
  EXPECT_FALSE(IsValidUtf8("\xed\xa0\x80"));        // an encoded surrogate
  EXPECT_FALSE(IsValidUtf8("\xe6\x9c"));            // cut off
  EXPECT_FALSE(IsValidUtf8("\xf4\x90\x80\x80"));    // beyond U+10FFFF
}
