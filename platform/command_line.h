// A program and its switches, kept in the order they were appended.
//
// A switch is "--name=value", or "--name" alone when the value is empty.
// argv() is what POSIX launching hands to execv; GetCommandLineString() is
// the single string a Windows process is created with, each argument quoted
// by the rules of the Windows argument parser (CommandLineToArgvW), so that
// the parser reads back exactly the program and the switches.
#ifndef PLATFORM_COMMAND_LINE_H_
#define PLATFORM_COMMAND_LINE_H_

#include <string>
#include <vector>

#include "platform/file_path.h"

namespace base {

class CommandLine {
 public:
  using StringType = FilePath::StringType;
  using StringVector = std::vector<StringType>;

  explicit CommandLine(const FilePath& program);

  const FilePath& GetProgram() const { return program_; }

  // |value| is narrow ASCII (UTF-8 is passed through unchanged).
  void AppendSwitchASCII(const std::string& name, const std::string& value);
  void AppendSwitchPath(const std::string& name, const FilePath& path);
  void AppendSwitchNative(const std::string& name, const StringType& value);

  // The program, then every switch, unquoted.
  const StringVector& argv() const { return argv_; }

  // argv() joined with blanks, each argument quoted where the Windows parser
  // needs it (blanks, tabs, quotation marks, empty arguments). The program
  // follows the parser's own rule for it: in quotation marks when it holds
  // a blank or a tab, with no escapes, as the parser reads it literally.
  StringType GetCommandLineString() const;

 private:
  FilePath program_;
  StringVector argv_;
};

// Quotes one argument for the Windows argument parser: unchanged when it
// holds no blank, tab, newline or quotation mark and is not empty; otherwise
// in quotation marks, with each quotation mark and each run of backslashes
// before a quotation mark (or before the closing mark) escaped.
std::string QuoteForWindowsCommandLine(const std::string& arg);
std::wstring QuoteForWindowsCommandLine(const std::wstring& arg);

}  // namespace base

#endif  // PLATFORM_COMMAND_LINE_H_
