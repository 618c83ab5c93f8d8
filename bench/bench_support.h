// What the engine and window benchmarks share: their command line, the check that a repair
// appended exactly the missing lines, putting the file back, and the figures they print.
#pragma once

#include <cstdint>
#include <string>

namespace nestmend::bench {

struct Options {
  std::string file;           // the file to repair
  std::int64_t missing = -1;  // the "}" lines it lacks
  int iterations = 3;
  unsigned threads = 0;  // 0: one per core
  bool cold = false;     // evict the file from the page cache before each run
};

// Takes --file=, --missing=, --iterations=, --threads= and --cold out of argv and leaves the rest
// for Google Benchmark. Exits with a message when --file or --missing is absent.
Options ParseOptions(int& argc, char** argv);

// Whether `path` is its first `original_size` bytes followed by exactly `missing` "}" CR LF
// lines; then cuts it back to `original_size`, ready for the next repair.
bool CheckAndRestore(const std::string& path, std::uint64_t original_size, std::int64_t missing);

std::uint64_t FileSize(const std::string& path);
// Writes the file out and drops it from the page cache, so that the next read comes from disk.
void EvictFromCache(const std::string& path);
double PeakMemoryMiB();

// The line scripts/bench reads.
void PrintResult(const char* what, double best_seconds);

}  // namespace nestmend::bench
