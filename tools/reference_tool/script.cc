#include "tools/reference_tool/script.h"

#include <cstdint>
#include <iterator>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "tools/reference_tool/switches.h"

namespace reference_tool {
namespace {

struct StageEntry {
  const char* name;
  Stage stage;
};

const StageEntry kStages[] = {
    {"before_connect", Stage::kBeforeConnect}, {"after_connect", Stage::kAfterConnect},
    {"after_handshake", Stage::kAfterHandshake}, {"on_shot", Stage::kOnShot},
    {"after_shot_reply", Stage::kAfterShotReply}, {"after_result", Stage::kAfterResult},
    {"on_response_ai", Stage::kOnResponseAi},   {"on_wnd_hide", Stage::kOnWndHide},
};

constexpr unsigned Bit(Stage stage) { return 1u << static_cast<unsigned>(stage); }
constexpr unsigned kAnyStage = ~0u;
// Invokes need a connection.
constexpr unsigned kConnectedStages = kAnyStage & ~Bit(Stage::kBeforeConnect);
// Stages at which an incoming request waits for its answer.
constexpr unsigned kRequestStages = Bit(Stage::kOnShot) | Bit(Stage::kOnResponseAi) |
                                    Bit(Stage::kOnWndHide);

enum Param : unsigned {
  kMs = 1,
  kCode = 2,
  kMethod = 4,
  kPayload = 8,  // "payload" (raw text) or "json" (any value, written compactly)
  kReason = 16,
};

struct ActionRule {
  const char* name;
  Action action;
  const char* method;  // the fixed method of a named invoke
  unsigned stages;
  unsigned params;
  unsigned required;
};

const ActionRule kActions[] = {
    {"delay", Action::kDelay, nullptr, kAnyStage, kMs, kMs},
    {"exit", Action::kExit, nullptr, kAnyStage, kCode, 0},
    {"crash", Action::kCrash, nullptr, kAnyStage, 0, 0},
    {"spawn_grandchild", Action::kSpawnGrandchild, nullptr, kAnyStage, kMs, 0},
    {"spawn_setsid_grandchild", Action::kSpawnSetsidGrandchild, nullptr, kAnyStage, kMs, 0},
    {"spawn_daemon", Action::kSpawnDaemon, nullptr, kAnyStage, kMs, 0},
    {"invoke", Action::kInvoke, nullptr, kConnectedStages, kMethod | kPayload, kMethod},
    {"handshake", Action::kInvoke, "snipping_tool_agent.snipping.handshake", kConnectedStages,
     kPayload, 0},
    {"record_started", Action::kInvoke, "snipping_tool_agent.snipping.notify_record_started",
     kConnectedStages, kPayload, 0},
    {"record_finished", Action::kInvoke, "snipping_tool_agent.snipping.notify_record_finished",
     kConnectedStages, kPayload, 0},
    {"bilog", Action::kInvoke, "snipping_tool_agent.snipping.bilog", kConnectedStages, kPayload, 0},
    {"set_config", Action::kInvoke, "snipping_tool_agent.snipping.set_config", kConnectedStages,
     kPayload, 0},
    {"show_vip_wnd", Action::kInvoke, "snipping_tool_agent.snipping.show_vip_wnd",
     kConnectedStages, kPayload, 0},
    {"show_select_user_wnd", Action::kInvoke, "snipping_tool_agent.snipping.show_select_user_wnd",
     kConnectedStages, kPayload, 0},
    {"request_ai", Action::kInvoke, "snipping_tool_agent.snipping.request_ai", kConnectedStages,
     kPayload, 0},
    {"send_result", Action::kSendResult, nullptr, kConnectedStages, kPayload, 0},
    {"skip_connect", Action::kSkipConnect, nullptr, Bit(Stage::kBeforeConnect), 0, 0},
    {"skip_handshake", Action::kSkipHandshake, nullptr, Bit(Stage::kAfterConnect), 0, 0},
    {"no_reply", Action::kNoReply, nullptr, kRequestStages, 0, 0},
    {"reply_error", Action::kReplyError, nullptr, kRequestStages, kCode | kReason, 0},
    {"skip_result", Action::kSkipResult, nullptr, Bit(Stage::kAfterShotReply), 0, 0},
};

constexpr int kMaxDelayMs = 60000;
constexpr int kDefaultGrandchildMs = 60000;
constexpr int kMaxLifetimeMs = 600000;
// The runtime's "the remote side failed" code, the natural error for a tool
// to answer with.
constexpr int kDefaultReplyErrorCode = 1008;

std::string WriteCompact(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

bool ReadInt(const rapidjson::Value& value, int min, int max, int* out) {
  if (!value.IsInt())
    return false;
  const int number = value.GetInt();
  if (number < min || number > max)
    return false;
  *out = number;
  return true;
}

bool ParseStep(const rapidjson::Value& object, Step* step, std::string* error) {
  if (!object.IsObject()) {
    *error = "is not an object";
    return false;
  }
  const auto at = object.FindMember("at");
  const auto what = object.FindMember("do");
  if (at == object.MemberEnd() || !at->value.IsString()) {
    *error = "has no \"at\" stage name";
    return false;
  }
  if (what == object.MemberEnd() || !what->value.IsString()) {
    *error = "has no \"do\" action name";
    return false;
  }
  const StageEntry* stage = nullptr;
  for (const StageEntry& entry : kStages) {
    if (at->value.GetString() == std::string(entry.name))
      stage = &entry;
  }
  if (!stage) {
    *error = "names an unknown stage: " + std::string(at->value.GetString());
    return false;
  }
  const ActionRule* action = nullptr;
  for (const ActionRule& rule : kActions) {
    if (what->value.GetString() == std::string(rule.name))
      action = &rule;
  }
  if (!action) {
    *error = "names an unknown action: " + std::string(what->value.GetString());
    return false;
  }
  if (!(action->stages & Bit(stage->stage))) {
    *error = std::string("cannot ") + action->name + " at " + stage->name;
    return false;
  }
  step->stage = stage->stage;
  step->action = action->action;
  step->name = action->name;
  if (action->method)
    step->method = action->method;
  if (action->action == Action::kSpawnGrandchild ||
      action->action == Action::kSpawnSetsidGrandchild || action->action == Action::kSpawnDaemon)
    step->ms = kDefaultGrandchildMs;
  if (action->action == Action::kReplyError) {
    step->code = kDefaultReplyErrorCode;
    step->reason = "scripted error";
  }

  unsigned given = 0;
  for (const auto& member : object.GetObject()) {
    const std::string name = member.name.GetString();
    const rapidjson::Value& value = member.value;
    unsigned param = 0;
    bool ok = true;
    if (name == "at" || name == "do") {
      continue;
    } else if (name == "shot") {
      if (!ReadInt(value, 1, INT32_MAX, &step->shot)) {
        *error = "has a \"shot\" that is not a shot number (1 or more)";
        return false;
      }
      continue;
    } else if (name == "ms") {
      param = kMs;
      const int max = action->action == Action::kDelay ? kMaxDelayMs : kMaxSleepMs;
      ok = ReadInt(value, 0, max, &step->ms);
      if (!ok)
        *error = "has an \"ms\" that is not 0 to " + std::to_string(max);
    } else if (name == "code") {
      param = kCode;
      const int max = action->action == Action::kExit ? 255 : INT32_MAX;
      const int min = action->action == Action::kExit ? 0 : INT32_MIN;
      ok = ReadInt(value, min, max, &step->code);
      if (!ok)
        *error = "has a \"code\" out of range";
    } else if (name == "method") {
      param = kMethod;
      ok = value.IsString() && value.GetStringLength() > 0;
      if (ok)
        step->method = value.GetString();
      else
        *error = "has a \"method\" that is not a non-empty string";
    } else if (name == "payload" || name == "json") {
      param = kPayload;
      if (given & kPayload) {
        *error = "has both \"payload\" and \"json\"";
        return false;
      }
      if (name == "payload") {
        ok = value.IsString();
        if (ok)
          step->payload.assign(value.GetString(), value.GetStringLength());
        else
          *error = "has a \"payload\" that is not a string (use \"json\" for a JSON value)";
      } else {
        step->payload = WriteCompact(value);
      }
      step->has_payload = ok;
    } else if (name == "reason") {
      param = kReason;
      ok = value.IsString();
      if (ok)
        step->reason = value.GetString();
      else
        *error = "has a \"reason\" that is not a string";
    } else {
      *error = "has an unknown member: " + name;
      return false;
    }
    if (!ok)
      return false;
    if (!(action->params & param)) {
      *error = std::string("gives \"") + name + "\", which " + action->name + " does not take";
      return false;
    }
    given |= param;
  }
  if ((given & action->required) != action->required) {
    *error = std::string("lacks what ") + action->name + " needs (" +
             (action->required & kMs ? "\"ms\"" : "\"method\"") + ")";
    return false;
  }
  if (step->action == Action::kInvoke && !step->has_payload)
    step->payload = "{}";
  return true;
}

}  // namespace

const char* StageName(Stage stage) {
  for (const StageEntry& entry : kStages) {
    if (entry.stage == stage)
      return entry.name;
  }
  return "?";
}

bool ParseScript(const std::string& text, Script* script, std::string* error) {
  rapidjson::Document document;
  document.Parse(text.c_str(), text.size());
  if (document.HasParseError()) {
    *error = "script is not JSON (error at offset " + std::to_string(document.GetErrorOffset()) + ")";
    return false;
  }
  if (!document.IsObject()) {
    *error = "script is not a JSON object";
    return false;
  }
  Script parsed;
  for (const auto& member : document.GetObject()) {
    const std::string name = member.name.GetString();
    const rapidjson::Value& value = member.value;
    if (name == "trace_file") {
      if (!value.IsString() || value.GetStringLength() == 0) {
        *error = "script's \"trace_file\" is not a non-empty string";
        return false;
      }
      parsed.trace_file = value.GetString();
    } else if (name == "lifetime_ms") {
      if (!ReadInt(value, 1, kMaxLifetimeMs, &parsed.lifetime_ms)) {
        *error = "script's \"lifetime_ms\" is not 1 to " + std::to_string(kMaxLifetimeMs);
        return false;
      }
    } else if (name == "steps") {
      if (!value.IsArray()) {
        *error = "script's \"steps\" is not an array";
        return false;
      }
      for (rapidjson::SizeType i = 0; i < value.Size(); ++i) {
        Step step;
        std::string reason;
        if (!ParseStep(value[i], &step, &reason)) {
          *error = "script step " + std::to_string(i + 1) + " " + reason;
          return false;
        }
        parsed.steps.push_back(std::move(step));
      }
    } else {
      *error = "script has an unknown member: " + name;
      return false;
    }
  }
  *script = std::move(parsed);
  return true;
}

}  // namespace reference_tool
