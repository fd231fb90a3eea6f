// The journal's lines, and its writer against a disk in memory that can
// refuse to open, fail a write or hang inside one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "text/encoding.h"
#include "text/format_text.h"
#include "text/texts.h"
#include "report/file_writer.h"
#include "report/journal.h"
#include "report/reports_end.h"

namespace {
using namespace std::chrono_literals;

constexpr LocalTime kTime{2026, 12, 7, 20, 31, 5, 123};
constexpr char kStamp[] = "2026-12-07 20:31:05.123";

struct Disk {
  std::mutex m;
  std::condition_variable changed;
  std::map<std::string, std::string> files;
  std::map<std::string, std::uint32_t> renameErrors;
  std::map<std::string, int> renames;  // attempts by the name moved
  std::uint32_t openError = 0;
  int openAttempts = 0;
  int appendFailures = 0;  // the next appends that fail with 112 (disk full)
  int appendsLeft = -1;    // appends that go through before the next one hangs; -1: all
  bool inAppend = false;
  int appends = 0;    // append calls made
  bool gone = false;  // the journal's files object was destroyed
  std::chrono::milliseconds appendTakes{0};  // a slow disk: each append takes this long

  template <typename F>
  void WaitUntil(F pred) {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(changed.wait_for(lock, 10s, pred));
  }
  template <typename F>
  auto Change(F change) {
    std::lock_guard<std::mutex> lock(m);
    changed.notify_all();
    return change();
  }
};

class FakeFiles : public JournalFiles {
 public:
  explicit FakeFiles(std::shared_ptr<Disk> disk) : d_(std::move(disk)) {}
  ~FakeFiles() override {
    d_->Change([&] { d_->gone = true; });
  }
  std::uint32_t OpenAppend(const std::u16string& path) override {
    return d_->Change([&] {
      ++d_->openAttempts;
      if (d_->openError == 0) d_->files[open_ = Utf16ToUtf8(path)];
      return d_->openError;
    });
  }
  std::uint32_t Append(std::string_view bytes) override {
    std::this_thread::sleep_for(d_->appendTakes);
    std::unique_lock<std::mutex> lock(d_->m);
    d_->inAppend = true;
    ++d_->appends;
    d_->changed.notify_all();
    d_->changed.wait(lock, [&] { return d_->appendsLeft != 0; });
    if (d_->appendsLeft > 0) --d_->appendsLeft;
    d_->inAppend = false;
    if (d_->appendFailures > 0) return --d_->appendFailures, 112u;
    d_->files[open_].append(bytes);
    d_->changed.notify_all();
    return 0;
  }
  std::int64_t Size() override {
    return d_->Change([&] { return static_cast<std::int64_t>(d_->files[open_].size()); });
  }
  void Close() override {}
  std::uint32_t Rename(const std::u16string& wideFrom, const std::u16string& wideTo) override {
    const std::string from = Utf16ToUtf8(wideFrom), to = Utf16ToUtf8(wideTo);
    return d_->Change([&]() -> std::uint32_t {
      ++d_->renames[from];
      if (d_->renameErrors.count(from)) return d_->renameErrors[from];
      if (!d_->files.count(from)) return 2;
      d_->files[to] = std::move(d_->files[from]);
      return d_->files.erase(from), 0;
    });
  }
  bool Exists(const std::u16string& path) override {
    return d_->Change([&] { return d_->files.count(Utf16ToUtf8(path)) > 0; });
  }
  std::string ErrorText(std::uint32_t error) override { return "E" + std::to_string(error); }

