// Decimal text of integers: digits only, a leading minus sign when negative.
#ifndef PLATFORM_STRING_NUMBER_CONVERSIONS_H_
#define PLATFORM_STRING_NUMBER_CONVERSIONS_H_

#include <cstdint>
#include <string>

namespace base {

std::string IntToString(int value);
std::string UintToString(unsigned value);
std::string Int64ToString(int64_t value);

}  // namespace base

#endif  // PLATFORM_STRING_NUMBER_CONVERSIONS_H_
