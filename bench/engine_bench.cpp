// Times the repair engine alone on one file: both passes, the append and the flush, with a
// surface that counts what it is asked to show and draws nothing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>

#include "bench_support.h"
#include "fixit.h"

namespace {

class CountingSurface final : public nestmend::RepairSurface {
 public:
  explicit CountingSurface(std::string path) : path_(std::move(path)) {}
  void SetStatus(std::string_view) override { ++calls; }
  void SetProgressMax(float) override { ++calls; }
  void SetProgressValue(float) override { ++calls; }
  std::string RepairPath() override { return path_; }
  bool PumpEvents() override { return ++calls > 0; }
  void ShowMessage(std::string_view) override { ++calls; }
  bool PumpEventsRepeatedly(std::uint64_t) override { return ++calls > 0; }
  bool ScanProgress(const nestmend::ScanBatch& batch) override {
    benchmark::DoNotOptimize(batch.last_value);
    return ++calls > 0;
  }
  void AppendProgress(std::uint64_t, std::uint64_t) override { ++calls; }
  std::uint64_t calls = 0;

 private:
  std::string path_;
};

nestmend::bench::Options options;
bool all_exact = true;
double best_seconds = std::numeric_limits<double>::infinity();

void BM_Fixit(benchmark::State& state) {
  const std::uint64_t original_size = nestmend::bench::FileSize(options.file);
  std::uint64_t calls = 0;
  for (auto _ : state) {
    CountingSurface surface(options.file);
    if (options.cold) {
      state.PauseTiming();
      nestmend::bench::EvictFromCache(options.file);
      state.ResumeTiming();
    }
    const auto start = std::chrono::steady_clock::now();
    nestmend::Fixit(surface, nestmend::SystemFiles(), {.threads = options.threads});
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best_seconds = std::min(best_seconds, took.count());
    calls = surface.calls;
    state.PauseTiming();
    all_exact =
        nestmend::bench::CheckAndRestore(options.file, original_size, options.missing) && all_exact;
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(original_size));
  state.counters["surface_calls"] = static_cast<double>(calls);
  state.counters["peak_MiB"] = nestmend::bench::PeakMemoryMiB();
}

}  // namespace

int main(int argc, char** argv) {
  options = nestmend::bench::ParseOptions(argc, argv);
  benchmark::RegisterBenchmark("Fixit", BM_Fixit)
      ->Iterations(options.iterations)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  nestmend::bench::PrintResult("engine", best_seconds);
  if (!all_exact) {
    std::fprintf(stderr, "engine_bench: the repair did not append exactly %lld lines\n",
                 static_cast<long long>(options.missing));
    return 1;
  }
  return 0;
}
