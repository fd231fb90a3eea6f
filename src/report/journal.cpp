#include "report/journal.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <utility>

#include "app/format_text.h"
#include "app/texts.h"
#include "report/status_board.h"

namespace {

// Windows' codes for a file or folder that is not there: a rotation shifting
// PATH.1 .. PATH.4 up finds most of them missing, which is no failure.
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kPathNotFound = 3;


// `value` in `width` digits, zero-padded; a value out of range is written
// whole (with its sign), so a bad clock shows rather than hides.
void AddNumber(std::string& text, int value, int width) {
  if (value < 0 || value >= (width == 4 ? 10000 : width == 3 ? 1000 : 100)) {
    text += std::to_string(value);
    return;
  }
  char digits[4];
  for (int i = width - 1; i >= 0; --i, value /= 10) digits[i] = static_cast<char>('0' + value % 10);
  text.append(digits, static_cast<std::size_t>(width));
}

std::string TimeText(const LocalTime& t) {
  std::string text;
  text.reserve(23);
  AddNumber(text, t.year, 4);
  text += '-';
  AddNumber(text, t.month, 2);
  text += '-';
  AddNumber(text, t.day, 2);
  text += ' ';
  AddNumber(text, t.hour, 2);
  text += ':';
  AddNumber(text, t.minute, 2);
  text += ':';
  AddNumber(text, t.second, 2);
  text += '.';
  AddNumber(text, t.millisecond, 3);
  return text;
}

// A field after its TAB; TAB, CR and LF inside it become blanks. GBK's
// second bytes are 0x40 and up, so a byte-wise replacement never splits a
// character.
void AddField(std::string& line, std::string_view field) {
  line += '\t';
  for (char c : field) line += (c == '\t' || c == '\r' || c == '\n') ? ' ' : c;
}

std::string Line(const LocalTime& time, std::string_view word, std::string_view plan, int row,
                 std::string_view program, std::uint32_t pid, std::string_view detail) {
  std::string line = TimeText(time);
  line.reserve(line.size() + word.size() + plan.size() + program.size() + detail.size() + 32);
  AddField(line, word);
  AddField(line, plan);
  AddField(line, row >= 0 ? std::to_string(static_cast<long long>(row) + 1) : std::string());
  AddField(line, program);
  AddField(line, pid != 0 ? std::to_string(pid) : std::string());
  AddField(line, detail);
  line += "\r\n";
  return line;
}

const char* Word(EventKind kind) {
  switch (kind) {
    case EventKind::kLauncherStarted: return texts::kEvLauncherStarted;
    case EventKind::kLauncherEnded: return texts::kEvLauncherEnded;
    case EventKind::kListEncoding: return texts::kEvListEncoding;
    case EventKind::kListenerOpened: return texts::kEvListenerOpened;
    case EventKind::kListenerFailed: return texts::kEvListenerFailed;
    case EventKind::kPlanStarted: return texts::kEvPlanStarted;
    case EventKind::kPlanStopped: return texts::kEvPlanStopped;
    case EventKind::kProgramLaunched: return texts::kEvProgramLaunched;
    case EventKind::kProgramRelaunched: return texts::kEvProgramRelaunched;
    case EventKind::kLaunchFailed: return texts::kEvLaunchFailed;
    case EventKind::kProgramExited: return texts::kEvProgramExited;
    case EventKind::kHangKilled: return texts::kEvHangKilled;
    case EventKind::kErrorReporterKilled: return texts::kEvErrorReporterKilled;
    case EventKind::kExitNoticeSent: return texts::kEvExitNoticeSent;
    case EventKind::kProgramSpared: return texts::kEvProgramSpared;
    case EventKind::kProgramTerminated: return texts::kEvProgramTerminated;
    case EventKind::kHeartbeatsDropped: return texts::kEvHeartbeatsDropped;
    case EventKind::kProgramKept: return texts::kEvProgramKept;
    case EventKind::kProgramEnded: return texts::kEvProgramEnded;
    case EventKind::kDumpWritten: return texts::kEvDumpWritten;
    case EventKind::kDumpFailed: return texts::kEvDumpFailed;
    case EventKind::kProgramAdopted: return texts::kEvProgramAdopted;
    case EventKind::kProgramHeld: return texts::kEvProgramHeld;
    case EventKind::kJobUnavailable: return texts::kEvJobUnavailable;
    case EventKind::kLauncherPriority: return texts::kEvLauncherPriority;
    case EventKind::kCountdown:
    case EventKind::kRowUnticked:
    case EventKind::kPlanListed:
    case EventKind::kHeartbeatStats: break;
  }
  return "";
}

// Milliseconds as seconds with one decimal, rounded.
std::string SecondsText(std::uint64_t millis) {
  const std::uint64_t tenths = millis / 100 + (millis % 100 >= 50 ? 1 : 0);
  return FormatText("%llu.%u", static_cast<unsigned long long>(tenths / 10), static_cast<unsigned>(tenths % 10));
}

std::string ErrorWithText(std::uint32_t error, const std::string& text) {
  std::string detail = std::to_string(error);
  if (!text.empty()) detail += ' ' + text;
  return detail;
}

std::string SourceText(std::int64_t number) {
  switch (number) {
    case static_cast<int>(EventSource::kButton): return texts::kSourceButton;
    case static_cast<int>(EventSource::kTrayMenu): return texts::kSourceTrayMenu;
    case static_cast<int>(EventSource::kAutomaticStart): return texts::kSourceAutomatic;
    case static_cast<int>(EventSource::kControl): return texts::kSourceControl;
    default: return std::to_string(static_cast<long long>(number));
  }
}

std::string Detail(const Event& e) {
  const auto number = static_cast<long long>(e.number);
  switch (e.kind) {
    case EventKind::kProgramExited:
    case EventKind::kProgramEnded:
      return FormatText(texts::kDetailExit, FormatExitCode(static_cast<std::uint32_t>(e.number)).c_str(),
                    SecondsText(e.millis).c_str());
    case EventKind::kHangKilled: return FormatText(texts::kDetailSilent, number);
    case EventKind::kProgramRelaunched: return FormatText(texts::kDetailRelaunch, number);
    case EventKind::kLaunchFailed:
    case EventKind::kDumpFailed:
    case EventKind::kListenerFailed: return ErrorWithText(e.error, e.detail);
    case EventKind::kDumpWritten:
      return FormatText(texts::kDetailDump, e.detail.c_str(), static_cast<long long>(e.count),
                        static_cast<unsigned long long>(e.millis));
    case EventKind::kHeartbeatsDropped:
      return FormatText(texts::kDetailDropped, number, static_cast<long long>(e.count));
    case EventKind::kPlanStarted:
    case EventKind::kPlanStopped: return SourceText(e.number);
    case EventKind::kListenerOpened:
      return FormatText(texts::kDetailListenerOpened, number,
                    e.detail.empty() ? texts::kDetailAllAddresses : e.detail.c_str());
    case EventKind::kProgramAdopted:
      // Said only where the process runs with another command line than the row's.
      return e.detail.empty() ? std::string()
                              : FormatText(texts::kDetailAdoptedDiffering, e.rowCommandLine.c_str(), e.detail.c_str());
    case EventKind::kProgramHeld:
      switch (static_cast<HoldReason>(e.number)) {
        case HoldReason::kOtherLauncher:
          return FormatText(texts::kDetailHeldByLauncher, static_cast<unsigned>(e.count));
        case HoldReason::kUnreadable: return texts::kDetailHeldUnreadable;
        case HoldReason::kAmbiguous: return texts::kDetailHeldAmbiguous;
      }
      return std::string();
    case EventKind::kJobUnavailable:
      return FormatText(texts::kDetailJobUnavailable, ErrorWithText(e.error, e.detail).c_str());
    case EventKind::kLauncherPriority:
      return e.number == kIdlePriorityClass ? texts::kDetailPriorityIdle : texts::kDetailPriorityBelowNormal;
    default: return e.detail;
  }
}

}  // namespace

