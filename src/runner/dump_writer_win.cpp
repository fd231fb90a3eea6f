#include "runner/dump_writer.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/awake_clock.h"
#include "platform/disk_threads.h"
#include "platform/dump_library.h"
#include "platform/scoped.h"
#include "platform/wide.h"
#include "platform/window_thread.h"
#include "runner/dump_files.h"
#include "runner/dump_queue.h"
#include "text/texts.h"

namespace {

struct Request {
  ScopedKernelHandle process;  // a duplicate of the host's
  DWORD pid = 0;
  std::string name;            // the file's, GBK
};

// The folder with a separator at its end.
std::wstring FolderPrefix(std::wstring folder) {
  if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
  return folder;
}

// A 32-bit launcher on 64-bit Windows (itself under WOW64) cannot dump a
// 64-bit program, one that does not run under WOW64; a 64-bit launcher
// dumps both kinds.
bool BeyondBitness(HANDLE process) {
  if (sizeof(void*) == 8) return false;
  BOOL self = FALSE, other = FALSE;
  return ::IsWow64Process(::GetCurrentProcess(), &self) && self && ::IsWow64Process(process, &other) && !other;
}

// Removes the oldest of our dumps, by the time they were written, so that
// at most kDumpsKept remain with `newest`, the one just written; nothing
// else in the folder is looked at twice.
void KeepNewest(const std::wstring& folder, const std::string& newest) {
  NoteFileCall();
  std::vector<FolderFile> files;
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW((folder + L"*.dmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::uint64_t written =
        (static_cast<std::uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) | found.ftLastWriteTime.dwLowDateTime;
    files.push_back({Narrow(found.cFileName), written});
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  for (const std::string& name : DumpsToRemove(files, newest)) ::DeleteFileW((folder + Wide(name)).c_str());
}

// Removes a dump nobody wants.
void RemoveDump(const std::wstring& path) {
  NoteFileCall();
  ::DeleteFileW(path.c_str());
}

DumpOutcome Write(const std::wstring& folder, const Request& request, WriteDumpFunction writeDump,
                  std::uint32_t loadError) {
  NoteFileCall();
  DumpOutcome outcome;
  const std::uint64_t begun = AwakeMilliseconds();
  const std::wstring path = folder + Wide(request.name);
  // GBK for the journal; the file itself is reached by the wide path.
  outcome.path = Narrow(folder) + request.name;
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    outcome.error = ::GetLastError();
  } else {
    if (!writeDump) {
      outcome.error = loadError;
    } else if (!writeDump(request.process.get(), request.pid, file, kDumpType, nullptr, nullptr, nullptr)) {
      outcome.error = DumpFailureError(::GetLastError());
    }
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file, &size)) outcome.bytes = static_cast<std::uint64_t>(size.QuadPart);
    ::CloseHandle(file);
    if (outcome.error != 0) ::DeleteFileW(path.c_str());
  }
  outcome.millis = AwakeMilliseconds() - begun;
  return outcome;
}

// A worker thread that is joined by whoever runs the job holding it, or let
// go when the job is dropped unrun (its writer stopped first).
struct JoinLater {
  explicit JoinLater(std::thread thread) : thread(std::move(thread)) {}
  ~JoinLater() {
    if (thread.joinable()) thread.detach();
  }
  std::thread thread;
};

}  // namespace

struct DumpWriter::Shared {
  Shared(std::wstring folderName, std::shared_ptr<FileWriter> files)
      : folder(FolderPrefix(std::move(folderName))), folderGbk(Narrow(folder)), files(std::move(files)) {}

  // Hands a piece of the folder's work to the file writer, or to the worker
  // when the file writer does not take it. Under `mutex`.
  void FileWork(std::function<void()> job) {
    if (files && files->Post(job)) return;
    fileJobs.push_back(std::move(job));
    changed.notify_all();
  }

  // The wide path of a written dump's GBK path, which is the folder's GBK
  // name followed by the file's name.
  std::wstring PathOf(const std::string& written) const {
    return folder + Wide(std::string_view(written).substr(folderGbk.size()));
  }

