#include "platform/command_line.h"

#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace base {
namespace {

// What the system's own parser makes of |line|.
std::vector<std::wstring> ParseWithSystem(const std::wstring& line) {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(line.c_str(), &count);
  std::vector<std::wstring> args;
  if (argv) {
    args.assign(argv, argv + count);
    LocalFree(argv);
  }
  return args;
}

// Values whose quoting is easy to get wrong: blanks and tabs, quotation
// marks, backslashes before a mark, at the end and in the middle, and the
// empty text.
const std::vector<std::wstring>& AwkwardValues() {
  static const std::vector<std::wstring> values = {
      L"",
      L"plain",
      L"two words",
      L"tab\there",
      L"  leading and trailing  ",
      L"say \"hi\"",
      L"\"",
      L"\"\"",
      L"trailing\\",
      L"trailing two\\\\",
      L"C:\\Program Files\\",
      L"in\\ner\\\\path",
      L"\\\"",
      L"a\\\\\"b",
      L"quote at end\"",
      L"\\\\server\\share\\dir with blank\\",
      L"\u00e9t\u00e9 \u6f22\u5b57",
      L"new\nline",
  };
  return values;
}

TEST(CommandLineWinTest, EachQuotedArgumentReadsBackUnchanged) {
  for (const std::wstring& value : AwkwardValues()) {
    // The program name is parsed by a rule of its own; a plain one keeps
    // the test on the argument rules.
    const std::wstring line = L"prog.exe " + QuoteForWindowsCommandLine(value);
    const std::vector<std::wstring> args = ParseWithSystem(line);
    ASSERT_EQ(args.size(), 2u) << "line: " << line.c_str();
    EXPECT_EQ(args[1], value) << "line: " << line.c_str();
  }
}

TEST(CommandLineWinTest, AllValuesInOneLineReadBackInOrder) {
  std::wstring line = L"prog.exe";
  for (const std::wstring& value : AwkwardValues())
    line += L" " + QuoteForWindowsCommandLine(value);
  std::vector<std::wstring> args = ParseWithSystem(line);
  ASSERT_FALSE(args.empty());
  args.erase(args.begin());
  EXPECT_EQ(args, AwkwardValues());
}

TEST(CommandLineWinTest, SwitchesAndAProgramWithBlanksReadBackAsArgv) {
  CommandLine command_line(FilePath(L"C:\\Program Files\\Quillo\\QuilloSnippingTool.exe"));
  command_line.AppendSwitchASCII("port", "50123");
  command_line.AppendSwitchASCII("empty", "");
  for (size_t i = 0; i < AwkwardValues().size(); ++i)
    command_line.AppendSwitchNative("value" + std::to_string(i), AwkwardValues()[i]);
  command_line.AppendSwitchPath("image_path", FilePath(L"C:\\Users\\Jo Do\\Pictures\\"));
  command_line.AppendSwitchASCII("config", "{\"a\":\"b c\",\"d\":\"\\\\\"}");

  EXPECT_EQ(ParseWithSystem(command_line.GetCommandLineString()), command_line.argv());
}

TEST(CommandLineWinTest, AnEmptySwitchValueLeavesTheBareSwitch) {
  CommandLine command_line(FilePath(L"tool.exe"));
  command_line.AppendSwitchASCII("flag", "");
  const std::vector<std::wstring> args = ParseWithSystem(command_line.GetCommandLineString());
  ASSERT_EQ(args.size(), 2u);
  EXPECT_EQ(args[1], L"--flag");
}

}  // namespace
}  // namespace base
