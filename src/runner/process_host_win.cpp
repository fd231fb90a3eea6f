#include "runner/process_host.h"

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>

#include "platform/console_ctrl.h"
#include "platform/files.h"
#include "platform/wide.h"
#include "platform/window_thread.h"
#include "runner/creation_line.h"
#include "runner/process_peek.h"

namespace {

// What each use of another process needs, and no more. A process the table
// holds is waited on, ended with its job, joined to a job, given its record
// and job handles, and dumped; one whose owner allows less (a hardened
// service) is held without the dump's rights.
constexpr DWORD kHoldAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE |
                              PROCESS_SET_QUOTA | PROCESS_DUP_HANDLE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
constexpr DWORD kHoldLeastAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE |
                                   PROCESS_SET_QUOTA | PROCESS_DUP_HANDLE;
// MiniDumpWriteDump: query and read, and duplicating for the handle data.
constexpr DWORD kDumpAccess = PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ |
                              PROCESS_DUP_HANDLE;
// What reading another process needs; without the memory reads (an elevated
// copy) only its executable, and on newer Windows its command line, can be had.
constexpr DWORD kPeekAccess = PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
constexpr DWORD kLookAccess = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
constexpr DWORD kDiscardWaitMs = 5000;

STARTUPINFOW ShowWindowStartupInfo() {
  STARTUPINFOW info{};
  info.cb = sizeof info;
  info.dwFlags = STARTF_USESHOWWINDOW;
  info.wShowWindow = SW_SHOW;
  return info;
}

std::wstring JobName(DWORD pid) { return L"Local\\Morvastel-job-" + std::to_wstring(pid); }
std::wstring MarkName(DWORD pid) { return L"Local\\Morvastel-owner-" + std::to_wstring(pid); }

// The launcher that holds `pid`'s mark, or 0 when none does.
DWORD MarkHolder(DWORD pid) {
  const ScopedKernelHandle mark(::OpenFileMappingW(FILE_MAP_READ, FALSE, MarkName(pid).c_str()));
  if (!mark) {
    // One that this user may not open is another user's: taken all the same.
    return ::GetLastError() == ERROR_ACCESS_DENIED ? static_cast<DWORD>(-1) : 0;
  }
  DWORD holder = 0;
  if (const void* view = ::MapViewOfFile(mark.get(), FILE_MAP_READ, 0, 0, sizeof holder)) {
    std::memcpy(&holder, view, sizeof holder);
    ::UnmapViewOfFile(view);
  }
  // A mark whose writer died before it wrote still says "taken".
  return holder != 0 ? holder : static_cast<DWORD>(-1);
}

// Puts this launcher's mark on `pid`, for its user alone; empty, with
// `holder` set, when a mark is on it already.
ScopedKernelHandle PutMark(DWORD pid, DWORD* holder) {
  ScopedKernelHandle mark(::CreateFileMappingW(INVALID_HANDLE_VALUE, OwnUserOnly(), PAGE_READWRITE, 0,
                                               sizeof(DWORD), MarkName(pid).c_str()));
  if (!mark) {
    if (::GetLastError() == ERROR_ACCESS_DENIED) *holder = static_cast<DWORD>(-1);
    return {};
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    mark.reset();
    *holder = MarkHolder(pid);
    if (*holder == 0) *holder = static_cast<DWORD>(-1);
    return {};
  }
  if (void* view = ::MapViewOfFile(mark.get(), FILE_MAP_WRITE, 0, 0, sizeof(DWORD))) {
    const DWORD self = ::GetCurrentProcessId();
    std::memcpy(view, &self, sizeof self);
    ::UnmapViewOfFile(view);
  }
  return mark;
}

// The processes listed as created by this launcher's id when the host
// begins, with their creation times: made by an earlier process that had
// the id, since the host has created nothing yet. Any other process listed
// so is the host's own. Only creation times are compared, and only for
// equality: a clock set back (a restored machine, a manual fix) stamps the
// host's later creations earlier than the launcher itself, which no
// ordering by time would survive.
std::vector<std::pair<std::uint32_t, std::uint64_t>> ChildrenOfAnEarlierSelf() {
  std::vector<std::pair<std::uint32_t, std::uint64_t>> earlier;
  std::uint32_t session = 0;
  const DWORD self = ::GetCurrentProcessId();
  for (const ListedProcess& listed : ListSessionProcesses(&session)) {
    if (listed.parent != self || listed.id == self) continue;
    const ScopedProcessHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, listed.id));
    // One that cannot be opened cannot be looked at later either.
    if (process) earlier.emplace_back(listed.id, CreationTime(process.get()));
  }
  return earlier;
}

// The limits of a program's job: a program that asks for it may start one
// outside; with `killOnClose`, the job's processes end when its last handle
// closes (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE, learn.microsoft.com/windows/
// win32/api/winnt/ns-winnt-jobobject_basic_limit_information).
bool LimitJob(HANDLE job, bool killOnClose) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_BREAKAWAY_OK | (killOnClose ? JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE : 0);
  return ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) != FALSE;
}

// Gives `process` a handle to its own job, so the job's name lasts as long
// as the program runs.
void HandJobTo(HANDLE process, HANDLE job) {
  HANDLE inside = nullptr;
  ::DuplicateHandle(::GetCurrentProcess(), job, process, &inside, SYNCHRONIZE, FALSE, 0);
}

// A new job named after `jobKey` holding `process`. A running process joins
// a job that outlives the launcher and is handed it at once. One `unrun`
// (suspended, not yet let run) joins a job only the launcher holds, which
// ends it with the launcher: a launcher that dies before it lets the program
// run leaves no program behind that never ran and that a launcher started
// later would take over as running. LetRun hands it over. Empty, with
// `error` set, when the process cannot join.
// The name is for its user alone, as the records are. A name that is taken
// already (a job of that name there, one another user made, which this one
// may not open, or another kind of object) gives a job without a name: the
// program is in a job all the same, and is found again by its record.
ScopedJob JoinNewJob(HANDLE process, DWORD jobKey, std::uint32_t* error, bool unrun = false) {
  ScopedJob job(::CreateJobObjectW(OwnUserOnly(), JobName(jobKey).c_str()));
  if (!job || ::GetLastError() == ERROR_ALREADY_EXISTS) job.reset(::CreateJobObjectW(nullptr, nullptr));
  if (!job) {
    *error = ::GetLastError();
    return {};
  }
  LimitJob(job.get(), unrun);
  if (!::AssignProcessToJobObject(job.get(), process)) {
    *error = ::GetLastError();
    return {};
  }
  if (!unrun) HandJobTo(process, job.get());
  return job;
}

// `process`'s own job of ours, named after `jobKey`, if it has one.
ScopedJob OpenOwnJob(HANDLE process, DWORD jobKey) {
  ScopedJob job(::OpenJobObjectW(JOB_OBJECT_ALL_ACCESS, FALSE, JobName(jobKey).c_str()));
  BOOL inside = FALSE;
  if (job && (!::IsProcessInJob(process, job.get(), &inside) || !inside)) job.reset();
  return job;
}

// How the launcher's own job, if it runs in one, treats what it starts.
enum class OwnJob { kNone, kBreakaway, kSilentBreakaway, kHolds };  // kHolds: as far as can be read

