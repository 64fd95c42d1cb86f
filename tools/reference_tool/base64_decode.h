// Strict Base64 decoding of the documents on the tool's command line.
#ifndef TOOLS_REFERENCE_TOOL_BASE64_DECODE_H_
#define TOOLS_REFERENCE_TOOL_BASE64_DECODE_H_

#include <string>
#include <string_view>

namespace reference_tool {

// Decodes RFC 4648 Base64 (standard alphabet, '=' padding to a multiple of
// four). Refuses anything else: white space, the URL-safe alphabet, missing
// or misplaced padding, and unused bits that are not zero, so that a value
// the agent mangled is caught rather than decoded into different bytes.
// An empty input decodes to an empty output.
bool Base64Decode(std::string_view input, std::string* output);

}  // namespace reference_tool

#endif  // TOOLS_REFERENCE_TOOL_BASE64_DECODE_H_
