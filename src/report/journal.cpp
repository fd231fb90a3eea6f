#include "report/journal.h"

#include <cstdio>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "text/encoding.h"
#include "text/format_text.h"
#include "text/texts.h"
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
    case EventKind::kProgramAsked: return texts::kEvProgramAsked;
    case EventKind::kProgramClosed: return texts::kEvProgramClosed;
    case EventKind::kHeartbeatsDropped: return texts::kEvHeartbeatsDropped;
    case EventKind::kProgramKept: return texts::kEvProgramKept;
    case EventKind::kProgramEnded: return texts::kEvProgramEnded;
    case EventKind::kDumpWritten: return texts::kEvDumpWritten;
    case EventKind::kDumpFailed: return texts::kEvDumpFailed;
    case EventKind::kDumpStarted: return texts::kEvDumpStarted;
    case EventKind::kMetricsFailed: return texts::kEvMetricsFailed;
    case EventKind::kMetricsRecovered: return texts::kEvMetricsRecovered;
    case EventKind::kListRead: return texts::kEvListRead;
    case EventKind::kProgramAdopted: return texts::kEvProgramAdopted;
    case EventKind::kProgramHeld: return texts::kEvProgramHeld;
    case EventKind::kJobUnavailable: return texts::kEvJobUnavailable;
    case EventKind::kLauncherPriority: return texts::kEvLauncherPriority;
    case EventKind::kTakeoverGone: return texts::kEvTakeoverGone;
    case EventKind::kOldTreeEnded: return texts::kEvOldTreeEnded;
    case EventKind::kLauncherInJob: return texts::kEvLauncherInJob;
    case EventKind::kCreationSlow: return texts::kEvCreationSlow;
    case EventKind::kFeatureOff: return texts::kEvFeatureOff;
    case EventKind::kTrayItemStale: return texts::kEvTrayItemStale;
    case EventKind::kControlFailed: return texts::kEvControlFailed;
    case EventKind::kControlOpened: return texts::kEvControlOpened;
    case EventKind::kAutoStartSkipped: return texts::kEvAutoStartSkipped;
    case EventKind::kGraceRejected: return texts::kEvGraceRejected;
    case EventKind::kCountdown:
    case EventKind::kRowUnticked:
    case EventKind::kPlanListed:
    case EventKind::kHeartbeatStats:
    case EventKind::kRowListed:
    case EventKind::kTick:
    case EventKind::kLauncherEnding: break;
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
    case static_cast<int>(EventSource::kSessionEnd): return texts::kSourceSessionEnd;
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
    case EventKind::kHangKilled:
    case EventKind::kDumpStarted: return FormatText(texts::kDetailSilent, number);
    case EventKind::kProgramAsked: return FormatText(texts::kDetailProgramAsked, number);
    case EventKind::kGraceRejected: return FormatText(texts::kDetailGraceRejected, e.detail.c_str());
    case EventKind::kProgramClosed: {
      const std::string code = FormatExitCode(e.error), seconds = SecondsText(e.millis);
      switch (static_cast<StopEnding>(e.number)) {
        case StopEnding::kCtrlC: return FormatText(texts::kDetailClosedCtrlC, seconds.c_str(), code.c_str());
        case StopEnding::kWindow: return FormatText(texts::kDetailClosedWindow, seconds.c_str(), code.c_str());
        default:
          // Ended before its seconds were up: the launcher's own end cut them short.
          if (e.count != 0 && e.millis < static_cast<std::uint64_t>(e.count) * 1000) {
            return FormatText(texts::kDetailClosedCut, seconds.c_str(), static_cast<long long>(e.count));
          }
          return e.count != 0 ? FormatText(texts::kDetailClosedEnded, static_cast<long long>(e.count))
                              : FormatText(texts::kDetailClosedUnasked, seconds.c_str(), code.c_str());
      }
    }
    case EventKind::kMetricsRecovered: return FormatText(texts::kDetailMetricsRecovered, number);
    case EventKind::kListRead:
      return e.count != 0 ? FormatText(texts::kDetailListRead, number)
                          : FormatText(texts::kDetailListUnread, ErrorWithText(e.error, e.detail).c_str());
    case EventKind::kProgramRelaunched: return FormatText(texts::kDetailRelaunch, number);
    case EventKind::kLaunchFailed:
    case EventKind::kDumpFailed:
    case EventKind::kMetricsFailed:
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
    case EventKind::kProgramAdopted: {
      // What the takeover went by, and the command line where it differs from the row's.
      std::string basis = e.number == static_cast<int>(AdoptBasis::kRecord)     ? texts::kDetailAdoptedByRecord
                          : e.number == static_cast<int>(AdoptBasis::kSurvivor) ? texts::kDetailAdoptedSurvivor
                          : e.number == static_cast<int>(AdoptBasis::kReplacedFile)
                              ? texts::kDetailAdoptedReplacedFile
                              : texts::kDetailAdoptedByGuess;
      if (!e.detail.empty()) {
        basis += texts::kDetailSeparator;
        basis += FormatText(texts::kDetailAdoptedDiffering, e.rowCommandLine.c_str(), e.detail.c_str());
      }
      return basis;
    }
    case EventKind::kProgramHeld:
      switch (static_cast<HoldReason>(e.number)) {
        case HoldReason::kOtherLauncher:
          return FormatText(texts::kDetailHeldByLauncher, static_cast<unsigned>(e.count));
        case HoldReason::kUnreadable: return texts::kDetailHeldUnreadable;
        case HoldReason::kAmbiguous: return texts::kDetailHeldAmbiguous;
        case HoldReason::kFolder: return texts::kDetailHeldFolder;
        case HoldReason::kEnding: return texts::kDetailHeldEnding;
        case HoldReason::kReading: return texts::kDetailHeldReading;
      }
      return std::string();
    case EventKind::kJobUnavailable:
      return FormatText(texts::kDetailJobUnavailable, ErrorWithText(e.error, e.detail).c_str());
    case EventKind::kOldTreeEnded: return FormatText(texts::kDetailOldTreeEnded, static_cast<long long>(e.count));
    case EventKind::kLauncherInJob: return texts::kDetailLauncherInJob;
    case EventKind::kAutoStartSkipped: return texts::kDetailAutoStartSkipped;
    case EventKind::kCreationSlow: return FormatText(texts::kDetailCreationSlow, SecondsText(e.millis).c_str());
    case EventKind::kControlFailed:
      return FormatText(texts::kDetailControlFailed, ErrorWithText(e.error, e.detail).c_str());
    case EventKind::kTrayItemStale:
      return e.number == static_cast<int>(TrayItem::kStop)    ? texts::kDetailTrayStopStale
             : e.number == static_cast<int>(TrayItem::kClose) ? texts::kDetailTrayCloseStale
                                                              : texts::kDetailTrayStartStale;
    case EventKind::kFeatureOff:
      return FormatText(e.number == static_cast<int>(Feature::kControlPipe) ? texts::kDetailControlPipeOff
                                                                             : texts::kDetailFileWriterOff,
                        ErrorWithText(e.error, e.detail).c_str());
    case EventKind::kLauncherPriority:
      return e.number == kIdlePriorityClass ? texts::kDetailPriorityIdle : texts::kDetailPriorityBelowNormal;
    default: return e.detail;
  }
}

}  // namespace

