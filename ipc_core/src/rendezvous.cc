#include "rendezvous.h"

#include <cstdio>
#include <sstream>

namespace ipc_core {

std::string FormatRendezvous(const RendezvousRecord& record) {
  std::string text = std::to_string(record.port) + " " + std::to_string(record.app_id) + " " +
                     std::to_string(record.protocol_tag);
  if (record.host_pid > 0)
    text += " " + std::to_string(record.host_pid) + " " + std::to_string(record.host_start_time);
  return text + "\n";
}

bool ParseRendezvous(const std::string& text, RendezvousRecord* record) {
  std::istringstream in(text);
  RendezvousRecord parsed;
  if (!(in >> parsed.port >> parsed.app_id >> parsed.protocol_tag))
    return false;
  if (parsed.port <= 0 || parsed.port > 65535)
    return false;
  // The host's pid and start time are optional, but come as a pair.
  if (in >> parsed.host_pid) {
    if (parsed.host_pid <= 0 || !(in >> parsed.host_start_time))
      return false;
  }
  *record = parsed;
  return true;
}

std::string RendezvousFileName(const std::string& identity) {
  std::string name;
  for (unsigned char c : identity) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '_' || c == '{' || c == '}' || (c == '.' && !name.empty());
    if (keep) {
      name.push_back(static_cast<char>(c));
    } else {
      char hex[4];
      std::snprintf(hex, sizeof(hex), "%%%02X", c);
      name += hex;
    }
  }
  return name;
}

}  // namespace ipc_core