OwnJob LauncherJob() {
  static const OwnJob own = [] {
    BOOL inJob = FALSE;
    if (!::IsProcessInJob(::GetCurrentProcess(), nullptr, &inJob) || !inJob) return OwnJob::kNone;
    // A null handle asks about the caller's own job (QueryInformationJobObject).
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    if (!::QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof limits, nullptr)) {
      return OwnJob::kHolds;
    }
    const DWORD flags = limits.BasicLimitInformation.LimitFlags;
    if (flags & JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) return OwnJob::kSilentBreakaway;
    return (flags & JOB_OBJECT_LIMIT_BREAKAWAY_OK) ? OwnJob::kBreakaway : OwnJob::kHolds;
  }();
  return own;
}

// Whether `process` is a console host: it ends by itself with its console's
// last program, and is never a program of the list.
bool IsConsoleHost(HANDLE process) {
  wchar_t image[MAX_PATH * 4];
  DWORD size = sizeof image / sizeof image[0];
  if (!::QueryFullProcessImageNameW(process, 0, image, &size)) return false;
  const std::wstring path(image, size);
  const std::size_t slash = path.find_last_of(L"\\/");
  return SameFileName(slash == std::wstring::npos ? path : path.substr(slash + 1), L"conhost.exe");
}

// A process opened for holding, with the most of kHoldAccess it allows.
ScopedProcessHandle OpenToHold(DWORD pid) {
  ScopedProcessHandle process(::OpenProcess(kHoldAccess, FALSE, pid));
  if (!process) process.reset(::OpenProcess(kHoldLeastAccess, FALSE, pid));
  return process;
}

constexpr DWORD kDirectoryBufferSize = 4096;

std::wstring CurrentDirectory() {
  wchar_t buffer[kDirectoryBufferSize];
  const DWORD length = ::GetCurrentDirectoryW(kDirectoryBufferSize, buffer);
  return length > 0 && length < kDirectoryBufferSize ? std::wstring(buffer, length) : std::wstring();
}

void CALLBACK OnProcessEnded(void* context, BOOLEAN) {
  const EndWatch* watch = static_cast<const EndWatch*>(context);
  watch->sink->ProcessEnded(watch->index, watch->pid);
}

}  // namespace

StartedProcess CreateSuspended(LaunchParameters& parameters) {
  // Suspended until it is in its job, so nothing it starts escapes the job.
  // At normal priority, whatever the launcher's own: a launcher started by
  // Task Scheduler runs below normal, and its servers would inherit that.
  // The launcher's current directory is left alone (CreateProcessW does not
  // change it), so relative paths resolve the same on the window's thread.
  // A launcher that runs in a job (a terminal, a remote shell, an agent)
  // starts its programs outside it where the job allows, so they outlive
  // that job as they outlive the launcher (CREATE_BREAKAWAY_FROM_JOB needs
  // JOB_OBJECT_LIMIT_BREAKAWAY_OK on the job, or the creation fails).
  StartedProcess started;
  // What the record says of the file and folder is read here, off the
  // window's thread, as the creation itself reads them.
  ProcessIdentity& launched = parameters.launched;
  if (launched.file.empty()) launched.file = FileIdentity(parameters.program);
  if (launched.path.empty()) launched.path = PathText(parameters.program);
  if (launched.directory.empty()) {
    launched.directory = FileIdentity(parameters.directory.empty() ? CurrentDirectory() : parameters.directory);
  }
  started.launched = launched;
  PROCESS_INFORMATION info{};
  // CREATE_DEFAULT_ERROR_MODE: the launcher's own error mode (no fault box,
  // so a crash of its own ends it at once) is not handed down; a program's
  // crash goes to Windows Error Reporting as ever.
  const auto create = [&](DWORD extra) {
    return ::CreateProcessW(parameters.program.c_str(), parameters.commandLine.data(), nullptr, nullptr, FALSE,
                            CREATE_SUSPENDED | NORMAL_PRIORITY_CLASS | CREATE_DEFAULT_ERROR_MODE | extra, nullptr,
                            parameters.directory.empty() ? nullptr : parameters.directory.c_str(),
                            &parameters.startupInfo, &info) != FALSE;
  };
  // Breaking away is tried while the launcher's job has not refused it: a
  // job's limits cannot always be read (Wine reports none), and a job that
  // refuses fails the creation with ERROR_ACCESS_DENIED, which is then made
  // without. Only a creation that works without it shows the refusal.
  static std::atomic<bool> breakawayRefused{false};
  const OwnJob own = LauncherJob();
  const bool tryBreakaway = own != OwnJob::kNone && own != OwnJob::kSilentBreakaway && !breakawayRefused.load();
  bool made = create(tryBreakaway ? CREATE_BREAKAWAY_FROM_JOB : 0);
  if (!made && tryBreakaway && ::GetLastError() == ERROR_ACCESS_DENIED) {
    made = create(0);
    if (made) breakawayRefused.store(true);
  }
  if (!made) {
    started.start.error = ::GetLastError();
    return started;
  }
  // A breakaway that works moves the program up only to the first job that
  // allows it, and one above that does not keeps it ("Nested Jobs",
  // learn.microsoft.com/windows/win32/procthread/nested-jobs): a program
  // still in any job before it joins its own is in one of the launcher's
  // chain, and ends when that job ends (IsProcessInJob with no job asks
  // about any job).
  BOOL inJob = FALSE;
  started.start.inLauncherJob =
      own != OwnJob::kNone && ((own != OwnJob::kSilentBreakaway && breakawayRefused.load()) ||
                               (::IsProcessInJob(info.hProcess, nullptr, &inJob) && inJob));
  started.process.reset(info.hProcess);
  started.thread.reset(info.hThread);
  started.processId = info.dwProcessId;
  started.threadId = info.dwThreadId;
  started.job = JoinNewJob(info.hProcess, info.dwProcessId, &started.start.jobError, true);
  // A mark or record already there is another launcher's (one that raced
  // for the same id) or a forgery: the new process is not ours to run.
  DWORD holder = 0;
  started.mark = PutMark(info.dwProcessId, &holder);
  DWORD error = ERROR_ALREADY_EXISTS;
  if (started.mark) {
    const LaunchRecord record{CreationTime(info.hProcess), ::GetCurrentProcessId(), info.dwProcessId,
                              parameters.launched, false};
    started.record = WriteRecord(info.hProcess, info.dwProcessId, record, &error);
  }
  if (!started.mark || !started.record) {
    Discard(started);
    started.start.error = error;
  }
  return started;
}

void Discard(StartedProcess& started) {
  if (started.job) ::TerminateJobObject(started.job.get(), kKillExitCode);
  if (started.process) {
    ::TerminateProcess(started.process.get(), kKillExitCode);
    // Gone before its handles, mark and record are let go: nobody looking
    // meanwhile sees a process of this launcher that no entry holds. A
    // suspended process ends at once; the wait is only a bound.
    ::WaitForSingleObject(started.process.get(), kDiscardWaitMs);
  }
  started = StartedProcess{};
}

void LetRun(StartedProcess& started) {
  if (started.start.error != 0) return;
  // From now on the program outlives the launcher, as its job does: the job
  // lets go of kill-on-close and the record says so before the program runs
  // its first instruction, so a launcher that dies in between leaves a
  // program that either never ran or runs on, and is known for which.
  if (started.job) {
    if (!LimitJob(started.job.get(), false) && started.start.jobError == 0) {
      started.start.jobError = ::GetLastError();
    }
    HandJobTo(started.process.get(), started.job.get());
  }
  if (started.record) MarkRecordLetRun(started.record.get());
  ::ResumeThread(started.thread.get());
}

EndWatch::~EndWatch() {
  if (wait) ::UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
}

