#include "report/metrics_writer.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

// Shared by the MetricsWriter and its thread, so a writer left behind in a
// stuck call still finds what it touches when the call returns.
struct MetricsWriter::State {
  explicit State(Write write) : write(std::move(write)) {}

  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return text || stopping; });
      if (!text) break;  // stopping, everything written
      const std::string bytes = std::move(*text);
      text.reset();
      lock.unlock();
      const std::uint32_t error = write(bytes);
      lock.lock();
      if (error != 0) {
        if (failures++ == 0) changes.push_back(Change{true, error, 0});
      } else if (failures > 0) {
        changes.push_back(Change{false, 0, failures});
        failures = 0;
      }
    }
    done = true;
    finished.notify_all();
  }

  const Write write;
  mutable std::mutex mutex;
  std::condition_variable wake;      // for the writer: a text, the stop
  std::condition_variable finished;  // for the destructor: `done`
  std::optional<std::string> text;   // the newest text not yet taken
  std::vector<Change> changes;
  std::int64_t failures = 0;         // failed writes since the last good one
  bool stopping = false;
  bool done = false;
};

MetricsWriter::MetricsWriter(Write write, std::chrono::milliseconds drain)
    : state_(std::make_shared<State>(std::move(write))), drain_(drain) {
  writer_ = std::thread([state = state_] { state->Run(); });
}

MetricsWriter::~MetricsWriter() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->stopping = true;
  state_->wake.notify_all();
  if (state_->finished.wait_for(lock, drain_, [&] { return state_->done; })) {
    lock.unlock();
    writer_.join();
    return;
  }
  // Stuck in the file call: the newest text goes unwritten, the thread
  // ends after the call, and the state goes with the last of its owners.
  state_->text.reset();
  lock.unlock();
  writer_.detach();
}

void MetricsWriter::Submit(std::string text) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->text = std::move(text);
  }
  state_->wake.notify_one();
}

std::vector<MetricsWriter::Change> MetricsWriter::TakeChanges() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return std::exchange(state_->changes, {});
}

bool MetricsWriter::failing() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->failures > 0;
}
