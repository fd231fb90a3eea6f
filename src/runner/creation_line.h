#pragma once
// Creations made off the window's thread, in the order they were asked for.
//
// One worker makes them one at a time. A creation that has not come back
// within kSlowMs (a program on a share that has gone away, a virus scan of a
// large image) no longer holds the others: Check hands the line to a fresh
// worker, which takes the rest in order, and the slow worker finishes its one
// creation alone and ends. So at most one worker takes new creations, and
// the order of those asked for together is kept.
//
// What a creation gives is delivered under the line's lock (so a Cancel,
// which takes the same lock, knows of every delivery before it), or
// discarded: one asked for before a Cancel, or finished after End, never
// runs. The workers share the line's state with it: one still in a creation
// when End gives up on it (after its deadline) finds that state whole when
// it returns, and only discards.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

template <typename Job, typename Made>
class CreationLine {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kSlowMs{2000};

  struct Hooks {
    std::function<Made(Job&)> make;                         // on a worker
    std::function<void(Made&&, const Job&)> deliver;        // under the line's lock
    std::function<void(Made&&)> discard;                    // on a worker, outside the lock
    std::function<bool(std::function<void()>)> spawn;       // starts a worker; false: none to be had
  };

  // A creation that has taken longer than kSlowMs, told once.
  struct Slow {
    Job job;
    std::chrono::milliseconds taken{0};
  };

  explicit CreationLine(Hooks hooks) : state_(std::make_shared<State>(std::move(hooks))) {}
  CreationLine(const CreationLine&) = delete;
  CreationLine& operator=(const CreationLine&) = delete;
  ~CreationLine() { End(Clock::now()); }

  // Queues a creation; starts the first worker when there is none. False
  // when no worker can be had: the caller makes it itself (MakeHere).
  bool Ask(Job job) {
    const std::shared_ptr<State> state = state_;
    std::unique_lock<std::mutex> lock(state->mutex);
    state->queue.push_back({state->nextTicket++, std::move(job)});
    if (state->active == nullptr && !state->starting) return AddWorker(lock);
    HandOver(lock, Clock::now());
    state->changed.notify_all();
    return true;
  }

  // The creations waiting, made here and now, in order (no worker to be had).
  void MakeHere() {
    const std::shared_ptr<State> state = state_;
    Worker self;
    std::unique_lock<std::mutex> lock(state->mutex);
    while (!state->ending && !state->queue.empty()) MakeOne(state, self, lock);
  }

  // Looks at the worker taking creations: one busy with a creation for longer
  // than kSlowMs is told of once and, when creations wait behind it, left to
  // finish alone while a fresh worker takes them.
  std::vector<Slow> Check(Clock::time_point now) {
    std::vector<Slow> slow;
    const std::shared_ptr<State> state = state_;
    std::unique_lock<std::mutex> lock(state->mutex);
    for (Worker* worker : state->workers) {
      if (!worker->busy || worker->told || now - worker->since < kSlowMs) continue;
      worker->told = true;
      slow.push_back({worker->job, std::chrono::duration_cast<std::chrono::milliseconds>(now - worker->since)});
    }
    HandOver(lock, now);
    return slow;
  }

  // Creations not begun are dropped; those under way are discarded when they
  // come back. Called under no lock of the caller's that a delivery takes.
  template <typename Then>
  void Cancel(Then&& then) {
    const std::shared_ptr<State> state = state_;
    std::lock_guard<std::mutex> lock(state->mutex);
    state->queue.clear();
    state->cancelledBelow = state->nextTicket;
    then();
  }

  // Ends the line: nothing more is made; workers still in a creation are
  // waited for until `deadline`, then given up on (they discard what they
  // finish). Later calls do nothing.
  void End(Clock::time_point deadline) {
    const std::shared_ptr<State> state = state_;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->ending = true;
      state->queue.clear();
      state->changed.notify_all();
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    state->changed.wait_until(lock, deadline, [&] { return state->running == 0; });
  }

  // Whether a worker is in a creation.
  bool Busy() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (const Worker* worker : state_->workers) {
      if (worker->busy) return true;
    }
    return false;
  }

  // Workers running (in a creation or waiting for one), for tests.
  int Workers() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->running;
  }

 private:
  struct Ticketed {
    std::uint64_t ticket = 0;
    Job job;
  };
  struct Worker {
    bool busy = false;
    bool told = false;
    bool retired = false;
    Clock::time_point since{};
    Job job{};
  };
  struct State {
    explicit State(Hooks h) : hooks(std::move(h)) {}
    Hooks hooks;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Ticketed> queue;
    std::uint64_t nextTicket = 0;
    std::uint64_t cancelledBelow = 0;
    bool ending = false;
    int running = 0;
    bool starting = false;     // a worker is being started: it becomes the active one
    Worker* active = nullptr;  // the worker that takes creations; others finish one and end
    std::vector<Worker*> workers;
  };

  // Under the lock: a worker stuck in one creation for longer than kSlowMs
  // while others wait behind it finishes that one alone; a fresh worker
  // takes the rest.
  void HandOver(std::unique_lock<std::mutex>& lock, Clock::time_point now) {
    State& state = *state_;
    Worker* active = state.active;
    if (active == nullptr || !active->busy || now - active->since < kSlowMs || state.queue.empty()) return;
    active->retired = true;
    state.active = nullptr;
    AddWorker(lock);
  }

  // Under the lock: starts a worker that takes creations from now on.
  bool AddWorker(std::unique_lock<std::mutex>& lock) {
    const std::shared_ptr<State> state = state_;
    ++state->running;
    state->starting = true;
    lock.unlock();
    const bool started = state->hooks.spawn([state] { Run(state); });
    lock.lock();
    if (!started) {
      --state->running;
      state->starting = false;
    }
    return started;
  }

  static void Run(const std::shared_ptr<State>& state) {
    Worker self;
    std::unique_lock<std::mutex> lock(state->mutex);
    state->active = &self;
    state->starting = false;
    state->workers.push_back(&self);
    state->changed.notify_all();
    while (true) {
      state->changed.wait(lock, [&] {
        return state->ending || self.retired || (state->active == &self && !state->queue.empty());
      });
      if (state->ending || self.retired) break;
      MakeOne(state, self, lock);
    }
    if (state->active == &self) state->active = nullptr;
    for (auto it = state->workers.begin(); it != state->workers.end(); ++it) {
      if (*it == &self) {
        state->workers.erase(it);
        break;
      }
    }
    --state->running;
    state->changed.notify_all();
  }

  // Under the lock: makes the next creation, the lock let go meanwhile.
  static void MakeOne(const std::shared_ptr<State>& state, Worker& self, std::unique_lock<std::mutex>& lock) {
    Ticketed next = std::move(state->queue.front());
    state->queue.pop_front();
    self.busy = true;
    self.told = false;
    self.since = Clock::now();
    self.job = next.job;
    lock.unlock();
    Made made = state->hooks.make(next.job);
    lock.lock();
    if (!state->ending && next.ticket >= state->cancelledBelow) {
      self.busy = false;
      state->hooks.deliver(std::move(made), next.job);
      return;
    }
    // Busy until the discard is done: the process being ended is still this
    // launcher's creation, never one another launcher holds.
    lock.unlock();
    state->hooks.discard(std::move(made));
    lock.lock();
    self.busy = false;
  }

  std::shared_ptr<State> state_;
};
