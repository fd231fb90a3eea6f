#pragma once
// The Windows side of the plan runner, one host: the process table (each
// entry's latest process with its handles, its job and the mark that tells
// other launchers it is supervised), taking over processes already running,
// ending whole trees, the error reporter, and the minidumps of hung programs.
//
// Threads: every call comes from the window's thread, which owns the table;
// no other thread reads or writes it, and it never waits on the disk.
// Three kinds of threads work for it and meet it only in the host's channel
// (and the path reader), each under its one lock, held just long enough to
// move an item in or out:
// - a starting thread makes the creations the window asks for, one at a
//   time in the order asked, and hands each new process, handles and all,
//   back through the channel (CreationLine). One stuck in a creation for
//   more than 2 s while others wait finishes that one alone and ends; a
//   fresh starting thread takes the rest. At the end they are given until
//   the end's deadline, then abandoned: what they finish is discarded;
// - the system thread pool waits on every held process handle and puts the
//   process's end into the channel;
// - the system thread pool reads what the looks need of the disk (a row's
//   program and folder, a running process's image and folder: their file
//   identities and names), one path per callback, so a path on a share
//   that has gone away holds only the rows that need it. The reads are kept
//   for 30 s, so a plan's start reads each path once; until a path is read
//   the rows that need it wait, and the channel's kRead news wakes them.
// A message posted to the window says the channel has news; the window takes
// it in short steps, coming back by a timer for the rest, brings the table up
// to date and hands it to the runner. A new process is let run only under the
// channel's lock, with its news already queued, so a stop that cancels the
// creations and takes the news under that lock knows every process that was
// started: none starts after it.
// docs/threads.md maps every thread of the launcher.
// Dumps are written by one worker thread of the DumpWriter, one at a time,
// each on a duplicated handle: the window's thread queues a dump and polls
// its outcome, which the worker hands back under the writer's lock.
#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalogue/catalogue.h"
#include "platform/awake_clock.h"
#include "platform/scoped.h"
#include "runner/dump_writer.h"
#include "runner/launch_record_win.h"
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

// What creating an entry's program takes, copied, so that any thread can
// make the creation.
struct LaunchParameters {
  std::wstring program;
  std::wstring commandLine;  // written into by the creation
  std::wstring directory;
  STARTUPINFOW startupInfo{};
  ProcessIdentity launched;  // what the launch record says
};

// A process just created, with everything the table keeps of it.
struct StartedProcess {
  ProcessStart start;        // error: the creation failed and nothing else is set
  ScopedProcessHandle process;
  ScopedThreadHandle thread;
  ScopedJob job;
  ScopedKernelHandle mark;
  ScopedKernelHandle record;
  DWORD processId = 0;
  DWORD threadId = 0;
  ProcessIdentity launched;  // what its record says
};

// Creates the program suspended, at normal priority, outside the launcher's
// own job where that allows it, in a job of its own, with this launcher's
// mark and its launch record: it runs nothing until its thread is resumed.
// A mark or record already there fails the creation (ERROR_ALREADY_EXISTS)
// and the process is ended unrun. Touches no table.
StartedProcess CreateSuspended(LaunchParameters& parameters);
// Ends a process CreateSuspended made that is not to run after all.
void Discard(StartedProcess& started);
// Lets a process CreateSuspended made run; from then on it outlives the
// launcher. Until then it ends with the launcher.
void LetRun(StartedProcess& started);

// Told on a thread-pool thread that a process a table holds has ended; it
// must only pass the news on.
class EndSink {
 public:
  virtual void ProcessEnded(std::size_t index, DWORD pid) = 0;

 protected:
  ~EndSink() = default;
};