std::string FormatJournalLine(const Event& event, const LocalTime& time) {
  return Line(time, Word(event.kind), event.planName, event.row, event.program, event.pid, Detail(event));
}

// Everything the writer touches lives here, owned by the Journal and the
// writer together: a writer left behind in a stuck file call still finds its
// queue, files and clock when the call returns.
struct Journal::State : FileWriter::Client {
  State(std::u16string path, std::unique_ptr<JournalFiles> files, Clock clock, Limits limits)
      : path(std::move(path)), shownPath(Utf16ToGbk(this->path)), files(std::move(files)), clock(std::move(clock)),
        limits(limits) {}

  FileWriter::Clock::time_point Work(FileWriter::Clock::time_point now, bool ending) override;

  const std::u16string path;
  const std::string shownPath;  // GBK, for the journal's own lines
  const std::unique_ptr<JournalFiles> files;
  const Clock clock;
  const Limits limits;

  // Shared with the window's thread, under `mutex`.
  struct Entry {
    std::string line;        // "" for an entry that only reports lost lines
    std::int64_t lostBefore;  // lines dropped just before this one
  };
  std::mutex mutex;
  std::deque<Entry> queue;
  std::int64_t lost = 0;  // dropped since the last queued entry
  bool closing = false;   // the Journal is gone: no more lines come

