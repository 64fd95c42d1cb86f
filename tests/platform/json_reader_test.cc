#include "platform/json_reader.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <string>

namespace base {
namespace {

TEST(JSONReaderTest, DictionaryAndStringMembers) {
  std::unique_ptr<DictionaryValue> dict = DictionaryValue::From(
      JSONReader::Read("{\"lang\":\"zh-CN\",\"n\":1,\"lang\":\"en\",\"nul\":\"a\\u0000b\"}"));
  ASSERT_TRUE(dict);
  std::string text = "unchanged";
  EXPECT_TRUE(dict->GetString("lang", &text));
  EXPECT_EQ(text, "zh-CN");
  text = "unchanged";
  EXPECT_FALSE(dict->GetString("n", &text));
  EXPECT_FALSE(dict->GetString("missing", &text));
  EXPECT_FALSE(dict->GetString("Lang", &text));
  EXPECT_EQ(text, "unchanged");
  EXPECT_TRUE(dict->GetString("nul", &text));
  EXPECT_EQ(text, std::string("a\0b", 3));
}

TEST(JSONReaderTest, NonObjectsAndMalformedTexts) {
  std::unique_ptr<Value> array = JSONReader::Read("[1]");
  ASSERT_TRUE(array);
  EXPECT_FALSE(array->is_dict());
  EXPECT_FALSE(DictionaryValue::From(std::move(array)));
  EXPECT_FALSE(DictionaryValue::From(nullptr));
  for (const char* text : {"", " ", "{", "{\"a\":1} x", "{a:1}", "{\"a\":1,}"})
    EXPECT_FALSE(JSONReader::Read(text)) << text;
}

TEST(JSONReaderTest, DeepNestingOnASmallStack) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 1 << 20), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attributes,
                [](void*) -> void* {
                  constexpr size_t kDepth = 100000;
                  EXPECT_FALSE(JSONReader::Read(std::string(kDepth, '[')));
                  std::unique_ptr<Value> value =
                      JSONReader::Read(std::string(kDepth, '[') + std::string(kDepth, ']'));
                  EXPECT_TRUE(value);
                  EXPECT_FALSE(value && value->is_dict());
                  return nullptr;
                },
                nullptr),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

}  // namespace
}  // namespace base
