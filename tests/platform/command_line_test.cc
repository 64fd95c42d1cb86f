#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace base {
namespace {

// What the Windows parser needs; command_line_win_test.cc reads the quoted
// text back through the parser itself.
TEST(CommandLineQuotingTest, QuotesOnlyWhatTheParserNeeds) {
  struct Case {
    const char* arg;
    const char* quoted;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"--a=b", "--a=b"},
      {"C:\\dir\\file", "C:\\dir\\file"},  // backslashes alone stay as they are
      {"trailing\\", "trailing\\"},
      {"", "\"\""},
      {"a b", "\"a b\""},
      {"a\tb", "\"a\tb\""},
      {"a\nb", "\"a\nb\""},
      {"a\"b", "\"a\\\"b\""},
      {"a\\\"b", "\"a\\\\\\\"b\""},      // a backslash before a quotation mark doubles
      {"a b\\", "\"a b\\\\\""},          // a run before the closing mark doubles
      {"a\\\\b c", "\"a\\\\b c\""},      // inner runs do not
      {"C:\\Program Files\\", "\"C:\\Program Files\\\\\""},
      {"\"", "\"\\\"\""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(QuoteForWindowsCommandLine(std::string(c.arg)), c.quoted) << c.arg;
  EXPECT_EQ(QuoteForWindowsCommandLine(std::wstring(L"a \"b\\")), L"\"a \\\"b\\\\\"");
}

TEST(CommandLineTest, SwitchesKeepTheirOrderAndForm) {
  CommandLine command_line(FilePath::FromUTF8Unsafe("/opt/tool/QuilloSnippingTool.exe"));
  command_line.AppendSwitchASCII("channel-port", "5123");
  command_line.AppendSwitchASCII("env", "");
  command_line.AppendSwitchPath("log-file", FilePath::FromUTF8Unsafe("/var/log/a b.log"));
  command_line.AppendSwitchASCII("version", "1.2.3");
  command_line.AppendSwitchNative("raw", FilePath::FromUTF8Unsafe("x=y").value());
  EXPECT_EQ(command_line.GetProgram().AsUTF8Unsafe(), "/opt/tool/QuilloSnippingTool.exe");
  // Each argument whole, in order: one with a blank is quoted.
  EXPECT_EQ(FilePath(command_line.GetCommandLineString()).AsUTF8Unsafe(),
            "/opt/tool/QuilloSnippingTool.exe --channel-port=5123 --env "
            "\"--log-file=/var/log/a b.log\" --version=1.2.3 --raw=x=y");
}

}  // namespace
}  // namespace base
