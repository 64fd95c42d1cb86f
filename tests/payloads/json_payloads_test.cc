#include "payloads/json_payloads.h"

#include <pthread.h>

#include <climits>
#include <cstdint>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace snipping_tool {
namespace {

// Records with every member away from its default, so that a member the
// reader touches by mistake, or one the writer leaves out, shows.
NotifySnippingShot SampleNotify() {
  return {"C:\\shots\\\xE5\x9B\xBE.png", -3, "{\"a\":1}", INT32_MIN, INT32_MAX};
}

// The tool reads what the agent writes: every member, in the fixed member
// order at every level, an empty map as {} and an empty list as [].
TEST(JsonClassToStrTest, WritesEveryMemberInItsOrder) {
  EXPECT_EQ(JsonClassToStr(RequestSnippingShot()),
            "{\"image_save_path\":\"\",\"screen_shot_type\":0,\"is_dark_theme\":false,"
            "\"grays\":{},\"vip_status\":0,\"ai_screen_shot_request\":{\"skills\":[],"
            "\"agentInfo\":{\"name\":\"\",\"agentCode\":\"\",\"iconBitmapData\":\"\"}}}");
  RequestSnippingShot shot{"C:\\shots\\a.png", 4, true, {{"some_switch", true}}, 1, {}};
  shot.ai_screen_shot_request.skills.push_back({"translate", "", ""});
  EXPECT_EQ(JsonClassToStr(shot),
            "{\"image_save_path\":\"C:\\\\shots\\\\a.png\",\"screen_shot_type\":4,"
            "\"is_dark_theme\":true,\"grays\":{\"some_switch\":true},\"vip_status\":1,"
            "\"ai_screen_shot_request\":{\"skills\":[{\"name\":\"translate\",\"skillData\":\"\","
            "\"iconBitmapData\":\"\"}],\"agentInfo\":{\"name\":\"\",\"agentCode\":\"\","
            "\"iconBitmapData\":\"\"}}}");
  EXPECT_EQ(JsonClassToStr(ResponseAISnippingShot{true, INT32_MIN, -1, "d", "", "", ""}),
            "{\"succ\":true,\"seq_id\":-2147483648,\"ai_type\":-1,\"data\":\"d\","
            "\"dest_lan\":\"\",\"image_type\":\"\",\"image_save_path\":\"\"}");
}

TEST(JsonClassToStrTest, TextStopsAtItsFirstNul) {
  RequestSnippingShot shot;
  shot.image_save_path = std::string("ab\0cd", 5);
  shot.grays[std::string("k\0x", 3)] = true;
  const std::string text = JsonClassToStr(shot);
  EXPECT_NE(text.find("\"image_save_path\":\"ab\","), std::string::npos);
  EXPECT_NE(text.find("\"grays\":{\"k\":true}"), std::string::npos);
  EXPECT_EQ(text.find('\0'), std::string::npos);
}

TEST(JsonStrToClassTest, IntegersAreTakenOnlyInTheMembersRange) {
  const std::pair<const char*, int32_t> int32_cases[] = {
      {"7", 7},   {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN}, {"\"7\"", 0},
      {"7.0", 0}, {"2147483648", 0},         {"-2147483649", 0},         {"true", 0},
  };
  for (const auto& [value, expected] : int32_cases) {
    RequestAISnippingShot request;
    EXPECT_TRUE(JsonStrToClass(std::string("{\"seq_id\":") + value + "}", request)) << value;
    EXPECT_EQ(request.seq_id, expected) << value;
    EXPECT_EQ(request.ai_type, -1) << value;
  }
  const std::pair<const char*, int64_t> int64_cases[] = {
      {"4294967296", 4294967296LL},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", -1},
      {"1.5", -1},
      {"\"1\"", -1},
  };
  for (const auto& [value, expected] : int64_cases) {
    SelectUserWndSnippingShot select;
    EXPECT_TRUE(JsonStrToClass(std::string("{\"parent_wnd\":") + value + "}", select)) << value;
    EXPECT_EQ(select.parent_wnd, expected) << value;
    EXPECT_EQ(select.file_type, -1) << value;
  }
}

TEST(JsonStrToClassTest, MembersOfTheWrongTypeAreSkippedOneByOne) {
  NotifySnippingShot notify = SampleNotify();
  ASSERT_TRUE(
      JsonStrToClass("{\"image_file_path\":true,\"snipping_event\":5,\"ai_skill_data\":1,"
                     "\"pos_x\":\"1\",\"pos_y\":-4,\"unknown\":{\"pos_x\":9}}",
                     notify));
  const NotifySnippingShot before = SampleNotify();
  EXPECT_EQ(notify.image_file_path, before.image_file_path);
  EXPECT_EQ(notify.snipping_event, 5);
  EXPECT_EQ(notify.ai_skill_data, before.ai_skill_data);
  EXPECT_EQ(notify.pos_x, before.pos_x);
  EXPECT_EQ(notify.pos_y, -4);
}

// The runtime hands payloads on as C strings: a NUL, raw or escaped, ends
// the text.
TEST(JsonStrToClassTest, NullKeepsTheMemberAndANulEndsTheText) {
  BILogPayload payload{"kept"};
  ASSERT_TRUE(JsonStrToClass("{\"key\":null}", payload));
  EXPECT_EQ(payload.key, "kept");
  ASSERT_TRUE(JsonStrToClass("{\"key\":\"ab\\u0000cd\"}", payload));
  EXPECT_EQ(payload.key, std::string("ab"));

  NotifySnippingShot notify;
  EXPECT_TRUE(JsonStrToClass(std::string("{\"pos_x\":1}\0 garbage", 20), notify));
  EXPECT_EQ(notify.pos_x, 1);
  // Cut inside the object, what is left is not JSON.
  EXPECT_FALSE(JsonStrToClass(std::string("{\"pos_x\":2\0}", 12), notify));
  EXPECT_EQ(notify.pos_x, 1);
}

// A valid root that is no object changes nothing; invalid text fails. The
// parse options are ours: no trailing text, no comments, no byte-order mark.
TEST(JsonStrToClassTest, OnlyAnObjectRootIsRead) {
  const std::pair<std::string, bool> cases[] = {
      {"[1,2]", true},
      {"5", true},
      {"null", true},
      {"[{\"pos_x\":3}]", true},
      {" {} ", true},
      {"", false},
      {"{\"pos_x\":1} x", false},
      {"{\"pos_x\":1/*c*/}", false},
      {std::string("\0{\"pos_x\":1}", 12), false},
      {"\xEF\xBB\xBF{\"pos_x\":1}", false},
      {"\xEF{\"pos_x\":1}", false},
  };
  for (const auto& [text, valid] : cases) {
    NotifySnippingShot notify = SampleNotify();
    EXPECT_EQ(JsonStrToClass(text, notify), valid) << text;
    EXPECT_EQ(JsonClassToStr(notify), JsonClassToStr(SampleNotify())) << text;
  }
}

TEST(JsonStrToClassTest, ToolReadsNestedRecordsListsAndSwitches) {
  RequestSnippingShot shot;
  ASSERT_TRUE(JsonStrToClass(
      "{\"grays\":{\"x\":true,\"n\":1,\"y\":false,\"x\":false},"
      "\"ai_screen_shot_request\":{\"skills\":[{\"name\":\"s1\"},7,[],{\"skillData\":\"d\"}]}}",
      shot));
  // Non-boolean switches are left out and a repeated switch keeps its first
  // value; list elements that are not objects are left out.
  EXPECT_EQ(shot.grays, (std::map<std::string, bool>{{"x", true}, {"y", false}}));
  ASSERT_EQ(shot.ai_screen_shot_request.skills.size(), 2u);
  EXPECT_EQ(shot.ai_screen_shot_request.skills[0].name, "s1");
  EXPECT_EQ(shot.ai_screen_shot_request.skills[1].skillData, "d");
}

// Every record survives being written and read back, in both directions.
template <typename Record>
void ExpectRoundTrip(const Record& original) {
  const std::string text = JsonClassToStr(original);
  Record copy;
  ASSERT_TRUE(JsonStrToClass(text, copy)) << text;
  EXPECT_EQ(JsonClassToStr(copy), text);
  // The samples differ from the defaults in every member, so a member lost
  // on either side would show as a default here.
  EXPECT_NE(JsonClassToStr(Record()), text);
}

TEST(JsonRoundTripTest, EveryRecord) {
  RequestSnippingShot shot{
      "C:\\shots\\a.png", 4, true, {{"some_switch", true}, {"other", false}}, 1, {}};
  shot.ai_screen_shot_request.skills = {{"translate", "", ""}, {"ocr", "d\x01", "icon"}};
  shot.ai_screen_shot_request.agentInfo = {"agent", "code", "\xFF\xFE"};
  ExpectRoundTrip(shot);
  ExpectRoundTrip(
      ResponseAISnippingShot{true, 12, -1, "r\xC3\xA9sultat", "fr", "jpg", "C:\\o.jpg"});
  ExpectRoundTrip(SelectUserWndHideSnippingShot{true});
  ExpectRoundTrip(SampleNotify());
  ExpectRoundTrip(RequestAISnippingShot{12, 2, "line1\nline2\t\"q\"", "zh", "en", "png", "/a b"});
  ExpectRoundTrip(SelectUserWndSnippingShot{INT64_MIN, "D:\\x", 7});
  ExpectRoundTrip(BILogPayload{"screenshot_done"});
  ExpectRoundTrip(SetConfigPayload{"{\"a\":[1,2]}"});
}

// Runs |body| on a thread with a 1 MiB stack, the size a Windows thread
// gets by default; a recursive parser would overflow it on these texts.
void RunOnSmallStack(void (*body)()) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 1 << 20), 0);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    reinterpret_cast<void (*)()>(arg)();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, reinterpret_cast<void*>(body)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

