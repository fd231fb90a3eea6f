// The status column's texts and the drop reports, from the event stream.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "text/format_text.h"
#include "text/texts.h"
#include "report/drop_tally.h"
#include "report/status_board.h"
#include "report/events.h"

namespace {
std::string Gbk(const char* format, const std::string& value) {
  std::string text = format;
  return text.replace(text.find('%'), 2, value);
}
using Changes = std::vector<std::pair<int, std::string>>;
}  // namespace

TEST(StatusBoard, EachRowShowsItsLastStateAndOnlyChangedCellsAreRedrawn) {
  StatusBoard board;
  board.OnEvent(On(EventKind::kPlanStarted, 1));
  board.OnEvent(On(EventKind::kCountdown, 1, 1, 0, 3));
  board.OnEvent(On(EventKind::kRowUnticked, 1, 2));
  board.OnEvent(On(EventKind::kProgramLaunched, 1, 0, 1234));
  board.OnEvent(On(EventKind::kCountdown, 0, 0, 0, 9));  // another plan's: ignored
  EXPECT_EQ(board.TakeChanges(), (Changes{{0, Gbk(texts::kStatusRunning, "1234")},
                                         {1, Gbk(texts::kStatusWaiting, "3")},
                                         {2, texts::kStatusUnticked}}));
  board.OnEvent(On(EventKind::kRowUnticked, 1, 2));  // the same text again: nothing to redraw
  EXPECT_TRUE(board.TakeChanges().empty());
  Event crash = On(EventKind::kProgramExited, 1, 0, 1234, 0xC0000005);
  board.OnEvent(crash);
  board.OnEvent(On(EventKind::kProgramExited, 1, 1, 99, 3));
  EXPECT_EQ(board.TakeChanges(), (Changes{{0, Gbk(texts::kStatusExited, "0xC0000005")},
                                         {1, Gbk(texts::kStatusExited, "3")}}));
  // Taken over, and waiting for a process that may be the row's, by reason.
  board.OnEvent(On(EventKind::kProgramAdopted, 1, 0, 77));
  board.OnEvent(On(EventKind::kProgramHeld, 1, 1, 78, static_cast<int>(HoldReason::kOtherLauncher)));
  board.OnEvent(On(EventKind::kProgramHeld, 1, 2, 79, static_cast<int>(HoldReason::kAmbiguous)));
  EXPECT_EQ(board.TakeChanges(), (Changes{{0, Gbk(texts::kStatusAdopted, "77")},
                                         {1, Gbk(texts::kStatusHeldByLauncher, "78")},
                                         {2, Gbk(texts::kStatusHeldAmbiguous, "79")}}));
  board.OnEvent(On(EventKind::kProgramHeld, 1, 2, 79, static_cast<int>(HoldReason::kUnreadable)));
  EXPECT_EQ(board.TakeChanges(), (Changes{{2, Gbk(texts::kStatusHeldUnreadable, "79")}}));
  board.OnEvent(On(EventKind::kHangKilled, 1, 1, 99));
  board.OnEvent(On(EventKind::kProgramRelaunched, 1, 0, 4321, 2));
  board.OnEvent(On(EventKind::kProgramKept, 1, 2, 77));  // a countdown no more
  EXPECT_EQ(board.TakeChanges(), (Changes{{0, FormatText(texts::kStatusRelaunched, 2, 4321u)},
                                         {1, texts::kStatusHangKilled},
                                         {2, Gbk(texts::kStatusRunning, "77")}}));
  board.OnEvent(On(EventKind::kDumpStarted, 1, 2, 77));
  EXPECT_EQ(board.TakeChanges(), (Changes{{2, texts::kStatusDumping}}));

  // Row 2 has exited three times within five minutes: it crash-loops until
  // the first of them is five minutes old.
  const auto tick = [&](std::int64_t second) { board.OnEvent(On(EventKind::kTick, -1, -1, 0, second)); };
  const std::string looping = FormatText(texts::kStatusCrashLooping, FormatText(texts::kStatusRelaunched, 3, 4324u).c_str());
  tick(1000);
  board.OnEvent(On(EventKind::kProgramExited, 1, 1, 99, 3));  // the hang kill above was no exit of its own
  tick(1200);
  board.OnEvent(On(EventKind::kProgramExited, 1, 0, 4321, 1));
  board.OnEvent(On(EventKind::kProgramRelaunched, 1, 0, 4322, 3));
  tick(1299);
  board.OnEvent(On(EventKind::kProgramExited, 1, 1, 99, 3));
  board.TakeChanges();
  board.OnEvent(On(EventKind::kProgramExited, 1, 1, 99, 4));
  board.OnEvent(On(EventKind::kProgramRelaunched, 1, 1, 4324, 3));
  EXPECT_EQ(board.TakeChanges(), (Changes{{1, looping}}));
  tick(1299);
  EXPECT_TRUE(board.TakeChanges().empty());
  tick(1300);  // the exit at 1000 is five minutes old
  EXPECT_EQ(board.TakeChanges(), (Changes{{1, FormatText(texts::kStatusRelaunched, 3, 4324u)}}));

  board.OnEvent(On(EventKind::kPlanStopped, 1));
  EXPECT_EQ(board.plan(), -1);
  EXPECT_EQ(board.TakeChanges(), (Changes{{0, ""}, {1, ""}, {2, ""}}));
  EXPECT_EQ(FormatExitCode(0xBFFFFFFF), "3221225471");  // below the crash range: decimal
}