 private:
  std::shared_ptr<Disk> d_;
  std::string open_;
};

// Line `n` of the events the tests journal, and the file's text of such lines.
Event Numbered(int n) { return Event{EventKind::kPlanStopped, 0, "P" + std::to_string(n), -1, "", 0, 0, 0, 0, 0, "", "", ""}; }
std::string L(int n) {
  return std::string(kStamp) + '\t' + texts::kEvPlanStopped + "\tP" + std::to_string(n) + "\t\t\t\t" +
         texts::kSourceButton;
}
std::string Text(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// A journal on a file writer of its own; destroying it writes out the
// queue (the file writer's stop, with time enough for any test).
struct Journalled {
  Journalled(std::shared_ptr<Disk> disk, std::shared_ptr<std::atomic<int>> second, Journal::Limits limits) {
    EXPECT_TRUE(writer.Start());
    journal = std::make_unique<Journal>(
        writer, u"j.log", std::make_unique<FakeFiles>(std::move(disk)),
        [second] { return LocalTime{2026, 12, 7, 20, 31, *second, 123}; }, limits);
  }
  ~Journalled() {
    journal.reset();
    writer.Stop(FileWriter::Clock::now() + 10s);
  }
  void OnEvent(const Event& event) { journal->OnEvent(event); }

  FileWriter writer;
  std::unique_ptr<Journal> journal;
};

class JournalFile : public ::testing::Test {
 protected:
  std::unique_ptr<Journalled> Start() { return std::make_unique<Journalled>(disk, second, limits); }
  std::shared_ptr<Disk> disk = std::make_shared<Disk>();
  std::shared_ptr<std::atomic<int>> second = std::make_shared<std::atomic<int>>(kTime.second);
  Journal::Limits limits;
};
}  // namespace

TEST(JournalLine, FieldsDetailsAndExitCodes) {
  const Event crash{EventKind::kProgramExited, 0, "A\tB", 2, "C:\\s\r\n.exe", 1234, 0xC0000005, 0, 59950, 0, "", "", ""};
  EXPECT_EQ(FormatJournalLine(crash, kTime), std::string(kStamp) + '\t' + texts::kEvProgramExited +
                                                 "\tA B\t3\tC:\\s  .exe\t1234\t\xcd\xcb\xb3\xf6\xc2\xeb 0xC0000005"
                                                 "\xa3\xac\xd4\xcb\xd0\xd0 60.0 \xc3\xeb\r\n");

  const auto detail = [](EventKind kind, std::int64_t number, std::uint32_t error, std::string text,
                         std::uint64_t millis = 0) {
    const std::string line =
        FormatJournalLine(Event{kind, -1, "", -1, "", 0, number, 4, millis, error, std::move(text), "", ""}, kTime);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 6);  // empty row and pid are still fields
    return line.substr(line.rfind('\t') + 1);
  };
  EXPECT_EQ(detail(EventKind::kProgramExited, 0xBFFFFFFF, 0, "", 1249),  // just below the crash range
            "\xcd\xcb\xb3\xf6\xc2\xeb 3221225471\xa3\xac\xd4\xcb\xd0\xd0 1.2 \xc3\xeb\r\n");
  EXPECT_EQ(detail(EventKind::kLaunchFailed, 0, 2, "no\r\nfile"), "2 no  file\r\n");
  EXPECT_EQ(detail(EventKind::kPlanStarted, 1, 0, ""), std::string(texts::kSourceTrayMenu) + "\r\n");
  EXPECT_EQ(detail(EventKind::kPlanStarted, 9, 0, ""), "9\r\n");
  EXPECT_EQ(detail(EventKind::kListenerOpened, 22225, 0, ""),
            "\xb6\xcb\xbf\xda 22225\xa3\xac\xb5\xd8\xd6\xb7 " + std::string(texts::kDetailAllAddresses) + "\r\n");
  EXPECT_EQ(detail(EventKind::kListRead, 3, 0, ""), FormatText(texts::kDetailListRead, 3ll) + "\r\n");
  EXPECT_EQ(detail(EventKind::kMetricsFailed, 0, 5, "denied"), "5 denied\r\n");
  EXPECT_EQ(detail(EventKind::kDumpFailed, 0, 299, "partial"), "299 partial\r\n");
  EXPECT_EQ(detail(EventKind::kDumpWritten, 0, 0, "D:\\d.dmp", 3900),
            FormatText(texts::kDetailDump, "D:\\d.dmp", 4ll, 3900ull) + "\r\n");
  // Each outcome has a word of its own: a failed dump never reads as written.
  const auto word = [](EventKind kind) {
    const std::string line = FormatJournalLine(Event{kind, -1, "", -1, "", 0, 0, 0, 0, 0, "", "", ""}, kTime);
    return line.substr(24, line.find('\t', 24) - 24);
  };
  EXPECT_EQ(word(EventKind::kDumpWritten), texts::kEvDumpWritten);
  EXPECT_EQ(word(EventKind::kDumpFailed), texts::kEvDumpFailed);
  EXPECT_EQ(word(EventKind::kDumpStarted), texts::kEvDumpStarted);
  EXPECT_EQ(word(EventKind::kProgramEnded), texts::kEvProgramEnded);
  EXPECT_EQ(word(EventKind::kMetricsRecovered), texts::kEvMetricsRecovered);
  EXPECT_EQ(detail(EventKind::kHeartbeatsDropped, 3, 0, ""),
            "\xb3\xa4\xb6\xc8\xb2\xbb\xb6\xd4 3 \xb8\xf6\xa3\xac\xc0\xb4\xd7\xd4\xc6\xe4\xcb\xfb\xd6\xf7\xbb\xfa"
            " 4 \xb8\xf6\r\n");
  // Taking over: what it went by, then both command lines where they differ.
  EXPECT_EQ(detail(EventKind::kProgramAdopted, static_cast<int>(AdoptBasis::kRecord), 0, ""),
            std::string(texts::kDetailAdoptedByRecord) + "\r\n");
  EXPECT_EQ(detail(EventKind::kProgramAdopted, static_cast<int>(AdoptBasis::kSurvivor), 0, ""),
            std::string(texts::kDetailAdoptedSurvivor) + "\r\n");
  Event differing{EventKind::kProgramAdopted, 0, "P", 0, "a.exe", 5, 2, 0, 0, 0, " -old", "", " -new"};
  const std::string adopted = FormatJournalLine(differing, kTime);
  EXPECT_LT(adopted.find(texts::kDetailAdoptedByGuess), adopted.find(" -new"));
  EXPECT_LT(adopted.find(" -new"), adopted.find(" -old"));  // the list's first
  EXPECT_EQ(detail(EventKind::kOldTreeEnded, 0, 0, ""), FormatText(texts::kDetailOldTreeEnded, 4LL) + "\r\n");
  EXPECT_EQ(detail(EventKind::kProgramHeld, static_cast<int>(HoldReason::kOtherLauncher), 0, ""),
            FormatText(texts::kDetailHeldByLauncher, 4u) + "\r\n");
  EXPECT_EQ(detail(EventKind::kProgramHeld, static_cast<int>(HoldReason::kUnreadable), 0, ""),
            std::string(texts::kDetailHeldUnreadable) + "\r\n");
  EXPECT_EQ(detail(EventKind::kProgramHeld, static_cast<int>(HoldReason::kReading), 0, ""),
            std::string(texts::kDetailHeldReading) + "\r\n");
  EXPECT_EQ(detail(EventKind::kJobUnavailable, 0, 5, "denied"),
            FormatText(texts::kDetailJobUnavailable, "5 denied") + "\r\n");
  // A stop's asked program ended when its 4 s were up, or before them by the launcher's end.
  const auto ended = static_cast<std::int64_t>(StopEnding::kEnded);
  EXPECT_EQ(detail(EventKind::kProgramClosed, ended, 111, "", 4000), FormatText(texts::kDetailClosedEnded, 4ll) + "\r\n");
  EXPECT_EQ(detail(EventKind::kProgramClosed, ended, 111, "", 2000),
            FormatText(texts::kDetailClosedCut, "2.0", 4ll) + "\r\n");
}