std::vector<ListedProcess> ListSessionProcesses(std::uint32_t* ownSession) {
  std::vector<ListedProcess> listed;
  DWORD session = 0;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) return listed;
  *ownSession = session;
  const ScopedSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return listed;
  PROCESSENTRY32W process{};
  process.dwSize = sizeof process;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &process); more;
       more = ::Process32NextW(snapshot.get(), &process)) {
    // A process whose session cannot be read is nobody's to end or take.
    if (!::ProcessIdToSessionId(process.th32ProcessID, &session)) continue;
    const std::size_t length = wcsnlen(process.szExeFile, sizeof process.szExeFile / sizeof(wchar_t));
    listed.push_back({process.th32ProcessID, session, Narrow({process.szExeFile, length}), process.th32ParentProcessID});
  }
  return listed;
}

const std::vector<ListedProcess>& SessionListing::Get(std::uint32_t* ownSession) {
  const std::uint64_t now = ::GetTickCount64();
  if (!taken_ || now - takenAt_ > kFreshMs) {
    listed_ = ListSessionProcesses(&session_);
    takenAt_ = now;
    taken_ = true;
  }
  *ownSession = session_;
  return listed_;
}

// ---------------------------------------------------------------------------
// ProcessTable.

void ProcessTable::CheckOwner() const {
#ifndef NDEBUG
  // The table is the window's thread's alone: the first thread to use it
  // owns it, and any other that does is a fault found here, not a race.
  const DWORD self = ::GetCurrentThreadId();
  if (owner_ == 0) owner_ = self;
  assert(owner_ == self && "the process table is used off its owner's thread");
#endif
}

ProcessTable::Slot& ProcessTable::SlotFor(std::size_t index) {
  CheckOwner();
  if (index >= slots_.size()) {
    const std::size_t old = slots_.size();
    slots_.resize(index + 1);
    for (std::size_t i = old; i < slots_.size(); ++i) slots_[i].startupInfo = ShowWindowStartupInfo();
  }
  return slots_[index];
}

const ProcessTable::Slot* ProcessTable::Find(std::size_t index) const {
  CheckOwner();
  return index < slots_.size() ? &slots_[index] : nullptr;
}

LaunchParameters ProcessTable::Parameters(std::size_t index, const LaunchEntry& entry) {
  // The list's GBK texts go to Windows as UTF-16, so a program in a Chinese
  // folder starts on every code page. An empty directory makes CreateProcess
  // fail on Windows; an entry without one runs in the launcher's directory.
  LaunchParameters parameters;
  parameters.program = Wide(entry.programPath);
  parameters.commandLine = Wide(entry.commandLine);
  parameters.directory = Wide(entry.runDirectory);
  parameters.startupInfo = SlotFor(index).startupInfo;
  return parameters;
}

ProcessStart ProcessTable::Create(std::size_t index, const LaunchEntry& entry, const ProcessIdentity& launched) {
  LaunchParameters parameters = Parameters(index, entry);
  parameters.launched = launched;
  StartedProcess started = CreateSuspended(parameters);
  LetRun(started);
  const ProcessStart start = started.start;
  Install(index, std::move(started));
  return start;
}

void ProcessTable::Install(std::size_t index, StartedProcess&& started) {
  if (started.start.error != 0) return;
  Slot& slot = SlotFor(index);
  slot.endWatch.reset();
  slot.process = std::move(started.process);
  slot.thread = std::move(started.thread);
  slot.job = std::move(started.job);
  slot.mark = std::move(started.mark);
  slot.record = std::move(started.record);
  slot.processId = started.processId;
  slot.threadId = started.threadId;
  slot.jobKey = started.processId;
  slot.launched = std::move(started.launched);
  slot.ending = false;
}

ProcessStart ProcessTable::Adopt(std::size_t index, const FoundProcess& found, const ProcessIdentity& launched) {
  ProcessStart start;
  const DWORD pid = found.pid;
  // The process seen at the look, and no other that has its id since.
  ScopedProcessHandle process = OpenToHold(pid);
  if (!process) {
    start.error = ::GetLastError();
    start.gone = start.error == ERROR_INVALID_PARAMETER;  // no process has that id any more
    return start;
  }
  if (::WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT || CreationTime(process.get()) != found.created) {
    start.error = ERROR_INVALID_PARAMETER;
    start.gone = true;
    return start;
  }
  DWORD holder = 0;
  ScopedKernelHandle mark = PutMark(pid, &holder);
  if (!mark) {
    start.otherLauncher = holder;
    start.error = holder != 0 ? ERROR_ALREADY_EXISTS : ::GetLastError();
    return start;
  }
  // Its own record tells which job is its; one taken by guess gets a record
  // now, so that the next launcher knows it for certain.
  const std::optional<LaunchRecord> own = ReadRecord(pid, found.created);
  const DWORD jobKey = own ? own->jobKey : pid;
  ScopedJob job = OpenOwnJob(process.get(), jobKey);
  if (!job) job = JoinNewJob(process.get(), jobKey, &start.jobError);
  ScopedKernelHandle record;
  if (!own) {
    DWORD error = 0;
    record = WriteRecord(process.get(), pid, {found.created, ::GetCurrentProcessId(), jobKey, launched}, &error);
  }
  Slot& slot = SlotFor(index);
  slot.endWatch.reset();
  slot.process = std::move(process);
  slot.thread.reset();
  slot.job = std::move(job);
  slot.mark = std::move(mark);
  slot.record = std::move(record);
  slot.processId = pid;
  slot.threadId = 0;
  slot.jobKey = jobKey;
  slot.launched = own ? own->launched : launched;
  slot.ending = false;
  return start;
}

ProcessStart ProcessTable::TakeSurvivor(std::size_t index, std::uint32_t pid) {
  ProcessStart start;
  Slot* slot = index < slots_.size() ? &slots_[index] : nullptr;
  ScopedProcessHandle process = OpenToHold(pid);
  BOOL inside = FALSE;
  if (slot == nullptr || !slot->job || !process || !::IsProcessInJob(process.get(), slot->job.get(), &inside) ||
      !inside || ::WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) {
    start.error = process ? ERROR_INVALID_PARAMETER : ::GetLastError();
    return start;
  }
  DWORD holder = 0;
  ScopedKernelHandle mark = PutMark(pid, &holder);
  if (!mark) {
    start.error = ERROR_ALREADY_EXISTS;
    start.otherLauncher = holder;
    return start;
  }
  DWORD error = 0;
  ScopedKernelHandle record =
      WriteRecord(process.get(), pid, {CreationTime(process.get()), ::GetCurrentProcessId(), slot->jobKey, slot->launched},
                  &error);
  // It holds its job now, as the ended process did, so the job keeps its
  // name for a later launcher.
  HANDLE inJob = nullptr;
  ::DuplicateHandle(::GetCurrentProcess(), slot->job.get(), process.get(), &inJob, SYNCHRONIZE, FALSE, 0);
  slot->endWatch.reset();
  slot->process = std::move(process);
  slot->thread.reset();
  slot->mark = std::move(mark);
  slot->record = std::move(record);
  slot->processId = pid;
  slot->threadId = 0;
  slot->ending = false;
  return start;
}

void ProcessTable::ReleaseMarks() {
  CheckOwner();
  for (Slot& slot : slots_) slot.mark.reset();
}

