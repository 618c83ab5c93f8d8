#include "item_scanner.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define NESTMEND_X86 1
#include <immintrin.h>
#endif

namespace nestmend {
namespace {

constexpr std::size_t kBlockBytes = 64;

bool IsDelimiter(char byte) { return byte == ',' || byte == '\n' || byte == '\r'; }

// Bit i of each mask stands for byte i of one block of at most 64 bytes.
struct BlockMasks {
  std::uint64_t quotes = 0;
  std::uint64_t carriage_returns = 0;
  std::uint64_t line_feeds = 0;
  std::uint64_t commas = 0;
  std::uint64_t opens = 0;  // "{" and "}": kItemsAndBraces only
  std::uint64_t closes = 0;
  std::uint64_t valid = 0;  // the bytes the block has: all 64 but in the last, partial one
};

// The digest's keys, one per 8-byte word of a block: odd numbers with well-mixed bits.
constexpr std::array<std::uint64_t, 8> kDigestKeys = {
    0x9E3779B97F4A7C15, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9, 0xD6E8FEB86659FD93,
    0xFF51AFD7ED558CCD, 0xC4CEB9FE1A85EC53, 0x2545F4914F6CDD1D, 0x94D049BB133111EB};

// The running count over a chunk.
struct Tally {
  std::uint64_t starts = 0;
  std::int64_t balance = 0;
  bool has_character = false;
  std::uint64_t last_character_item = 0;
  // The digest's eight lanes, one per word of a block: each adds the product of the halves of
  // its word (keyed), and its neighbour's word itself, so that any change of one word shows.
  std::array<std::uint64_t, 8> lanes = kDigestKeys;
  std::uint64_t length = 0;
  std::uint64_t line_ends = 0;
  bool after_cr = false;  // the last byte was a CR
  std::int64_t lowest = 0;
  bool has_opening = false;
  std::int64_t opening_balance = 0;
  std::uint64_t opening_line = 0;
};

// One "{" or "}" for the running balance; `line` counts the line ends before it.
void StepBalance(bool opening, std::uint64_t line, Tally& tally) {
  if (!opening) {
    tally.lowest = std::min(tally.lowest, --tally.balance);
    return;
  }
  if (tally.balance == tally.lowest) {
    tally.has_opening = true;
    tally.opening_balance = tally.balance;
    tally.opening_line = line;
  }
  ++tally.balance;
}

// A block's line ends and braces, from its masks. Its braces are walked one by one only where
// the running balance may reach its lowest in it; otherwise they are counted. The line of an
// opening found there is counted once, for the last. Inlined into each vector unit's loop, so
// that it counts bits with that unit's instructions.
inline __attribute__((always_inline)) void TrackLinesAndBlocks(const BlockMasks& masks,
                                                               Tally& tally) {
  const std::uint64_t tails =
      masks.line_feeds & ((masks.carriage_returns << 1) | std::uint64_t{tally.after_cr});
  const std::uint64_t line_ends = masks.carriage_returns | (masks.line_feeds & ~tails);
  const int closes = std::popcount(masks.closes);
  if (tally.balance - closes > tally.lowest) {
    tally.balance += std::popcount(masks.opens) - closes;
  } else {
    std::uint64_t opening = 0;  // the bit of the last "{" met at the lowest, if any
    for (std::uint64_t braces = masks.opens | masks.closes; braces != 0; braces &= braces - 1) {
      const std::uint64_t bit = braces & -braces;
      if ((masks.closes & bit) != 0) {
        tally.lowest = std::min(tally.lowest, --tally.balance);
        continue;
      }
      if (tally.balance == tally.lowest) {
        opening = bit;
        tally.opening_balance = tally.balance;
      }
      ++tally.balance;
    }
    if (opening != 0) {
      tally.has_opening = true;
      tally.opening_line =
          tally.line_ends + static_cast<std::uint64_t>(std::popcount(line_ends & (opening - 1)));
    }
  }
  tally.line_ends += static_cast<std::uint64_t>(std::popcount(line_ends));
  const int last = masks.valid == ~std::uint64_t{0} ? 63 : 63 - std::countl_zero(masks.valid);
  tally.after_cr = (masks.carriage_returns >> last) & 1;
}

// One block of 64 bytes into the digest's lanes, as the vector units do it too.
void DigestBlock(const char* block, Tally& tally) {
  std::array<std::uint64_t, 8> words;
  std::memcpy(words.data(), block, sizeof words);
  for (std::size_t lane = 0; lane < words.size(); ++lane) {
    const std::uint64_t keyed = words[lane] ^ kDigestKeys[lane];
    tally.lanes[lane] += (keyed & 0xFFFFFFFF) * (keyed >> 32);
    tally.lanes[lane ^ 1] += words[lane];
  }
}

// The last, partial block of a piece, filled out with zeros: the length tells them apart.
void DigestTail(const char* bytes, std::size_t size, Tally& tally) {
  if (size == 0) return;
  std::array<char, 64> block{};
  std::memcpy(block.data(), bytes, size);
  DigestBlock(block.data(), tally);
}

std::uint64_t Digest(const Tally& tally) {
  std::uint64_t digest = tally.length * 0x9E3779B97F4A7C15;
  for (const std::uint64_t lane : tally.lanes) {
    digest = (std::rotl(digest, 23) ^ lane) * 0xFF51AFD7ED558CCD;
  }
  return digest ^ (digest >> 31);
}

// One block, a byte at a time.
template <bool kTrackCharacters>
void WalkBlock(const char* bytes, std::size_t size, ItemReaderState& state, Tally& tally) {
  for (std::size_t i = 0; i < size; ++i) {
    bool started = false;
    const ByteRole role = StepItemReader(state, bytes[i], started);
    tally.starts += started;
    if (kTrackCharacters && role == ByteRole::kCharacter) {
      tally.has_character = true;
      tally.last_character_item = tally.starts;
    }
  }
}

// One block from its masks, all 64 bytes at once. Item starts follow ending delimiters; a quote
// at an item start opens a quoted stretch that the next quote closes. That holds for the whole
// block unless a quoted stretch holds a delimiter (which then ends nothing): such a block is
// walked byte by byte.
template <bool kTrackCharacters>
inline __attribute__((always_inline)) void ScanBlock(const BlockMasks& masks, const char* bytes,
                                                     ItemReaderState& state, Tally& tally) {
  if constexpr (kTrackCharacters) TrackLinesAndBlocks(masks, tally);
  const std::uint64_t delimiters = masks.commas | masks.carriage_returns | masks.line_feeds;
  if ((delimiters | masks.quotes) == 0) {
    // Nothing but characters, as in the middle of a long item.
    tally.starts += !state.in_item;
    state.in_item = true;
    state.swallow_lf = false;
    if constexpr (kTrackCharacters) {
      tally.has_character = true;
      tally.last_character_item = tally.starts;
    }
    return;
  }
  // The LF of a CR LF, and the delimiters that end an item.
  const std::uint64_t tails =
      masks.line_feeds & ((masks.carriage_returns << 1) | std::uint64_t{state.swallow_lf});
  const std::uint64_t ends = delimiters & ~tails;
  const std::uint64_t starts =
      (((ends | tails) << 1) | std::uint64_t{!state.in_item}) & ~tails & masks.valid;
  const std::uint64_t openings = masks.quotes & starts;
  // Each stretch runs from the byte after its opening quote to the next quote: subtracting
  // sets exactly those bits and clears the closing quote. A borrow out means one stays open.
  const std::uint64_t stretch_starts = (openings << 1) | std::uint64_t{state.quoted};
  std::uint64_t subtracted = 0;
  const bool open_at_end = __builtin_sub_overflow(masks.quotes, stretch_starts, &subtracted);
  const std::uint64_t quoted = subtracted & ~masks.quotes;
  if ((quoted & delimiters) != 0) {
    WalkBlock<kTrackCharacters>(bytes, static_cast<std::size_t>(std::popcount(masks.valid)), state,
                                tally);
    return;
  }
  const std::uint64_t closings = masks.quotes & ~subtracted;
  const std::uint64_t characters = masks.valid & ~delimiters & ~openings & ~closings;
  const std::uint64_t starts_before = tally.starts;
  tally.starts += static_cast<std::uint64_t>(std::popcount(starts));
  if (kTrackCharacters && characters != 0) {
    const int last = 63 - std::countl_zero(characters);
    const std::uint64_t through_last = ~std::uint64_t{0} >> (63 - last);
    tally.has_character = true;
    tally.last_character_item =
        starts_before + static_cast<std::uint64_t>(std::popcount(starts & through_last));
  }
  const int last_byte = 63 - std::countl_zero(masks.valid);
  state.quoted = open_at_end || (openings >> 63) != 0;
  state.in_item = state.quoted || (((ends | tails) >> last_byte) & 1) == 0;
  state.swallow_lf = ((ends & masks.carriage_returns) >> last_byte) & 1;
}

// The bytes of `word` that equal `byte`, as their high bits; no false ones.
constexpr std::uint64_t kLowBits = 0x0101010101010101;
constexpr std::uint64_t kHighBits = 0x8080808080808080;
std::uint64_t EqualBytes(std::uint64_t word, char byte) {
  const std::uint64_t differ = word ^ (kLowBits * static_cast<unsigned char>(byte));
  return ~(((differ & ~kHighBits) + ~kHighBits) | differ) & kHighBits;
}

// Those high bits as eight bits, byte 0's lowest.
std::uint64_t Gather(std::uint64_t high_bits) {
  return ((high_bits >> 7) * 0x0102040810204080) >> 56;
}

BlockMasks MasksOf(const char* bytes, std::size_t size, bool count_braces) {
  BlockMasks masks;
  masks.valid = size == kBlockBytes ? ~std::uint64_t{0} : (std::uint64_t{1} << size) - 1;
  if (size == kBlockBytes && std::endian::native == std::endian::little) {
    // Eight bytes at a time, where the machine has no vector unit for it.
    std::array<std::uint64_t, 8> words;
    std::memcpy(words.data(), bytes, sizeof words);
    for (std::size_t word = 0; word < words.size(); ++word) {
      const auto mask = [&](char byte) {
        return Gather(EqualBytes(words[word], byte)) << (8 * word);
      };
      masks.quotes |= mask('"');
      masks.carriage_returns |= mask('\r');
      masks.line_feeds |= mask('\n');
      masks.commas |= mask(',');
      if (count_braces) {
        masks.opens |= mask('{');
        masks.closes |= mask('}');
      }
    }
    return masks;
  }
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint64_t bit = std::uint64_t{1} << i;
    masks.quotes |= bytes[i] == '"' ? bit : 0;
    masks.carriage_returns |= bytes[i] == '\r' ? bit : 0;
    masks.line_feeds |= bytes[i] == '\n' ? bit : 0;
    masks.commas |= bytes[i] == ',' ? bit : 0;
    masks.opens |= count_braces && bytes[i] == '{' ? bit : 0;
    masks.closes |= count_braces && bytes[i] == '}' ? bit : 0;
  }
  return masks;
}

// Whole blocks, eight bytes at a time: for processors without the vector instructions below,
// and for the chunk's last, partial block.
void ScanBlocksPortable(const char* bytes, std::size_t size, ItemReaderState& state, Tally& tally,
                        bool count_braces) {
  for (std::size_t at = 0; at < size; at += kBlockBytes) {
    const std::size_t block = std::min(kBlockBytes, size - at);
    block == kBlockBytes ? DigestBlock(bytes + at, tally) : DigestTail(bytes + at, block, tally);
    const BlockMasks masks = MasksOf(bytes + at, block, count_braces);
    count_braces ? ScanBlock<true>(masks, bytes + at, state, tally)
                 : ScanBlock<false>(masks, bytes + at, state, tally);
  }
}

#if defined(NESTMEND_X86)
#define NESTMEND_AVX512 __attribute__((target("avx512f,avx512bw,popcnt,lzcnt,bmi")))
#define NESTMEND_AVX2 __attribute__((target("avx2,popcnt,lzcnt,bmi")))
#define NESTMEND_SSE2 __attribute__((target("sse2")))

// The SSE2 unit every x86-64 processor has, and most 32-bit ones: a block in four 16-byte parts.
NESTMEND_SSE2 std::uint64_t EqualMask(const __m128i (&parts)[4], char byte) {
  const __m128i wanted = _mm_set1_epi8(byte);
  std::uint64_t mask = 0;
  for (int part = 0; part < 4; ++part) {
    mask |= std::uint64_t{static_cast<std::uint16_t>(
                _mm_movemask_epi8(_mm_cmpeq_epi8(parts[part], wanted)))}
            << (16 * part);
  }
  return mask;
}

template <bool kDetailed>
NESTMEND_SSE2 void ScanBlocksSse2(const char* bytes, std::size_t blocks, ItemReaderState& state,
                                  Tally& tally) {
  __m128i lanes[4];
  __m128i keys[4];
  for (int part = 0; part < 4; ++part) {
    lanes[part] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tally.lanes.data()) + part);
    keys[part] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kDigestKeys.data()) + part);
  }
  for (std::size_t block = 0; block < blocks; ++block) {
    const char* at = bytes + block * kBlockBytes;
    __m128i parts[4];
    for (int part = 0; part < 4; ++part) {
      parts[part] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at) + part);
      // The digest, as DigestBlock.
      const __m128i keyed = _mm_xor_si128(parts[part], keys[part]);
      lanes[part] = _mm_add_epi64(
          lanes[part], _mm_add_epi64(_mm_mul_epu32(keyed, _mm_srli_epi64(keyed, 32)),
                                     _mm_shuffle_epi32(parts[part], _MM_SHUFFLE(1, 0, 3, 2))));
    }
    BlockMasks masks;
    masks.quotes = EqualMask(parts, '"');
    masks.carriage_returns = EqualMask(parts, '\r');
    masks.line_feeds = EqualMask(parts, '\n');
    masks.commas = EqualMask(parts, ',');
    masks.valid = ~std::uint64_t{0};
    if constexpr (kDetailed) {
      masks.opens = EqualMask(parts, '{');
      masks.closes = EqualMask(parts, '}');
    }
    ScanBlock<kDetailed>(masks, at, state, tally);
  }
  for (int part = 0; part < 4; ++part) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(tally.lanes.data()) + part, lanes[part]);
  }
}

