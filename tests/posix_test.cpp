// What only a POSIX system can stage: paths that are not plain files, huge files, a kill at
// chosen moments, and what other programs and the system do to a file while it is repaired. The
// file ends as it was or completely repaired, and the summary says which.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "sequential_files.h"
#include "test_support.h"

namespace nestmend {
namespace {

using namespace testing;  // this project's helpers

// Enough lines for several writes: 100,000 "{" need 300,000 bytes of "}" CR LF.
const std::string kOpens(100000, '{');

// Runs `work` in a child process, after `gate` (when given) closes; its exit status.
pid_t Start(const std::function<bool()>& work, const int* gate = nullptr) {
  const pid_t child = fork();
  if (child != 0) return child;
  char go = 0;
  if (gate != nullptr) static_cast<void>(close(gate[1]) + read(gate[0], &go, 1));
  _exit(work() ? 0 : 1);
}
bool Succeeded(pid_t child) {
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Decided before opening: a FIFO is never opened (which would release a writer waiting on it),
// and nothing is created.
TEST(System, PathsThatAreNotPlainFilesAreNeverOpened) {
  TempDir dir;
  const std::string fifo = (dir.path() / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string missing = (dir.path() / "missing").string();
  const std::filesystem::path loop = dir.path() / "loop";
  std::filesystem::create_symlink(dir.path() / "pool", loop);
  std::filesystem::create_symlink(loop, dir.path() / "pool");
  bool fifo_opened = false;
  FaultyFileSystem files;
  files.before = [&](Op, int) {  // a writer gets in without waiting only while a reader is in
    const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    fifo_opened = fifo_opened || writer >= 0;
    if (writer >= 0) close(writer);
  };
  for (const auto& [path, kind] :
       {std::pair(missing, Kind::kMissing), {fifo, Kind::kPipe}, {loop.string(), Kind::kMissing},
        {"/dev/zero", Kind::kDevice}, {"/proc/self/stat", Kind::kNotPlain},
        {"/proc/self/status", Kind::kNotPlain}}) {
    RecordingSurface surface(path, false);
    EXPECT_EQ(Fixit(surface, files).kind, kind) << path;
    EXPECT_EQ(surface.status, kNothingDone) << path;
  }
  EXPECT_FALSE(fifo_opened);
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(System, FileOverFourGibibytes) {
  ScratchMount scratch("size=5g");  // a hole reads fast on tmpfs, slowly on a disk
  if (!scratch.mounted()) GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
  const std::string path = scratch.path("sparse");
  const off_t hole = (off_t{4} << 30) + 12345;
  WriteAll(path, "");
  ASSERT_EQ(truncate(path.c_str(), hole), 0);
  std::ofstream(path, std::ios::binary | std::ios::app) << "{\n{{";
  ASSERT_EQ(std::filesystem::file_size(path), static_cast<std::uintmax_t>(hole) + 4);
  const RecordingSurface surface = Repair(path);
  EXPECT_EQ(surface.status, FixedSummary(3));
  std::ifstream tail(path, std::ios::binary);
  tail.seekg(hole);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(tail), {}), "{\n{{}\r\n}\r\n}\r\n");
}

// The system refusing threads (a process limit, for an ordinary user) or memory (an address
// space barely above what the process holds): the run goes on with the threads it has, or ends
// with the file untouched and nothing claimed. Never an abort.
TEST(System, ThreadsOrMemoryRefusedEndNoRunInACrash) {
  TempDir dir;
  const std::string original = "a {\r\nb {\r\n" + std::string(5 << 20, 'x');
  const std::string path = dir.Write("file", original);
  chmod(dir.path().c_str(), 0777);
  chmod(path.c_str(), 0666);
  const auto limited = [&](int resource, rlim_t limit) {
    WriteAll(path, original);
    const bool ended_well = Succeeded(Start([&] {
      const rlimit refused{limit, limit};
      if (resource == RLIMIT_NPROC && (setgid(65534) != 0 || setuid(65534) != 0)) return false;
      if (setrlimit(resource, &refused) != 0) return false;
      const std::string status = Repair(path).status;  // says what became of the file
      return status ==
             (std::filesystem::file_size(path) == original.size() ? kNothingDone : FixedSummary(2));
    }));
    const std::string now = ReadAll(path);
    EXPECT_TRUE(ended_well && (now == original || now == original + Lines(2)))
        << "resource " << resource << ", limit " << limit;
    return now != original;
  };
  EXPECT_TRUE(limited(RLIMIT_NPROC, 1));  // no thread at all: the file calls run in line
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the address sanitizer ends the process itself when it cannot map memory";
#endif
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line) && !line.starts_with("VmSize:")) {
  }
  const auto held = static_cast<rlim_t>(std::stoull(line.substr(7)) << 10);
  for (const rlim_t more : {0u, 1u, 2u, 4u, 8u, 16u, 24u, 32u, 64u}) {
    limited(RLIMIT_AS, held + (more << 20));
  }
}

// Killed outright at chosen moments: before any write, between writes, after the last write
// (before the flush). The original bytes survive every kill, only "}" lines follow them, and a
// second repair completes the file.
TEST(System, KilledMidRepairLosesNothingAndASecondRunFinishes) {
  const std::string original = "data {\r\n" + std::string(199'999, '{');  // 600 KB to append
  TempDir dir;
  const std::string path = (dir.path() / "file").string();
  for (const auto& [op, call] : {std::pair(Op::kOpenForAppending, 0), std::pair(Op::kWrite, 4),
                                 std::pair(Op::kWrite, 7), std::pair(Op::kSync, 0)}) {
    WriteAll(path, original);
    int reached[2];
    ASSERT_EQ(pipe(reached), 0);
    const pid_t child = Start([&] {
      FaultyFileSystem files;
      files.before = [&](Op now, int now_call) {
        if (now == op && now_call == call && write(reached[1], "!", 1) == 1) pause();
      };
      return Repair(path, files).status.empty();
    });
    char signal_byte = 0;
    ASSERT_EQ(read(reached[0], &signal_byte, 1), 1) << "call " << call;
    close(reached[0]);
    close(reached[1]);
    kill(child, SIGKILL);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const std::string after_kill = ReadAll(path);
    ASSERT_TRUE(after_kill.starts_with(original)) << "call " << call;
    ASSERT_EQ((after_kill.size() - original.size()) % 3, 0u) << "a torn line, call " << call;
    ASSERT_EQ(after_kill.find_first_not_of("}\r\n", original.size()), std::string::npos);
    EXPECT_EQ(after_kill.size() == original.size(), op == Op::kOpenForAppending);
    Repair(path);
    ASSERT_TRUE(ReadAll(path) == original + Lines(200'000)) << "call " << call;
  }
  // A kill inside a write can leave its last line torn where the kernel cut the write short at
  // a page: a second run still balances the braces.
  WriteAll(path, original + Lines(5) + "}\r");
  Repair(path);
  EXPECT_EQ(BraceBalance(ReadAll(path)), 0);
}

// The program ended from inside the wait for a write, as a toolkit that loses its display ends
// it: the append is cut back, that write included, or completed where cutting back is refused.
TEST(System, EndedFromInsideTheWaitForAWriteLosesNothing) {
  TempDir dir;
  const std::string path = (dir.path() / "file").string();
  for (const bool can_cut_back : {true, false}) {
    WriteAll(path, kOpens);
    const pid_t child = Start([&] {
      FaultyFileSystem files;
      std::atomic<bool> write_out = false;
      files.before = [&](Op op, int) {
        if (op == Op::kCanTruncate && !can_cut_back) {
          files.failing_step = static_cast<int>(files.steps.size());
        }
        if (op != Op::kWrite) return;
        write_out = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      };
      const StorageThread::Waiting waiting{.turn = [] { return true; },
                                           .sleep =
                                               [&](std::chrono::milliseconds) {
                                                 if (write_out) std::exit(1);
                                               },
                                           .wake = {}};
      SequentialFiles appending(files, {}, waiting);
      return appending.OpenForAppend(path, kFileNumber) &&
             appending.PlanLines(kFileNumber, "}", kOpens.size()) &&
             appending.PrintLines(kFileNumber, "}", kOpens.size());
    });
    ASSERT_FALSE(Succeeded(child));
    EXPECT_TRUE(ReadAll(path) == (can_cut_back ? kOpens : kOpens + Lines(100000)))
        << (can_cut_back ? "cut back" : "completed") << ": " << ReadAll(path).size() << " bytes";
  }
}

// Another program truncates the file, or appends a record to it, after the append's second
// write; then the append ends on its own, with a failed write, or with the window asking to
// stop. No repair is claimed, and the other program's record is never removed.
TEST(Interference, OtherWritersAreNeitherReportedAsARepairNorUndone) {
  enum Ending { kCompletes, kWriteFails, kStopped };
  const std::string record = "another program's record\n";
  for (const auto& [truncates, ending] :
       {std::pair(true, kCompletes), std::pair(false, kCompletes), std::pair(false, kWriteFails),
        std::pair(false, kStopped)}) {
    TempDir dir;
    const std::string path = dir.Write("file", kOpens);
    FaultyFileSystem files;
    files.before = [&](Op op, int call) {
      if (ending == kWriteFails && op == Op::kWrite && call == 3)
        files.failing_step = static_cast<int>(files.steps.size());
      if (op != Op::kWrite || call != 2) return;
      if (truncates) {
        ASSERT_EQ(truncate(path.c_str(), 50000), 0);
      } else {
        std::ofstream(path, std::ios::binary | std::ios::app) << record;
      }
    };
    RecordingSurface surface(path, false);
    if (ending == kStopped) surface.stop_at_line = 60000;
    Fixit(surface, files);
    EXPECT_NE(surface.status, FixedSummary(100000)) << truncates << ending;
    const std::string now = ReadAll(path);
    EXPECT_TRUE(now.starts_with(kOpens.substr(0, truncates ? 50000 : 100000)));
    EXPECT_EQ(now.find(record) != std::string::npos, !truncates) << "the record was removed";
  }
}

// Two repairs of one file released together: exactly one appends, the other finds the file
// changed or locked and appends nothing.
TEST(Interference, TwoRepairsAtOnceAppendTheLinesOnce) {
  TempDir dir;
  const std::string original = "a {\r\nb {\r\n";
  const std::string path = (dir.path() / "file").string();
  for (int round = 0; round < 200; ++round) {
    WriteAll(path, original);
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    const auto repair = [&] { return Repair(path).status == FixedSummary(2); };
    const pid_t children[] = {Start(repair, gate), Start(repair, gate)};
    close(gate[0]);
    close(gate[1]);  // both start now
    ASSERT_EQ(Succeeded(children[0]) + Succeeded(children[1]), 1) << "round " << round;
    ASSERT_EQ(ReadAll(path), original + Lines(2)) << "round " << round;
  }
}

// Under a file-size limit the lines that would pass it are refused before any is written,
// and the program is not killed part way.
TEST(Interference, FileSizeLimitRefusesTheAppendBeforeItBegins) {
  TempDir dir;
  const std::string path = dir.Write("file", kOpens);
  for (const rlim_t limit : {rlim_t{100001}, rlim_t{299999}}) {
    EXPECT_TRUE(Succeeded(Start([&] {
      const rlimit size_limit{limit, limit};
      setrlimit(RLIMIT_FSIZE, &size_limit);
      return Repair(path).status == kNothingDone;
    }))) << "limit "
         << limit;
    EXPECT_TRUE(ReadAll(path) == kOpens) << "limit " << limit;
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

// A full disk refuses the append before it begins; a file that cannot be cut back gets a whole
// append or none.
TEST(Interference, AFullDiskOrAnAppendOnlyFileGetsAWholeAppendOrNone) {
  ScratchMount full("size=256k");
  ScratchMount roomy("size=1m");
  if (!full.mounted() || !roomy.mounted()) GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
  const std::string crowded = full.path("file");
  WriteAll(crowded, kOpens + kOpens);  // 200 KB, and 600 KB of lines cannot fit
  const std::string spacious = roomy.path("file");
  WriteAll(spacious, kOpens);
  EXPECT_EQ(Repair(crowded).status, kNothingDone);  // a plain file: no room is reserved
  EXPECT_TRUE(ReadAll(crowded) == kOpens + kOpens);
  if (!MakeAppendOnly(crowded) || !MakeAppendOnly(spacious)) {
    GTEST_SKIP() << "cannot make a file append-only here";
  }
  EXPECT_EQ(Repair(crowded).status, kNothingDone);
  EXPECT_TRUE(ReadAll(crowded) == kOpens + kOpens);
  EXPECT_EQ(Repair(spacious).status, FixedSummary(100000));
  EXPECT_TRUE(ReadAll(spacious) == kOpens + Lines(100000));
}

}  // namespace
}  // namespace nestmend
