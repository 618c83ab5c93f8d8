// The fast scanner against the byte-at-a-time reference, on random input cut into chunks at
// every kind of position.
#include <gtest/gtest.h>

#include <random>

#include "item_scanner.h"

namespace nestmend {
namespace {

// Bytes biased towards the ones the reader looks at.
std::string RandomBytes(std::mt19937_64& random, std::size_t size) {
  static constexpr char kFavoured[] = {'{', '}', '"', ',', '\r', '\n', ' ', 'a', '\x1A', '\0'};
  std::string bytes(size, '\0');
  std::uniform_int_distribution<int> pick(0, 99);
  for (char& byte : bytes) {
    const int roll = pick(random);
    byte = roll < 70 ? kFavoured[static_cast<std::size_t>(roll) % sizeof(kFavoured)]
                     : static_cast<char>(random());
  }
  return bytes;
}

// Every instruction set this processor has.
std::vector<VectorUnit> Units() {
  std::vector<VectorUnit> units = {VectorUnit::kPortable};
  if (BestVectorUnit() >= VectorUnit::kAvx2) units.push_back(VectorUnit::kAvx2);
  if (BestVectorUnit() >= VectorUnit::kAvx512) units.push_back(VectorUnit::kAvx512);
  return units;
}

// Scans `bytes` cut at `cuts` with both scanners and expects the same result for every chunk.
void ExpectSameAsReference(const std::string& bytes, const std::vector<std::size_t>& cuts,
                           ItemDetail detail, VectorUnit unit) {
  ItemReaderState fast_state;
  ItemReaderState reference_state;
  std::size_t begin = 0;
  for (std::size_t index = 0; index <= cuts.size(); ++index) {
    const std::size_t end = index < cuts.size() ? cuts[index] : bytes.size();
    const std::span<const char> chunk(bytes.data() + begin, end - begin);
    const ChunkItems fast = ScanItemsUsing(unit, chunk, fast_state, detail);
    const ChunkItems reference = ScanItemsReference(chunk, reference_state, detail);
    ASSERT_EQ(fast.items_started, reference.items_started) << "chunk " << begin << ".." << end;
    ASSERT_EQ(fast.brace_balance, reference.brace_balance) << "chunk " << begin << ".." << end;
    ASSERT_EQ(fast.has_character, reference.has_character) << "chunk " << begin << ".." << end;
    ASSERT_EQ(fast.last_character_item, reference.last_character_item)
        << "chunk " << begin << ".." << end;
    ASSERT_EQ(fast_state, reference_state) << "chunk " << begin << ".." << end;
    begin = end;
  }
}

TEST(ItemScanner, MatchesTheReferenceOnRandomInputInRandomChunks) {
  std::mt19937_64 random(20261206);
  for (int round = 0; round < 3000; ++round) {
    // Sizes gather around multiples of the 64-byte block.
    const std::size_t size = std::uniform_int_distribution<std::size_t>(0, 700)(random);
    const std::string bytes = RandomBytes(random, size);
    std::vector<std::size_t> cuts;
    for (std::size_t at = 0; size > 0;) {
      at += std::uniform_int_distribution<std::size_t>(1, 200)(random);
      if (at >= size) break;
      cuts.push_back(at);
    }
    const ItemDetail detail = round % 2 ? ItemDetail::kItems : ItemDetail::kItemsAndBraces;
    for (const VectorUnit unit : Units()) {
      ASSERT_NO_FATAL_FAILURE(ExpectSameAsReference(bytes, cuts, detail, unit))
          << "round " << round << " unit " << static_cast<int>(unit);
    }
  }
}

TEST(ItemScanner, MatchesTheReferenceCutAtEveryPosition) {
  std::mt19937_64 random(7);
  // Each case straddles block boundaries with the bytes that carry state across a cut: a CR
  // before an LF, an opening or closing quote, a delimiter.
  for (const char* pattern : {"\r\n", "\",\"", "a\"{\"", ",\r", "\"\""}) {
    std::string bytes = RandomBytes(random, 300);
    for (std::size_t at = 60; at < bytes.size(); at += 64) bytes.replace(at, 2, pattern, 2);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
      for (const VectorUnit unit : Units()) {
        ASSERT_NO_FATAL_FAILURE(
            ExpectSameAsReference(bytes, {cut}, ItemDetail::kItemsAndBraces, unit))
            << "pattern " << pattern << " cut " << cut << " unit " << static_cast<int>(unit);
      }
    }
  }
}

TEST(ItemScanner, CountsEveryBraceOfALargeChunk) {
  std::mt19937_64 random(11);
  const std::string bytes = RandomBytes(random, 1 << 20);
  for (const VectorUnit unit : Units()) {
    ASSERT_NO_FATAL_FAILURE(ExpectSameAsReference(bytes, {}, ItemDetail::kItemsAndBraces, unit));
  }
  const std::string opens(1 << 20, '{');
  ItemReaderState state;
  const ChunkItems items = ScanItems(opens, state, ItemDetail::kItemsAndBraces);
  EXPECT_EQ(items.brace_balance, 1 << 20);
  EXPECT_EQ(items.items_started, 1u);
}

}  // namespace
}  // namespace nestmend