template <bool kDetailed>
NESTMEND_AVX512 void ScanBlocksAvx512(const char* bytes, std::size_t blocks, ItemReaderState& state,
                                      Tally& tally) {
  const __m512i quote = _mm512_set1_epi8('"');
  const __m512i carriage_return = _mm512_set1_epi8('\r');
  const __m512i line_feed = _mm512_set1_epi8('\n');
  const __m512i comma = _mm512_set1_epi8(',');
  const __m512i open = _mm512_set1_epi8('{');
  const __m512i close = _mm512_set1_epi8('}');
  const __m512i keys = _mm512_loadu_si512(kDigestKeys.data());
  __m512i lanes = _mm512_loadu_si512(tally.lanes.data());
  for (std::size_t block = 0; block < blocks; ++block) {
    const char* at = bytes + block * kBlockBytes;
    const __m512i data = _mm512_loadu_si512(at);
    // The digest, as DigestBlock: the keyed word's halves multiplied, and the neighbour's word.
    // (The zero-masking forms spare GCC 12 a false warning about the others' undefined inputs.)
    const __m512i keyed = _mm512_xor_si512(data, keys);
    const __m512i product =
        _mm512_maskz_mul_epu32(0xFF, keyed, _mm512_maskz_srli_epi64(0xFF, keyed, 32));
    lanes = _mm512_add_epi64(
        lanes, _mm512_add_epi64(product, _mm512_maskz_shuffle_epi32(0xFFFF, data, _MM_PERM_BADC)));
    BlockMasks masks;
    masks.quotes = _mm512_cmpeq_epi8_mask(data, quote);
    masks.carriage_returns = _mm512_cmpeq_epi8_mask(data, carriage_return);
    masks.line_feeds = _mm512_cmpeq_epi8_mask(data, line_feed);
    masks.commas = _mm512_cmpeq_epi8_mask(data, comma);
    masks.valid = ~std::uint64_t{0};
    if constexpr (kDetailed) {
      masks.opens = _mm512_cmpeq_epi8_mask(data, open);
      masks.closes = _mm512_cmpeq_epi8_mask(data, close);
    }
    ScanBlock<kDetailed>(masks, at, state, tally);
  }
  _mm512_storeu_si512(tally.lanes.data(), lanes);
}