void ProcessTable::Move(std::size_t from, std::size_t to) {
  if (from >= slots_.size() || from == to) return;
  Slot moved = std::move(slots_[from]);
  moved.endWatch.reset();
  slots_[from] = Slot{};
  slots_[from].startupInfo = moved.startupInfo;
  Slot& target = SlotFor(to);
  moved.startupInfo = target.startupInfo;
  target.endWatch.reset();  // let go before the handle it waits on is closed
  target = std::move(moved);
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

void ProcessTable::Terminate(std::size_t index) {
  Slot* slot = index < slots_.size() ? &slots_[index] : nullptr;
  if (slot == nullptr || !slot->process) return;
  // The job ends the program with whatever it started; the process itself is
  // ended too, in case it is not in the job (or the job's end failed). Both
  // are asynchronous: the process runs on for a moment.
  if (slot->job) ::TerminateJobObject(slot->job.get(), kKillExitCode);
  ::TerminateProcess(slot->process.get(), kKillExitCode);
  slot->ending = true;
}

void ProcessTable::MarkEnding(std::size_t index) {
  if (index < slots_.size() && slots_[index].process) slots_[index].ending = true;
}

bool ProcessTable::IsEnding(std::size_t index) const {
  const Slot* slot = Find(index);
  return slot != nullptr && slot->ending && IsRunning(index);
}

namespace {

// The processes in `job` other than `leader` and console hosts, still running.
std::vector<std::uint32_t> LeftIn(HANDLE job, DWORD leader) {
  std::vector<std::uint32_t> left;
  // Room for a big tree; a bigger one is ended whole (more than one left).
  struct {
    JOBOBJECT_BASIC_PROCESS_ID_LIST list;
    ULONG_PTR more[255];
  } ids{};
  if (!::QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr) &&
      ::GetLastError() != ERROR_MORE_DATA) {
    return left;
  }
  const ULONG_PTR* pid = ids.list.ProcessIdList;
  for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; ++i) {
    if (pid[i] == leader) continue;
    const ScopedProcessHandle process(::OpenProcess(kLookAccess, FALSE, static_cast<DWORD>(pid[i])));
    if (process && (::WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT || IsConsoleHost(process.get()))) {
      continue;
    }
    left.push_back(static_cast<std::uint32_t>(pid[i]));
  }
  return left;
}

template <typename Scoped>
Scoped CopyOf(HANDLE handle) {
  HANDLE copy = nullptr;
  if (handle == nullptr || !::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, FALSE,
                                              DUPLICATE_SAME_ACCESS)) {
    return Scoped();
  }
  return Scoped(copy);
}

}  // namespace

std::vector<std::uint32_t> ProcessTable::LeftInJob(std::size_t index) const {
  const Slot* slot = Find(index);
  if (slot == nullptr || !slot->job) return {};
  return LeftIn(slot->job.get(), slot->processId);
}

ScopedProcessHandle ProcessTable::ProcessCopy(std::size_t index) const {
  const Slot* slot = Find(index);
  return CopyOf<ScopedProcessHandle>(slot == nullptr ? nullptr : slot->process.get());
}

ScopedJob ProcessTable::JobCopy(std::size_t index) const {
  const Slot* slot = Find(index);
  return CopyOf<ScopedJob>(slot == nullptr ? nullptr : slot->job.get());
}

void ProcessTable::EndJob(std::size_t index) const {
  const Slot* slot = Find(index);
  if (slot != nullptr && slot->job) ::TerminateJobObject(slot->job.get(), kKillExitCode);
}

HANDLE ProcessTable::ProcessHandle(std::size_t index) const {
  const Slot* slot = Find(index);
  return slot == nullptr ? nullptr : slot->process.get();
}

std::unordered_set<std::uint32_t> ProcessTable::HeldIds() const {
  std::unordered_set<std::uint32_t> ids;
  for (const Slot& slot : slots_) {
    if (slot.process) ids.insert(slot.processId);
  }
  return ids;
}

bool ProcessTable::InOwnTree(HANDLE process) const {
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (InTreeOf(i, process)) return true;
  }
  return false;
}

bool ProcessTable::InTreeOf(std::size_t index, HANDLE process) const {
  const Slot* slot = Find(index);
  BOOL inside = FALSE;
  return slot != nullptr && slot->job && ::IsProcessInJob(process, slot->job.get(), &inside) && inside;
}

bool ProcessTable::WatchEnd(std::size_t index, EndSink& sink) {
  Slot* slot = index < slots_.size() ? &slots_[index] : nullptr;
  if (slot == nullptr || !slot->process) return false;
  auto watch = std::make_unique<EndWatch>();
  watch->sink = &sink;
  watch->index = index;
  watch->pid = slot->processId;
  if (!::RegisterWaitForSingleObject(&watch->wait, slot->process.get(), &OnProcessEnded, watch.get(), INFINITE,
                                     WT_EXECUTEONLYONCE)) {
    watch->wait = nullptr;
    return false;
  }
  slot->endWatch = std::move(watch);
  return true;
}

ScopedProcessHandle ProcessTable::OpenProcessById(std::uint32_t processId) {
  return ScopedProcessHandle(::OpenProcess(kDumpAccess, FALSE, processId));
}


// ---------------------------------------------------------------------------
// The channel between the window's thread, the starting thread and the
// thread pool.

struct WindowsProcessHost::Arrival {
  ProcessNews news;
  StartedProcess started;  // kStarted: what the table installs
};

class WindowsProcessHost::Channel : public EndSink {
 public:
  struct Request {
    std::size_t index = 0;
    LaunchParameters parameters;
  };
  using Line = CreationLine<Request, StartedProcess>;
  using Creator = std::function<StartedProcess(LaunchParameters&)>;

  // The creator is shared with the workers, which may outlive the channel.
  Channel()
      : creator_(std::make_shared<Creator>(&CreateSuspended)),
        line_({[creator = creator_](Request& request) { return (*creator)(request.parameters); },
               [this](StartedProcess&& started, const Request& request) { Deliver(std::move(started), request); },
               [](StartedProcess&& started) { Discard(started); },
               [](std::function<void()> run) {
                 try {
                   // The line's state outlives the channel for a worker given
                   // up on at the end; a worker never touches the channel after it.
                   std::thread(std::move(run)).detach();
                   return true;
                 } catch (const std::system_error&) {
                   return false;
                 }
               }}) {}

  // Creations are made by `create` from now on (before the first is asked).
  void CreateWith(Creator create) { *creator_ = std::move(create); }

  // Whether a creation is being made or given up: its process may be
  // listed, with this launcher's mark, and no entry holds it yet.
  bool Making() { return line_.Busy(); }

  void PostTo(HWND window, UINT message) {
    std::lock_guard<std::mutex> lock(mutex_);
    window_ = window;
    message_ = message;
    if (!arrivals_.empty()) Ring();
  }

  // Without a worker to be had, the creation is made here, as it always was.
  void Ask(std::size_t index, LaunchParameters parameters) {
    if (!line_.Ask({index, std::move(parameters)})) line_.MakeHere();
  }

  // Up to `most` arrivals, oldest first; `more` says whether some are left,
  // which the window then comes back for unasked: nothing is posted for
  // them, so a backlog never crowds out the window's input.
  std::vector<Arrival> Take(std::size_t most, bool* more) {
    std::vector<Arrival> taken;
    std::lock_guard<std::mutex> lock(mutex_);
    for (; most > 0 && !arrivals_.empty(); --most) {
      if (arrivals_.front().news.kind == ProcessNews::Kind::kRead) readWaiting_ = false;
      taken.push_back(std::move(arrivals_.front()));
      arrivals_.pop_front();
    }
    *more = rung_ = !arrivals_.empty();
    return taken;
  }

