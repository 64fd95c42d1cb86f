#include "tools/reference_tool/base64_decode.h"

#include <cstdint>

namespace reference_tool {
namespace {

// -1 for bytes outside the alphabet.
int DigitValue(unsigned char c) {
  if (c >= 'A' && c <= 'Z')
    return c - 'A';
  if (c >= 'a' && c <= 'z')
    return c - 'a' + 26;
  if (c >= '0' && c <= '9')
    return c - '0' + 52;
  if (c == '+')
    return 62;
  if (c == '/')
    return 63;
  return -1;
}

}  // namespace

bool Base64Decode(std::string_view input, std::string* output) {
  if (input.size() % 4 != 0)
    return false;
  std::string decoded;
  decoded.reserve(input.size() / 4 * 3);
  for (size_t i = 0; i < input.size(); i += 4) {
    const bool last = i + 4 == input.size();
    size_t padding = 0;
    if (last) {
      if (input[i + 3] == '=')
        padding = input[i + 2] == '=' ? 2 : 1;
    }
    uint32_t group = 0;
    for (size_t j = 0; j < 4; ++j) {
      int value = 0;
      if (j < 4 - padding) {
        value = DigitValue(static_cast<unsigned char>(input[i + j]));
        if (value < 0)
          return false;
      }
      group = (group << 6) | static_cast<uint32_t>(value);
    }
    // "xx==" carries 8 bits in 12 and "xxx=" 16 in 18; the rest must be 0.
    if ((padding == 2 && (group & 0xFFFF) != 0) || (padding == 1 && (group & 0xFF) != 0))
      return false;
    decoded.push_back(static_cast<char>((group >> 16) & 0xFF));
    if (padding < 2)
      decoded.push_back(static_cast<char>((group >> 8) & 0xFF));
    if (padding < 1)
      decoded.push_back(static_cast<char>(group & 0xFF));
  }
  *output = std::move(decoded);
  return true;
}

}  // namespace reference_tool
