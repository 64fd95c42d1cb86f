// Windows only: the child process and the thread count of the test helpers.
#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>

#include "ipc_test_support.h"

namespace ipc_test {
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

// One argument quoted for the system's argument parser: backslashes are
// literal except in a run that ends at a quotation mark, where they must be
// doubled.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos)
    return arg;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(2 * backslashes, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

// The parent's environment without the secret variable, plus |secret| when
// not empty, sorted by name as the system expects.
std::vector<wchar_t> EnvironmentBlock(const std::string& secret) {
  const std::wstring name = Wide(ipc_core::kPeerSecretEnvironmentVariable) + L"=";
  std::vector<std::wstring> entries;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* e = block; *e; e += wcslen(e) + 1) {
      if (_wcsnicmp(e, name.c_str(), name.size()) != 0)
        entries.emplace_back(e);
    }
    FreeEnvironmentStringsW(block);
  }
  if (!secret.empty())
    entries.push_back(name + Wide(secret));
  std::sort(entries.begin(), entries.end(),
            [](const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; });
  std::vector<wchar_t> result;
  for (const std::wstring& e : entries)
    result.insert(result.end(), e.c_str(), e.c_str() + e.size() + 1);
  result.push_back(L'\0');
  return result;
}

}  // namespace

// The child's process HANDLE and the read end of its output pipe are kept in
// the int fields of the portable class: a HANDLE value fits 32 bits on every
// Windows (kernel handles are guaranteed to).
PeerProcess::PeerProcess(const std::vector<std::string>& args, const std::string& secret_env) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0))
    return;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  const std::wstring program = Wide(IPC_CORE_ECHO_PEER);
  std::wstring line = Quote(program);
  for (const std::string& a : args)
    line += L" " + Quote(Wide(a));
  std::vector<wchar_t> environment = EnvironmentBlock(secret_env);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  PROCESS_INFORMATION info = {};
  if (CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                     CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr, &startup, &info)) {
    CloseHandle(info.hThread);
    pid_ = static_cast<int>(reinterpret_cast<intptr_t>(info.hProcess));
  }
  CloseHandle(write_end);
  out_fd_ = static_cast<int>(reinterpret_cast<intptr_t>(read_end));
}

PeerProcess::~PeerProcess() {
  HANDLE process = reinterpret_cast<HANDLE>(static_cast<intptr_t>(pid_));
  if (pid_ > 0) {
    if (!exited_) {
      TerminateProcess(process, 1);
      WaitForSingleObject(process, static_cast<DWORD>(kWait.count()));
    }
    CloseHandle(process);
  }
  if (out_fd_ > 0)
    CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(out_fd_)));
}

int PeerProcess::WaitExit(std::chrono::milliseconds limit) {
  if (pid_ <= 0)
    return -1;
  HANDLE process = reinterpret_cast<HANDLE>(static_cast<intptr_t>(pid_));
  if (!exited_) {
    if (WaitForSingleObject(process, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0)
      return -1;
    DWORD code = 0;
    exit_code_ = GetExitCodeProcess(process, &code) ? static_cast<int>(code) : -1;
    exited_ = true;
  }
  return exit_code_;
}

std::string PeerProcess::Output() {
  HANDLE pipe = reinterpret_cast<HANDLE>(static_cast<intptr_t>(out_fd_));
  while (out_fd_ > 0) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0)
      break;
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof(buffer)), &got, nullptr) ||
        got == 0) {
      break;
    }
    output_.append(buffer, got);
  }
  // The child's C runtime writes its text-mode stdout with CRLF line ends;
  // the tests look for LF lines. A CR and its LF may arrive in two reads,
  // so the whole text is scanned each time.
  for (size_t cr = output_.find("\r\n"); cr != std::string::npos; cr = output_.find("\r\n", cr))
    output_.erase(cr, 1);
  return output_;
}

bool PeerProcess::WaitForOutput(const std::string& needle) {
  return WaitUntil([&] { return Output().find(needle) != std::string::npos; });
}

int ThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return 0;
  const DWORD self = GetCurrentProcessId();
  int count = 0;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self)
      ++count;
  }
  CloseHandle(snapshot);
  return count;
}

}  // namespace ipc_test
