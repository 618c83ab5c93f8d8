#include "item_scanner.h"

#include <bit>
#include <cassert>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace nestmend {
namespace {

constexpr std::size_t kBlockBytes = 64;

// Bit i of a block's mask stands for byte i of that 64-byte block.
struct ChunkMasks {
  std::vector<std::uint64_t> delimiters;  // comma, CR, LF
  std::vector<std::uint64_t> quotes;
  std::int64_t brace_balance = 0;
};

bool IsDelimiter(char byte) { return byte == ',' || byte == '\n' || byte == '\r'; }

int BraceValue(char byte) { return byte == '{' ? 1 : (byte == '}' ? -1 : 0); }

// Masks for the bytes from `first` on, a byte at a time: the blocks the vector loop leaves over.
void BuildMasksScalar(const char* data, std::size_t first, std::size_t size, ChunkMasks& masks) {
  for (std::size_t i = first; i < size; ++i) {
    const std::uint64_t bit = std::uint64_t{1} << (i % kBlockBytes);
    if (IsDelimiter(data[i])) masks.delimiters[i / kBlockBytes] |= bit;
    if (data[i] == '"') masks.quotes[i / kBlockBytes] |= bit;
    masks.brace_balance += BraceValue(data[i]);
  }
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) std::uint64_t Mask64(__m256i low, __m256i high) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
         (std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32);
}

__attribute__((target("avx2"))) __m256i DelimiterBytes(__m256i bytes) {
  return _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(',')),
                                         _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\n'))),
                         _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\r')));
}

__attribute__((target("avx2"))) std::int64_t SumBytes(__m256i counts) {
  const __m256i sums = _mm256_sad_epu8(counts, _mm256_setzero_si256());
  return _mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) +
         _mm256_extract_epi64(sums, 2) + _mm256_extract_epi64(sums, 3);
}

// Returns how many bytes it covered: the whole 64-byte blocks.
template <bool kCountBraces>
__attribute__((target("avx2"))) std::size_t BuildMasksAvx2(const char* data, std::size_t size,
                                                          ChunkMasks& masks) {
  const __m256i quote = _mm256_set1_epi8('"');
  const __m256i open = _mm256_set1_epi8('{');
  const __m256i close = _mm256_set1_epi8('}');
  const std::size_t blocks = size / kBlockBytes;
  std::uint64_t* delimiters = masks.delimiters.data();
  std::uint64_t* quotes = masks.quotes.data();
  std::size_t block = 0;
  while (block < blocks) {
    // Byte counters take two matches a block, so they are emptied every 127 blocks.
    const std::size_t stop = std::min(blocks, block + 127);
    __m256i opens = _mm256_setzero_si256();
    __m256i closes = _mm256_setzero_si256();
    for (; block < stop; ++block) {
      const char* at = data + block * kBlockBytes;
      const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
      const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 32));
      delimiters[block] = Mask64(DelimiterBytes(low), DelimiterBytes(high));
      quotes[block] = Mask64(_mm256_cmpeq_epi8(low, quote), _mm256_cmpeq_epi8(high, quote));
      if constexpr (kCountBraces) {
        // A match is 0xFF, that is -1, so subtracting it counts one.
        opens = _mm256_sub_epi8(opens, _mm256_cmpeq_epi8(low, open));
        opens = _mm256_sub_epi8(opens, _mm256_cmpeq_epi8(high, open));
        closes = _mm256_sub_epi8(closes, _mm256_cmpeq_epi8(low, close));
        closes = _mm256_sub_epi8(closes, _mm256_cmpeq_epi8(high, close));
      }
    }
    if constexpr (kCountBraces) masks.brace_balance += SumBytes(opens) - SumBytes(closes);
  }
  return blocks * kBlockBytes;
}

const bool kHasAvx2 = __builtin_cpu_supports("avx2");
#endif

void BuildMasks(std::span<const char> bytes, bool count_braces, ChunkMasks& masks) {
  const std::size_t blocks = (bytes.size() + kBlockBytes - 1) / kBlockBytes;
  masks.delimiters.assign(blocks, 0);
  masks.quotes.assign(blocks, 0);
  masks.brace_balance = 0;
  std::size_t covered = 0;
#if defined(__x86_64__)
  if (kHasAvx2) {
    covered = count_braces ? BuildMasksAvx2<true>(bytes.data(), bytes.size(), masks)
                           : BuildMasksAvx2<false>(bytes.data(), bytes.size(), masks);
  }
#endif
  BuildMasksScalar(bytes.data(), covered, bytes.size(), masks);
  if (!count_braces) masks.brace_balance = 0;
}