TEST_F(JournalFile, FullFileIsRotatedKeepingFiveOlderOnesAndAHeldOneStopsTheShiftWithoutLoss) {
  using Files = std::map<std::string, std::string>;
  disk->files = Files{{"j.log", std::string(100, 'x')}, {"j.log.1", "1"}, {"j.log.2", "2"}, {"j.log.3", "3"},
                      {"j.log.5", "5"}};  // no .4: everything fits, .5 stays
  limits.rotateBytes = 100;
  Start()->OnEvent(Numbered(1));  // the destructor waits for the line
  EXPECT_EQ(disk->files, (Files{{"j.log", Text({L(1)})}, {"j.log.1", std::string(100, 'x')}, {"j.log.2", "1"},
                                {"j.log.3", "2"}, {"j.log.4", "3"}, {"j.log.5", "5"}}));

  // A reader holds .2: the full file waits as .0, nothing is lost, the
  // journal goes on in a new file and says so once.
  disk->renameErrors["j.log.2"] = 32;
  limits.rotateBytes = 10;
  limits.retry = 0ms;
  auto journal = Start();
  journal->OnEvent(Numbered(2));
  journal->OnEvent(Numbered(3));
  disk->WaitUntil([&] { return disk->files["j.log"].find(L(3)) != std::string::npos; });
  const std::string note = std::string(kStamp) + '\t' + texts::kEvJournalNotRotated + "\t\t\tj.log\t\t" +
                           FormatText(texts::kDetailJournalNotRotated, 0ull + Text({L(1)}).size(), "32 E32");
  EXPECT_EQ(disk->files, (Files{{"j.log", Text({note, L(2), L(3)})}, {"j.log.0", Text({L(1)})},
                                {"j.log.1", std::string(100, 'x')}, {"j.log.2", "1"}, {"j.log.4", "2"},
                                {"j.log.5", "3"}}));
  // Let go: .0 takes its place first, then the live file rotates as usual.
  disk->Change([&] { disk->renameErrors.clear(); });
  journal->OnEvent(Numbered(4));
  journal.reset();
  EXPECT_EQ(disk->files, (Files{{"j.log", Text({L(4)})}, {"j.log.1", Text({note, L(2), L(3)})},
                                {"j.log.2", Text({L(1)})}, {"j.log.3", std::string(100, 'x')}, {"j.log.4", "1"},
                                {"j.log.5", "2"}}));

  // A .0 left by a launcher that ended mid-rotation joins the history first.
  disk->files = Files{{"j.log", std::string(10, 'x')}, {"j.log.0", "0"}, {"j.log.1", "1"}};
  Start()->OnEvent(Numbered(5));
  EXPECT_EQ(disk->files, (Files{{"j.log", Text({L(5)})}, {"j.log.1", std::string(10, 'x')}, {"j.log.2", "0"},
                                {"j.log.3", "1"}}));
}

