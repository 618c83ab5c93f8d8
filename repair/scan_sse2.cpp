// The item scanner's SSE2 unit, which every x86-64 processor has and most 32-bit ones: a block
// in four 16-byte parts. Its own copy of the block loop, compiled for these instructions only.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include "scan_parts.h"

#define NESTMEND_TARGET __attribute__((target("sse2")))
namespace nestmend::scan {
namespace {
struct Sse2Unit {
  struct Block {
    __m128i parts[4];
  };
  NESTMEND_TARGET static Block Load(const char* bytes) {
    Block block;
    for (int part = 0; part < 4; ++part) {
      block.parts[part] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes) + part);
    }
    return block;
  }
  NESTMEND_TARGET static std::uint64_t Equal(const Block& block, char byte) {
    const __m128i wanted = _mm_set1_epi8(byte);
    std::uint64_t mask = 0;
    for (int part = 0; part < 4; ++part) {
      mask |= std::uint64_t{static_cast<std::uint16_t>(
                  _mm_movemask_epi8(_mm_cmpeq_epi8(block.parts[part], wanted)))}
              << (16 * part);
    }
    return mask;
  }
  class Digest {
   public:
    NESTMEND_TARGET explicit Digest(const std::uint64_t* lanes) {
      for (int part = 0; part < 4; ++part) {
        lanes_[part] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes) + part);
        keys_[part] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kDigestKeys.data()) + part);
      }
    }
    // As DigestBlock: the keyed word's halves multiplied, and the neighbour's word.
    NESTMEND_TARGET void Add(const Block& block) {
      for (int part = 0; part < 4; ++part) {
        const __m128i keyed = _mm_xor_si128(block.parts[part], keys_[part]);
        lanes_[part] = _mm_add_epi64(
            lanes_[part],
            _mm_add_epi64(_mm_mul_epu32(keyed, _mm_srli_epi64(keyed, 32)),
                          _mm_shuffle_epi32(block.parts[part], _MM_SHUFFLE(1, 0, 3, 2))));
      }
    }
    NESTMEND_TARGET void Store(std::uint64_t* lanes) const {
      for (int part = 0; part < 4; ++part) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes) + part, lanes_[part]);
      }
    }

   private:
    __m128i lanes_[4];
    __m128i keys_[4];
  };
};
}  // namespace
}  // namespace nestmend::scan
#include "scan_loop.h"
namespace nestmend::scan {
void ScanSse2(std::span<const char> bytes, ItemReaderState& state, Tally& tally,
              ItemDetail detail) {
  ScanAll<Sse2Unit>(bytes, state, tally, detail);
}
}  // namespace nestmend::scan
#undef NESTMEND_TARGET
#endif
