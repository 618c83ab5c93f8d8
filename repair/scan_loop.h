// The block loop of the item scanner, written once over a few primitives that each vector unit
// provides: a file for each unit defines NESTMEND_TARGET (its instruction set, or nothing) and a
// struct of its primitives, then includes this file, which gives it its own copy of the loop,
// compiled for its instructions:
//   struct Unit {
//     struct Block;                                    // 64 bytes of the file, loaded
//     static Block Load(const char* bytes);
//     static std::uint64_t Equal(const Block&, char);  // bit i: byte i is that byte
//     class Digest;                                     // the digest's eight lanes, held:
//       explicit Digest(const std::uint64_t* lanes);   //   taken up,
//       void Add(const Block&);                        //   a block added, as DigestBlock does,
//       void Store(std::uint64_t* lanes);              //   and given back
//   };
// The rules the loop keeps are item_scanner.h's; ScanItemsReference states them a byte at a time.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "scan_parts.h"

#if !defined(NESTMEND_TARGET)
#error "define NESTMEND_TARGET before including scan_loop.h"
#endif
#if defined(NESTMEND_SCAN_NOTES)
#define NESTMEND_SCAN_NOTE(what) (++::nestmend::scan::notes.what)
#else
#define NESTMEND_SCAN_NOTE(what)
#endif
#define NESTMEND_INLINE NESTMEND_TARGET inline __attribute__((always_inline))
#define NESTMEND_APART NESTMEND_TARGET __attribute__((noinline))