TEST_F(JournalFile, LiveFileHeldByAReaderKeepsEveryOlderFileAndGrowsPastTheLimit) {
  using Files = std::map<std::string, std::string>;
  const Files older{{"j.log.1", "1"}, {"j.log.2", "2"}, {"j.log.3", "3"}, {"j.log.4", "4"}, {"j.log.5", "5"}};
  disk->files = older;
  disk->files["j.log"] = std::string(100, 'x');
  disk->renameErrors["j.log"] = 32;  // opened elsewhere without delete sharing
  limits.rotateBytes = 100;
  limits.retry = 0ms;  // every write tries again: here one line each
  auto journal = Start();
  for (int n = 1; n <= 8; ++n) {
    journal->OnEvent(Numbered(n));
    disk->WaitUntil([&] { return disk->files["j.log"].find(L(n)) != std::string::npos; });
  }
  journal.reset();
  for (const auto& [name, text] : older) EXPECT_EQ(disk->files[name], text) << name;
  const std::string note = std::string(kStamp) + '\t' + texts::kEvJournalNotRotated + "\t\t\tj.log\t\t" +
                           FormatText(texts::kDetailJournalNotRotated, 100ull, "32 E32");
  EXPECT_EQ(disk->files["j.log"], std::string(100, 'x') + Text({note, L(1), L(2), L(3), L(4), L(5), L(6), L(7), L(8)}));
  EXPECT_EQ(disk->renames["j.log"], 8);

  // With the usual pause between attempts, lines written meanwhile do not retry.
  limits.retry = 60s;
  journal = Start();
  for (int n = 1; n <= 5; ++n) journal->OnEvent(Numbered(n));
  journal.reset();
  EXPECT_EQ(disk->renames["j.log"], 9);
}

