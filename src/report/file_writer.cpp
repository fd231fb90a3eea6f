#include "report/file_writer.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

// Everything the thread touches, owned by the FileWriter and the thread
// together: a thread left behind in a stuck call still finds it afterwards.
struct FileWriter::State {
  void Run();

  std::mutex mutex;
  std::condition_variable wake;      // for the thread: work, the stop, the abandonment
  std::condition_variable finished;  // for Stop: `done`
  std::vector<std::shared_ptr<Client>> clients;
  std::deque<std::function<void()>> jobs;
  bool woken = false;  // work came since the thread last asked around
  bool running = false;
  bool ending = false;
  bool abandoned = false;
  bool done = false;
};

void FileWriter::State::Run() {
  std::unique_lock<std::mutex> lock(mutex);
  while (!abandoned) {
    woken = false;
    const bool last = ending;
    bool more = false;
    if (!jobs.empty()) {
      std::function<void()> job = std::move(jobs.front());
      jobs.pop_front();
      lock.unlock();
      job();
      job = nullptr;  // what it holds goes here, off the lock
      lock.lock();
      more = true;
    }
    Clock::time_point next = kIdle;
    const std::vector<std::shared_ptr<Client>> asked = clients;
    for (const std::shared_ptr<Client>& client : asked) {
      if (abandoned) break;
      lock.unlock();
      const Clock::time_point now = Clock::now();
      const Clock::time_point due = client->Work(now, last);
      lock.lock();
      if (due <= now) more = true;
      else if (due < next) next = due;
    }
    more = more || !jobs.empty();
    // Everything written out once nobody has anything left at once; at the
    // end a later time counts as nothing left.
    if (last && !more) break;
    if (more || woken) continue;
    if (next == kIdle) {
      wake.wait(lock, [&] { return woken || ending || abandoned; });
    } else {
      wake.wait_until(lock, next, [&] { return woken || ending || abandoned; });
    }
  }
  done = true;
  finished.notify_all();
}

FileWriter::FileWriter() : state_(std::make_shared<State>()) {}

FileWriter::~FileWriter() { Stop(Clock::now()); }

bool FileWriter::Start() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->running || stopped_) return state_->running;
  try {
    thread_ = std::thread([state = state_] { state->Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  state_->running = true;
  return true;
}

bool FileWriter::running() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->running && !state_->ending;
}

void FileWriter::Add(std::shared_ptr<Client> client) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->clients.push_back(std::move(client));
    state_->woken = true;
  }
  state_->wake.notify_all();
}

void FileWriter::Wake() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->woken = true;
  }
  state_->wake.notify_all();
}

bool FileWriter::Post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->running || state_->ending) return false;
    state_->jobs.push_back(std::move(job));
    state_->woken = true;
  }
  state_->wake.notify_all();
  return true;
}

bool FileWriter::Stop(Clock::time_point deadline) {
  if (stopped_) return finished_;
  stopped_ = true;
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->ending = true;
  state_->wake.notify_all();
  if (!state_->running) return finished_ = true;
  if (state_->finished.wait_until(lock, deadline, [&] { return state_->done; })) {
    lock.unlock();
    thread_.join();
    return finished_ = true;
  }
  // Stuck in a call, or still writing: it stops at its next look, and the
  // state goes with the last of its two owners.
  state_->abandoned = true;
  state_->wake.notify_all();
  lock.unlock();
  thread_.detach();
  return finished_ = false;
}
