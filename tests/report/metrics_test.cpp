// The metrics file's text, from a scripted stream of events, checked sample
// by sample and by Prometheus' own promtool; its writer thread.
#include "report/metrics.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "text/encoding.h"
#include "report/file_writer.h"
#include "report/metrics_writer.h"

namespace {
Event On(EventKind kind, int plan = -1, int row = -1, const std::string& program = "", std::int64_t number = 0) {
  Event event;
  event.kind = kind;
  event.plan = plan;
  event.row = row;
  event.program = program;
  event.number = number;
  return event;
}

using Samples = std::map<std::string, std::string>;

// The file's samples, series to value; every sample's family has its HELP
// and TYPE lines before it, and every series' first label is the port.
Samples Parse(const std::string& text) {
  Samples samples;
  std::set<std::string> described;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("# TYPE ", 0) == 0) described.insert(line.substr(7, line.find(' ', 7) - 7));
    if (line.empty() || line[0] == '#') continue;
    const std::size_t cut = line.rfind(' ');
    samples[line.substr(0, cut)] = line.substr(cut + 1);
    const std::size_t name = line.find_first_of("{ ");
    EXPECT_EQ(described.count(line.substr(0, name)), 1u) << line;
    EXPECT_EQ(line.compare(name, 7, "{port=\""), 0) << line;
  }
  return samples;
}

// The port of the board under test, and a series of it: `name{port="…",labels}`.
const std::string kPort = "port=\"23001\"";
std::string Series(const std::string& name, const std::string& labels = "") {
  return name + "{" + kPort + (labels.empty() ? "" : ",") + labels + "}";
}

// A row's series (`labels` after the port): its counters, its delay, and its
// state among the ten.
void AddRow(Samples& samples, const std::string& labels, int up, int starts, int exits, int kills, int failures,
            int delay, const std::string& state) {
  const std::pair<const char*, int> values[] = {{"up", up},
                                                {"starts_total", starts},
                                                {"exits_total", exits},
                                                {"hang_kills_total", kills},
                                                {"launch_failures_total", failures},
                                                {"adoptions_total", 0},
                                                {"delay_seconds", delay},
                                                {"stale_file", 0}};
  for (const auto& [name, value] : values) {
    samples[Series("morvastel_program_" + std::string(name), labels)] = std::to_string(value);
  }
  for (const char* s :
       {"waiting", "unticked", "running", "exited", "failed", "dumping", "crash_looping", "held", "ending", "unwatched"}) {
    samples[Series("morvastel_program_state", labels + ",state=\"" + s + "\"")] = s == state ? "1" : "0";
  }
}
}  // namespace