std::string FormatJournalLine(const Event& event, const LocalTime& time) {
  return Line(time, Word(event.kind), event.planName, event.row, event.program, event.pid, Detail(event));
}

// Everything the writer thread touches lives here, owned by the Journal and
// the thread together: a writer left behind in a stuck file call still finds
// its queue, files and clock when the call returns.
struct Journal::State {
  State(std::string path, std::unique_ptr<JournalFiles> files, Clock clock, Limits limits)
      : path(std::move(path)), files(std::move(files)), clock(std::move(clock)), limits(limits) {}

  void Run();

  const std::string path;
  const std::unique_ptr<JournalFiles> files;
  const Clock clock;
  const Limits limits;

  // Shared with the window's thread, under `mutex`.
  struct Entry {
    std::string line;        // "" for an entry that only reports lost lines
    std::int64_t lostBefore;  // lines dropped just before this one
  };
  std::mutex mutex;
  std::condition_variable wake;      // for the writer: a line, the stop, the abandonment
  std::condition_variable finished;  // for the destructor: `done`
  std::deque<Entry> queue;
  std::int64_t lost = 0;  // dropped since the last queued entry
  bool stopping = false;
  bool done = false;
  std::atomic<bool> abandoned{false};

 private:
  using Steady = std::chrono::steady_clock;

  bool TryOpen();
  bool Write(const std::string& line);
  void Rotate();
  void Failed(std::uint32_t error);
  // The journal's own lines: about the file (its path as the program) or
  // about lines lost.
  std::string OwnLine(const char* word, std::string_view program, const std::string& detail) {
    return Line(clock(), word, "", -1, program, 0, detail);
  }

  // The writer's alone.
  bool open_ = false;
  std::uint64_t size_ = 0;
  bool failing_ = false;  // a failure not yet journalled
  LocalTime failedSince_{};
  std::uint32_t failedError_ = 0;
  Steady::time_point nextOpen_{};
  Steady::time_point nextRotation_{};
  bool lastAttempt_ = false;  // the one opening allowed after the stop
};

