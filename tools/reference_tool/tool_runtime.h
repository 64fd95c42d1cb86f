// The reference tool at work: connects to the agent, handshakes, answers
// shot requests with real captures, and follows its script.
#ifndef TOOLS_REFERENCE_TOOL_TOOL_RUNTIME_H_
#define TOOLS_REFERENCE_TOOL_TOOL_RUNTIME_H_

#include "tools/reference_tool/script.h"
#include "tools/reference_tool/switches.h"

namespace reference_tool {

// Exit codes of the tool (a script's "exit" step chooses its own).
enum ExitCode {
  kExitNormal = 0,            // told to exit ("exit_screen_tool"), or a sleeper's end
  kExitBadCommandLine = 2,    // switches or script refused
  kExitConnectionLost = 3,    // the agent's connection ended
  kExitConnectFailed = 4,     // the connection could not be made
  kExitHandshakeFailed = 5,   // the handshake invoke failed
  kExitLifetimeReached = 6,   // the script's lifetime ran out
};

// Result event codes ("snipping_event" of the shot result).
enum SnippingEvent {
  kEventCaptured = 1,         // the screen was captured and written to the path asked for
  kEventCaptureFailed = 2,    // no display, or capturing failed; no file
  kEventWriteFailed = 3,      // captured, but the PNG could not be written; no file
  kEventBadRequest = 4,       // the shot request was unreadable or had no path
  kEventScripted = 5,         // a result a script sent with no shot behind it
};

// Runs the tool until it exits; never returns.
[[noreturn]] void RunTool(const ToolOptions& options, const Script& script);

}  // namespace reference_tool

#endif  // TOOLS_REFERENCE_TOOL_TOOL_RUNTIME_H_
