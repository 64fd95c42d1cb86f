#include "tools/demo_host/demo_options.h"

#include <cstdint>

namespace demo_host {
namespace {

enum class Kind { kFlag, kText, kNumber };

struct OptionRule {
  const char* name;
  Kind kind;
  int min;
  int max;
};

const OptionRule kOptions[] = {
    {"help", Kind::kFlag, 0, 0},
    {"save-path", Kind::kText, 0, 0},
    {"use-screen-tool", Kind::kFlag, 0, 0},
    {"pass-channel-port", Kind::kFlag, 0, 0},
    {"timeout-config", Kind::kText, 0, 0},
    {"script", Kind::kText, 0, 0},
    {"shots", Kind::kNumber, 1, 100},
    {"wait-ms", Kind::kNumber, 100, 600000},
    {"linger-ms", Kind::kNumber, 0, 60000},
    {"library", Kind::kText, 0, 0},
};

bool ParseNumber(const std::string& text, int min, int max, int* out) {
  if (text.empty() || text.size() > 9)
    return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + (c - '0');
  }
  if (value < min || value > max)
    return false;
  *out = value;
  return true;
}

void Store(const std::string& name, const std::string& value, int number, DemoOptions* options) {
  if (name == "help")
    options->help = true;
  else if (name == "save-path")
    options->save_path = value;
  else if (name == "use-screen-tool")
    options->use_screen_tool = true;
  else if (name == "pass-channel-port")
    options->pass_channel_port = true;
  else if (name == "timeout-config")
    options->timeout_config = value;
  else if (name == "script")
    options->script = value;
  else if (name == "shots")
    options->shots = number;
  else if (name == "wait-ms")
    options->wait_ms = number;
  else if (name == "linger-ms")
    options->linger_ms = number;
  else if (name == "library")
    options->library = value;
}

}  // namespace

const char kDemoUsage[] =
    "usage: snipping_demo_host [options]\n"
    "  --save-path PATH         where the shot is saved (default ./snipping-demo.png)\n"
    "  --use-screen-tool        use VizudeDezo.exe instead of QuilloSnippingTool.exe\n"
    "  --pass-channel-port      give VizudeDezo.exe the port on its command line\n"
    "  --timeout-config JSON    the agent's time-out document (extras \"timeout_config\")\n"
    "  --script JSON            the reference tool's script (extras \"reference_tool_script\")\n"
    "  --shots N                take N shots one after the other (1 to 100)\n"
    "  --wait-ms N              give up on a shot after N ms (default 20000)\n"
    "  --linger-ms N            keep watching N ms after the last shot (default 300)\n"
    "  --library PATH           the agent library (default: next to this program)\n";

bool ParseDemoOptions(const std::vector<std::string>& args, DemoOptions* options,
                      std::string* error) {
  DemoOptions parsed;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      *error = "not an option: \"" + arg + "\"";
      return false;
    }
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const OptionRule* rule = nullptr;
    for (const OptionRule& candidate : kOptions) {
      if (name == candidate.name)
        rule = &candidate;
    }
    if (!rule) {
      *error = "unknown option: --" + name;
      return false;
    }
    std::string value;
    if (rule->kind == Kind::kFlag) {
      if (equals != std::string::npos) {
        *error = "--" + name + " takes no value";
        return false;
      }
    } else if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      *error = "--" + name + " needs a value";
      return false;
    }
    int number = 0;
    if (rule->kind == Kind::kNumber && !ParseNumber(value, rule->min, rule->max, &number)) {
      *error = "--" + name + " must be a number from " + std::to_string(rule->min) + " to " +
               std::to_string(rule->max);
      return false;
    }
    if (rule->kind == Kind::kText && name == "save-path" && value.empty()) {
      *error = "--save-path needs a path";
      return false;
    }
    Store(name, value, number, &parsed);
  }
  *options = std::move(parsed);
  return true;
}

std::string ShotPath(const std::string& base, int number) {
  if (number <= 1)
    return base;
  const size_t separator = base.find_last_of("/\\");
  const size_t dot = base.rfind('.');
  const std::string suffix = "-" + std::to_string(number);
  // A dot that starts the file name ("dir/.png") or lies in a directory
  // name is no extension.
  const size_t name_start = separator == std::string::npos ? 0 : separator + 1;
  if (dot == std::string::npos || dot <= name_start)
    return base + suffix;
  return base.substr(0, dot) + suffix + base.substr(dot);
}

}  // namespace demo_host