// The position of the first set bit at or after `from`, or `size` when there is none. Bits past
// `size` are never set.
std::size_t FindNext(const std::vector<std::uint64_t>& masks, std::size_t from, std::size_t size) {
  std::size_t block = from / kBlockBytes;
  std::uint64_t bits = masks[block] & (~std::uint64_t{0} << (from % kBlockBytes));
  while (bits == 0) {
    if (++block == masks.size()) return size;
    bits = masks[block];
  }
  return block * kBlockBytes + static_cast<std::size_t>(std::countr_zero(bits));
}

struct CountSink {
  std::uint64_t items = 0;
  void Started() { ++items; }
  void Characters(std::size_t) {}
  void Ended() {}
};

struct PieceSink {
  std::vector<ItemPiece>& pieces;
  std::uint64_t items = 0;
  bool piece_open = false;  // the item being read already has a piece in this chunk

  void Started() {
    ++items;
    pieces.push_back({0, 1});
    piece_open = true;
  }
  void Characters(std::size_t count) {
    if (count == 0) return;
    if (!piece_open) {
      pieces.push_back({0, 0});
      piece_open = true;
    }
    pieces.back().characters += static_cast<std::uint32_t>(count);
  }
  void Ended() { piece_open = false; }
};

// The rules of item_scanner.h, one item at a time: each step jumps to the next quote or
// delimiter that can matter, using the masks.
template <typename Sink>
void WalkItems(std::span<const char> bytes, const ChunkMasks& masks, ItemReaderState& state,
               Sink& sink) {
  const char* data = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t at = 0;
  while (at < size) {
    if (!state.in_item) {
      if (state.swallow_lf) {
        state.swallow_lf = false;
        if (data[at] == '\n') {
          ++at;
          continue;
        }
      }
      state.in_item = true;
      sink.Started();
      if (data[at] == '"') {
        state.quoted = true;
        ++at;
        continue;
      }
    }
    if (state.quoted) {
      const std::size_t closing = FindNext(masks.quotes, at, size);
      sink.Characters(closing - at);
      if (closing == size) return;
      state.quoted = false;
      at = closing + 1;
      continue;
    }
    const std::size_t end = FindNext(masks.delimiters, at, size);
    sink.Characters(end - at);
    if (end == size) return;
    sink.Ended();
    state.in_item = false;
    state.swallow_lf = data[end] == '\r';
    at = end + 1;
  }
}

template <typename Sink>
void WalkItemsReference(std::span<const char> bytes, ItemReaderState& state, Sink& sink,
                        std::int64_t& brace_balance) {
  for (const char byte : bytes) {
    bool started = false;
    const ByteRole role = StepItemReader(state, byte, started);
    if (started) sink.Started();
    if (role == ByteRole::kCharacter) {
      sink.Characters(1);
      brace_balance += BraceValue(byte);
    } else if (role == ByteRole::kDelimiter) {
      sink.Ended();
    }
  }
}

}  // namespace

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

void ScanItems(std::span<const char> bytes, ItemReaderState& state, ItemDetail detail,
               ChunkItems& out) {
  assert(bytes.size() <= kMaxChunkBytes);
  thread_local ChunkMasks masks;
  out.pieces.clear();
  out.brace_balance = 0;
  out.items_started = 0;
  if (bytes.empty()) return;
  BuildMasks(bytes, detail == ItemDetail::kPieces, masks);
  if (detail == ItemDetail::kCount) {
    CountSink sink;
    WalkItems(bytes, masks, state, sink);
    out.items_started = sink.items;
    return;
  }
  PieceSink sink{out.pieces};
  WalkItems(bytes, masks, state, sink);
  out.items_started = sink.items;
  out.brace_balance = masks.brace_balance;
}

void ScanItemsReference(std::span<const char> bytes, ItemReaderState& state, ItemDetail detail,
                        ChunkItems& out) {
  out.pieces.clear();
  out.brace_balance = 0;
  std::int64_t balance = 0;
  if (detail == ItemDetail::kCount) {
    CountSink sink;
    WalkItemsReference(bytes, state, sink, balance);
    out.items_started = sink.items;
    return;
  }
  PieceSink sink{out.pieces};
  WalkItemsReference(bytes, state, sink, balance);
  out.items_started = sink.items;
  out.brace_balance = balance;
}

}  // namespace nestmend