NESTMEND_AVX2 std::uint64_t EqualMask(__m256i low, __m256i high, char byte) {
  const __m256i wanted = _mm256_set1_epi8(byte);
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, wanted))) |
         (std::uint64_t{
              static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, wanted)))}
          << 32);
}

// Four lanes of the digest, as DigestBlock.
NESTMEND_AVX2 __m256i DigestHalf(__m256i lanes, __m256i data, __m256i keys) {
  const __m256i keyed = _mm256_xor_si256(data, keys);
  return _mm256_add_epi64(lanes,
                          _mm256_add_epi64(_mm256_mul_epu32(keyed, _mm256_srli_epi64(keyed, 32)),
                                           _mm256_shuffle_epi32(data, _MM_SHUFFLE(1, 0, 3, 2))));
}

template <bool kDetailed>
NESTMEND_AVX2 void ScanBlocksAvx2(const char* bytes, std::size_t blocks, ItemReaderState& state,
                                  Tally& tally) {
  const auto* keys = reinterpret_cast<const __m256i*>(kDigestKeys.data());
  const __m256i low_keys = _mm256_loadu_si256(keys);
  const __m256i high_keys = _mm256_loadu_si256(keys + 1);
  auto* lanes = reinterpret_cast<__m256i*>(tally.lanes.data());
  __m256i low_lanes = _mm256_loadu_si256(lanes);
  __m256i high_lanes = _mm256_loadu_si256(lanes + 1);
  for (std::size_t block = 0; block < blocks; ++block) {
    const char* at = bytes + block * kBlockBytes;
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 32));
    low_lanes = DigestHalf(low_lanes, low, low_keys);
    high_lanes = DigestHalf(high_lanes, high, high_keys);
    BlockMasks masks;
    masks.quotes = EqualMask(low, high, '"');
    masks.carriage_returns = EqualMask(low, high, '\r');
    masks.line_feeds = EqualMask(low, high, '\n');
    masks.commas = EqualMask(low, high, ',');
    masks.valid = ~std::uint64_t{0};
    if constexpr (kDetailed) {
      masks.opens = EqualMask(low, high, '{');
      masks.closes = EqualMask(low, high, '}');
    }
    ScanBlock<kDetailed>(masks, at, state, tally);
  }
  _mm256_storeu_si256(lanes, low_lanes);
  _mm256_storeu_si256(lanes + 1, high_lanes);
}

