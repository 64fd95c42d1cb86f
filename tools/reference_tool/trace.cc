#include "tools/reference_tool/trace.h"

#include "tools/reference_tool/os.h"

namespace reference_tool {

std::string EscapeTraceField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (char c : field) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

Trace::Trace() : start_(std::chrono::steady_clock::now()) {}

Trace::~Trace() {
  if (file_)
    std::fclose(file_);
}

bool Trace::Open(const std::string& utf8_path) {
  std::lock_guard<std::mutex> lock(lock_);
  if (file_)
    std::fclose(file_);
  file_ = OpenFileUtf8(utf8_path, "ab");
  return file_ != nullptr;
}

void Trace::Write(std::string_view kind, std::string_view name, std::string_view text) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start_);
  std::string line = std::to_string(elapsed.count());
  line += '\t';
  line += EscapeTraceField(kind);
  line += '\t';
  line += EscapeTraceField(name);
  line += '\t';
  line += EscapeTraceField(text);
  line += '\n';
  std::lock_guard<std::mutex> lock(lock_);
  if (!file_)
    return;
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

}  // namespace reference_tool
