#include "platform/command_line.h"

namespace base {
namespace {

template <typename CharT>
std::basic_string<CharT> QuoteArgument(const std::basic_string<CharT>& arg) {
  static constexpr CharT kNeedsQuotes[] = {CharT(' '), CharT('\t'), CharT('\n'), CharT('\v'),
                                           CharT('"'), CharT(0)};
  if (!arg.empty() && arg.find_first_of(kNeedsQuotes) == std::basic_string<CharT>::npos)
    return arg;

  // The parser reads 2n backslashes before a quotation mark as n backslashes
  // and a delimiting mark, 2n+1 as n backslashes and a literal mark, and
  // backslashes anywhere else literally. So only runs that end at a mark, or
  // at the closing mark we add, are doubled.
  std::basic_string<CharT> quoted(1, CharT('"'));
  size_t backslashes = 0;
  for (const CharT c : arg) {
    if (c == CharT('\\')) {
      ++backslashes;
      continue;
    }
    if (c == CharT('"')) {
      quoted.append(2 * backslashes + 1, CharT('\\'));
    } else {
      quoted.append(backslashes, CharT('\\'));
    }
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(2 * backslashes, CharT('\\'));
  quoted.push_back(CharT('"'));
  return quoted;
}

// The parser takes the program name by a rule of its own: up to the first
// blank, or, when it opens with a quotation mark, up to the next one, with
// no backslash escapes. Windows file names cannot hold quotation marks, so
// quoting when needed is all there is to do.
template <typename CharT>
std::basic_string<CharT> QuoteProgram(const std::basic_string<CharT>& program) {
  static constexpr CharT kBlanks[] = {CharT(' '), CharT('\t'), CharT(0)};
  if (!program.empty() && program.find_first_of(kBlanks) == std::basic_string<CharT>::npos)
    return program;
  std::basic_string<CharT> quoted(1, CharT('"'));
  quoted.append(program);
  quoted.push_back(CharT('"'));
  return quoted;
}

}  // namespace

CommandLine::CommandLine(const FilePath& program) : program_(program) {
  argv_.push_back(program.value());
}

void CommandLine::AppendSwitchASCII(const std::string& name, const std::string& value) {
  AppendSwitchNative(name, FilePath::FromUTF8Unsafe(value).value());
}

void CommandLine::AppendSwitchPath(const std::string& name, const FilePath& path) {
  AppendSwitchNative(name, path.value());
}

void CommandLine::AppendSwitchNative(const std::string& name, const StringType& value) {
  StringType arg = FilePath::FromUTF8Unsafe("--" + name).value();
  if (!value.empty()) {
    arg.push_back(FilePath::CharType('='));
    arg.append(value);
  }
  argv_.push_back(std::move(arg));
}

CommandLine::StringType CommandLine::GetCommandLineString() const {
  StringType line = QuoteProgram(argv_.front());
  for (size_t i = 1; i < argv_.size(); ++i) {
    line.push_back(FilePath::CharType(' '));
    line.append(QuoteArgument(argv_[i]));
  }
  return line;
}

std::string QuoteForWindowsCommandLine(const std::string& arg) {
  return QuoteArgument(arg);
}

std::wstring QuoteForWindowsCommandLine(const std::wstring& arg) {
  return QuoteArgument(arg);
}

}  // namespace base
