// Feeds arbitrary bytes to every payload reader, and checks that whatever a
// reader accepts is written in a form that reads back to the same record.
// The readers parse iteratively so that nesting costs no stack; the fuzzer
// also checks that this accepts exactly what the recursive parser accepts,
// and builds the same document.
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

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

// The recursive parser needs stack in proportion to the nesting; inputs up
// to this size cannot nest deep enough to exhaust the fuzzer's stack.
constexpr size_t kMaxRecursiveInput = 4096;

template <unsigned kFlags>
bool ParseAndWrite(const std::string& text, std::string* written) {
  rapidjson::Document document;
  document.Parse<kFlags>(text.c_str());
  if (document.HasParseError())
    return false;
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  document.Accept(writer);
  written->assign(buffer.GetString(), buffer.GetSize());
  return true;
}

void CompareParsers(const std::string& text) {
  if (text.size() > kMaxRecursiveInput)
    return;
  std::string recursive, iterative;
  const bool recursive_ok = ParseAndWrite<rapidjson::kParseDefaultFlags>(text, &recursive);
  const bool iterative_ok = ParseAndWrite<rapidjson::kParseIterativeFlag>(text, &iterative);
  if (recursive_ok != iterative_ok || recursive != iterative)
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
  CompareParsers(text);
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
