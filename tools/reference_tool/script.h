// The reference tool's script: what tests and demos make the tool do at each
// stage of its life, given as a JSON text in the extras entry
// "reference_tool_script". The format is documented in
// docs/reference-tool.md.
#ifndef TOOLS_REFERENCE_TOOL_SCRIPT_H_
#define TOOLS_REFERENCE_TOOL_SCRIPT_H_

#include <string>
#include <vector>

namespace reference_tool {

// The points in the tool's life at which steps run, in the order a normal
// shot reaches them.
enum class Stage {
  kBeforeConnect,   // switches read, nothing connected yet
  kAfterConnect,    // connected, handshake not yet sent
  kAfterHandshake,  // the agent answered the handshake
  kOnShot,          // a shot request arrived, not yet answered
  kAfterShotReply,  // the shot request answered, the capture not yet made
  kAfterResult,     // the shot result sent
  kOnResponseAi,    // a screen-AI answer arrived, not yet answered
  kOnWndHide,       // the select-user window hide arrived, not yet answered
};

enum class Action {
  kDelay,            // sleep |ms|
  kExit,             // end the process with |code| at once
  kCrash,            // abort()
  kSpawnGrandchild,  // start a sleeper child that lives |ms|
  kSpawnSetsidGrandchild,  // the same, in a session of its own
  kSpawnDaemon,            // the same, double-forked into a session of its own
  kInvoke,           // invoke |method| with |payload|
  kSendResult,       // send a shot result: |payload|, or else the latest one
  kSkipConnect,      // do not connect
  kSkipHandshake,    // do not send the handshake
  kNoReply,          // leave the request that arrived unanswered
  kReplyError,       // answer the request that arrived with error |code|, |reason|
  kSkipResult,       // answer the shot but send no result
};

struct Step {
  Stage stage = Stage::kBeforeConnect;
  Action action = Action::kDelay;
  std::string name;  // the action's name in the script
  // Only on the shot with this number (1 for the first); 0 for every time.
  int shot = 0;
  int ms = 0;
  int code = 0;
  std::string method;
  bool has_payload = false;
  std::string payload;
  std::string reason;
};

struct Script {
  // Where the trace goes; empty for no trace.
  std::string trace_file;
  // When not 0, the tool ends itself (exit code 6) this long after start.
  int lifetime_ms = 0;
  std::vector<Step> steps;
};

// Parses |text|. On refusal returns false with a reason naming the step and
// the member at fault. Unknown members, actions and stages, an action at a
// stage where it cannot act, wrong types and out-of-range numbers are all
// refused: a script that does not say exactly what it means is a broken
// test, not something to guess around.
bool ParseScript(const std::string& text, Script* script, std::string* error);

const char* StageName(Stage stage);

}  // namespace reference_tool

#endif  // TOOLS_REFERENCE_TOOL_SCRIPT_H_
