#include "platform/base64.h"

#include <cstdint>

namespace kvbase {

void Base64EncodeWrapper(std::string_view input, std::string* output) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((input.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= input.size(); i += 3) {
    const uint32_t group = (uint32_t{static_cast<uint8_t>(input[i])} << 16) |
                           (uint32_t{static_cast<uint8_t>(input[i + 1])} << 8) |
                           uint32_t{static_cast<uint8_t>(input[i + 2])};
    out.push_back(kAlphabet[(group >> 18) & 0x3F]);
    out.push_back(kAlphabet[(group >> 12) & 0x3F]);
    out.push_back(kAlphabet[(group >> 6) & 0x3F]);
    out.push_back(kAlphabet[group & 0x3F]);
  }
  const size_t rest = input.size() - i;
  if (rest > 0) {
    uint32_t group = uint32_t{static_cast<uint8_t>(input[i])} << 16;
    if (rest == 2)
      group |= uint32_t{static_cast<uint8_t>(input[i + 1])} << 8;
    out.push_back(kAlphabet[(group >> 18) & 0x3F]);
    out.push_back(kAlphabet[(group >> 12) & 0x3F]);
    out.push_back(rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=');
    out.push_back('=');
  }
  *output = std::move(out);
}

}  // namespace kvbase
