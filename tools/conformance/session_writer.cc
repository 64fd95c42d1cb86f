#include "tools/conformance/session_writer.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tools/reference_tool/base64_decode.h"

namespace conformance {
namespace {

using ipc_core::wire::Frame;
using ipc_core::wire::FrameType;

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  if (from.empty())
    return text;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string Hide(const std::string& text, const Placeholders& p) {
  return ReplaceAll(ReplaceAll(text, p.secret, "<secret>"), p.directory, "<dir>");
}

std::string Hex(const std::string& bytes) {
  std::ostringstream out;
  char cell[24];
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i % 16 == 0) {
      std::snprintf(cell, sizeof(cell), "%s%04zx ", i ? "\n" : "", i);
      out << cell;
    }
    std::snprintf(cell, sizeof(cell), " %02x", static_cast<unsigned char>(bytes[i]));
    out << cell;
  }
  return out.str();
}

// What a frame means in the conversation.
std::string Meaning(const RecordedFrame& r, const std::string& answered) {
  const Frame& f = r.frame;
  switch (f.type) {
    case FrameType::kHello:
      return "The tool's first frame, sent as soon as the TCP connection is up: protocol "
             "version 1, the tool's name, and the one-time secret from QUILLO_IPC_PEER_SECRET.";
    case FrameType::kWelcome:
      return "The agent accepts the secret (it is now used up) and the connection is "
             "established. The two integers identify the tool generation's agent; the "
             "connection id counts the agent's connections from 1.";
    case FrameType::kRefused:
      return "The agent refuses the opening exchange and closes the connection.";
    case FrameType::kRequest:
      if (f.method == "snipping_tool_agent.snipping.handshake")
        return "Right after the welcome the tool invokes the handshake. Its payload is not "
               "read. It must arrive within the handshake time-out counted from the launch.";
      if (f.method == "snipping_tool.snipping.shot")
        return "The agent's shot request, sent as soon as the handshake is answered. The tool "
               "answers it at once, before capturing.";
      if (f.method == "snipping_tool_agent.snipping.notify")
        return "The result, as a request of the tool's own: the image written at "
               "image_save_path, the tool's event code (1: captured and saved, in the "
               "reference tool's numbering), and the picture's position on the screen.";
      return "A request.";
    case FrameType::kReply:
      if (answered == "snipping_tool_agent.snipping.handshake")
        return "The agent answers the handshake with the empty text; the tool may now send "
               "anything.";
      if (answered == "snipping_tool.snipping.shot")
        return "The tool acknowledges the shot request at once. The agent does not read the "
               "text; the shot's outcome comes later as a request.";
      return "The agent acknowledges the result with the empty text and hands the result to "
             "the host's success callable: the shot is over. The next shot is a new request "
             "on this same connection.";
    case FrameType::kErrorReply:
      return "An error answer.";
  }
  return "";
}

std::string Fields(const Frame& f) {
  std::ostringstream out;
  auto text = [&](const char* name, const std::string& value) {
    if (value.empty())
      out << "- `" << name << "`: empty (0 bytes)\n";
    else
      out << "- `" << name << "` (" << value.size() << " bytes): `" << value << "`\n";
  };
  switch (f.type) {
    case FrameType::kHello:
      out << "- `version`: " << f.version << "\n";
      text("app_name", f.name);
      text("secret", f.secret);
      break;
    case FrameType::kWelcome:
      out << "- `version`: " << f.version << "\n- `app_id`: " << f.app_id
          << "\n- `protocol_tag`: " << f.protocol_tag << "\n- `connection_id`: "
          << f.connection_id << "\n";
      text("host_name", f.name);
      break;
    case FrameType::kRefused:
      out << "- `code`: " << f.code << "\n";
      text("reason", f.text);
      break;
    case FrameType::kRequest:
      out << "- `request_id`: " << f.id << "\n";
      text("method", f.method);
      text("payload", f.text);
      break;
    case FrameType::kReply:
      out << "- `request_id`: " << f.id << "\n";
      text("answer", f.text);
      break;
    case FrameType::kErrorReply:
      out << "- `request_id`: " << f.id << "\n- `code`: " << f.code << "\n";
      text("reason", f.text);
      break;
  }
  return out.str();
}

