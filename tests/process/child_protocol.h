// What the process tests and their child program agree on.
#ifndef TESTS_PROCESS_CHILD_PROTOCOL_H_
#define TESTS_PROCESS_CHILD_PROTOCOL_H_

#include <string>

namespace test_child {

inline constexpr char kActionsVariable[] = "TEST_CHILD_ACTIONS";
inline constexpr char kActionsFileSuffix[] = ".actions";

inline constexpr int kBadActionExitCode = 90;
inline constexpr int kLaunchFailedExitCode = 91;

// Report records: a kind letter, the length of the text, a blank, the text
// and a newline, so that any byte, newlines included, survives.
inline constexpr char kArgRecord = 'A';
inline constexpr char kEnvRecord = 'E';
inline constexpr char kFdRecord = 'F';

inline void AppendRecord(std::string* report, char kind, const std::string& text) {
  report->push_back(kind);
  report->append(std::to_string(text.size()));
  report->push_back(' ');
  report->append(text);
  report->push_back('\n');
}

}  // namespace test_child

#endif  // TESTS_PROCESS_CHILD_PROTOCOL_H_
