// The item scanner's AVX2 unit: a block in two 32-byte halves. Its own copy of the block loop,
// compiled for these instructions only, and chosen at run time where the processor has them.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include "scan_parts.h"

#define NESTMEND_TARGET __attribute__((target("avx2,popcnt,lzcnt,bmi")))
namespace nestmend::scan {
namespace {
struct Avx2Unit {
  struct Block {
    __m256i low;
    __m256i high;
  };
  NESTMEND_TARGET static Block Load(const char* bytes) {
    return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes)),
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 32))};
  }
  NESTMEND_TARGET static std::uint64_t Equal(const Block& block, char byte) {
    const __m256i wanted = _mm256_set1_epi8(byte);
    return HalfMask(block.low, wanted) | (HalfMask(block.high, wanted) << 32);
  }
  NESTMEND_TARGET static std::uint64_t HalfMask(__m256i bytes, __m256i wanted) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, wanted)));
  }
  class Digest {
   public:
    NESTMEND_TARGET explicit Digest(const std::uint64_t* lanes) {
      const auto* keys = reinterpret_cast<const __m256i*>(kDigestKeys.data());
      low_keys_ = _mm256_loadu_si256(keys);
      high_keys_ = _mm256_loadu_si256(keys + 1);
      low_ = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes));
      high_ = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes) + 1);
    }
    NESTMEND_TARGET void Add(const Block& block) {
      low_ = Half(low_, block.low, low_keys_);
      high_ = Half(high_, block.high, high_keys_);
    }
    NESTMEND_TARGET void Store(std::uint64_t* lanes) const {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), low_);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes) + 1, high_);
    }

   private:
    // Four lanes, as DigestBlock.
    NESTMEND_TARGET static __m256i Half(__m256i lanes, __m256i data, __m256i keys) {
      const __m256i keyed = _mm256_xor_si256(data, keys);
      return _mm256_add_epi64(
          lanes, _mm256_add_epi64(_mm256_mul_epu32(keyed, _mm256_srli_epi64(keyed, 32)),
                                  _mm256_shuffle_epi32(data, _MM_SHUFFLE(1, 0, 3, 2))));
    }
    __m256i low_, high_, low_keys_, high_keys_;
  };
};
}  // namespace
}  // namespace nestmend::scan
#include "scan_loop.h"
namespace nestmend::scan {
void ScanAvx2(std::span<const char> bytes, ItemReaderState& state, Tally& tally,
              ItemDetail detail) {
  ScanAll<Avx2Unit>(bytes, state, tally, detail);
}
}  // namespace nestmend::scan
#undef NESTMEND_TARGET
#endif
