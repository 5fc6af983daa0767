// Cost of one line: written alone (look up, open, write, close) or within a burst that shares
// one open; and the pieces of building it.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "logger/logger.h"
#include "os/wall_clock.h"

namespace {

const std::string kMessage(100, 'm');

// A writer logging into a fresh temporary folder, removed afterwards.
struct BenchWriter {
  BenchWriter() {
    std::string pattern = std::filesystem::temp_directory_path() / "kestrune-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    log.MaxLogSize = 209715200;
    log.LogBackupCount = 1;
    log.InitLog(".LOG");
  }
  ~BenchWriter() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  std::string dir;
  logger::Logger log{{&os::RealFileSystem(), os::LocalNow, [this] { return dir + "/kestrune"; }}};
};

void WriteLogPerLine(benchmark::State& state) {
  BenchWriter w;
  const os::LocalTime stamp = os::LocalNow();
  for (auto _ : state)
    w.log.WriteLog(1, kMessage, stamp);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(WriteLogPerLine);

void BurstLines(benchmark::State& state) {
  BenchWriter w;
  const os::LocalTime stamp = os::LocalNow();
  const auto lines = state.range(0);
  for (auto _ : state) {
    logger::Logger::Burst burst(w.log);
    for (std::int64_t i = 0; i < lines; ++i)
      burst.WriteLog(1, kMessage, stamp);
  }
  state.SetItemsProcessed(state.iterations() * lines);
}
BENCHMARK(BurstLines)->Arg(1)->Arg(8)->Arg(64);

void BuildDataLine(benchmark::State& state) {
  const os::LocalTime stamp = os::LocalNow();
  std::string line;
  for (auto _ : state) {
    logger::AssignDataLine(line, 1, stamp, "", kMessage);
    benchmark::DoNotOptimize(line.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BuildDataLine);

void LocalTimeLookedUpEachTime(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(os::LocalNow());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(LocalTimeLookedUpEachTime);

void LocalTimeCachedPerSecond(benchmark::State& state) {
  os::LocalTimeConverter convert;
  for (auto _ : state)
    benchmark::DoNotOptimize(convert(os::WallNow()));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(LocalTimeCachedPerSecond);

}  // namespace

BENCHMARK_MAIN();
