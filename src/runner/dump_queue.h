#pragma once
// The order in which minidumps of hung programs are written. The system's
// dump library is single-threaded (concurrent calls can corrupt memory), so
// one worker writes one dump at a time, in the order they were asked for;
// two programs that hang together (a shared database stalls) wait in line.
//
// A dump's time limit counts from its turn: from when the worker takes it,
// not from when it was asked for, so a program waiting behind another keeps
// its place. One exception keeps every wait finite: while the worker is
// still busy with a dump given up (its program killed at its limit), the
// next dump's turn has come already, and its limit runs even before the
// worker is free to take it.
//
// No lock and no thread: the Windows writer calls it under its own lock,
// the tests directly. Times are milliseconds of the runner's clock.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "runner/plan_runner.h"

// `Request` is what the worker needs to write one dump (a process handle, a
// file name); it is dropped, unwritten, when its dump is given up first.
template <class Request>
class DumpQueue {
 public:
  struct Taken {
    std::size_t entry = 0;
    Request request;
  };

  // Entry `entry`'s dump is wanted (the runner asks for one per entry at a
  // time). It waits behind those asked for before.
  void Add(std::size_t entry, Request request, std::uint64_t nowMs) {
    waiting_.push_back({entry, std::move(request), false, 0});
    PassTurn(nowMs);
  }

  // For the worker: the dump to write now, or none while the worker writes
  // one already or none waits.
  std::optional<Taken> Take(std::uint64_t nowMs) {
    if (writing_ || waiting_.empty()) return std::nullopt;
    Waiting next = std::move(waiting_.front());
    waiting_.pop_front();
    writing_ = Writing{next.entry, next.turn ? next.turnMs : nowMs, false};
    return Taken{next.entry, std::move(next.request)};
  }

  // For the worker: the dump it took last is done. True when it was given up
  // meanwhile: nobody wants its file.
  bool Finish(DumpOutcome outcome) {
    if (!writing_) return true;
    const Writing done = *writing_;
    writing_.reset();
    if (done.abandoned) return true;
    outcome.finished = true;
    outcome.begun = true;
    outcome.begunMs = done.begunMs;
    finished_[done.entry] = std::move(outcome);
    return false;
  }

  // How the entry's dump stands. A finished one is told once: the runner
  // acts on it then.
  DumpOutcome Poll(std::size_t entry) {
    DumpOutcome outcome;
    if (const auto found = finished_.find(entry); found != finished_.end()) {
      outcome = std::move(found->second);
      finished_.erase(found);
    } else if (writing_ && writing_->entry == entry && !writing_->abandoned) {
      outcome.begun = true;
      outcome.begunMs = writing_->begunMs;
    } else {
      for (const Waiting& waiting : waiting_) {
        if (waiting.entry != entry) continue;
        outcome.begun = waiting.turn;
        outcome.begunMs = waiting.turnMs;
        break;
      }
    }
    return outcome;
  }

  // The entry's dump is not wanted: one waiting is dropped, one being
  // written is left to end (passing the turn on at once), and the file of
  // one written already is returned, to be removed.
  std::string Abandon(std::size_t entry, std::uint64_t nowMs) {
    std::string written;
    if (const auto found = finished_.find(entry); found != finished_.end()) {
      if (found->second.error == 0) written = found->second.path;
      finished_.erase(found);
    }
    if (writing_ && writing_->entry == entry) writing_->abandoned = true;
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
      if (it->entry == entry) {
        waiting_.erase(it);
        break;
      }
    }
    PassTurn(nowMs);
    return written;
  }

  // Whether the worker is writing a dump (given up or not).
  bool Busy() const { return writing_.has_value(); }

 private:
  struct Waiting {
    std::size_t entry = 0;
    Request request;
    bool turn = false;         // its turn came while the worker was still busy
    std::uint64_t turnMs = 0;
  };
  struct Writing {
    std::size_t entry = 0;
    std::uint64_t begunMs = 0;
    bool abandoned = false;
  };

  // The first in line gets its turn when the worker is free (it takes it
  // then) or busy only with a dump nobody wants.
  void PassTurn(std::uint64_t nowMs) {
    if (waiting_.empty() || waiting_.front().turn) return;
    if (writing_ && writing_->abandoned) {
      waiting_.front().turn = true;
      waiting_.front().turnMs = nowMs;
    }
  }

  std::deque<Waiting> waiting_;
  std::optional<Writing> writing_;
  std::map<std::size_t, DumpOutcome> finished_;
};

// The Windows error a failed dump reports. The dump call's last error is an
// HRESULT; one that wraps a Windows error gives that error, so its text can
// be looked up. Nothing at all becomes ERROR_GEN_FAILURE.
std::uint32_t DumpFailureError(std::uint32_t lastError);
