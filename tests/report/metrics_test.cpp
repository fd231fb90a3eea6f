// The metrics file's text, from a scripted stream of events, checked line by
// line and by Prometheus' own promtool.
#include "report/metrics.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/encoding.h"
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
bool Has(const std::string& text, const std::string& line) { return text.find("\n" + line + "\n") != std::string::npos; }
}  // namespace

TEST(Metrics, CountsFromTheEventsInTheTextFormatWithEscapedUtf8Labels) {
  int asked = 0;
  MetricsBoard board([&] { ++asked; });
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
  board.OnEvent(On(EventKind::kListenerOpened));
  board.OnEvent(On(EventKind::kPlanStarted, 0));
  const std::string server = "C:\\\xb7\xfe\xce\xf1\\Game.exe";  // C:\服务\Game.exe
  board.OnEvent(On(EventKind::kProgramLaunched, 0, 0, server));
  board.OnEvent(On(EventKind::kProgramExited, 0, 0, server, 0xC0000005));
  board.OnEvent(On(EventKind::kProgramRelaunched, 0, 0, server));
  board.OnEvent(On(EventKind::kHangKilled, 0, 0, server));
  board.OnEvent(On(EventKind::kProgramEnded, 0, 0, server, 111));
  board.OnEvent(On(EventKind::kLaunchFailed, 0, 1, "D:\\w.exe"));
  Event dropped = On(EventKind::kHeartbeatsDropped, -1, -1, "", 3);
  dropped.count = 2;
  board.OnEvent(dropped);
  Event stats = On(EventKind::kHeartbeatStats, -1, -1, "", 40);
  stats.count = 2;
  board.OnEvent(stats);
  board.OnEvent(On(EventKind::kCountdown, 0, 1, "", 5));  // changes nothing
  EXPECT_TRUE(board.dirty());

  const std::string text = "\n" + board.Render(1765000000.5);
  EXPECT_FALSE(board.dirty());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_TRUE(Has(text, "morvastel_info{version=\"1.2-\\\"x\\\"\"} 1"));
  EXPECT_TRUE(Has(text, "morvastel_last_update_timestamp_seconds 1765000000.500"));
  EXPECT_TRUE(Has(text, "morvastel_plan_running{index=\"0\",plan=\"\xe5\x85\xa8\xe9\x83\xa8 \\\"a\\\\b\\\"\\n\"} 1"));
  EXPECT_TRUE(Has(text, "morvastel_plan_running{index=\"1\",plan=\"x\xef\xbf\xbd\xef\xbf\xbd\"} 0"));
  const std::string labels = "{plan=\"\xe5\x85\xa8\xe9\x83\xa8 \\\"a\\\\b\\\"\\n\",row=\"1\",program=\"Game.exe\"}";
  EXPECT_TRUE(Has(text, "morvastel_program_up" + labels + " 0"));
  EXPECT_TRUE(Has(text, "morvastel_program_starts_total" + labels + " 2"));
  EXPECT_TRUE(Has(text, "morvastel_program_exits_total" + labels + " 1"));
  EXPECT_TRUE(Has(text, "morvastel_program_hang_kills_total" + labels + " 1"));
  EXPECT_TRUE(Has(text, "morvastel_program_last_exit_code" + labels + " 111"));
  EXPECT_NE(text.find("morvastel_program_launch_failures_total{plan=\"\xe5\x85\xa8"), std::string::npos);
  EXPECT_NE(text.find(",row=\"2\",program=\"w.exe\"} 1\n"), std::string::npos);
  EXPECT_TRUE(Has(text, "morvastel_heartbeat_listener_up 1"));
  EXPECT_TRUE(Has(text, "morvastel_heartbeat_ids 2"));
  EXPECT_TRUE(Has(text, "morvastel_heartbeats_received_total 40"));
  EXPECT_TRUE(Has(text, "morvastel_heartbeats_dropped_total{reason=\"length\"} 3"));
  EXPECT_TRUE(Has(text, "morvastel_heartbeats_dropped_total{reason=\"foreign\"} 2"));
  bool multibyte = false;
  EXPECT_TRUE(IsValidUtf8(text, &multibyte));

  // Prometheus' own tool accepts the file.
  const std::string path = "metrics_test.prom";
  std::ofstream(path, std::ios::binary) << text.substr(1);
  ASSERT_EQ(std::system("command -v promtool >/dev/null"), 0)
      << "promtool is missing: scripts/deps installs the packages prometheus and prometheus-node-exporter";
  EXPECT_EQ(std::system(("promtool check metrics < " + path).c_str()), 0);

  // A stop leaves no row behind and the plan not running.
  board.OnEvent(On(EventKind::kPlanStopped, 0));
  const std::string stopped = board.Render(0);
  EXPECT_EQ(stopped.find("row=\""), std::string::npos);
  EXPECT_NE(stopped.find("morvastel_plan_running{index=\"0\""), std::string::npos);
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
  auto writer = std::make_unique<MetricsWriter>([file](const std::string& bytes) { return file->Write(bytes); },
                                                std::chrono::seconds(10));
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

  // At the end the last text is written; a write that hangs is left behind.
  writer->Submit("g");
  writer.reset();
  EXPECT_EQ(file->written.back(), "g");
  writer = std::make_unique<MetricsWriter>([file](const std::string& bytes) { return file->Write(bytes); },
                                           std::chrono::milliseconds(10));
  file->Set(true);
  writer->Submit("h");
  ASSERT_TRUE(file->WaitUntil([&] { return file->inWrite; }));
  writer.reset();
  file->Set(false);
  EXPECT_TRUE(file->WaitUntil([&] { return file->written.back() == "h"; }));
}
