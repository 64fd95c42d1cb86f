#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace base {
namespace {

// The Windows argument parser (CommandLineToArgvW), as documented:
// - the program name runs to the first blank or tab; when it opens with a
//   quotation mark, to the next quotation mark, backslashes taken literally;
// - elsewhere blanks and tabs outside quotation marks separate arguments;
// - 2n backslashes before a quotation mark give n backslashes, and the mark
//   opens or closes a quoted part; 2n+1 give n backslashes and a literal
//   mark; backslashes before anything else are literal.
std::vector<std::string> ParseLikeWindows(const std::string& line) {
  std::vector<std::string> args;
  size_t pos = 0;
  std::string program;
  if (!line.empty() && line[0] == '"') {
    const size_t close = line.find('"', 1);
    program = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    pos = close == std::string::npos ? line.size() : close + 1;
  } else {
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t')
      program.push_back(line[pos++]);
  }
  args.push_back(program);

  std::string arg;
  bool in_arg = false;
  bool in_quotes = false;
  size_t backslashes = 0;
  for (; pos < line.size(); ++pos) {
    const char c = line[pos];
    if (c == '\\') {
      ++backslashes;
      in_arg = true;
      continue;
    }
    if (c == '"') {
      arg.append(backslashes / 2, '\\');
      if (backslashes % 2)
        arg.push_back('"');
      else
        in_quotes = !in_quotes;
      backslashes = 0;
      in_arg = true;
      continue;
    }
    arg.append(backslashes, '\\');
    backslashes = 0;
    if ((c == ' ' || c == '\t') && !in_quotes) {
      if (in_arg)
        args.push_back(arg);
      arg.clear();
      in_arg = false;
      continue;
    }
    arg.push_back(c);
    in_arg = true;
  }
  arg.append(backslashes, '\\');
  if (in_arg)
    args.push_back(arg);
  return args;
}

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

TEST(CommandLineQuotingTest, EveryShortArgumentRoundTripsThroughTheParser) {
  // All arguments of up to five characters over the characters that matter
  // to the parser.
  const std::string alphabet = "a \t\n\"\\";
  std::vector<std::string> level = {""};
  size_t checked = 0;
  for (int length = 0; length <= 5; ++length) {
    std::vector<std::string> next;
    for (const std::string& arg : level) {
      const std::string line = "prog " + QuoteForWindowsCommandLine(arg) + " tail";
      const std::vector<std::string> expected = {"prog", arg, "tail"};
      ASSERT_EQ(ParseLikeWindows(line), expected) << "[" << arg << "] as [" << line << "]";
      ++checked;
      for (char c : alphabet)
        next.push_back(arg + c);
    }
    level = std::move(next);
  }
  EXPECT_EQ(checked, 1u + 6u + 36u + 216u + 1296u + 7776u);
}

// The native strings of the command line as UTF-8, so that the
// expectations read the same on both platforms.
std::string UTF8(const CommandLine::StringType& native) {
  return FilePath(native).AsUTF8Unsafe();
}

std::vector<std::string> ArgvUTF8(const CommandLine& command_line) {
  std::vector<std::string> argv;
  for (const CommandLine::StringType& arg : command_line.argv())
    argv.push_back(UTF8(arg));
  return argv;
}

TEST(CommandLineTest, SwitchesKeepTheirOrderAndForm) {
  CommandLine command_line(FilePath::FromUTF8Unsafe("/opt/tool/QuilloSnippingTool.exe"));
  command_line.AppendSwitchASCII("channel-port", "5123");
  command_line.AppendSwitchASCII("env", "");
  command_line.AppendSwitchPath("log-file", FilePath::FromUTF8Unsafe("/var/log/a b.log"));
  command_line.AppendSwitchASCII("version", "1.2.3");
  command_line.AppendSwitchNative("raw", FilePath::FromUTF8Unsafe("x=y").value());
  const std::vector<std::string> expected = {
      "/opt/tool/QuilloSnippingTool.exe", "--channel-port=5123", "--env",
      "--log-file=/var/log/a b.log",      "--version=1.2.3",     "--raw=x=y",
  };
  EXPECT_EQ(ArgvUTF8(command_line), expected);
  EXPECT_EQ(command_line.GetProgram().AsUTF8Unsafe(), "/opt/tool/QuilloSnippingTool.exe");
  EXPECT_EQ(UTF8(command_line.GetCommandLineString()),
            "/opt/tool/QuilloSnippingTool.exe --channel-port=5123 --env "
            "\"--log-file=/var/log/a b.log\" --version=1.2.3 --raw=x=y");
}

TEST(CommandLineTest, CommandLineStringParsesBackToArgv) {
  CommandLine command_line(
      FilePath::FromUTF8Unsafe("C:\\Program Files\\Quillo\\VizudeDezo.exe"));
  command_line.AppendSwitchASCII("a", "");
  command_line.AppendSwitchASCII("b", "has \"quotes\" and \\\"escapes\\");
  command_line.AppendSwitchASCII("c", "tab\there");
  command_line.AppendSwitchPath("app_data_path", FilePath::FromUTF8Unsafe("C:\\Users\\u v\\"));
  command_line.AppendSwitchASCII("d", "\xE4\xB8\xAD\xE6\x96\x87");
  const std::string line = UTF8(command_line.GetCommandLineString());
  EXPECT_EQ(line.rfind("\"C:\\Program Files\\Quillo\\VizudeDezo.exe\" ", 0), 0u) << line;
  EXPECT_EQ(ParseLikeWindows(line), ArgvUTF8(command_line)) << line;
}

}  // namespace
}  // namespace base
