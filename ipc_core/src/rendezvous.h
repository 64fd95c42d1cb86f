// Where a service host publishes its port under its identity string, so a
// tool started without the port can still find it. The record lives in a
// place only the current user can read or write.
#ifndef IPC_CORE_SRC_RENDEZVOUS_H_
#define IPC_CORE_SRC_RENDEZVOUS_H_

#include <cstdint>
#include <string>

namespace ipc_core {

struct RendezvousRecord {
  int32_t port = 0;
  int32_t app_id = 0;
  int32_t protocol_tag = 0;
  // The publishing process and when it started, in the system's own units
  // (POSIX: clock ticks since boot, from /proc/<pid>/stat), so a reader can
  // tell a record whose host is gone, even if its pid was reused. 0 when
  // not known; a record without them is taken as live.
  int64_t host_pid = 0;
  uint64_t host_start_time = 0;
};

// The record's text form: "<port> <app_id> <protocol_tag>\n", or with the
// host's pid and start time as two more fields when known. Readers that
// know only the first three fields ignore the rest of the line.
std::string FormatRendezvous(const RendezvousRecord& record);
bool ParseRendezvous(const std::string& text, RendezvousRecord* record);
// The identity as a file name: letters, digits, '-', '_', '.', '{' and '}'
// are kept, every other byte becomes %XX; empty for an empty identity.
std::string RendezvousFileName(const std::string& identity);

// OS-specific (rendezvous_<os>.cc). Each returns false with |error| set.
// Replaces any record under |identity| atomically.
bool PublishRendezvous(const std::string& identity, const RendezvousRecord& record,
                       std::string* error);
bool ReadRendezvous(const std::string& identity, RendezvousRecord* record, std::string* error);
// Removes the record only while it still names |port|: a newer host with the
// same identity may have replaced it.
void RemoveRendezvous(const std::string& identity, int32_t port);
// The directory holding the records (for tests and logs).
std::string RendezvousDirectory();

}  // namespace ipc_core

#endif  // IPC_CORE_SRC_RENDEZVOUS_H_
