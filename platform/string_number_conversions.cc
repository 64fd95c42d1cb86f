#include "platform/string_number_conversions.h"

#include <charconv>
#include <limits>

namespace base {
namespace {

// std::to_chars works on the value's magnitude internally, so the most
// negative value of each type needs no special case.
template <typename Int>
std::string ToDecimal(Int value) {
  char buffer[std::numeric_limits<Int>::digits10 + 3];
  const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

}  // namespace

std::string IntToString(int value) {
  return ToDecimal(value);
}

std::string UintToString(unsigned value) {
  return ToDecimal(value);
}

std::string Int64ToString(int64_t value) {
  return ToDecimal(value);
}

}  // namespace base