TEST_F(JournalFile, EventsRepeatingEveryTickAreCountedOnceAMinuteUntilTheyStop) {
  auto journal = Start();
  // Raises an event of plan P at row `row` (0-based) and returns its line.
  const auto on = [&](EventKind kind, int row, std::int64_t number = 0, std::uint32_t error = 0,
                      const char* detail = "") {
    const Event e{kind, 0, "P", row, "a.exe", 0, number, 0, 0, error, detail, "", ""};
    journal->OnEvent(e);
    const std::string line = FormatJournalLine(e, kTime);
    return line.substr(0, line.size() - 2);
  };
  const auto tick = [&](std::uint32_t second) {
    journal->OnEvent(Event{EventKind::kTick, -1, "", -1, "", 0, second, 0, 0, 0, "", "", ""});
  };
  const auto own = [&](const char* word, int row, const std::string& detail) {
    return std::string(kStamp) + '\t' + word + "\tP\t" + std::to_string(row + 1) + "\ta.exe\t\t" + detail;
  };
  const auto counted = [&](int row, const char* kind, long long n, const std::string& last) {
    return own(texts::kEvRepeated, row, FormatText(texts::kDetailRepeated, kind, n, last.c_str()));
  };
  const auto ended = [&](int row, const char* kind, long long n) {
    return own(texts::kEvRepeatEnded, row, FormatText(texts::kDetailRepeatEnded, kind, kStamp, n));
  };
  std::vector<std::string> expected;
  tick(10);  // the last tick of an earlier run, long ago
  expected.push_back(on(EventKind::kPlanStarted, -1));
  // Row 1 fails at the start, before the run's first tick, then every tick.
  expected.push_back(on(EventKind::kLaunchFailed, 0, 0, 2, "no file"));
  for (std::uint32_t t = 5000; t < 5060; ++t) {
    tick(t);
    on(EventKind::kLaunchFailed, 0, 0, 2, "no file");
  }
  tick(5060);  // a minute after the first tick: the repeats so far
  expected.push_back(counted(0, texts::kEvLaunchFailed, 60, "2 no file"));
  on(EventKind::kLaunchFailed, 0, 0, 2, "no file");
  expected.push_back(on(EventKind::kLaunchFailed, 0, 0, 5, "denied"));  // another error is news
  // Row 2 exits at once and is relaunched every tick for 30 s, then stays up.
  for (std::uint32_t t = 5061; t <= 5090; ++t) {
    tick(t);
    const std::string exited = on(EventKind::kProgramExited, 1, 3);
    const std::string relaunched = on(EventKind::kProgramRelaunched, 1, t - 5060);
    if (t == 5061) expected.insert(expected.end(), {exited, relaunched});
    on(EventKind::kLaunchFailed, 0, 0, 2, "no file");
  }
  for (std::uint32_t t = 5091; t <= 5150; ++t) tick(t);
  expected.push_back(counted(0, texts::kEvLaunchFailed, 31, "2 no file"));  // 5120
  expected.push_back(counted(1, texts::kEvProgramExited, 29, FormatText(texts::kDetailExit, "3", "0.0")));  // 5121
  expected.push_back(counted(1, texts::kEvProgramRelaunched, 29, FormatText(texts::kDetailRelaunch, 30ll)));
  expected.push_back(ended(0, texts::kEvLaunchFailed, 92));  // 5150: a minute without them
  expected.push_back(ended(1, texts::kEvProgramExited, 30));
  expected.push_back(ended(1, texts::kEvProgramRelaunched, 30));
  // Row 2 fails twice, then launches: its failures end at once.
  expected.push_back(on(EventKind::kLaunchFailed, 1, 0, 5, "denied"));
  tick(5151);
  on(EventKind::kLaunchFailed, 1, 0, 5, "denied");
  const std::string relaunched = on(EventKind::kProgramRelaunched, 1, 31);
  expected.push_back(counted(1, texts::kEvLaunchFailed, 1, "5 denied"));
  expected.push_back(ended(1, texts::kEvLaunchFailed, 2));
  expected.push_back(relaunched);
  journal.reset();
  EXPECT_EQ(disk->files["j.log"], Text(expected));
}

TEST_F(JournalFile, LinesDroppedWhileTheWriterHangsAreCountedOnceItWrites) {
  disk->appendsLeft = 0;
  limits.queueLines = 3;
  auto journal = Start();
  journal->OnEvent(Numbered(1));
  disk->WaitUntil([&] { return disk->inAppend; });
  for (int n = 2; n <= 9; ++n) journal->OnEvent(Numbered(n));  // 2..4 queued, 5..9 dropped
  disk->Change([&] { disk->appendsLeft = 1; });
  // 1 written, the writer hangs on 2, 3 and 4, written together: room for 10.
  disk->WaitUntil([&] { return disk->inAppend && !disk->files["j.log"].empty(); });
  journal->OnEvent(Numbered(10));
  disk->Change([&] { disk->appendsLeft = -1; });
  journal.reset();
  const std::string lost = std::string(kStamp) + '\t' + texts::kEvLinesLost + "\t\t\t\t\t" +
                           std::string(texts::kDetailLinesLost).replace(0, 4, "5");
  EXPECT_EQ(disk->files["j.log"], Text({L(1), L(2), L(3), L(4), lost, L(10)}));
  // One write for 1, one for 2 to 4, then the count of lines lost and 10.
  EXPECT_EQ(disk->appends, 4);
}

