// Text the end-to-end tests write for the reference tool and read back from
// it: JSON string contents, and the tool's trace.
#ifndef TESTS_SUPPORT_TEST_TEXT_H_
#define TESTS_SUPPORT_TEST_TEXT_H_

#include <string>
#include <vector>

namespace test_text {

// |text| as the content of a JSON string literal (Windows paths carry
// backslashes).
std::string JsonEscape(const std::string& text);

// The whole content of the file |path| (UTF-8), "" when it cannot be read.
std::string ReadFile(const std::string& path);

// The lines of the reference tool's trace file, each split into its fields
// (time, kind, name, text) with the trace's escapes (\\, \t, \n, \r) undone.
// Empty when the file cannot be read.
std::vector<std::vector<std::string>> ReadTrace(const std::string& path);

}  // namespace test_text

#endif  // TESTS_SUPPORT_TEST_TEXT_H_