// Scans the whole blocks it can with vector instructions; returns how many bytes that covered.
std::size_t ScanBlocksVector(VectorUnit unit, const char* bytes, std::size_t size,
                             ItemReaderState& state, Tally& tally, bool count_braces) {
  const std::size_t blocks = size / kBlockBytes;
  switch (unit) {
    case VectorUnit::kAvx512:
      count_braces ? ScanBlocksAvx512<true>(bytes, blocks, state, tally)
                   : ScanBlocksAvx512<false>(bytes, blocks, state, tally);
      return blocks * kBlockBytes;
    case VectorUnit::kAvx2:
      count_braces ? ScanBlocksAvx2<true>(bytes, blocks, state, tally)
                   : ScanBlocksAvx2<false>(bytes, blocks, state, tally);
      return blocks * kBlockBytes;
    case VectorUnit::kSse2:
      count_braces ? ScanBlocksSse2<true>(bytes, blocks, state, tally)
                   : ScanBlocksSse2<false>(bytes, blocks, state, tally);
      return blocks * kBlockBytes;
    case VectorUnit::kPortable:
      break;
  }
  return 0;
}
#else
std::size_t ScanBlocksVector(VectorUnit, const char*, std::size_t, ItemReaderState&, Tally&, bool) {
  return 0;
}
#endif

