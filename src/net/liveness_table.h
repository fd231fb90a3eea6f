#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

// Process ids heard by the heartbeat listener with the time of each one's
// latest heartbeat, in first-heard order. Time is whole seconds of a
// monotonic clock, so setting the wall clock never makes a program look hung.
class LivenessTable {
 public:
  using Clock = std::function<std::uint32_t()>;
  explicit LivenessTable(Clock clock) : clock_(std::move(clock)) {}

  // A heartbeat of `processId`: refreshes its time, or appends it.
  void Heard(std::uint32_t processId);
  // Removes and returns the first id (in table order) whose latest heartbeat
  // is more than `interval` seconds old; 0 when none is. `age`, when given,
  // receives how many seconds old that heartbeat was.
  std::uint32_t TakeStaleProcessId(int interval, std::uint32_t* age = nullptr);
  // Removes `processId`'s entry, if there is one; the others keep their order.
  void Forget(std::uint32_t processId);
  // Every silence counts from now: after the machine woke up, or after the
  // launcher could not read heartbeats for a while, each program has one
  // whole interval to speak again before it is judged hung.
  void RestartSilences();

  const std::vector<std::uint32_t>& ProcessIds() const { return ids_; }
  const std::vector<std::uint32_t>& Times() const { return times_; }

 private:
  void EraseAt(std::size_t position);

  Clock clock_;
  std::vector<std::uint32_t> ids_;
  std::vector<std::uint32_t> times_;
  std::unordered_map<std::uint32_t, std::size_t> index_;  // id -> position
};
