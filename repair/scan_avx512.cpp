// The item scanner's AVX-512 unit: a block in one register, its masks straight from a compare.
// Its own copy of the block loop, compiled for these instructions only, and chosen at run time
// where the processor has them.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include "scan_parts.h"

#define NESTMEND_TARGET __attribute__((target("avx512f,avx512bw,popcnt,lzcnt,bmi")))
namespace nestmend::scan {
namespace {
struct Avx512Unit {
  using Block = __m512i;
  NESTMEND_TARGET static Block Load(const char* bytes) { return _mm512_loadu_si512(bytes); }
  NESTMEND_TARGET static std::uint64_t Equal(const Block& block, char byte) {
    return _mm512_cmpeq_epi8_mask(block, _mm512_set1_epi8(byte));
  }
  class Digest {
   public:
    NESTMEND_TARGET explicit Digest(const std::uint64_t* lanes)
        : lanes_(_mm512_loadu_si512(lanes)), keys_(_mm512_loadu_si512(kDigestKeys.data())) {}
    // As DigestBlock: the keyed word's halves multiplied, and the neighbour's word. (The
    // zero-masking forms spare GCC 12 a false warning about the others' undefined inputs.)
    NESTMEND_TARGET void Add(const Block& block) {
      const __m512i keyed = _mm512_xor_si512(block, keys_);
      const __m512i product =
          _mm512_maskz_mul_epu32(0xFF, keyed, _mm512_maskz_srli_epi64(0xFF, keyed, 32));
      lanes_ = _mm512_add_epi64(
          lanes_,
          _mm512_add_epi64(product, _mm512_maskz_shuffle_epi32(0xFFFF, block, _MM_PERM_BADC)));
    }
    NESTMEND_TARGET void Store(std::uint64_t* lanes) const { _mm512_storeu_si512(lanes, lanes_); }

   private:
    __m512i lanes_;
    __m512i keys_;
  };
};
}  // namespace
}  // namespace nestmend::scan
#include "scan_loop.h"
namespace nestmend::scan {
void ScanAvx512(std::span<const char> bytes, ItemReaderState& state, Tally& tally,
                ItemDetail detail) {
  ScanAll<Avx512Unit>(bytes, state, tally, detail);
}
}  // namespace nestmend::scan
#undef NESTMEND_TARGET
#endif
