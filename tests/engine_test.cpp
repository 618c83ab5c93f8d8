// The repair on any system: how a file divides into data items, what a repair shows and
// appends, and how it fails: a repair that cannot be done leaves the file exactly as it was and
// says so; one that is done is complete and on the disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "sequential_files.h"
#include "test_support.h"

namespace nestmend {
namespace {

using namespace testing;  // this project's helpers
using Op = FaultyFileSystem::Op;
using Kind = RunOutcome::Kind;
using namespace std::chrono_literals;
using namespace std::string_literals;

struct ItemRow {
  std::string bytes;
  std::vector<std::string> items;
};

TEST(Items, AreReadOneByOneAsTheRulesSay) {
  const ItemRow kRows[] = {
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
      {std::string("a\x1A{\0}\xFF", 6), {std::string("a\x1A{\0}\xFF", 6)}},
  };
  TempDir dir;
  for (const ItemRow& row : kRows) {
    SequentialFiles files(SystemFiles());
    ASSERT_TRUE(files.OpenForInput(dir.Write("items", row.bytes), kFileNumber));
    std::vector<std::string> items;
    for (std::string item; files.AtEndOfFile(kFileNumber) == false;) {
      ASSERT_TRUE(files.ReadDataItem(kFileNumber, item)) << row.bytes;
      items.push_back(item);
    }
    EXPECT_EQ(items, row.items) << row.bytes;
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
constexpr std::size_t kRandomFiles = std::filesystem::path::preferred_separator == '\\' ? 60 : 300;

// Bytes biased towards the ones the reader looks at.
std::string RandomBytes(std::mt19937_64& random, std::size_t size) {
  static constexpr char kFavoured[] = "{{}\",\r\n x\x1A";
  std::string bytes(size, '\0');
  for (char& byte : bytes)
    byte = Below(random, 4) ? kFavoured[Below(random, 10)] : static_cast<char>(random());
  return bytes;
}

// Random bytes cut into random chunks: every instruction set gives what the reference gives for
// each chunk and leaves the same state.
TEST(Items, TheScannerMatchesTheReferenceOnRandomInputInRandomChunks) {
  std::mt19937_64 random(20261206);
  for (int round = 0; round < 2000; ++round) {
    const std::string bytes = RandomBytes(random, Below(random, 700));
    for (VectorUnit unit = VectorUnit::kPortable; unit <= BestVectorUnit();
         unit = static_cast<VectorUnit>(static_cast<int>(unit) + 1)) {
      ItemReaderState fast_state;
      ItemReaderState reference_state;
      std::mt19937_64 cuts(static_cast<unsigned>(round));
      for (std::size_t begin = 0, end = 0; begin < bytes.size(); begin = end) {
        end = std::min(bytes.size(), begin + 1 + Below(cuts, 200));
        const std::span<const char> chunk(bytes.data() + begin, end - begin);
        const ItemDetail detail = end % 2 ? ItemDetail::kItems : ItemDetail::kItemsAndBraces;
        ASSERT_EQ(ScanItemsUsing(unit, chunk, fast_state, detail),
                  ScanItemsReference(chunk, reference_state, detail))
            << "round " << round << ", unit " << static_cast<int>(unit) << " at " << begin;
        ASSERT_EQ(fast_state, reference_state) << "round " << round << " at " << end;
      }
    }
  }
}

TEST(Repair, WorkedExampleShowsEveryStepInOrder) {
  TempDir dir;
  const std::string path = dir.Write("example", "a {\r\nb {\r\nc }\r\n");
  RecordingSurface surface(path);
  Fixit(surface);
  std::vector<std::string> expected = {
      "STAT=Preparing To Fix", "Pump", "Pump", "Pump", "Pump", "Max=4", "STAT=Fixing File", "Pump"};
  for (const char* value : {"Value=1", "Value=2", "Value=3"}) {  // an item's read, its characters
    expected.insert(expected.end(), {"Pump", "Pump", value, "Pump", value, "Pump", value});
  }
  const std::string reason =
      "Reason=Added 1 line \"}\" at the end of the file, and it is safely on the disk; the "
      "outermost block left open begins on line 1.";
  expected.insert(expected.end(),
                  {"Value=0", "Max=2", "Value=0", "STAT=" + FixedSummary(1), reason, "Message"});
  EXPECT_EQ(surface.operations, expected);
  EXPECT_EQ(ReadAll(path), "a {\r\nb {\r\nc }\r\n}\r\n");
  EXPECT_EQ(surface.messages, std::vector<std::string>{std::string(ClosingMessage())});
  EXPECT_TRUE(ClosingMessage().starts_with("If Nestmend failed to fix your file, e-mail me at "));
  EXPECT_TRUE(
      ClosingMessage().ends_with(" with the file attached!  I will get back to u immediatly"));
  // As a window takes the batches: the bar set once per chunk, to where the scan leaves it.
  WriteAll(path, "a {\r\nb {\r\nc }\r\n");
  EXPECT_EQ(Repair(path).operations,
            (std::vector<std::string>{"STAT=Preparing To Fix", "Pump", "Max=4", "STAT=Fixing File",
                                      "Pump", "Value=3", "Value=0", "Max=2", "Value=0",
                                      "STAT=" + FixedSummary(1), reason, "Message"}));
  // Asked to stop at any pump, the run stops there: nothing more is shown and nothing written.
  for (std::uint64_t stop = 0; stop < surface.pumps; ++stop) {
    WriteAll(path, "a {\r\nb {\r\nc }\r\n");
    RecordingSurface stopped(path);
    stopped.stop_at_pump = stop;
    Fixit(stopped);
    EXPECT_EQ(stopped.pumps, stop + 1) << "the run went on after it was asked to stop";
    EXPECT_TRUE(stopped.messages.empty() && ReadAll(path) == "a {\r\nb {\r\nc }\r\n");
  }
}

// Whatever the bytes, the file keeps them untouched and gains exactly max(0, balance) lines,
// with the summary and the bar to match; and however the file is cut into chunks and however
// many threads scan them, what the window is shown stands for exactly what a reading one byte at
// a time on one thread shows. Hand-picked files, then random ones whose chunks (and so the quoted
// items and CR LF pairs that straddle them) fall anywhere.
TEST(Repair, AnyFileGainsExactlyItsMissingLinesHoweverItIsRead) {
  std::vector<std::string> files = {"", "a {\r\n}\r\n", "a {\r\n b {\r\n  c = 1\r\n", "a {\r\n}\r\n}\r\n",
                                    "x = 1\r\ny {", "\"{a,}\",{,}{\r\n\"{\"x{", "\"{\r\n", "{\"}\"",
                                    "\0\0\0{"s};
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

// Every ending of a run gives its reason, in words the engine decides: what became of the file
// and why, as a person needs to hear it, its verbs agreeing with one line and with two. A check
// reads as a repair does and writes nothing.
TEST(Repair, EveryEndingSaysWhy) {
  struct Row {
    std::string bytes;
    std::vector<Op> failing;  // these operations fail, every time
    FileProblem problem;
    std::string reason;
    RunMode mode = RunMode::kRepair;
  };
  // clang-format off
  const Row kRows[] = {
      {"x\r\n\r{\n{", {}, {}, "Added 2 lines \"}\" at the end of the file, and they are safely on "
       "the disk; the outermost block left open begins on line 3."},  // line ends of every kind
      {"}\n{\n{", {}, {}, "Added 1 line \"}\" at the end of the file, and it is safely on the disk; "
       "the outermost block left open begins on line 2."},  // a "}" too many before
      {"x\r\n\r{\n{", {}, {}, "Would add 2 lines \"}\" at the end of the file; the outermost block "
       "left open begins on line 3.", RunMode::kCheck},
      {"a {\r\n}\r\n", {}, {}, "Nothing was missing: every \"{\" in the file has its \"}\"."},
      {"}}{", {}, {}, "The file has 1 more \"}\" than \"{\", so no block is left open and nothing "
       "was added.", RunMode::kCheck},
      {"{", {Op::kOpenForReading}, FileProblem::kNoPermission,
       "You are not allowed to read this file, so nothing was changed."},
      {"{", {Op::kRead}, FileProblem::kFailed, "The file could not be read to its end: the storage "
       "reported an error, and nothing was changed.", RunMode::kCheck},
      {"{{", {Op::kOpenForAppending}, FileProblem::kReadOnly, "The file, or the disk it is on, is "
       "read-only, so the 2 lines \"}\" it lacks were not added."},
      {"{", {Op::kOpenForAppending}, FileProblem::kNoPermission, "You are not allowed to change "
       "this file, so the 1 line \"}\" it lacks was not added."},
      {"{{", {Op::kCanTruncate, Op::kReserve}, FileProblem::kFailed, "The file only lets lines be "
       "added, never taken back, and the disk could not set room aside for all 2 lines \"}\" "
       "first, so none was added."},
      {"{{", {Op::kWrite}, FileProblem::kFailed,
       "The disk refused the 2 lines \"}\", so they were taken back and the file is as it was."},
      {"{{", {Op::kLock}, FileProblem::kHeld, "Another program, or another repair, is using the "
       "file, so nothing was added; try again when it is done."},
      {"{{", {Op::kReserve}, FileProblem::kNoRoom, "The disk has not enough room for the 2 lines "
       "\"}\" the file lacks, so none was added."},
      {"{", {Op::kReserve}, FileProblem::kTooLarge, "The file-size limit leaves no room for the 1 "
       "line \"}\" the file lacks, so it was not added."},
      {std::string("\xFF\xFE{\0", 4), {}, {}, "The file starts with a UTF-16 or UTF-32 byte-order "
       "mark: 8-bit \"}\" lines would corrupt its text, so none was added."},
      {"{", {Op::kRead}, FileProblem::kNoMemory,
       "The system refused the memory the repair needed, so the file was left as it was."},
  };
  // clang-format on
  TempDir dir;
  for (const Row& row : kRows) {
    FaultyFileSystem files;
    files.failure = row.problem;
    files.before = [&](Op op, int) {
      if (std::ranges::count(row.failing, op) > 0) {
        files.failing_step = static_cast<int>(files.steps.size());
      }
    };
    const std::string path = dir.Write("file", row.bytes);
    RecordingSurface surface(path, false);
    EXPECT_EQ(Reason(Fixit(surface, files, {}, row.mode)), row.reason) << row.bytes;
    EXPECT_EQ(surface.reason, row.reason) << row.bytes;
    if (row.mode == RunMode::kCheck) {
      EXPECT_TRUE(ReadAll(path) == row.bytes && surface.messages.empty()) << row.bytes;
      EXPECT_EQ(std::ranges::count(files.steps, Op::kOpenForAppending), 0);
    }
  }
  // The storage gone after the first write: writes, and cutting back, fail.
  FaultyFileSystem gone;
  gone.before = [&](Op op, int call) {
    if (op == Op::kWrite && call == 1) gone.failing_step = static_cast<int>(gone.steps.size());
    gone.later_steps_fail = true;
  };
  EXPECT_EQ(Repair(dir.Write("file", std::string(100000, '{')), gone).reason,
            "The storage failed while the lines were being added, and 21845 of the 100000 lines "
            "\"}\" could not be taken back; run Nestmend again once the storage works, and it "
            "will complete the file.");
  // clang-format off
  for (const auto& [path, reason] : {
           std::pair(std::string(), "No file was named: type its path, choose it with \"...\", or "
                     "drop it here."),
           std::pair((dir.path() / "missing").string(), "There is no file at this path."),
           std::pair(dir.path().string(), "This path names a folder, not a file."),
           std::pair(std::string("a\0b", 3), "The path holds characters that cannot name a file "
                     "exactly, so no file was opened; choose the file with \"...\" or drop it here.")}) {
    EXPECT_EQ(Repair(path).reason, reason) << path;
  }
  // clang-format on
}

// Every reason reads right with one line and with two: the verbs and pronouns agree.
TEST(Repair, EveryReasonAgreesWithItsCount) {
  for (int kind = 0; kind <= static_cast<int>(Kind::kNoMemory); ++kind) {
    for (const FileProblem problem : {FileProblem::kReadOnly, FileProblem::kNoPermission,
                                      FileProblem::kUnsupported, FileProblem::kFailed}) {
      for (const std::uint64_t count : {1u, 2u}) {
        RunOutcome outcome;
        outcome.kind = static_cast<Kind>(kind);
        outcome.problem = problem;
        outcome.lines = outcome.left_behind = count;
        const std::string reason = Reason(outcome);
        const auto wrong = count == 1
                               ? std::vector<std::string>{"1 lines", "lacks were", "they", "\" stay "}
                               : std::vector<std::string>{"2 line ", "lacks was", "it is safely",
                                                          "it was taken", "it was not", "\" stays"};
        for (const std::string& words : wrong) {
          EXPECT_EQ(reason.find(words), std::string::npos) << reason;
        }
      }
    }
  }
}

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
      EXPECT_EQ(surface.messages.size(), 1u) << where;
      EXPECT_EQ(files.open_handles, 0) << where;
      // Whether an append that cannot be cut back may begin depends on the system reserving room.
      if (!later_steps_fail && op != Op::kCanTruncate) {
        const bool harmless = op == Op::kClose || op == Op::kReserve;
        EXPECT_EQ(surface.status, harmless ? FixedSummary(30000) : kNothingDone) << where;
        EXPECT_TRUE(now == (harmless ? kRepaired : kBlocks)) << where;
      } else {
        EXPECT_TRUE(surface.status != FixedSummary(30000) || now == kRepaired) << where;
        EXPECT_TRUE(now.starts_with(kBlocks)) << where;
        EXPECT_EQ(now.find_first_not_of("}\r\n", kBlocks.size()), std::string::npos) << where;
      }
    }
  }
}

// Stopped during the append: before its first write the file is as it was; after it, cut
// back; where cutting back is refused (a file system that will not shrink files, a file another
// program maps), completed and flushed instead; where the storage has gone, the lines that could
// not be taken back are the file's only change, and the reason says so.
TEST(Failure, AStopDuringTheAppendEndsWithTheFileAsItWasOrComplete) {
  struct Row {
    std::uint64_t stop_at_line;
    std::optional<Op> failing;  // from its first call on
    Kind ending;
  };
  const Row kRows[] = {{1, {}, Kind::kStoppedUntouched},
                       {20000, {}, Kind::kStoppedUntouched},
                       {20000, Op::kTruncate, Kind::kStoppedCompleted},
                       {20000, Op::kWrite, Kind::kStoppedPartial}};
  TempDir dir;
  for (const Row& row : kRows) {
    const std::string path = dir.Write("file", kBlocks);
    FaultyFileSystem files;
    files.before = [&](Op op, int call) {
      if (op != row.failing || (op == Op::kWrite && call < 1)) return;
      files.failing_step = static_cast<int>(files.steps.size());
      files.later_steps_fail = op == Op::kWrite;  // the storage gone: cut-backs fail too
    };
    files.most_per_write = 40000;  // a failing write leaves 40,000 bytes behind
    RecordingSurface stopped(path, false);
    stopped.stop_at_line = row.stop_at_line;
    const RunOutcome outcome = Fixit(stopped, files, kPlan);
    const std::string now = ReadAll(path);
    EXPECT_EQ(outcome.kind, row.ending) << row.stop_at_line;
    EXPECT_TRUE(stopped.messages.empty());
    if (row.ending != Kind::kStoppedPartial) {
      EXPECT_TRUE(now == (row.ending == Kind::kStoppedCompleted ? kRepaired : kBlocks));
      EXPECT_EQ(std::ranges::count(files.steps, Op::kWrite) > 0, row.stop_at_line > 1);
      continue;
    }
    EXPECT_TRUE(now.starts_with(kBlocks) && now.size() > kBlocks.size());
    EXPECT_EQ(now.find_first_not_of("}\r\n", kBlocks.size()), std::string::npos);
    EXPECT_EQ(Reason(outcome), "Stopped while the lines were being added, and " +
                                   std::to_string(outcome.left_behind) + " of the 30000 lines "
                                   "\"}\" could not be taken back; run Nestmend again once the "
                                   "storage works, and it will complete the file.");
    EXPECT_EQ(outcome.left_behind, (now.size() - kBlocks.size() + 2) / 3);
  }
}

void Append(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

// Files that change under the repair, or must not be appended to at all: left as the change
// left them, and no repair is claimed. A change between the two reads is seen by their bytes,
// where the file's size and time cannot tell.
TEST(Failure, FilesThatChangeOrAreWideTextAreNotAppendedTo) {
  using Change = std::function<void(const std::string& path, Op op, int call)>;
  const std::pair<std::string, Change> kRows[] = {
    {kBlocks,
     [](auto& path, Op op, int call) {  // grows while scanned
       if (op == Op::kRead && call % 2) Append(path, "more {\n");
     }},
    {kBlocks,
     [](auto& path, Op op, int call) {  // deleted part way through the scan
       if (op == Op::kRead && call == 5) std::filesystem::remove(path);
     }},
    {kBlocks,
     [](auto& path, Op op, int call) {  // cut to two chunks between the reads: the second read's
       if (op == Op::kOpenForReading && call == 1) {  // third chunk holds only its overlap
         std::filesystem::resize_file(path, 2 * kPlan.chunk_bytes);
       }
     }},
    {"a {\r\nb }\r\n",
     [](auto& path, Op op, int call) {  // a byte made "{" between the passes, its time kept,
       if (op != Op::kOpenForReading || call != 1) return;  // as coarse times or a map keep it
       const auto time = std::filesystem::last_write_time(path);
       WriteAll(path, "a {\r\nb {\r\n");
       std::filesystem::last_write_time(path, time);
     }},
    {"a {\r\n",
     [](auto& path, Op op, int) {  // grew by a byte before the append
       if (op == Op::kOpenForAppending) Append(path, "b");
     }},
    {"a {\r\n",
     [](auto& path, Op op, int) {  // the same length, a newer time
       if (op != Op::kOpenForAppending) return;
       std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) + 24h);
     }},
    {"a {\r\n",
     [](auto& path, Op op, int) {  // replaced: the same length and time
       if (op != Op::kOpenForAppending) return;
       WriteAll(path + ".new", "a {\r\n");
       std::filesystem::last_write_time(path + ".new", std::filesystem::last_write_time(path));
       std::filesystem::rename(path + ".new", path);
     }},
#if !defined(_WIN32)  // Windows refuses to rename a file open for appending
    {"a {\r\n",
     [](auto& path, Op op, int call) {  // moved away after the last write
       if (op == Op::kSync && call == 0) std::filesystem::rename(path, path + ".moved");
     }},
#endif
    {std::string("\xFF\xFE{\0\r\0\n\0", 8), {}},  // UTF-16, little-endian
    {std::string("\xFE\xFF\0{\0\r\0\n", 8), {}},  // UTF-16, big-endian
    {std::string("\0\0\xFE\xFF\0\0\0{", 8), {}},  // UTF-32, big-endian
  };
  for (std::size_t row = 0; row < std::size(kRows); ++row) {
    const auto& [bytes, change] = kRows[row];
    TempDir dir;
    const std::string path = dir.Write("file", bytes);
    FaultyFileSystem files;
    std::mutex mutex;                             // reads come from several threads
    std::optional<std::string> expected = bytes;  // as the changes left it, until the append
    bool appending = false;
    files.before = [&](Op op, int call) {
      const std::lock_guard lock(mutex);
      if (change) change(path, op, call);
      if (appending) return;
      appending = op == Op::kOpenForAppending;
      expected = std::filesystem::exists(path) ? std::optional(ReadAll(path)) : std::nullopt;
    };
    EXPECT_EQ(Repair(path, files, kPlan).status, kNothingDone) << "row " << row;
    if (std::filesystem::exists(path + ".moved")) std::filesystem::rename(path + ".moved", path);
    EXPECT_TRUE((std::filesystem::exists(path) ? std::optional(ReadAll(path)) : std::nullopt) ==
                expected)
        << "row " << row;
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

// A window waits for a call in its own event loop: the wait ends as soon as the call returns
// (also when it returns before the wait begins), not when the slice the wait was given ends.
TEST(Repair, AWindowsWaitEndsAsSoonAsTheCallReturns) {
  std::mutex mutex;
  std::condition_variable woken;
  int wakes = 0;
  int seen = 0;
  int slices_slept_out = 0;
  StorageThread thread({.turn = [] { return true; },
                        .sleep =
                            [&](std::chrono::milliseconds) {  // a slice far longer than a call
                              std::unique_lock lock(mutex);
                              slices_slept_out += !woken.wait_for(lock, 2s, [&] { return wakes > seen; });
                              seen = wakes;
                            },
                        .wake =
                            [&] {
                              const std::lock_guard lock(mutex);
                              ++wakes;
                              woken.notify_all();
                            }});
  for (int call = 0; call < 5; ++call) {
    EXPECT_TRUE(thread.Run([] { return std::this_thread::sleep_for(3ms), true; },
                           StorageThread::Patience::kToTheEnd));
  }
  EXPECT_EQ(slices_slept_out, 0);
}

}  // namespace
}  // namespace nestmend
