#include "bench_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace nestmend::bench {

Options ParseOptions(int& argc, char** argv) {
  Options options;
  int kept = 1;
  for (int index = 1; index < argc; ++index) {
    const std::string_view argument = argv[index];
    if (argument.starts_with("--file=")) {
      options.file = argument.substr(7);
    } else if (argument.starts_with("--missing=")) {
      options.missing = std::atoll(argv[index] + 10);
    } else if (argument.starts_with("--iterations=")) {
      options.iterations = std::atoi(argv[index] + 13);
    } else if (argument.starts_with("--threads=")) {
      options.threads = static_cast<unsigned>(std::atoi(argv[index] + 10));
    } else if (argument == "--cold") {
      options.cold = true;
    } else {
      argv[kept++] = argv[index];
    }
  }
  argc = kept;
  if (options.file.empty() || options.missing < 0 || options.iterations < 1) {
    std::fprintf(stderr,
                 "usage: %s --file=PATH --missing=LINES [--iterations=N] [benchmark flags]\n",
                 argv[0]);
    std::exit(2);
  }
  return options;
}

std::uint64_t FileSize(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return 0;
  return static_cast<std::uint64_t>(status.st_size);
}

void EvictFromCache(const std::string& path) {
  const int handle = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (handle < 0) return;
  fdatasync(handle);
  posix_fadvise(handle, 0, 0, POSIX_FADV_DONTNEED);
  close(handle);
}

bool CheckAndRestore(const std::string& path, std::uint64_t original_size, std::int64_t missing) {
  const std::uint64_t tail_size = 3 * static_cast<std::uint64_t>(missing);
  bool exact = FileSize(path) == original_size + tail_size;
  if (exact && tail_size > 0) {
    std::string tail(tail_size, '\0');
    const int handle = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    exact =
        handle >= 0 && pread(handle, tail.data(), tail.size(), static_cast<off_t>(original_size)) ==
                           static_cast<ssize_t>(tail.size());
    if (handle >= 0) close(handle);
    for (std::size_t at = 0; exact && at < tail.size(); at += 3) {
      exact = tail.compare(at, 3, "}\r\n") == 0;
    }
  }
  if (truncate(path.c_str(), static_cast<off_t>(original_size)) != 0) return false;
  // The lines are gone: written out now, so that a cold run after this one waits for no flush.
  const int restored = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (restored >= 0) {
    fdatasync(restored);
    close(restored);
  }
  return exact;
}

double PeakMemoryMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void PrintResult(const char* what, double best_seconds) {
  std::printf("nestmend-bench %s seconds=%.6f peak_mib=%.1f\n", what, best_seconds,
              PeakMemoryMiB());
  std::fflush(stdout);
}

}  // namespace nestmend::bench
