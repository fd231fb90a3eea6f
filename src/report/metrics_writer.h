#pragma once
// Writes the metrics file on a thread of its own. The window's thread hands
// over the newest text and goes on: a network share or a virus scanner that
// holds the file for seconds delays the file, never supervision. A text not
// yet written when a newer one comes is dropped; the newest always wins.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class MetricsWriter {
 public:
  // Replaces the file's whole content with `bytes`: 0, or the Windows error.
  // Called on the writer thread; it must stay callable for as long as the
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

  explicit MetricsWriter(Write write, std::chrono::milliseconds drain = std::chrono::seconds(2));
  // Gives the writer `drain` to write the last text; a writer stuck in the
  // file call then is left behind and ends on its own.
  ~MetricsWriter();
  MetricsWriter(const MetricsWriter&) = delete;
  MetricsWriter& operator=(const MetricsWriter&) = delete;

  // The newest text; never waits for the file.
  void Submit(std::string text);
  // The turns since the last call, oldest first.
  std::vector<Change> TakeChanges();
  // The last finished write failed: the caller hands over a text again soon.
  bool failing() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::chrono::milliseconds drain_;
  std::thread writer_;
};
