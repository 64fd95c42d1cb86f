#include "tests/support/test_text.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace test_support {
namespace {

// Undoes the trace's escapes of one field.
std::string UnescapeTraceField(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    char c = field[i];
    if (c == '\\' && i + 1 < field.size()) {
      c = field[++i];
      c = c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    out += c;
  }
  return out;
}

}  // namespace

std::string JsonEscape(const std::string& text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
  // The writer's string literal, without its quotation marks.
  return std::string(buffer.GetString() + 1, buffer.GetSize() - 2);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

std::string DecodeBase64(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '=')
      break;
    const size_t index = kAlphabet.find(c);
    if (index == std::string::npos)
      return "<not base64>";
    bits = (bits << 6) | static_cast<uint32_t>(index);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

std::vector<std::vector<std::string>> ReadTrace(const std::string& path) {
  std::vector<std::vector<std::string>> lines;
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
      fields.push_back(UnescapeTraceField(line.substr(start, tab - start)));
    fields.push_back(UnescapeTraceField(line.substr(start)));
    lines.push_back(std::move(fields));
  }
  return lines;
}

}  // namespace test_support
