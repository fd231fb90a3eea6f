#pragma once
// An event as the runner raises it, for the tests of what reads the stream.
#include <cstdint>

#include "report/event.h"

inline Event On(EventKind kind, int plan, int row = -1, std::uint32_t pid = 0, std::int64_t number = 0) {
  Event event;
  event.kind = kind;
  event.plan = plan;
  event.row = row;
  event.pid = pid;
  event.number = number;
  return event;
}