// A thread-pool wait on a held process handle, for EndSink.
struct EndWatch {
  EndSink* sink = nullptr;
  std::size_t index = 0;
  DWORD pid = 0;
  HANDLE wait = nullptr;
  // Lets the wait go, waiting for a callback under way: the handle waited
  // on may be closed afterwards.
  ~EndWatch();
};

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

  // What starting entry `index`'s program takes: application name
  // programPath, a writable copy of commandLine, runDirectory as the working
  // directory (the launcher's own when it is empty), the entry's start-up
  // information. No handles are inherited; the launcher's environment is used.
  LaunchParameters Parameters(std::size_t index, const LaunchEntry& entry);
  // Starts entry `index`'s program here and now (CreateSuspended, resumed)
  // and installs it.
  ProcessStart Create(std::size_t index, const LaunchEntry& entry, const ProcessIdentity& launched = {});
  // The new process becomes the entry's latest; the replaced handles are
  // closed. An entry whose creation failed keeps what it had.
  void Install(std::size_t index, StartedProcess&& started);
  // Takes process `found` as entry `index`'s latest, with its job if it has
  // one of ours (else a new job, which reaches what it starts from now on),
  // and gives it a record of `launched` if it has none. Refused when another
  // launcher's mark is on it, or it cannot be opened; gone when it has
  // ended or its id belongs to another process since the look.
  ProcessStart Adopt(std::size_t index, const FoundProcess& found, const ProcessIdentity& launched);
  // Takes `pid`, left in the job of the entry's ended process, as its latest
  // process, in the same job, with a mark and the ended process's record.
  ProcessStart TakeSurvivor(std::size_t index, std::uint32_t pid);
  // Gives entry `from`'s process, handles, job and mark to entry `to`.
  void Move(std::size_t from, std::size_t to);
  // False when the entry has no process (id 0) or its latest process ended.
  bool IsRunning(std::size_t index) const;
  // The latest process's id, 0 when the entry never started one.
  std::uint32_t ProcessId(std::size_t index) const;
  // The latest process's exit code (STILL_ACTIVE while it runs), 0 when the
  // entry has none.
  std::uint32_t ExitCode(std::size_t index) const;
  // Ends the latest process and its job's other processes with exit code
  // 111 if a handle is held. The handles stay open: the process may already
  // be gone, and it is harmless to terminate it again. It is ending until
  // its handle is signalled.
  void Terminate(std::size_t index);
  // A stop asked the latest process to close: it is ending from now on, as
  // a terminated one is, until it has.
  void MarkEnding(std::size_t index);
  bool IsEnding(std::size_t index) const;
  // The processes in the latest process's job other than itself and
  // console hosts, still running.
  std::vector<std::uint32_t> LeftInJob(std::size_t index) const;
  // Copies of the latest process's handle and of its job's (either empty
  // when the table has none), for a thread that must not use the table.
  ScopedProcessHandle ProcessCopy(std::size_t index) const;
  ScopedJob JobCopy(std::size_t index) const;
  // Ends whatever is in the latest process's job with 111.
  void EndJob(std::size_t index) const;
  // The held process handle (still owned by the table), or null.
  HANDLE ProcessHandle(std::size_t index) const;
  // The ids of the processes the table holds (ended ones included: their
  // ids are not handed out again while the table holds them).
  std::unordered_set<std::uint32_t> HeldIds() const;
  // Whether `process` belongs to the tree of one of the table's processes,
  // or of entry `index`'s alone.
  bool InOwnTree(HANDLE process) const;
  bool InTreeOf(std::size_t index, HANDLE process) const;
  // The launcher supervises none of the table's processes from now on (it
  // is ending): their marks go at once, before anything that may wait on a
  // disk, so that a successor can take them over even while this launcher
  // is still ending.
  void ReleaseMarks();
  // Tells `sink`, once, when the entry's latest process ends; false when no
  // wait could be had. The watch goes with the process: when it is
  // replaced, or the table is destroyed.
  bool WatchEnd(std::size_t index, EndSink& sink);

  // OpenProcess with what a minidump needs (query, read, duplicate), not
  // inheritable; empty on failure.
  static ScopedProcessHandle OpenProcessById(std::uint32_t processId);

 private:
  struct Slot {
    STARTUPINFOW startupInfo{};
    ScopedProcessHandle process;
    ScopedThreadHandle thread;
    ScopedJob job;                 // its tree; empty: it could not have one
    ScopedKernelHandle mark;       // "this launcher supervises it"
    ScopedKernelHandle record;     // the launch record, which the program holds too
    DWORD processId = 0;
    DWORD threadId = 0;
    DWORD jobKey = 0;              // the process id the job is named after
    ProcessIdentity launched;      // what its record says
    bool ending = false;           // terminated by this launcher
    std::unique_ptr<EndWatch> endWatch;  // after `process`: let go before it is closed
  };
  Slot& SlotFor(std::size_t index);
  const Slot* Find(std::size_t index) const;
  // Debug builds and tests: every use comes from the thread of the first.
  void CheckOwner() const;
  mutable DWORD owner_ = 0;

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
// entries, creations on the starting thread, the ends of held processes,
// the dumps (with /d), taking over, and the error reporter.
// One program's ask at a stop, and the asks still to be made: made by the
// system's thread pool (process_host_win).
struct StopAsk;
struct AskWork;

