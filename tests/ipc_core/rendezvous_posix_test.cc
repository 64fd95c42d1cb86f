// The identity rendezvous: where the port is published, with which
// permissions, and what a reader refuses.
#include "rendezvous.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "gtest/gtest.h"
#include "ipc_test_support.h"
#include "tests/support/test_os.h"
#include "tests/support/test_text.h"

namespace ipc_test {
namespace {

using test_support::ReadFile;

// Every test of this binary publishes into a private directory of its own,
// set before any thread starts. A plain array: the removal at exit must not
// depend on a static string that may already be destroyed by then.
char g_runtime_dir[] = "/tmp/ipc_core_test_XXXXXX";

const std::string& PrivateRuntimeDir() {
  static const std::string dir = [] {
    std::string made = mkdtemp(g_runtime_dir) ? g_runtime_dir : "";
    setenv("XDG_RUNTIME_DIR", made.c_str(), 1);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(g_runtime_dir, ignored);
    });
    return made;
  }();
  return dir;
}
const bool kRuntimeDirSet = !PrivateRuntimeDir().empty();

constexpr char kIdentity[] = "{71D0A9C3-4E2B-4B85-8F16-C2A7D93E0B54}";

std::string RecordPath(const std::string& identity) {
  return ipc_core::RendezvousDirectory() + "/" + ipc_core::RendezvousFileName(identity);
}

// What a host of this process publishes: its port, the two integers the
// test hosts use, and this process's pid and start time.
std::string RecordText(int32_t port) {
  ipc_core::RendezvousRecord parsed;
  std::string text = ReadFile(RecordPath(kIdentity));
  if (!ipc_core::ParseRendezvous(text, &parsed) || parsed.host_start_time == 0)
    return "unparsable or without a start time: " + text;
  return std::to_string(port) + " 7 9 " + std::to_string(getpid()) + " " +
         std::to_string(parsed.host_start_time) + "\n";
}

void WritePrivate(const std::string& path, const std::string& text) {
  test_support::WriteFile(path, text);
  chmod(path.c_str(), 0600);
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

class RendezvousTest : public RuntimeTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kRuntimeDirSet);
    RuntimeTest::SetUp();
  }
};

// A host's Stop removes its own record, and leaves one a newer host wrote;
// without a record a tool finds nothing.
TEST_F(RendezvousTest, RecordIsPrivateAndLeadsAToolToTheHostUntilItStops) {
  EXPECT_EQ(PrivateRuntimeDir() + "/quillo-ipc", ipc_core::RendezvousDirectory());
  TestHost t = TestHost::Start(kIdentity);
  const std::string path = RecordPath(kIdentity);
  EXPECT_EQ(0600u, ModeOf(path));
  EXPECT_EQ(0700u, ModeOf(ipc_core::RendezvousDirectory()));
  EXPECT_EQ(RecordText(t.port), ReadFile(path));
  TestClient tool = TestClient::Create();
  ASSERT_TRUE(tool.client->ConnectByIdentity(kIdentity, t.secret.c_str()));
  EXPECT_TRUE(tool.observer->WaitFor("connected"));

  TestHost newer = TestHost::Start(kIdentity);
  t.StopAndWait();
  EXPECT_EQ(RecordText(newer.port), ReadFile(path));
  newer.StopAndWait();
  EXPECT_FALSE(Exists(path));
  EXPECT_FALSE(TestClient::Create().client->ConnectByIdentity(kIdentity, "x"));
  EXPECT_FALSE(TestClient::Create().client->ConnectByIdentity("", "x"));
  EXPECT_TRUE(log_.WaitForLine("no service host found under " + std::string(kIdentity)));
}

TEST_F(RendezvousTest, ADirectoryOthersCanEnterIsRefused) {
  const std::string dir = ipc_core::RendezvousDirectory();
  TestHost warm = TestHost::Start(kIdentity);  // makes sure the directory exists
  warm.StopAndWait();
  ASSERT_EQ(0, chmod(dir.c_str(), 0755));
  TestHost t = TestHost::Start(kIdentity);
  EXPECT_TRUE(log_.WaitForLine("not published"));
  EXPECT_FALSE(Exists(RecordPath(kIdentity)));
  ipc_core::RendezvousRecord record;
  std::string error;
  EXPECT_FALSE(ipc_core::ReadRendezvous(kIdentity, &record, &error));
  EXPECT_NE(std::string::npos, error.find("not a directory private to this user"));
  ASSERT_EQ(0, chmod(dir.c_str(), 0700));
  t.StopAndWait();
}

TEST_F(RendezvousTest, ARecordOthersCouldHaveWrittenIsRefused) {
  std::string error;
  ASSERT_TRUE(ipc_core::PublishRendezvous("planted", {4242, 0, 0}, &error)) << error;
  const std::string path = RecordPath("planted");
  ipc_core::RendezvousRecord record;
  ASSERT_TRUE(ipc_core::ReadRendezvous("planted", &record, &error)) << error;
  EXPECT_EQ(4242, record.port);
  ASSERT_EQ(0, chmod(path.c_str(), 0644));
  EXPECT_FALSE(ipc_core::ReadRendezvous("planted", &record, &error));
  // A link, even to a good record, is not followed.
  ASSERT_EQ(0, chmod(path.c_str(), 0600));
  const std::string link = RecordPath("link");
  ASSERT_EQ(0, symlink(path.c_str(), link.c_str()));
  EXPECT_FALSE(ipc_core::ReadRendezvous("link", &record, &error));
  unlink(link.c_str());
  unlink(path.c_str());
}

