// Throughput of the launch list reader on generated lists of about 1, 10 and
// 100 MB, beside a plain memchr count of line breaks over the same bytes: the
// ratio shows the reader's cost per byte, and equal MB/s across the sizes
// shows that its cost grows linearly.
//
// Each benchmark reads once untimed and glibc is told not to hand freed heap
// back to the kernel: otherwise every timed read of a large list starts by
// page-faulting its whole catalogue in again, which measures the machine's
// page-fault cost rather than the reader (on a VM it was most of the time).
#include <benchmark/benchmark.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstring>
#include <map>
#include <string>

#include "catalogue/launch_list.h"
#include "catalogue/list_check.h"

namespace {

// A list of `target` bytes or a little more: a header, then plans of 20
// program lines with bracketed paths holding blanks, one bare line and one
// surplus-free bracketed delay in each.
const std::string& GeneratedList(std::size_t target) {
  static std::map<std::size_t, std::string> cache;
  std::string& list = cache[target];
  if (!list.empty()) return list;
  list.reserve(target + 256);
  list += "-n Bench list\r\n-p 22225\r\n-i 127.0.0.1\r\n";
  for (std::size_t i = 0; list.size() < target; ++i) {
    const std::string n = std::to_string(i);
    if (i % 20 == 0) list += "::Plan" + n + "\r\n";
    if (i % 20 == 7) {
      list += "0 C:\\Tools\\agent" + n + ".exe C:\\Tools -quiet " + std::to_string(i % 60) + "\r\n";
    } else {
      list += "1 [C:\\Servers\\Game Server " + n + "\\GameServer.exe] [C:\\Servers\\Game Server " +
              n + "] [-port " + std::to_string(7000 + i % 1000) + " -config game.ini] [" +
              std::to_string(i % 30) + "]\r\n";
    }
  }
  return list;
}

void KeepHeap() {
#if defined(__GLIBC__)
  static const bool once = [] {
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    return true;
  }();
  (void)once;
#endif
}

void WarmUp(const std::string& list) {
  ListHeader header;
  Catalogue catalogue;
  ReadLaunchListData(list, header, catalogue);
}

void BM_ReadLaunchList(benchmark::State& state) {
  KeepHeap();
  const std::string& list = GeneratedList(static_cast<std::size_t>(state.range(0)));
  WarmUp(list);
  std::size_t entries = 0;
  for (auto _ : state) {
    ListHeader header;
    Catalogue catalogue;
    ReadLaunchListData(list, header, catalogue);
    entries = catalogue.m_entries.size();
    benchmark::DoNotOptimize(entries);
    state.PauseTiming();  // freeing the catalogue is not reading
    catalogue = Catalogue();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(list.size()));
  state.counters["entries"] = static_cast<double>(entries);
}

void BM_CountLineBreaks(benchmark::State& state) {
  const std::string& list = GeneratedList(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::size_t breaks = 0;
    const char* p = list.data();
    const char* end = p + list.size();
    while (const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
      ++breaks;
      p = static_cast<const char*>(hit) + 1;
    }
    benchmark::DoNotOptimize(breaks);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(list.size()));
}

void BM_CheckLaunchList(benchmark::State& state) {
  KeepHeap();
  const std::string& list = GeneratedList(static_cast<std::size_t>(state.range(0)));
  WarmUp(list);
  for (auto _ : state) {
    const ListCheck check = CheckLaunchList(list);
    benchmark::DoNotOptimize(check.warnings.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(list.size()));
}

constexpr std::int64_t kMB = 1 << 20;

}  // namespace

BENCHMARK(BM_ReadLaunchList)
    ->Arg(1 * kMB)
    ->Arg(10 * kMB)
    ->Arg(100 * kMB)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CountLineBreaks)
    ->Arg(1 * kMB)
    ->Arg(10 * kMB)
    ->Arg(100 * kMB)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckLaunchList)->Arg(1 * kMB)->Arg(10 * kMB)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
