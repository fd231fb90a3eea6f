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

// The window's thread waits with its messages handled: Windows takes a
// window that leaves messages unanswered for more than a few seconds for
// hung, and other windows' broadcasts (the end of the session goes to every
// top-level window in turn) would wait on it. MsgWaitForMultipleObjectsEx
// returns for any of at most MAXIMUM_WAIT_OBJECTS - 1 handles or for new
// messages (QS_ALLINPUT); MWMO_INPUTAVAILABLE also returns for messages
// already queued before the call
// (learn.microsoft.com/windows/win32/api/winuser/nf-winuser-msgwaitformultipleobjectsex).
SparedWait SparedExits::WaitForEnds(std::uint32_t ms) {
  SparedWait wait;
  wait.watched = watches_.size();
  const ULONGLONG deadline = ::GetTickCount64() + ms;
  bool quit = false;
  for (;;) {
    // Again after every wake: a message handled meanwhile may have reported
    // (and let go of) some of them.
    std::vector<HANDLE> running;
    for (const auto& watch : watches_) {
      if (running.size() + 1 >= MAXIMUM_WAIT_OBJECTS) break;
      if (::WaitForSingleObject(watch->process.get(), 0) != WAIT_OBJECT_0) running.push_back(watch->process.get());
    }
    const ULONGLONG now = ::GetTickCount64();
    if (running.empty() || now >= deadline || quit) break;
    const DWORD woke = ::MsgWaitForMultipleObjectsEx(static_cast<DWORD>(running.size()), running.data(),
                                                     static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                                     MWMO_INPUTAVAILABLE);
    if (woke != WAIT_OBJECT_0 + running.size()) continue;
    MSG msg;
    while (!quit && ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        // Left for the message loop, which ends on it; the wait ends too.
        ::PostQuitMessage(static_cast<int>(msg.wParam));
        quit = true;
        break;
      }
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }
  Report();
  wait.left = watches_.size();
  return wait;
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
