#pragma once
// The launcher's one thread for file work: the journal's lines, the metrics
// file, and the dump folder's work (making it, removing a dump nobody wants,
// keeping it to the last few, letting the dump worker go). The window's
// thread only hands work over and goes on; a full, slow or missing disk
// costs lines and updates, never the window.
//
// Clients (the journal, the metrics) keep their own queues and are asked in
// turn for one piece of work at a time; one-off jobs run in the order they
// were posted. One piece of work holds up the others while it runs: a share
// that hangs for a minute delays every file for that minute.
//
// The stop rule, the same for every client and job: Stop gives the writer
// until one deadline to write out what it holds, each client trying nothing
// new (no waiting for a retry); a writer still inside a file call then is
// left behind. It ends after that call, touching nothing but what it shares
// with its clients, which it keeps alive until then.
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

class FileWriter {
 public:
  using Clock = std::chrono::steady_clock;
  // A client's answer when it has nothing to do until it is woken.
  static constexpr Clock::time_point kIdle = Clock::time_point::max();

  class Client {
   public:
    virtual ~Client() = default;
    // On the writer's thread, never under its lock: does the next piece of
    // work due at `now` (one file call, or a few that belong together) and
    // says when it has more: at `now` or before for at once, a later time
    // to be asked again then, kIdle until Wake. While `ending` it writes
    // out what it holds, waits for no later time, and answers kIdle once it
    // has nothing left.
    virtual Clock::time_point Work(Clock::time_point now, bool ending) = 0;
  };

  FileWriter();
  // Stops with no time to spare (Stop(now)): what is not written is lost.
  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  // Starts the thread; false when none can be created. A writer that is not
  // running writes nothing: its clients' work waits, and Post refuses.
  bool Start();
  bool running() const;

  // Asks the client for work from now on (any thread).
  void Add(std::shared_ptr<Client> client);
  // A client has new work (any thread).
  void Wake();
  // Runs `job` on the writer's thread after the jobs posted before it.
  // False, with `job` not run and dropped here, while the writer is not
  // running or is stopping.
  bool Post(std::function<void()> job);

  // The stop rule (see above). True when everything was written out by
  // `deadline` and the thread is gone; false when the deadline came first
  // and the thread was left behind. Later calls return the first answer.
  bool Stop(Clock::time_point deadline);

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::thread thread_;
  bool stopped_ = false;
  bool finished_ = false;
};