 private:
  using Steady = std::chrono::steady_clock;

  bool TryOpen();
  // Appends a line, rotating the file first when it is full.
  bool Write(const std::string& line);
  bool Append(const std::string& bytes);
  void Rotate();
  // Moves PATH.0 .. PATH.4 up one; 0 or the error that stopped it.
  std::uint32_t ShiftOlder();
  std::u16string Numbered(int n) const {
    std::u16string name = path + u'.';
    for (const char digit : std::to_string(n)) name += static_cast<char16_t>(digit);
    return name;
  }
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
  bool shiftPending_ = false;    // PATH.0 waits for the older files to move up
  std::uint32_t rotateError_ = 0;  // why the last rotation stopped, 0 when it did not
  bool rotateReported_ = false;    // the journal has said so since the last rotation
  std::uint64_t unrotatedSize_ = 0;  // the file's size when it first could not rotate
  bool lastAttempt_ = false;  // the one opening allowed after the end
  bool finished_ = false;     // written out and closed for good
};

// One file call (or a line with its rotation) at a time. Once the writer
// ends or the Journal is gone: one more attempt to open at once and none
// after it, then the file is closed for good.
FileWriter::Clock::time_point Journal::State::Work(FileWriter::Clock::time_point now, bool ending) {
  if (finished_) return FileWriter::kIdle;
  std::unique_lock<std::mutex> lock(mutex);
  const bool last = ending || closing;
  const auto finish = [&] {
    finished_ = true;
    if (open_) files->Close();
    open_ = false;
    return FileWriter::kIdle;
  };
  if (!open_) {
    if (last) {
      if (lastAttempt_) return finish();
      lastAttempt_ = true;
    } else if (now < nextOpen_) {
      return nextOpen_;
    }
    lock.unlock();
    TryOpen();
    return now;
  }
  if (failing_) {
    lock.unlock();
    const bool written =
        Write(OwnLine(texts::kEvJournalOpenFailed, shownPath,
                      FormatText(texts::kDetailJournalOpenFailed, TimeText(failedSince_).c_str(),
                                 ErrorWithText(failedError_, files->ErrorText(failedError_)).c_str())));
    if (written) failing_ = false;
    return now;
  }
  if (queue.empty()) {
    // Lines dropped after everything queued is written: report them now
    // rather than wait for the next line.
    if (lost > 0) {
      queue.push_back(Entry{std::string(), std::exchange(lost, 0)});
      return now;
    }
    return last ? finish() : FileWriter::kIdle;
  }
  // The lines queued behind it go with it in one write, so a burst of
  // events (a thousand programs ending together) costs the disk a few
  // writes rather than one each, and the end writes out in time.
  constexpr std::size_t kBatchBytes = 64 * 1024;
  Entry entry = std::move(queue.front());
  queue.pop_front();
  while (!entry.line.empty() && !queue.empty() && queue.front().lostBefore == 0 && !queue.front().line.empty() &&
         entry.line.size() + queue.front().line.size() <= kBatchBytes) {
    entry.line += queue.front().line;
    queue.pop_front();
  }
  lock.unlock();
  bool written = true;
  if (entry.lostBefore > 0) {
    written = Write(OwnLine(texts::kEvLinesLost, "",
                            FormatText(texts::kDetailLinesLost, static_cast<long long>(entry.lostBefore))));
    if (written) entry.lostBefore = 0;
  }
  if (written && !entry.line.empty()) written = Write(entry.line);
  // Lines that could not be written wait for the file at the front (as one
  // entry: they are tried again together).
  if (!written) {
    lock.lock();
    queue.push_front(std::move(entry));
  }
  return now;
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
  if (rotateError_ != 0 && !rotateReported_) {
    const std::string note = OwnLine(
        texts::kEvJournalNotRotated, shownPath,
        FormatText(texts::kDetailJournalNotRotated, static_cast<unsigned long long>(unrotatedSize_),
                   ErrorWithText(rotateError_, files->ErrorText(rotateError_)).c_str()));
    if (!Append(note)) return false;
    rotateReported_ = true;
  }
  return Append(line);
}

