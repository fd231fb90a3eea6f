#pragma once
// The journal (`/l PATH`): one line per happening of the event stream,
// appended to a GBK text file for Notepad. The window's thread only formats
// the line and queues it; the launcher's file writer (file_writer.h) appends
// each line to the file at once, so a full, slow or missing disk costs lines,
// never the window.
//
// Line: local time with milliseconds, then TAB-separated fields: event word,
// plan name, row (1-based, as the list view shows it), program, process id,
// detail; CR LF at the end. Fields never hold TAB, CR or LF (each becomes a
// blank), so every line splits into the same seven fields.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "report/event.h"
#include "report/file_writer.h"

struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};

// The journal's line for `event` at `time`, CR LF included.
std::string FormatJournalLine(const Event& event, const LocalTime& time);

// The file calls the journal makes, all from the file writer's thread. One file is
// open at a time. Paths are UTF-16, as the command line gave them. Errors are
// Windows error codes, 0 for success.
class JournalFiles {
 public:
  virtual ~JournalFiles() = default;
  // Opens `path` for appending, creating it when missing.
  virtual std::uint32_t OpenAppend(const std::u16string& path) = 0;
  // Appends all of `bytes` to the open file in one call, unbuffered.
  virtual std::uint32_t Append(std::string_view bytes) = 0;
  // The open file's size in bytes, or -1 when it cannot be told.
  virtual std::int64_t Size() = 0;
  virtual void Close() = 0;
  // Renames `from` to `to`, replacing `to` when it exists.
  virtual std::uint32_t Rename(const std::u16string& from, const std::u16string& to) = 0;
  // False only when `path` is surely not there.
  virtual bool Exists(const std::u16string& path) = 0;
  // The system's words for an error code, GBK ("" when it has none).
  virtual std::string ErrorText(std::uint32_t error) = 0;
};

// The Windows file calls (journal_files_win.cpp): shared for reading, writing
// and renaming by others.
std::unique_ptr<JournalFiles> MakeWindowsJournalFiles();
// The machine's local time now (journal_files_win.cpp).
LocalTime LocalTimeNow();

class Journal : public EventSink {
 public:
  // Called on the window's thread for every line and on the writer's thread
  // for the journal's own lines; it must stay callable for as long as the
  // writer runs, which may outlast the Journal on a dead disk (a free
  // function, or a function object owning what it reads).
  using Clock = std::function<LocalTime()>;

  struct Limits {
    std::size_t queueLines = 4096;  // lines waiting for the writer; more are counted as lost
    std::uint64_t rotateBytes = 10 * 1024 * 1024;  // the file is renamed PATH.1 once this big
    std::chrono::milliseconds retry = std::chrono::seconds(60);  // between attempts to open or rotate
  };
  // PATH.1 (newest) .. PATH.5; PATH.0 holds the file just moved aside while
  // the older ones cannot make room for it.
  static constexpr int kKeptFiles = 5;

  // Joins `writer`, which opens `path` at once.
  Journal(FileWriter& writer, std::u16string path, std::unique_ptr<JournalFiles> files, Clock clock,
          Limits limits);
  Journal(FileWriter& writer, std::u16string path, std::unique_ptr<JournalFiles> files, Clock clock)
      : Journal(writer, std::move(path), std::move(files), std::move(clock), Limits()) {}
  // Takes no more lines; the writer writes out the queue (with one more
  // attempt to open the file, none later) and closes the file, within its
  // own stop rule. Never waits.
  ~Journal() override;
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Formats the line with the clock's time and queues it; never waits for the
  // file. State events (countdowns, unticked rows) are not journalled.
  //
  // Events that can come back every second (a launch that fails, a program
  // that exits at once and is relaunched) are written once; while they go on
  // repeating, one line a minute counts them, and one more line says when they
  // stopped: a row failing for a week costs the journal kilobytes, not
  // gigabytes. A launch failure stops when the row launches again. Time for
  // this comes from the stream's kTick events.
  void OnEvent(const Event& event) override;

  // What repeats in the running plan; a minute is this many kTick seconds.
  static constexpr std::uint32_t kRepeatSeconds = 60;

 private:
  struct State;  // shared by this object and the writer
  struct Repeats;  // the window thread's alone
  void Queue(std::string line);

  FileWriter& writer_;
  std::shared_ptr<State> state_;
  std::unique_ptr<Repeats> repeats_;
};