TEST(Metrics, EverySampleFollowsTheEventsWithRowsFromThePlansStartAndEscapedUtf8Labels) {
  int asked = 0;
  // The board is made before the list's header lines set the port.
  std::uint16_t port = 22225;
  MetricsBoard board([&] { ++asked; }, [&port] { return port; });
  Event started = On(EventKind::kLauncherStarted);
  started.version = "1.2-\"x\"";
  board.OnEvent(started);
  Event plan0 = On(EventKind::kPlanListed, 0);
  plan0.planName = "\xc8\xab\xb2\xbf \"a\\b\"\n";  // 全部 "a\b" and a line break
  board.OnEvent(plan0);
  Event plan1 = On(EventKind::kPlanListed, 1);
  plan1.planName = "x\xff\x81";  // not GBK: still a valid file
  board.OnEvent(plan1);
  EXPECT_EQ(asked, 1);  // one write asked for the burst
  const std::string server = "C:\\\xb7\xfe\xce\xf1\\Game.exe";  // C:\服务\Game.exe
  board.OnEvent(On(EventKind::kRowListed, 0, 0, server, 0));
  board.OnEvent(On(EventKind::kRowListed, 0, 1, "D:\\never.exe", -1));
  board.OnEvent(On(EventKind::kRowListed, 0, 2, "D:\\w.exe", 5));
  board.OnEvent(On(EventKind::kRowListed, 1, 0, "D:\\other.exe", 3));
  Event list = On(EventKind::kListRead, -1, -1, "", 2);
  list.count = 1;
  board.OnEvent(list);
  port = 23001;  // the list's /p line

  Samples expected{
      {Series("morvastel_info", "version=\"1.2-\\\"x\\\"\""), "1"},
      {Series("morvastel_launcher_up"), "1"},
      {Series("morvastel_last_update_timestamp_seconds"), "1765000000.500"},
      {Series("morvastel_list_read"), "1"},
      {Series("morvastel_list_plans"), "2"},
      {Series("morvastel_plan_running", "index=\"0\",plan=\"\xe5\x85\xa8\xe9\x83\xa8 \\\"a\\\\b\\\"\\n\""), "0"},
      {Series("morvastel_plan_running", "index=\"1\",plan=\"x\xef\xbf\xbd\xef\xbf\xbd\""), "0"},
      {Series("morvastel_plan_supervising"), "0"},
      {Series("morvastel_heartbeat_listener_up"), "0"},
      {Series("morvastel_control_up"), "0"},
      {Series("morvastel_heartbeat_ids"), "0"},
      {Series("morvastel_heartbeats_received_total"), "0"},
      {Series("morvastel_heartbeats_dropped_total", "reason=\"length\""), "0"},
      {Series("morvastel_heartbeats_dropped_total", "reason=\"foreign\""), "0"},
      {Series("morvastel_exit_notices_sent_total"), "0"},
      {Series("morvastel_hang_dumps_total"), "0"},
      {Series("morvastel_hang_dump_failures_total"), "0"},
      {Series("morvastel_stop_endings_total", "how=\"ctrl_c\""), "0"},
      {Series("morvastel_stop_endings_total", "how=\"window\""), "0"},
      {Series("morvastel_stop_endings_total", "how=\"ended\""), "0"},
  };
  EXPECT_EQ(Parse(board.Render(1765000000.5)), expected);

  board.OnEvent(On(EventKind::kListenerOpened));
  board.OnEvent(On(EventKind::kControlFailed));
  board.OnEvent(On(EventKind::kControlOpened));  // the name was freed, the retry took it
  board.OnEvent(On(EventKind::kPlanStarted, 0));
  board.OnEvent(On(EventKind::kTick, -1, -1, "", 1000));
  board.OnEvent(On(EventKind::kProgramLaunched, 0, 0, server));
  board.OnEvent(On(EventKind::kRowUnticked, 0, 2, "D:\\w.exe"));
  board.OnEvent(On(EventKind::kProgramExited, 0, 0, server, 0xC0000005));
  board.OnEvent(On(EventKind::kProgramRelaunched, 0, 0, server));
  board.OnEvent(On(EventKind::kTick, -1, -1, "", 1100));
  board.OnEvent(On(EventKind::kProgramExited, 0, 0, server, 1));
  board.OnEvent(On(EventKind::kProgramRelaunched, 0, 0, server));
  board.OnEvent(On(EventKind::kHangKilled, 0, 0, server));
  board.OnEvent(On(EventKind::kProgramEnded, 0, 0, server, 111));  // not an exit of its own
  board.OnEvent(On(EventKind::kTick, -1, -1, "", 1299));
  board.OnEvent(On(EventKind::kProgramExited, 0, 0, server, 7));  // the third within five minutes
  board.OnEvent(On(EventKind::kProgramRelaunched, 0, 0, server));
  board.OnEvent(On(EventKind::kProgramEnded, 1, 0, "D:\\other.exe", 0));  // another plan's: nothing
  board.OnEvent(On(EventKind::kExitNoticeSent));
  for (const EventKind dump : {EventKind::kDumpWritten, EventKind::kDumpFailed, EventKind::kDumpWritten}) {
    board.OnEvent(On(dump, 0, 0, server));
  }
  // A stop's asks, however they went, are counted for the launcher.
  for (const int how : {1, 3, 3}) board.OnEvent(On(EventKind::kProgramClosed, 1, 0, "D:\\other.exe", how));
  Event dropped = On(EventKind::kHeartbeatsDropped, -1, -1, "", 3);
  dropped.count = 2;
  board.OnEvent(dropped);
  Event stats = On(EventKind::kHeartbeatStats, -1, -1, "", 40);
  stats.count = 2;
  board.OnEvent(stats);
  stats.number = 41;  // heard one more, the ids the same
  board.OnEvent(stats);
  EXPECT_TRUE(board.dirty());

  const std::string text = board.Render(1765000000.5);
  EXPECT_FALSE(board.dirty());
  const std::string plan = "plan=\"\xe5\x85\xa8\xe9\x83\xa8 \\\"a\\\\b\\\"\\n\"";
  expected[Series("morvastel_plan_running", "index=\"0\"," + plan)] = "1";
  expected[Series("morvastel_heartbeat_listener_up")] = "1";
  expected[Series("morvastel_control_up")] = "1";
  expected[Series("morvastel_heartbeat_ids")] = "2";
  expected[Series("morvastel_heartbeats_received_total")] = "41";
  expected[Series("morvastel_heartbeats_dropped_total", "reason=\"length\"")] = "3";
  expected[Series("morvastel_heartbeats_dropped_total", "reason=\"foreign\"")] = "2";
  expected[Series("morvastel_exit_notices_sent_total")] = "1";
  expected[Series("morvastel_hang_dumps_total")] = "2";
  expected[Series("morvastel_hang_dump_failures_total")] = "1";
  expected[Series("morvastel_stop_endings_total", "how=\"ctrl_c\"")] = "1";
  expected[Series("morvastel_stop_endings_total", "how=\"ended\"")] = "2";
  AddRow(expected, plan + ",row=\"1\",program=\"Game.exe\"", 1, 4, 3, 1, 0, 0, "crash_looping");
  expected[Series("morvastel_program_last_exit_code", plan + ",row=\"1\",program=\"Game.exe\"")] = "7";
  AddRow(expected, plan + ",row=\"2\",program=\"never.exe\"", 0, 0, 0, 0, 0, -1, "waiting");
  AddRow(expected, plan + ",row=\"3\",program=\"w.exe\"", 0, 0, 0, 0, 0, 5, "unticked");
  EXPECT_EQ(Parse(text), expected);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\r'), std::string::npos);
  bool multibyte = false;
  EXPECT_TRUE(IsValidUtf8(text, &multibyte));

  // The loop ends five minutes after its first exit; a dump shows as such.
  asked = 0;
  board.OnEvent(On(EventKind::kTick, -1, -1, "", 1300));
  EXPECT_EQ(asked, 1);
  const std::string game = "morvastel_program_state{" + kPort + "," + plan + ",row=\"1\",program=\"Game.exe\",state=";
  EXPECT_EQ(Parse(board.Render(0))[game + "\"running\"}"], "1");
  board.OnEvent(On(EventKind::kDumpStarted, 0, 0, server));
  EXPECT_EQ(Parse(board.Render(0))[game + "\"dumping\"}"], "1");
  board.OnEvent(On(EventKind::kTick, -1, -1, "", 1301));
  EXPECT_FALSE(board.dirty());  // nothing changed with the second

  // Prometheus' own tool accepts the file.
  const std::string path = (std::filesystem::temp_directory_path() / "morvastel_metrics_test.prom").string();
  std::ofstream(path, std::ios::binary) << text;
  if (std::system("command -v promtool >/dev/null") != 0) {
    ADD_FAILURE() << "promtool is missing: scripts/deps installs the packages prometheus and prometheus-node-exporter";
  } else {
    EXPECT_EQ(std::system(("promtool check metrics < " + path).c_str()), 0);
  }

  // A program the stop asked to close stays, ending, until it has; the
  // close of another process of the row (an earlier run's) leaves it.
  Event ask = On(EventKind::kProgramAsked, 0, 0, server, 10);
  ask.pid = 40;
  board.OnEvent(ask);
  board.OnEvent(On(EventKind::kPlanStopped, 0));
  Samples stopping = Parse(board.Render(0));
  EXPECT_EQ(stopping[game + "\"ending\"}"], "1");
  EXPECT_EQ(stopping.count(Series("morvastel_program_up", plan + ",row=\"2\",program=\"never.exe\"")), 0u);
  Event closed = On(EventKind::kProgramClosed, 0, 0, server, 1);
  closed.pid = 41;
  board.OnEvent(closed);
  EXPECT_EQ(Parse(board.Render(0))[game + "\"ending\"}"], "1");

  // A stop leaves no row behind; the next plan's rows are there at once, and
  // it supervises once every row's launch was tried, failed ones included.
  closed.pid = 40;
  board.OnEvent(closed);
  EXPECT_EQ(Parse(board.Render(0)).count(game + "\"ending\"}"), 0u);
  board.OnEvent(On(EventKind::kPlanStarted, 1));
  Samples next = Parse(board.Render(0));
  EXPECT_EQ(next[Series("morvastel_plan_supervising")], "0");
  board.OnEvent(On(EventKind::kLaunchFailed, 1, 0, "D:\\other.exe"));
  next = Parse(board.Render(0));
  EXPECT_EQ(next[Series("morvastel_plan_supervising")], "1");
  std::size_t rows = 0;
  for (const auto& [series, value] : next) rows += series.find("row=\"") != std::string::npos;
  EXPECT_EQ(rows, 8u + 10u);
  const std::string otherRow = "plan=\"x\xef\xbf\xbd\xef\xbf\xbd\",row=\"1\",program=\"other.exe\"";
  const std::string other = "morvastel_program_state{" + kPort + "," + otherRow + ",state=";
  EXPECT_EQ(next[other + "\"failed\"}"], "1");
  board.OnEvent(On(EventKind::kProgramHeld, 1, 0, "D:\\other.exe"));
  EXPECT_EQ(Parse(board.Render(0))[other + "\"held\"}"], "1");
  board.OnEvent(On(EventKind::kProgramAdopted, 1, 0, "D:\\other.exe"));
  next = Parse(board.Render(0));
  EXPECT_EQ(next[other + "\"running\"}"], "1");
  EXPECT_EQ(next[Series("morvastel_program_adoptions_total", otherRow)], "1");
  // A row's own stop: ending until its process has gone, then down.
  board.OnEvent(On(EventKind::kProgramTerminated, 1, 0, "D:\\other.exe"));
  EXPECT_EQ(Parse(board.Render(0))[other + "\"ending\"}"], "1");
  board.OnEvent(On(EventKind::kProgramEnded, 1, 0, "D:\\other.exe", 111));
  next = Parse(board.Render(0));
  EXPECT_EQ(next[other + "\"exited\"}"], "1");
  EXPECT_EQ(next[Series("morvastel_program_up", otherRow)], "0");

  // The last text of an end, even one with the plan still running: the
  // launcher, its plans and its programs are down, and every row, whatever
  // it was (running, waiting), is unwatched.
  board.OnEvent(On(EventKind::kRowListed, 1, 1, "D:\\late.exe", 60));
  board.OnEvent(On(EventKind::kPlanStopped, 1));
  board.OnEvent(On(EventKind::kPlanStarted, 1));
  board.OnEvent(On(EventKind::kProgramAdopted, 1, 0, "D:\\other.exe"));
  board.OnEvent(On(EventKind::kLauncherEnding));
  EXPECT_TRUE(board.dirty());
  next = Parse(board.Render(0));
  EXPECT_EQ(next[Series("morvastel_launcher_up")], "0");
  EXPECT_EQ(next[Series("morvastel_plan_supervising")], "0");
  std::size_t unwatched = 0;
  for (const auto& [series, value] : next) {
    if (series.rfind("morvastel_program_up{", 0) == 0 || series.rfind("morvastel_plan_running{", 0) == 0) {
      EXPECT_EQ(value, "0") << series;
    }
    if (series.rfind("morvastel_program_state{", 0) == 0) {
      const bool isUnwatched = series.find("state=\"unwatched\"") != std::string::npos;
      EXPECT_EQ(value, isUnwatched ? "1" : "0") << series;
      unwatched += isUnwatched && value == "1";
    }
  }
  EXPECT_EQ(unwatched, 2u);
  EXPECT_EQ(next[Series("morvastel_program_adoptions_total", otherRow)], "1");
}

