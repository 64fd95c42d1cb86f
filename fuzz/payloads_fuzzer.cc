// Feeds arbitrary bytes to every payload reader, and checks that whatever a
// reader accepts is written in a form that reads back to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "payloads/json_payloads.h"
#include "platform/logging.h"

namespace {

template <typename Record>
void ReadAndRoundTrip(const std::string& text) {
  Record record;
  if (!snipping_tool::JsonStrToClass(text, record))
    return;
  const std::string written = snipping_tool::JsonClassToStr(record);
  Record again;
  if (!snipping_tool::JsonStrToClass(written, again))
    abort();
  if (snipping_tool::JsonClassToStr(again) != written)
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Refusals are logged; the log would drown the fuzzer's own output.
  static const bool quiet = [] {
    logging::SetMinLogLevel(logging::LOG_ERROR + 1);
    return true;
  }();
  (void)quiet;
  const std::string text(reinterpret_cast<const char*>(data), size);
  ReadAndRoundTrip<snipping_tool::NotifySnippingShot>(text);
  ReadAndRoundTrip<snipping_tool::RequestAISnippingShot>(text);
  ReadAndRoundTrip<snipping_tool::SelectUserWndSnippingShot>(text);
  ReadAndRoundTrip<snipping_tool::BILogPayload>(text);
  ReadAndRoundTrip<snipping_tool::SetConfigPayload>(text);
  ReadAndRoundTrip<snipping_tool::RequestSnippingShot>(text);
  ReadAndRoundTrip<snipping_tool::ResponseAISnippingShot>(text);
  ReadAndRoundTrip<snipping_tool::SelectUserWndHideSnippingShot>(text);
  return 0;
}
