// What a repair shows and appends, operation by operation.
#include <gtest/gtest.h>

#include <random>

#include "fixit.h"
#include "sequential_files.h"
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

// The sequence a literal, item-by-item reading of the repair produces, built from the items as
// ReadDataItem returns them.
std::vector<std::string> LiteralSequence(const std::string& path) {
  SequentialFiles files(SystemFiles());
  std::vector<std::string> items;
  files.OpenForInput(path, kFileNumber);
  for (std::string item; files.AtEndOfFile(kFileNumber) == false && files.ReadDataItem(kFileNumber, item);)
    items.push_back(item);
  std::vector<std::string> sequence = {"STAT=Preparing To Fix", "Pump"};
  for (std::size_t i = 0; i < items.size(); ++i) sequence.emplace_back("Pump");
  sequence.push_back("Max=" + std::to_string(items.size() + 1));
  sequence.insert(sequence.end(), {"STAT=Fixing File", "Pump"});
  std::int64_t balance = 0;
  for (std::size_t record = 1; record <= items.size(); ++record) {
    sequence.emplace_back("Pump");
    for (const char character : items[record - 1]) {
      balance += character == '{' ? 1 : (character == '}' ? -1 : 0);
      sequence.emplace_back("Pump");
      sequence.push_back("Value=" + std::to_string(record));
    }
  }
  sequence.emplace_back("Value=0");
  sequence.push_back("Max=" + std::to_string(balance + 1));
  for (std::int64_t line = 0; line < balance; ++line)
    sequence.push_back("Value=" + std::to_string(line));
  sequence.push_back("STAT=" + (balance > 0 ? Fixed(static_cast<int>(balance))
                                            : std::string(texts::kNothingDone)));
  sequence.emplace_back("Message");
  return sequence;
}

TEST(FixitSequence, BatchesStandForExactlyTheItemByItemSequence) {
  std::mt19937_64 random(42);
  TempDir dir;
  static constexpr char kAlphabet[] = "{{}},,\"\r\n ab";
  for (int round = 0; round < 200; ++round) {
    std::string bytes(std::uniform_int_distribution<std::size_t>(0, 400)(random), ' ');
    for (char& byte : bytes) byte = kAlphabet[random() % (sizeof(kAlphabet) - 1)];
    const std::string path = dir.Write("random", bytes);
    const std::vector<std::string> expected = LiteralSequence(path);
    RecordingSurface surface(path);
    Fixit(surface);
    ASSERT_EQ(surface.operations, expected) << "round " << round;
  }
}

}  // namespace
}  // namespace nestmend