class WindowsProcessHost : public ProcessHost {
 public:
  explicit WindowsProcessHost(const Catalogue& catalogue);
  // Creations not begun are dropped; one under way is waited for (up to
  // kEndStartsWait, unless EndStarts gave a deadline before) and ended
  // before it runs. Programs already started keep running.
  ~WindowsProcessHost() override;
  static constexpr std::chrono::milliseconds kEndStartsWait{1000};
  // The launcher is ending: creations under way have until `deadline`
  // (once: later calls, and the destructor, do not wait again).
  void EndStarts(std::chrono::steady_clock::time_point deadline);
  // Whether news waits to be taken, whatever was posted for it.
  bool HasNews() const;
  // Whether a look's read of the disk is under way (its kRead news to come).
  bool Reading() const;
  // The starting threads create with `create` instead of CreateSuspended,
  // from now on: a seam for tests, set before the first creation is asked.
  void CreateWith(std::function<StartedProcess(LaunchParameters&)> create);
  // `message` is posted to `window` when news comes while none waits; news
  // a TakeNews leaves (MoreNews) is not announced again.
  void PostNewsTo(HWND window, UINT message);
  // Whether the last TakeNews left news waiting.
  bool MoreNews() const { return moreNews_; }
  // Creations asked for whose news has not been taken.
  std::size_t StartsOut() const { return startsOut_; }
  // Dumps of hung programs go to `folder` from now on ("" for none).
  // Their folder's upkeep goes to `files` (none: the dump worker's own).
  void SetDumpFolder(const std::wstring& folder, std::shared_ptr<FileWriter> files);
  // Waits a little for a dump whose program has been terminated.
  void EndDumps() { dumps_.reset(); }
  ProcessTable& table() { return table_; }

  void StartEntryProcess(std::size_t entry) override;
  std::vector<ProcessNews> TakeNews(std::size_t most) override;
  std::vector<ProcessNews> CheckStarts() override;
  std::vector<ProcessNews> CancelStarts() override;
  std::optional<ProcessIdentity> EntryIdentity(std::size_t entry) override;
  std::optional<std::vector<FoundProcess>> FindRunning(const ProcessIdentity& row) override;
  ProcessStart AdoptProcess(std::size_t entry, const FoundProcess& found, const ProcessIdentity& row) override;
  void MoveProcess(std::size_t from, std::size_t to) override;
  bool IsEntryEnding(std::size_t entry) override { return table_.IsEnding(entry); }
  std::vector<std::uint32_t> LeftInTree(std::size_t entry) override { return table_.LeftInJob(entry); }
  ProcessStart TakeSurvivor(std::size_t entry, std::uint32_t pid) override;
  void EndTree(std::size_t entry) override { table_.EndJob(entry); }
  std::string DescribeError(std::uint32_t error) override;
  bool IsEntryRunning(std::size_t entry) override { return table_.IsRunning(entry); }
  std::uint32_t EntryProcessId(std::size_t entry) override { return table_.ProcessId(entry); }
  std::uint32_t EntryExitCode(std::size_t entry) override { return table_.ExitCode(entry); }
  void TerminateEntry(std::size_t entry) override { table_.Terminate(entry); }
  void AskToClose(std::size_t entry) override;
  std::uint32_t AskedHow(std::size_t entry) override;
  bool EntryTreeHolds(std::size_t entry, std::uint32_t pid) override;
  std::uint32_t TerminateErrorReporter(std::uint32_t hungPid) override;
  std::uint64_t NowMilliseconds() override { return AwakeMilliseconds(); }
  DumpStart StartDump(std::size_t entry, std::uint32_t pid) override;
  DumpOutcome PollDump(std::size_t entry) override;
  void AbandonDump(std::size_t entry) override;

 private:
  class Channel;
  class PathReader;
  struct Arrival;
  // Installs the news taken from the channel; returns what the runner is to
  // hear (not the ends of processes the table no longer holds).
  std::vector<ProcessNews> Receive(std::vector<Arrival>& arrivals);

  // The names a row's file may have in the process list: as the list gives
  // it, its short name, and the name its links lead to.
  struct RowFile {
    std::vector<std::wstring> names;
    std::string text;  // its path form, for an image that cannot be opened
  };

  const Catalogue& catalogue_;
  std::unordered_map<std::string, RowFile> rowFiles_;  // by identity, from EntryIdentity
  std::unique_ptr<Channel> channel_;  // before the table: outlives its end watches
  std::shared_ptr<PathReader> reader_;  // what the looks need of the disk; tells the channel
  ProcessTable table_;
  SessionListing listing_;
  std::unique_ptr<DumpWriter> dumps_;
  // Listed with this launcher's id as creator, yet not the host's own.
  const std::vector<std::pair<std::uint32_t, std::uint64_t>> earlierChildren_;
  // The stop's asks under way, by entry. The Ctrl-C helpers are started by
  // a few callbacks of the pool, and the windows closed by one, which lists
  // the windows once for every ask made meanwhile: the window's thread never
  // waits on a creation, a listing of the windows or a job's tree.
  std::unordered_map<std::size_t, std::shared_ptr<StopAsk>> asks_;
  std::shared_ptr<AskWork> askWork_;
  std::size_t startsOut_ = 0;
  bool startsEnded_ = false;  // EndStarts has given them their deadline
  bool moreNews_ = false;
};

