#include "tests/support/test_os.h"

#include <windows.h>
// clang-format off: these need windows.h first.
#include <tlhelp32.h>
#include <winternl.h>
// clang-format on

#include <cstdio>
#include <memory>
#include <utility>

#include "platform/command_line.h"
#include "platform/utf_string_conversions.h"

namespace test_os {
namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

bool Valid(const ScopedHandle& handle) {
  return handle && handle.get() != INVALID_HANDLE_VALUE;
}

// Waits for the end of |pid| for at most |bound|; a process that cannot be
// opened no longer exists.
bool WaitForEnd(int pid, DWORD bound_ms) {
  if (pid <= 0)
    return true;
  ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
  if (!Valid(process))
    return GetLastError() == ERROR_INVALID_PARAMETER;
  return WaitForSingleObject(process.get(), bound_ms) == WAIT_OBJECT_0;
}

// Reads the environment block of another process from its process
// parameters. The offsets are those of the 64-bit layout of the process
// environment block and of its process parameters.
std::wstring EnvironmentBlockOf(HANDLE process) {
  using QueryInformationProcess = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<QueryInformationProcess>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  PROCESS_BASIC_INFORMATION basic = {};
  if (!query || query(process, ProcessBasicInformation, &basic, sizeof(basic), nullptr) != 0)
    return std::wstring();
  constexpr size_t kParametersInPeb = 0x20;
  constexpr size_t kEnvironmentInParameters = 0x80;
  const char* peb = static_cast<const char*>(static_cast<void*>(basic.PebBaseAddress));
  const char* parameters = nullptr;
  const wchar_t* environment = nullptr;
  if (!ReadProcessMemory(process, peb + kParametersInPeb, &parameters, sizeof(parameters), nullptr) ||
      !ReadProcessMemory(process, parameters + kEnvironmentInParameters, &environment, sizeof(environment),
                         nullptr)) {
    return std::wstring();
  }
  // Read in pieces that never cross a page, up to the block's final empty
  // entry.
  std::wstring block;
  const char* at = reinterpret_cast<const char*>(environment);
  constexpr size_t kPage = 4096;
  while (block.size() < (1u << 20)) {
    const size_t to_page_end = kPage - (reinterpret_cast<uintptr_t>(at) % kPage);
    std::wstring piece(to_page_end / sizeof(wchar_t), L'\0');
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, at, &piece[0], piece.size() * sizeof(wchar_t), &read) || read == 0)
      break;
    piece.resize(read / sizeof(wchar_t));
    block += piece;
    at += read;
    const size_t end = block.find(std::wstring(2, L'\0'));
    if (end != std::wstring::npos) {
      block.resize(end + 1);
      break;
    }
  }
  return block;
}

// A test program that crashes says where and ends at once: Wine would
// otherwise start its debugger, which can hold the test until its time-out.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD* record = exception->ExceptionRecord;
  fprintf(stderr, "test crashed: exception 0x%08lx at %p, thread %lu, image base %p\n",
          record->ExceptionCode, record->ExceptionAddress, GetCurrentThreadId(),
          static_cast<void*>(GetModuleHandleW(nullptr)));
  fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 0xC0DE);
  return EXCEPTION_CONTINUE_SEARCH;
}

[[maybe_unused]] const auto g_crash_reporter = SetUnhandledExceptionFilter(&ReportCrash);

// When |process| started, in the system's 100 ns units; 0 when unknown.
ULONGLONG CreationTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
    return 0;
  return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

}  // namespace

bool InstallProgramAs(const std::string& from, const std::string& to) {
  if (CopyFileW(base::SysUTF8ToWide(from).c_str(), base::SysUTF8ToWide(to).c_str(), FALSE))
    return true;
  fprintf(stderr, "CopyFileW %s -> %s: error %lu\n", from.c_str(), to.c_str(), GetLastError());
  return false;
}

std::string ExecutableDir() {
  wchar_t path[32768];
  const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
  if (length == 0 || length >= 32768)
    return ".";
  std::wstring exe(path, length);
  return base::SysWideToUTF8(exe.substr(0, exe.find_last_of(L"\\/")));
}

std::string ExecutableSuffix() {
  return ".exe";
}

std::optional<std::string> GetEnv(const std::string& name) {
  const std::wstring wide_name = base::SysUTF8ToWide(name);
  const DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (size == 0)
    return std::nullopt;
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(wide_name.c_str(), &value[0], size);
  value.resize(length < size ? length : 0);
  return base::SysWideToUTF8(value);
}

// _wputenv_s changes both the C runtime's copy of the environment and the
// process's own: getenv, GetEnvironmentVariableW and child processes all see
// the change.
void SetEnv(const std::string& name, const std::string& value) {
  _wputenv_s(base::SysUTF8ToWide(name).c_str(), base::SysUTF8ToWide(value).c_str());
}

// An empty value removes the variable.
void UnsetEnv(const std::string& name) {
  _wputenv_s(base::SysUTF8ToWide(name).c_str(), L"");
}