void Journal::State::Run() {
  std::unique_lock<std::mutex> lock(mutex);
  while (!abandoned) {
    if (!open_) {
      // Once stopping, one more attempt at once and none after it.
      if (stopping) {
        if (lastAttempt_) break;
        lastAttempt_ = true;
      } else if (Steady::now() < nextOpen_) {
        wake.wait_until(lock, nextOpen_, [&] { return stopping || abandoned; });
        continue;
      }
      lock.unlock();
      const bool opened = TryOpen();
      lock.lock();
      if (!opened) continue;
    }
    if (failing_) {
      lock.unlock();
      const bool written =
          Write(OwnLine(texts::kEvJournalOpenFailed, path,
                        FormatText(texts::kDetailJournalOpenFailed, TimeText(failedSince_).c_str(),
                                   ErrorWithText(failedError_, files->ErrorText(failedError_)).c_str())));
      lock.lock();
      if (written) failing_ = false;
      continue;
    }
    if (queue.empty()) {
      // Lines dropped after everything queued is written: report them now
      // rather than wait for the next line.
      if (lost > 0) {
        queue.push_back(Entry{std::string(), std::exchange(lost, 0)});
        continue;
      }
      if (stopping) break;
      wake.wait(lock, [&] { return !queue.empty() || lost > 0 || stopping || abandoned; });
      continue;
    }
    Entry entry = std::move(queue.front());
    queue.pop_front();
    lock.unlock();
    bool written = true;
    if (entry.lostBefore > 0) {
      written = Write(OwnLine(texts::kEvLinesLost, "",
                              FormatText(texts::kDetailLinesLost, static_cast<long long>(entry.lostBefore))));
      if (written) entry.lostBefore = 0;
    }
    if (written && !entry.line.empty()) written = Write(entry.line);
    lock.lock();
    // A line that could not be written waits for the file at the front.
    if (!written) queue.push_front(std::move(entry));
  }
  lock.unlock();
  if (open_) files->Close();
  lock.lock();
  done = true;
  finished.notify_all();
}

bool Journal::State::TryOpen() {
  const std::uint32_t error = files->OpenAppend(path);
  if (error != 0) {
    Failed(error);
    return false;
  }
  open_ = true;
  const std::int64_t size = files->Size();
  size_ = size > 0 ? static_cast<std::uint64_t>(size) : 0;
  return true;
}

void Journal::State::Failed(std::uint32_t error) {
  if (!failing_) {
    failing_ = true;
    failedSince_ = clock();
    failedError_ = error;
  }
  nextOpen_ = Steady::now() + limits.retry;
}

bool Journal::State::Write(const std::string& line) {
  if (size_ >= limits.rotateBytes && Steady::now() >= nextRotation_) Rotate();
  if (!open_) return false;
  const std::uint32_t error = files->Append(line);
  if (error != 0) {
    files->Close();
    open_ = false;
    Failed(error);
    return false;
  }
  size_ += line.size();
  return true;
}

// PATH.5 goes, PATH.4 .. PATH.1 move up one, PATH becomes PATH.1 and a new
// PATH is begun. A name that cannot be moved (held open by another program
// without sharing) stops the shift before anything is overwritten: the
// journal goes on in PATH and tries again after the retry interval.
void Journal::State::Rotate() {
  files->Close();
  open_ = false;
  const auto numbered = [&](int n) { return path + '.' + std::to_string(n); };
  files->Remove(numbered(kKeptFiles));
  bool shifted = true;
  for (int n = kKeptFiles - 1; n >= 0 && shifted; --n) {
    const std::uint32_t error = files->Rename(n == 0 ? path : numbered(n), numbered(n + 1));
    shifted = error == 0 || (n > 0 && (error == kFileNotFound || error == kPathNotFound));
  }
  if (!shifted) nextRotation_ = Steady::now() + limits.retry;
  TryOpen();
}

Journal::Journal(std::string path, std::unique_ptr<JournalFiles> files, Clock clock, Limits limits)
    : state_(std::make_shared<State>(std::move(path), std::move(files), std::move(clock), limits)) {
  writer_ = std::thread([state = state_] { state->Run(); });
}

Journal::~Journal() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->stopping = true;
  state_->wake.notify_all();
  if (state_->finished.wait_for(lock, state_->limits.drain, [&] { return state_->done; })) {
    lock.unlock();
    writer_.join();
    return;
  }
  // Stuck in a file call, or still writing: it stops at its next look at the
  // queue, and the state goes with the last of its two owners.
  state_->abandoned = true;
  state_->wake.notify_all();
  lock.unlock();
  writer_.detach();
}

void Journal::OnEvent(const Event& event) {
  if (!IsHappening(event.kind)) return;
  std::string line = FormatJournalLine(event, state_->clock());
  bool wasEmpty;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->stopping) return;
    if (state_->queue.size() >= state_->limits.queueLines) {
      ++state_->lost;
      return;
    }
    wasEmpty = state_->queue.empty();
    state_->queue.push_back(State::Entry{std::move(line), std::exchange(state_->lost, 0)});
  }
  // The writer waits for lines only on an empty queue.
  if (wasEmpty) state_->wake.notify_one();
}
