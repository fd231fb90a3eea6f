#pragma once
// Minidumps of hung programs (/d FOLDER), written off the window's thread:
// one writer thread per dump, which also keeps the folder to the last few
// dumps. The window only starts a dump, asks whether it is done, and gives
// it up; it never waits for the disk.
#include <windows.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>

#include "runner/plan_runner.h"

class DumpWriter {
 public:
  explicit DumpWriter(std::string folder) : folder_(std::move(folder)) {}
  // Waits a little for writers whose programs have been terminated (their
  // dumps end with them), so their unfinished files are removed.
  ~DumpWriter();
  DumpWriter(const DumpWriter&) = delete;
  DumpWriter& operator=(const DumpWriter&) = delete;

  // Starts the dump of entry `entry`'s process `process` (the handle is
  // duplicated; the caller keeps its own). False when no thread could start.
  bool Start(std::size_t entry, HANDLE process, DWORD pid, const std::string& programPath);
  DumpOutcome Poll(std::size_t entry);
  // The entry's dump is not wanted: its file is removed once the writing ends.
  void Abandon(std::size_t entry);

 private:
  struct Job;
  std::string folder_;
  std::map<std::size_t, std::shared_ptr<Job>> jobs_;
};