// Without a usable XDG_RUNTIME_DIR the records go to ~/.cache/quillo-ipc,
// which no other user can create first; a directory squatted in /tmp (where
// they once went) changes nothing.
TEST_F(RendezvousTest, WithoutARuntimeDirTheRecordsLiveInTheHomeDirectory) {
  char home_template[] = "/tmp/ipc_core_home_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(home_template));
  const std::string home = home_template;
  test_os::ScopedEnv home_env("HOME", home);
  ASSERT_EQ(0, chmod(PrivateRuntimeDir().c_str(), 0750));
  EXPECT_EQ(home + "/.cache/quillo-ipc", ipc_core::RendezvousDirectory());
  ASSERT_EQ(0, chmod(PrivateRuntimeDir().c_str(), 0700));

  unsetenv("XDG_RUNTIME_DIR");
  const std::string squatted = "/tmp/quillo-ipc-" + std::to_string(getuid());
  const bool made = mkdir(squatted.c_str(), 0777) == 0;
  if (made) {
    chmod(squatted.c_str(), 0777);
    if (getuid() == 0) {
      EXPECT_EQ(0, chown(squatted.c_str(), 65534, 65534));  // another user's, when we can
    }
  }
  TestHost t = TestHost::Start(kIdentity);
  EXPECT_EQ(0700u, ModeOf(home + "/.cache/quillo-ipc"));
  EXPECT_TRUE(Exists(home + "/.cache/quillo-ipc/" + ipc_core::RendezvousFileName(kIdentity)));
  TestClient tool = TestClient::Create();
  ASSERT_TRUE(tool.client->ConnectByIdentity(kIdentity, t.secret.c_str()));
  EXPECT_TRUE(tool.observer->WaitFor("connected"));
  t.StopAndWait();
  if (made)
    rmdir(squatted.c_str());
  setenv("XDG_RUNTIME_DIR", PrivateRuntimeDir().c_str(), 1);
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
}

// What a reader refuses at once instead of waiting on it: a FIFO in the
// record's place (opening one for reading would block until a writer came,
// and the host reads its record again when it stops), and a record whose
// host has ended. A record of an older host, without pid and start time,
// is still read.
TEST_F(RendezvousTest, AFifoOrARecordOfAHostThatIsGoneIsRefusedWithoutWaiting) {
  ipc_core::RendezvousRecord record;
  std::string error;
  TestHost t = TestHost::Start(kIdentity);
  const std::string path = RecordPath(kIdentity);
  ASSERT_EQ(0, unlink(path.c_str()));
  ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
  EXPECT_FALSE(ipc_core::ReadRendezvous(kIdentity, &record, &error));
  EXPECT_NE(std::string::npos, error.find("not a file private to this user")) << error;
  t.StopAndWait();  // returns: the FIFO is refused, not opened and waited on
  EXPECT_TRUE(Exists(path)) << "what is not the host's own record stays";
  unlink(path.c_str());

  pid_t child = fork();
  if (child == 0)
    _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(child, waitpid(child, nullptr, 0));
  const std::string gone = RecordPath("gone");
  WritePrivate(gone, "4242 7 9 " + std::to_string(child) + " 100\n");
  EXPECT_FALSE(ipc_core::ReadRendezvous("gone", &record, &error));
  EXPECT_NE(std::string::npos, error.find("host that is gone")) << error;
  // A live pid that started at another time is a reused pid.
  WritePrivate(gone, "4242 7 9 " + std::to_string(getpid()) + " 1\n");
  EXPECT_FALSE(ipc_core::ReadRendezvous("gone", &record, &error));
  WritePrivate(gone, "4242 7 9\n");
  ASSERT_TRUE(ipc_core::ReadRendezvous("gone", &record, &error)) << error;
  EXPECT_EQ(4242, record.port);
  unlink(gone.c_str());
}

TEST(RendezvousFormatTest, FileNamesCannotEscapeTheDirectory) {
  EXPECT_EQ("{71D0A9C3-4E2B}", ipc_core::RendezvousFileName("{71D0A9C3-4E2B}"));
  EXPECT_EQ("a.b%2F..%2Fc", ipc_core::RendezvousFileName("a.b/../c"));
  EXPECT_EQ("%2E.", ipc_core::RendezvousFileName(".."));
  EXPECT_EQ("%20%C3%A9", ipc_core::RendezvousFileName(" \xC3\xA9"));
  EXPECT_EQ("", ipc_core::RendezvousFileName(""));
}

TEST(RendezvousFormatTest, RecordTextRoundTripsAndRejectsNonsense) {
  ipc_core::RendezvousRecord record{51234, 66666, 56805};
  record.host_pid = 321;
  record.host_start_time = 987654;
  ipc_core::RendezvousRecord parsed;
  ASSERT_TRUE(ipc_core::ParseRendezvous(ipc_core::FormatRendezvous(record), &parsed));
  EXPECT_EQ(51234, parsed.port);
  EXPECT_EQ(66666, parsed.app_id);
  EXPECT_EQ(56805, parsed.protocol_tag);
  EXPECT_EQ(321, parsed.host_pid);
  EXPECT_EQ(987654u, parsed.host_start_time);
  for (const char* bad : {"", "x y z", "0 1 2", "70000 1 2", "-5 1 2", "80", "80 1 2 17",
                          "80 1 2 -3 5"})
    EXPECT_FALSE(ipc_core::ParseRendezvous(bad, &parsed)) << bad;
}

}  // namespace
}  // namespace ipc_test
