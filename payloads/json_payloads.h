// The JSON texts exchanged with the snipping tool, and the records they
// carry.
//
// JsonStrToClass fills a record from a payload text: false when the text is
// not JSON (the record is then untouched); true otherwise, with every member
// whose key is present and whose value has an accepted type assigned, and
// every other member left as it was. JsonClassToStr writes a record as a
// compact JSON object, members in the record's binding order.
//
// The agent writes RequestSnippingShot, ResponseAISnippingShot and
// SelectUserWndHideSnippingShot and reads the rest; the snipping tool does
// the opposite, so every record converts in both directions.
#ifndef PAYLOADS_JSON_PAYLOADS_H_
#define PAYLOADS_JSON_PAYLOADS_H_

#include <string>

#include "snipping_tool/snipping_tool_payloads.h"

namespace snipping_tool {

// The analytics event of "snipping_tool_agent.snipping.bilog": {"key":"..."}.
struct BILogPayload {
  std::string key;
};

// The configuration text of "snipping_tool_agent.snipping.set_config":
// {"config_json":"..."}.
struct SetConfigPayload {
  std::string config_json;
};

// Records the agent reads.
bool JsonStrToClass(const std::string& text, NotifySnippingShot& record);
bool JsonStrToClass(const std::string& text, RequestAISnippingShot& record);
bool JsonStrToClass(const std::string& text, SelectUserWndSnippingShot& record);
bool JsonStrToClass(const std::string& text, BILogPayload& record);
bool JsonStrToClass(const std::string& text, SetConfigPayload& record);
// Records the agent writes, read by the snipping tool.
bool JsonStrToClass(const std::string& text, RequestSnippingShot& record);
bool JsonStrToClass(const std::string& text, ResponseAISnippingShot& record);
bool JsonStrToClass(const std::string& text, SelectUserWndHideSnippingShot& record);

// Records the agent writes.
std::string JsonClassToStr(const RequestSnippingShot& record);
std::string JsonClassToStr(const ResponseAISnippingShot& record);
std::string JsonClassToStr(const SelectUserWndHideSnippingShot& record);
// Records the agent reads, written by the snipping tool.
std::string JsonClassToStr(const NotifySnippingShot& record);
std::string JsonClassToStr(const RequestAISnippingShot& record);
std::string JsonClassToStr(const SelectUserWndSnippingShot& record);
std::string JsonClassToStr(const BILogPayload& record);
std::string JsonClassToStr(const SetConfigPayload& record);

}  // namespace snipping_tool

#endif  // PAYLOADS_JSON_PAYLOADS_H_
