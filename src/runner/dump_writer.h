#pragma once
// Minidumps of hung programs (/d FOLDER), written off the window's thread by
// one worker, one dump at a time in the order asked for (DumpQueue): the
// system's dump library is single-threaded. The worker also keeps the folder
// to the last few dumps. The window only asks for a dump, asks whether it is
// done, and gives it up; it never waits for the disk.
//
// The dump library is loaded from the system folder only, on the worker's
// first dump, so a dbghelp.dll beside the launcher is never run.
#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "runner/plan_runner.h"

class DumpWriter {
 public:
  // `folder` as the command line gave it, which GBK may not be able to name.
  explicit DumpWriter(std::wstring folder);
  // Waits a little for a dump whose program has been terminated (it ends
  // with it), so its unfinished file is removed; dumps still waiting are
  // dropped.
  ~DumpWriter();
  DumpWriter(const DumpWriter&) = delete;
  DumpWriter& operator=(const DumpWriter&) = delete;

  // Queues the dump of entry `entry`'s process `process` (the handle is
  // duplicated; the caller keeps its own). Refused, with the reason, for a
  // process this launcher's bitness cannot dump, or when the handle cannot
  // be duplicated or the worker cannot start.
  DumpStart Start(std::size_t entry, HANDLE process, DWORD pid, const std::string& programPath);
  DumpOutcome Poll(std::size_t entry);
  // The entry's dump is not wanted: dropped while it waits; otherwise its
  // file is removed once the writing ends.
  void Abandon(std::size_t entry);

 private:
  struct Shared;  // the queue and the worker's state, which the worker may outlive us holding
  std::shared_ptr<Shared> shared_;
  std::thread worker_;
};
