#include "item_scanner.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "scan_parts.h"

#if defined(__x86_64__) || defined(__i386__)
#define NESTMEND_X86 1
#endif

namespace nestmend {
namespace scan {

void DigestBlock(const char* block, std::array<std::uint64_t, 8>& lanes) {
  std::array<std::uint64_t, 8> words;
  std::memcpy(words.data(), block, sizeof words);
  for (std::size_t lane = 0; lane < words.size(); ++lane) {
    const std::uint64_t keyed = words[lane] ^ kDigestKeys[lane];
    lanes[lane] += (keyed & 0xFFFFFFFF) * (keyed >> 32);
    lanes[lane ^ 1] += words[lane];
  }
}

namespace {

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

// The unit every processor has: eight bytes at a time in ordinary registers.
struct PortableUnit {
  struct Block {
    std::array<std::uint64_t, 8> words;  // as the machine holds them, for the digest
  };
  static Block Load(const char* bytes) {
    Block block;
    std::memcpy(block.words.data(), bytes, sizeof block.words);
    return block;
  }
  static std::uint64_t Equal(const Block& block, char byte) {
    std::uint64_t mask = 0;
    for (std::size_t word = 0; word < block.words.size(); ++word) {
      std::uint64_t bytes = block.words[word];
      if constexpr (std::endian::native == std::endian::big) bytes = __builtin_bswap64(bytes);
      mask |= Gather(EqualBytes(bytes, byte)) << (8 * word);
    }
    return mask;
  }
  class Digest {
   public:
    explicit Digest(const std::uint64_t* lanes) { std::memcpy(lanes_.data(), lanes, 64); }
    void Add(const Block& block) {
      DigestBlock(reinterpret_cast<const char*>(block.words.data()), lanes_);
    }
    void Store(std::uint64_t* lanes) const { std::memcpy(lanes, lanes_.data(), 64); }

   private:
    std::array<std::uint64_t, 8> lanes_;
  };
};

}  // namespace
}  // namespace scan
}  // namespace nestmend

#define NESTMEND_TARGET
#include "scan_loop.h"
#undef NESTMEND_TARGET

