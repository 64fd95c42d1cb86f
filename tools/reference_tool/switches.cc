#include "tools/reference_tool/switches.h"

#include <limits>
#include <set>

#include <rapidjson/document.h>

#include "tools/reference_tool/base64_decode.h"

namespace reference_tool {
namespace {

enum class Kind {
  kText,
  kPort,
  kInt64,
  kBool,
  kTheme,
  kBase64Text,
  kBase64Features,  // a JSON object: decimal int32 names, boolean values
  kBase64Extras,    // a JSON object of strings
};

struct SwitchRule {
  const char* name;
  Kind kind;
};

const SwitchRule kClassicSwitches[] = {
    {"channel-port", Kind::kPort},         {"env", Kind::kText},
    {"user-id", Kind::kInt64},             {"version", Kind::kText},
    {"dui-config", Kind::kBase64Text},     {"log-file", Kind::kText},
    {"snipping-config", Kind::kBase64Text}, {"snipping-features", Kind::kBase64Features},
    {"snipping-extras", Kind::kBase64Extras},
};

const SwitchRule kVizudeDezoSwitches[] = {
    {"channel-port", Kind::kPort},
    {"user_id", Kind::kInt64},
    {"version", Kind::kText},
    {"local_language", Kind::kText},
    {"app_data_path", Kind::kText},
    {"app_theme", Kind::kTheme},
    {"enable_screen_tool_gray_win", Kind::kBool},
    {"enable_screen_tool_scroll_screenshot_win", Kind::kBool},
    {"enable_screen_tool_recording_0909", Kind::kBool},
    {"enable_screen_tool_1028", Kind::kBool},
    {"enable_screen_tool_commercialize", Kind::kBool},
    {"enable_ai_recognize", Kind::kBool},
    {"extension", Kind::kBase64Extras},
};

const SwitchRule* FindRule(Flavour flavour, const std::string& name) {
  if (flavour == Flavour::kClassic) {
    for (const SwitchRule& rule : kClassicSwitches) {
      if (name == rule.name)
        return &rule;
    }
  } else {
    for (const SwitchRule& rule : kVizudeDezoSwitches) {
      if (name == rule.name)
        return &rule;
    }
  }
  return nullptr;
}

// Decimal, optional leading minus, no blanks, within [min, max].
bool ParseInteger(const std::string& text, int64_t min, int64_t max, int64_t* out) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative)
    i = 1;
  if (i == text.size() || text.size() - i > 19)
    return false;
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9')
      return false;
    magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  const uint64_t limit = negative ? static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1
                                  : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (magnitude > limit)
    return false;
  const int64_t value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  if (value < min || value > max)
    return false;
  *out = value;
  return true;
}

bool ParseDocument(const std::string& text, rapidjson::Document* document) {
  document->Parse(text.c_str(), text.size());
  return !document->HasParseError() && document->IsObject();
}

bool CheckFeatures(const std::string& text, std::string* error) {
  rapidjson::Document document;
  if (!ParseDocument(text, &document)) {
    *error = "is not a JSON object";
    return false;
  }
  for (const auto& member : document.GetObject()) {
    int64_t key = 0;
    const std::string name(member.name.GetString(), member.name.GetStringLength());
    if (!ParseInteger(name, std::numeric_limits<int32_t>::min(),
                      std::numeric_limits<int32_t>::max(), &key)) {
      *error = "has a member name that is not a 32-bit decimal number: " + name;
      return false;
    }
    if (!member.value.IsBool()) {
      *error = "has a member that is not a boolean: " + name;
      return false;
    }
  }
  return true;
}

bool ReadExtras(const std::string& text, std::map<std::string, std::string>* extras,
                std::string* error) {
  if (text.empty())
    return true;
  rapidjson::Document document;
  if (!ParseDocument(text, &document)) {
    *error = "is not a JSON object";
    return false;
  }
  for (const auto& member : document.GetObject()) {
    const std::string name(member.name.GetString(), member.name.GetStringLength());
    if (!member.value.IsString()) {
      *error = "has a member that is not a string: " + name;
      return false;
    }
    // The first of repeated names wins, as in every reader of ours.
    extras->emplace(name, std::string(member.value.GetString(), member.value.GetStringLength()));
  }
  return true;
}