std::vector<std::string> EnvironmentOf(int pid) {
  ScopedHandle process(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(pid)));
  std::vector<std::string> entries;
  const std::wstring block = Valid(process) ? EnvironmentBlockOf(process.get()) : std::wstring();
  for (const wchar_t* entry = block.c_str(); *entry; entry += wcslen(entry) + 1)
    entries.push_back(base::SysWideToUTF8(entry));
  return entries;
}

bool UnderEmulation() {
  // Wine's ntdll exports its version; Windows' does not.
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int CurrentPid() {
  return static_cast<int>(GetCurrentProcessId());
}

bool ProcessRunning(int pid) {
  return pid > 0 && !WaitForEnd(pid, 0);
}

bool WaitForProcessEnd(int pid, std::chrono::milliseconds bound) {
  return WaitForEnd(pid, static_cast<DWORD>(bound.count()));
}

bool WaitForProcessGone(int pid, std::chrono::milliseconds bound) {
  // Nothing is left to reap on Windows: an ended process is gone.
  return WaitForEnd(pid, static_cast<DWORD>(bound.count()));
}

void KillProcess(int pid) {
  ScopedHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid)));
  if (Valid(process))
    TerminateProcess(process.get(), 1);
}

ProgramRun::~ProgramRun() {
  if (handle_)
    KillHard();
}

bool ProgramRun::Start(const std::vector<std::string>& argv, const std::string& output_file) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  ScopedHandle output(CreateFileW(base::SysUTF8ToWide(output_file).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!Valid(output))
    return false;
  std::wstring command_line;
  for (const std::string& arg : argv) {
    command_line += (command_line.empty() ? L"" : L" ") +
                    base::QuoteForWindowsCommandLine(base::SysUTF8ToWide(arg));
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = output.get();
  startup.hStdError = output.get();
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(base::SysUTF8ToWide(argv[0]).c_str(), &command_line[0], nullptr, nullptr,
                      TRUE, 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  handle_ = info.hProcess;
  pid_ = static_cast<int>(info.dwProcessId);
  return true;
}

int ProgramRun::WaitForExit(std::chrono::milliseconds bound) {
  if (!handle_)
    return -1;
  if (WaitForSingleObject(handle_, static_cast<DWORD>(bound.count())) != WAIT_OBJECT_0) {
    KillHard();
    return -1;
  }
  DWORD code = 0;
  const int status = GetExitCodeProcess(handle_, &code) ? static_cast<int>(code) : -1;
  CloseHandle(std::exchange(handle_, nullptr));
  pid_ = 0;
  return status;
}

bool ProgramRun::KillHard() {
  if (!handle_)
    return false;
  constexpr UINT kKilled = 0xDEAD;
  const bool killed = TerminateProcess(handle_, kKilled) &&
                      WaitForSingleObject(handle_, static_cast<DWORD>(kWaitBound.count())) == WAIT_OBJECT_0;
  DWORD code = 0;
  const bool by_us = killed && GetExitCodeProcess(handle_, &code) && code == kKilled;
  CloseHandle(std::exchange(handle_, nullptr));
  pid_ = 0;
  return by_us;
}

std::vector<int> ChildProcesses() {
  std::vector<int> children;
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!Valid(snapshot))
    return children;
  const DWORD self = GetCurrentProcessId();
  const ULONGLONG self_created = CreationTime(GetCurrentProcess());
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID != self || entry.th32ProcessID == self)
      continue;
    // A parent id names the process that was the parent when the child
    // started, and process ids are reused: a child of ours is running and
    // started after this process did.
    ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                     entry.th32ProcessID));
    if (Valid(process) && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT &&
        CreationTime(process.get()) >= self_created) {
      children.push_back(static_cast<int>(entry.th32ProcessID));
    }
  }
  return children;
}

std::vector<int> LaunchedProcesses() {
  // Windows jobs need no helper process: every child was launched.
  return ChildProcesses();
}

std::vector<UnlaunchableProgram> UnlaunchablePrograms() {
  // Windows has no execute mark on files: what it refuses is what is no
  // program image.
  return {{"a missing file", false, "", false, static_cast<int>(ERROR_FILE_NOT_FOUND)},
          {"an executable of no known format", true, std::string("MZ\x01\x02garbage", 11), true,
           static_cast<int>(ERROR_BAD_EXE_FORMAT)}};
}

void* LibrarySymbol(const std::string& path, const std::string& symbol) {
  HMODULE library = LoadLibraryW(base::SysUTF8ToWide(path).c_str());
  return library ? reinterpret_cast<void*>(GetProcAddress(library, symbol.c_str())) : nullptr;
}

int CountThreads() {
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!Valid(snapshot))
    return -1;
  const DWORD self = GetCurrentProcessId();
  int count = 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
    count += entry.th32OwnerProcessID == self;
  return count;
}

int CountOpenHandles() {
  DWORD count = 0;
  if (!GetProcessHandleCount(GetCurrentProcess(), &count))
    return -1;
  return static_cast<int>(count);
}

// A process has no descriptor limit of its own to run into here.
bool DescriptorExhaustion::Take() { return false; }
void DescriptorExhaustion::GiveBack() {}

}  // namespace test_os
