#include "platform/utf_string_conversions.h"

#include <cstdint>
#include <type_traits>

namespace base {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool IsSurrogate(char32_t c) {
  return c >= 0xD800 && c <= 0xDFFF;
}

void AppendUTF8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Reads one code point from UTF-16 or UTF-32 units, chosen by the unit's
// width so that wchar_t takes the rules of the platform it is built for.
template <typename Unit>
char32_t NextFromUnits(std::basic_string_view<Unit> in, size_t* pos) {
  const char32_t c = static_cast<char32_t>(static_cast<std::make_unsigned_t<Unit>>(in[*pos]));
  ++*pos;
  if constexpr (sizeof(Unit) == 2) {
    if (c >= 0xD800 && c <= 0xDBFF && *pos < in.size()) {
      const char32_t low = static_cast<char16_t>(in[*pos]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        ++*pos;
        return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      }
    }
    // A high surrogate without its low half, or a low one on its own.
    return IsSurrogate(c) ? kReplacement : c;
  } else {
    static_assert(sizeof(Unit) == 4, "code units are 16 or 32 bits wide");
    return (IsSurrogate(c) || c > kMaxCodePoint) ? kReplacement : c;
  }
}

template <typename Unit>
std::string UnitsToUTF8(std::basic_string_view<Unit> in) {
  std::string out;
  out.reserve(in.size());
  size_t pos = 0;
  while (pos < in.size())
    AppendUTF8(NextFromUnits(in, &pos), &out);
  return out;
}

// Reads one code point from UTF-8. On an ill-formed sequence it consumes
// the longest prefix that could still have begun a valid sequence (at least
// one byte) and returns U+FFFD, so that the next call resynchronises on the
// first byte that broke the sequence.
char32_t NextFromUTF8(std::string_view in, size_t* pos) {
  const uint8_t lead = static_cast<uint8_t>(in[*pos]);
  ++*pos;
  if (lead < 0x80)
    return lead;
  size_t trail;
  char32_t c;
  // The first trail byte's range excludes overlong forms (E0, F0), encoded
  // surrogates (ED) and values above U+10FFFF (F4).
  uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    c = lead & 0x0F;
    if (lead == 0xE0)
      low = 0xA0;
    else if (lead == 0xED)
      high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    c = lead & 0x07;
    if (lead == 0xF0)
      low = 0x90;
    else if (lead == 0xF4)
      high = 0x8F;
  } else {
    return kReplacement;
  }
  for (size_t i = 0; i < trail; ++i) {
    if (*pos >= in.size())
      return kReplacement;
    const uint8_t b = static_cast<uint8_t>(in[*pos]);
    if (b < low || b > high)
      return kReplacement;
    low = 0x80;
    high = 0xBF;
    c = (c << 6) | (b & 0x3F);
    ++*pos;
  }
  return c;
}

template <typename Unit>
std::basic_string<Unit> UTF8ToUnits(std::string_view in) {
  std::basic_string<Unit> out;
  out.reserve(in.size());
  size_t pos = 0;
  while (pos < in.size()) {
    const char32_t c = NextFromUTF8(in, &pos);
    if constexpr (sizeof(Unit) == 2) {
      if (c >= 0x10000) {
        out.push_back(static_cast<Unit>(0xD800 + ((c - 0x10000) >> 10)));
        out.push_back(static_cast<Unit>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        continue;
      }
    }
    out.push_back(static_cast<Unit>(c));
  }
  return out;
}

}  // namespace

std::string SysWideToUTF8(std::wstring_view wide) {
  return UnitsToUTF8(wide);
}

std::wstring SysUTF8ToWide(std::string_view utf8) {
  return UTF8ToUnits<wchar_t>(utf8);
}

std::string UTF16ToUTF8(std::u16string_view utf16) {
  return UnitsToUTF8(utf16);
}

std::string UTF32ToUTF8(std::u32string_view utf32) {
  return UnitsToUTF8(utf32);
}

std::u16string UTF8ToUTF16(std::string_view utf8) {
  return UTF8ToUnits<char16_t>(utf8);
}

std::u32string UTF8ToUTF32(std::string_view utf8) {
  return UTF8ToUnits<char32_t>(utf8);
}

}  // namespace base
