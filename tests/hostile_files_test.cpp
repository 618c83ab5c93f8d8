// Files and paths that fight back: changing under the repair, odd names, links, sizes past
// 32-bit offsets. Each row either repairs exactly or leaves everything as it found it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "fixit.h"
#include "sequential_files.h"
#include "test_support.h"

namespace nestmend {
namespace {

using testing::FaultyFileSystem;
using testing::OutcomeSurface;
using testing::ReadAll;
using testing::TempDir;

const std::string kNothingDone(texts::kNothingDone);

std::string Fixed(std::int64_t errors) {
  return std::string(texts::kFixedBefore) + std::to_string(errors) + std::string(texts::kFixedAfter);
}

void Append(const std::string& path, const std::string& bytes) {
  const int handle = open(path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(handle, 0);
  ASSERT_EQ(write(handle, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(handle);
}

// A file long enough to need several reads a pass.
std::string SeveralChunks() {
  return "root {\n" + std::string(3 * SequentialFiles::kChunkBytes, 'x') + "\n  leaf {\n";
}

TEST(HostileFiles, GrowingWhileScannedIsNotAppendedTo) {
  TempDir dir;
  const std::string original = SeveralChunks();
  const std::string path = dir.Write("log", original);
  FaultyFileSystem files;
  int reads = 0;
  files.after_read = [&](int) {
    if (reads++ % 2 == 0) Append(path, "more {\n");  // a writer still at work
  };
  OutcomeSurface surface(path);
  Fixit(surface, files);
  EXPECT_EQ(surface.status, kNothingDone);
  const std::string now = ReadAll(path);
  EXPECT_TRUE(now.starts_with(original));
  EXPECT_EQ(now.find('}'), std::string::npos) << "a line was appended to a growing file";
}

TEST(HostileFiles, DeletedPartWayIsNotBroughtBack) {
  TempDir dir;
  const std::string path = dir.Write("file", SeveralChunks());
  FaultyFileSystem files;
  files.after_read = [&](int read) {
    if (read == 4) std::filesystem::remove(path);  // during the scan
  };
  OutcomeSurface surface(path);
  Fixit(surface, files);
  EXPECT_EQ(surface.status, kNothingDone);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(files.open_handles(), 0);
}

TEST(HostileFiles, SymbolicLinkIsFollowedAndLinkLoopRefused) {
  TempDir dir;
  const std::string target = dir.Write("target", "a {\r\n");
  const std::string link = (dir.path() / "link").string();
  std::filesystem::create_symlink(target, link);
  OutcomeSurface surface(link);
  Fixit(surface);
  EXPECT_EQ(surface.status, Fixed(1));
  EXPECT_EQ(ReadAll(target), "a {\r\n}\r\n");
  EXPECT_TRUE(std::filesystem::is_symlink(link));

  const std::string loop = (dir.path() / "loop").string();
  std::filesystem::create_symlink(dir.path() / "pool", loop);
  std::filesystem::create_symlink(loop, dir.path() / "pool");
  OutcomeSurface loop_surface(loop);
  Fixit(loop_surface);
  EXPECT_EQ(loop_surface.status, kNothingDone);
  EXPECT_EQ(loop_surface.messages, 1);
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
    {"Spaces", " leading and trailing "},
    {"FourThousandCharacters", LongPath()},
};

class HostilePaths : public ::testing::TestWithParam<PathRow> {};

TEST_P(HostilePaths, AreRepairedLikeAnyOther) {
  TempDir dir;
  const std::filesystem::path path = dir.path() / GetParam().relative_path;
  std::filesystem::create_directories(path.parent_path());
  testing::WriteAll(path.string(), "x {");
  OutcomeSurface surface(path.string());
  Fixit(surface);
  EXPECT_EQ(surface.status, Fixed(1));
  EXPECT_EQ(ReadAll(path.string()), "x {}\r\n");
}

INSTANTIATE_TEST_SUITE_P(Rows, HostilePaths, ::testing::ValuesIn(kPathRows),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(HostileFiles, FileOverFourGibibytes) {
  // On tmpfs a hole reads as fast as memory; on a disk's file system it takes seconds.
  testing::ScratchMount scratch("size=5g");
  if (!scratch.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  const std::string path = scratch.path("sparse");
  const std::uint64_t hole = (std::uint64_t{4} << 30) + 12345;
  {
    const int handle = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(handle, 0);
    if (ftruncate(handle, static_cast<off_t>(hole)) != 0) {
      close(handle);
      GTEST_SKIP() << "the disk cannot hold a 4 GiB sparse file";
    }
    close(handle);
  }
  Append(path, "{\n{{");
  OutcomeSurface surface(path);
  Fixit(surface);
  EXPECT_EQ(surface.status, Fixed(3));
  EXPECT_EQ(std::filesystem::file_size(path), hole + 4 + 9);
  std::string tail(13, '\0');
  const int handle = open(path.c_str(), O_RDONLY);
  ASSERT_EQ(pread(handle, tail.data(), tail.size(), static_cast<off_t>(hole)), 13);
  close(handle);
  EXPECT_EQ(tail, "{\n{{}\r\n}\r\n}\r\n");
}

TEST(HostileFiles, HundredMillionOpeningBraces) {
  TempDir dir;
  constexpr std::size_t kOpens = 100'000'000;
  const std::string path = dir.Write("opens", std::string(kOpens, '{'));
  OutcomeSurface surface(path);
  Fixit(surface);
  EXPECT_EQ(surface.status, Fixed(static_cast<std::int64_t>(kOpens)));
  ASSERT_EQ(std::filesystem::file_size(path), 4 * kOpens);
  // Every appended byte, a chunk at a time.
  const int handle = open(path.c_str(), O_RDONLY);
  std::string chunk(3 << 20, '\0');
  std::string lines;
  for (std::size_t line = 0; line < chunk.size() / 3; ++line) lines += "}\r\n";
  for (std::uint64_t at = kOpens; at < 4 * kOpens; at += chunk.size()) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), 4 * kOpens - at));
    ASSERT_EQ(pread(handle, chunk.data(), want, static_cast<off_t>(at)), static_cast<ssize_t>(want));
    ASSERT_TRUE(chunk.compare(0, want, lines, 0, want) == 0) << "at " << at;
  }
  close(handle);
}

}  // namespace
}  // namespace nestmend