// Without a port given, the series say the default one (every series' first
// label is the port: Parse checks it).
TEST(Metrics, ABoardWithoutAPortSaysTheDefaultOne) {
  MetricsBoard unset;
  EXPECT_EQ(Parse(unset.Render(0))["morvastel_launcher_up{port=\"22225\"}"], "1");
}

namespace {
// A file for the metrics writer that can hold a write or fail it.
struct HeldFile {
  std::mutex m;
  std::condition_variable changed;
  std::vector<std::string> written;
  std::vector<std::uint32_t> errors;  // the next writes' outcomes; then success
  bool hold = false;
  bool inWrite = false;

  std::uint32_t Write(const std::string& bytes) {
    std::unique_lock<std::mutex> lock(m);
    inWrite = true;
    changed.notify_all();
    changed.wait(lock, [&] { return !hold; });
    inWrite = false;
    std::uint32_t error = 0;
    if (!errors.empty()) error = errors.front(), errors.erase(errors.begin());
    if (error == 0) written.push_back(bytes);
    changed.notify_all();
    return error;
  }
  template <typename F>
  bool WaitUntil(F done) {
    std::unique_lock<std::mutex> lock(m);
    return changed.wait_for(lock, std::chrono::seconds(10), done);
  }
  void Set(bool held) {
    std::lock_guard<std::mutex> lock(m);
    hold = held;
    changed.notify_all();
  }
};
// The writer records an outcome just after the file call returns.
template <typename F>
bool Eventually(F done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
using Changes = std::vector<std::tuple<bool, std::uint32_t, std::int64_t>>;
Changes Take(MetricsWriter& writer) {
  Changes changes;
  for (const MetricsWriter::Change& c : writer.TakeChanges()) changes.emplace_back(c.failed, c.error, c.failures);
  return changes;
}
}  // namespace

TEST(MetricsWriter, NewestTextWinsWhileAWriteHangsAndFailuresAreReportedOnceWithTheRecovery) {
  auto file = std::make_shared<HeldFile>();
  file->hold = true;
  FileWriter files;
  ASSERT_TRUE(files.Start());
  auto writer = std::make_unique<MetricsWriter>(files, [file](const std::string& bytes) { return file->Write(bytes); });
  writer->Submit("a");
  ASSERT_TRUE(file->WaitUntil([&] { return file->inWrite; }));
  writer->Submit("b");  // returns although the file hangs
  writer->Submit("c");
  file->Set(false);
  ASSERT_TRUE(file->WaitUntil([&] { return file->written.size() == 2; }));
  EXPECT_EQ(file->written, (std::vector<std::string>{"a", "c"}));
  EXPECT_TRUE(Take(*writer).empty());

  file->errors = {5, 112};
  writer->Submit("d");
  EXPECT_TRUE(Eventually([&] { return writer->failing(); }));
  writer->Submit("e");
  ASSERT_TRUE(file->WaitUntil([&] { return file->errors.empty() && !file->inWrite; }));
  writer->Submit("f");
  EXPECT_TRUE(Eventually([&] { return !writer->failing(); }));
  EXPECT_EQ(file->written.back(), "f");
  // Two failures in a row: the first reported with its error, then the recovery.
  const Changes failedThenRecovered{{true, 5u, 0}, {false, 0u, 2}};
  EXPECT_EQ(Take(*writer), failedThenRecovered);
}

TEST(MetricsWriter, TheLastTextWaitsForAWriteStillRunningAndIsTriedAgainWhileItFails) {
  using Clock = FileWriter::Clock;
  auto file = std::make_shared<HeldFile>();
  FileWriter files;
  ASSERT_TRUE(files.Start());
  MetricsWriter writer(files, [file](const std::string& bytes) { return file->Write(bytes); });
  // An earlier write hangs; the last text is not dropped for it.
  file->Set(true);
  writer.Submit("older");
  ASSERT_TRUE(file->WaitUntil([&] { return file->inWrite; }));
  {
    std::lock_guard<std::mutex> lock(file->m);
    file->errors = {0, 32, 32};  // the older text, then the last one fails twice
  }
  std::thread([file] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    file->Set(false);
  }).detach();
  const MetricsWriter::Ending ending = writer.Finish("last", Clock::now() + std::chrono::seconds(10));
  EXPECT_EQ(ending.last, MetricsWriter::Last::kWritten);
  EXPECT_EQ(ending.attempts, 3);
  EXPECT_EQ(file->written, (std::vector<std::string>{"older", "last"}));
  // The failure and the recovery are there for the journal.
  const Changes failedThenRecovered{{true, 32u, 0}, {false, 0u, 2}};
  EXPECT_EQ(Take(writer), failedThenRecovered);
  writer.Submit("after");  // nothing follows the last text
  EXPECT_TRUE(files.Stop(Clock::now() + std::chrono::seconds(10)));
  EXPECT_EQ(file->written.back(), "last");

  // Out of time: a failing last text says so with its error; a hanging one is cut short.
  FileWriter more;
  ASSERT_TRUE(more.Start());
  MetricsWriter failing(more, [](const std::string&) { return 5u; });
  const MetricsWriter::Ending failed = failing.Finish("x", Clock::now() + std::chrono::milliseconds(250));
  EXPECT_EQ(failed.last, MetricsWriter::Last::kFailed);
  EXPECT_EQ(failed.error, 5u);
  EXPECT_GE(failed.attempts, 2);
  file->Set(true);
  MetricsWriter hanging(more, [file](const std::string& bytes) { return file->Write(bytes); });
  EXPECT_EQ(hanging.Finish("y", Clock::now() + std::chrono::milliseconds(20)).last, MetricsWriter::Last::kCutShort);
  EXPECT_FALSE(more.Stop(Clock::now()));
  file->Set(false);
}