  bool HasNews() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !arrivals_.empty();
  }

  // Drops the creations not begun and has those under way discarded; returns
  // every arrival, so whatever was let run is among them. (The line's lock,
  // then the channel's: a delivery takes them in that order too.)
  std::vector<Arrival> Cancel() {
    std::vector<Arrival> taken;
    line_.Cancel([&] {
      std::lock_guard<std::mutex> lock(mutex_);
      taken.assign(std::make_move_iterator(arrivals_.begin()), std::make_move_iterator(arrivals_.end()));
      arrivals_.clear();
      readWaiting_ = false;
      rung_ = false;  // the next news is posted again
    });
    return taken;
  }

  // Creations under way are waited for until `deadline`; whatever they
  // finish after that is discarded.
  void End(Line::Clock::time_point deadline) { line_.End(deadline); }

  // Creations slow beyond the line's limit, told once each.
  std::vector<ProcessNews> CheckSlow() {
    std::vector<ProcessNews> slow;
    for (const Line::Slow& s : line_.Check(Line::Clock::now())) {
      ProcessNews news;
      news.kind = ProcessNews::Kind::kSlow;
      news.entry = s.job.index;
      news.millis = static_cast<std::uint64_t>(s.taken.count());
      slow.push_back(news);
    }
    return slow;
  }

  // What a look asked of the disk has been read: one kRead waits at most.
  void Read() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (readWaiting_) return;
    readWaiting_ = true;
    Arrival read;
    read.news.kind = ProcessNews::Kind::kRead;
    arrivals_.push_back(std::move(read));
    Ring();
  }

  void ProcessEnded(std::size_t index, DWORD pid) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Arrival ended;
    ended.news.kind = ProcessNews::Kind::kEnded;
    ended.news.entry = index;
    ended.news.pid = pid;
    arrivals_.push_back(std::move(ended));
    Ring();
  }

 private:
  // Under the line's lock: a creation not cancelled is let run only now,
  // its news queued under the channel's lock, so a stop that cancels knows
  // every process that was started.
  void Deliver(StartedProcess&& started, const Request& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    LetRun(started);
    Arrival arrival;
    arrival.news.entry = request.index;
    arrival.news.pid = started.processId;
    arrival.news.start = started.start;
    arrival.started = std::move(started);
    arrivals_.push_back(std::move(arrival));
    Ring();
  }

  // Under the lock: the window hears of the news once until it takes some.
  void Ring() {
    if (rung_ || window_ == nullptr) return;
    rung_ = ::PostMessageW(window_, message_, 0, 0) != FALSE;
  }

  std::mutex mutex_;
  std::deque<Arrival> arrivals_;
  HWND window_ = nullptr;
  UINT message_ = 0;
  bool rung_ = false;  // posted (or left for the window to come back for), and not taken since
  bool readWaiting_ = false;  // a kRead is among the arrivals
  std::shared_ptr<Creator> creator_;
  Line line_;          // last: ended before the rest goes
};

// ---------------------------------------------------------------------------
// PathReader.

// What the disk says of one path: its file identity, its path form (for an
// image that cannot be opened), and the names the process list may give a
// program there.
struct PathFacts {
  std::string identity;
  std::string text;
  std::vector<std::wstring> names;
};

static PathFacts ReadPathFacts(const std::wstring& path) {
  PathFacts facts;
  facts.identity = FileIdentity(path);
  facts.text = PathText(path);
  // The process list shows the name of the file the image was mapped from:
  // the one a link leads to, or its short (8.3) name.
  const auto name = [](const std::wstring& full) {
    const std::size_t slash = full.find_last_of(L"\\/");
    return slash == std::wstring::npos ? full : full.substr(slash + 1);
  };
  facts.names.push_back(name(path));
  wchar_t buffer[MAX_PATH * 4];
  if (const DWORD n = ::GetShortPathNameW(path.c_str(), buffer, MAX_PATH * 4); n > 0 && n < MAX_PATH * 4) {
    facts.names.push_back(name({buffer, n}));
  }
  const ScopedKernelHandle opened(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
  if (opened) {
    const DWORD n = ::GetFinalPathNameByHandleW(opened.get(), buffer, MAX_PATH * 4, FILE_NAME_NORMALIZED);
    if (n > 0 && n < MAX_PATH * 4) facts.names.push_back(name({buffer, n}));
  }
  return facts;
}

// Each path is read by one callback of the system's thread pool
// (TrySubmitThreadpoolCallback, learn.microsoft.com/windows/win32/api/
// threadpoolapiset/nf-threadpoolapiset-trysubmitthreadpoolcallback), so a
// read stuck on a share that has gone away holds no other. A callback holds
// the reader, not the host: one still reading when the host goes finishes
// into the reader alone.
class WindowsProcessHost::PathReader : public std::enable_shared_from_this<PathReader> {
 public:
  // How long a read is believed: long enough for a plan's start to read
  // each path once, short enough that a program replaced on the disk is
  // seen as the new file soon after.
  static constexpr ULONGLONG kFreshMs = 30000;

  explicit PathReader(Channel* told) : told_(told) {}

  // The facts of `path` read within kFreshMs; otherwise none, and a read is
  // asked for (once while it runs), whose end the channel is told of.
  std::optional<PathFacts> Fresh(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    Known& known = known_[path];
    if (known.readAt != 0 && ::GetTickCount64() - known.readAt <= kFreshMs) return known.facts;
    if (!known.reading) {
      // One the pool refuses is asked for again at the next look.
      auto job = std::make_unique<Job>(Job{shared_from_this(), path});
      known.reading = ::TrySubmitThreadpoolCallback(&Run, job.get(), nullptr) != FALSE;
      if (known.reading) {
        job.release();
        ++reading_;
      }
    }
    return std::nullopt;
  }

  // Whether a read is under way.
  bool Reading() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reading_ > 0;
  }

  // From now on no channel is told (the host is going).
  void Quiet() {
    std::lock_guard<std::mutex> lock(mutex_);
    told_ = nullptr;
  }

 private:
  struct Known {
    PathFacts facts;
    ULONGLONG readAt = 0;  // 0: never read
    bool reading = false;
  };
  struct Job {
    std::shared_ptr<PathReader> reader;
    std::wstring path;
  };

  static void CALLBACK Run(PTP_CALLBACK_INSTANCE, void* context) {
    const std::unique_ptr<Job> job(static_cast<Job*>(context));
    PathFacts facts = ReadPathFacts(job->path);
    PathReader& reader = *job->reader;
    // The reader's lock, then the channel's: the window never takes them
    // the other way round.
    std::lock_guard<std::mutex> lock(reader.mutex_);
    Known& known = reader.known_[job->path];
    known.facts = std::move(facts);
    known.readAt = std::max<ULONGLONG>(::GetTickCount64(), 1);
    known.reading = false;
    --reader.reading_;
    if (reader.told_ != nullptr) reader.told_->Read();
  }

  std::mutex mutex_;
  std::unordered_map<std::wstring, Known> known_;
  std::size_t reading_ = 0;
  Channel* told_;
};

// ---------------------------------------------------------------------------
// WindowsProcessHost.

WindowsProcessHost::WindowsProcessHost(const Catalogue& catalogue)
    : catalogue_(catalogue),
      channel_(std::make_unique<Channel>()),
      reader_(std::make_shared<PathReader>(channel_.get())),
      earlierChildren_(ChildrenOfAnEarlierSelf()),
      askWork_(std::make_shared<AskWork>()) {}

