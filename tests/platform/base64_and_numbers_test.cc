#include "platform/string_number_conversions.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "platform/base64.h"
#include "tests/support/test_text.h"

namespace base {
namespace {

TEST(StringNumberConversionsTest, ExtremesFitTheBuffer) {
  EXPECT_EQ(Int64ToString(INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(Int64ToString(INT64_MAX), "9223372036854775807");
  EXPECT_EQ(IntToString(INT_MIN), "-2147483648");
  EXPECT_EQ(UintToString(UINT_MAX), "4294967295");
  EXPECT_EQ(UintToString(0), "0");
}

std::string Encode(std::string_view bytes) {
  std::string out = "not overwritten";
  kvbase::Base64EncodeWrapper(bytes, &out);
  return out;
}

TEST(Base64Test, Rfc4648VectorsAndEveryByteAtEveryLength) {
  EXPECT_EQ(Encode(""), "");
  EXPECT_EQ(Encode("f"), "Zg==");
  EXPECT_EQ(Encode("fo"), "Zm8=");
  EXPECT_EQ(Encode("foo"), "Zm9v");
  EXPECT_EQ(Encode("foobar"), "Zm9vYmFy");
  // NUL and high bytes, read back by a decoder of the test's own.
  std::string every_byte;
  for (int i = 0; i < 256; ++i)
    every_byte.push_back(static_cast<char>(i));
  for (size_t length = 0; length <= every_byte.size(); ++length) {
    const std::string input = every_byte.substr(every_byte.size() - length);
    const std::string encoded = Encode(input);
    EXPECT_EQ(encoded.size(), (length + 2) / 3 * 4);
    EXPECT_EQ(test_support::DecodeBase64(encoded), input) << length;
  }
}

}  // namespace
}  // namespace base