// Lines whose write failed wait at the front again, never joined with the
// line that lines were lost before: its note stays just before it, and is
// not written again when that line's own write fails after it.
TEST_F(JournalFile, TheNoteOfLostLinesStaysBeforeItsLineThroughFailedWritesAndIsWrittenOnce) {
  disk->appendsLeft = 0;
  limits.queueLines = 3;
  limits.retry = 1ms;
  auto journal = Start();
  journal->OnEvent(Numbered(1));
  disk->WaitUntil([&] { return disk->inAppend; });
  for (int n = 2; n <= 5; ++n) journal->OnEvent(Numbered(n));  // 2..4 queued, 5 dropped
  disk->Change([&] { disk->appendsLeft = 1; });
  // 1 written; 2 to 4 hang in one write while 6 comes, then that write fails.
  disk->WaitUntil([&] { return disk->inAppend && disk->appends == 2; });
  journal->OnEvent(Numbered(6));
  disk->Change([&] { return disk->appendFailures = 1, disk->appendsLeft = 4; });
  // The failure, 2 to 4 and the note go through; 6's own write fails.
  disk->WaitUntil([&] { return (disk->inAppend && disk->appends == 6) || disk->files["j.log"].find(L(6)) != std::string::npos; });
  disk->Change([&] { return disk->appendFailures = 1, disk->appendsLeft = -1; });
  journal.reset();
  const std::string failed = std::string(kStamp) + '\t' + texts::kEvJournalOpenFailed + "\t\t\tj.log\t\t" +
                             FormatText(texts::kDetailJournalOpenFailed, kStamp, "112 E112");
  const std::string lost = std::string(kStamp) + '\t' + texts::kEvLinesLost + "\t\t\t\t\t" +
                           std::string(texts::kDetailLinesLost).replace(0, 4, "1");
  EXPECT_EQ(disk->files["j.log"], Text({L(1), failed, L(2), L(3), L(4), lost, failed, L(6)}));
}

TEST_F(JournalFile, UnopenablePathIsRetriedAndTheFailureIsTheFirstLine) {
  disk->openError = 5;
  limits.retry = 1ms;
  auto journal = Start();
  journal->OnEvent(Numbered(1));
  disk->WaitUntil([&] { return disk->openAttempts >= 3; });
  *second = 9;  // retries later still name the first failure's time
  disk->WaitUntil([&] { return disk->openAttempts >= 5; });
  disk->Change([&] { disk->openError = 0; });
  disk->WaitUntil([&] { return disk->files["j.log"].find(L(1)) != std::string::npos; });
  disk->Change([&] { disk->appendFailures = 2; });  // the line, then the failure line: the disk is full
  *second = 5;
  journal->OnEvent(Numbered(2));
  disk->WaitUntil([&] { return disk->files["j.log"].find(L(2)) != std::string::npos; });
  journal.reset();
  const auto failed = [&](const char* at, const char* error) {
    return "2026-12-07 20:31:" + std::string(at) + ".123\t" + texts::kEvJournalOpenFailed + "\t\t\tj.log\t\t" +
           FormatText(texts::kDetailJournalOpenFailed, kStamp, error);
  };
  EXPECT_EQ(disk->files["j.log"], Text({failed("09", "5 E5"), L(1), failed("05", "112 E112"), L(2)}));
}