namespace nestmend {
namespace scan {

void ScanPortable(std::span<const char> bytes, ItemReaderState& state, Tally& tally,
                  ItemDetail detail) {
  ScanAll<PortableUnit>(bytes, state, tally, detail);
}

}  // namespace scan

namespace {

using scan::Tally;

// One piece's digest, from its lanes and length.
std::uint64_t Digest(const Tally& tally) {
  std::uint64_t digest = tally.length * 0x9E3779B97F4A7C15;
  for (const std::uint64_t lane : tally.lanes) {
    digest = (std::rotl(digest, 23) ^ lane) * 0xFF51AFD7ED558CCD;
  }
  return digest ^ (digest >> 31);
}

// The digest of two runs of bytes, one after the other.
std::uint64_t Chain(std::uint64_t first, std::uint64_t second) {
  return (std::rotl(first, 29) ^ second) * 0xC2B2AE3D27D4EB4F;
}

ChunkItems Result(const Tally& tally, std::uint64_t digest, std::span<const char> bytes,
                  ItemDetail detail) {
  ChunkItems items;
  items.items_started = tally.items.starts;
  items.brace_balance = tally.braces.balance;
  // The piece's last character, in the last block that held any.
  const scan::ItemTally& counted = tally.items;
  items.has_character = counted.characters != 0;
  if (items.has_character) {
    const int last = 63 - std::countl_zero(counted.characters);
    const std::uint64_t through_last = ~std::uint64_t{0} >> (63 - last);
    items.last_character_item =
        counted.starts_before_characters +
        static_cast<std::uint64_t>(std::popcount(counted.characters_starts & through_last));
  }
  items.digest = digest;
  items.bytes = bytes.size();
  items.line_ends = tally.braces.line_ends;
  items.lowest_balance = tally.braces.lowest;
  items.has_opening = tally.braces.has_opening;
  items.opening_balance = tally.braces.opening_balance;
  items.opening_line = tally.braces.opening_line;
  // What only the piece's ends tell.
  if (detail == ItemDetail::kBraces && !bytes.empty()) {
    items.starts_with_lf = bytes.front() == '\n';
    items.ends_with_cr = bytes.back() == '\r';
  }
  return items;
}

using ScanFunction = void (*)(std::span<const char>, ItemReaderState&, Tally&, ItemDetail);

ScanFunction ScanFor(VectorUnit unit) {
  switch (unit) {
#if defined(NESTMEND_X86)
    case VectorUnit::kSse2:
      return scan::ScanSse2;
    case VectorUnit::kAvx2:
      return scan::ScanAvx2;
    case VectorUnit::kAvx512:
      return scan::ScanAvx512;
#endif
#if defined(__aarch64__)
    case VectorUnit::kNeon:
      return scan::ScanNeon;
#endif
    default:
      return scan::ScanPortable;
  }
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
  both.digest = first.bytes == 0    ? second.digest
                : second.bytes == 0 ? first.digest
                                    : Chain(first.digest, second.digest);
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
  if (byte != ',' && byte != '\n' && byte != '\r') return ByteRole::kCharacter;
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
#elif defined(__aarch64__)
  return VectorUnit::kNeon;
#endif
  return VectorUnit::kPortable;
}

// Scans `bytes` with `scan`, a piece of the digest at a time.
ChunkItems ScanInPieces(ScanFunction scan, std::span<const char> bytes, ItemReaderState& state,
                        ItemDetail detail) {
  Tally tally;
  std::uint64_t digest = 0;
  std::size_t at = 0;
  do {
    const std::span<const char> piece =
        bytes.subspan(at, std::min(kDigestPieceBytes, bytes.size() - at));
    tally.lanes = scan::kDigestKeys;
    tally.length = piece.size();
    scan(piece, state, tally, detail);
    digest = at == 0 ? Digest(tally) : Chain(digest, Digest(tally));
    at += piece.size();
  } while (at < bytes.size());
  return Result(tally, digest, bytes, detail);
}

ChunkItems ScanItems(std::span<const char> bytes, ItemReaderState& state, ItemDetail detail) {
  static const ScanFunction best = ScanFor(BestVectorUnit());
  return ScanInPieces(best, bytes, state, detail);
}

ChunkItems ScanItemsUsing(VectorUnit unit, std::span<const char> bytes, ItemReaderState& state,
                          ItemDetail detail) {
  return ScanInPieces(ScanFor(unit), bytes, state, detail);
}

ChunkItems ScanItemsReference(std::span<const char> bytes, ItemReaderState& state,
                              ItemDetail detail) {
  Tally tally;
  std::uint64_t digest = 0;
  for (std::size_t at = 0; at == 0 || at < bytes.size(); at += kDigestPieceBytes) {
    const std::size_t length = std::min(kDigestPieceBytes, bytes.size() - at);
    tally.lanes = scan::kDigestKeys;
    tally.length = length;
    for (std::size_t block = 0; block < length; block += scan::kBlockBytes) {
      // The last block filled out with zeros: the length tells them apart.
      std::array<char, scan::kBlockBytes> zeros{};
      std::memcpy(zeros.data(), bytes.data() + at + block,
                  std::min(scan::kBlockBytes, length - block));
      scan::DigestBlock(zeros.data(), tally.lanes);
    }
    digest = at == 0 ? Digest(tally) : Chain(digest, Digest(tally));
  }
  scan::ItemTally& items = tally.items;
  scan::BraceTally& braces = tally.braces;
  for (const char byte : bytes) {
    if (detail == ItemDetail::kItems) {
      bool started = false;
      const ByteRole role = StepItemReader(state, byte, started);
      items.starts += started;
      if (role == ByteRole::kCharacter) {
        items.characters = 1;
        items.starts_before_characters = items.starts;
      }
      continue;
    }
    if (byte == '}') braces.lowest = std::min(braces.lowest, --braces.balance);
    if (byte == '{') {
      // The last "{" met at the lowest so far: where the outermost block left open began.
      if (braces.balance == braces.lowest) {
        braces.has_opening = true;
        braces.opening_balance = braces.balance;
        braces.opening_line = braces.line_ends;
      }
      ++braces.balance;
    }
    braces.line_ends += byte == '\r' || (byte == '\n' && !braces.after_cr);
    braces.after_cr = byte == '\r';
  }
  return Result(tally, digest, bytes, detail);
}

}  // namespace nestmend
