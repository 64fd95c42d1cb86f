#include "rendezvous.h"

#include <windows.h>

#include <aclapi.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/utf_string_conversions.h"
#include "tests/support/test_os.h"

namespace ipc_core {
namespace {

// Identities of this test process only, so that parallel runs do not meet.
std::string Identity(const char* name) {
  return std::string("{win-test-") + name + "-" + std::to_string(GetCurrentProcessId()) + "}";
}

std::unique_ptr<BYTE[]> CurrentUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    return nullptr;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::unique_ptr<BYTE[]> user(new BYTE[size]);
  const BOOL ok = GetTokenInformation(token, TokenUser, user.get(), size, &size);
  CloseHandle(token);
  return ok ? std::move(user) : nullptr;
}

TEST(RendezvousWinTest, RecordsLiveInTheUsersLocalAppData) {
  wchar_t local[MAX_PATH];
  ASSERT_GT(GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH), 0u);
  EXPECT_EQ(RendezvousDirectory(), base::SysWideToUTF8(local) + "\\Quillo\\ipc");
}

TEST(RendezvousWinTest, APublishedRecordReadsBackAndIsReplacedWhole) {
  const std::string identity = Identity("publish");
  std::string error;
  ASSERT_TRUE(PublishRendezvous(identity, RendezvousRecord{50123, 7, 9}, &error)) << error;
  RendezvousRecord record;
  ASSERT_TRUE(ReadRendezvous(identity, &record, &error)) << error;
  EXPECT_EQ(record.port, 50123);
  EXPECT_EQ(record.app_id, 7);
  EXPECT_EQ(record.protocol_tag, 9);

  ASSERT_TRUE(PublishRendezvous(identity, RendezvousRecord{6000, 1, 2}, &error)) << error;
  ASSERT_TRUE(ReadRendezvous(identity, &record, &error)) << error;
  EXPECT_EQ(record.port, 6000);
  RemoveRendezvous(identity, 6000);
}

TEST(RendezvousWinTest, RemovalLeavesARecordOfANewerHost) {
  const std::string identity = Identity("remove");
  std::string error;
  ASSERT_TRUE(PublishRendezvous(identity, RendezvousRecord{6001, 0, 0}, &error)) << error;
  // The host that published 6000 is gone; the record now names 6001.
  RemoveRendezvous(identity, 6000);
  RendezvousRecord record;
  ASSERT_TRUE(ReadRendezvous(identity, &record, &error)) << error;
  EXPECT_EQ(record.port, 6001);

  RemoveRendezvous(identity, 6001);
  EXPECT_FALSE(ReadRendezvous(identity, &record, &error));
  EXPECT_FALSE(error.empty());
}

// Wine keeps no security descriptors of its own on files: it derives them
// from the Unix owner and mode, whatever CreateDirectoryW was given.
TEST(RendezvousWinTest, TheDirectoryIsClosedToEveryoneButTheUser) {
  if (test_os::UnderEmulation())
    GTEST_SKIP() << "Wine does not keep the DACL a directory is created with";
  std::string error;
  ASSERT_TRUE(PublishRendezvous(Identity("acl"), RendezvousRecord{6002, 0, 0}, &error)) << error;
  RemoveRendezvous(Identity("acl"), 6002);

  const std::wstring directory = base::SysUTF8ToWide(RendezvousDirectory());
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(directory.c_str(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                  nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  std::unique_ptr<void, decltype(&LocalFree)> hold(descriptor, &LocalFree);
  std::unique_ptr<BYTE[]> user = CurrentUserSid();
  ASSERT_TRUE(user);
  PSID user_sid = reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid;
  ASSERT_NE(owner, nullptr);
  EXPECT_TRUE(EqualSid(owner, user_sid));

  // Protected: nothing is inherited from LOCALAPPDATA. One entry: the user.
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
  ASSERT_NE(dacl, nullptr);
  ASSERT_EQ(dacl->AceCount, 1);
  ACCESS_ALLOWED_ACE* ace = nullptr;
  ASSERT_TRUE(GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
  EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_TRUE(EqualSid(&ace->SidStart, user_sid));
}

}  // namespace
}  // namespace ipc_core