ChunkItems Result(const Tally& tally) {
  ChunkItems items;
  items.items_started = tally.starts;
  items.brace_balance = tally.balance;
  items.has_character = tally.has_character;
  items.last_character_item = tally.last_character_item;
  items.digest = Digest(tally);
  items.bytes = tally.length;
  items.line_ends = tally.line_ends;
  items.lowest_balance = tally.lowest;
  items.has_opening = tally.has_opening;
  items.opening_balance = tally.opening_balance;
  items.opening_line = tally.opening_line;
  return items;
}

// What only the piece's ends tell.
ChunkItems WithEnds(ChunkItems items, std::span<const char> bytes, ItemDetail detail) {
  if (detail == ItemDetail::kItemsAndBraces && !bytes.empty()) {
    items.starts_with_lf = bytes.front() == '\n';
    items.ends_with_cr = bytes.back() == '\r';
  }
  return items;
}

}  // namespace

ChunkItems Combine(const ChunkItems& first, const ChunkItems& second) {
  ChunkItems both;
  both.items_started = first.items_started + second.items_started;
  both.brace_balance = first.brace_balance + second.brace_balance;
  both.has_character = first.has_character || second.has_character;
  // The second piece counts its items from the one that runs on into it: the first's last.
  both.last_character_item = second.has_character ? first.items_started + second.last_character_item
                                                  : first.last_character_item;
  both.digest = (std::rotl(first.digest, 29) ^ second.digest) * 0xC2B2AE3D27D4EB4F;
  // A CR ending the first and an LF beginning the second are one line end.
  const std::uint64_t joined = first.ends_with_cr && second.starts_with_lf;
  both.line_ends = first.line_ends + second.line_ends - joined;
  both.bytes = first.bytes + second.bytes;
  both.starts_with_lf = first.bytes > 0 ? first.starts_with_lf : second.starts_with_lf;
  both.ends_with_cr = second.bytes > 0 ? second.ends_with_cr : first.ends_with_cr;
  both.lowest_balance = std::min(first.lowest_balance, first.brace_balance + second.lowest_balance);
  // The second's opening is met at the lowest so far only where the first went no lower.
  const bool second_opens =
      second.has_opening && first.brace_balance + second.opening_balance <= first.lowest_balance;
  both.has_opening = second_opens || first.has_opening;
  both.opening_balance =
      second_opens ? first.brace_balance + second.opening_balance : first.opening_balance;
  both.opening_line =
      second_opens ? first.line_ends - joined + second.opening_line : first.opening_line;
  return both;
}

