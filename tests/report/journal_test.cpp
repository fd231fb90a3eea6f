// The journal's lines, and its writer against a disk in memory that can
// refuse to open, fail a write or hang inside one.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/format_text.h"
#include "app/texts.h"
#include "report/journal.h"

namespace {
using namespace std::chrono_literals;

constexpr LocalTime kTime{2026, 12, 7, 20, 31, 5, 123};
constexpr char kStamp[] = "2026-12-07 20:31:05.123";

struct Disk {
  std::mutex m;
  std::condition_variable changed;
  std::map<std::string, std::string> files;
  std::map<std::string, std::uint32_t> renameErrors;
  std::uint32_t openError = 0;
  int openAttempts = 0;
  int appendFailures = 0;  // the next appends that fail with 112 (disk full)
  int appendsLeft = -1;    // appends that go through before the next one hangs; -1: all
  bool inAppend = false;
  bool gone = false;  // the journal's files object was destroyed

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
  std::uint32_t OpenAppend(const std::string& path) override {
    return d_->Change([&] {
      ++d_->openAttempts;
      if (d_->openError == 0) d_->files[open_ = path];
      return d_->openError;
    });
  }
  std::uint32_t Append(std::string_view bytes) override {
    std::unique_lock<std::mutex> lock(d_->m);
    d_->inAppend = true;
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
  std::uint32_t Rename(const std::string& from, const std::string& to) override {
    return d_->Change([&]() -> std::uint32_t {
      if (d_->renameErrors.count(from)) return d_->renameErrors[from];
      if (!d_->files.count(from)) return 2;
      d_->files[to] = std::move(d_->files[from]);
      return d_->files.erase(from), 0;
    });
  }
  std::uint32_t Remove(const std::string& path) override {
    return d_->Change([&] { return d_->files.erase(path) ? 0u : 2u; });
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

class JournalFile : public ::testing::Test {
 protected:
  std::unique_ptr<Journal> Start() {
    return std::make_unique<Journal>("j.log", std::make_unique<FakeFiles>(disk), [] { return kTime; }, limits);
  }
  std::shared_ptr<Disk> disk = std::make_shared<Disk>();
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
  EXPECT_EQ(detail(EventKind::kHeartbeatsDropped, 3, 0, ""),
            "\xb3\xa4\xb6\xc8\xb2\xbb\xb6\xd4 3 \xb8\xf6\xa3\xac\xc0\xb4\xd7\xd4\xc6\xe4\xcb\xfb\xd6\xf7\xbb\xfa"
            " 4 \xb8\xf6\r\n");
  // Taking over: nothing to add unless the command lines differ, then both.
  EXPECT_EQ(detail(EventKind::kProgramAdopted, 0, 0, ""), "\r\n");
  Event differing{EventKind::kProgramAdopted, 0, "P", 0, "a.exe", 5, 0, 0, 0, 0, " -old", "", " -new"};
  const std::string adopted = FormatJournalLine(differing, kTime);
  EXPECT_LT(adopted.find(" -new"), adopted.find(" -old"));  // the list's first
  EXPECT_EQ(detail(EventKind::kProgramHeld, static_cast<int>(HoldReason::kOtherLauncher), 0, ""),
            FormatText(texts::kDetailHeldByLauncher, 4u) + "\r\n");
  EXPECT_EQ(detail(EventKind::kProgramHeld, static_cast<int>(HoldReason::kUnreadable), 0, ""),
            std::string(texts::kDetailHeldUnreadable) + "\r\n");
  EXPECT_EQ(detail(EventKind::kJobUnavailable, 0, 5, "denied"),
            FormatText(texts::kDetailJobUnavailable, "5 denied") + "\r\n");
}

TEST_F(JournalFile, FullFileIsRotatedKeepingFiveOlderOnes) {
  using Files = std::map<std::string, std::string>;
  disk->files = Files{{"j.log", std::string(100, 'x')}, {"j.log.1", "1"}, {"j.log.2", "2"}, {"j.log.3", "3"},
                      {"j.log.5", "5"}};  // no .4: .5 goes all the same
  limits.rotateBytes = 100;
  Start()->OnEvent(Numbered(1));  // the destructor waits for the line
  EXPECT_EQ(disk->files, (Files{{"j.log", Text({L(1)})}, {"j.log.1", std::string(100, 'x')}, {"j.log.2", "1"},
                                {"j.log.3", "2"}, {"j.log.4", "3"}}));

  // A name another program holds stops the shift before anything is lost.
  disk->renameErrors["j.log.2"] = 32;
  limits.rotateBytes = 10;
  Start()->OnEvent(Numbered(2));
  EXPECT_EQ(disk->files, (Files{{"j.log", Text({L(1), L(2)})}, {"j.log.1", std::string(100, 'x')},
                                {"j.log.2", "1"}, {"j.log.4", "2"}, {"j.log.5", "3"}}));
}

TEST_F(JournalFile, LinesDroppedWhileTheWriterHangsAreCountedOnceItWrites) {
  disk->appendsLeft = 0;
  limits.queueLines = 3;
  auto journal = Start();
  journal->OnEvent(Numbered(1));
  disk->WaitUntil([&] { return disk->inAppend; });
  for (int n = 2; n <= 9; ++n) journal->OnEvent(Numbered(n));  // 2..4 queued, 5..9 dropped
  disk->Change([&] { disk->appendsLeft = 1; });
  // 1 written, the writer hangs on 2: room for one line behind 3 and 4.
  disk->WaitUntil([&] { return disk->inAppend && !disk->files["j.log"].empty(); });
  journal->OnEvent(Numbered(10));
  disk->Change([&] { disk->appendsLeft = -1; });
  journal.reset();
  const std::string lost = std::string(kStamp) + '\t' + texts::kEvLinesLost + "\t\t\t\t\t" +
                           std::string(texts::kDetailLinesLost).replace(0, 4, "5");
  EXPECT_EQ(disk->files["j.log"], Text({L(1), L(2), L(3), L(4), lost, L(10)}));
}

TEST_F(JournalFile, UnopenablePathIsRetriedAndTheFailureIsTheFirstLine) {
  disk->openError = 5;
  limits.retry = 1ms;
  auto journal = Start();
  journal->OnEvent(Numbered(1));
  disk->WaitUntil([&] { return disk->openAttempts >= 3; });
  disk->Change([&] { disk->openError = 0; });
  disk->WaitUntil([&] { return disk->files["j.log"].find(L(1)) != std::string::npos; });
  disk->Change([&] { disk->appendFailures = 2; });  // the line, then the failure line: the disk is full
  journal->OnEvent(Numbered(2));
  disk->WaitUntil([&] { return disk->files["j.log"].find(L(2)) != std::string::npos; });
  journal.reset();
  const std::string failed = std::string(kStamp) + '\t' + texts::kEvJournalOpenFailed + "\t\t\tj.log\t\t";
  const auto since = [&](const char* error) {
    return failed + FormatText(texts::kDetailJournalOpenFailed, kStamp, error);
  };
  EXPECT_EQ(disk->files["j.log"], Text({since("5 E5"), L(1), since("112 E112"), L(2)}));
}

TEST_F(JournalFile, DestructorLeavesAWriterStuckOnADeadDiskBehind) {
  disk->appendsLeft = 0;
  limits.drain = 10ms;
  auto journal = Start();
  journal->OnEvent(Numbered(1));
  journal->OnEvent(Numbered(2));
  disk->WaitUntil([&] { return disk->inAppend; });
  journal.reset();  // returns although the append never does
  disk->Change([&] { disk->appendsLeft = -1; });
  disk->WaitUntil([&] { return disk->gone; });  // the writer ends and frees what it shares
  EXPECT_EQ(disk->files["j.log"], Text({L(1)}));
}
