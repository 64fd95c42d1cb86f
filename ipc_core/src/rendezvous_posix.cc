// POSIX only. Records live in a directory that must belong to the current
// user and be closed to everyone else; anything else found there is refused
// rather than trusted, since another local user could have planted it.
#include "rendezvous.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace ipc_core {
namespace {

std::string ErrnoText(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

// A directory we may use: a real directory (not a link), ours, and with no
// access for group or others.
bool CheckPrivateDirectory(const std::string& path, std::string* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    *error = ErrnoText("cannot stat", path);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 077) != 0) {
    *error = path + " is not a directory private to this user";
    return false;
  }
  return true;
}

// The user's home directory: $HOME when it is an absolute path, otherwise
// the user's entry in the password database.
std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/')
    return home;
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return std::string();
}

// When |pid| started, in clock ticks since boot (field 22 of
// /proc/<pid>/stat); 0 when that cannot be read.
uint64_t ProcessStartTime(int64_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name (field 2) is in parentheses and may hold blanks and
  // parentheses itself: count fields from the last ')'.
  size_t close = text.rfind(')');
  if (close == std::string::npos)
    return 0;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  for (int i = 3; i <= 22; ++i) {
    if (!(fields >> field))
      return 0;
  }
  return std::strtoull(field.c_str(), nullptr, 10);
}

// False when the record names a host process that no longer runs (or whose
// pid now belongs to a process started at another time).
bool HostStillRuns(const RendezvousRecord& record) {
  if (record.host_pid <= 0)
    return true;  // a record of an older host: nothing to check
  if (kill(static_cast<pid_t>(record.host_pid), 0) != 0 && errno == ESRCH)
    return false;
  if (record.host_start_time == 0 || ProcessStartTime(getpid()) == 0)
    return true;  // no start times on this system: the pid is all there is
  return ProcessStartTime(record.host_pid) == record.host_start_time;
}

bool PrepareDirectory(std::string* dir, std::string* error) {
  *dir = RendezvousDirectory();
  if (dir->empty()) {
    *error = "no runtime directory and no home directory";
    return false;
  }
  // The fallback lives in ~/.cache, which a fresh account may not have yet.
  size_t slash = dir->rfind('/');
  if (slash != 0 && slash != std::string::npos) {
    std::string parent = dir->substr(0, slash);
    if (mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = ErrnoText("cannot create", parent);
      return false;
    }
  }
  if (mkdir(dir->c_str(), 0700) != 0 && errno != EEXIST) {
    *error = ErrnoText("cannot create", *dir);
    return false;
  }
  return CheckPrivateDirectory(*dir, error);
}

bool ReadRecordFile(const std::string& path, RendezvousRecord* record, std::string* error) {
  // O_NONBLOCK: a FIFO planted in the record's place must be refused, not
  // waited on (opening one for reading blocks until a writer comes).
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText("cannot open", path);
    return false;
  }
  struct stat st;
  char text[128];
  ssize_t size = -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid() &&
      (st.st_mode & 077) == 0) {
    size = read(fd, text, sizeof(text) - 1);
  } else {
    *error = path + " is not a file private to this user";
  }
  close(fd);
  if (size < 0) {
    if (error->empty())
      *error = ErrnoText("cannot read", path);
    return false;
  }
  if (!ParseRendezvous(std::string(text, static_cast<size_t>(size)), record)) {
    *error = path + " does not hold a port";
    return false;
  }
  return true;
}

}  // namespace

std::string RendezvousDirectory() {
  const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
  std::string unused;
  if (runtime_dir && runtime_dir[0] == '/' && CheckPrivateDirectory(runtime_dir, &unused))
    return std::string(runtime_dir) + "/quillo-ipc";
  // Not under /tmp: there another user could create the directory first and
  // keep the host from publishing. Nobody else can create entries in the
  // user's home directory.
  std::string home = HomeDirectory();
  if (home.empty())
    return std::string();
  if (home.size() > 1 && home.back() == '/')
    home.pop_back();
  return (home == "/" ? std::string() : home) + "/.cache/quillo-ipc";
}

bool PublishRendezvous(const std::string& identity, const RendezvousRecord& record,
                       std::string* error) {
  std::string dir;
  if (!PrepareDirectory(&dir, error))
    return false;
  static std::atomic<unsigned> counter{0};
  std::string path = dir + "/" + RendezvousFileName(identity);
  std::string temp = dir + "/.tmp-" + std::to_string(getpid()) + "-" +
                     std::to_string(counter.fetch_add(1));
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = ErrnoText("cannot create", temp);
    return false;
  }
  RendezvousRecord stamped = record;
  stamped.host_pid = getpid();
  stamped.host_start_time = ProcessStartTime(getpid());
  std::string text = FormatRendezvous(stamped);
  bool ok = fchmod(fd, 0600) == 0 &&
            write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (!ok)
    *error = ErrnoText("cannot write", temp);
  if (close(fd) != 0 && ok) {
    *error = ErrnoText("cannot write", temp);
    ok = false;
  }
  // rename() replaces the old record in one step: a reader sees the old port
  // or the new one, never a half-written file.
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    *error = ErrnoText("cannot rename to", path);
    ok = false;
  }
  if (!ok)
    unlink(temp.c_str());
  return ok;
}

bool ReadRendezvous(const std::string& identity, RendezvousRecord* record, std::string* error) {
  std::string dir = RendezvousDirectory();
  if (dir.empty()) {
    *error = "no runtime directory and no home directory";
    return false;
  }
  if (!CheckPrivateDirectory(dir, error))
    return false;
  std::string path = dir + "/" + RendezvousFileName(identity);
  RendezvousRecord found;
  if (!ReadRecordFile(path, &found, error))
    return false;
  if (!HostStillRuns(found)) {
    *error = path + " names a host that is gone (process " + std::to_string(found.host_pid) + ")";
    return false;
  }
  *record = found;
  return true;
}

void RemoveRendezvous(const std::string& identity, int32_t port) {
  std::string dir = RendezvousDirectory();
  std::string error;
  RendezvousRecord record;
  std::string path = dir + "/" + RendezvousFileName(identity);
  if (CheckPrivateDirectory(dir, &error) && ReadRecordFile(path, &record, &error) &&
      record.port == port) {
    unlink(path.c_str());
  }
}

}  // namespace ipc_core
