#include "payloads/json_payloads.h"

#include <pthread.h>

#include <climits>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>


namespace snipping_tool {
namespace {

// Records with every member away from its default, so that a member the
// reader touches by mistake, or one the writer leaves out, shows.
NotifySnippingShot SampleNotify() {
  NotifySnippingShot notify;
  notify.image_file_path = "C:\\shots\\\xE5\x9B\xBE.png";
  notify.snipping_event = -3;
  notify.ai_skill_data = "{\"a\":1}";
  notify.pos_x = INT32_MIN;
  notify.pos_y = INT32_MAX;
  return notify;
}

RequestAISnippingShot SampleRequestAI() {
  RequestAISnippingShot request;
  request.seq_id = 12;
  request.ai_type = 2;
  request.text = "line1\nline2\t\"quoted\"";
  request.src_lan = "zh";
  request.dest_lan = "en";
  request.image_type = "png";
  request.image_save_path = "/tmp/a b.png";
  return request;
}

SelectUserWndSnippingShot SampleSelectUser() {
  SelectUserWndSnippingShot select;
  select.parent_wnd = INT64_MIN;
  select.file_path = "D:\\x";
  select.file_type = 7;
  return select;
}

RequestSnippingShot SampleShot() {
  RequestSnippingShot shot;
  shot.image_save_path = "C:\\shots\\a.png";
  shot.screen_shot_type = 4;
  shot.is_dark_theme = true;
  shot.grays = {{"some_switch", true}, {"other", false}};
  shot.vip_status = 1;
  shot.ai_screen_shot_request.skills = {{"translate", "", ""}, {"ocr", "d\x01", "icon"}};
  shot.ai_screen_shot_request.agentInfo = {"agent", "code", "\xFF\xFE"};
  return shot;
}

ResponseAISnippingShot SampleResponseAI() {
  ResponseAISnippingShot response;
  response.succ = true;
  response.seq_id = 12;
  response.ai_type = -1;
  response.data = "r\xC3\xA9sultat";
  response.dest_lan = "fr";
  response.image_type = "jpg";
  response.image_save_path = "C:\\out.jpg";
  return response;
}

// ---- Writing ----------------------------------------------------------

// The tool reads what the agent writes: every member, in the fixed member
// order at every level, an empty map as {} and an empty list as [].
TEST(JsonClassToStrTest, WritesEveryMemberInItsOrder) {
  EXPECT_EQ(JsonClassToStr(RequestSnippingShot()),
            "{\"image_save_path\":\"\",\"screen_shot_type\":0,\"is_dark_theme\":false,"
            "\"grays\":{},\"vip_status\":0,\"ai_screen_shot_request\":{\"skills\":[],"
            "\"agentInfo\":{\"name\":\"\",\"agentCode\":\"\",\"iconBitmapData\":\"\"}}}");
  RequestSnippingShot shot;
  shot.image_save_path = "C:\\shots\\a.png";
  shot.screen_shot_type = 4;
  shot.is_dark_theme = true;
  shot.grays["some_switch"] = true;
  shot.vip_status = 1;
  shot.ai_screen_shot_request.skills.push_back({"translate", "", ""});
  EXPECT_EQ(JsonClassToStr(shot),
            "{\"image_save_path\":\"C:\\\\shots\\\\a.png\",\"screen_shot_type\":4,"
            "\"is_dark_theme\":true,\"grays\":{\"some_switch\":true},\"vip_status\":1,"
            "\"ai_screen_shot_request\":{\"skills\":[{\"name\":\"translate\",\"skillData\":\"\","
            "\"iconBitmapData\":\"\"}],\"agentInfo\":{\"name\":\"\",\"agentCode\":\"\","
            "\"iconBitmapData\":\"\"}}}");
  ResponseAISnippingShot response;
  response.succ = true;
  response.seq_id = INT32_MIN;
  response.ai_type = -1;
  response.data = "d";
  EXPECT_EQ(JsonClassToStr(response),
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

// ---- Reading: types -----------------------------------------------------

TEST(JsonStrToClassTest, Int32AcceptsOnlyIntegersInRange) {
  struct Case {
    const char* text;
    int32_t expected_seq_id;
  };
  const Case cases[] = {
      {"{\"seq_id\":7}", 7},
      {"{\"seq_id\":2147483647}", INT32_MAX},
      {"{\"seq_id\":-2147483648}", INT32_MIN},
      {"{\"seq_id\":\"7\"}", 0},
      {"{\"seq_id\":7.0}", 0},
      {"{\"seq_id\":2147483648}", 0},
      {"{\"seq_id\":-2147483649}", 0},
      {"{\"seq_id\":true}", 0},
      {"{\"Seq_id\":7}", 0},
  };
  for (const Case& c : cases) {
    RequestAISnippingShot request;
    EXPECT_TRUE(JsonStrToClass(c.text, request)) << c.text;
    EXPECT_EQ(request.seq_id, c.expected_seq_id) << c.text;
    EXPECT_EQ(request.ai_type, -1) << c.text;
  }
}

TEST(JsonStrToClassTest, Int64AcceptsTheFullSignedRange) {
  struct Case {
    const char* text;
    int64_t expected;
  };
  const Case cases[] = {
      {"{\"parent_wnd\":4294967296}", 4294967296LL},
      {"{\"parent_wnd\":9223372036854775807}", INT64_MAX},
      {"{\"parent_wnd\":-9223372036854775808}", INT64_MIN},
      {"{\"parent_wnd\":9223372036854775808}", -1},
      {"{\"parent_wnd\":1.5}", -1},
      {"{\"parent_wnd\":\"1\"}", -1},
  };
  for (const Case& c : cases) {
    SelectUserWndSnippingShot select;
    EXPECT_TRUE(JsonStrToClass(c.text, select)) << c.text;
    EXPECT_EQ(select.parent_wnd, c.expected) << c.text;
    EXPECT_EQ(select.file_type, -1) << c.text;
    EXPECT_EQ(select.file_path, "") << c.text;
  }
}

TEST(JsonStrToClassTest, MembersOfTheWrongTypeAreSkippedOneByOne) {
  NotifySnippingShot notify = SampleNotify();
  ASSERT_TRUE(JsonStrToClass(
      "{\"image_file_path\":true,\"snipping_event\":5,\"ai_skill_data\":1,"
      "\"pos_x\":\"1\",\"pos_y\":-4,\"unknown\":{\"pos_x\":9}}",
      notify));
  const NotifySnippingShot before = SampleNotify();
  EXPECT_EQ(notify.image_file_path, before.image_file_path);
  EXPECT_EQ(notify.snipping_event, 5);
  EXPECT_EQ(notify.ai_skill_data, before.ai_skill_data);
  EXPECT_EQ(notify.pos_x, before.pos_x);
  EXPECT_EQ(notify.pos_y, -4);
}

TEST(JsonStrToClassTest, NullKeepsTheMemberAndAnEscapedNulEndsTheText) {
  BILogPayload payload{"kept"};
  ASSERT_TRUE(JsonStrToClass("{\"key\":null}", payload));
  EXPECT_EQ(payload.key, "kept");
  ASSERT_TRUE(JsonStrToClass("{\"key\":\"ab\\u0000cd\"}", payload));
  EXPECT_EQ(payload.key, "ab");
  EXPECT_EQ(payload.key.size(), 2u);
}

// ---- Reading: documents and syntax ------------------------------------

TEST(JsonStrToClassTest, ValidNonObjectRootChangesNothing) {
  for (const char* text : {"[1,2]", "5", "\"s\"", "null", "true", "[{\"seq_id\":3}]", " {} "}) {
    RequestAISnippingShot request = SampleRequestAI();
    EXPECT_TRUE(JsonStrToClass(text, request)) << text;
    EXPECT_EQ(JsonClassToStr(request), JsonClassToStr(SampleRequestAI())) << text;
  }
}

TEST(JsonStrToClassTest, InvalidTextFailsAndLeavesTheRecordUntouched) {
  const std::string invalid[] = {
      "",
      "{\"pos_x\":1} x",
      "{\"pos_x\":1",
      "{\"pos_x\":1/*c*/}",
      std::string("\0{\"pos_x\":1}", 12),
      // A byte-order mark is not JSON text, nor are its bytes one by one.
      "\xEF\xBB\xBF{\"pos_x\":1}",
      "\xEF{\"pos_x\":1}",
  };
  for (const std::string& text : invalid) {
    NotifySnippingShot notify = SampleNotify();
    EXPECT_FALSE(JsonStrToClass(text, notify)) << text;
    EXPECT_EQ(JsonClassToStr(notify), JsonClassToStr(SampleNotify())) << text;
  }
}

TEST(JsonStrToClassTest, TextEndsAtTheFirstNulByte) {
  NotifySnippingShot notify;
  EXPECT_TRUE(JsonStrToClass(std::string("{\"pos_x\":1}\0 garbage", 20), notify));
  EXPECT_EQ(notify.pos_x, 1);
  // Cut inside the object, what is left is not JSON.
  EXPECT_FALSE(JsonStrToClass(std::string("{\"pos_x\":2\0}", 12), notify));
  EXPECT_EQ(notify.pos_x, 1);
}

// ---- Reading: the tool's direction ------------------------------------

TEST(JsonStrToClassTest, ToolReadsNestedRecordsListsAndSwitches) {
  RequestSnippingShot shot;
  ASSERT_TRUE(JsonStrToClass(
      "{\"grays\":{\"x\":true,\"n\":1,\"y\":false,\"x\":false},"
      "\"ai_screen_shot_request\":{\"skills\":[{\"name\":\"s1\"},7,[],{\"skillData\":\"d\"}],"
      "\"agentInfo\":{\"agentCode\":\"c\"}},\"is_dark_theme\":true}",
      shot));
  // Non-boolean switches are left out and a repeated switch keeps its first
  // value; list elements that are not objects are left out.
  EXPECT_EQ(shot.grays, (std::map<std::string, bool>{{"x", true}, {"y", false}}));
  ASSERT_EQ(shot.ai_screen_shot_request.skills.size(), 2u);
  EXPECT_EQ(shot.ai_screen_shot_request.skills[0].name, "s1");
  EXPECT_EQ(shot.ai_screen_shot_request.skills[1].skillData, "d");
  EXPECT_EQ(shot.ai_screen_shot_request.agentInfo.agentCode, "c");
  EXPECT_TRUE(shot.is_dark_theme);
}

// Every record survives being written and read back, in both directions.
template <typename Record>
void ExpectRoundTrip(const Record& original, const Record& blank) {
  const std::string text = JsonClassToStr(original);
  Record copy = blank;
  ASSERT_TRUE(JsonStrToClass(text, copy)) << text;
  EXPECT_EQ(JsonClassToStr(copy), text);
  // The samples differ from the defaults in every member, so a member lost
  // on either side would show as a default here.
  EXPECT_NE(JsonClassToStr(blank), text);
}

TEST(JsonRoundTripTest, EveryRecord) {
  ExpectRoundTrip(SampleShot(), RequestSnippingShot());
  ExpectRoundTrip(SampleResponseAI(), ResponseAISnippingShot());
  ExpectRoundTrip(SelectUserWndHideSnippingShot{true}, SelectUserWndHideSnippingShot());
  ExpectRoundTrip(SampleNotify(), NotifySnippingShot());
  ExpectRoundTrip(SampleRequestAI(), RequestAISnippingShot());
  ExpectRoundTrip(SampleSelectUser(), SelectUserWndSnippingShot());
  ExpectRoundTrip(BILogPayload{"screenshot_done"}, BILogPayload());
  ExpectRoundTrip(SetConfigPayload{"{\"a\":[1,2]}"}, SetConfigPayload());
}

TEST(JsonRoundTripTest, ConcurrentCallsKeepNoSharedState) {
  const std::string expected = JsonClassToStr(SampleShot());
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        RequestSnippingShot copy;
        if (!JsonStrToClass(expected, copy) || JsonClassToStr(copy) != expected)
          ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(failures[t], 0) << "thread " << t;
}

// ---- Deep nesting -------------------------------------------------------

// Runs |body| on a thread with a 1 MiB stack, the size a Windows thread
// gets by default; a recursive parser would overflow it on these texts.
void RunOnSmallStack(void (*body)()) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 1 << 20), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attributes,
                [](void* arg) -> void* {
                  reinterpret_cast<void (*)()>(arg)();
                  return nullptr;
                },
                reinterpret_cast<void*>(body)),
            0);
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
    EXPECT_TRUE(JsonStrToClass("{\"x\":" + nested + ",\"pos_x\":" + nested + ",\"pos_y\":9}",
                               notify));
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
