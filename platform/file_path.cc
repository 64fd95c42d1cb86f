#include "platform/file_path.h"

#include <type_traits>

#include "platform/utf_string_conversions.h"

namespace base {
namespace internal {
namespace {

template <typename CharT>
using View = std::basic_string_view<CharT>;

template <typename CharT>
bool IsAsciiLetter(CharT c) {
  return (c >= CharT('a') && c <= CharT('z')) || (c >= CharT('A') && c <= CharT('Z'));
}

template <typename CharT>
size_t SkipSeparators(PathStyle style, View<CharT> path, size_t pos) {
  while (pos < path.size() && IsPathSeparator(style, path[pos]))
    ++pos;
  return pos;
}

template <typename CharT>
size_t SkipComponent(PathStyle style, View<CharT> path, size_t pos) {
  while (pos < path.size() && !IsPathSeparator(style, path[pos]))
    ++pos;
  return pos;
}

template <typename CharT>
View<CharT> StripTrailingSeparators(PathStyle style, View<CharT> path) {
  while (!path.empty() && IsPathSeparator(style, path.back()))
    path.remove_suffix(1);
  return path;
}

template <typename CharT>
size_t FindLastSeparator(PathStyle style, View<CharT> path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsPathSeparator(style, path[i - 1]))
      return i - 1;
  }
  return View<CharT>::npos;
}

template <typename CharT>
size_t WindowsRootLength(View<CharT> path) {
  constexpr PathStyle kWin = PathStyle::kWindows;
  if (path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == CharT(':'))
    return SkipSeparators(kWin, path, 2);
  if (path.empty() || !IsPathSeparator(kWin, path[0]))
    return 0;
  // Exactly two separators and a name open a UNC root; the root runs to the
  // end of the share name, so that "\\server\share" stays whole as the
  // parent of everything below it.
  if (path.size() > 2 && IsPathSeparator(kWin, path[1]) && !IsPathSeparator(kWin, path[2])) {
    const size_t server_end = SkipComponent(kWin, path, 2);
    const size_t share_begin = SkipSeparators(kWin, path, server_end);
    if (share_begin == path.size())
      return server_end;
    return SkipComponent(kWin, path, share_begin);
  }
  return SkipSeparators(kWin, path, 0);
}

}  // namespace

template <typename CharT>
bool IsPathSeparator(PathStyle style, CharT c) {
  return c == CharT('/') || (style == PathStyle::kWindows && c == CharT('\\'));
}

template <typename CharT>
size_t PathRootLength(PathStyle style, View<CharT> path) {
  if (style == PathStyle::kWindows)
    return WindowsRootLength(path);
  return SkipSeparators(style, path, 0);
}

template <typename CharT>
std::basic_string<CharT> PathDirName(PathStyle style, View<CharT> path) {
  const std::basic_string<CharT> kCurrentDirectory(1, CharT('.'));
  const size_t root_length = PathRootLength(style, path);
  const View<CharT> root = path.substr(0, root_length);
  const View<CharT> rest = StripTrailingSeparators(style, path.substr(root_length));
  const size_t last = FindLastSeparator(style, rest);
  if (rest.empty() || last == View<CharT>::npos)
    return root.empty() ? kCurrentDirectory : std::basic_string<CharT>(root);
  std::basic_string<CharT> parent(root);
  parent.append(StripTrailingSeparators(style, rest.substr(0, last)));
  return parent;
}

template <typename CharT>
std::basic_string<CharT> PathBaseName(PathStyle style, View<CharT> path) {
  const size_t root_length = PathRootLength(style, path);
  const View<CharT> rest = StripTrailingSeparators(style, path.substr(root_length));
  if (rest.empty())
    return std::basic_string<CharT>(path.substr(0, root_length));
  const size_t last = FindLastSeparator(style, rest);
  return std::basic_string<CharT>(last == View<CharT>::npos ? rest : rest.substr(last + 1));
}

template <typename CharT>
std::basic_string<CharT> PathAppend(PathStyle style, View<CharT> path, View<CharT> component,
                                    CharT separator) {
  component.remove_prefix(SkipSeparators(style, component, 0));
  std::basic_string<CharT> joined(path);
  if (component.empty())
    return joined;
  if (!joined.empty() && !IsPathSeparator(style, joined.back()))
    joined.push_back(separator);
  joined.append(component);
  return joined;
}

#define PLATFORM_DEFINE_PATH_RULES(CharT)                                                      \
  template bool IsPathSeparator<CharT>(PathStyle, CharT);                                     \
  template size_t PathRootLength<CharT>(PathStyle, View<CharT>);                              \
  template std::basic_string<CharT> PathDirName<CharT>(PathStyle, View<CharT>);               \
  template std::basic_string<CharT> PathBaseName<CharT>(PathStyle, View<CharT>);              \
  template std::basic_string<CharT> PathAppend<CharT>(PathStyle, View<CharT>, View<CharT>, CharT);
PLATFORM_DEFINE_PATH_RULES(char)
PLATFORM_DEFINE_PATH_RULES(wchar_t)
#undef PLATFORM_DEFINE_PATH_RULES

}  // namespace internal

const FilePath::CharType FilePath::kSeparator =
    FilePath::kStyle == internal::PathStyle::kWindows ? '\\' : '/';

FilePath FilePath::DirName() const {
  return FilePath(internal::PathDirName<CharType>(kStyle, path_));
}

FilePath FilePath::BaseName() const {
  return FilePath(internal::PathBaseName<CharType>(kStyle, path_));
}

FilePath FilePath::Append(const StringType& component) const {
  return FilePath(internal::PathAppend<CharType>(kStyle, path_, component, kSeparator));
}

FilePath FilePath::Append(const FilePath& component) const {
  return Append(component.value());
}

namespace {

// The native string is either UTF-8 already (POSIX) or wide (Windows); the
// choice is made by the type, at compile time.
template <typename StringT>
StringT NativeFromUTF8(std::string_view utf8) {
  if constexpr (std::is_same_v<StringT, std::string>)
    return StringT(utf8);
  else
    return SysUTF8ToWide(utf8);
}

template <typename StringT>
std::string NativeToUTF8(const StringT& native) {
  if constexpr (std::is_same_v<StringT, std::string>)
    return native;
  else
    return SysWideToUTF8(native);
}

}  // namespace

FilePath FilePath::FromUTF8Unsafe(std::string_view utf8) {
  return FilePath(NativeFromUTF8<StringType>(utf8));
}

std::string FilePath::AsUTF8Unsafe() const {
  return NativeToUTF8(path_);
}

}  // namespace base