bool Journal::State::Append(const std::string& bytes) {
  const std::uint32_t error = files->Append(bytes);
  if (error != 0) {
    files->Close();
    open_ = false;
    Failed(error);
    return false;
  }
  size_ += bytes.size();
  return true;
}

// The live file is moved aside to PATH.0 first: while another program holds
// it without sharing, nothing else is touched, and the journal goes on in it
// past the limit. Once it has moved, PATH.0 .. PATH.4 move up one into the
// lowest free number (PATH.5, the oldest, is replaced only when none is
// free). A name that cannot move stops the shift where every file still has
// a name of its own: it is tried again, before the live file moves next.
void Journal::State::Rotate() {
  files->Close();
  open_ = false;
  // A PATH.0 left by a launcher that ended mid-rotation is history too.
  std::uint32_t error = shiftPending_ || files->Exists(Numbered(0)) ? ShiftOlder() : 0;
  if (error == 0) {
    error = files->Rename(path, Numbered(0));
    if (error == kFileNotFound) error = 0;  // gone already: a new file begins
    else if (error == 0) error = ShiftOlder();
  }
  if (error != 0) {
    nextRotation_ = Steady::now() + limits.retry;
    if (rotateError_ == 0) unrotatedSize_ = size_;
  } else {
    rotateReported_ = false;
  }
  rotateError_ = error;
  TryOpen();
}

std::uint32_t Journal::State::ShiftOlder() {
  shiftPending_ = true;
  int free = 1;
  while (free < kKeptFiles && files->Exists(Numbered(free))) ++free;
  for (int n = free - 1; n >= 0; --n) {
    const std::uint32_t error = files->Rename(Numbered(n), Numbered(n + 1));
    if (error != 0 && !(n > 0 && (error == kFileNotFound || error == kPathNotFound))) return error;
  }
  shiftPending_ = false;
  return 0;
}

// Repeating events, on the window's thread.
struct Journal::Repeats {
  explicit Repeats(const Clock& clock) : clock(clock) {}

  struct Run {
    Event last;                  // its latest occurrence
    std::string since;           // when it began, as the journal writes times
    std::uint32_t lastLine = 0;  // when a line last counted it
    std::uint32_t lastSeen = 0;  // when it last happened
    bool timed = false;          // the two times come from a tick after it began
    std::int64_t pending = 0;    // occurrences no line has counted yet
    std::int64_t total = 1;
  };

  // The kinds that can come back every tick, and what tells one run of them
  // from another on the same row.
  static bool Repeatable(EventKind kind) {
    return kind == EventKind::kLaunchFailed || kind == EventKind::kProgramExited ||
           kind == EventKind::kProgramRelaunched;
  }
  static std::int64_t Code(const Event& e) {
    return e.kind == EventKind::kLaunchFailed ? e.error : e.kind == EventKind::kProgramExited ? e.number : 0;
  }

