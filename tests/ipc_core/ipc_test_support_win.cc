// Windows only: the child process of the test helpers.
#include <windows.h>

#include <algorithm>
#include <cwchar>

#include "ipc_test_support.h"
#include "platform/command_line.h"
#include "platform/utf_string_conversions.h"

namespace ipc_test {
namespace {

// The parent's environment without the secret variable, plus |secret| when
// not empty, sorted by name as the system expects.
std::vector<wchar_t> EnvironmentBlock(const std::string& secret) {
  const std::wstring name = base::SysUTF8ToWide(ipc_core::kPeerSecretEnvironmentVariable) + L"=";
  std::vector<std::wstring> entries;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* e = block; *e; e += wcslen(e) + 1) {
      if (_wcsnicmp(e, name.c_str(), name.size()) != 0)
        entries.emplace_back(e);
    }
    FreeEnvironmentStringsW(block);
  }
  if (!secret.empty())
    entries.push_back(name + base::SysUTF8ToWide(secret));
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

  const std::wstring program = base::SysUTF8ToWide(IPC_CORE_ECHO_PEER);
  std::wstring line = base::QuoteForWindowsCommandLine(program);
  for (const std::string& a : args)
    line += L" " + base::QuoteForWindowsCommandLine(base::SysUTF8ToWide(a));
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

}  // namespace ipc_test
