#include "control/launcher_link_win.h"

#include <chrono>
#include <utility>

#include "control/control_pipe_win.h"
#include "control/json_reader.h"

void LauncherLink::Start(std::uint16_t port, std::wstring launcher, HWND window, UINT message) {
  port_ = port;
  launcher_ = std::move(launcher);
  window_ = window;
  message_ = message;
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
}

void LauncherLink::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void LauncherLink::Send(ControlRequest request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(request));
  }
  wake_.notify_all();
}

bool LauncherLink::TakeNews(News& news) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!hasNews_) return false;
  news = std::move(news_);
  news_ = News{};
  hasNews_ = false;
  return true;
}

void LauncherLink::Post(News news) {
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // News not yet taken is merged: the latest state, every refusal.
    news_.gone = news.gone;
    news_.failure = news.failure;
    news_.error = news.error;
    if (!news.status.empty() || news.gone) news_.status = std::move(news.status);
    for (std::string& line : news.refusals) news_.refusals.push_back(std::move(line));
    first = !hasNews_;
    hasNews_ = true;
  }
  if (first) ::PostMessageW(window_, message_, 0, 0);
}

void LauncherLink::Run() {
  using Clock = std::chrono::steady_clock;
  std::int64_t revision = -1;
  std::int64_t pid = -1;
  bool gone = false;
  bool readNow = true;  // the first poll, after a request and after a return
  Clock::time_point lastRead{};
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    News news;
    while (!queue_.empty() && !stopping_) {
      const ControlRequest request = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      const LauncherCall call = CallLauncher(port_, request, kCallLimitMs, launcher_);
      if (!call.replied) {
        news.refusals.push_back(FailureLine(call.failure, ""));
      } else if (call.reply.code != ControlExit::kDone) {
        news.refusals.push_back(FailureLineOf(call.reply.code, call.reply.body));
      }
      readNow = true;
      lock.lock();
    }
    if (stopping_) break;
    lock.unlock();
    ControlRequest changes;
    changes.command = ControlCommand::kChanges;
    LauncherCall call = CallLauncher(port_, changes, kCallLimitMs, launcher_);
    JsonValue moved;
    const bool answered = call.replied && call.reply.code == ControlExit::kDone && ParseJson(call.reply.body, moved);
    if (answered) {
      const std::int64_t nowRevision = moved.Integer("revision", -1);
      const std::int64_t nowPid = moved.Integer("pid", -1);
      const bool changed = nowRevision != revision || nowPid != pid || gone;
      if (readNow || (changed && Clock::now() - lastRead >= std::chrono::milliseconds(kReadEveryMs))) {
        ControlRequest status;
        call = CallLauncher(port_, status, kCallLimitMs, launcher_);
        if (call.replied && call.reply.code == ControlExit::kDone) {
          news.status = std::move(call.reply.body);
          revision = nowRevision;
          pid = nowPid;
          readNow = false;
          gone = false;
          lastRead = Clock::now();
        }
      }
    }
    const bool nowGone = !call.replied;
    if (nowGone) {
      news.gone = true;
      news.failure = call.failure;
      news.error = call.error;
    }
    if (!news.status.empty() || !news.refusals.empty() || nowGone != gone) Post(std::move(news));
    if (nowGone) {
      gone = true;
      readNow = true;
    }
    lock.lock();
    wake_.wait_for(lock, std::chrono::milliseconds(gone ? kReadEveryMs : kPollMs),
                   [this] { return stopping_ || !queue_.empty(); });
  }
}
