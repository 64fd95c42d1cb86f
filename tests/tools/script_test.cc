#include "tools/reference_tool/script.h"

#include <gtest/gtest.h>

namespace reference_tool {
namespace {

Script MustParse(const std::string& text) {
  Script script;
  std::string error;
  EXPECT_TRUE(ParseScript(text, &script, &error)) << error;
  return script;
}

// The tool's end-to-end tests show the trace file, raw payloads and error
// replies at work; here the rest of what a step carries, and the defaults.
TEST(ScriptTest, ReadsStepsInOrderWithTheirParameters) {
  const Script script = MustParse(R"({
    "lifetime_ms": 20000,
    "steps": [
      {"at": "before_connect", "do": "delay", "ms": 150},
      {"at": "after_handshake", "do": "bilog", "json": {"key": "a b", "n": [1, 2]}},
      {"at": "after_result", "do": "invoke", "method": "snipping_tool_agent.nope"},
      {"at": "after_connect", "do": "exit", "code": 9}
    ]})");
  EXPECT_EQ(script.lifetime_ms, 20000);
  ASSERT_EQ(script.steps.size(), 4u);
  EXPECT_EQ(script.steps[0].stage, Stage::kBeforeConnect);
  EXPECT_EQ(script.steps[0].action, Action::kDelay);
  EXPECT_EQ(script.steps[0].ms, 150);
  EXPECT_EQ(script.steps[0].shot, 0) << "a step without \"shot\" runs every time";
  // A named invoke carries its method; "json" is written back compactly,
  // keeping member order.
  EXPECT_EQ(script.steps[1].action, Action::kInvoke);
  EXPECT_EQ(script.steps[1].method, "snipping_tool_agent.snipping.bilog");
  EXPECT_EQ(script.steps[1].payload, R"({"key":"a b","n":[1,2]})");
  EXPECT_EQ(script.steps[2].payload, "{}") << "an invoke without a payload sends {}";
  EXPECT_EQ(script.steps[3].stage, Stage::kAfterConnect);
  EXPECT_EQ(script.steps[3].code, 9);
}

TEST(ScriptTest, AcceptsFlowActionsOnlyWhereTheyCanAct) {
  MustParse(R"({"steps": [
      {"at": "before_connect", "do": "skip_connect"},
      {"at": "after_connect", "do": "skip_handshake"},
      {"at": "on_shot", "do": "no_reply"},
      {"at": "on_response_ai", "do": "no_reply"},
      {"at": "on_wnd_hide", "do": "reply_error"},
      {"at": "after_shot_reply", "do": "skip_result"}]})");

  const char* misplaced[] = {
      R"({"steps":[{"at":"after_connect","do":"skip_connect"}]})",
      R"({"steps":[{"at":"on_shot","do":"skip_handshake"}]})",
      R"({"steps":[{"at":"after_shot_reply","do":"no_reply"}]})",
      R"({"steps":[{"at":"after_handshake","do":"reply_error"}]})",
      R"({"steps":[{"at":"on_shot","do":"skip_result"}]})",
      // Nothing can be sent before there is a connection.
      R"({"steps":[{"at":"before_connect","do":"bilog"}]})",
      R"({"steps":[{"at":"before_connect","do":"send_result"}]})",
  };
  for (const char* text : misplaced) {
    Script script;
    std::string error;
    EXPECT_FALSE(ParseScript(text, &script, &error)) << text;
    EXPECT_NE(error.find("script step 1 cannot "), std::string::npos) << error;
  }
}

TEST(ScriptTest, RefusesMalformedScriptsWithAReason) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "not JSON"},
      {"{\"steps\":[}", "not JSON"},
      {"[]", "not a JSON object"},
      {R"({"step":[]})", "unknown member: step"},
      {R"({"steps":{}})", "\"steps\" is not an array"},
      {R"({"trace_file":""})", "\"trace_file\" is not a non-empty string"},
      {R"({"lifetime_ms":0})", "\"lifetime_ms\" is not 1 to"},
      {R"({"lifetime_ms":1.5})", "\"lifetime_ms\" is not 1 to"},
      {R"({"steps":[5]})", "step 1 is not an object"},
      {R"({"steps":[{"do":"crash"}]})", "step 1 has no \"at\""},
      {R"({"steps":[{"at":"on_shot"}]})", "step 1 has no \"do\""},
      {R"({"steps":[{"at":"later","do":"crash"}]})", "unknown stage: later"},
      {R"({"steps":[{"at":"on_shot","do":"explode"}]})", "unknown action: explode"},
      {R"({"steps":[{"at":"on_shot","do":"crash","when":1}]})", "unknown member: when"},
      {R"({"steps":[{"at":"on_shot","do":"exit","ms":5}]})", "\"ms\", which exit does not take"},
      {R"({"steps":[{"at":"on_shot","do":"delay"}]})", "lacks what delay needs (\"ms\")"},
      {R"({"steps":[{"at":"on_shot","do":"invoke"}]})", "lacks what invoke needs (\"method\")"},
      {R"({"steps":[{"at":"on_shot","do":"invoke","method":""}]})", "\"method\" that is not"},
      {R"({"steps":[{"at":"on_shot","do":"delay","ms":60001}]})", "\"ms\" that is not 0 to 60000"},
      {R"({"steps":[{"at":"on_shot","do":"delay","ms":-1}]})", "\"ms\" that is not"},
      {R"({"steps":[{"at":"on_shot","do":"exit","code":256}]})", "\"code\" out of range"},
      {R"({"steps":[{"at":"on_shot","do":"crash","shot":0}]})", "\"shot\" that is not"},
      {R"({"steps":[{"at":"on_shot","do":"bilog","payload":{}}]})", "\"payload\" that is not a string"},
      {R"({"steps":[{"at":"on_shot","do":"bilog","payload":"","json":1}]})", "both \"payload\" and \"json\""},
      {R"({"steps":[{"at":"on_shot","do":"crash"},{"at":"x","do":"crash"}]})", "step 2 names an unknown stage"},
  };
  for (const auto& [text, fragment] : cases) {
    Script script;
    script.lifetime_ms = 77;
    std::string error;
    EXPECT_FALSE(ParseScript(text, &script, &error)) << text;
    EXPECT_NE(error.find(fragment), std::string::npos) << text << " gave: " << error;
    EXPECT_EQ(script.lifetime_ms, 77) << "a refused script leaves the old one alone";
  }
}

}  // namespace
}  // namespace reference_tool