  // The worker: one dump at a time until the end is asked; the dumps still
  // waiting then are dropped. The folder's work left to it is done first,
  // outside the lock, so the window's thread never waits for the disk.
  void Work() {
    CountAsDiskThread();
    std::uint32_t loadError = 0;
    const WriteDumpFunction writeDump = LoadWriteDump(&loadError);
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      if (!fileJobs.empty()) {
        std::function<void()> job = std::move(fileJobs.front());
        fileJobs.pop_front();
        lock.unlock();
        job();
        lock.lock();
        continue;
      }
      if (ending) break;
      std::optional<DumpQueue<Request>::Taken> taken = queue.Take(AwakeMilliseconds());
      if (!taken) {
        changed.wait(lock);
        continue;
      }
      lock.unlock();
      const DumpOutcome outcome = Write(folder, taken->request, writeDump, loadError);
      taken->request.process.reset();
      lock.lock();
      const bool wanted = !queue.Finish(outcome);
      changed.notify_all();
      if (outcome.error != 0) continue;
      // Only a dump written makes room: failing ones never push out the
      // good ones before them.
      if (wanted) {
        FileWork([folder = folder, newest = taken->request.name] { KeepNewest(folder, newest); });
      } else {
        FileWork([path = PathOf(outcome.path)] { RemoveDump(path); });
      }
    }
  }

  const std::wstring folder;  // with a separator at its end
  const std::string folderGbk;
  const std::shared_ptr<FileWriter> files;
  std::mutex mutex;
  std::condition_variable changed;  // a dump asked for or done, folder work for the worker, or the end asked
  DumpQueue<Request> queue;
  std::deque<std::function<void()>> fileJobs;  // the folder's work the file writer did not take
  bool ending = false;
};

DumpWriter::DumpWriter(std::wstring folder, std::shared_ptr<FileWriter> files)
    : shared_(std::make_shared<Shared>(std::move(folder), files)), files_(std::move(files)) {}

DumpStart DumpWriter::Start(std::size_t entry, HANDLE process, DWORD pid, const std::string& programPath) {
  DumpStart start;
  const auto refuse = [&start](std::uint32_t error, std::string detail) {
    start.error = error;
    start.detail = std::move(detail);
    return start;
  };
  if (!process) return refuse(ERROR_INVALID_HANDLE, SystemErrorText(ERROR_INVALID_HANDLE));
  if (BeyondBitness(process)) return refuse(ERROR_NOT_SUPPORTED, texts::kDumpOtherBitness);
  HANDLE own = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), process, ::GetCurrentProcess(), &own, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    const DWORD error = ::GetLastError();
    return refuse(error, SystemErrorText(error));
  }
  Request request{ScopedKernelHandle(own), pid, DumpFileName(programPath, pid, LocalTimeNow())};
  if (!worker_.joinable()) {
    try {
      worker_ = std::thread([shared = shared_] { shared->Work(); });
    } catch (const std::system_error&) {
      return refuse(ERROR_NOT_ENOUGH_MEMORY, SystemErrorText(ERROR_NOT_ENOUGH_MEMORY));
    }
  }
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->queue.Add(entry, std::move(request), AwakeMilliseconds());
  }
  shared_->changed.notify_all();
  start.started = true;
  return start;
}

DumpOutcome DumpWriter::Poll(std::size_t entry) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->queue.Poll(entry);
}

void DumpWriter::Abandon(std::size_t entry) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  const std::string written = shared_->queue.Abandon(entry, AwakeMilliseconds());
  if (!written.empty()) shared_->FileWork([path = shared_->PathOf(written)] { RemoveDump(path); });
}

DumpWriter::~DumpWriter() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->ending = true;
  }
  shared_->changed.notify_all();
  // Every program still being dumped has been terminated by now (the runner
  // ends the dumps first), so the writing returns soon.
  auto worker = std::make_shared<JoinLater>(std::move(worker_));
  if (files_ && files_->Post([worker] { worker->thread.join(); })) return;
  // No file writer to wait on: the worker ends on its own after that dump.
}
