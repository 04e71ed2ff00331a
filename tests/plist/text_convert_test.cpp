#include "common/text_convert.h"

#include <gtest/gtest.h>

namespace {

TEST(TextConvert, RoundTripsEveryPlane) {
  const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  const std::u16string wide = Utf8ToUtf16(utf8);
  EXPECT_EQ(wide, u"a\u00e9\u20ac\U0001F600");
  EXPECT_EQ(wide.size(), 5u);
  EXPECT_EQ(Utf16ToUtf8(wide), utf8);
}

TEST(TextConvert, InvalidUtf8GivesEmptyText) {
  for (const char* bad : {"\x80", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "ok\xFF"}) {
    EXPECT_EQ(Utf8ToUtf16(bad), u"") << bad;
    std::u16string out = u"x";
    EXPECT_FALSE(DecodeUtf8(bad, &out));
    EXPECT_TRUE(out.empty());
  }
}

TEST(TextConvert, NullInputGivesEmptyText) {
  EXPECT_EQ(Utf8ToUtf16(static_cast<const char*>(nullptr)), u"");
  EXPECT_EQ(Utf16ToUtf8(static_cast<const char16_t*>(nullptr)), "");
}

TEST(TextConvert, EmbeddedNulIsKept) {
  EXPECT_EQ(Utf8ToUtf16(std::string_view("a\0b", 3)).size(), 3u);
}

TEST(TextConvert, UnpairedSurrogatesBecomeReplacementCharacters) {
  const std::u16string lone = {u'a', static_cast<char16_t>(0xD800), u'b', static_cast<char16_t>(0xDC00)};
  EXPECT_EQ(Utf16ToUtf8(lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(TextConvert, LossyDecodingReplacesOnlyTheBadBytes) {
  EXPECT_EQ(DecodeUtf8Lossy("a\xFF\xC3\xA9"), u"a\uFFFD\u00e9");
  EXPECT_EQ(DecodeUtf8Lossy("\xE2\x82"), u"\uFFFD\uFFFD");
}

TEST(TextConvert, AnsiWidensBytesThatAreNotUtf8) {
  EXPECT_EQ(AnsiToUtf16("plain"), u"plain");
  EXPECT_EQ(AnsiToUtf16("\xE9"), u"\u00e9");
  EXPECT_EQ(Utf16ToAnsi(u"\u00e9"), "\xC3\xA9");
}

}  // namespace
