#pragma once
// A server spared at a stop saves and exits by itself, after the runner has
// stopped watching it. This sink keeps watching each spared process and
// reports its end (kProgramEnded: exit code, how long it ran) when it comes,
// so the operator sees that the server did finish saving. A start that keeps
// or takes over the process (kProgramKept, kProgramAdopted) hands it back to
// the runner.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "report/event.h"

// How a wait for the spared servers at the end came out.
struct SparedWait {
  std::size_t watched = 0;  // servers still saving when the wait began
  std::size_t left = 0;     // of those, still saving when it ended: the wait was cut short
};

class SparedExits : public EventSink {
 public:
  // `events`: where the ends are reported. `due`: called on another thread
  // when an end waits to be reported; it must make the window's thread call
  // Report soon (it posts a message).
  SparedExits(EventSink& events, std::function<void()> due);
  ~SparedExits() override;
  SparedExits(const SparedExits&) = delete;
  SparedExits& operator=(const SparedExits&) = delete;

  void OnEvent(const Event& event) override;
  // On the window's thread: reports every watched process that has ended.
  void Report();
  // On the window's thread, when the launcher must end: waits up to `ms` for
  // every watched process to end, then reports those that have. The window's
  // messages are handled meanwhile (Windows takes a window that leaves them
  // waiting for hung), so Report may run inside.
  SparedWait WaitForEnds(std::uint32_t ms);

 private:
  struct Watch;
  EventSink& events_;
  std::function<void()> due_;
  std::vector<std::unique_ptr<Watch>> watches_;
};
