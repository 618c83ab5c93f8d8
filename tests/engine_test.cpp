// The repair on any system: how a file divides into data items, what a repair shows and
// appends, and why each run ended (failure_test.cpp stages the failures themselves).
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include "sequential_files.h"
#include "test_support.h"

namespace nestmend {
namespace {

using namespace testing;  // this project's helpers
using namespace std::chrono_literals;
using namespace std::string_literals;
namespace fs = std::filesystem;

TEST(Items, AreReadOneByOneAsTheRulesSay) {
  const std::pair<std::string, std::vector<std::string>> kRows[] = {
      {"", {}},
      {"a,{,b", {"a", "{", "b"}},
      {"a {\r\nb }\r\n", {"a {", "b }"}},
      {"a\rb\nc", {"a", "b", "c"}},
      {"\n\r", {"", ""}},  // LF then CR: two line ends
      {"a\r\n\r\n\nb", {"a", "", "", "b"}},
      {"\"x,{y}\r\n\",z", {"x,{y}\r\n", "z"}},
      {"\"ab\"c\"}d,e", {"abc\"}d", "e"}},  // text after the closing quote
      {"\"ab{,c\r\n", {"ab{,c\r\n"}},       // a quote left open at the end
      {"a\"b,c\"", {"a\"b", "c\""}},        // quotes inside an unquoted item
      {"  \"a,b\"", {"  \"a", "b\""}},      // blanks before a quote keep the item unquoted
      {"a\r\n  \t", {"a", "  \t"}},
      {"a,\r\nb", {"a", "", "b"}},
      {"a\x1A{\0}\xFF"s, {"a\x1A{\0}\xFF"s}},
  };
  TempDir dir;
  for (const auto& [bytes, expected] : kRows) {
    SequentialFiles files(SystemFiles());
    ASSERT_TRUE(files.OpenForInput(dir.Write("items", bytes), kFileNumber));
    std::vector<std::string> items;
    for (std::string item; files.AtEndOfFile(kFileNumber) == false; items.push_back(item)) {
      ASSERT_TRUE(files.ReadDataItem(kFileNumber, item)) << bytes;
    }
    EXPECT_EQ(items, expected) << bytes;
    std::string unchanged = "kept";
    EXPECT_FALSE(files.ReadDataItem(kFileNumber, unchanged));  // nothing left
    EXPECT_EQ(unchanged, "kept");
  }
}

// Only number 1, bound to one file at a time; a read that fails in the middle of an item
// reports no item and keeps the caller's. The leading bytes (a byte order mark's) are the
// file's first four, whatever size of chunk brought them.
TEST(Items, FileNumberOneIsBoundToOneFileAtATime) {
  TempDir dir;
  const std::string first = dir.Write("first", "abcdefgh,x");
  FaultyFileSystem faulty;
  faulty.failing_step = 3;  // open, identify, the first read, then the second
  SequentialFiles files(faulty, {.chunk_bytes = 4, .threads = 1});
  EXPECT_FALSE(files.OpenForInput(first, 2));
  EXPECT_FALSE(files.OpenForInput((dir.path() / "missing").string(), kFileNumber));
  ASSERT_TRUE(files.OpenForInput(first, kFileNumber));
  EXPECT_FALSE(files.OpenForInput(dir.Write("second", "z"), kFileNumber));
  EXPECT_FALSE(files.OpenForAppend(first, kFileNumber));
  std::string item = "kept";
  EXPECT_FALSE(files.ReadDataItem(kFileNumber, item));
  EXPECT_EQ(item, "kept");
  files.CloseAllFiles();
  EXPECT_EQ(files.AtEndOfFile(kFileNumber), std::nullopt);
  EXPECT_FALSE(files.PrintLine(kFileNumber, "}"));
  EXPECT_TRUE(files.LeadingBytes(kFileNumber).empty());
  for (std::size_t chunk = 1; chunk <= 5; ++chunk) {  // the first four bytes, however read
    SequentialFiles whole(SystemFiles(), {.chunk_bytes = chunk, .threads = 1});
    ASSERT_TRUE(whole.OpenForInput(first, kFileNumber) && whole.ReadDataItem(kFileNumber, item));
    EXPECT_EQ(whole.LeadingBytes(kFileNumber), "abcd") << "chunks of " << chunk;
  }
}

// Under Wine every file operation costs many times what it costs natively: fewer random files.
constexpr std::size_t kRandomFiles = fs::path::preferred_separator == '\\' ? 60 : 300;

// Bytes biased towards the ones the reader looks at.
std::string RandomBytes(std::mt19937_64& random, std::size_t size) {
  static constexpr char kFavoured[] = "{{}\",\r\n x\x1A";
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    byte = Below(random, 4) ? kFavoured[Below(random, 10)] : static_cast<char>(random());
  }
  return bytes;
}

// Random bytes cut into random chunks: every instruction set gives what the reference gives for
// each chunk, for both passes, and leaves the same state. One round in a hundred has chunks of
// several of the digest's pieces.
TEST(Items, TheScannerMatchesTheReferenceOnRandomInputInRandomChunks) {
  std::mt19937_64 random(20261206);
  for (int round = 0; round < 2000; ++round) {
    const std::size_t most = round % 100 == 0 ? 3 * kDigestPieceBytes : 200;
    const std::string bytes = RandomBytes(random, Below(random, 3 * most));
    for (int unit = 0; unit <= static_cast<int>(BestVectorUnit()); ++unit) {
      ItemReaderState fast_state;
      ItemReaderState reference_state;
      std::mt19937_64 cuts(static_cast<unsigned>(round));
      for (std::size_t begin = 0, end = 0; begin < bytes.size(); begin = end) {
        end = std::min(bytes.size(), begin + 1 + Below(cuts, most));
        const std::span<const char> chunk(bytes.data() + begin, end - begin);
        for (const ItemDetail detail : {ItemDetail::kItems, ItemDetail::kBraces}) {
          ASSERT_EQ(ScanItemsUsing(static_cast<VectorUnit>(unit), chunk, fast_state, detail),
                    ScanItemsReference(chunk, reference_state, detail))
              << "round " << round << ", unit " << unit << " at " << begin;
          ASSERT_EQ(fast_state, reference_state) << "round " << round << " at " << end;
        }
      }
    }
  }
}

TEST(Repair, WorkedExampleShowsEveryStepInOrder) {
  TempDir dir;
  const std::string original = "a {\r\nb {\r\nc }\r\n";
  const std::string path = dir.Write("example", original);
  RecordingSurface surface(path);
  Fixit(surface);
  std::vector<std::string> expected = {
      "STAT=Preparing To Fix", "Pump", "Pump", "Pump", "Pump", "Max=4", "STAT=Fixing File", "Pump"};
  for (const char* value : {"Value=1", "Value=2", "Value=3"}) {  // an item's read, its characters
    expected.insert(expected.end(), {"Pump", "Pump", value, "Pump", value, "Pump", value});
  }
  const std::vector<std::string> end = {"STAT=" + FixedSummary(1),
                                        "Reason=Added 1 line \"}\" at the end of the file, and it "
                                        "is safely on the disk; the outermost block left open "
                                        "begins on line 1.",
                                        "Message"};
  expected.insert(expected.end(), {"Value=0", "Max=2", "Value=0"});
  expected.insert(expected.end(), end.begin(), end.end());
  EXPECT_EQ(surface.operations, expected);
  EXPECT_EQ(ReadAll(path), original + "}\r\n");
  EXPECT_EQ(surface.messages, std::vector<std::string>{std::string(ClosingMessage())});
  EXPECT_TRUE(ClosingMessage().starts_with("If Nestmend failed to fix your file, e-mail me at "));
  EXPECT_TRUE(
      ClosingMessage().ends_with(" with the file attached!  I will get back to u immediatly"));
  // As a window takes the batches: the bar set once per chunk, to where the scan leaves it.
  WriteAll(path, original);
  expected = {"STAT=Preparing To Fix", "Pump", "Max=4", "STAT=Fixing File", "Pump", "Value=3",
              "Value=0", "Max=2", "Value=0"};
  expected.insert(expected.end(), end.begin(), end.end());
  EXPECT_EQ(Repair(path).operations, expected);
  // Asked to stop at any pump, the run stops there: nothing more is shown and nothing written.
  for (std::uint64_t stop = 0; stop < surface.pumps; ++stop) {
    WriteAll(path, original);
    RecordingSurface stopped(path);
    stopped.stop_at_pump = stop;
    EXPECT_EQ(Fixit(stopped).kind, Kind::kStoppedUntouched);
    EXPECT_EQ(stopped.pumps, stop + 1) << "the run went on after it was asked to stop";
    EXPECT_TRUE(stopped.messages.empty() && ReadAll(path) == original);
  }
}

// Whatever the bytes, the file keeps them untouched and gains exactly max(0, balance) lines,
// with the summary and the bar to match; and however the file is cut into chunks and however
// many threads scan them, what the window is shown stands for exactly what a reading one byte at
// a time on one thread shows. Hand-picked files, then random ones whose chunks (and so the quoted
// items and CR LF pairs that straddle them) fall anywhere.
TEST(Repair, AnyFileGainsExactlyItsMissingLinesHoweverItIsRead) {
  std::vector<std::string> files = {"", "a {\r\n}\r\n", "a {\r\n b {\r\n  c = 1\r\n",
                                    "a {\r\n}\r\n}\r\n", "x = 1\r\ny {", "\"{a,}\",{,}{\r\n\"{\"x{",
                                    "\"{\r\n", "{\"}\"", "\0\0\0{"s};
  std::mt19937_64 random(1206);
  while (files.size() < kRandomFiles) {  // every 50th within a few bytes of a chunk's size
    const bool near_a_chunk = files.size() % 50 == 49;
    files.push_back(RandomBytes(random, near_a_chunk ? ReadPlan{}.chunk_bytes + Below(random, 7) - 3
                                                     : Below(random, 3000)));
  }
  TempDir dir;
  for (std::size_t index = 0; index < files.size(); ++index) {
    const std::string& original = files[index];
    const std::string path = dir.Write("file", original);
    const bool small = original.size() < 1000;  // read byte by byte too, every step recorded
    const ReadPlan plan{1 + Below(random, small ? 48 : 4096),
                        static_cast<unsigned>(1 + Below(random, small ? 8 : 2))};
    RecordingSurface surface(path, small);
    Fixit(surface, SystemFiles(), small ? ReadPlan{1, 1} : plan);
    const std::int64_t balance = BraceBalance(original);
    ASSERT_TRUE(ReadAll(path) == original + Lines(balance)) << "file " << index;
    ASSERT_EQ(surface.status, balance > 0 ? FixedSummary(balance) : kNothingDone) << index;
    ASSERT_EQ(surface.value, balance > 1 ? balance - 1 : 0) << "file " << index;
    ASSERT_EQ(surface.maximum, balance >= 0 ? static_cast<float>(balance + 1) : surface.maximum);
    if (!small) continue;
    WriteAll(path, original);
    RecordingSurface batched(path);
    Fixit(batched, SystemFiles(), plan);
    ASSERT_EQ(batched.operations, surface.operations)
        << "file " << index << ", chunks of " << plan.chunk_bytes << ", " << plan.threads;
  }
}

// Every ending of a run, staged as it happens, ends as its kind says, with that reason shown; a
// check reads as a repair does and writes nothing. Where the words carry numbers (the lines, the
// line where the outermost block left open begins), they are the file's.
TEST(Repair, EveryEndingSaysWhy) {
  struct Row {
    std::string bytes;
    std::vector<Op> failing;  // these operations fail, every time, as `problem` says
    FileProblem problem;
    Kind kind;
    RunMode mode = RunMode::kRepair;
  };
  const Row kRows[] = {
      {"a {\r\n}\r\n", {}, {}, Kind::kBalanced},
      {"}}{", {}, {}, Kind::kMoreClosing, RunMode::kCheck},
      {"{", {Op::kOpenForReading}, FileProblem::kNoPermission, Kind::kCannotRead},
      {"{", {Op::kRead}, FileProblem::kFailed, Kind::kCannotRead, RunMode::kCheck},
      {"{{", {Op::kOpenForAppending}, FileProblem::kReadOnly, Kind::kCannotWrite},
      {"{", {Op::kOpenForAppending}, FileProblem::kNoPermission, Kind::kCannotWrite},
      {"{{", {Op::kCanTruncate, Op::kReserve}, FileProblem::kUnsupported, Kind::kCannotWrite},
      {"{{", {Op::kWrite}, FileProblem::kFailed, Kind::kCannotWrite},
      {"{{", {Op::kLock}, FileProblem::kHeld, Kind::kHeld},
      {"{{", {Op::kReserve}, FileProblem::kNoRoom, Kind::kNoRoom},
      {"{", {Op::kReserve}, FileProblem::kTooLarge, Kind::kTooLarge},
      {"\xFF\xFE{\0"s, {}, {}, Kind::kWideText},
      {"{", {Op::kRead}, FileProblem::kNoMemory, Kind::kNoMemory},
  };
  TempDir dir;
  for (const Row& row : kRows) {
    FaultyFileSystem files;
    files.failure = row.problem;
    files.before = [&](Op op, int) {  // each time it comes to them
      if (!std::ranges::count(row.failing, op)) return;
      files.failing_step = static_cast<int>(files.steps.size());
    };
    const std::string path = dir.Write("file", row.bytes);
    RecordingSurface surface(path, false);
    const RunOutcome outcome = Fixit(surface, files, {}, row.mode);
    EXPECT_TRUE(outcome.kind == row.kind && outcome.problem == row.problem) << row.bytes;
    EXPECT_EQ(surface.reason, Reason(outcome));
    if (row.mode == RunMode::kCheck) {
      EXPECT_TRUE(ReadAll(path) == row.bytes && surface.messages.empty()) << row.bytes;
      EXPECT_EQ(std::ranges::count(files.steps, Op::kOpenForAppending), 0);
    }
  }
  for (const auto& [path, kind] : {std::pair(std::string(), Kind::kNoPath),
                                   {(dir.path() / "missing").string(), Kind::kMissing},
                                   {dir.path().string(), Kind::kFolder},
                                   {"a\0b"s, Kind::kPathNotExact}}) {
    RecordingSurface surface(path, false);
    EXPECT_EQ(Fixit(surface).kind, kind) << path;
  }
  // Line ends of every kind, a "}" too many before, and the storage gone after the first write.
  const std::string line_3 = "; the outermost block left open begins on line 3.";
  EXPECT_EQ(Repair(dir.Write("file", "x\r\n\r{\n{")).reason,
            "Added 2 lines \"}\" at the end of the file, and they are safely on the disk" + line_3);
  EXPECT_EQ(Repair(dir.Write("file", "}\n\r{\n{")).reason,
            "Added 1 line \"}\" at the end of the file, and it is safely on the disk" + line_3);
  RecordingSurface checked(dir.Write("file", "x\r\n\r{\n{"), false);
  EXPECT_EQ(Reason(Fixit(checked, SystemFiles(), {}, RunMode::kCheck)),
            "Would add 2 lines \"}\" at the end of the file" + line_3);
  FaultyFileSystem gone;
  gone.before = [&](Op op, int call) {
    if (op == Op::kWrite && call == 1) gone.failing_step = static_cast<int>(gone.steps.size());
    gone.later_steps_fail = true;
  };
  EXPECT_EQ(Repair(dir.Write("file", std::string(100000, '{')), gone).reason,
            "The storage failed while the lines were being added, and 21845 of the 100000 lines "
            "\"}\" could not be taken back; run Nestmend again once the storage works, and it "
            "will complete the file.");
}

// Every reason reads right with one line and with two: the verbs and pronouns agree.
TEST(Repair, EveryReasonAgreesWithItsCount) {
  const std::vector<std::string> kWrong[] = {
      {"1 lines", "lacks were", "they", "\" stay "},
      {"2 line ", "lacks was", "it is safely", "it was taken", "it was not", "\" stays"}};
  RunOutcome outcome;
  for (int kind = 0; kind <= static_cast<int>(Kind::kNoMemory); ++kind) {
    for (const FileProblem problem : {FileProblem::kReadOnly, FileProblem::kNoPermission,
                                      FileProblem::kUnsupported, FileProblem::kFailed}) {
      for (const std::uint64_t count : {1u, 2u}) {
        outcome.kind = static_cast<Kind>(kind);
        outcome.problem = problem;
        outcome.lines = outcome.left_behind = count;
        for (const std::string& words : kWrong[count - 1]) {
          EXPECT_EQ(Reason(outcome).find(words), std::string::npos) << Reason(outcome);
        }
      }
    }
  }
}

// A window waits for a call in its own event loop: the wait ends as soon as the call returns
// (also when it returns before the wait begins), not when the slice the wait was given ends.
TEST(Repair, AWindowsWaitEndsAsSoonAsTheCallReturns) {
  std::mutex mutex;
  std::condition_variable woken;
  int wakes = 0;
  int seen = 0;
  int slices_slept_out = 0;
  const auto sleep = [&](std::chrono::milliseconds) {  // as if the slice were far longer
    std::unique_lock lock(mutex);
    slices_slept_out += !woken.wait_for(lock, 2s, [&] { return wakes > seen; });
    seen = wakes;
  };
  const auto wake = [&] {
    const std::lock_guard lock(mutex);
    ++wakes;
    woken.notify_all();
  };
  StorageThread thread({.turn = [] { return true; }, .sleep = sleep, .wake = wake});
  for (int call = 0; call < 5; ++call) {
    EXPECT_TRUE(thread.Run([] { return std::this_thread::sleep_for(3ms), true; },
                           StorageThread::Patience::kToTheEnd));
  }
  EXPECT_EQ(slices_slept_out, 0);
}

}  // namespace
}  // namespace nestmend