const char* TypeName(FrameType type) {
  switch (type) {
    case FrameType::kHello: return "hello";
    case FrameType::kWelcome: return "welcome";
    case FrameType::kRefused: return "refused";
    case FrameType::kRequest: return "request";
    case FrameType::kReply: return "reply";
    case FrameType::kErrorReply: return "error reply";
  }
  return "?";
}

}  // namespace

bool WriteSession(const std::string& file, const std::vector<std::string>& command_line,
                  const std::vector<RecordedFrame>& frames, const Placeholders& p,
                  std::string* error) {
  std::ostringstream out;
  out << "# A cold shot, frame by frame\n\n"
      << "<!-- Generated by tool_session_generator; do not edit. "
         "`scripts/dev.sh test` regenerates it and fails on a difference. -->\n\n"
      << "One real cold shot of the reference tool `" << p.tool_name
      << ".exe` taken through the agent library over real loopback sockets. A relay "
         "records it: the agent starts the relay as its tool, and the relay starts the "
         "reference tool with the agent's switches and environment, its own port in "
         "the place of the agent's, and forwards every byte both ways. Shown: the "
         "launch, every frame in both directions until the shot's result is "
         "acknowledged. The contract behind each step is in `docs/tool-guide.md`. "
         "Placeholders: `<secret>` for the one-time secret (64 hex digits), `<port>` for "
         "the agent's port, `<dir>` for the run's directory, `<tool-dir>` for the tool's. "
         "The byte dumps are encoded from the fields as shown, so their lengths are those "
         "of the placeholder texts.\n\n";

  out << "## Launch\n\nThe command line, one argument per line:\n\n```\n";
  for (size_t i = 0; i < command_line.size(); ++i) {
    std::string arg = command_line[i];
    if (i == 0)
      arg = "<tool-dir>/" + std::filesystem::u8path(arg).filename().u8string();
    if (arg == "--channel-port=" + p.port)
      arg = "--channel-port=<port>";
    out << Hide(arg, p) << "\n";
  }
  out << "```\n\nThe Base64 switches decoded:\n\n";
  for (const std::string& arg : command_line) {
    for (const char* name :
         {"--dui-config=", "--snipping-config=", "--snipping-features=", "--snipping-extras=",
          "--extension="}) {
      if (arg.rfind(name, 0) != 0)
        continue;
      std::string decoded;
      if (!reference_tool::Base64Decode(arg.substr(std::string(name).size()), &decoded))
        decoded = "(not Base64)";
      out << "- `" << std::string(name).substr(2, std::string(name).size() - 3) << "`: `"
          << Hide(decoded, p) << "`\n";
    }
  }
  out << "\nThe environment adds `QUILLO_IPC_PEER_SECRET=<secret>`.\n\n## Frames\n";

  // Methods of the requests still open, by direction and id.
  std::map<std::pair<bool, uint64_t>, std::string> open;
  int index = 0;
  for (const RecordedFrame& recorded : frames) {
    ++index;
    Frame shown = recorded.frame;
    shown.secret = Hide(shown.secret, p);
    shown.text = Hide(shown.text, p);
    std::string bytes;
    ipc_core::wire::AppendFrame(&bytes, shown);
    std::string answered;
    if (shown.type == FrameType::kRequest) {
      open[{recorded.from_tool, shown.id}] = shown.method;
    } else if (shown.type == FrameType::kReply || shown.type == FrameType::kErrorReply) {
      answered = open[{!recorded.from_tool, shown.id}];
    }
    out << "\n### " << index << ". " << (recorded.from_tool ? "tool → agent" : "agent → tool")
        << ": " << TypeName(shown.type);
    if (shown.type == FrameType::kRequest)
      out << " `" << shown.method << "`";
    out << "\n\n" << Meaning(recorded, answered) << "\n\n" << Fields(shown) << "\n```\n"
        << Hex(bytes) << "\n```\n";
    if (!recorded.from_tool && answered == "snipping_tool_agent.snipping.notify")
      break;
  }

  std::ofstream stream(std::filesystem::u8path(file), std::ios::binary | std::ios::trunc);
  stream << out.str();
  stream.close();
  if (!stream) {
    *error = "cannot write " + file;
    return false;
  }
  return true;
}

}  // namespace conformance