ByteRole StepItemReader(ItemReaderState& state, char byte, bool& started) {
  started = false;
  if (!state.in_item) {
    if (state.swallow_lf) {
      state.swallow_lf = false;
      if (byte == '\n') return ByteRole::kLineEndTail;
    }
    state.in_item = true;
    started = true;
    if (byte == '"') {
      state.quoted = true;
      return ByteRole::kQuote;
    }
  } else if (state.quoted) {
    if (byte != '"') return ByteRole::kCharacter;
    state.quoted = false;
    return ByteRole::kQuote;
  }
  if (!IsDelimiter(byte)) return ByteRole::kCharacter;
  state.in_item = false;
  state.swallow_lf = byte == '\r';
  return ByteRole::kDelimiter;
}

VectorUnit BestVectorUnit() {
#if defined(NESTMEND_X86)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("popcnt") && __builtin_cpu_supports("avx512bw")) {
    return VectorUnit::kAvx512;
  }
  if (__builtin_cpu_supports("popcnt") && __builtin_cpu_supports("avx2")) return VectorUnit::kAvx2;
  if (__builtin_cpu_supports("sse2")) return VectorUnit::kSse2;
#endif
  return VectorUnit::kPortable;
}

ChunkItems ScanItems(std::span<const char> bytes, ItemReaderState& state, ItemDetail detail) {
  static const VectorUnit best = BestVectorUnit();
  return ScanItemsUsing(best, bytes, state, detail);
}

ChunkItems ScanItemsUsing(VectorUnit unit, std::span<const char> bytes, ItemReaderState& state,
                          ItemDetail detail) {
  const bool count_braces = detail == ItemDetail::kItemsAndBraces;
  Tally tally;
  tally.length = bytes.size();
  const std::size_t covered =
      ScanBlocksVector(unit, bytes.data(), bytes.size(), state, tally, count_braces);
  ScanBlocksPortable(bytes.data() + covered, bytes.size() - covered, state, tally, count_braces);
  return WithEnds(Result(tally), bytes, detail);
}

ChunkItems ScanItemsReference(std::span<const char> bytes, ItemReaderState& state,
                              ItemDetail detail) {
  Tally tally;
  tally.length = bytes.size();
  for (std::size_t at = 0; at < bytes.size(); at += kBlockBytes) {
    DigestTail(bytes.data() + at, std::min(kBlockBytes, bytes.size() - at), tally);
  }
  for (const char byte : bytes) {
    bool started = false;
    const ByteRole role = StepItemReader(state, byte, started);
    tally.starts += started;
    if (detail != ItemDetail::kItemsAndBraces) continue;
    if (role == ByteRole::kCharacter) {
      tally.has_character = true;
      tally.last_character_item = tally.starts;
    }
    if (byte == '{' || byte == '}') StepBalance(byte == '{', tally.line_ends, tally);
    tally.line_ends += byte == '\r' || (byte == '\n' && !tally.after_cr);
    tally.after_cr = byte == '\r';
  }
  return WithEnds(Result(tally), bytes, detail);
}

}  // namespace nestmend
