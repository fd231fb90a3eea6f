#include "net/liveness_table.h"

#include <cstdint>

void LivenessTable::Heard(std::uint32_t processId) {
  const std::uint32_t now = clock_();
  const auto found = index_.find(processId);
  if (found != index_.end()) {
    times_[found->second] = now;
    return;
  }
  index_.emplace(processId, ids_.size());
  ids_.push_back(processId);
  times_.push_back(now);
}

std::uint32_t LivenessTable::TakeStaleProcessId(int interval, std::uint32_t* age) {
  if (ids_.empty()) return 0;  // the clock is not read for an empty table
  const std::uint32_t now = clock_();
  for (std::size_t i = 0; i < ids_.size(); ++i) {
    // A time later than now (a clock that went back) is fresh, not a huge age.
    if (times_[i] > now) continue;
    const std::int64_t seconds = static_cast<std::int64_t>(now - times_[i]);
    if (seconds <= interval) continue;
    const std::uint32_t id = ids_[i];
    if (age) *age = static_cast<std::uint32_t>(seconds);
    EraseAt(i);
    return id;
  }
  return 0;
}

void LivenessTable::RestartSilences() {
  if (times_.empty()) return;
  const std::uint32_t now = clock_();
  for (std::uint32_t& time : times_) time = now;
}

void LivenessTable::Forget(std::uint32_t processId) {
  const auto found = index_.find(processId);
  if (found != index_.end()) EraseAt(found->second);
}

void LivenessTable::EraseAt(std::size_t position) {
  index_.erase(ids_[position]);
  ids_.erase(ids_.begin() + static_cast<std::ptrdiff_t>(position));
  times_.erase(times_.begin() + static_cast<std::ptrdiff_t>(position));
  // The entries behind the gap moved down by one.
  for (std::size_t j = position; j < ids_.size(); ++j) index_[ids_[j]] = j;
}
