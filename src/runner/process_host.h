#pragma once
// The Windows side of the plan runner, one host: the process table (each
// entry's latest process with its handles, its job and the mark that tells
// other launchers it is supervised), taking over processes already running,
// ending whole trees, the error reporter, and the minidumps of hung programs.
//
// Threads: every call comes from the window's thread, which owns the table.
// Dumps are written by one worker thread of the DumpWriter, one at a time,
// each on a duplicated handle: the window's thread queues a dump and polls
// its outcome, which the worker hands back under the writer's lock.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "catalogue/catalogue.h"
#include "platform/awake_clock.h"
#include "platform/scoped.h"
#include "runner/dump_writer.h"
#include "runner/plan_runner.h"

// One owner type per kind of kernel handle, so a thread handle can never be
// passed where a process handle is expected. Each closes its handle once.
struct ProcessHandleTraits : KernelHandleTraits {};
struct ThreadHandleTraits : KernelHandleTraits {};
struct SnapshotHandleTraits : KernelHandleTraits {};  // failure is INVALID_HANDLE_VALUE
struct JobHandleTraits : KernelHandleTraits {};
using ScopedProcessHandle = ScopedHandle<ProcessHandleTraits>;
using ScopedThreadHandle = ScopedHandle<ThreadHandleTraits>;
using ScopedSnapshot = ScopedHandle<SnapshotHandleTraits>;
using ScopedJob = ScopedHandle<JobHandleTraits>;

// Per catalogue entry index: the start-up information used for every launch
// of that entry and the handles and ids of its latest process. The table
// keeps one open handle to each entry's latest process for as long as the
// entry has no newer one, so stop and the hung-program kill can always reach
// it and Windows cannot hand its process id to another process meanwhile.
// Handles a relaunch replaces are closed then; the rest are closed when the
// table is destroyed. The programs themselves keep running.
//
// Each program runs in a job object of its own, named after its process id,
// so ending it ends whatever it started too. The job never ends its
// programs when the launcher ends: they outlive it, and the next launcher
// opens the job by its name when it takes the program over (the program
// holds a handle to its own job, which keeps the name while it runs). A
// named mark, held while the launcher supervises the program, tells other
// launchers whose it is.
class ProcessTable {
 public:
  ProcessTable() = default;
  ProcessTable(const ProcessTable&) = delete;
  ProcessTable& operator=(const ProcessTable&) = delete;

  // Starts entry `index`'s program: application name programPath, a writable
  // copy of commandLine, no inherited handles, the launcher's environment,
  // runDirectory as the working directory (the launcher's own when it is
  // empty), the entry's start-up information, normal priority; in a new job
  // before it runs a single instruction. The launcher's current directory is saved before
  // and restored after. On success the new process becomes the entry's
  // latest and the replaced handles are closed; on failure the entry keeps
  // what it had.
  ProcessStart Create(std::size_t index, const LaunchEntry& entry);
  // Takes process `pid` as entry `index`'s latest, with its job if it has
  // one of ours (else a new job, which reaches what it starts from now on).
  // Refused when another launcher's mark is on it, or it cannot be opened.
  ProcessStart Adopt(std::size_t index, std::uint32_t pid);
  // False when the entry has no process (id 0) or its latest process ended.
  bool IsRunning(std::size_t index) const;
  // The latest process's id, 0 when the entry never started one.
  std::uint32_t ProcessId(std::size_t index) const;
  // The latest process's exit code (STILL_ACTIVE while it runs), 0 when the
  // entry has none.
  std::uint32_t ExitCode(std::size_t index) const;
  // Ends the latest process and its job's other processes with exit code
  // 111 if a handle is held. The handles stay open: the process may already
  // be gone, and it is harmless to terminate it again.
  void Terminate(std::size_t index) const;
  // The held process handle (still owned by the table), or null.
  HANDLE ProcessHandle(std::size_t index) const;
  // The ids of the processes the table holds (ended ones included: their
  // ids are not handed out again while the table holds them).
  std::unordered_set<std::uint32_t> HeldIds() const;
  // Whether `process` belongs to the tree of one of the table's processes,
  // or of entry `index`'s alone.
  bool InOwnTree(HANDLE process) const;
  bool InTreeOf(std::size_t index, HANDLE process) const;

  // OpenProcess with access 0x1F0FFF, not inheritable; empty on failure.
  static ScopedProcessHandle OpenProcessById(std::uint32_t processId);

 private:
  struct Slot {
    STARTUPINFOW startupInfo{};
    ScopedProcessHandle process;
    ScopedThreadHandle thread;
    ScopedJob job;                 // its tree; empty: it could not have one
    ScopedKernelHandle mark;       // "this launcher supervises it"
    DWORD processId = 0;
    DWORD threadId = 0;
  };
  Slot& SlotFor(std::size_t index);
  const Slot* Find(std::size_t index) const;

  std::vector<Slot> slots_;
};

// The processes of the launcher's session, as the system lists them.
std::vector<ListedProcess> ListSessionProcesses(std::uint32_t* ownSession);

// One listing of the session's processes serves every look of one moment:
// the launches that fall due in one step of a 1000-row plan take one
// snapshot, not a thousand. A look more than `kFreshMs` after the listing
// lists again.
class SessionListing {
 public:
  static constexpr std::uint64_t kFreshMs = 250;
  const std::vector<ListedProcess>& Get(std::uint32_t* ownSession);

 private:
  std::vector<ListedProcess> listed_;
  std::uint32_t session_ = 0;
  std::uint64_t takenAt_ = 0;
  bool taken_ = false;
};

// The runner's ProcessHost on Windows: the table for the catalogue's
// entries, the dumps (with /d), taking over, and the error reporter.
class WindowsProcessHost : public ProcessHost {
 public:
  explicit WindowsProcessHost(const Catalogue& catalogue) : catalogue_(catalogue) {}
  // Dumps of hung programs go to `folder` from now on ("" for none).
  void SetDumpFolder(const std::wstring& folder);
  // Waits a little for a dump whose program has been terminated.
  void EndDumps() { dumps_.reset(); }
  ProcessTable& table() { return table_; }

  ProcessStart CreateEntryProcess(std::size_t entry) override;
  ProcessIdentity EntryIdentity(std::size_t entry) override;
  std::vector<FoundProcess> FindRunning(const ProcessIdentity& row) override;
  ProcessStart AdoptProcess(std::size_t entry, std::uint32_t pid) override;
  std::string DescribeError(std::uint32_t error) override;
  bool IsEntryRunning(std::size_t entry) override { return table_.IsRunning(entry); }
  std::uint32_t EntryProcessId(std::size_t entry) override { return table_.ProcessId(entry); }
  std::uint32_t EntryExitCode(std::size_t entry) override { return table_.ExitCode(entry); }
  void TerminateEntry(std::size_t entry) override { table_.Terminate(entry); }
  bool EntryTreeHolds(std::size_t entry, std::uint32_t pid) override;
  std::uint32_t TerminateErrorReporter(std::uint32_t hungPid) override;
  std::uint64_t NowMilliseconds() override { return AwakeMilliseconds(); }
  DumpStart StartDump(std::size_t entry, std::uint32_t pid) override;
  DumpOutcome PollDump(std::size_t entry) override;
  void AbandonDump(std::size_t entry) override;

 private:
  const Catalogue& catalogue_;
  ProcessTable table_;
  SessionListing listing_;
  std::unique_ptr<DumpWriter> dumps_;
};

// A path as the host compares paths: full, long names, without a trailing
// backslash (but for a drive's root), in upper case; GBK.
std::string ComparablePath(const std::wstring& path);