// The file writer's stop rule, seen through the journal: what is queued is
// written out by the deadline, the file closed for good, and a writer stuck
// in a file call at the deadline is left behind without a wait.
TEST_F(JournalFile, TheWritersStopWritesOutByTheDeadlineOrLeavesAStuckWriterBehind) {
  // Written out: the lines, then no open attempt after the end.
  FileWriter writer;
  ASSERT_TRUE(writer.Start());
  Journal journal(writer, u"j.log", std::make_unique<FakeFiles>(disk), [] { return kTime; }, limits);
  for (int n = 1; n <= 3; ++n) journal.OnEvent(Numbered(n));
  EXPECT_TRUE(writer.Stop(FileWriter::Clock::now() + 10s));
  EXPECT_EQ(disk->files["j.log"], Text({L(1), L(2), L(3)}));
  journal.OnEvent(Numbered(4));  // after the end: never written
  EXPECT_FALSE(writer.Post([] {}));
  EXPECT_EQ(disk->files["j.log"], Text({L(1), L(2), L(3)}));

  // An unopenable file gets one attempt at the end, however long its pause.
  auto refused = std::make_shared<Disk>();
  refused->openError = 5;
  FileWriter closed;
  ASSERT_TRUE(closed.Start());
  Journal unopened(closed, u"j.log", std::make_unique<FakeFiles>(refused), [] { return kTime; }, limits);
  refused->WaitUntil([&] { return refused->openAttempts == 1; });
  unopened.OnEvent(Numbered(1));
  EXPECT_TRUE(closed.Stop(FileWriter::Clock::now() + 10s));
  EXPECT_EQ(refused->openAttempts, 2);

  // Stuck: the stop returns at its deadline; the writer ends after the call
  // and frees what it shares, a job posted before included.
  disk = std::make_shared<Disk>();
  disk->appendsLeft = 0;
  auto stuck = std::make_unique<Journalled>(disk, second, limits);
  stuck->OnEvent(Numbered(1));
  stuck->OnEvent(Numbered(2));
  disk->WaitUntil([&] { return disk->inAppend; });
  auto job = std::make_shared<int>(0);
  EXPECT_TRUE(stuck->writer.Post([job] { ++*job; }));
  EXPECT_FALSE(stuck->writer.Stop(FileWriter::Clock::now() + 10ms));
  stuck.reset();  // returns although the append never does
  disk->Change([&] { disk->appendsLeft = -1; });
  disk->WaitUntil([&] { return disk->gone; });
  // The stuck call's lines alone: line 2 went with it if it was queued by then.
  const std::string written = disk->files["j.log"];
  EXPECT_TRUE(written == Text({L(1)}) || written == Text({L(1), L(2)})) << written;
  while (job.use_count() > 1) std::this_thread::yield();
}

