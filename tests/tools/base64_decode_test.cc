#include "tools/reference_tool/base64_decode.h"

#include <gtest/gtest.h>

namespace reference_tool {
namespace {

TEST(Base64DecodeTest, DecodesTheStandardVectorsAndBinary) {
  // RFC 4648, section 10: every padding case; then '+' and '/' (the digits
  // 62 and 63) and a NUL byte.
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},         {"Zg==", "f"},         {"Zm8=", "fo"},      {"Zm9v", "foo"},
      {"Zm9vYg==", "foob"}, {"Zm9vYmE=", "fooba"}, {"Zm9vYmFy", "foobar"},
      {"AP/+", std::string("\x00\xff\xfe", 3)},
  };
  for (const auto& [encoded, plain] : vectors) {
    std::string out = "stale";
    ASSERT_TRUE(Base64Decode(encoded, &out)) << encoded;
    EXPECT_EQ(out, plain) << encoded;
  }
}

TEST(Base64DecodeTest, RefusesMalformedInputAndLeavesOutputAlone) {
  const char* malformed[] = {
      "Zg=",       // not a multiple of four
      "Zg==Zg==",  // padding before the end
      "Zh==",      // unused bits of the last digit are not zero
      "Zm9=",      // the same with one padding character
      "Zm9v\n",    // white space
      "Zm-v",      // URL-safe alphabet
      "=Zm9",      // padding in front
      "Z=g=",      // padding between digits
      "====",
  };
  for (const char* input : malformed) {
    std::string out = "untouched";
    EXPECT_FALSE(Base64Decode(input, &out)) << input;
    EXPECT_EQ(out, "untouched") << input;
  }
}

}  // namespace
}  // namespace reference_tool
