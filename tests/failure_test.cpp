// How a repair fails: every file operation failing in turn, a stop during the append or the
// reads, and files that change under the repair. A repair that cannot be done leaves the file
// exactly as it was and says so; one that is done is complete.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "test_support.h"

namespace nestmend {
namespace {

using namespace testing;  // this project's helpers
using namespace std::chrono_literals;
using namespace std::string_literals;
namespace fs = std::filesystem;

// Several reads a pass, and writes that take only part of what they are given (the rest
// follows from where the last one stopped), so that a line is torn between two writes: 30,000
// blocks, one unclosed each.
const std::string kBlocks = [] {
  std::string bytes;
  for (int block = 0; block < 30000; ++block) bytes += "name {\r\n  key = \"v,{}\",\r\n";
  return bytes;
}();
const std::string kRepaired = kBlocks + Lines(30000);
constexpr ReadPlan kPlan{.chunk_bytes = 256 << 10, .threads = 2};

// The file's original bytes followed by nothing but bytes of "}" lines.
bool OnlyLinesAdded(const std::string& now) {
  return now.starts_with(kBlocks) && now.find_first_not_of("}\r\n", kBlocks.size()) == now.npos;
}

// Every file operation of a real repair fails in turn, alone or with every operation after it.
// Failing to close or to reserve room costs nothing alone; any other failure leaves the file as
// it was, or, where even cutting back fails, its bytes followed by nothing but bytes of "}"
// lines. A repair is claimed only when complete, and every handle is closed.
TEST(Failure, EveryFileOperationOfARepairFailingInTurn) {
  TempDir dir;
  const std::string path = dir.Write("file", kBlocks);
  FaultyFileSystem clean;
  clean.most_per_write = 40000;
  ASSERT_EQ(Repair(path, clean, kPlan).status, FixedSummary(30000));
  ASSERT_TRUE(ReadAll(path) == kRepaired);
  for (const bool later_steps_fail : {false, true}) {
    for (int step = 0; step < static_cast<int>(clean.steps.size()); ++step) {
      const Op op = clean.steps[static_cast<std::size_t>(step)];
      WriteAll(path, kBlocks);
      FaultyFileSystem files;
      files.most_per_write = 40000;
      files.failing_step = step;
      files.later_steps_fail = later_steps_fail;
      const RecordingSurface surface = Repair(path, files, kPlan);
      const std::string now = ReadAll(path);
      const std::string where = "step " + std::to_string(step) + (later_steps_fail ? " on" : "");
      EXPECT_TRUE(surface.messages.size() == 1 && files.open_handles == 0) << where;
      // Whether an append that cannot be cut back may begin depends on the system reserving room.
      if (!later_steps_fail && op != Op::kCanTruncate) {
        const bool harmless = op == Op::kClose || op == Op::kReserve;
        EXPECT_EQ(surface.status, harmless ? FixedSummary(30000) : kNothingDone) << where;
        EXPECT_TRUE(now == (harmless ? kRepaired : kBlocks)) << where;
      } else {
        EXPECT_TRUE(surface.status != FixedSummary(30000) || now == kRepaired) << where;
        EXPECT_TRUE(OnlyLinesAdded(now)) << where;
      }
    }
  }
}

// Stopped during the append: before its first write the file is as it was; after it, cut
// back; where cutting back is refused (a file system that will not shrink files, a file another
// program maps), completed and flushed instead; where the storage has gone, the lines that could
// not be taken back are the file's only change, and the reason says so.
TEST(Failure, AStopDuringTheAppendEndsWithTheFileAsItWasOrComplete) {
  const std::tuple<std::uint64_t, std::optional<Op>, Kind> kRows[] = {
      {1, {}, Kind::kStoppedUntouched},
      {20000, {}, Kind::kStoppedUntouched},
      {20000, Op::kTruncate, Kind::kStoppedCompleted},
      {20000, Op::kWrite, Kind::kStoppedPartial}};  // from the second write on, and cutting back
  TempDir dir;
  for (const auto& [stop_at_line, failing, ending] : kRows) {
    const std::string path = dir.Write("file", kBlocks);
    FaultyFileSystem files;
    files.most_per_write = 40000;  // a failing write leaves 40,000 bytes behind
    files.before = [&](Op op, int call) {
      if (op != failing || (op == Op::kWrite && call < 1)) return;
      files.failing_step = static_cast<int>(files.steps.size());
      files.later_steps_fail = op == Op::kWrite;
    };
    RecordingSurface stopped(path, false);
    stopped.stop_at_line = stop_at_line;
    const RunOutcome outcome = Fixit(stopped, files, kPlan);
    const std::string now = ReadAll(path);
    EXPECT_TRUE(outcome.kind == ending && stopped.messages.empty()) << stop_at_line;
    if (ending != Kind::kStoppedPartial) {
      EXPECT_TRUE(now == (ending == Kind::kStoppedCompleted ? kRepaired : kBlocks));
      EXPECT_EQ(std::ranges::count(files.steps, Op::kWrite) > 0, stop_at_line > 1);
      continue;
    }
    EXPECT_TRUE(OnlyLinesAdded(now) && now.size() > kBlocks.size());
    EXPECT_EQ(outcome.left_behind, (now.size() - kBlocks.size() + 2) / 3);
    EXPECT_EQ(Reason(outcome), "Stopped while the lines were being added, and 13334 of the 30000 "
                               "lines \"}\" could not be taken back; run Nestmend again once the "
                               "storage works, and it will complete the file.");
  }
}

void Append(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

// Writes `bytes` over the file at `path`, its time kept, as coarse times or a map keep it.
void Rewrite(const std::string& path, const std::string& bytes) {
  const auto time = fs::last_write_time(path);
  WriteAll(path, bytes);
  fs::last_write_time(path, time);
}

// Files that change under the repair, or must not be appended to at all: left as the change
// left them, and no repair is claimed. A change between the two reads is seen by their bytes,
// where the file's size and time cannot tell.
TEST(Failure, FilesThatChangeOrAreWideTextAreNotAppendedTo) {
  struct Row {
    std::string bytes;
    Op at;
    int call;  // the change comes before this call of `at` (-1: before every other one)
    std::function<void(const std::string& path)> change;
  };
  const Row kRows[] = {
      {kBlocks, Op::kRead, -1, [](auto& path) { Append(path, "more {\n"); }},  // grows
      {kBlocks, Op::kRead, 5, [](auto& path) { fs::remove(path); }},  // deleted part way through
      // cut to two chunks between the reads: the second read's third chunk holds only its overlap
      {kBlocks, Op::kOpenForReading, 1,
       [](auto& path) { fs::resize_file(path, 2 * kPlan.chunk_bytes); }},
      // a byte made "{" between the passes, its time kept
      {"a {\r\nb }\r\n", Op::kOpenForReading, 1,
       [](auto& path) { Rewrite(path, "a {\r\nb {\r\n"); }},
      {"a {\r\n", Op::kOpenForAppending, 0, [](auto& path) { Append(path, "b"); }},  // a byte more
      {"a {\r\n", Op::kOpenForAppending, 0,  // its last byte rewritten after the reads, time kept
       [](auto& path) { Rewrite(path, "a {\r\r"); }},
      {"a {\r\n", Op::kOpenForAppending, 0,  // the same length, a newer time
       [](auto& path) { fs::last_write_time(path, fs::last_write_time(path) + 24h); }},
      {"a {\r\n", Op::kOpenForAppending, 0,  // replaced: the same length and time
       [](auto& path) {
         WriteAll(path + ".new", "a {\r\n");
         fs::last_write_time(path + ".new", fs::last_write_time(path));
         fs::rename(path + ".new", path);
       }},
#if !defined(_WIN32)  // Windows refuses to rename a file open for appending
      {"a {\r\n", Op::kSync, 0, [](auto& path) { fs::rename(path, path + ".moved"); }},
#endif
      {"\xFF\xFE{\0\r\0\n\0"s, Op::kClose, 0, {}},  // UTF-16, little-endian
      {"\xFE\xFF\0{\0\r\0\n"s, Op::kClose, 0, {}},  // UTF-16, big-endian
      {"\0\0\xFE\xFF\0\0\0{"s, Op::kClose, 0, {}},  // UTF-32, big-endian
  };
  for (const Row& row : kRows) {
    TempDir dir;
    const std::string path = dir.Write("file", row.bytes);
    const auto now = [&] { return fs::exists(path) ? std::optional(ReadAll(path)) : std::nullopt; };
    FaultyFileSystem files;
    std::mutex mutex;                                 // reads come from several threads
    std::optional<std::string> expected = row.bytes;  // as the changes left it, until the append
    bool appending = false;
    files.before = [&](Op op, int call) {
      const std::lock_guard lock(mutex);
      const bool now_is_the_time = row.call < 0 ? call % 2 : call == row.call;
      if (op == row.at && now_is_the_time && row.change) row.change(path);
      if (appending) return;
      appending = op == Op::kOpenForAppending;
      expected = now();
    };
    EXPECT_EQ(Repair(path, files, kPlan).status, kNothingDone) << row.bytes.substr(0, 9);
    if (fs::exists(path + ".moved")) fs::rename(path + ".moved", path);
    EXPECT_TRUE(now() == expected) << row.bytes.substr(0, 9);
  }
}

// Asked to stop while the first pass reads, the run abandons the read out and ends at once; the
// reads still out stop at their next step rather than read to the end of their chunk.
TEST(Failure, AStopWhileReadingEndsTheReadsOutSoon) {
  TempDir dir;
  const std::string path = dir.Write("file", std::string(1 << 20, 'x'));
  FaultyFileSystem files;
  files.most_per_read = 4096;  // 256 reads to a chunk
  struct : RecordingSurface {  // asked to stop from the storage thread
    using RecordingSurface::RecordingSurface;
    bool PumpEventsRepeatedly(std::uint64_t) override { return !stop; }
    std::atomic<bool> stop = false;
  } surface(path, false);
  files.before = [&](Op op, int call) {
    if (op != Op::kRead || call != 2) return;
    surface.stop = true;
    std::this_thread::sleep_for(50ms);  // a slow read, out while the run is asked to stop
  };
  EXPECT_EQ(Fixit(surface, files, {.chunk_bytes = 1 << 20, .threads = 1}).kind,
            Kind::kStoppedUntouched);
  while (StorageThread::StillFinishing() > 0) std::this_thread::sleep_for(1ms);
  EXPECT_LT(std::ranges::count(files.steps, Op::kRead), 10);
}

}  // namespace
}  // namespace nestmend
