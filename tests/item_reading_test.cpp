// How a file divides into data items, and the fast scanner against the byte-at-a-time reference.
#include <gtest/gtest.h>

#include <random>

#include "sequential_files.h"
#include "test_support.h"

namespace nestmend {
namespace {

struct ItemRow {
  const char* name;
  std::string bytes;
  std::vector<std::string> items;
};

const ItemRow kItemRows[] = {
    {"EmptyFile", "", {}},
    {"CommasAroundABrace", "a,{,b", {"a", "{", "b"}},
    {"CrLf", "a {\r\nb }\r\n", {"a {", "b }"}},
    {"LoneCrAndLoneLf", "a\rb\nc", {"a", "b", "c"}},
    {"LfThenCrAreTwoLineEnds", "\n\r", {"", ""}},
    {"BlankLines", "a\r\n\r\n\nb", {"a", "", "", "b"}},
    {"EndsInBlankLine", "a\r\n\r\n", {"a", ""}},
    {"QuotedCommaBracesAndLineEnd", "\"x,{y}\r\n\",z", {"x,{y}\r\n", "z"}},
    {"TextAfterClosingQuote", "\"ab\"c\"}d,e", {"abc\"}d", "e"}},
    {"QuoteLeftOpenAtEnd", "\"ab{,c\r\n", {"ab{,c\r\n"}},
    {"QuoteInsideUnquotedItem", "a\"b,c\"", {"a\"b", "c\""}},
    {"BlanksBeforeAQuoteKeepItUnquoted", "  \"a,b\"", {"  \"a", "b\""}},
    {"TrailingBlanksAfterLastLineEnd", "a\r\n  \t", {"a", "  \t"}},
    {"LastLineWithoutLineEnd", "x {", {"x {"}},
    {"CommaBeforeLineEnd", "a,\r\nb", {"a", "", "b"}},
    {"ControlAndNulBytesAreCharacters",
     std::string("a\x1A{\0}\xFF", 6),
     {std::string("a\x1A{\0}\xFF", 6)}},
};

class ItemRules : public ::testing::TestWithParam<ItemRow> {};

TEST_P(ItemRules, ItemByItemAndChunkedReadsAgree) {
  const ItemRow& row = GetParam();
  testing::TempDir dir;
  const std::string path = dir.Write("items", row.bytes);
  SequentialFiles files(SystemFiles());
  ASSERT_TRUE(files.OpenForInput(path, kFileNumber));
  std::vector<std::string> items;
  for (std::string item; files.AtEndOfFile(kFileNumber) == false;) {
    ASSERT_TRUE(files.ReadDataItem(kFileNumber, item)) << "after " << items.size() << " items";
    items.push_back(item);
  }
  EXPECT_EQ(items, row.items);
  std::string unchanged = "kept";
  EXPECT_FALSE(files.ReadDataItem(kFileNumber, unchanged));  // nothing left
  EXPECT_EQ(unchanged, "kept");

  files.CloseAllFiles();
  ASSERT_TRUE(files.OpenForInput(path, kFileNumber));
  ItemChunk chunk;
  std::uint64_t items_started = 0;
  while (files.AtEndOfFile(kFileNumber) == false) {
    ASSERT_TRUE(files.ReadDataItems(kFileNumber, ItemDetail::kItemsAndBraces, chunk));
    items_started += chunk.items.items_started;
  }
  EXPECT_EQ(items_started, row.items.size());
}

INSTANTIATE_TEST_SUITE_P(Rows, ItemRules, ::testing::ValuesIn(kItemRows),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(FileNumber, IsBoundToOneFileAtATime) {
  testing::TempDir dir;
  const std::string first = dir.Write("first", "a,b");
  SequentialFiles files(SystemFiles());
  EXPECT_FALSE(files.OpenForInput(first, 2));
  ASSERT_TRUE(files.OpenForInput(first, kFileNumber));
  EXPECT_FALSE(files.OpenForInput(dir.Write("second", "z"), kFileNumber));
  EXPECT_FALSE(files.OpenForAppend(first, kFileNumber));
  std::string item;
  ASSERT_TRUE(files.ReadDataItem(kFileNumber, item));
  EXPECT_EQ(item, "a");  // still the first file
  files.CloseAllFiles();
  EXPECT_EQ(files.AtEndOfFile(kFileNumber), std::nullopt);
  EXPECT_FALSE(files.PrintLine(kFileNumber, "}"));
  EXPECT_TRUE(files.LeadingBytes(kFileNumber).empty());
}

// A read that fails in the middle of an item: no item is reported, and the caller's is kept.
TEST(FileNumber, AReadErrorInsideAnItemIsNotAnItem) {
  testing::TempDir dir;
  const std::string path = dir.Write("file", "abcdefgh,x");
  testing::FaultyFileSystem faulty;
  faulty.fault = testing::FaultyFileSystem::Fault::kRead;
  faulty.failing_call = 1;
  SequentialFiles files(faulty, {.chunk_bytes = 4, .threads = 1});
  ASSERT_TRUE(files.OpenForInput(path, kFileNumber));
  std::string item = "kept";
  EXPECT_FALSE(files.ReadDataItem(kFileNumber, item));
  EXPECT_EQ(item, "kept");
}

// Bytes biased towards the ones the reader looks at.
std::string RandomBytes(std::mt19937_64& random, std::size_t size) {
  static constexpr char kFavoured[] = {'{', '}', '"', ',', '\r', '\n', ' ', 'a', '\x1A', '\0'};
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    byte =
        random() % 10 < 7 ? kFavoured[random() % sizeof(kFavoured)] : static_cast<char>(random());
  }
  return bytes;
}

// Scans `bytes` cut at `cuts` with every instruction set and with the reference; every chunk
// must give the same items, balance and last character, and leave the same state.
void ExpectSameAsReference(const std::string& bytes, const std::vector<std::size_t>& cuts) {
  for (VectorUnit unit = VectorUnit::kPortable; unit <= BestVectorUnit();
       unit = static_cast<VectorUnit>(static_cast<int>(unit) + 1)) {
    ItemReaderState fast_state;
    ItemReaderState reference_state;
    std::size_t begin = 0;
    for (std::size_t index = 0; index <= cuts.size(); ++index) {
      const std::size_t end = index < cuts.size() ? cuts[index] : bytes.size();
      const std::span<const char> chunk(bytes.data() + begin, end - begin);
      const ItemDetail detail = index % 2 ? ItemDetail::kItems : ItemDetail::kItemsAndBraces;
      ASSERT_EQ(ScanItemsUsing(unit, chunk, fast_state, detail),
                ScanItemsReference(chunk, reference_state, detail))
          << "unit " << static_cast<int>(unit) << ", chunk " << begin << ".." << end;
      ASSERT_EQ(fast_state, reference_state) << "unit " << static_cast<int>(unit) << " at " << end;
      begin = end;
    }
  }
}

TEST(ItemScanner, MatchesTheReferenceOnRandomInputInRandomChunks) {
  std::mt19937_64 random(20261206);
  for (int round = 0; round < 3000; ++round) {
    const std::string bytes = RandomBytes(random, random() % 700);
    std::vector<std::size_t> cuts;
    for (std::size_t at = 1 + random() % 200; at < bytes.size(); at += 1 + random() % 200) {
      cuts.push_back(at);
    }
    ASSERT_NO_FATAL_FAILURE(ExpectSameAsReference(bytes, cuts)) << "round " << round;
  }
  ASSERT_NO_FATAL_FAILURE(ExpectSameAsReference(RandomBytes(random, 1 << 20), {}));
}

TEST(ItemScanner, MatchesTheReferenceCutAtEveryPosition) {
  std::mt19937_64 random(7);
  // Bytes that carry state across a cut, set astride the 64-byte blocks.
  for (const char* pattern : {"\r\n", "\",\"", "a\"{\"", ",\r", "\"\""}) {
    std::string bytes = RandomBytes(random, 300);
    for (std::size_t at = 63; at + 2 < bytes.size(); at += 64) bytes.replace(at, 2, pattern, 2);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
      ASSERT_NO_FATAL_FAILURE(ExpectSameAsReference(bytes, {cut})) << pattern << " cut " << cut;
    }
  }
}

}  // namespace
}  // namespace nestmend
