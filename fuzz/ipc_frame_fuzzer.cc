// Feeds arbitrary bytes to the IPC frame decoder, in chunks whose sizes come
// from the input itself, and checks what a decoder must guarantee whatever
// it is given: it never buffers more than one frame beyond the last chunk,
// an error is final, and every frame it returns encodes back to bytes that
// decode to the same frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "wire_format.h"

namespace {

using ipc_core::wire::Frame;
using ipc_core::wire::FrameDecoder;

void Check(bool condition) {
  if (!condition)
    std::abort();
}

bool SameFrame(const Frame& a, const Frame& b) {
  return a.type == b.type && a.version == b.version && a.app_id == b.app_id &&
         a.protocol_tag == b.protocol_tag && a.connection_id == b.connection_id &&
         a.code == b.code && a.id == b.id && a.name == b.name && a.secret == b.secret &&
         a.method == b.method && a.text == b.text;
}

void CheckRoundTrip(const Frame& frame) {
  std::string bytes;
  ipc_core::wire::AppendFrame(&bytes, frame);
  FrameDecoder again;
  again.Append(bytes.data(), bytes.size());
  Frame decoded;
  Check(again.Next(&decoded) == FrameDecoder::Result::kFrame);
  Check(SameFrame(frame, decoded));
  Check(again.buffered() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  // The first byte picks the chunk size, so frames split at every place.
  size_t chunk = 1 + data[0] % 64;
  data += 1;
  size -= 1;
  FrameDecoder decoder;
  bool failed = false;
  for (size_t at = 0; at < size; at += chunk) {
    size_t n = size - at < chunk ? size - at : chunk;
    decoder.Append(data + at, n);
    for (;;) {
      Frame frame;
      FrameDecoder::Result result = decoder.Next(&frame);
      if (result == FrameDecoder::Result::kNeedMore) {
        Check(!failed);
        break;
      }
      if (result == FrameDecoder::Result::kError) {
        Check(!decoder.error().empty());
        Check(decoder.buffered() == 0);
        failed = true;
        break;
      }
      Check(!failed);
      CheckRoundTrip(frame);
    }
    Check(decoder.buffered() <= ipc_core::wire::kHeaderSize + ipc_core::wire::kMaxBodyLength + chunk);
  }
  return 0;
}
