#include "report/metrics_writer.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

// Shared by the MetricsWriter and the writer, so a writer left behind in a
// stuck call still finds what it touches when the call returns.
struct MetricsWriter::State : FileWriter::Client {
  explicit State(Write write) : write(std::move(write)) {}

  Clock::time_point Work(Clock::time_point now, bool ending) override {
    std::unique_lock<std::mutex> lock(mutex);
    if (!text) return FileWriter::kIdle;
    if (now < retryAt && !ending) return retryAt;
    const std::string bytes = *text;
    const std::uint64_t taken = generation;
    lock.unlock();
    const std::uint32_t error = write(bytes);
    lock.lock();
    if (error != 0) {
      if (failures++ == 0) changes.push_back(Change{true, error, 0});
    } else if (failures > 0) {
      changes.push_back(Change{false, 0, failures});
      failures = 0;
    }
    if (generation != taken) return now;  // a newer text came during the write: it goes next
    if (last) {
      ending_.attempts++;
      ending_.error = error;
      // The last text stays until it is written or its time is up; at the
      // writer's end it gets this one attempt more.
      if (error == 0 || ending || now + kLastRetry >= lastUntil) {
        ending_.last = error == 0 ? Last::kWritten : Last::kFailed;
        text.reset();
        lastDone = true;
        lastWritten.notify_all();
        return FileWriter::kIdle;
      }
      retryAt = now + kLastRetry;
      return retryAt;
    }
    // A failed text is not tried again here: the window hands over a newer
    // one soon, with the values of its moment.
    text.reset();
    return FileWriter::kIdle;
  }

  const Write write;
  mutable std::mutex mutex;
  std::condition_variable lastWritten;  // for Finish: `lastDone`
  std::optional<std::string> text;      // the newest text not yet written
  std::uint64_t generation = 0;         // texts handed over so far
  std::vector<Change> changes;
  std::int64_t failures = 0;            // failed writes since the last good one
  bool closed = false;                  // no more texts are taken
  bool last = false;                    // `text` is the last one
  bool lastDone = false;
  Clock::time_point lastUntil{};
  Clock::time_point retryAt{};
  Ending ending_;
};

MetricsWriter::MetricsWriter(FileWriter& writer, Write write)
    : writer_(writer), state_(std::make_shared<State>(std::move(write))) {
  writer_.Add(state_);
}

MetricsWriter::~MetricsWriter() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->closed = true;
}

void MetricsWriter::Submit(std::string text) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->closed) return;
    state_->text = std::move(text);
    ++state_->generation;
  }
  writer_.Wake();
}

MetricsWriter::Ending MetricsWriter::Finish(std::string text, Clock::time_point until) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (state_->closed) return state_->ending_;
  state_->closed = true;
  state_->last = true;
  state_->text = std::move(text);
  ++state_->generation;
  state_->lastUntil = until;
  state_->retryAt = {};
  lock.unlock();
  writer_.Wake();
  lock.lock();
  state_->lastWritten.wait_until(lock, until, [&] { return state_->lastDone; });
  return state_->ending_;
}

std::vector<MetricsWriter::Change> MetricsWriter::TakeChanges() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return std::exchange(state_->changes, {});
}

bool MetricsWriter::failing() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->failures > 0;
}
