// Writes the frames of a cold shot as the annotated session of the tool
// guide (docs/tool-session.md): the command line, then every frame with its
// meaning, its fields and its bytes. What changes from run to run (secret,
// port, directory) is replaced by placeholders, so the text is the same for
// every run of the same tool.
#ifndef TOOLS_CONFORMANCE_SESSION_WRITER_H_
#define TOOLS_CONFORMANCE_SESSION_WRITER_H_

#include <string>
#include <vector>

#include "tools/conformance/frame_recorder.h"

namespace conformance {

struct Placeholders {
  std::string secret;     // -> <secret>
  std::string directory;  // -> <dir>
  std::string port;       // -> <port>
  std::string tool_name;  // QuilloSnippingTool or VizudeDezo
};

// |frames| from the first hello up to the agent's reply to the first
// result; later frames are left out.
bool WriteSession(const std::string& file, const std::vector<std::string>& command_line,
                  const std::vector<RecordedFrame>& frames, const Placeholders& placeholders,
                  std::string* error);

}  // namespace conformance

#endif  // TOOLS_CONFORMANCE_SESSION_WRITER_H_