// A stop that asks programs to close (/g): their rows say so until each has
// closed or been ended, and only then do the texts belong to no plan.
TEST(StatusBoard, RowsAStopAskedToCloseSaySoUntilTheyHave) {
  StatusBoard board;
  board.OnEvent(On(EventKind::kPlanStarted, 2));
  for (int row : {0, 1, 2}) board.OnEvent(On(EventKind::kProgramLaunched, 2, row, 10u + row));
  board.TakeChanges();
  board.OnEvent(On(EventKind::kProgramAsked, 2, 0, 10, 30));
  board.OnEvent(On(EventKind::kProgramAsked, 2, 2, 12, 30));
  board.OnEvent(On(EventKind::kPlanStopped, 2));
  const std::string asked = FormatText(texts::kStatusAsked, 30);
  EXPECT_EQ(board.TakeChanges(), (Changes{{0, asked}, {1, ""}, {2, asked}}));
  EXPECT_EQ(board.plan(), -1);
  EXPECT_EQ(board.cellsPlan(), 2);
  board.OnEvent(On(EventKind::kProgramClosed, 2, 2, 12, 1));
  EXPECT_EQ(board.TakeChanges(), (Changes{{2, ""}}));
  EXPECT_EQ(board.cellsPlan(), 2);
  board.OnEvent(On(EventKind::kProgramClosed, 2, 1, 11, 3));  // never asked: nothing
  EXPECT_TRUE(board.TakeChanges().empty());
  board.OnEvent(On(EventKind::kProgramClosed, 2, 0, 10, 3));
  EXPECT_EQ(board.TakeChanges(), (Changes{{0, ""}}));
  EXPECT_EQ(board.cellsPlan(), -1);

  // A next plan's start leaves nothing of an earlier stop's asks.
  board.OnEvent(On(EventKind::kPlanStarted, 2));
  board.OnEvent(On(EventKind::kProgramAsked, 2, 1, 11, 5));
  board.OnEvent(On(EventKind::kPlanStopped, 2));
  board.OnEvent(On(EventKind::kPlanStarted, 0));
  EXPECT_EQ(board.cellsPlan(), 0);
  board.OnEvent(On(EventKind::kPlanStopped, 0));
  EXPECT_EQ(board.cellsPlan(), -1);
}

namespace {
struct Collect : EventSink {
  std::vector<Event> events;
  void OnEvent(const Event& e) override { events.push_back(e); }
};
}  // namespace

TEST(DropTally, SumsDropsAndReportsAtMostOnceAMinute) {
  Collect sink;
  std::uint32_t now = 1000;
  DropTally tally(&sink, [&] { return now; });
  tally.Dropped(true);  // the first is reported at once
  for (int i = 0; i < 500; ++i) tally.Dropped(i % 2 == 0);
  now += DropTally::kReportSeconds - 1;
  tally.Poll();
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0].number, 1);
  now += 1;
  tally.Poll();
  ASSERT_EQ(sink.events.size(), 2u);
  EXPECT_EQ(sink.events[1].kind, EventKind::kHeartbeatsDropped);
  EXPECT_EQ(sink.events[1].number, 250);  // wrong length
  EXPECT_EQ(sink.events[1].count, 250);   // another host
  tally.Dropped(false);
  tally.Poll(true);  // at the end, whatever the time
  ASSERT_EQ(sink.events.size(), 3u);
  EXPECT_EQ(sink.events[2].count, 1);
  tally.Poll(true);  // nothing counted: nothing reported
  EXPECT_EQ(sink.events.size(), 3u);
}
