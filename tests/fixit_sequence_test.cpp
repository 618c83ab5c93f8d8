// What a repair shows and appends, operation by operation.
#include <gtest/gtest.h>

#include <random>

#include "fixit.h"
#include "test_support.h"

namespace nestmend {
namespace {

using testing::ReadAll;
using testing::RecordingSurface;
using testing::TempDir;

std::string Fixed(int errors) {
  return std::string(texts::kFixedBefore) + std::to_string(errors) + std::string(texts::kFixedAfter);
}

TEST(FixitSequence, WorkedExampleShowsEveryStepInOrder) {
  TempDir dir;
  const std::string path = dir.Write("example", "a {\r\nb {\r\nc }\r\n");
  RecordingSurface surface(path);
  Fixit(surface);

  std::vector<std::string> expected = {"STAT=Preparing To Fix", "Pump", "Pump", "Pump", "Pump",
                                       "Max=4", "STAT=Fixing File", "Pump"};
  for (const char* record : {"1", "2", "3"}) {
    expected.emplace_back("Pump");
    for (int character = 0; character < 3; ++character) {
      expected.emplace_back("Pump");
      expected.push_back(std::string("Value=") + record);
    }
  }
  for (const char* step : {"Value=0", "Max=2", "Value=0"}) expected.emplace_back(step);
  expected.push_back("STAT=" + Fixed(1));
  expected.emplace_back("Message");
  EXPECT_EQ(surface.operations, expected);
  EXPECT_EQ(ReadAll(path), "a {\r\nb {\r\nc }\r\n}\r\n");
  ASSERT_EQ(surface.messages.size(), 1u);
  EXPECT_EQ(surface.messages[0], ClosingMessage());
  EXPECT_TRUE(ClosingMessage().starts_with("If Nestmend failed to fix your file, e-mail me at "));
  EXPECT_TRUE(ClosingMessage().ends_with(" with the file attached!  I will get back to u immediatly"));
}

struct OutcomeRow {
  const char* name;
  std::string bytes;
  std::string appended;
  float maximum;  // the bar as the run leaves it
  float value;
  std::string summary;
};

const OutcomeRow kOutcomeRows[] = {
    {"Balanced", "a {\r\n}\r\n", "", 1, 0, std::string(texts::kNothingDone)},
    {"Empty", "", "", 1, 0, std::string(texts::kNothingDone)},
    {"TwoUnclosedBlocks", "a {\r\n b {\r\n  c = 1\r\n", "}\r\n}\r\n", 3, 1, Fixed(2)},
    // More "}" than "{": nothing can be appended, so no repair is claimed. The refused maximum
    // of the append phase leaves the item count's.
    {"OneCloseTooMany", "a {\r\n}\r\n}\r\n", "", 4, 0, std::string(texts::kNothingDone)},
    {"LastLineEndsInBraceWithoutLineEnd", "x = 1\r\ny {", "}\r\n", 2, 0, Fixed(1)},
    {"BracesInQuotesAndBesideCommasCount", "\"{a,}\",{,}{\r\n\"{\"x{", "}\r\n}\r\n}\r\n", 4, 2,
     Fixed(3)},
    {"LoneLineFeeds", "a {\n b {\n", "}\r\n}\r\n", 3, 1, Fixed(2)},
};

class FixitOutcome : public ::testing::TestWithParam<OutcomeRow> {};

TEST_P(FixitOutcome, AppendsExactlyTheMissingLines) {
  const OutcomeRow& row = GetParam();
  TempDir dir;
  const std::string path = dir.Write("file", row.bytes);
  RecordingSurface surface(path);
  Fixit(surface);
  EXPECT_EQ(ReadAll(path), row.bytes + row.appended);
  EXPECT_EQ(surface.maximum, row.maximum);
  EXPECT_EQ(surface.value, row.value);
  EXPECT_EQ(surface.status, row.summary);
  EXPECT_EQ(surface.messages.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rows, FixitOutcome, ::testing::ValuesIn(kOutcomeRows),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(FixitSequence, SecondRunFindsTheFileBalancedAndAppendsNothing) {
  TempDir dir;
  const std::string path = dir.Write("file", "a {\r\nb {\r\n");
  RecordingSurface first(path);
  Fixit(first);
  EXPECT_EQ(first.status, Fixed(2));
  RecordingSurface second(path);
  Fixit(second);
  EXPECT_EQ(second.status, texts::kNothingDone);
  EXPECT_EQ(second.messages.size(), 1u);
  EXPECT_EQ(ReadAll(path), "a {\r\nb {\r\n}\r\n}\r\n");
}

TEST(FixitSequence, BatchesStandForExactlyTheItemByItemSequence) {
  std::mt19937_64 random(42);
  TempDir dir;
  static constexpr char kAlphabet[] = "{{}},,\"\r\n ab";
  for (int round = 0; round < 200; ++round) {
    std::string bytes(std::uniform_int_distribution<std::size_t>(0, 400)(random), ' ');
    for (char& byte : bytes) byte = kAlphabet[random() % (sizeof(kAlphabet) - 1)];
    const std::string path = dir.Write("random", bytes);
    const std::vector<std::string> expected = testing::LiteralSequence(path);
    RecordingSurface surface(path);
    Fixit(surface);
    ASSERT_EQ(surface.operations, expected) << "round " << round;
  }
}

}  // namespace
}  // namespace nestmend
