// What other programs and the system do to a file while it is repaired: a second repair of the
// same file, a writer that truncates or appends, a FIFO's waiting writer, the file-size limit,
// an append-only file. The file ends as it was or completely repaired, and the summary says which.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fixit.h"
#include "test_support.h"

namespace nestmend {
namespace {

using testing::FaultyFileSystem;
using testing::FixedSummary;
using testing::Lines;
using testing::ReadAll;
using testing::RecordingSurface;
using testing::TempDir;

const std::string kNothingDone(texts::kNothingDone);

// Enough lines for several writes: 100,000 "{" need 300,000 bytes of "}" CR LF.
constexpr std::int64_t kOpenCount = 100000;
const std::string kOpens(kOpenCount, '{');

// Runs `work` in a child process and returns its wait status.
int InChild(const std::function<int()>& work) {
  const pid_t child = fork();
  if (child == 0) _exit(work());
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

// Another program acts on the file after the append's second write; then the append ends on
// its own, with a failed write, or with the window asking to stop.
struct OtherWriterRow {
  const char* name;
  bool truncates;  // cuts the file to half its original length; else appends a record
  enum { kCompletes, kWriteFails, kStopped } ending;
};

const OtherWriterRow kOtherWriterRows[] = {
    {"TruncatedThenCompleted", true, OtherWriterRow::kCompletes},
    {"AppendedToThenCompleted", false, OtherWriterRow::kCompletes},
    {"AppendedToThenAWriteFails", false, OtherWriterRow::kWriteFails},
    {"AppendedToThenStopped", false, OtherWriterRow::kStopped},
};

class OtherWriters : public ::testing::TestWithParam<OtherWriterRow> {};

TEST_P(OtherWriters, AreNeitherReportedAsARepairNorUndone) {
  const OtherWriterRow& row = GetParam();
  TempDir dir;
  const std::string path = dir.Write("file", kOpens);
  const std::string record = "another program's record\n";
  FaultyFileSystem files;
  if (row.ending == OtherWriterRow::kWriteFails) files.write_budget = 200000;
  files.after_write = [&](int write_index) {
    if (write_index != 1) return;
    if (row.truncates) {
      ASSERT_EQ(truncate(path.c_str(), kOpenCount / 2), 0);
    } else {
      const int handle = open(path.c_str(), O_WRONLY | O_APPEND);
      ASSERT_EQ(write(handle, record.data(), record.size()), static_cast<ssize_t>(record.size()));
      fsync(handle);
      close(handle);
    }
  };
  RecordingSurface surface(path, false);
  if (row.ending == OtherWriterRow::kStopped) surface.stop_at_line = 60000;
  Fixit(surface, files);
  EXPECT_NE(surface.status, FixedSummary(kOpenCount));
  const std::string now = ReadAll(path);
  if (row.truncates) {
    EXPECT_TRUE(now.starts_with(kOpens.substr(0, kOpenCount / 2)));
  } else {
    EXPECT_TRUE(now.starts_with(kOpens));
    EXPECT_NE(now.find(record), std::string::npos) << "the other program's record was removed";
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, OtherWriters, ::testing::ValuesIn(kOtherWriterRows),
                         [](const auto& row) { return std::string(row.param.name); });

// Two repairs of one file released together: exactly one appends, the other finds the file
// changed or locked and appends nothing.
TEST(Interference, TwoRepairsAtOnceAppendTheLinesOnce) {
  TempDir dir;
  const std::string original = "a {\r\nb {\r\n";
  const std::string path = (dir.path() / "file").string();
  for (int round = 0; round < 400; ++round) {
    testing::WriteAll(path, original);
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    pid_t children[2];
    for (pid_t& child : children) {
      child = fork();
      if (child == 0) {
        char go = 0;
        close(gate[1]);
        static_cast<void>(read(gate[0], &go, 1));
        RecordingSurface surface(path, false);
        Fixit(surface);
        _exit(surface.status == FixedSummary(2) ? 0 : 1);
      }
    }
    close(gate[0]);
    close(gate[1]);  // both start now
    int repairs = 0;
    for (const pid_t child : children) {
      int status = 0;
      waitpid(child, &status, 0);
      repairs += WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    ASSERT_EQ(ReadAll(path), original + Lines(2)) << "round " << round;
    ASSERT_EQ(repairs, 1) << "round " << round;
  }
}

TEST(Interference, AFifoIsNeverOpenedSoItsWaitingWriterStaysWaiting) {
  TempDir dir;
  const std::string fifo = (dir.path() / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const pid_t writer = fork();
  if (writer == 0) {
    const int handle = open(fifo.c_str(), O_WRONLY);  // waits for a reader
    _exit(handle >= 0 && write(handle, "{", 1) == 1 ? 0 : 1);
  }
  RecordingSurface surface(fifo, false);
  Fixit(surface);
  EXPECT_EQ(surface.status, kNothingDone);
  // Still waiting: a reader now gets the writer's byte.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  pollfd ready{reader, POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 5000), 1);
  char byte = 0;
  EXPECT_EQ(read(reader, &byte, 1), 1);
  EXPECT_EQ(byte, '{');
  close(reader);
  int status = 0;
  waitpid(writer, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Under a file-size limit the lines that would pass it are refused before any is written,
// and the program is not killed part way.
TEST(Interference, FileSizeLimitRefusesTheAppendBeforeItBegins) {
  TempDir dir;
  const std::string original = std::string(100000, '{');
  const std::string path = dir.Write("file", original);
  for (const rlim_t limit : {rlim_t{100001}, rlim_t{299999}}) {
    const int status = InChild([&] {
      const rlimit size_limit{limit, limit};
      setrlimit(RLIMIT_FSIZE, &size_limit);
      RecordingSurface surface(path, false);
      Fixit(surface);
      return surface.status == kNothingDone ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "limit " << limit;
    EXPECT_TRUE(ReadAll(path) == original) << "limit " << limit;
  }
}

bool MakeAppendOnly(const std::string& path) {
  const int handle = open(path.c_str(), O_RDONLY);
  int flags = 0;
  const bool done = ioctl(handle, FS_IOC_GETFLAGS, &flags) == 0 &&
                    (flags |= FS_APPEND_FL, ioctl(handle, FS_IOC_SETFLAGS, &flags) == 0);
  close(handle);
  return done;
}

// A file that cannot be cut back gets a whole append or none.
TEST(Interference, AnAppendOnlyFileIsRepairedWholeOrNotAtAll) {
  testing::ScratchMount full("size=256k");
  testing::ScratchMount roomy("size=1m");
  if (!full.mounted() || !roomy.mounted()) GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
  const std::string crowded = full.path("file");
  testing::WriteAll(crowded, kOpens + kOpens);  // 200 KB, and 600 KB of lines cannot fit
  const std::string spacious = roomy.path("file");
  testing::WriteAll(spacious, kOpens);
  if (!MakeAppendOnly(crowded) || !MakeAppendOnly(spacious)) {
    GTEST_SKIP() << "cannot make a file append-only here";
  }
  RecordingSurface refused(crowded, false);
  Fixit(refused);
  EXPECT_EQ(refused.status, kNothingDone);
  EXPECT_TRUE(ReadAll(crowded) == kOpens + kOpens);

  // Asked to stop at the append's first pump: it goes on to the end, then stops without a word.
  RecordingSurface stopped(spacious, false);
  stopped.stop_at_line = 0;
  Fixit(stopped);
  EXPECT_TRUE(stopped.messages.empty());
  EXPECT_TRUE(ReadAll(spacious) == kOpens + Lines(kOpenCount));

  // Where no room can be set aside, an append that might fail part way is not begun.
  FaultyFileSystem unreservable;
  unreservable.reservation = FileSystem::Reservation::kUnsupported;
  unreservable.truncatable = false;
  RecordingSurface untouched(roomy.path("plain"), false);
  testing::WriteAll(roomy.path("plain"), "a {");
  Fixit(untouched, unreservable);
  EXPECT_EQ(untouched.status, kNothingDone);
  EXPECT_EQ(ReadAll(roomy.path("plain")), "a {");
}

}  // namespace
}  // namespace nestmend
