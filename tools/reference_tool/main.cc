// The reference snipping tool. One source, two executables: the build gives
// each its flavour (REFERENCE_TOOL_VIZUDEDEZO for VizudeDezo.exe).
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tools/reference_tool/os.h"
#include "tools/reference_tool/script.h"
#include "tools/reference_tool/switches.h"
#include "tools/reference_tool/tool_runtime.h"

namespace {

#if defined(REFERENCE_TOOL_VIZUDEDEZO)
constexpr reference_tool::Flavour kFlavour = reference_tool::Flavour::kVizudeDezo;
#else
constexpr reference_tool::Flavour kFlavour = reference_tool::Flavour::kClassic;
#endif

int Refuse(const std::string& reason) {
  std::fprintf(stderr, "%s: refused: %s\n", reference_tool::FlavourName(kFlavour), reason.c_str());
  return reference_tool::kExitBadCommandLine;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace reference_tool;
  ToolOptions options;
  std::string error;
  if (!ParseToolSwitches(kFlavour, ArgumentsUtf8(argc, argv), &options, &error))
    return Refuse(error);
  if (options.sleep_ms >= 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(options.sleep_ms));
    return kExitNormal;
  }
  Script script;
  const auto entry = options.extras.find(kScriptExtrasKey);
  if (entry != options.extras.end() && !ParseScript(entry->second, &script, &error))
    return Refuse(error);
  RunTool(options, script);
}
