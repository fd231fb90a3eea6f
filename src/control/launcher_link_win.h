#pragma once
// A view's link to the launcher it shows, on a thread of its own so that
// the window's thread never waits on the pipe: it sends the view's
// requests in order, polls the launcher's revision twice a second and
// reads the whole status when it moved (at most once a second, and once
// after each request), and tells the window when there is news. While
// nobody answers it tries again every second, so the view comes back on
// its own when the launcher does.
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/control_protocol.h"
#include "control/launcher_view.h"
#include "control/supervision.h"

class LauncherLink {
 public:
  struct News {
    // Nobody (trusted) answers now: why, and the Windows error.
    bool gone = false;
    ControlFailure failure = ControlFailure::kNoLauncher;
    DWORD error = 0;
    // A status object's text (UTF-8 JSON) when one was read since the last
    // news; empty otherwise.
    std::string status;
    // The failure lines of requests the launcher refused or never answered.
    std::vector<std::string> refusals;
  };

  LauncherLink() = default;
  LauncherLink(const LauncherLink&) = delete;
  LauncherLink& operator=(const LauncherLink&) = delete;
  ~LauncherLink() { Stop(); }

  // Starts the link to the launcher on `port`, which must run `launcher`:
  // `window` is posted `message` whenever news waits. May throw
  // std::system_error when the thread cannot be made.
  void Start(std::uint16_t port, std::wstring launcher, HWND window, UINT message);
  // Ends the thread; a call under way finishes within its own limit.
  void Stop();
  // Queues a request; it goes before the next poll.
  void Send(ControlRequest request);
  // The news since the last call; false when there is none.
  bool TakeNews(News& news);

  static constexpr DWORD kPollMs = 500;
  static constexpr DWORD kReadEveryMs = 1000;
  static constexpr DWORD kCallLimitMs = 3000;

 private:
  void Run();
  void Post(News news);

  std::uint16_t port_ = 0;
  std::wstring launcher_;
  HWND window_ = nullptr;
  UINT message_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::deque<ControlRequest> queue_;
  bool hasNews_ = false;
  News news_;
};

// The supervision of a launcher in another process, as a view's clicks
// reach it: each click is the request its window would act on, sent
// through the link; what runs is what the launcher's status last said.
class RemoteSupervision : public Supervision {
 public:
  RemoteSupervision(LauncherLink& link, const LauncherView& view) : link_(link), view_(view) {}
  int RunningPlan() const override { return view_.runningPlan; }
  void StartStop(int chosen, EventSource) override {
    ControlRequest request;
    if (StartStopRequest(view_, chosen, request)) link_.Send(std::move(request));
  }
  void ShowPlan(int plan) override {
    if (view_.catalogue.HasPlan(plan)) link_.Send(ShowRequest(view_, plan));
  }
  void Tick(int row, bool ticked) override { link_.Send(TickRequest(row, ticked)); }
  void SetOption(WindowOption option, int value) override { link_.Send(OptionRequest(option, value)); }

 private:
  LauncherLink& link_;
  const LauncherView& view_;
};
