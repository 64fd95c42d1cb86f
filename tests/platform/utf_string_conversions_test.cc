#include "platform/utf_string_conversions.h"

#include <gtest/gtest.h>

#include <string>

namespace base {
namespace {

const std::string kReplacementUTF8 = "\xEF\xBF\xBD";

TEST(UTFConversionTest, EncodesEveryLengthBoundary) {
  struct Case {
    char32_t code_point;
    const char* utf8;
  };
  const Case cases[] = {
      {0x0, ""},  // stands for the one NUL byte
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0xD7FF, "\xED\x9F\xBF"},
      {0xE000, "\xEE\x80\x80"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x1F600, "\xF0\x9F\x98\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  for (const Case& c : cases) {
    const std::string expected = c.code_point == 0 ? std::string(1, '\0') : c.utf8;
    EXPECT_EQ(UTF32ToUTF8(std::u32string(1, c.code_point)), expected) << std::hex << c.code_point;
    EXPECT_EQ(UTF8ToUTF32(expected), std::u32string(1, c.code_point)) << std::hex << c.code_point;
    // Above the Basic Multilingual Plane, a code point takes two UTF-16 units.
    const std::u16string utf16 = UTF8ToUTF16(expected);
    EXPECT_EQ(utf16.size(), c.code_point > 0xFFFF ? 2u : 1u) << std::hex << c.code_point;
    EXPECT_EQ(UTF16ToUTF8(utf16), expected) << std::hex << c.code_point;
  }
}

TEST(UTFConversionTest, UTF16SurrogatePairsAndLoneSurrogates) {
  EXPECT_EQ(UTF8ToUTF16("\xF0\x9F\x98\x80"), u"\xD83D\xDE00");
  // A high half at the end, a high half before a non-surrogate, a low half
  // alone and a pair in the wrong order each stand for one U+FFFD per unit.
  EXPECT_EQ(UTF16ToUTF8(u"a\xD800"), "a" + kReplacementUTF8);
  EXPECT_EQ(UTF16ToUTF8(u"\xD800" u"a"), kReplacementUTF8 + "a");
  EXPECT_EQ(UTF16ToUTF8(u"\xDC00"), kReplacementUTF8);
  EXPECT_EQ(UTF16ToUTF8(u"\xDE00\xD83D"), kReplacementUTF8 + kReplacementUTF8);
  EXPECT_EQ(UTF16ToUTF8(u"\xD800\xD83D\xDE00"), kReplacementUTF8 + "\xF0\x9F\x98\x80");
}

TEST(UTFConversionTest, UTF32RejectsSurrogatesAndValuesAboveTheRange) {
  EXPECT_EQ(UTF32ToUTF8(U"\xD800"), kReplacementUTF8);
  EXPECT_EQ(UTF32ToUTF8(std::u32string(1, char32_t{0x110000})), kReplacementUTF8);
  EXPECT_EQ(UTF32ToUTF8(std::u32string(1, char32_t{0xFFFFFFFF})), kReplacementUTF8);
}

TEST(UTFConversionTest, IllFormedUTF8BecomesOneReplacementPerMaximalSubpart) {
  struct Case {
    const char* utf8;
    const char32_t* expected;
  };
  const Case cases[] = {
      {"\x80", U"\xFFFD"},                          // stray trail byte
      {"\xC0\x80", U"\xFFFD\xFFFD"},                // overlong NUL
      {"\xC1\xBF", U"\xFFFD\xFFFD"},                // overlong
      {"\xE0\x80\x80", U"\xFFFD\xFFFD\xFFFD"},      // overlong 3-byte
      {"\xED\xA0\x80", U"\xFFFD\xFFFD\xFFFD"},      // encoded surrogate
      {"\xF0\x80\x80\x80", U"\xFFFD\xFFFD\xFFFD\xFFFD"},  // overlong 4-byte
      {"\xF4\x90\x80\x80", U"\xFFFD\xFFFD\xFFFD\xFFFD"},  // above U+10FFFF
      {"\xF5\x80", U"\xFFFD\xFFFD"},                // no such lead byte
      {"\xFF", U"\xFFFD"},
      {"\xF0\x9F\x98", U"\xFFFD"},                  // truncated at the end
      {"\xF0\x9F\x98" "A", U"\xFFFD" U"A"},         // truncated by ASCII
      {"\xE4\xB8" "\xE4\xB8\xAD", U"\xFFFD\x4E2D"},  // truncated by a new lead
      {"a\xC3\xA9z", U"a\xE9z"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UTF8ToUTF32(c.utf8), std::u32string(c.expected)) << c.utf8;
    // Both widths decode by the same rule.
    EXPECT_EQ(UTF16ToUTF8(UTF8ToUTF16(c.utf8)), UTF32ToUTF8(c.expected)) << c.utf8;
  }
}

TEST(UTFConversionTest, WideFormsFollowThePlatformWidth) {
  const std::wstring wide = SysUTF8ToWide("x\xF0\x9F\x98\x80\xC3\xA9");
  EXPECT_EQ(SysWideToUTF8(wide), "x\xF0\x9F\x98\x80\xC3\xA9");
  EXPECT_EQ(wide.size(), sizeof(wchar_t) == 2 ? 4u : 3u);
  EXPECT_EQ(SysWideToUTF8(std::wstring(1, wchar_t(0xD800))), kReplacementUTF8);
  EXPECT_EQ(SysUTF8ToWide("\xED\xA0\x80").size(), 3u);
  // Embedded NULs are text like any other.
  EXPECT_EQ(SysWideToUTF8(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
}  // namespace base
