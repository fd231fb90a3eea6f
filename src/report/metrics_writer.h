#pragma once
// Writes the metrics file through the launcher's file writer. The window's
// thread hands over the newest text and goes on: a network share or a virus
// scanner that holds the file for seconds delays the file, never
// supervision. A text not yet written when a newer one comes is dropped; the
// newest always wins, and the last one (Finish) is never dropped for an
// earlier write still running.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "report/file_writer.h"

class MetricsWriter {
 public:
  using Clock = FileWriter::Clock;
  // Replaces the file's whole content with `bytes`: 0, or the Windows error.
  // Called on the writer's thread; it must stay callable for as long as the
  // writer runs, which may outlast the MetricsWriter on a dead share.
  using Write = std::function<std::uint32_t(const std::string& bytes)>;

  // A turn in how the writes come out: the first failure after good writes
  // (or none), with its error, or the first good write after failures, with
  // how many failed.
  struct Change {
    bool failed = false;
    std::uint32_t error = 0;
    std::int64_t failures = 0;
  };

  // How the last text came out.
  enum class Last { kWritten, kFailed, kCutShort };
  struct Ending {
    Last last = Last::kCutShort;
    std::uint32_t error = 0;  // kFailed: the last attempt's
    int attempts = 0;
  };
  // Between two attempts at the last text.
  static constexpr std::chrono::milliseconds kLastRetry{100};

  explicit MetricsWriter(FileWriter& writer, Write write);
  // Takes no more texts; one still waiting is written within the writer's
  // stop rule. Never waits.
  ~MetricsWriter();
  MetricsWriter(const MetricsWriter&) = delete;
  MetricsWriter& operator=(const MetricsWriter&) = delete;

  // The newest text; never waits for the file.
  void Submit(std::string text);
  // The last text, on the window's thread: waits until it is written, tried
  // again every kLastRetry while it fails, or until `until`, whichever comes
  // first. A write still running from before is waited for within the same
  // time, not dropped; a text still unwritten at `until` is left to the
  // writer's stop rule. Later texts are refused.
  Ending Finish(std::string text, Clock::time_point until);
  // The turns since the last call, oldest first.
  std::vector<Change> TakeChanges();
  // The last finished write failed: the caller hands over a text again soon.
  bool failing() const;

 private:
  struct State;
  FileWriter& writer_;
  std::shared_ptr<State> state_;
};