constexpr size_t kDepth = 100000;

TEST(JsonStrToClassTest, DeepNestingDoesNotExhaustTheStack) {
  RunOnSmallStack([] {
    NotifySnippingShot notify = SampleNotify();
    EXPECT_FALSE(JsonStrToClass(std::string(kDepth, '['), notify));
    EXPECT_FALSE(JsonStrToClass(std::string(kDepth, '{'), notify));

    const std::string nested = std::string(kDepth, '[') + std::string(kDepth, ']');
    EXPECT_TRUE(JsonStrToClass(nested, notify));
    EXPECT_EQ(JsonClassToStr(notify), JsonClassToStr(SampleNotify()));

    // Deep values under keys the reader knows or does not know are parsed
    // whole and then skipped.
    EXPECT_TRUE(
        JsonStrToClass("{\"x\":" + nested + ",\"pos_x\":" + nested + ",\"pos_y\":9}", notify));
    EXPECT_EQ(notify.pos_x, SampleNotify().pos_x);
    EXPECT_EQ(notify.pos_y, 9);

    RequestSnippingShot shot;
    EXPECT_TRUE(JsonStrToClass(
        "{\"ai_screen_shot_request\":{\"skills\":[" + nested + ",{\"name\":\"n\"}]}}", shot));
    ASSERT_EQ(shot.ai_screen_shot_request.skills.size(), 1u);
    EXPECT_EQ(shot.ai_screen_shot_request.skills[0].name, "n");
  });
}

}  // namespace
}  // namespace snipping_tool
