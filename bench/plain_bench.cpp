// Times a whole repair with the engine alone, and a plain read of the same file through the same
// file layer, with nothing but the standard library: built for Linux and for Windows, it tells
// apart what the engine costs and what a platform (Wine) costs to read a file at all.
// usage: plain_bench FILE MISSING [ITERATIONS]
// Prints "read_seconds=... repair_seconds=...", the best of ITERATIONS (3) each; each repair is
// checked to have appended exactly MISSING lines "}" CR LF, then cut back.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>

#include "fixit.h"

namespace {

class QuietSurface final : public nestmend::RepairSurface {
 public:
  explicit QuietSurface(std::string path) : path_(std::move(path)) {}
  void SetStatus(std::string_view) override {}
  void SetProgressMax(float) override {}
  void SetProgressValue(float) override {}
  std::string RepairPath() override { return path_; }
  bool PumpEvents() override { return true; }
  void ShowMessage(std::string_view) override {}
  bool PumpEventsRepeatedly(std::uint64_t) override { return true; }
  bool ScanProgress(const nestmend::ScanBatch&) override { return true; }
  void AppendProgress(std::uint64_t, std::uint64_t) override {}

 private:
  std::string path_;
};

double Seconds(const std::chrono::steady_clock::time_point& since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The whole file in chunks of 1 MiB, one after another, as the platform's file layer reads.
bool ReadAll(nestmend::FileSystem& files, const std::string& path) {
  const nestmend::FileResult<nestmend::FileSystem::Handle> handle = files.OpenForReading(path);
  if (!handle) return false;
  const auto buffer = std::make_unique<char[]>(std::size_t{1} << 20);
  std::uint64_t offset = 0;
  while (true) {
    const nestmend::FileResult<std::size_t> count =
        files.Read(*handle, offset, std::span(buffer.get(), std::size_t{1} << 20));
    if (!count || *count == 0) break;
    offset += *count;
  }
  files.Close(*handle);
  return true;
}

bool RepairedExactly(const std::string& path, std::uint64_t size, std::uint64_t missing) {
  if (std::filesystem::file_size(path) != size + 3 * missing) return false;
  std::ifstream tail(path, std::ios::binary);
  tail.seekg(static_cast<std::streamoff>(size));
  for (std::uint64_t line = 0; line < missing; ++line) {
    char bytes[3] = {};
    if (!tail.read(bytes, 3) || std::string_view(bytes, 3) != "}\r\n") return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s FILE MISSING [ITERATIONS]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const auto missing = std::strtoull(argv[2], nullptr, 10);
  const int iterations = argc > 3 ? std::atoi(argv[3]) : 3;
  const std::uint64_t size = std::filesystem::file_size(path);
  double read = std::numeric_limits<double>::infinity();
  double repair = std::numeric_limits<double>::infinity();
  for (int iteration = 0; iteration < iterations; ++iteration) {
    auto start = std::chrono::steady_clock::now();
    if (!ReadAll(nestmend::SystemFiles(), path)) return 1;
    read = std::min(read, Seconds(start));
    QuietSurface surface(path);
    start = std::chrono::steady_clock::now();
    nestmend::Fixit(surface);
    repair = std::min(repair, Seconds(start));
    const bool exact = RepairedExactly(path, size, missing);
    std::filesystem::resize_file(path, size);
    if (!exact) {
      std::fprintf(stderr, "plain_bench: the repair did not append exactly %llu lines\n",
                   static_cast<unsigned long long>(missing));
      return 1;
    }
  }
  std::printf("read_seconds=%.4f repair_seconds=%.4f\n", read, repair);
  return 0;
}
