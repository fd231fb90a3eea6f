#pragma once
// Heartbeats the listener drops (wrong length, or from another host) are
// summed and reported at most once a minute, never one event per datagram:
// a flood must not flood the journal.
#include <cstdint>
#include <functional>

#include "report/event.h"

class DropTally {
 public:
  using Clock = std::function<std::uint32_t()>;  // whole seconds, monotonic
  static constexpr std::uint32_t kReportSeconds = 60;

  DropTally(EventSink* sink, Clock clock) : sink_(sink), clock_(std::move(clock)) {}

  // One dropped datagram; reports the sum when the last report is a minute old.
  void Dropped(bool wrongLength);
  // Reports what is counted when the last report is a minute old (`always`:
  // whatever its age, as the launcher ends).
  void Poll(bool always = false);

 private:
  EventSink* sink_;
  Clock clock_;
  std::int64_t wrongLength_ = 0;
  std::int64_t foreign_ = 0;
  bool reported_ = false;
  std::uint32_t reportedAt_ = 0;
};
