#pragma once
// Minidumps of hung programs (/d FOLDER), written off the window's thread by
// one worker, one dump at a time in the order asked for (DumpQueue): the
// system's dump library is single-threaded. The rest of the folder's work
// (removing a dump nobody wants, keeping the folder to the last few dumps,
// letting the worker go at the end) is the launcher's file writer's; without
// one running, the worker does it itself. The window only asks for a dump,
// asks whether it is done, and gives it up; it never waits for the disk or
// for the worker.
//
// The dump library is loaded from the system folder only, on the worker's
// first dump, so a dbghelp.dll beside the launcher is never run.
#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "report/file_writer.h"
#include "runner/plan_runner.h"

class DumpWriter {
 public:
  // `folder` as the command line gave it, which GBK may not be able to name.
  // The file work goes to `files`, the launcher's file writer (none: the
  // worker does its own).
  explicit DumpWriter(std::wstring folder, std::shared_ptr<FileWriter> files = nullptr);
  // Never waits: dumps still waiting are dropped, and the worker is joined
  // on the file writer, after the dump it writes (its program has been
  // terminated, so it ends soon) and the removal of its file. A file writer
  // that stops first leaves the worker to end on its own.
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
  std::shared_ptr<FileWriter> files_;
  std::thread worker_;
};
