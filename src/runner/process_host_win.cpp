#include "runner/process_host.h"

#include <tlhelp32.h>

#include <cstring>

#include "runner/plan_runner.h"

namespace {

constexpr DWORD kOpenAccess = 0x1F0FFF;  // standard rights, synchronize, all process rights
constexpr DWORD kDirectoryBufferSize = 4096;

STARTUPINFOA ShowWindowStartupInfo() {
  STARTUPINFOA info{};
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

bool ProcessTable::Create(std::size_t index, const LaunchEntry& entry) {
  Slot& slot = SlotFor(index);

  char saved[kDirectoryBufferSize];
  const DWORD savedLength = ::GetCurrentDirectoryA(kDirectoryBufferSize, saved);
  // A directory longer than the buffer is not restored from a truncated copy.
  const bool restore = savedLength > 0 && savedLength < kDirectoryBufferSize;

  // CreateProcessA may write into its command line.
  std::vector<char> commandLine(entry.commandLine.begin(), entry.commandLine.end());
  commandLine.push_back('\0');
  // An empty directory makes CreateProcessA fail on Windows; an entry
  // without one runs in the launcher's directory instead.
  const char* directory = entry.runDirectory.empty() ? nullptr : entry.runDirectory.c_str();

  PROCESS_INFORMATION info{};
  const BOOL created =
      ::CreateProcessA(entry.programPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                       nullptr, directory, &slot.startupInfo, &info);
  if (restore) ::SetCurrentDirectoryA(saved);
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

ScopedProcessHandle ProcessTable::FindProcessByName(const char* name) {
  const ScopedSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return {};
  PROCESSENTRY32 process{};
  process.dwSize = sizeof process;
  for (BOOL more = ::Process32First(snapshot.get(), &process); more;
       more = ::Process32Next(snapshot.get(), &process)) {
    const std::string_view exe(process.szExeFile, strnlen(process.szExeFile, sizeof process.szExeFile));
    if (EqualsIgnoringAsciiCase(exe, name)) return OpenProcessById(process.th32ProcessID);
  }
  return {};
}

void ProcessTable::TerminateProcessByName(const char* name) {
  const ScopedProcessHandle process = FindProcessByName(name);
  if (process) ::TerminateProcess(process.get(), kKillExitCode);
}
