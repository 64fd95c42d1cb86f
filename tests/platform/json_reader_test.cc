#include "platform/json_reader.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <string>

namespace base {
namespace {

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
