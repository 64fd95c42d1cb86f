// The frames of the IPC wire protocol (docs/ipc-protocol.md): their encoding
// and a pure, incremental decoder. Nothing here touches a socket, so the
// decoder can be tested and fuzzed on plain bytes.
#ifndef IPC_CORE_SRC_WIRE_FORMAT_H_
#define IPC_CORE_SRC_WIRE_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace ipc_core {
namespace wire {

// "IQ" read as a little-endian uint16: the first two bytes of every frame.
constexpr uint16_t kFrameMagic = 0x5149;
constexpr size_t kHeaderSize = 8;
// Largest body accepted. Checked as soon as a header is complete, so a peer
// announcing more is refused before any of the body is buffered.
constexpr uint32_t kMaxBodyLength = 4u * 1024 * 1024;
// Bounds of the text fields that are names rather than payloads.
constexpr uint32_t kMaxNameLength = 256;
constexpr uint32_t kMaxMethodLength = 1024;
constexpr uint32_t kProtocolVersion = 1;
// Largest body accepted before the opening exchange is done, in either
// direction. The largest valid hello is 4 + (4 + 256) + (4 + 256) = 524
// bytes; a welcome or a refusal is smaller. An unauthenticated peer can
// therefore make a connection buffer no more than one such frame.
constexpr uint32_t kMaxOpeningBodyLength = 576;

enum class FrameType : uint8_t {
  kHello = 1,
  kWelcome = 2,
  kRefused = 3,
  kRequest = 4,
  kReply = 5,
  kErrorReply = 6,
};

// One decoded frame. Which fields carry meaning depends on |type|:
//   kHello:      version, name (app name), secret
//   kWelcome:    version, app_id, protocol_tag, connection_id, name (host name)
//   kRefused:    code, text (reason)
//   kRequest:    id, method, text (payload)
//   kReply:      id, text (answer)
//   kErrorReply: id, code, text (reason)
struct Frame {
  FrameType type = FrameType::kHello;
  uint32_t version = 0;
  int32_t app_id = 0;
  int32_t protocol_tag = 0;
  uint32_t connection_id = 0;
  int32_t code = 0;
  uint64_t id = 0;
  std::string name;
  std::string secret;
  std::string method;
  std::string text;
};

// Encoders append one whole frame (header and body) to |out|.
void AppendHello(std::string* out, uint32_t version, std::string_view app_name,
                 std::string_view secret);
void AppendWelcome(std::string* out, uint32_t version, int32_t app_id, int32_t protocol_tag,
                   uint32_t connection_id, std::string_view host_name);
void AppendRefused(std::string* out, int32_t code, std::string_view reason);
void AppendRequest(std::string* out, uint64_t id, std::string_view method,
                   std::string_view payload);
void AppendReply(std::string* out, uint64_t id, std::string_view text);
void AppendErrorReply(std::string* out, uint64_t id, int32_t code, std::string_view reason);
// Encodes any frame from its fields (used by tests and the fuzzer's round trip).
void AppendFrame(std::string* out, const Frame& frame);

// Turns a byte stream into frames. Feed it with Append and drain it with Next
// until it asks for more. After an error it stays failed: the stream has lost
// its framing and the only safe reaction is to drop the connection. It buffers
// at most one incomplete frame beyond what was last appended.
class FrameDecoder {
 public:
  enum class Result { kFrame, kNeedMore, kError };

  void Append(const void* data, size_t size);
  // Room for |size| more bytes at the end of what is buffered, for a read
  // straight into the decoder; Commit then takes the |size| bytes (at most
  // what was prepared) that the read brought. Valid until the next call.
  char* Prepare(size_t size);
  void Commit(size_t size);
  Result Next(Frame* frame);
  // The largest body length the decoder accepts from now on (at most
  // kMaxBodyLength, which is also the default).
  void set_max_body_length(uint32_t length) { max_body_length_ = length; }

  // Why the last Next returned kError.
  const std::string& error() const { return error_; }
  // Bytes received but not yet returned as frames; non-zero at the end of a
  // stream means the peer stopped in the middle of a frame.
  size_t buffered() const { return size_ - offset_; }
  // Bytes still missing from the frame whose header has arrived; 0 when no
  // header is complete (or the frame is).
  size_t missing() const;

 private:
  Result Fail(std::string why);

  // Bytes [offset_, size_) are received and not yet decoded; the space up to
  // capacity_ is what Prepare hands out.
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  size_t size_ = 0;
  size_t offset_ = 0;
  uint32_t max_body_length_ = kMaxBodyLength;
  bool failed_ = false;
  std::string error_;
};

}  // namespace wire
}  // namespace ipc_core

#endif  // IPC_CORE_SRC_WIRE_FORMAT_H_
