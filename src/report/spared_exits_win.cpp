// The spared servers' ends on Windows: each process is opened while it still
// runs (at the stop's event) and a thread-pool wait tells the window when it
// has ended.
#include <windows.h>

#include <vector>

#include "platform/scoped.h"
#include "report/spared_exits.h"

struct SparedExits::Watch {
  Event spared;  // plan, row, program, pid
  ScopedKernelHandle process;
  HANDLE wait = nullptr;

  // Waits for a callback in progress, so `due` is never called afterwards;
  // the process handle goes after the wait on it.
  ~Watch() {
    if (wait) ::UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
  }
};

namespace {

void CALLBACK Ended(void* due, BOOLEAN) { (*static_cast<std::function<void()>*>(due))(); }

std::uint64_t Milliseconds(const FILETIME& t) {
  return ((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000;
}

}  // namespace

SparedExits::SparedExits(EventSink& events, std::function<void()> due) : events_(events), due_(std::move(due)) {}

SparedExits::~SparedExits() = default;

void SparedExits::OnEvent(const Event& event) {
  if (event.kind == EventKind::kProgramKept || event.kind == EventKind::kProgramAdopted) {
    for (auto it = watches_.begin(); it != watches_.end(); ++it) {
      if ((*it)->spared.pid == event.pid) {
        watches_.erase(it);
        return;
      }
    }
    return;
  }
  if (event.kind != EventKind::kProgramSpared || event.pid == 0) return;
  auto watch = std::make_unique<Watch>();
  watch->spared = event;
  watch->process.reset(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, event.pid));
  if (!watch->process) return;  // ended already, or not ours to watch
  if (!::RegisterWaitForSingleObject(&watch->wait, watch->process.get(), &Ended, &due_, INFINITE,
                                     WT_EXECUTEONLYONCE)) {
    watch->wait = nullptr;
    due_();  // looked at by the next Report all the same
  }
  watches_.push_back(std::move(watch));
}

void SparedExits::WaitForEnds(std::uint32_t ms) {
  const ULONGLONG deadline = ::GetTickCount64() + ms;
  // In groups, as one wait takes at most MAXIMUM_WAIT_OBJECTS handles.
  for (std::size_t first = 0; first < watches_.size(); first += MAXIMUM_WAIT_OBJECTS) {
    std::vector<HANDLE> group;
    for (std::size_t i = first; i < watches_.size() && group.size() < MAXIMUM_WAIT_OBJECTS; ++i) {
      group.push_back(watches_[i]->process.get());
    }
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) break;
    ::WaitForMultipleObjects(static_cast<DWORD>(group.size()), group.data(), TRUE, static_cast<DWORD>(deadline - now));
  }
  Report();
}

void SparedExits::Report() {
  for (auto it = watches_.begin(); it != watches_.end();) {
    const Watch& watch = **it;
    if (::WaitForSingleObject(watch.process.get(), 0) != WAIT_OBJECT_0) {
      ++it;
      continue;
    }
    Event ended = watch.spared;
    ended.kind = EventKind::kProgramEnded;
    DWORD code = 0;
    ::GetExitCodeProcess(watch.process.get(), &code);
    ended.number = code;
    FILETIME created, exited, kernel, user;
    if (::GetProcessTimes(watch.process.get(), &created, &exited, &kernel, &user)) {
      ended.millis = Milliseconds(exited) - Milliseconds(created);
    }
    it = watches_.erase(it);
    events_.OnEvent(ended);
  }
}
