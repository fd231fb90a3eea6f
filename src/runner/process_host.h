#pragma once
// The Windows side of the plan runner: creating the programs of catalogue
// entries, asking whether they still run, terminating them, and finding a
// process by its file name.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "catalogue/catalogue.h"
#include "platform/scoped.h"

// One owner type per kind of kernel handle, so a thread handle can never be
// passed where a process handle is expected. Each closes its handle once.
struct ProcessHandleTraits : KernelHandleTraits {};
struct ThreadHandleTraits : KernelHandleTraits {};
struct SnapshotHandleTraits : KernelHandleTraits {};  // failure is INVALID_HANDLE_VALUE
using ScopedProcessHandle = ScopedHandle<ProcessHandleTraits>;
using ScopedThreadHandle = ScopedHandle<ThreadHandleTraits>;
using ScopedSnapshot = ScopedHandle<SnapshotHandleTraits>;

// Per catalogue entry index: the start-up information used for every launch
// of that entry and the handles and ids of its latest process. The table
// keeps one open handle to each entry's latest process for as long as the
// entry has no newer one, so stop and the hung-program kill can always reach
// it and Windows cannot hand its process id to another process meanwhile.
// Handles a relaunch replaces are closed then; the rest are closed when the
// table is destroyed. The programs themselves keep running.
class ProcessTable {
 public:
  ProcessTable() = default;
  ProcessTable(const ProcessTable&) = delete;
  ProcessTable& operator=(const ProcessTable&) = delete;

  // Starts entry `index`'s program: application name programPath, a writable
  // copy of commandLine, no inherited handles, the launcher's environment,
  // runDirectory as the working directory (the launcher's own when it is
  // empty), the entry's start-up information. The launcher's current
  // directory is saved before and restored after. On success the new
  // process becomes the entry's latest and the replaced handles are closed;
  // on failure the entry keeps what it had. Returns whether it started;
  // `error`, when given, receives the system's error code (0 on success).
  bool Create(std::size_t index, const LaunchEntry& entry, std::uint32_t* error = nullptr);
  // False when the entry has no process (id 0) or its latest process ended.
  bool IsRunning(std::size_t index) const;
  // The latest process's id, 0 when the entry never started one.
  std::uint32_t ProcessId(std::size_t index) const;
  // The latest process's exit code (STILL_ACTIVE while it runs), 0 when the
  // entry has none.
  std::uint32_t ExitCode(std::size_t index) const;
  // Terminates the latest process with exit code 111 if a handle is held.
  // The handle stays open: the process may already be gone, and it is
  // harmless to terminate it again.
  void Terminate(std::size_t index) const;
  // The held process handle (still owned by the table), or null.
  HANDLE ProcessHandle(std::size_t index) const;

  // OpenProcess with access 0x1F0FFF, not inheritable; empty on failure.
  static ScopedProcessHandle OpenProcessById(std::uint32_t processId);
  // The first process in snapshot order whose executable file name equals
  // `name` (ASCII case ignored), that runs in the launcher's own session and
  // can be opened with the right to terminate it (and no other right);
  // empty when there is none or the snapshot fails. `id`, when given,
  // receives the found process's id.
  static ScopedProcessHandle FindProcessByName(const char* name, std::uint32_t* id = nullptr);
  // Terminates the process FindProcessByName finds with exit code 111;
  // returns its id, or 0 when there was none.
  static std::uint32_t TerminateProcessByName(const char* name);

 private:
  struct Slot {
    STARTUPINFOW startupInfo{};
    ScopedProcessHandle process;
    ScopedThreadHandle thread;
    DWORD processId = 0;
    DWORD threadId = 0;
  };
  Slot& SlotFor(std::size_t index);
  const Slot* Find(std::size_t index) const;

  std::vector<Slot> slots_;
};
