// The item scanner alone, on a file read as a pass reads it (chunks of 1 MiB, from the page
// cache): the seconds each pass spends scanning, and how many blocks leave the block loop's fast
// paths. Built from the scanner's own sources, with NESTMEND_SCAN_NOTES to count those blocks.
// usage: scan_bench FILE
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "item_scanner.h"
#include "scan_parts.h"

nestmend::scan::ScanNotes nestmend::scan::notes;

namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;

// Seconds spent scanning the whole file once for `detail`, the reads apart.
double ScanSeconds(int file, char* buffer, nestmend::ItemDetail detail) {
  nestmend::ItemReaderState state;
  double seconds = 0;
  for (off_t offset = 0;; offset += static_cast<off_t>(kChunk)) {
    const ssize_t got = pread(file, buffer, kChunk, offset);
    if (got <= 0) break;
    const auto start = std::chrono::steady_clock::now();
    nestmend::ScanItems({buffer, static_cast<std::size_t>(got)}, state, detail);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  const int file = open(argv[1], O_RDONLY);
  const off_t size = file < 0 ? -1 : lseek(file, 0, SEEK_END);
  if (size <= 0) return 1;
  auto buffer = std::make_unique<char[]>(kChunk + 64);
  char* aligned = buffer.get() + (64 - reinterpret_cast<std::uintptr_t>(buffer.get()) % 64) % 64;
  double items = 1e9;
  double braces = 1e9;
  for (int round = 0; round < 3; ++round) {
    nestmend::scan::notes = {};
    items = std::min(items, ScanSeconds(file, aligned, nestmend::ItemDetail::kItems));
    braces = std::min(braces, ScanSeconds(file, aligned, nestmend::ItemDetail::kBraces));
  }
  const auto& notes = nestmend::scan::notes;
  // Of the blocks.
  const auto percent = [blocks = static_cast<double>((size + 63) / 64)](std::uint64_t count) {
    return 100.0 * static_cast<double>(count) / blocks;
  };
  std::printf(
      "nestmend-bench scan items_seconds=%.4f braces_seconds=%.4f items_again_pct=%.3f "
      "items_in_turn_pct=%.3f braces_in_parts_pct=%.3f braces_walked_pct=%.3f\n",
      items, braces, percent(notes.items_again), percent(notes.items_in_turn),
      percent(notes.braces_in_parts), percent(notes.braces_walked));
  return 0;
}