namespace nestmend::scan {
namespace {  // each unit's copy its own

constexpr std::uint64_t kAll = ~std::uint64_t{0};

// The lowest set bit of `mask` alone; the bits above `bit`; the highest set bit's number.
NESTMEND_INLINE std::uint64_t Lowest(std::uint64_t mask) { return mask & (0 - mask); }
NESTMEND_INLINE std::uint64_t Above(std::uint64_t bit) { return ~(bit | (bit - 1)); }
NESTMEND_INLINE int Highest(std::uint64_t mask) { return 63 - std::countl_zero(mask); }
NESTMEND_INLINE std::uint64_t Count(std::uint64_t mask) {
  return static_cast<std::uint64_t>(std::popcount(mask));
}

// Characters of a block (or of a stretch of one, `starts` its item starts): the last such
// block is kept, and its last character's item counted once the piece is done.
NESTMEND_INLINE void NoteCharacters(std::uint64_t characters, std::uint64_t starts,
                                    ItemTally& tally) {
  const bool any = characters != 0;
  tally.starts_before_characters = any ? tally.starts : tally.starts_before_characters;
  tally.characters_starts = any ? starts : tally.characters_starts;
  tally.characters = any ? characters : tally.characters;
}

// One block's items, its quoted stretches taken one after another: exact whatever the block
// holds, a few bit operations a stretch.
NESTMEND_INLINE void TrackItemsInTurn(const BlockMasks& masks, std::uint64_t valid,
                                      ItemReaderState& state, ItemTally& tally) {
  const std::uint64_t delimiters = masks.commas | masks.carriage_returns | masks.line_feeds;
  std::uint64_t region = valid;  // the bytes still to take
  while (region != 0) {
    const std::uint64_t first = Lowest(region);
    if (state.quoted) {
      const std::uint64_t closing = Lowest(masks.quotes & region);
      NoteCharacters(closing != 0 ? (closing - first) & region : region, 0, tally);
      if (closing == 0) return;  // the stretch runs on into the next block
      state.quoted = false;      // the item runs on after it, to its delimiter
      region &= Above(closing);
      continue;
    }
    const std::uint64_t tails = masks.line_feeds & region &
                                (((masks.carriage_returns & region) << 1) |
                                 (state.swallow_lf ? first : 0));
    const std::uint64_t ends = delimiters & region & ~tails;
    const std::uint64_t starts =
        ((((ends | tails) << 1) | (state.in_item ? 0 : first)) & ~tails) & region;
    const std::uint64_t opening = Lowest(masks.quotes & starts);
    // This stretch outside quotes: up to the opening quote, or the rest of the block.
    const std::uint64_t stretch = opening != 0 ? region & ~Above(opening) : region;
    NoteCharacters(stretch & ~ends & ~tails & ~opening, starts & stretch, tally);
    tally.starts += Count(starts & stretch);
    if (opening == 0) {
      const int last = Highest(region);
      state.in_item = (((ends | tails) >> last) & 1) == 0;
      state.swallow_lf = ((ends & masks.carriage_returns) >> last) & 1;
      return;
    }
    state.quoted = state.in_item = true;
    state.swallow_lf = false;
    region &= Above(opening);
  }
}

// One block's items, all 64 bytes at once. Outside quotes, delimiters end items and the next
// byte starts one (the LF of a CR LF excepted); a quote that starts an item opens a stretch
// that the next quote closes, whatever it holds. The stretches and the delimiters outside them
// decide each other: from a guess of which bytes are quoted, this gives the stretches, and true
// when they are the guess, as far as delimiters go; it is then what reading byte by byte gives
// (such a reading is the only one whose every byte follows the rules from the bytes before it),
// and is counted. Else `quoted` becomes the next guess.
NESTMEND_INLINE bool TrackItemsGuessing(const BlockMasks& masks, std::uint64_t valid,
                                        std::uint64_t& quoted, ItemReaderState& state,
                                        ItemTally& tally) {
  const std::uint64_t delimiters = masks.commas | masks.carriage_returns | masks.line_feeds;
  const std::uint64_t carriage_returns = masks.carriage_returns & ~quoted;
  const std::uint64_t tails = masks.line_feeds & ~quoted &
                              ((carriage_returns << 1) | std::uint64_t{state.swallow_lf});
  const std::uint64_t ends = delimiters & ~quoted & ~tails;
  const std::uint64_t starts =
      (((ends | tails) << 1) | std::uint64_t{!state.in_item}) & ~tails & valid;
  const std::uint64_t openings = masks.quotes & starts;
  // Each stretch runs from the byte after its opening quote to the next quote: subtracting
  // sets exactly those bits and clears the closing quote. A borrow out: one stays open.
  std::uint64_t subtracted = 0;
  const bool open_at_end = __builtin_sub_overflow(
      masks.quotes, (openings << 1) | std::uint64_t{state.quoted}, &subtracted);
  const std::uint64_t now_quoted = subtracted & ~masks.quotes & valid;
  if (((now_quoted ^ quoted) & delimiters) != 0) [[unlikely]] {
    quoted = now_quoted;
    return false;
  }
  const std::uint64_t closings = masks.quotes & ~subtracted & valid;
  NoteCharacters(valid & ~(ends | tails | openings | closings), starts, tally);
  tally.starts += Count(starts);
  // (Bitwise, not logical: a branch here would be mispredicted where quotes come and go.)
  const int last = Highest(valid);
  state.quoted = open_at_end | ((openings >> 63) != 0);
  state.in_item = state.quoted | ((((ends | tails) >> last) & 1) == 0);
  state.swallow_lf = ((ends & carriage_returns) >> last) & 1;
  return true;
}

// What a block left of the reader and the count.
struct ItemsAfter {
  ItemReaderState state;
  ItemTally tally;
};

// A block with a delimiter within quotes: a few more rounds, then in turn. Apart from the loop,
// and given copies, so that the loop keeps its own in registers.
NESTMEND_APART ItemsAfter TrackItemsAgain(BlockMasks masks, std::uint64_t valid,
                                          std::uint64_t quoted, ItemsAfter after) {
  NESTMEND_SCAN_NOTE(items_again);
  for (int round = 0; round < 3; ++round) {
    if (TrackItemsGuessing(masks, valid, quoted, after.state, after.tally)) return after;
  }
  NESTMEND_SCAN_NOTE(items_in_turn);
  TrackItemsInTurn(masks, valid, after.state, after.tally);
  return after;
}

// One block's items, from the guess that no delimiter is quoted.
NESTMEND_INLINE void TrackItems(const BlockMasks& masks, std::uint64_t valid,
                                ItemReaderState& state, ItemTally& tally) {
  if ((masks.commas | masks.carriage_returns | masks.line_feeds | masks.quotes) == 0) {
    // Nothing but characters, as in the middle of a long item.
    NoteCharacters(valid, std::uint64_t{!state.in_item}, tally);
    tally.starts += !state.in_item;
    state.in_item = true;
    state.swallow_lf = false;
    return;
  }
  std::uint64_t quoted = 0;
  if (!TrackItemsGuessing(masks, valid, quoted, state, tally)) {
    const ItemsAfter after = TrackItemsAgain(masks, valid, quoted, {state, tally});
    state = after.state;
    tally = after.tally;
  }
}

// The braces `opens` and `closes` of part of a block, in one go where they allow it: true then,
// with the balance, its lowest, and in `opening` the bit of the last "{" met at the lowest.
// That holds where the part cannot reach the lowest, which leaves only the balance; where its
// braces take turns ("{}{}", "}{}{"), every "{" stands at the part's lowest level, one below
// where it begins if a "}" comes first; and where all its "}" come before all its "{", the
// first "{" stands at the lowest level, and those after it above it.
NESTMEND_INLINE bool TrackBracesAtOnce(std::uint64_t opens, std::uint64_t closes,
                                       BraceTally& tally, std::uint64_t& opening) {
  const std::int64_t net = std::popcount(opens) - std::popcount(closes);
  if (tally.balance - std::popcount(closes) > tally.lowest) {
    tally.balance += net;
    return true;
  }
  const std::uint64_t braces = opens | closes;
  // Adding a brace's next bit to the bytes that are no brace carries to the next brace.
  const bool in_turns =
      ((((opens << 1) + ~braces) & opens) | (((closes << 1) + ~braces) & closes)) == 0;
  const bool closes_first = (closes & ~(Lowest(opens) - 1)) == 0;
  if (!in_turns && !closes_first) return false;
  const std::int64_t level =
      tally.balance - (in_turns ? ((Lowest(braces) & closes) != 0 ? 1 : 0) : std::popcount(closes));
  if (level <= tally.lowest) {
    tally.lowest = level;
    if (opens != 0) {
      opening = in_turns ? std::uint64_t{1} << Highest(opens) : Lowest(opens);
      tally.opening_balance = level;
    }
  }
  tally.balance += net;
  return true;
}

// What a block left of the count, and the bit of the last "{" it met at the lowest.
struct BracesAfter {
  BraceTally tally;
  std::uint64_t opening = 0;
};

// A block whose braces are neither: its halves, then the quarters of a half that is neither
// again, each in one go where it allows it, else brace by brace. Apart from the loop, and given
// copies, so that the loop keeps its own in registers.
NESTMEND_APART BracesAfter TrackBracesInParts(std::uint64_t opens, std::uint64_t closes,
                                              BracesAfter after) {
  BraceTally& tally = after.tally;
  for (int half = 0; half < 64; half += 32) {
    const std::uint64_t in_half = std::uint64_t{0xFFFFFFFF} << half;
    if (TrackBracesAtOnce(opens & in_half, closes & in_half, tally, after.opening)) continue;
    for (int quarter = half; quarter < half + 32; quarter += 16) {
      const std::uint64_t in_quarter = std::uint64_t{0xFFFF} << quarter;
      const std::uint64_t quarter_opens = opens & in_quarter;
      const std::uint64_t quarter_closes = closes & in_quarter;
      if (TrackBracesAtOnce(quarter_opens, quarter_closes, tally, after.opening)) continue;
      NESTMEND_SCAN_NOTE(braces_walked);
      for (std::uint64_t each = quarter_opens | quarter_closes; each != 0; each &= each - 1) {
        const std::uint64_t bit = Lowest(each);
        if ((quarter_closes & bit) != 0) {
          tally.lowest = std::min(tally.lowest, --tally.balance);
          continue;
        }
        if (tally.balance == tally.lowest) {
          after.opening = bit;
          tally.opening_balance = tally.balance;
        }
        ++tally.balance;
      }
    }
  }
  return after;
}

// One block's line ends and braces: the balance, its lowest, and the last "{" met at the lowest.
NESTMEND_INLINE void TrackLinesAndBlocks(const BlockMasks& masks, std::uint64_t valid,
                                         BraceTally& tally) {
  const std::uint64_t tails =
      masks.line_feeds & ((masks.carriage_returns << 1) | std::uint64_t{tally.after_cr});
  const std::uint64_t line_ends = masks.carriage_returns | (masks.line_feeds & ~tails);
  std::uint64_t opening = 0;
  if (!TrackBracesAtOnce(masks.opens, masks.closes, tally, opening)) [[unlikely]] {
    NESTMEND_SCAN_NOTE(braces_in_parts);
    const BracesAfter after = TrackBracesInParts(masks.opens, masks.closes, {tally, 0});
    tally = after.tally;
    opening = after.opening;
  }
  if (opening != 0) {
    tally.has_opening = true;
    tally.opening_line = tally.line_ends + Count(line_ends & (opening - 1));
  }
  tally.line_ends += Count(line_ends);
  tally.after_cr = (masks.carriage_returns >> Highest(valid)) & 1;
}

// Blocks of 64 bytes (of which the last has the bytes `last_valid`): the digest, and the items
// (the first pass) or the braces and line ends (the second).
template <typename Unit, bool kBraces>
NESTMEND_INLINE void ScanBlock(const char* at, std::uint64_t valid, typename Unit::Digest& digest,
                               ItemReaderState& state, ItemTally& items, BraceTally& braces) {
  const auto data = Unit::Load(at);
  digest.Add(data);
  BlockMasks masks;
  masks.carriage_returns = Unit::Equal(data, '\r');
  masks.line_feeds = Unit::Equal(data, '\n');
  if constexpr (kBraces) {
    masks.opens = Unit::Equal(data, '{');
    masks.closes = Unit::Equal(data, '}');
    TrackLinesAndBlocks(masks, valid, braces);
  } else {
    masks.quotes = Unit::Equal(data, '"');
    masks.commas = Unit::Equal(data, ',');
    TrackItems(masks, valid, state, items);
  }
}

// Blocks of 64 bytes (of which the last has the bytes `last_valid`): the digest, and the items
// (the first pass) or the braces and line ends (the second).
template <typename Unit, bool kBraces>
NESTMEND_TARGET void ScanBlocks(const char* bytes, std::size_t blocks, std::uint64_t last_valid,
                                ItemReaderState& outer_state, Tally& tally) {
  // Held here, where the compiler can keep them in registers: what a rare path needs, it is
  // handed as a copy.
  ItemReaderState state = outer_state;
  ItemTally items = tally.items;
  BraceTally braces = tally.braces;
  typename Unit::Digest digest(tally.lanes.data());
  // Every block but the last has all 64 bytes, which the compiler can count on.
  for (std::size_t block = 0; block + 1 < blocks; ++block) {
    ScanBlock<Unit, kBraces>(bytes + block * kBlockBytes, kAll, digest, state, items, braces);
  }
  if (blocks > 0) {
    ScanBlock<Unit, kBraces>(bytes + (blocks - 1) * kBlockBytes, last_valid, digest, state, items,
                             braces);
  }
  digest.Store(tally.lanes.data());
  outer_state = state;
  tally.items = items;
  tally.braces = braces;
}

// The unit's entry: every block of `bytes`, the last filled out with zero bytes where it is
// short (no byte the rules know; the length tells them apart in the digest).
template <typename Unit>
NESTMEND_TARGET void ScanAll(std::span<const char> bytes, ItemReaderState& state, Tally& tally,
                             ItemDetail detail) {
  const auto scan = [&](const char* at, std::size_t blocks, std::uint64_t last_valid) {
    detail == ItemDetail::kBraces ? ScanBlocks<Unit, true>(at, blocks, last_valid, state, tally)
                                  : ScanBlocks<Unit, false>(at, blocks, last_valid, state, tally);
  };
  const std::size_t whole = bytes.size() / kBlockBytes;
  scan(bytes.data(), whole, kAll);
  const std::size_t rest = bytes.size() - whole * kBlockBytes;
  if (rest == 0) return;
  alignas(64) char last[kBlockBytes] = {};
  std::memcpy(last, bytes.data() + whole * kBlockBytes, rest);
  scan(last, 1, (std::uint64_t{1} << rest) - 1);
}

}  // namespace
}  // namespace nestmend::scan

#undef NESTMEND_INLINE
#undef NESTMEND_APART
#undef NESTMEND_SCAN_NOTE
