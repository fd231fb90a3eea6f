// What the journal costs the window's thread per event: formatting the line
// alone, the whole OnEvent (format, then queue for the writer) with a file
// that takes every line at once, and an event that repeats (only counted). The window's thread must never be
// slowed by the journal, so OnEvent should stay within a few microseconds.
// The writer drops lines when the loop outruns it; the count of lines it
// took is reported beside the time.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

#include "report/file_writer.h"
#include "report/journal.h"
#include "runner/plan_runner.h"

namespace {

class NullFiles : public JournalFiles {
 public:
  explicit NullFiles(std::shared_ptr<std::atomic<long long>> lines) : lines_(std::move(lines)) {}
  std::uint32_t OpenAppend(const std::u16string&) override { return 0; }
  std::uint32_t Append(std::string_view) override {
    ++*lines_;
    return 0;
  }
  std::int64_t Size() override { return 0; }
  void Close() override {}
  std::uint32_t Rename(const std::u16string&, const std::u16string&) override { return 0; }
  bool Exists(const std::u16string&) override { return false; }
  std::string ErrorText(std::uint32_t) override { return std::string(); }

 private:
  std::shared_ptr<std::atomic<long long>> lines_;
};

LocalTime Now() { return LocalTime{2026, 12, 7, 20, 31, 5, 123}; }

// A typical line: a crash with a Chinese plan name and a long program path.
Event Exit() {
  Event e;
  e.kind = EventKind::kProgramExited;
  e.planName = "\xc8\xab\xb2\xbf\xb7\xfe\xce\xf1";  // 全部服务
  e.row = 4;
  e.program = "C:\\Servers\\World Server\\WorldServer.exe";
  e.pid = 4321;
  e.number = 0xC0000005;
  e.millis = 3'600'123;
  return e;
}

void BM_FormatJournalLine(benchmark::State& state) {
  const Event event = Exit();
  const LocalTime time = Now();
  for (auto _ : state) benchmark::DoNotOptimize(FormatJournalLine(event, time));
}
BENCHMARK(BM_FormatJournalLine);

// A line that is always written (a hang kill: never counted as a repeat).
void BM_JournalOnEvent(benchmark::State& state) {
  auto written = std::make_shared<std::atomic<long long>>(0);
  Event event = Exit();
  event.kind = EventKind::kHangKilled;
  FileWriter writer;
  writer.Start();
  {
    Journal journal(writer, u"bench.log", std::make_unique<NullFiles>(written), Now);
    for (auto _ : state) journal.OnEvent(event);
  }
  writer.Stop(FileWriter::Clock::now() + std::chrono::minutes(1));
  state.counters["written"] =
      benchmark::Counter(static_cast<double>(*written) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_JournalOnEvent);

// The same exit of the same row again and again: after the first, each one
// is only counted (one line a minute at most), never formatted or queued.
void BM_JournalOnRepeatedEvent(benchmark::State& state) {
  auto written = std::make_shared<std::atomic<long long>>(0);
  const Event event = Exit();
  FileWriter writer;
  writer.Start();
  {
    Journal journal(writer, u"bench.log", std::make_unique<NullFiles>(written), Now);
    for (auto _ : state) journal.OnEvent(event);
  }
  writer.Stop(FileWriter::Clock::now() + std::chrono::minutes(1));
  state.counters["written"] = static_cast<double>(*written);
}
BENCHMARK(BM_JournalOnRepeatedEvent);

// A host whose 1000 programs all run: a supervising tick changes nothing,
// so what it costs with the journal on is the exit check of every entry.
class QuietHost : public RunnerHost, public ProcessHost {
 public:
  bool IsRowChecked(int) override { return true; }
  bool IsRerunChecked() override { return true; }
  void StartEntryProcess(std::size_t entry) override {
    pids_.resize(entry + 1 > pids_.size() ? entry + 1 : pids_.size());
    pids_[entry] = static_cast<std::uint32_t>(4 * entry + 100);
    news_.push_back({ProcessNews::Kind::kStarted, entry, pids_[entry], {}});
  }
  std::vector<ProcessNews> TakeNews(std::size_t) override { return std::exchange(news_, {}); }
  std::vector<ProcessNews> CancelStarts() override { return std::exchange(news_, {}); }
  ProcessIdentity EntryIdentity(std::size_t) override { return {}; }
  std::vector<FoundProcess> FindRunning(const ProcessIdentity&) override { return {}; }
  ProcessStart AdoptProcess(std::size_t, const FoundProcess&) override { return {}; }
  void MoveProcess(std::size_t, std::size_t) override {}
  std::vector<ProcessNews> CheckStarts() override { return {}; }
  bool IsEntryEnding(std::size_t) override { return false; }
  std::vector<std::uint32_t> LeftInTree(std::size_t) override { return {}; }
  ProcessStart TakeSurvivor(std::size_t, std::uint32_t) override { return {}; }
  void EndTree(std::size_t) override {}
  std::string DescribeError(std::uint32_t) override { return std::string(); }
  bool IsEntryRunning(std::size_t entry) override { return entry < pids_.size() && pids_[entry] != 0; }
  std::uint32_t EntryProcessId(std::size_t entry) override { return entry < pids_.size() ? pids_[entry] : 0; }
  std::uint32_t EntryExitCode(std::size_t) override { return 0; }
  void TerminateEntry(std::size_t) override {}
  std::uint32_t TerminateErrorReporter(std::uint32_t) override { return 0; }
  void BroadcastExitNotice() override {}
  StaleProcess TakeStaleProcessId(int) override { return {}; }
  void ForgetHeartbeats(std::uint32_t) override {}
  void RestartSilences() override {}
  void StartTickTimer() override {}
  void StopTickTimer() override {}
  void WakeIn(std::uint64_t) override {}
  void ShowRunning(bool) override {}
  std::uint64_t NowMilliseconds() override { return 0; }
  DumpStart StartDump(std::size_t, std::uint32_t) override { return {}; }
  bool EntryTreeHolds(std::size_t, std::uint32_t) override { return false; }
  DumpOutcome PollDump(std::size_t) override { return {}; }
  void AbandonDump(std::size_t) override {}

 private:
  std::vector<std::uint32_t> pids_;
  std::vector<ProcessNews> news_;
};

// The supervising tick of a 1000-entry plan, without (0) and with (1) the
// journal on the event stream.
void BM_SupervisingTick(benchmark::State& state) {
  Catalogue catalogue;
  catalogue.AddPlan("p");
  for (int i = 0; i < 1000; ++i) {
    auto entry = std::make_unique<LaunchEntry>();
    entry->programPath = "C:\\Servers\\World Server\\WorldServer.exe";
    catalogue.AddEntry(std::move(entry));
  }
  catalogue.CloseLastPlan();
  QuietHost host;
  RunnerOptions options;
  auto written = std::make_shared<std::atomic<long long>>(0);
  FileWriter writer;
  writer.Start();
  Journal journal(writer, u"bench.log", std::make_unique<NullFiles>(written), Now);
  PlanRunner runner(catalogue, host, host, options, state.range(0) != 0 ? &journal : nullptr);
  runner.Start(0);
  runner.TakeProcessNews();
  for (auto _ : state) runner.Tick();
}
BENCHMARK(BM_SupervisingTick)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
