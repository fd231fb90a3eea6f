#include "runner/dump_writer.h"

#include <dbghelp.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/wide.h"
#include "runner/dump_files.h"

struct DumpWriter::Job {
  std::mutex mutex;
  bool done = false;
  bool abandoned = false;
  DumpOutcome outcome;
};

namespace {

// What a developer needs to see where a program hung, and not its memory:
// threads with their stacks, modules, thread times and states, handles.
constexpr MINIDUMP_TYPE kDumpType =
    static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithHandleData | MiniDumpWithThreadInfo);

std::wstring Joined(const std::string& folder, const std::string& name) {
  std::wstring path = Wide(folder);
  if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
  return path + Wide(name);
}

// Removes the oldest of our dumps so that, with the one to come, at most
// kDumpsKept remain; nothing else in the folder is looked at twice.
void MakeRoom(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW(Joined(folder, "*.dmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(Narrow(found.cFileName));
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  for (const std::string& name : DumpsToRemove(names)) ::DeleteFileW(Joined(folder, name).c_str());
}

DumpOutcome Write(const std::string& folder, const std::string& name, HANDLE process, DWORD pid) {
  DumpOutcome outcome;
  const auto begun = std::chrono::steady_clock::now();
  MakeRoom(folder);
  outcome.path = Narrow(Joined(folder, name));
  const HANDLE file = ::CreateFileW(Joined(folder, name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    outcome.error = ::GetLastError();
  } else {
    if (!::MiniDumpWriteDump(process, pid, file, kDumpType, nullptr, nullptr, nullptr)) {
      outcome.error = ::GetLastError();
      if (outcome.error == 0) outcome.error = ERROR_GEN_FAILURE;
    }
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file, &size)) outcome.bytes = static_cast<std::uint64_t>(size.QuadPart);
    ::CloseHandle(file);
    if (outcome.error != 0) ::DeleteFileW(Joined(folder, name).c_str());
  }
  outcome.millis = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begun).count());
  outcome.finished = true;
  return outcome;
}

}  // namespace

bool DumpWriter::Start(std::size_t entry, HANDLE process, DWORD pid, const std::string& programPath) {
  HANDLE own = nullptr;
  if (!process || !::DuplicateHandle(::GetCurrentProcess(), process, ::GetCurrentProcess(), &own, 0, FALSE,
                                     DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  auto job = std::make_shared<Job>();
  const std::string name = DumpFileName(programPath, pid, LocalTimeNow());
  try {
    std::thread([job, folder = folder_, name, own, pid] {
      const DumpOutcome outcome = Write(folder, name, own, pid);
      ::CloseHandle(own);
      std::lock_guard<std::mutex> lock(job->mutex);
      job->outcome = outcome;
      job->done = true;
      if (job->abandoned && outcome.error == 0) ::DeleteFileW(Wide(outcome.path).c_str());
    }).detach();
  } catch (...) {
    ::CloseHandle(own);
    return false;
  }
  jobs_[entry] = job;
  return true;
}

DumpOutcome DumpWriter::Poll(std::size_t entry) {
  const auto found = jobs_.find(entry);
  if (found == jobs_.end()) return {};
  DumpOutcome outcome;
  {
    std::lock_guard<std::mutex> lock(found->second->mutex);
    if (!found->second->done) return outcome;
    outcome = found->second->outcome;
  }
  jobs_.erase(found);  // told once: the runner acts on it now
  return outcome;
}

void DumpWriter::Abandon(std::size_t entry) {
  const auto found = jobs_.find(entry);
  if (found == jobs_.end()) return;
  {
    std::lock_guard<std::mutex> lock(found->second->mutex);
    found->second->abandoned = true;
    if (found->second->done && found->second->outcome.error == 0) {
      ::DeleteFileW(Wide(found->second->outcome.path).c_str());
    }
  }
  // Kept until a new dump of the entry, so the end can wait for its writer.
}

DumpWriter::~DumpWriter() {
  // Every program still being dumped has been terminated by now (the runner
  // ends the dumps first), so each writer returns soon.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (auto& [entry, job] : jobs_) {
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard<std::mutex> lock(job->mutex);
        if (job->done) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}
