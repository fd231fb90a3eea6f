// Cost of the supervision tick against real processes under Wine.
//
//   runner_bench [running [short_lived [rounds]]]
//
// 1. A plan of `running` entries whose programs all sleep (default 1000): how
//    long until all run, the time one supervision tick takes (the relaunch
//    pass's liveness checks, nothing to relaunch) as a share of the 1000 ms
//    tick period, and the per-entry cost of the two ways to ask whether a
//    process still runs: waiting on the held handle with timeout 0, and
//    GetProcessVersion by id.
// 2. A plan of `short_lived` entries (default 1000) whose programs all end
//    together on a signal: their ends are taken as the window takes them, in
//    steps of up to 8 ms, and every program is started again: the relaunches per
//    second, and the longest the window's thread spent on one step.
//
// Creations are made on the host's starting thread; the window's part is
// what this program's thread does.
//
// The helper programs come from ..\helpers beside this program's folder.
#include <windows.h>

#include "bench_clock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "runner/plan_runner.h"
#include "runner/process_host.h"

namespace {

std::string HelpersDir() {
  char path[MAX_PATH] = "";
  ::GetModuleFileNameA(nullptr, path, sizeof path);
  std::string dir(path);
  dir.resize(dir.find_last_of('\\'));        // ...\bench
  dir.resize(dir.find_last_of('\\'));        // the binary dir
  return dir + "\\helpers";
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Rows all checked, rerun on, no stale ids: what a tick asks of the dialog
// costs nothing here, so the figures are the process host's.
class BenchWindow : public RunnerHost {
 public:
  bool IsRowChecked(int) override { return true; }
  bool IsRerunChecked() override { return true; }
  void BroadcastExitNotice() override {}
  StaleProcess TakeStaleProcessId(int) override { return {}; }
  void ForgetHeartbeats(std::uint32_t) override {}
  void RestartSilences() override {}
  void StartTickTimer() override {}
  void StopTickTimer() override {}
  void WakeIn(std::uint64_t) override {}
  void ShowRunning(bool) override {}
};

class BenchHost : public WindowsProcessHost {
 public:
  explicit BenchHost(const Catalogue& catalogue) : WindowsProcessHost(catalogue) {}
  std::vector<ProcessNews> TakeNews(std::size_t most) override {
    std::vector<ProcessNews> news = WindowsProcessHost::TakeNews(most);
    for (const ProcessNews& n : news) created += n.kind == ProcessNews::Kind::kStarted && n.start.error == 0;
    return news;
  }
  int created = 0;
};

// What the window does when the host has news: a step at a time, each
// taking news one item at a time for up to 8 ms, until `done`. Returns the
// longest step in milliseconds.
template <typename Done>
double TakeNewsUntil(BenchHost& host, PlanRunner& runner, Done done) {
  double longest = 0;
  while (!done()) {
    const double t = NowMs();
    do {
      runner.TakeProcessNews(1);
    } while (host.MoreNews() && NowMs() - t < 8);
    longest = std::max(longest, NowMs() - t);
    ::Sleep(1);
  }
  return longest;
}

void AddPlan(Catalogue& catalogue, int entries, const std::string& program, const std::string& commandLine) {
  catalogue.AddPlan("bench");
  for (int i = 0; i < entries; ++i) {
    auto entry = std::make_unique<LaunchEntry>();
    entry->enabled = 1;
    entry->programPath = program;
    entry->commandLine = commandLine;
    catalogue.AddEntry(std::move(entry));
  }
  catalogue.CloseLastPlan();
}

void EndAndWait(ProcessTable& table, int entries) {
  for (int i = 0; i < entries; ++i) table.Terminate(static_cast<std::size_t>(i));
  for (int i = 0; i < entries; ++i) {
    const HANDLE h = table.ProcessHandle(static_cast<std::size_t>(i));
    if (h != nullptr) ::WaitForSingleObject(h, 60000);
  }
}

// How many of the table's first `entries` programs run, asked on the held
// handles or, the other way, by process id.
int AliveByHandle(const ProcessTable& table, int entries) {
  int alive = 0;
  for (int i = 0; i < entries; ++i) alive += table.IsRunning(static_cast<std::size_t>(i)) ? 1 : 0;
  return alive;
}
int AliveByVersion(const ProcessTable& table, int entries) {
  int alive = 0;
  for (int i = 0; i < entries; ++i) {
    alive += ::GetProcessVersion(table.ProcessId(static_cast<std::size_t>(i))) != 0 ? 1 : 0;
  }
  return alive;
}

void RunningPlan(int entries, int rounds) {
  Catalogue catalogue;
  // No arguments: the helper sleeps without touching any file.
  AddPlan(catalogue, entries, HelpersDir() + "\\recorder.exe", " ");
  BenchHost host(catalogue);
  RunnerOptions options;
  options.detect = 0;
  BenchWindow window;
  PlanRunner runner(catalogue, window, host, options);

  const double t0 = NowMs();
  runner.Start(0);  // every entry has delay 0: all are asked for here
  const double askMs = NowMs() - t0;
  const double longest = TakeNewsUntil(host, runner, [&] { return host.StartsOut() == 0; });
  const double startMs = NowMs() - t0;
  const int running = AliveByHandle(host.table(), entries);
  std::printf("running plan: %d entries, %d created, %d running; all ran %.0f ms after the start (%.1f ms per "
              "creation); the start took %.1f ms of the window, its longest message since %.1f ms\n",
              entries, host.created, running, startMs, startMs / entries, askMs, longest);

  std::vector<double> ticks, byHandle, byVersion;
  for (int r = 0; r < rounds; ++r) {
    double t = NowMs();
    runner.Tick();
    ticks.push_back(NowMs() - t);

    t = NowMs();
    const int alive = AliveByHandle(host.table(), entries);
    byHandle.push_back(NowMs() - t);

    t = NowMs();
    const int versions = AliveByVersion(host.table(), entries);
    byVersion.push_back(NowMs() - t);
    if (alive != running || versions != running) {
      std::printf("  round %d: %d alive by handle, %d by version\n", r, alive, versions);
    }
  }
  const double tick = Median(ticks);
  std::printf("supervision tick (relaunch pass, nothing to relaunch): median %.2f ms = %.2f%% of 1000 ms, "
              "max %.2f ms, over %d ticks\n",
              tick, tick / 10.0, *std::max_element(ticks.begin(), ticks.end()), rounds);
  std::printf("liveness per entry: handle wait %.2f us, GetProcessVersion by id %.2f us\n",
              Median(byHandle) * 1000.0 / entries, Median(byVersion) * 1000.0 / entries);

  const double t1 = NowMs();
  runner.Stop();
  EndAndWait(host.table(), entries);
  std::printf("stop and wait for %d exits: %.0f ms\n", entries, NowMs() - t1);

  // Both checks on ended processes (handles still held).
  double t = NowMs();
  const int alive = AliveByHandle(host.table(), entries);
  const double endedHandle = NowMs() - t;
  t = NowMs();
  const int versions = AliveByVersion(host.table(), entries);
  const double endedVersion = NowMs() - t;
  std::printf("ended processes: handle wait %.2f us (%d seen running), GetProcessVersion %.2f us (%d seen running)\n",
              endedHandle * 1000.0 / entries, alive, endedVersion * 1000.0 / entries, versions);
}

// Writes `generation` where the await helpers read which event they wait for.
void WriteGeneration(const std::string& file, int generation) {
  const HANDLE out = ::CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
  const std::string text = std::to_string(generation);
  DWORD written = 0;
  ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(out);
}

void ShortLivedPlan(int entries) {
  char folder[MAX_PATH] = "";
  ::GetTempPathA(sizeof folder, folder);
  const std::string generationFile = std::string(folder) + "runner_bench_generation.txt";
  WriteGeneration(generationFile, 1);
  const HANDLE signal = ::CreateEventA(nullptr, TRUE, FALSE, "Local\\morvastel-await-1");
  Catalogue catalogue;
  // Each waits for the signal, logging to NUL; the copies started after it
  // wait for the next one.
  AddPlan(catalogue, entries, HelpersDir() + "\\recorder.exe", " NUL await " + generationFile);
  BenchHost host(catalogue);
  RunnerOptions options;
  options.detect = 0;
  BenchWindow window;
  PlanRunner runner(catalogue, window, host, options);

  runner.Start(0);
  TakeNewsUntil(host, runner, [&] { return host.StartsOut() == 0; });
  // None is held back by its last start (nothing here would wake the
  // runner for one put off).
  ::Sleep(kRelaunchFloorMs + 100);
  WriteGeneration(generationFile, 2);
  host.created = 0;
  const double t = NowMs();
  ::SetEvent(signal);  // every program ends at once
  const double longest = TakeNewsUntil(host, runner, [&] { return host.created >= entries || NowMs() - t > 600000; });
  const double allMs = NowMs() - t;
  std::printf("short-lived plan: %d of %d programs that ended together relaunched in %.0f ms: %.1f relaunches/s, "
              "%.2f ms each; the window's longest message %.1f ms\n",
              host.created, entries, allMs, host.created * 1000.0 / allMs, allMs / host.created, longest);
  runner.Stop();
  EndAndWait(host.table(), entries);
  ::CloseHandle(signal);
  ::DeleteFileA(generationFile.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const int running = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int shortLived = argc > 2 ? std::atoi(argv[2]) : 1000;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 20;
  if (running > 0) RunningPlan(running, rounds);
  if (shortLived > 0) ShortLivedPlan(shortLived);
  return 0;
}
