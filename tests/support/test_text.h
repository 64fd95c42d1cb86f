// Text the tests write and read back: files, JSON string contents, Base64,
// and the reference tool's trace.
#ifndef TESTS_SUPPORT_TEST_TEXT_H_
#define TESTS_SUPPORT_TEST_TEXT_H_

#include <string>
#include <vector>

namespace test_support {

// |text| as the content of a JSON string literal (Windows paths carry
// backslashes).
std::string JsonEscape(const std::string& text);

// The whole content of the file |path| (UTF-8), "" when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes |content| to |path|, replacing what was there; false on failure.
bool WriteFile(const std::string& path, const std::string& content);

// Standard Base64 ('=' padded) decoded by a reading of the rules of its own,
// to check an encoder against; "<not base64>" for a foreign character.
std::string DecodeBase64(const std::string& text);

// The lines of the reference tool's trace file, each split into its fields
// (time, kind, name, text) with the trace's escapes (\\, \t, \n, \r) undone.
// Empty when the file cannot be read.
std::vector<std::vector<std::string>> ReadTrace(const std::string& path);

}  // namespace test_support

#endif  // TESTS_SUPPORT_TEST_TEXT_H_
