// What a repair shows and appends.
#include <gtest/gtest.h>

#include <random>

#include "fixit.h"
#include "sequential_files.h"
#include "test_support.h"

namespace nestmend {
namespace {

using testing::FixedSummary;
using testing::ReadAll;
using testing::RecordingSurface;

TEST(Repair, WorkedExampleShowsEveryStepInOrder) {
  testing::TempDir dir;
  const std::string path = dir.Write("example", "a {\r\nb {\r\nc }\r\n");
  RecordingSurface surface(path);
  Fixit(surface);
  std::vector<std::string> expected = {
      "STAT=Preparing To Fix", "Pump", "Pump", "Pump", "Pump", "Max=4", "STAT=Fixing File", "Pump"};
  for (const char* record : {"1", "2", "3"}) {
    expected.emplace_back("Pump");  // the item's read, then each of its three characters
    for (int character = 0; character < 3; ++character) {
      expected.insert(expected.end(), {"Pump", std::string("Value=") + record});
    }
  }
  expected.insert(expected.end(),
                  {"Value=0", "Max=2", "Value=0", "STAT=" + FixedSummary(1), "Message"});
  EXPECT_EQ(surface.operations, expected);
  EXPECT_EQ(ReadAll(path), "a {\r\nb {\r\nc }\r\n}\r\n");
  EXPECT_EQ(surface.messages, std::vector<std::string>{std::string(ClosingMessage())});
  EXPECT_TRUE(ClosingMessage().starts_with("If Nestmend failed to fix your file, e-mail me at "));
  EXPECT_TRUE(
      ClosingMessage().ends_with(" with the file attached!  I will get back to u immediatly"));
}

struct OutcomeRow {
  const char* name;
  std::string bytes;
  std::string appended;
  float maximum;  // the bar as the run leaves it
  float value;
  std::string summary;
};

const std::string kNothingDone(texts::kNothingDone);

const OutcomeRow kOutcomeRows[] = {
    {"Balanced", "a {\r\n}\r\n", "", 1, 0, kNothingDone},
    {"Empty", "", "", 1, 0, kNothingDone},
    {"TwoUnclosedBlocks", "a {\r\n b {\r\n  c = 1\r\n", "}\r\n}\r\n", 3, 1, FixedSummary(2)},
    // More "}" than "{": nothing can be appended, so no repair is claimed; the append phase's
    // maximum of 0 is refused and the count's stays.
    {"OneCloseTooMany", "a {\r\n}\r\n}\r\n", "", 4, 0, kNothingDone},
    {"LastLineEndsInBraceWithoutLineEnd", "x = 1\r\ny {", "}\r\n", 2, 0, FixedSummary(1)},
    {"BracesInQuotesAndBesideCommas", "\"{a,}\",{,}{\r\n\"{\"x{", testing::Lines(3), 4, 2,
     FixedSummary(3)},
};

class Outcome : public ::testing::TestWithParam<OutcomeRow> {};

TEST_P(Outcome, AppendsExactlyTheMissingLines) {
  const OutcomeRow& row = GetParam();
  testing::TempDir dir;
  const std::string path = dir.Write("file", row.bytes);
  RecordingSurface surface(path);
  Fixit(surface);
  EXPECT_EQ(ReadAll(path), row.bytes + row.appended);
  EXPECT_EQ(surface.maximum, row.maximum);
  EXPECT_EQ(surface.value, row.value);
  EXPECT_EQ(surface.status, row.summary);
  EXPECT_EQ(surface.messages.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rows, Outcome, ::testing::ValuesIn(kOutcomeRows),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(Repair, BatchesStandForExactlyTheItemByItemSequence) {
  std::mt19937_64 random(42);
  testing::TempDir dir;
  static constexpr char kAlphabet[] = "{{}},,\"\r\n ab";
  for (int round = 0; round < 200; ++round) {
    std::string bytes(random() % 400, ' ');
    for (char& byte : bytes) byte = kAlphabet[random() % (sizeof(kAlphabet) - 1)];
    const std::string path = dir.Write("random", bytes);
    const std::vector<std::string> expected = testing::LiteralSequence(path);
    RecordingSurface surface(path);
    // Tiny chunks, so that quoted items and CR LF pairs straddle them, scanned by 1 to 8 threads.
    const ReadPlan plan{1 + random() % 48, static_cast<unsigned>(1 + random() % 8)};
    Fixit(surface, SystemFiles(), plan);
    ASSERT_EQ(surface.operations, expected)
        << "round " << round << ", chunks of " << plan.chunk_bytes << ", " << plan.threads
        << " threads";
  }
}

// Whatever the bytes, the balance is the file's own count of braces, the original bytes stay
// untouched and exactly the missing lines follow them.
TEST(Repair, RandomFilesAreRepairedExactly) {
  std::mt19937_64 random(1206);
  testing::TempDir dir;
  const std::string path = (dir.path() / "random").string();
  static constexpr char kFavoured[] = {'{', '{', '}', '"', ',', '\r', '\n', ' ', 'x', '\x1A'};
  // Under Wine every file operation costs many times what it costs natively.
#if defined(_WIN32)
  constexpr int kRounds = 500;
#else
  constexpr int kRounds = 2500;
#endif
  for (int round = 0; round < kRounds; ++round) {
    // Mostly small files; every 50th within a few bytes of a chunk boundary.
    std::size_t size = random() % 3000;
    if (round % 50 == 0)
      size = SequentialFiles::kChunkBytes * (1 + random() % 2) + random() % 7 - 3;
    std::string original(size, '\0');
    for (char& byte : original) {
      byte = random() % 4 ? kFavoured[random() % sizeof(kFavoured)] : static_cast<char>(random());
    }
    testing::WriteAll(path, original);
    RecordingSurface surface(path, false);
    Fixit(surface, SystemFiles(),
          {round % 2 ? SequentialFiles::kChunkBytes : 1 + random() % 4096, round % 3 ? 2u : 1u});
    const std::int64_t balance = testing::BraceBalance(original);
    ASSERT_TRUE(ReadAll(path) == original + testing::Lines(balance)) << "round " << round;
    ASSERT_EQ(surface.status, balance > 0 ? FixedSummary(balance) : kNothingDone);
  }
}

}  // namespace
}  // namespace nestmend
