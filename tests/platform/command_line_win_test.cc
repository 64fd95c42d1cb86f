// Quoted command lines read back through the system's own parser.
#include "platform/command_line.h"

#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace base {
namespace {

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

TEST(CommandLineWinTest, EveryShortArgumentRoundTripsThroughTheParser) {
  // All arguments of up to five characters over the characters that matter
  // to the parser, each between two others.
  const std::wstring alphabet = L"a \t\n\"\\";
  std::vector<std::wstring> level = {L""};
  for (int length = 0; length <= 5; ++length) {
    std::vector<std::wstring> next;
    for (const std::wstring& arg : level) {
      const std::wstring line = L"prog " + QuoteForWindowsCommandLine(arg) + L" tail";
      ASSERT_EQ(ParseWithSystem(line), (std::vector<std::wstring>{L"prog", arg, L"tail"}))
          << "[" << arg.c_str() << "]";
      for (const wchar_t c : alphabet)
        next.push_back(arg + c);
    }
    level = std::move(next);
  }
}

TEST(CommandLineWinTest, SwitchesAndAProgramWithBlanksReadBackAsArgv) {
  CommandLine command_line(FilePath(L"C:\\Program Files\\Quillo\\QuilloSnippingTool.exe"));
  command_line.AppendSwitchASCII("port", "50123");
  command_line.AppendSwitchASCII("empty", "");
  command_line.AppendSwitchNative("text", L"\u00e9t\u00e9 \u6f22\u5b57");
  command_line.AppendSwitchNative("unc", L"\\\\server\\share\\dir with blank\\");
  command_line.AppendSwitchPath("image_path", FilePath(L"C:\\Users\\Jo Do\\Pictures\\"));
  command_line.AppendSwitchASCII("config", "{\"a\":\"b c\",\"d\":\"\\\\\"}");
  EXPECT_EQ(ParseWithSystem(command_line.GetCommandLineString()), command_line.argv());
}

}  // namespace
}  // namespace base