WindowsProcessHost::~WindowsProcessHost() {
  reader_->Quiet();
  if (!startsEnded_) channel_->End(std::chrono::steady_clock::now() + kEndStartsWait);
}

void WindowsProcessHost::EndStarts(std::chrono::steady_clock::time_point deadline) {
  if (startsEnded_) return;
  startsEnded_ = true;
  channel_->End(deadline);
}

std::vector<ProcessNews> WindowsProcessHost::CheckStarts() { return channel_->CheckSlow(); }

bool WindowsProcessHost::HasNews() const { return channel_->HasNews(); }

bool WindowsProcessHost::Reading() const { return reader_->Reading(); }

void WindowsProcessHost::CreateWith(std::function<StartedProcess(LaunchParameters&)> create) {
  channel_->CreateWith(std::move(create));
}

void WindowsProcessHost::PostNewsTo(HWND window, UINT message) { channel_->PostTo(window, message); }

void WindowsProcessHost::SetDumpFolder(const std::wstring& folder, std::shared_ptr<FileWriter> files) {
  dumps_ = folder.empty() ? nullptr : std::make_unique<DumpWriter>(folder, std::move(files));
}

void WindowsProcessHost::StartEntryProcess(std::size_t entry) {
  LaunchParameters parameters = table_.Parameters(entry, *catalogue_.m_entries[entry]);
  // Its file and folder are read by the starting thread.
  parameters.launched.commandLine = catalogue_.m_entries[entry]->commandLine;
  ++startsOut_;
  channel_->Ask(entry, std::move(parameters));
}

std::vector<ProcessNews> WindowsProcessHost::TakeNews(std::size_t most) {
  std::vector<Arrival> arrivals = channel_->Take(most, &moreNews_);
  return Receive(arrivals);
}

std::vector<ProcessNews> WindowsProcessHost::CancelStarts() {
  std::vector<Arrival> arrivals = channel_->Cancel();
  std::vector<ProcessNews> told = Receive(arrivals);
  startsOut_ = 0;  // what was dropped is never reported
  return told;
}

std::vector<ProcessNews> WindowsProcessHost::Receive(std::vector<Arrival>& arrivals) {
  std::vector<ProcessNews> told;
  for (Arrival& arrival : arrivals) {
    ProcessNews& news = arrival.news;
    if (news.kind == ProcessNews::Kind::kRead) {
      told.push_back(news);
      continue;
    }
    if (news.kind == ProcessNews::Kind::kStarted) {
      if (startsOut_ > 0) --startsOut_;
      table_.Install(news.entry, std::move(arrival.started));
      // Without a wait the runner asks about the end on every tick.
      if (news.start.error == 0) news.start.endTold = table_.WatchEnd(news.entry, *channel_);
    } else if (table_.ProcessId(news.entry) != news.pid) {
      continue;  // the end of a process the entry no longer holds
    }
    told.push_back(news);
  }
  return told;
}

std::optional<ProcessIdentity> WindowsProcessHost::EntryIdentity(std::size_t entry) {
  const LaunchEntry& e = *catalogue_.m_entries[entry];
  // Relative names resolve as process creation resolves them: the program
  // against the launcher's directory, which is also where an entry without
  // a directory runs.
  const std::optional<PathFacts> file = reader_->Fresh(Wide(e.programPath));
  const std::optional<PathFacts> directory =
      reader_->Fresh(e.runDirectory.empty() ? CurrentDirectory() : Wide(e.runDirectory));
  if (!file || !directory) return std::nullopt;
  ProcessIdentity identity;
  identity.file = file->identity;
  identity.directory = directory->identity;
  identity.commandLine = e.commandLine;
  identity.path = file->text;
  RowFile& row = rowFiles_[identity.file];
  row.text = file->text;
  row.names = file->names;
  return identity;
}

struct StopAsk {
  // Set before the ask is handed to the pool, then only read.
  DWORD target = 0;
  ScopedProcessHandle process;  // its id stays the program's while this is open
  ScopedJob job;                // its tree, when it has one
  std::mutex lock;
  // Under `lock`: whether its Ctrl-C helper has said (or could not be
  // started) and whether the keystroke went out; whether its windows have
  // been looked at and one was told to close.
  bool helperSaid = false;
  bool ctrlC = false;
  bool windowsTried = false;
  bool windows = false;
};

// The asks still to be made, and how many callbacks of the pool are at
// them: a few run the Ctrl-C helpers, one closes the windows.
struct AskWork {
  std::mutex lock;
  std::deque<std::shared_ptr<StopAsk>> helpers;
  int senders = 0;
  std::vector<std::shared_ptr<StopAsk>> windows;
  bool closing = false;
};

namespace {

// At most this many helpers run at once, each for up to kAsksPerHelper of
// the asks waiting when it is started. A helper attaches to its programs'
// consoles one after another, tens of milliseconds each under load, so a
// few side by side reach hundreds of programs in a second or two, with a
// process creation per sixteen programs rather than per program.
constexpr int kSenders = 4;
constexpr std::size_t kAsksPerHelper = 16;
static_assert(kAsksPerHelper <= static_cast<std::size_t>(kCtrlCTargetsPerHelper));
// A helper is given this long for its programs (a second or two under
// load); one still at them then (an attach that never returns) is ended,
// its programs not told of count as not reached, and its place goes to the
// next asks.
constexpr ULONGLONG kHelperLimitMs = 10000;

using ShownWindows = std::unordered_map<DWORD, std::vector<HWND>>;

BOOL CALLBACK ListIfShown(HWND window, LPARAM parameter) {
  auto& byPid = *reinterpret_cast<ShownWindows*>(parameter);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(window, &pid);
  if (pid != 0 && ::IsWindowVisible(window) && ::GetWindow(window, GW_OWNER) == nullptr) byPid[pid].push_back(window);
  return TRUE;
}

// Posts WM_CLOSE to every window `shown` lists for the program of `ask` or
// another process of its job; true when there was one. Posted, never sent:
// a program that does not answer cannot hold anyone up.
bool CloseWindows(const StopAsk& ask, const ShownWindows& shown) {
  std::vector<std::uint32_t> tree = ask.job ? LeftIn(ask.job.get(), ask.target) : std::vector<std::uint32_t>{};
  if (ask.process && ::WaitForSingleObject(ask.process.get(), 0) == WAIT_TIMEOUT) tree.push_back(ask.target);
  bool posted = false;
  for (const std::uint32_t pid : tree) {
    const auto it = shown.find(pid);
    if (it == shown.end()) continue;
    for (const HWND window : it->second) posted = ::PostMessageW(window, WM_CLOSE, 0, 0) != FALSE || posted;
  }
  return posted;
}

// Until no ask waits: takes the waiting asks, lists the visible top-level
// windows once (a listing takes 0.2 s and more under Wine with many
// programs), and closes each ask's. An ask made during a listing waits for
// the next, so no program is looked for in a listing older than its ask.
void CloseWindowsOfAsks(AskWork& work) {
  for (;;) {
    std::vector<std::shared_ptr<StopAsk>> asks;
    {
      std::lock_guard<std::mutex> lock(work.lock);
      asks.swap(work.windows);
      if (asks.empty()) {
        work.closing = false;
        return;
      }
    }
    ShownWindows shown;
    ::EnumWindows(&ListIfShown, reinterpret_cast<LPARAM>(&shown));
    for (const std::shared_ptr<StopAsk>& ask : asks) {
      const bool posted = CloseWindows(*ask, shown);
      std::lock_guard<std::mutex> lock(ask->lock);
      ask->windows = posted;
      ask->windowsTried = true;
    }
  }
}

// Starts the short-lived helper that sends Ctrl-C to the consoles of
// `asks`' programs ("/ctrl-c PID [PID...]"): morvastelctrlc.exe beside the
// launcher, which needs the kernel alone, or the launcher's own program
// where that is missing. It has no console of its own (DETACHED_PROCESS),
// so it can attach to each program's alone, and the launcher's never gets
// the keystroke. Its standard output is `out` and nothing else of the
// launcher's is handed to it (PROC_THREAD_ATTRIBUTE_HANDLE_LIST).
ScopedProcessHandle StartCtrlCHelper(const std::vector<std::shared_ptr<StopAsk>>& asks, HANDLE out) {
  const std::wstring self = OwnProgramPath();
  if (self.empty()) return {};
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> space(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(space.data());
  if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return {};
  ScopedProcessHandle started;
  if (::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &out, sizeof out, nullptr,
                                  nullptr)) {
    std::wstring pids;
    for (const std::shared_ptr<StopAsk>& ask : asks) pids += L" " + std::to_wstring(ask->target);
    const std::wstring helper = self.substr(0, self.find_last_of(L"\\/") + 1) + L"morvastelctrlc.exe";
    for (const std::wstring& program : {helper, self}) {
      std::wstring line = L"\"" + program + L"\" /ctrl-c" + pids;
      STARTUPINFOEXW startup{};
      startup.StartupInfo.cb = sizeof startup;
      startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
      startup.StartupInfo.hStdOutput = out;
      startup.lpAttributeList = attributes;
      PROCESS_INFORMATION info{};
      if (::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                           DETACHED_PROCESS | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                           &startup.StartupInfo, &info)) {
        ::CloseHandle(info.hThread);
        started.reset(info.hProcess);
        break;
      }
    }
  }
  ::DeleteProcThreadAttributeList(attributes);
  return started;
}

