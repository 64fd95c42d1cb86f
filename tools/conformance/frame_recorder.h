// A recording proxy for the IPC wire protocol: it listens on loopback,
// forwards every connection to the real listener and keeps every frame that
// crosses it, in both directions, decoded.
#ifndef TOOLS_CONFORMANCE_FRAME_RECORDER_H_
#define TOOLS_CONFORMANCE_FRAME_RECORDER_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "wire_format.h"

namespace conformance {

struct RecordedFrame {
  bool from_tool = false;  // tool -> agent, else agent -> tool
  int connection = 0;      // 1 for the first connection through the proxy
  ipc_core::wire::Frame frame;
};

class FrameRecorder {
 public:
  FrameRecorder();
  ~FrameRecorder();

  // Listens on 127.0.0.1 (a port the OS picks) and forwards each accepted
  // connection to 127.0.0.1:|upstream_port|. False when it cannot listen.
  bool Start(int upstream_port, std::string* error);
  int port() const;
  // Closes the listener and every connection through it.
  void CloseAll();

  std::vector<RecordedFrame> Frames() const;
  // Lines noting streams that were not valid frames.
  std::vector<std::string> Problems() const;

  // "tool -> agent  request #1 snipping_tool_agent.snipping.handshake {}".
  static std::string Describe(const RecordedFrame& frame);

  // Shared with the proxy's threads.
  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace conformance

#endif  // TOOLS_CONFORMANCE_FRAME_RECORDER_H_
