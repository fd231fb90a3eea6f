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
  // Bytes that are not GBK (no such lead byte; a cut-off one) each become
  // one character of their own (U+FFFD here; on Windows what its table says,
  // or '?' for the cut-off one), and never swallow the ASCII after them.
  const std::string fromBadGbk = GbkToUtf8("a\xff" "b\x81");
  bool multibyte = false;
  EXPECT_TRUE(IsValidUtf8(fromBadGbk, &multibyte));
  EXPECT_TRUE(multibyte);
  const std::u16string bad = Utf8ToUtf16(fromBadGbk);
  ASSERT_EQ(bad.size(), 4u) << fromBadGbk;
  EXPECT_EQ(bad[0], u'a');
  EXPECT_GE(bad[1], 0x80);
  EXPECT_EQ(bad[2], u'b');
  EXPECT_TRUE(bad[3] == 0xFFFD || bad[3] == u'?') << static_cast<int>(bad[3]);
  // A GBK character whose second byte is '\\' (0x5C) or ']' is one
  // character, not a lead byte and a backslash: 淺 is 9C 5C, 揮 is 93 5D.
  EXPECT_EQ(GbkToUtf16("\x9c\x5c\x93\x5d"), u"\u6dfa\u63ee");
  EXPECT_EQ(Utf16ToGbk(u"\u6dfa\u63ee"), "\x9c\x5c\x93\x5d");
}

TEST(Encoding, ReadsUtf16BytesInEitherOrder) {
  // 一 and U+1F600 (a surrogate pair), little-endian and big-endian.
  EXPECT_EQ(Utf16BytesToUtf16(std::string("\x00\x4e\x3d\xd8\x00\xde", 6), false), u"\u4e00\U0001F600");
  EXPECT_EQ(Utf16BytesToUtf16(std::string("\x4e\x00\xd8\x3d\xde\x00", 6), true), u"\u4e00\U0001F600");
  // A high surrogate without its low half (at the end, or before another
  // character), a low one alone, and an odd last byte: U+FFFD each.
  EXPECT_EQ(Utf16BytesToUtf16(std::string("\x3d\xd8" "a\0" "\x00\xde" "b\0" "\x3d\xd8" "c", 11), false),
            u"\uFFFDa\uFFFDb\uFFFD\uFFFD");
  EXPECT_EQ(Utf16BytesToUtf16("", true), u"");
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
