// Conversions between wide text and UTF-8.
//
// wchar_t is UTF-16 on Windows (surrogate pairs for code points above
// U+FFFF) and UTF-32 on Linux. An invalid unit (a lone surrogate, a value
// above U+10FFFF) becomes U+FFFD; so does an invalid UTF-8 sequence.
#ifndef PLATFORM_UTF_STRING_CONVERSIONS_H_
#define PLATFORM_UTF_STRING_CONVERSIONS_H_

#include <string>
#include <string_view>

namespace base {

std::string SysWideToUTF8(std::wstring_view wide);
std::wstring SysUTF8ToWide(std::string_view utf8);

// The fixed-width forms behind the two above. Both widths are available on
// every platform, so the UTF-16 rules that Windows relies on are exercised
// where the code is developed. Each maximal ill-formed UTF-8 subsequence
// (an overlong form, an encoded surrogate, a value above U+10FFFF, a
// truncated sequence, a stray byte) becomes one U+FFFD.
std::string UTF16ToUTF8(std::u16string_view utf16);
std::string UTF32ToUTF8(std::u32string_view utf32);
std::u16string UTF8ToUTF16(std::string_view utf8);
std::u32string UTF8ToUTF32(std::string_view utf8);

}  // namespace base

#endif  // PLATFORM_UTF_STRING_CONVERSIONS_H_
