// POSIX only. Records live in a directory that must belong to the current
// user and be closed to everyone else; anything else found there is refused
// rather than trusted, since another local user could have planted it.
#include "rendezvous.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

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

bool PrepareDirectory(std::string* dir, std::string* error) {
  *dir = RendezvousDirectory();
  if (mkdir(dir->c_str(), 0700) != 0 && errno != EEXIST) {
    *error = ErrnoText("cannot create", *dir);
    return false;
  }
  return CheckPrivateDirectory(*dir, error);
}

bool ReadRecordFile(const std::string& path, RendezvousRecord* record, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
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
  return "/tmp/quillo-ipc-" + std::to_string(getuid());
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
  std::string text = FormatRendezvous(record);
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
  if (!CheckPrivateDirectory(dir, error))
    return false;
  return ReadRecordFile(dir + "/" + RendezvousFileName(identity), record, error);
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