  // Returns whether `event`, happening at `time`, is written as it is; the
  // lines it causes before it go to `out`.
  bool Take(const Event& event, const LocalTime& time) {
    switch (event.kind) {
      case EventKind::kTick:
        now = static_cast<std::uint32_t>(event.number);
        timed = true;
        for (Run& run : runs) {
          if (run.timed) continue;
          run.lastLine = run.lastSeen = now;
          run.timed = true;
        }
        Sweep([&](const Run& run) { return now - run.lastSeen >= kRepeatSeconds; });
        return false;
      case EventKind::kPlanStarted:
        timed = false;  // the last tick may be long ago
        break;
      case EventKind::kPlanStopped:
      case EventKind::kLauncherEnded:
        Sweep([&](const Run&) { return true; });
        break;
      case EventKind::kProgramLaunched:
      case EventKind::kProgramRelaunched:
      case EventKind::kProgramKept:
      case EventKind::kProgramAdopted:
        // The row runs again: its launch failures are over.
        Sweep([&](const Run& run) {
          return run.last.kind == EventKind::kLaunchFailed && run.last.plan == event.plan && run.last.row == event.row;
        });
        break;
      default:
        break;
    }
    if (!Repeatable(event.kind)) return true;
    for (Run& run : runs) {
      if (run.last.kind != event.kind || run.last.plan != event.plan || run.last.row != event.row ||
          Code(run.last) != Code(event)) {
        continue;
      }
      run.last = event;
      run.lastSeen = now;
      ++run.total;
      ++run.pending;
      if (run.timed && now - run.lastLine >= kRepeatSeconds) Count(run);
      return false;
    }
    runs.push_back(Run{event, TimeText(time), now, now, timed, 0, 1});
    return true;
  }

  // Counts what is pending of every run once a minute has passed since its
  // last line, and ends the runs `ends` picks.
  template <typename Ends>
  void Sweep(Ends ends) {
    for (auto it = runs.begin(); it != runs.end();) {
      Run& run = *it;
      const bool ending = ends(run);
      if (run.pending > 0 && (ending || now - run.lastLine >= kRepeatSeconds)) Count(run);
      if (!ending) {
        ++it;
        continue;
      }
      if (run.total > 1) {
        out.push_back(Line(clock(), texts::kEvRepeatEnded, run.last.planName, run.last.row, run.last.program, 0,
                           FormatText(texts::kDetailRepeatEnded, Word(run.last.kind), run.since.c_str(),
                                      static_cast<long long>(run.total))));
      }
      it = runs.erase(it);
    }
  }

  void Count(Run& run) {
    const Event& e = run.last;
    out.push_back(Line(clock(), texts::kEvRepeated, e.planName, e.row, e.program, e.pid,
                       FormatText(texts::kDetailRepeated, Word(e.kind), static_cast<long long>(run.pending),
                                  Detail(e).c_str())));
    run.pending = 0;
    run.lastLine = now;
  }

  const Clock& clock;
  std::vector<Run> runs;  // a few at a time: one per repeating row and kind
  std::uint32_t now = 0;
  bool timed = false;     // `now` is from a tick of the running plan
  std::vector<std::string> out;
};

Journal::Journal(FileWriter& writer, std::u16string path, std::unique_ptr<JournalFiles> files, Clock clock,
                 Limits limits)
    : writer_(writer),
      state_(std::make_shared<State>(std::move(path), std::move(files), std::move(clock), limits)),
      repeats_(std::make_unique<Repeats>(state_->clock)) {
  writer_.Add(state_);
}

Journal::~Journal() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->closing = true;
  }
  writer_.Wake();
}

void Journal::OnEvent(const Event& event) {
  const LocalTime time = state_->clock();
  const bool whole = repeats_->Take(event, time);
  for (std::string& line : repeats_->out) Queue(std::move(line));
  repeats_->out.clear();
  if (whole && IsHappening(event.kind)) Queue(FormatJournalLine(event, time));
}

void Journal::Queue(std::string line) {
  bool wasEmpty;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->closing) return;
    if (state_->queue.size() >= state_->limits.queueLines) {
      ++state_->lost;
      return;
    }
    wasEmpty = state_->queue.empty();
    state_->queue.push_back(State::Entry{std::move(line), std::exchange(state_->lost, 0)});
  }
  // The writer waits for lines only on an empty queue.
  if (wasEmpty) writer_.Wake();
}