// Sends Ctrl-C to the programs of `asks` by one helper and marks each as
// its outcome arrives; those it never tells of (it could not be started,
// ended early or ran out of time) count as not reached. The pipe is only
// read for what it holds, so a helper that stops answering holds no one
// past its limit.
void SendCtrlCs(const std::vector<std::shared_ptr<StopAsk>>& asks) {
  std::size_t told = 0;
  const auto tell = [&](bool sent) {
    std::lock_guard<std::mutex> lock(asks[told]->lock);
    asks[told]->ctrlC = sent;
    asks[told]->helperSaid = true;
    ++told;
  };
  HANDLE read = nullptr, write = nullptr;
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  if (::CreatePipe(&read, &write, &inherited, 0)) {
    const ScopedKernelHandle reading(read);
    ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    ScopedKernelHandle writing(write);
    const ScopedProcessHandle helper = StartCtrlCHelper(asks, write);
    writing.reset();
    const ULONGLONG until = ::GetTickCount64() + kHelperLimitMs;
    while (helper && told < asks.size()) {
      // Its end first, then what it wrote: nothing written before the end is missed.
      const bool ended = ::WaitForSingleObject(helper.get(), 20) != WAIT_TIMEOUT;
      char outcomes[kCtrlCTargetsPerHelper];
      DWORD ready = 0, got = 0;
      while (told < asks.size() && ::PeekNamedPipe(read, nullptr, 0, nullptr, &ready, nullptr) && ready > 0 &&
             ::ReadFile(read, outcomes, std::min<DWORD>(ready, sizeof outcomes), &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got && told < asks.size(); ++i) tell(outcomes[i] == kCtrlCSent);
      }
      if (ended) break;
      if (::GetTickCount64() >= until) {
        ::TerminateProcess(helper.get(), kKillExitCode);
        break;
      }
    }
  }
  while (told < asks.size()) tell(false);
}

// Until no ask waits for its Ctrl-C: takes the oldest waiting, as many as
// one helper is given, and sends them theirs.
void SendWaitingCtrlCs(AskWork& work) {
  for (;;) {
    std::vector<std::shared_ptr<StopAsk>> asks;
    {
      std::lock_guard<std::mutex> lock(work.lock);
      if (work.helpers.empty()) {
        --work.senders;
        return;
      }
      while (!work.helpers.empty() && asks.size() < kAsksPerHelper) {
        asks.push_back(std::move(work.helpers.front()));
        work.helpers.pop_front();
      }
    }
    SendCtrlCs(asks);
  }
}

// Runs `job` by a callback of the system's thread pool, or here where the
// pool refuses it, as the one way left. The callback holds the work, not
// the host.
struct AskJob {
  std::shared_ptr<AskWork> work;
  void (*job)(AskWork&);
};

void CALLBACK RunAskJob(PTP_CALLBACK_INSTANCE, void* parameter) {
  const std::unique_ptr<AskJob> held(static_cast<AskJob*>(parameter));
  held->job(*held->work);
}

void OnThePool(const std::shared_ptr<AskWork>& work, void (*job)(AskWork&)) {
  auto context = std::make_unique<AskJob>(AskJob{work, job});
  if (::TrySubmitThreadpoolCallback(&RunAskJob, context.get(), nullptr)) {
    context.release();
  } else {
    job(*work);
  }
}

}  // namespace

void WindowsProcessHost::AskToClose(std::size_t entry) {
  // Its stop has seen it running: one look fewer per program. One that has
  // ended since is asked in vain, as it would be a moment later: its helper
  // finds no console, and the table's handle (and the ask's copies) keep
  // its id from being reused meanwhile.
  const std::uint32_t pid = table_.ProcessId(entry);
  if (pid == 0) return;
  auto ask = std::make_shared<StopAsk>();
  ask->target = pid;
  ask->process = table_.ProcessCopy(entry);
  ask->job = table_.JobCopy(entry);
  asks_[entry] = ask;
  bool sender = false, closer = false;
  {
    std::lock_guard<std::mutex> lock(askWork_->lock);
    askWork_->helpers.push_back(ask);
    askWork_->windows.push_back(ask);
    sender = askWork_->senders < kSenders;
    if (sender) ++askWork_->senders;
    closer = !askWork_->closing;
    askWork_->closing = true;
  }
  if (sender) OnThePool(askWork_, &SendWaitingCtrlCs);
  if (closer) OnThePool(askWork_, &CloseWindowsOfAsks);
  table_.MarkEnding(entry);
}

std::uint32_t WindowsProcessHost::AskedHow(std::size_t entry) {
  const auto it = asks_.find(entry);
  if (it == asks_.end()) return 0;
  StopAsk& ask = *it->second;
  std::uint32_t how = 0;
  {
    std::lock_guard<std::mutex> lock(ask.lock);
    // A helper not done with it yet has not said whether its Ctrl-C went
    // out; windows not looked at yet, whether any was told.
    if (ask.ctrlC) how |= kAskedCtrlC;
    if (ask.windows) how |= kAskedWindow;
    if (!ask.helperSaid || !ask.windowsTried) return how | kAskPending;
  }
  asks_.erase(it);
  return how;
}

