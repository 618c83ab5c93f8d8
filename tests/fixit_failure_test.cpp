// A repair that cannot be done leaves the file exactly as it was and says so; one that is done
// is complete and on the disk. Real failures where the machine allows, injected ones elsewhere.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fixit.h"
#include "sequential_files.h"
#include "test_support.h"

namespace nestmend {
namespace {

using testing::FaultyFileSystem;
using testing::OutcomeSurface;
using testing::ReadAll;
using testing::RecordingSurface;
using testing::ScratchMount;
using testing::TempDir;
using Fault = FaultyFileSystem::Fault;

const std::string kNothingDone(texts::kNothingDone);

std::string Lines(std::uint64_t count) {
  std::string lines;
  for (std::uint64_t line = 0; line < count; ++line) lines += "}\r\n";
  return lines;
}

// Enough to span several reads and several writes.
std::string LargeUnbalancedFile(std::size_t opens) {
  std::string bytes;
  for (std::size_t block = 0; block < opens; ++block) bytes += "name {\r\n  key = \"v,{}\",\r\n";
  return bytes;
}

TEST(FixitFailure, PathsThatCannotBeReadChangeNothing) {
  TempDir dir;
  const std::string fifo = (dir.path() / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string missing = (dir.path() / "missing").string();
  for (const std::string& path : {std::string(), missing, dir.path().string(), fifo,
                                  std::string("/dev/zero"), std::string("/dev/null"),
                                  std::string("/dev/stdin"), std::string("/proc/kcore"),
                                  std::string("/proc/self/status"),
                                  std::string("/sys/kernel/mm/transparent_hugepage/enabled")}) {
    RecordingSurface surface(path);
    Fixit(surface);  // returns: a pipe or device never blocks it
    EXPECT_EQ(surface.status, kNothingDone) << path;
    EXPECT_EQ(surface.messages.size(), 1u) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(missing));
}

struct FaultRow {
  const char* name;
  Fault fault;
  int failing_call;  // for kRead: which read of the pass
  bool in_scan;      // for kRead: the scan pass rather than the count
  std::int64_t write_budget;  // bytes written before writes fail; -1: writes do not fail
  enum Outcome {
    kUnchanged,       // the file is exactly as it was
    kRepaired,        // the failure came after the lines were safely on the disk
    kOriginalIntact,  // the file cannot be cut back: its bytes stand, then only "}" line bytes
  } outcome;
};

const FaultRow kFaultRows[] = {
    {"OpenForReadingTheCount", Fault::kOpenForReading, 0, false, -1, FaultRow::kUnchanged},
    {"OpenForReadingTheScan", Fault::kOpenForReading, 1, false, -1, FaultRow::kUnchanged},
    {"IdentifyOnOpening", Fault::kIdentify, 0, false, -1, FaultRow::kUnchanged},
    // The end-of-file test reads the next chunk once the last is used up: these are its reads.
    {"ReadPartWayThroughTheCount", Fault::kRead, 1, false, -1, FaultRow::kUnchanged},
    {"ReadPartWayThroughTheScan", Fault::kRead, 1, true, -1, FaultRow::kUnchanged},
    {"FirstReadOfTheScan", Fault::kRead, 0, true, -1, FaultRow::kUnchanged},
    {"CloseAfterTheCount", Fault::kClose, 0, false, -1, FaultRow::kRepaired},
    {"OpenForAppending", Fault::kOpenForAppending, 0, false, -1, FaultRow::kUnchanged},
    {"IdentifyForAppending", Fault::kIdentify, 2, false, -1, FaultRow::kUnchanged},
    {"WriteOfTheFirstByte", Fault::kWrite, 0, false, 0, FaultRow::kUnchanged},
    {"WriteAfterOneByte", Fault::kWrite, 0, false, 1, FaultRow::kUnchanged},
    {"WriteAfterManyLinesMidLine", Fault::kWrite, 0, false, 3 * 90000 + 2, FaultRow::kUnchanged},
    {"SyncToDisk", Fault::kSync, 0, false, -1, FaultRow::kUnchanged},
    {"CloseAfterTheLinesAreOnTheDisk", Fault::kClose, 2, false, -1, FaultRow::kRepaired},
    {"CuttingBackAfterAFailedWrite", Fault::kTruncate, 0, false, 3 * 90000 + 2, FaultRow::kOriginalIntact},
};

class FixitFault : public ::testing::TestWithParam<FaultRow> {};

TEST_P(FixitFault, LeavesTheFileAsItWasOrCompletelyRepaired) {
  const FaultRow& row = GetParam();
  TempDir dir;
  constexpr std::size_t kMissing = 120000;
  const std::string original = LargeUnbalancedFile(kMissing);  // several reads and writes
  const std::string path = dir.Write("file", original);
  const auto reads_per_pass = static_cast<int>(
      (original.size() + SequentialFiles::kChunkBytes - 1) / SequentialFiles::kChunkBytes);
  ASSERT_GE(reads_per_pass, 2);
  FaultyFileSystem files;
  files.fault = row.fault;
  files.failing_call = row.failing_call + (row.in_scan ? reads_per_pass : 0);
  if (row.write_budget >= 0) files.write_budget = static_cast<std::uint64_t>(row.write_budget);
  OutcomeSurface surface(path);
  Fixit(surface, files);
  EXPECT_EQ(surface.messages, 1);
  EXPECT_EQ(files.open_handles(), 0);
  const std::string now = ReadAll(path);
  switch (row.outcome) {
    case FaultRow::kRepaired:
      EXPECT_EQ(surface.status, std::string(texts::kFixedBefore) + std::to_string(kMissing) +
                                    std::string(texts::kFixedAfter));
      EXPECT_TRUE(now == original + Lines(kMissing));
      break;
    case FaultRow::kUnchanged:
      EXPECT_EQ(surface.status, kNothingDone);
      EXPECT_TRUE(now == original) << "the file changed";
      break;
    case FaultRow::kOriginalIntact:
      EXPECT_EQ(surface.status, kNothingDone);
      EXPECT_TRUE(now.compare(0, original.size(), original) == 0);
      EXPECT_EQ(now.find_first_not_of("}\r\n", original.size()), std::string::npos);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, FixitFault, ::testing::ValuesIn(kFaultRows),
                         [](const auto& row) { return std::string(row.param.name); });

struct ChangeRow {
  const char* name;
  std::function<void(const std::string& path)> change;  // done between the scan and the append
};

const ChangeRow kChangeRows[] = {
    {"GrewByAByte", [](const std::string& path) { testing::WriteAll(path, "a {\r\nb {\r\nc"); }},
    {"SameLengthNewerTime",
     [](const std::string& path) {
       testing::WriteAll(path, "a {\r\nb {\r\n");
       const timespec times[2] = {{0, UTIME_OMIT}, {2000000000, 0}};
       utimensat(AT_FDCWD, path.c_str(), times, 0);
     }},
    {"ReplacedByAnotherFile",
     [](const std::string& path) {
       testing::WriteAll(path + ".new", "a {\r\nb {\r\n");
       std::filesystem::rename(path + ".new", path);
     }},
    {"Deleted", [](const std::string& path) { std::filesystem::remove(path); }},
};

class FixitChangedFile : public ::testing::TestWithParam<ChangeRow> {};

TEST_P(FixitChangedFile, IsNotAppendedTo) {
  TempDir dir;
  const std::string path = dir.Write("file", "a {\r\nb {\r\n");
  FaultyFileSystem files;
  std::string after_change;
  files.before_append = [&] {
    GetParam().change(path);
    after_change = std::filesystem::exists(path) ? ReadAll(path) : "";
  };
  OutcomeSurface surface(path);
  Fixit(surface, files);
  EXPECT_EQ(surface.status, kNothingDone);
  EXPECT_EQ(std::filesystem::exists(path) ? ReadAll(path) : "", after_change);
}

INSTANTIATE_TEST_SUITE_P(Rows, FixitChangedFile, ::testing::ValuesIn(kChangeRows),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(FixitFailure, WideTextIsNotAppendedTo) {
  TempDir dir;
  for (const std::string& bom : {std::string("\xFF\xFE"), std::string("\xFE\xFF"),
                                 std::string("\xFF\xFE\0\0", 4), std::string("\0\0\xFE\xFF", 4)}) {
    const std::string original = bom + std::string("{\0\r\0\n\0", 6);
    const std::string path = dir.Write("wide", original);
    OutcomeSurface surface(path);
    Fixit(surface);
    EXPECT_EQ(surface.status, kNothingDone);
    EXPECT_TRUE(ReadAll(path) == original);
  }
}

TEST(FixitFailure, CountsBeyondSixteenBitsAreExact) {
  TempDir dir;
  // 40000 missing lines and a single item of 100000 characters.
  const std::string original = std::string(40000, '{') + std::string(60000, 'x');
  const std::string path = dir.Write("file", original);
  RecordingSurface surface(path);
  surface.record_pumps = false;
  Fixit(surface);
  EXPECT_EQ(surface.status, std::string(texts::kFixedBefore) + "40000" + std::string(texts::kFixedAfter));
  EXPECT_TRUE(ReadAll(path) == original + Lines(40000));
  EXPECT_EQ(surface.pumps, 2u + 2u + 100000u);  // a status and an item in each pass, then each character
  EXPECT_EQ(surface.maximum, 40001.0f);
  EXPECT_EQ(surface.value, 39999.0f);
}

TEST(FixitFailure, StoppingMidScanWritesNothingAndShowsNothing) {
  TempDir dir;
  const std::string original = LargeUnbalancedFile(20000);
  const std::string path = dir.Write("file", original);
  for (const std::uint64_t stop : {0u, 1u, 30000u, 90000u}) {
    RecordingSurface surface(path);
    surface.record_pumps = false;
    surface.stop_at_pump = stop;
    Fixit(surface);
    EXPECT_TRUE(surface.messages.empty()) << stop;
    EXPECT_EQ(surface.pumps, stop + 1) << "the run went on after it was asked to stop";
    EXPECT_TRUE(ReadAll(path) == original);
  }
}

TEST(FixitRealFilesystem, ReadOnlyFileSystemIsLeftAlone) {
  ScratchMount scratch("size=1m");
  if (!scratch.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  const std::string path = scratch.path("file");
  testing::WriteAll(path, "a {\r\n");
  ASSERT_TRUE(scratch.RemountReadOnly());
  RecordingSurface surface(path);
  Fixit(surface);
  EXPECT_EQ(surface.status, kNothingDone);
  EXPECT_EQ(ReadAll(path), "a {\r\n");
  // The append phase still moves the bar through its lines.
  EXPECT_EQ(surface.maximum, 2.0f);
  EXPECT_EQ(surface.value, 0.0f);
}

TEST(FixitRealFilesystem, FullDiskCutsTheFileBackToItsOriginalLength) {
  ScratchMount scratch("size=256k");
  if (!scratch.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  const std::string path = scratch.path("file");
  const std::string original(100 * 1024, '{');  // 300 KiB of lines cannot fit beside it
  testing::WriteAll(path, original);
  OutcomeSurface surface(path);
  Fixit(surface);
  EXPECT_EQ(surface.status, kNothingDone);
  EXPECT_TRUE(ReadAll(path) == original);
  EXPECT_EQ(std::filesystem::file_size(path), original.size());
}

}  // namespace
}  // namespace nestmend