// The end's one deadline: a spared server that never ends, a metrics write
// slower than its share and a slow journal all fit the budget together, and
// the last line says what was cut short.
TEST_F(JournalFile, TheEndSplitsOneBudgetAndItsLastLineSaysWhatWasCutShort) {
  using Clock = FileWriter::Clock;
  using std::chrono::milliseconds;
  disk->appendTakes = 20ms;
  struct Run {
    EndReport report;
    milliseconds spared{0}, took{0};
    std::string metricsText;  // the last text handed to the file
  };
  const auto end = [&](const EndLimits& limits, milliseconds before, milliseconds metricsTake,
                       std::uint32_t metricsError = 0) {
    Run run;
    auto journalled = Start();
    MetricsBoard board;
    // A write cut short may finish after the run: it keeps what it writes to.
    struct Written {
      std::mutex m;
      std::string text;
    };
    const auto written = std::make_shared<Written>();
    MetricsWriter metrics(journalled->writer, [metricsTake, metricsError, written](const std::string& text) {
      std::this_thread::sleep_for(metricsTake);
      std::lock_guard<std::mutex> lock(written->m);
      written->text = text;
      return metricsError;
    });
    EventFanOut events;
    events.Add(*journalled->journal);
    events.Add(board);
    EndParts parts;
    parts.events = &events;
    parts.waitForSpared = [&](milliseconds limit) {
      run.spared = limit;
      std::this_thread::sleep_for(limit);  // saving all the while
      return SparedWait{1, 1};
    };
    parts.metrics = &board;
    parts.metricsWriter = &metrics;
    parts.writer = &journalled->writer;
    const Clock::time_point begun = Clock::now() - before;  // the stop took `before`
    run.report = EndReports(parts, limits, begun);
    run.took = std::chrono::duration_cast<milliseconds>(Clock::now() - begun);
    std::lock_guard<std::mutex> lock(written->m);
    run.metricsText = written->text;
    return run;
  };
  // The whole budget's worth of everything: each gets its share, the
  // journal what remains, which writes the last line.
  const EndLimits limits{1500ms, 400ms, 300ms};
  Run run = end(limits, 0ms, 500ms);
  EXPECT_EQ(run.spared.count(), 400);
  EXPECT_EQ(run.report.metrics.last, MetricsWriter::Last::kCutShort);
  EXPECT_TRUE(run.report.writtenOut);
  EXPECT_LT(run.took.count(), limits.total.count());
  const std::string text = disk->files["j.log"];
  const std::size_t lastLine = text.rfind('\n', text.size() - 3);
  const std::string last = text.substr(lastLine == std::string::npos ? 0 : lastLine + 1);
  EXPECT_NE(last.find(texts::kEvLauncherEnded), std::string::npos) << last;
  const std::string cut = FormatText(texts::kDetailEndSparedCut, 1ll, 1ll, "\x01");
  EXPECT_NE(last.find(cut.substr(0, cut.find('\x01'))), std::string::npos) << last;
  EXPECT_NE(last.find(texts::kDetailEndMetricsCut), std::string::npos) << last;
  EXPECT_EQ(last.find(texts::kDetailEndMetricsWritten), std::string::npos) << last;

  // Most of the budget gone before the end began: the waits take what is
  // left, never their own limits in a row.
  run = end(limits, 1300ms, 500ms);
  EXPECT_LE(run.spared.count(), 200);
  EXPECT_LT(run.took.count(), (limits.total + 200ms).count());
  EXPECT_EQ(run.report.metrics.last, MetricsWriter::Last::kCutShort);

  // Some of it gone before (a stop's asks): the spared servers' share
  // shrinks, the metrics' and the journal's do not.
  run = end({1500ms, 600ms, 300ms}, 400ms, 0ms);
  EXPECT_NEAR(static_cast<double>(run.spared.count()), 200.0, 20.0);
  EXPECT_TRUE(run.report.writtenOut);

  // The last texts in their order: the metrics say the launcher is down,
  // and their failure is journalled before the journal's last line.
  run = end({1500ms, 0ms, 300ms}, 0ms, 0ms, 5);
  EXPECT_EQ(run.report.metrics.last, MetricsWriter::Last::kFailed);
  const std::size_t up = run.metricsText.find("\nmorvastel_launcher_up");  // its series, whatever its labels
  ASSERT_NE(up, std::string::npos) << run.metricsText;
  const std::size_t upEnd = run.metricsText.find('\n', up + 1);
  EXPECT_EQ(run.metricsText.substr(upEnd - 2, 3), " 0\n") << run.metricsText;
  const std::string all = disk->files["j.log"];
  const std::size_t lastTwo = all.rfind('\n', all.rfind('\n', all.size() - 3) - 1);
  const std::string tail = all.substr(lastTwo + 1);
  EXPECT_LT(tail.find(texts::kEvMetricsFailed), tail.find(texts::kEvLauncherEnded)) << tail;
  EXPECT_NE(tail.find(texts::kEvLauncherEnded), std::string::npos) << tail;
}

// Every event word the journal writes is explained in the guide's journal
// section, so an operator reading a line can look it up.
TEST(JournalWords, EveryOneIsInTheGuidesJournalTable) {
  std::ifstream guide(MORVASTEL_GUIDE_PATH, std::ios::binary);
  ASSERT_TRUE(guide) << MORVASTEL_GUIDE_PATH;
  std::string rows, line;
  bool inJournal = false;
  while (std::getline(guide, line)) {
    if (line.rfind("## ", 0) == 0) inJournal = line.rfind("## 8.", 0) == 0;
    if (inJournal && line.rfind("| ", 0) == 0) rows += line + "\n";
  }
  ASSERT_FALSE(rows.empty());
  for (const char* word : texts::kJournalWords) {
    const std::string utf8 = GbkToUtf8(word);
    const bool listed = rows.find("| " + utf8 + " ") != std::string::npos || rows.find("/ " + utf8 + " ") != std::string::npos;
    EXPECT_TRUE(listed) << utf8;
  }
}
