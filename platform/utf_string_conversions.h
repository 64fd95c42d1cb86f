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

}  // namespace base

#endif  // PLATFORM_UTF_STRING_CONVERSIONS_H_