bool ApplySwitch(const SwitchRule& rule, const std::string& value, ToolOptions* options,
                 std::string* error) {
  int64_t number = 0;
  switch (rule.kind) {
    case Kind::kText:
      return true;
    case Kind::kPort:
      if (!ParseInteger(value, 1, 65535, &number)) {
        *error = "is not a port number (1 to 65535)";
        return false;
      }
      options->port = static_cast<int>(number);
      return true;
    case Kind::kInt64:
      if (!ParseInteger(value, std::numeric_limits<int64_t>::min(),
                        std::numeric_limits<int64_t>::max(), &number)) {
        *error = "is not a 64-bit decimal integer";
        return false;
      }
      options->user_id = number;
      return true;
    case Kind::kBool:
      if (value != "true" && value != "false") {
        *error = "is neither \"true\" nor \"false\"";
        return false;
      }
      return true;
    case Kind::kTheme:
      if (value != "dark" && value != "light") {
        *error = "is neither \"dark\" nor \"light\"";
        return false;
      }
      return true;
    case Kind::kBase64Text:
    case Kind::kBase64Features:
    case Kind::kBase64Extras:
      break;
  }
  std::string decoded;
  if (!Base64Decode(value, &decoded)) {
    *error = "is not Base64";
    return false;
  }
  if (rule.kind == Kind::kBase64Features && !CheckFeatures(decoded, error))
    return false;
  if (rule.kind == Kind::kBase64Extras && !ReadExtras(decoded, &options->extras, error))
    return false;
  options->documents.emplace_back(rule.name, decoded);
  return true;
}

}  // namespace

const char* FlavourName(Flavour flavour) {
  return flavour == Flavour::kClassic ? "QuilloSnippingTool" : "VizudeDezo";
}

const char* IdentityFor(Flavour flavour) {
  return flavour == Flavour::kClassic ? "{71D0A9C3-4E2B-4B85-8F16-C2A7D93E0B54}"
                                      : "{5B1C7E24-0D3A-4F68-9C27-3E8B1A6D4F90}";
}

bool ParseToolSwitches(Flavour flavour, const std::vector<std::string>& args, ToolOptions* options,
                       std::string* error) {
  ToolOptions parsed;
  parsed.flavour = flavour;
  std::set<std::string> seen;
  for (const std::string& arg : args) {
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      *error = "not a switch: \"" + arg + "\"";
      return false;
    }
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const std::string value = equals == std::string::npos ? std::string() : arg.substr(equals + 1);
    if (!seen.insert(name).second) {
      *error = "switch given twice: --" + name;
      return false;
    }
    parsed.switches.emplace_back(name, value);
    if (name == kSleepSwitch) {
      int64_t ms = 0;
      if (!ParseInteger(value, 0, kMaxSleepMs, &ms)) {
        *error = std::string("--") + kSleepSwitch + " is not a number of milliseconds (0 to " +
                 std::to_string(kMaxSleepMs) + ")";
        return false;
      }
      parsed.sleep_ms = static_cast<int>(ms);
      continue;
    }
    const SwitchRule* rule = FindRule(flavour, name);
    if (!rule) {
      *error = std::string("unknown switch for ") + FlavourName(flavour) + ": --" + name;
      return false;
    }
    std::string reason;
    if (!ApplySwitch(*rule, value, &parsed, &reason)) {
      *error = "--" + name + " " + reason;
      return false;
    }
  }
  if (parsed.sleep_ms >= 0 && parsed.switches.size() != 1) {
    *error = std::string("--") + kSleepSwitch + " takes no other switch";
    return false;
  }
  *options = std::move(parsed);
  return true;
}

}  // namespace reference_tool
