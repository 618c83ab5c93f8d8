// A repair that cannot be done leaves the file exactly as it was and says so; one that is done
// is complete and on the disk. Injected failures and changes, on any system.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fixit.h"
#include "sequential_files.h"
#include "test_support.h"

namespace nestmend {
namespace {

using testing::FaultyFileSystem;
using testing::FixedSummary;
using testing::ReadAll;
using testing::RecordingSurface;
using testing::TempDir;
using Fault = FaultyFileSystem::Fault;

const std::string kNothingDone(texts::kNothingDone);

void Append(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

// Several reads a pass and several writes: 120000 blocks, one unclosed each.
const std::string kLarge = [] {
  std::string bytes;
  for (int block = 0; block < 120000; ++block) bytes += "name {\r\n  key = \"v,{}\",\r\n";
  return bytes;
}();

struct FaultRow {
  const char* name;
  Fault fault;
  int failing_call;           // for kRead: which read of the pass
  bool in_scan;               // for kRead: a read of the scan rather than the count
  std::int64_t write_budget;  // bytes written before writes fail; -1: they do not fail
  enum { kUnchanged, kRepaired, kOriginalIntact } outcome;
};

// The end-of-file test reads the next chunk once the last is used up: the read rows are its.
const FaultRow kFaultRows[] = {
    {"OpenForReadingTheCount", Fault::kOpenForReading, 0, false, -1, FaultRow::kUnchanged},
    {"OpenForReadingTheScan", Fault::kOpenForReading, 1, false, -1, FaultRow::kUnchanged},
    {"IdentifyOnOpening", Fault::kIdentify, 0, false, -1, FaultRow::kUnchanged},
    {"ReadPartWayThroughTheCount", Fault::kRead, 1, false, -1, FaultRow::kUnchanged},
    {"FirstReadOfTheScan", Fault::kRead, 0, true, -1, FaultRow::kUnchanged},
    {"ReadPartWayThroughTheScan", Fault::kRead, 1, true, -1, FaultRow::kUnchanged},
    {"CloseAfterReading", Fault::kClose, 0, false, -1, FaultRow::kRepaired},
    {"OpenForAppending", Fault::kOpenForAppending, 0, false, -1, FaultRow::kUnchanged},
    {"IdentifyForAppending", Fault::kIdentify, 2, false, -1, FaultRow::kUnchanged},
    {"WriteOfTheFirstByte", Fault::kNone, 0, false, 0, FaultRow::kUnchanged},
    {"WriteAfterOneByte", Fault::kNone, 0, false, 1, FaultRow::kUnchanged},
    {"WriteAfterManyLinesMidLine", Fault::kNone, 0, false, 270002, FaultRow::kUnchanged},
    {"SyncToDisk", Fault::kSync, 0, false, -1, FaultRow::kUnchanged},
    {"CloseAfterTheLinesAreOnTheDisk", Fault::kClose, 2, false, -1, FaultRow::kRepaired},
    // Nothing can cut the file back: its bytes stand, and after them only bytes of "}" lines.
    {"CuttingBackAfterAFailedWrite", Fault::kTruncate, 0, false, 270002, FaultRow::kOriginalIntact},
};

class Faults : public ::testing::TestWithParam<FaultRow> {};

TEST_P(Faults, LeaveTheFileAsItWasOrCompletelyRepaired) {
  const FaultRow& row = GetParam();
  TempDir dir;
  const std::string path = dir.Write("file", kLarge);
  const int reads_per_pass = static_cast<int>((kLarge.size() + SequentialFiles::kChunkBytes - 1) /
                                              SequentialFiles::kChunkBytes);
  ASSERT_GE(reads_per_pass, 2);
  FaultyFileSystem files;
  files.fault = row.fault;
  files.failing_call = row.failing_call + (row.in_scan ? reads_per_pass : 0);
  if (row.write_budget >= 0) files.write_budget = static_cast<std::uint64_t>(row.write_budget);
  RecordingSurface surface(path, false);
  Fixit(surface, files);
  EXPECT_EQ(surface.messages.size(), 1u);
  EXPECT_EQ(files.open_handles, 0);
  const std::string now = ReadAll(path);
  EXPECT_EQ(surface.status,
            row.outcome == FaultRow::kRepaired ? FixedSummary(120000) : kNothingDone);
  switch (row.outcome) {
    case FaultRow::kRepaired:
      EXPECT_TRUE(now == kLarge + testing::Lines(120000));
      break;
    case FaultRow::kUnchanged:
      EXPECT_TRUE(now == kLarge) << "the file changed";
      break;
    case FaultRow::kOriginalIntact:
      EXPECT_TRUE(now.starts_with(kLarge));
      EXPECT_EQ(now.find_first_not_of("}\r\n", kLarge.size()), std::string::npos);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, Faults, ::testing::ValuesIn(kFaultRows),
                         [](const auto& row) { return std::string(row.param.name); });

// Files that change under the repair, or must not be appended to at all.
struct ChangeRow {
  const char* name;
  std::string bytes;
  std::function<void(const std::string& path, int read)> after_read;
  std::function<void(const std::string& path)> before_append;
};

const ChangeRow kChangeRows[] = {
    {"GrowsWhileScanned",
     kLarge,
     [](const std::string& path, int read) {
       if (read % 2 == 0) Append(path, "more {\n");
     },
     {}},
    {"DeletedPartWayThroughTheScan",
     kLarge,
     [](const std::string& path, int read) {
       if (read == 4) std::filesystem::remove(path);
     },
     {}},
    {"GrewByAByteBeforeTheAppend",
     "a {\r\n",
     {},
     [](const std::string& path) { Append(path, "b"); }},
    {"SameLengthNewerTime",
     "a {\r\n",
     {},
     [](const std::string& path) {
       std::filesystem::last_write_time(
           path, std::filesystem::last_write_time(path) + std::chrono::hours(24));
     }},
    {"ReplacedByAnotherFile",
     "a {\r\n",
     {},
     [](const std::string& path) {
       testing::WriteAll(path + ".new", "a {\r\n");
       std::filesystem::rename(path + ".new", path);
     }},
    {"DeletedBeforeTheAppend",
     "a {\r\n",
     {},
     [](const std::string& path) { std::filesystem::remove(path); }},
    {"Utf16LittleEndian", std::string("\xFF\xFE{\0\r\0\n\0", 8), {}, {}},
    {"Utf16BigEndian", std::string("\xFE\xFF\0{\0\r\0\n", 8), {}, {}},
    {"Utf32LittleEndian", std::string("\xFF\xFE\0\0{\0\0\0", 8), {}, {}},
    {"Utf32BigEndian", std::string("\0\0\xFE\xFF\0\0\0{", 8), {}, {}},
};

class Changes : public ::testing::TestWithParam<ChangeRow> {};

TEST_P(Changes, AreNotAppendedTo) {
  const ChangeRow& row = GetParam();
  TempDir dir;
  const std::string path = dir.Write("file", row.bytes);
  FaultyFileSystem files;
  std::optional<std::string> before_append = row.bytes;
  if (row.after_read) files.after_read = [&](int read) { row.after_read(path, read); };
  files.before_append = [&] {
    if (row.before_append) row.before_append(path);
    before_append = std::filesystem::exists(path) ? std::optional(ReadAll(path)) : std::nullopt;
  };
  RecordingSurface surface(path, false);
  Fixit(surface, files);
  EXPECT_EQ(surface.status, kNothingDone);
  EXPECT_EQ(std::filesystem::exists(path) ? std::optional(ReadAll(path)) : std::nullopt,
            before_append);
}

INSTANTIATE_TEST_SUITE_P(Rows, Changes, ::testing::ValuesIn(kChangeRows),
                         [](const auto& row) { return std::string(row.param.name); });

// A file system whose writes take only part of what they are given, and succeed: the rest
// follows from where the last write stopped.
TEST(Failure, ShortWritesStillAppendExactlyTheLines) {
  TempDir dir;
  const std::string original(30000, '{');
  const std::string path = dir.Write("file", original);
  FaultyFileSystem files;
  files.most_per_write = 7;
  RecordingSurface surface(path, false);
  Fixit(surface, files);
  EXPECT_EQ(surface.status, FixedSummary(30000));
  EXPECT_TRUE(ReadAll(path) == original + testing::Lines(30000));
}

TEST(Failure, StoppingMidScanWritesNothingAndShowsNothing) {
  TempDir dir;
  const std::string original = kLarge.substr(0, 50000);
  const std::string path = dir.Write("file", original);
  for (const std::uint64_t stop : {0u, 1u, 5000u, 50000u}) {
    RecordingSurface surface(path);
    surface.stop_at_pump = stop;
    Fixit(surface);
    EXPECT_TRUE(surface.messages.empty()) << stop;
    EXPECT_EQ(surface.pumps, stop + 1) << "the run went on after it was asked to stop";
    EXPECT_TRUE(ReadAll(path) == original);
  }
}

TEST(Failure, ExitWhileAppendingCutsTheFileBack) {
  TempDir dir;
  const std::string original(1 << 20, '{');
  const std::string path = dir.Write("file", original);
  RecordingSurface surface(path, false);
  surface.stop_at_line = 0;
  Fixit(surface);
  EXPECT_TRUE(surface.messages.empty());
  EXPECT_TRUE(ReadAll(path) == original);
}

}  // namespace
}  // namespace nestmend
