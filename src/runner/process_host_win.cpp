#include "runner/process_host.h"

#include <tlhelp32.h>

#include <cstring>

#include "platform/wide.h"
#include "runner/plan_runner.h"

namespace {

constexpr DWORD kOpenAccess = 0x1F0FFF;  // standard rights, synchronize, all process rights
constexpr DWORD kDirectoryBufferSize = 4096;

STARTUPINFOW ShowWindowStartupInfo() {
  STARTUPINFOW info{};
  info.cb = sizeof info;
  info.dwFlags = STARTF_USESHOWWINDOW;
  info.wShowWindow = SW_SHOW;
  return info;
}

}  // namespace

ProcessTable::Slot& ProcessTable::SlotFor(std::size_t index) {
  if (index >= slots_.size()) {
    const std::size_t old = slots_.size();
    slots_.resize(index + 1);
    for (std::size_t i = old; i < slots_.size(); ++i) slots_[i].startupInfo = ShowWindowStartupInfo();
  }
  return slots_[index];
}

const ProcessTable::Slot* ProcessTable::Find(std::size_t index) const {
  return index < slots_.size() ? &slots_[index] : nullptr;
}

bool ProcessTable::Create(std::size_t index, const LaunchEntry& entry, std::uint32_t* error) {
  Slot& slot = SlotFor(index);

  wchar_t saved[kDirectoryBufferSize];
  const DWORD savedLength = ::GetCurrentDirectoryW(kDirectoryBufferSize, saved);
  // A directory longer than the buffer is not restored from a truncated copy.
  const bool restore = savedLength > 0 && savedLength < kDirectoryBufferSize;

  // The list's GBK texts go to Windows as UTF-16, so a program in a Chinese
  // folder starts on every code page. CreateProcessW may write into its
  // command line, so it gets a copy of its own.
  const std::wstring program = Wide(entry.programPath);
  std::wstring commandLine = Wide(entry.commandLine);
  // An empty directory makes CreateProcess fail on Windows; an entry
  // without one runs in the launcher's directory instead.
  const std::wstring directory = Wide(entry.runDirectory);

  PROCESS_INFORMATION info{};
  const BOOL created = ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, directory.empty() ? nullptr : directory.c_str(),
                                        &slot.startupInfo, &info);
  const DWORD createError = created ? 0 : ::GetLastError();
  if (restore) ::SetCurrentDirectoryW(saved);
  if (error) *error = createError;
  if (!created) return false;

  slot.process.reset(info.hProcess);
  slot.thread.reset(info.hThread);
  slot.processId = info.dwProcessId;
  slot.threadId = info.dwThreadId;
  return true;
}

bool ProcessTable::IsRunning(std::size_t index) const {
  const Slot* slot = Find(index);
  if (slot == nullptr || slot->processId == 0 || !slot->process) return false;
  // The held handle keeps the process object and its id; the object is
  // signalled once the process has ended.
  return ::WaitForSingleObject(slot->process.get(), 0) == WAIT_TIMEOUT;
}

std::uint32_t ProcessTable::ProcessId(std::size_t index) const {
  const Slot* slot = Find(index);
  return slot == nullptr ? 0 : slot->processId;
}

std::uint32_t ProcessTable::ExitCode(std::size_t index) const {
  const Slot* slot = Find(index);
  DWORD code = 0;
  if (slot != nullptr && slot->process) ::GetExitCodeProcess(slot->process.get(), &code);
  return code;
}

void ProcessTable::Terminate(std::size_t index) const {
  const Slot* slot = Find(index);
  if (slot != nullptr && slot->process) ::TerminateProcess(slot->process.get(), kKillExitCode);
}

HANDLE ProcessTable::ProcessHandle(std::size_t index) const {
  const Slot* slot = Find(index);
  return slot == nullptr ? nullptr : slot->process.get();
}

ScopedProcessHandle ProcessTable::OpenProcessById(std::uint32_t processId) {
  return ScopedProcessHandle(::OpenProcess(kOpenAccess, FALSE, processId));
}

ScopedProcessHandle ProcessTable::FindProcessByName(const char* name, std::uint32_t* id) {
  std::vector<ListedProcess> listed;
  {
    const ScopedSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return {};
    PROCESSENTRY32W process{};
    process.dwSize = sizeof process;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &process); more;
         more = ::Process32NextW(snapshot.get(), &process)) {
      DWORD session = 0;
      // A process whose session cannot be read is nobody's to kill.
      if (!::ProcessIdToSessionId(process.th32ProcessID, &session)) continue;
      const std::size_t length = wcsnlen(process.szExeFile, sizeof process.szExeFile / sizeof(wchar_t));
      listed.push_back({process.th32ProcessID, session, Narrow({process.szExeFile, length})});
    }
  }
  DWORD ownSession = 0;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &ownSession)) return {};
  for (const std::uint32_t candidate : ProcessesToKillByName(listed, name, ownSession)) {
    // The right to end it and no more; one that cannot be opened is skipped.
    ScopedProcessHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, candidate));
    if (!process) continue;
    if (id) *id = candidate;
    return process;
  }
  return {};
}

std::uint32_t ProcessTable::TerminateProcessByName(const char* name) {
  std::uint32_t id = 0;
  const ScopedProcessHandle process = FindProcessByName(name, &id);
  if (!process || !::TerminateProcess(process.get(), kKillExitCode)) return 0;
  return id;
}