std::optional<std::vector<FoundProcess>> WindowsProcessHost::FindRunning(const ProcessIdentity& row) {
  std::vector<FoundProcess> found;
  bool reading = false;  // a candidate's image or folder is being read
  const RowFile& file = rowFiles_[row.file];
  std::uint32_t session = 0;
  const std::vector<ListedProcess>& listed = listing_.Get(&session);
  const std::unordered_set<std::uint32_t> held = table_.HeldIds();
  const DWORD self = ::GetCurrentProcessId();
  for (const ListedProcess& listedProcess : listed) {
    const std::uint32_t pid = listedProcess.id;
    if (listedProcess.session != session || pid == self || held.count(pid) != 0) continue;
    const std::wstring exeName = Wide(listedProcess.exeName);
    bool named = exeName.find(L'~') != std::wstring::npos;  // a short name of some file
    for (const std::wstring& name : file.names) named = named || SameFileName(exeName, name);
    // A process whose name is none of the row's is looked at only when it
    // carries a record (a loader's server taken over for its row): a look
    // at its record costs no opening of the process.
    ScopedProcessHandle process;
    std::optional<LaunchRecord> record;
    if (!named) {
      const ScopedKernelHandle section(
          ::OpenFileMappingW(FILE_MAP_READ, FALSE, (L"Local\\Morvastel-record-" + std::to_wstring(pid)).c_str()));
      if (!section) continue;
    }
    process.reset(::OpenProcess(kPeekAccess | SYNCHRONIZE, FALSE, pid));
    if (!process) process.reset(::OpenProcess(kLookAccess, FALSE, pid));
    if (!process || ::WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) continue;
    // Not held, yet this launcher's: being created (its news not taken yet)
    // or given up after a stop.
    const std::uint64_t created = CreationTime(process.get());
    if ((startsOut_ > 0 || channel_->Making()) && listedProcess.parent == self && created != 0 &&
        std::find(earlierChildren_.begin(), earlierChildren_.end(), std::make_pair(pid, created)) ==
            earlierChildren_.end()) {
      continue;
    }
    if (table_.InOwnTree(process.get())) continue;
    FoundProcess candidate;
    candidate.pid = pid;
    candidate.created = created;
    record = ReadRecord(pid, candidate.created);
    // Created suspended by a launcher that died before it let it run, with
    // no job to end it then: it never ran, and is ended rather than taken.
    if (record && !record->letRun && MarkHolder(pid) == 0) {
      if (const ScopedProcessHandle unrun{::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)};
          unrun && CreationTime(unrun.get()) == candidate.created) {
        ::TerminateProcess(unrun.get(), kKillExitCode);
      }
      continue;
    }
    if (record) {
      candidate.recorded = true;
      candidate.launched = record->launched;
    }
    const PeekedProcess peeked = PeekProcess(process.get());
    // The image by its file identity, or by its path where it cannot be opened.
    std::string image;
    if (!peeked.image.empty()) {
      const std::optional<PathFacts> facts = reader_->Fresh(peeked.image);
      if (!facts) {
        reading = true;
        continue;
      }
      image = facts->identity;
    }
    if (!image.empty() && image.front() != '#' && image == file.text) image = row.file;
    // Its record names the row's file, or the row's path where the file has
    // been replaced since (the claim tells which).
    if (image != row.file && !(record && (record->launched.file == row.file ||
                                          (!record->launched.path.empty() && record->launched.path == file.text)))) {
      continue;
    }
    candidate.identity.file = image.empty() ? row.file : image;
    candidate.identity.commandLineKnown = peeked.commandLineKnown;
    if (peeked.commandLineKnown) candidate.identity.commandLine = Narrow(peeked.commandLine);
    if (peeked.directoryKnown) {
      const std::optional<PathFacts> facts = reader_->Fresh(peeked.directory);
      if (!facts) {
        reading = true;
        continue;
      }
      candidate.identity.directory = facts->identity;
    }
    candidate.otherLauncher = MarkHolder(pid);
    found.push_back(std::move(candidate));
  }
  if (reading) return std::nullopt;
  return found;
}

ProcessStart WindowsProcessHost::AdoptProcess(std::size_t entry, const FoundProcess& found, const ProcessIdentity& row) {
  ProcessStart start = table_.Adopt(entry, found, row);
  if (start.error == 0) start.endTold = table_.WatchEnd(entry, *channel_);
  return start;
}

ProcessStart WindowsProcessHost::TakeSurvivor(std::size_t entry, std::uint32_t pid) {
  ProcessStart start = table_.TakeSurvivor(entry, pid);
  if (start.error == 0) start.endTold = table_.WatchEnd(entry, *channel_);
  return start;
}

void WindowsProcessHost::MoveProcess(std::size_t from, std::size_t to) {
  table_.Move(from, to);
  table_.WatchEnd(to, *channel_);
}

std::string WindowsProcessHost::DescribeError(std::uint32_t error) { return SystemErrorText(error); }

std::uint32_t WindowsProcessHost::TerminateErrorReporter(std::uint32_t hungPid) {
  std::uint32_t session = 0;
  const std::vector<ListedProcess> listed = ListSessionProcesses(&session);
  // Each is opened once, at the look, and ended through that handle: an id
  // handed to another process meanwhile never gets that process ended.
  std::vector<ErrorReporter> reporters;
  std::vector<ScopedProcessHandle> handles;
  for (const std::uint32_t pid : SessionProcessesNamed(listed, kErrorReportingProgram, session)) {
    ErrorReporter reporter;
    reporter.pid = pid;
    ScopedProcessHandle process(::OpenProcess(kPeekAccess | PROCESS_TERMINATE, FALSE, pid));
    if (!process) process.reset(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, pid));
    if (process) {
      const PeekedProcess peeked = PeekProcess(process.get());
      reporter.commandLineKnown = peeked.commandLineKnown;
      reporter.commandLine = Narrow(peeked.commandLine);
    }
    reporters.push_back(std::move(reporter));
    handles.push_back(std::move(process));
  }
  // One that cannot be opened to be ended does not shield the next choice.
  while (const std::uint32_t chosen = ChooseErrorReporter(reporters, hungPid)) {
    for (std::size_t i = 0; i < reporters.size(); ++i) {
      if (reporters[i].pid != chosen) continue;
      if (handles[i] && ::TerminateProcess(handles[i].get(), kKillExitCode)) return chosen;
      reporters.erase(reporters.begin() + static_cast<std::ptrdiff_t>(i));
      handles.erase(handles.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  return 0;
}

bool WindowsProcessHost::EntryTreeHolds(std::size_t entry, std::uint32_t pid) {
  // Windows asks IsProcessInJob for the limited right; Wine for the full one.
  ScopedProcessHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, pid));
  if (!process) process.reset(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
  return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT && table_.InTreeOf(entry, process.get());
}

DumpStart WindowsProcessHost::StartDump(std::size_t entry, std::uint32_t pid) {
  if (!dumps_) return {};
  // The entry's own process is held already; one of its tree is opened now,
  // with the rights a dump needs.
  if (pid == table_.ProcessId(entry)) {
    return dumps_->Start(entry, table_.ProcessHandle(entry), pid, catalogue_.m_entries[entry]->programPath);
  }
  const ScopedProcessHandle process = ProcessTable::OpenProcessById(pid);
  if (!process) {
    const DWORD error = ::GetLastError();
    return {false, error, SystemErrorText(error)};
  }
  const std::wstring image = PeekProcess(process.get()).image;
  return dumps_->Start(entry, process.get(), pid,
                       image.empty() ? catalogue_.m_entries[entry]->programPath : Narrow(image));
}

DumpOutcome WindowsProcessHost::PollDump(std::size_t entry) { return dumps_ ? dumps_->Poll(entry) : DumpOutcome{}; }

void WindowsProcessHost::AbandonDump(std::size_t entry) {
  if (dumps_) dumps_->Abandon(entry);
}
