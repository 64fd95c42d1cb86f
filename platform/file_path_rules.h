// The path rules of both platforms, as plain functions over any character
// type, so that the Windows rules are exercised where the code is developed.
// FilePath applies the rules of the platform it is built for.
//
// Windows: '\' and '/' both separate; a root is a drive ("C:", "C:\"), a
// leading separator ("\"), or a UNC share ("\\server\share"). POSIX: '/'
// separates; the root is the run of leading separators.
#ifndef PLATFORM_FILE_PATH_RULES_H_
#define PLATFORM_FILE_PATH_RULES_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace base {
namespace internal {

enum class PathStyle { kPosix, kWindows };

template <typename CharT>
bool IsPathSeparator(PathStyle style, CharT c);

// Length of the root at the start of |path|: 0 for a relative path.
// "C:\a" -> 3, "C:a" -> 2, "\\server\share\a" -> 14, "/a" -> 1.
template <typename CharT>
size_t PathRootLength(PathStyle style, std::basic_string_view<CharT> path);

// The directory holding |path|. Trailing separators are ignored ("a/b/" ->
// "a"); the parent of a root is the root; a single relative component has
// "." as its parent, and so does the empty path.
template <typename CharT>
std::basic_string<CharT> PathDirName(PathStyle style, std::basic_string_view<CharT> path);

// The last component, without trailing separators; a root is its own base
// name.
template <typename CharT>
std::basic_string<CharT> PathBaseName(PathStyle style, std::basic_string_view<CharT> path);

// |path| and |component| joined by |separator| unless |path| is empty or
// already ends in a separator; separators leading |component| are dropped
// so that the result never doubles one. An empty |component| leaves |path|.
template <typename CharT>
std::basic_string<CharT> PathAppend(PathStyle style, std::basic_string_view<CharT> path,
                                    std::basic_string_view<CharT> component, CharT separator);

#define PLATFORM_DECLARE_PATH_RULES(CharT)                                                       \
  extern template bool IsPathSeparator<CharT>(PathStyle, CharT);                                \
  extern template size_t PathRootLength<CharT>(PathStyle, std::basic_string_view<CharT>);       \
  extern template std::basic_string<CharT> PathDirName<CharT>(PathStyle,                        \
                                                              std::basic_string_view<CharT>);   \
  extern template std::basic_string<CharT> PathBaseName<CharT>(PathStyle,                       \
                                                               std::basic_string_view<CharT>);  \
  extern template std::basic_string<CharT> PathAppend<CharT>(                                   \
      PathStyle, std::basic_string_view<CharT>, std::basic_string_view<CharT>, CharT);
PLATFORM_DECLARE_PATH_RULES(char)
PLATFORM_DECLARE_PATH_RULES(wchar_t)
#undef PLATFORM_DECLARE_PATH_RULES

}  // namespace internal
}  // namespace base

#endif  // PLATFORM_FILE_PATH_RULES_H_
