// A file path in the platform's native string type: wide (UTF-16) on
// Windows, bytes (UTF-8 by convention) on POSIX. The path rules are the
// platform's: on Windows drive letters, '\' and '/' as separators and UNC
// roots; on POSIX '/'. DirName of a root is the root.
#ifndef PLATFORM_FILE_PATH_H_
#define PLATFORM_FILE_PATH_H_

#include <ostream>
#include <string>
#include <string_view>

#include "platform/file_path_rules.h"

namespace base {

class FilePath {
 public:
#if defined(_WIN32)
  using StringType = std::wstring;
  static constexpr internal::PathStyle kStyle = internal::PathStyle::kWindows;
#else
  using StringType = std::string;
  static constexpr internal::PathStyle kStyle = internal::PathStyle::kPosix;
#endif
  using CharType = StringType::value_type;

  // The preferred separator: '\' on Windows, '/' elsewhere.
  static const CharType kSeparator;

  FilePath() = default;
  explicit FilePath(StringType path) : path_(std::move(path)) {}

  const StringType& value() const { return path_; }
  bool empty() const { return path_.empty(); }
  void clear() { path_.clear(); }

  // The directory holding this path: "a/b/c" -> "a/b", "a" -> ".",
  // "/" -> "/", "C:\a" -> "C:\", "\\server\share\x" -> "\\server\share".
  FilePath DirName() const;
  // The last component: "a/b/c" -> "c".
  FilePath BaseName() const;
  // This path with |component| appended, a separator between them unless
  // this path is empty or already ends in one. Separators leading
  // |component| are dropped, so none is ever doubled.
  FilePath Append(const StringType& component) const;
  FilePath Append(const FilePath& component) const;

  // From and to UTF-8. "Unsafe" because nothing checks that the bytes are
  // valid UTF-8 (invalid sequences become U+FFFD on Windows).
  static FilePath FromUTF8Unsafe(std::string_view utf8);
  std::string AsUTF8Unsafe() const;

  bool operator==(const FilePath& other) const { return path_ == other.path_; }
  bool operator!=(const FilePath& other) const { return path_ != other.path_; }

  // Writes the path as UTF-8. A hidden friend, found only for FilePath
  // operands: an operator<< declared in namespace base would hide the
  // global wide-text inserters of logging.h from all code in base.
  friend std::ostream& operator<<(std::ostream& out, const FilePath& path) {
    return out << path.AsUTF8Unsafe();
  }

 private:
  StringType path_;
};

}  // namespace base

#endif  // PLATFORM_FILE_PATH_H_
