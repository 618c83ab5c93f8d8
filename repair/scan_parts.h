// What the item scanner's vector units share: a block's masks, the running count over a piece,
// the digest's keys; and each unit's entry, for item_scanner.cpp to choose from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "item_scanner.h"

namespace nestmend::scan {

inline constexpr std::size_t kBlockBytes = 64;

// Bit i of each mask stands for byte i of one block of 64 bytes.
struct BlockMasks {
  std::uint64_t quotes = 0;  // the first pass's
  std::uint64_t commas = 0;
  std::uint64_t opens = 0;   // "{" and "}": the second pass's
  std::uint64_t closes = 0;
  std::uint64_t carriage_returns = 0;
  std::uint64_t line_feeds = 0;
};

// The digest's keys, one per 8-byte word of a block: odd numbers with well-mixed bits.
inline constexpr std::array<std::uint64_t, 8> kDigestKeys = {
    0x9E3779B97F4A7C15, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9, 0xD6E8FEB86659FD93,
    0xFF51AFD7ED558CCD, 0xC4CEB9FE1A85EC53, 0x2545F4914F6CDD1D, 0x94D049BB133111EB};

// The first pass's running count over a piece.
struct ItemTally {
  std::uint64_t starts = 0;
  // The last block that held characters: its characters, its item starts, and the starts
  // before it, from which the item of the piece's last character is counted once, at its end.
  std::uint64_t characters = 0;
  std::uint64_t characters_starts = 0;
  std::uint64_t starts_before_characters = 0;
};

// The second pass's.
struct BraceTally {
  std::int64_t balance = 0;
  std::int64_t lowest = 0;
  std::uint64_t line_ends = 0;
  bool after_cr = false;  // the last byte was a CR
  bool has_opening = false;
  std::int64_t opening_balance = 0;
  std::uint64_t opening_line = 0;
};

struct Tally {
  ItemTally items;
  BraceTally braces;
  // The digest's eight lanes, one per word of a block: each adds the product of the halves of
  // its word (keyed), and its neighbour's word itself, so that any change of one word shows.
  std::array<std::uint64_t, 8> lanes = kDigestKeys;
  std::uint64_t length = 0;
};

// One block of 64 bytes into the digest's lanes, a word at a time: what every unit computes.
void DigestBlock(const char* block, std::array<std::uint64_t, 8>& lanes);

#if defined(NESTMEND_SCAN_NOTES)
// How many blocks left the loop's fast paths, counted where a bench builds the scanner with
// NESTMEND_SCAN_NOTES (bench/scan_bench.cpp).
struct ScanNotes {
  std::uint64_t items_again = 0;      // a delimiter within quotes: another round
  std::uint64_t items_in_turn = 0;    // and the stretches taken one by one
  std::uint64_t braces_in_parts = 0;  // braces neither counted nor taken at once: in parts
  std::uint64_t braces_walked = 0;    // quarters of such blocks walked brace by brace
};
extern ScanNotes notes;
#endif

// Each unit's scan of a piece, for item_scanner.cpp to choose from (scan_loop.h's ScanAll).
void ScanPortable(std::span<const char> bytes, ItemReaderState& state, Tally& tally,
                  ItemDetail detail);
void ScanSse2(std::span<const char> bytes, ItemReaderState& state, Tally& tally,
              ItemDetail detail);
void ScanAvx2(std::span<const char> bytes, ItemReaderState& state, Tally& tally,
              ItemDetail detail);
void ScanAvx512(std::span<const char> bytes, ItemReaderState& state, Tally& tally,
                ItemDetail detail);
void ScanNeon(std::span<const char> bytes, ItemReaderState& state, Tally& tally,
              ItemDetail detail);

}  // namespace nestmend::scan
