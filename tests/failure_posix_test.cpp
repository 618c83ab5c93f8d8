// Failures that only a POSIX system can stage: unreadable kinds of paths, full and read-only
// file systems, odd file names, huge files and a kill at chosen moments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "fixit.h"
#include "test_support.h"

namespace nestmend {
namespace {

using testing::FaultyFileSystem;
using testing::FixedSummary;
using testing::ReadAll;
using testing::RecordingSurface;
using testing::TempDir;

const std::string kNothingDone(texts::kNothingDone);

void Append(const std::string& path, const std::string& bytes) {
  const int handle = open(path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_EQ(write(handle, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(handle);
}

TEST(Failure, PathsThatCannotBeReadChangeNothingAndNeverBlock) {
  TempDir dir;
  const std::string fifo = (dir.path() / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string missing = (dir.path() / "missing").string();
  const std::filesystem::path loop = dir.path() / "loop";
  std::filesystem::create_symlink(dir.path() / "pool", loop);
  std::filesystem::create_symlink(loop, dir.path() / "pool");
  for (const std::string& path :
       {std::string(), missing, dir.path().string(), fifo, loop.string(), std::string("/dev/zero"),
        std::string("/dev/stdin"), std::string("/proc/kcore"), std::string("/proc/self/status")}) {
    RecordingSurface surface(path, false);
    Fixit(surface);
    EXPECT_EQ(surface.status, kNothingDone) << path;
    EXPECT_EQ(surface.messages.size(), 1u) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(Failure, ReadOnlyAndFullFileSystemsAreLeftAlone) {
  testing::ScratchMount read_only("size=1m");
  testing::ScratchMount full("size=256k");
  if (!read_only.mounted() || !full.mounted()) GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
  const std::string locked = read_only.path("file");
  testing::WriteAll(locked, "a {\r\n");
  ASSERT_TRUE(read_only.RemountReadOnly());
  const std::string crowded = full.path("file");
  testing::WriteAll(crowded, std::string(100 * 1024, '{'));  // 300 KiB of lines cannot fit
  for (const auto& [path, bytes] : {std::pair(locked, std::string("a {\r\n")),
                                    std::pair(crowded, std::string(100 * 1024, '{'))}) {
    RecordingSurface surface(path, false);
    Fixit(surface);
    EXPECT_EQ(surface.status, kNothingDone) << path;
    EXPECT_TRUE(ReadAll(path) == bytes) << path;
  }
}

struct PathRow {
  const char* name;
  std::string relative_path;
};

// 4,000 characters with the temporary folder's own 30 or so: 19 folders and a file.
std::string LongPath() {
  std::string path;
  while (path.size() < 3800) path += std::string(200, 'd') + "/";
  return path + std::string(4000 - 40 - path.size(), 'f');
}

const PathRow kPathRows[] = {
    {"Newline", "cut\noff.txt"},
    {"NotUtf8", "\xFF\xFE\x80 name"},
    {"FourThousandCharacters", LongPath()},
    {"SymbolicLinkIsFollowed", "link"},
};

class OddPaths : public ::testing::TestWithParam<PathRow> {};

TEST_P(OddPaths, AreRepairedLikeAnyOther) {
  TempDir dir;
  const std::filesystem::path path = dir.path() / GetParam().relative_path;
  std::filesystem::path file = path;
  if (GetParam().relative_path == "link") {
    file = dir.path() / "target";
    std::filesystem::create_symlink(file, path);
  }
  std::filesystem::create_directories(file.parent_path());
  testing::WriteAll(file.string(), "x {");
  RecordingSurface surface(path.string(), false);
  Fixit(surface);
  EXPECT_EQ(surface.status, FixedSummary(1));
  EXPECT_EQ(ReadAll(file.string()), "x {}\r\n");
}

INSTANTIATE_TEST_SUITE_P(Rows, OddPaths, ::testing::ValuesIn(kPathRows),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(Failure, FileOverFourGibibytes) {
  testing::ScratchMount scratch("size=5g");  // a hole reads fast on tmpfs, slowly on a disk
  if (!scratch.mounted()) GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
  const std::string path = scratch.path("sparse");
  const off_t hole = (off_t{4} << 30) + 12345;
  testing::WriteAll(path, "");
  ASSERT_EQ(truncate(path.c_str(), hole), 0);
  Append(path, "{\n{{");
  RecordingSurface surface(path, false);
  Fixit(surface);
  EXPECT_EQ(surface.status, FixedSummary(3));
  std::string tail(14, '\0');
  const int handle = open(path.c_str(), O_RDONLY);
  EXPECT_EQ(pread(handle, tail.data(), tail.size(), hole), 13);
  close(handle);
  EXPECT_EQ(tail, std::string("{\n{{}\r\n}\r\n}\r\n") + '\0');
}

TEST(Failure, HundredMillionOpeningBraces) {
  TempDir dir;
  constexpr std::size_t kOpens = 100'000'000;
  const std::string path = dir.Write("opens", std::string(kOpens, '{'));
  RecordingSurface surface(path, false);
  Fixit(surface);
  EXPECT_EQ(surface.status, FixedSummary(kOpens));
  EXPECT_EQ(surface.value, static_cast<float>(kOpens - 1));
  const std::string repaired = ReadAll(path);
  ASSERT_EQ(repaired.size(), 4 * kOpens);
  EXPECT_EQ(repaired.find_first_not_of('{'), kOpens);
  for (std::size_t at = kOpens; at < repaired.size(); at += 3) {
    ASSERT_EQ(repaired.compare(at, 3, "}\r\n"), 0) << "at " << at;
  }
}

int ThreadsOfThisProcess() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Threads:")) return std::stoi(line.substr(8));
  }
  return -1;
}

// The scanning threads start with a run and end with it, whether it completes, fails to read
// part way, or is stopped.
TEST(Failure, NoScanningThreadOutlivesItsRun) {
  TempDir dir;
  const std::string path = dir.Write("file", std::string(3 << 20, '{'));
  const int before = ThreadsOfThisProcess();
  for (int ending = 0; ending < 3; ++ending) {
    FaultyFileSystem files;
    if (ending == 1) {
      files.fault = FaultyFileSystem::Fault::kRead;
      files.failing_call = 5;
    }
    RecordingSurface surface(path, false);
    if (ending == 2) surface.stop_at_pump = 3;
    Fixit(surface, files, {.chunk_bytes = 1 << 16, .threads = 8});
    // A joined thread leaves the kernel's count a moment after the join returns.
    for (int wait = 0; wait < 2000 && ThreadsOfThisProcess() != before; ++wait) usleep(1000);
    EXPECT_EQ(ThreadsOfThisProcess(), before) << "ending " << ending;
    EXPECT_EQ(files.open_handles, 0);
  }
}

// Killed outright at chosen moments: before any write, between writes, after the last write
// (before the flush). The original bytes survive every kill, only whole "}" lines follow them,
// and a second repair completes the file.
TEST(Failure, KilledMidRepairLosesNothingAndASecondRunFinishes) {
  const std::string original = "data {\r\n" + std::string(199'999, '{');  // 600 KB to append
  TempDir dir;
  const std::string path = (dir.path() / "file").string();
  for (int moment = 0; moment < 4; ++moment) {
    testing::WriteAll(path, original);
    int reached[2];
    ASSERT_EQ(pipe(reached), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const auto stop_here = [&] {
        static_cast<void>(write(reached[1], "!", 1));
        pause();
      };
      FaultyFileSystem files;
      if (moment == 0) files.before_append = stop_here;
      if (moment > 0 && moment < 3) {
        files.after_write = [&](int write_index) {
          if (write_index == moment * 3) stop_here();
        };
      }
      if (moment == 3) files.before_sync = stop_here;
      RecordingSurface surface(path, false);
      Fixit(surface, files);
      _exit(0);
    }
    char signal_byte = 0;
    ASSERT_EQ(read(reached[0], &signal_byte, 1), 1) << "moment " << moment;
    close(reached[0]);
    close(reached[1]);
    kill(child, SIGKILL);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const std::string after_kill = ReadAll(path);
    ASSERT_TRUE(after_kill.starts_with(original)) << "moment " << moment;
    ASSERT_EQ((after_kill.size() - original.size()) % 3, 0u) << "a torn line, moment " << moment;
    ASSERT_EQ(after_kill.find_first_not_of("}\r\n", original.size()), std::string::npos);
    EXPECT_EQ(after_kill.size() == original.size(), moment == 0) << "moment " << moment;
    RecordingSurface surface(path, false);
    Fixit(surface);
    const std::string repaired = ReadAll(path);
    ASSERT_EQ(testing::BraceBalance(repaired), 0) << "moment " << moment;
    ASSERT_TRUE(repaired.starts_with(original)) << "moment " << moment;
  }
}

}  // namespace
}  // namespace nestmend
