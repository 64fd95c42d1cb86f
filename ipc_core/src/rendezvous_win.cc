// Windows only. Records live under %LOCALAPPDATA%\Quillo\ipc, in directories
// created with a protected DACL that grants the current user alone any
// access; files created there inherit it. A directory found there that
// belongs to someone else, or that is a link to elsewhere, is refused rather
// than trusted.
#include "rendezvous.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <memory>

namespace ipc_core {
namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty())
    return std::wstring();
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
  return wide;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty())
    return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size,
                      nullptr, nullptr);
  return utf8;
}

std::string ErrorText(const char* what, const std::wstring& path) {
  return std::string(what) + " " + Utf8(path) + ": error " + std::to_string(GetLastError());
}

struct LocalFreeDeleter {
  void operator()(void* p) const { LocalFree(p); }
};

// The SID of the user this process runs as, as an owned copy.
std::unique_ptr<BYTE[]> CurrentUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    return nullptr;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::unique_ptr<BYTE[]> user(new BYTE[size ? size : 1]);
  const bool ok = size && GetTokenInformation(token, TokenUser, user.get(), size, &size);
  CloseHandle(token);
  if (!ok)
    return nullptr;
  PSID sid = reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid;
  const DWORD length = GetLengthSid(sid);
  std::unique_ptr<BYTE[]> copy(new BYTE[length]);
  if (!CopySid(length, copy.get(), sid))
    return nullptr;
  return copy;
}

// "Protected" keeps the parent's entries (LOCALAPPDATA is readable by the
// administrators and the system) from being inherited into ours.
std::unique_ptr<void, LocalFreeDeleter> PrivateSecurityDescriptor(PSID user) {
  wchar_t* sid_text = nullptr;
  if (!ConvertSidToStringSidW(user, &sid_text))
    return nullptr;
  const std::wstring sddl = std::wstring(L"O:") + sid_text + L"D:P(A;OICI;FA;;;" + sid_text + L")";
  LocalFree(sid_text);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return nullptr;
  }
  return std::unique_ptr<void, LocalFreeDeleter>(descriptor);
}

// A directory we may use: a real directory, not a junction or link, owned by
// the current user.
bool CheckPrivateDirectory(const std::wstring& path, std::string* error) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    *error = ErrorText("cannot stat", path);
    return false;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    *error = Utf8(path) + " is not a directory";
    return false;
  }
  std::unique_ptr<BYTE[]> user = CurrentUserSid();
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!user || GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                     &owner, nullptr, nullptr, nullptr,
                                     &descriptor) != ERROR_SUCCESS) {
    *error = ErrorText("cannot read the owner of", path);
    return false;
  }
  const bool ours = owner && EqualSid(owner, user.get());
  LocalFree(descriptor);
  if (!ours) {
    *error = Utf8(path) + " does not belong to this user";
    return false;
  }
  return true;
}

bool CreatePrivateDirectory(const std::wstring& path, std::string* error) {
  std::unique_ptr<BYTE[]> user = CurrentUserSid();
  std::unique_ptr<void, LocalFreeDeleter> descriptor;
  if (user)
    descriptor = PrivateSecurityDescriptor(user.get());
  if (!descriptor) {
    *error = ErrorText("cannot build the security of", path);
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
  if (!CreateDirectoryW(path.c_str(), &attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
    *error = ErrorText("cannot create", path);
    return false;
  }
  return CheckPrivateDirectory(path, error);
}

std::wstring DirectoryW() {
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH);
  std::wstring base;
  if (length > 0 && length < MAX_PATH) {
    base = buffer;
  } else {
    const DWORD temp_length = GetTempPathW(MAX_PATH, buffer);
    base = std::wstring(buffer, temp_length);
    if (!base.empty() && (base.back() == L'\\' || base.back() == L'/'))
      base.pop_back();
  }
  return base + L"\\Quillo\\ipc";
}

bool PrepareDirectory(std::wstring* dir, std::string* error) {
  *dir = DirectoryW();
  const std::wstring parent = dir->substr(0, dir->rfind(L'\\'));
  return CreatePrivateDirectory(parent, error) && CreatePrivateDirectory(*dir, error);
}

bool ReadRecordFile(const std::wstring& path, RendezvousRecord* record, std::string* error) {
  // OPEN_REPARSE_POINT: a link planted in place of the record is read as the
  // link, which does not parse, instead of being followed.
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = ErrorText("cannot open", path);
    return false;
  }
  char text[128];
  DWORD size = 0;
  const BOOL read = ReadFile(file, text, sizeof(text) - 1, &size, nullptr);
  if (!read)
    *error = ErrorText("cannot read", path);
  CloseHandle(file);
  if (!read)
    return false;
  if (!ParseRendezvous(std::string(text, size), record)) {
    *error = Utf8(path) + " does not hold a port";
    return false;
  }
  return true;
}

}  // namespace

std::string RendezvousDirectory() {
  return Utf8(DirectoryW());
}

bool PublishRendezvous(const std::string& identity, const RendezvousRecord& record,
                       std::string* error) {
  std::wstring dir;
  if (!PrepareDirectory(&dir, error))
    return false;
  static std::atomic<unsigned> counter{0};
  const std::wstring path = dir + L"\\" + Wide(RendezvousFileName(identity));
  const std::wstring temp = dir + L"\\.tmp-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(counter.fetch_add(1));
  // No security attributes: the file inherits the directory's private DACL.
  HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = ErrorText("cannot create", temp);
    return false;
  }
  const std::string text = FormatRendezvous(record);
  DWORD written = 0;
  bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size();
  if (!ok)
    *error = ErrorText("cannot write", temp);
  CloseHandle(file);
  // MoveFileEx replaces the old record in one step: a reader sees the old
  // port or the new one, never a half-written file.
  if (ok && !MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *error = ErrorText("cannot rename to", path);
    ok = false;
  }
  if (!ok)
    DeleteFileW(temp.c_str());
  return ok;
}

bool ReadRendezvous(const std::string& identity, RendezvousRecord* record, std::string* error) {
  const std::wstring dir = DirectoryW();
  if (!CheckPrivateDirectory(dir, error))
    return false;
  return ReadRecordFile(dir + L"\\" + Wide(RendezvousFileName(identity)), record, error);
}

void RemoveRendezvous(const std::string& identity, int32_t port) {
  const std::wstring dir = DirectoryW();
  const std::wstring path = dir + L"\\" + Wide(RendezvousFileName(identity));
  std::string error;
  RendezvousRecord record;
  if (CheckPrivateDirectory(dir, &error) && ReadRecordFile(path, &record, &error) &&
      record.port == port) {
    DeleteFileW(path.c_str());
  }
}

}  // namespace ipc_core
