// The item scanner's NEON unit, which every ARM64 processor has: a block in four 16-byte parts.
// NEON has no instruction that gathers a compare's bytes into bits, so each part's compare keeps
// one bit of each byte, at the byte's place within its group of eight, and three rounds of
// pairwise adds fold the four parts into the 64-bit mask.
#if defined(__aarch64__)
#include <arm_neon.h>

#include "scan_parts.h"

#define NESTMEND_TARGET
namespace nestmend::scan {
namespace {
struct NeonUnit {
  struct Block {
    uint8x16_t parts[4];
  };
  static Block Load(const char* bytes) {
    const auto* at = reinterpret_cast<const std::uint8_t*>(bytes);
    return {{vld1q_u8(at), vld1q_u8(at + 16), vld1q_u8(at + 32), vld1q_u8(at + 48)}};
  }
  static std::uint64_t Equal(const Block& block, char byte) {
    static constexpr std::uint8_t kPlaces[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                                 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t places = vld1q_u8(kPlaces);
    const uint8x16_t wanted = vdupq_n_u8(static_cast<std::uint8_t>(byte));
    uint8x16_t bits[4];
    for (int part = 0; part < 4; ++part) {
      bits[part] = vandq_u8(vceqq_u8(block.parts[part], wanted), places);
    }
    // Each add sums neighbours, which hold different bits: 64 bytes, 32, 16, then 8, in order.
    const uint8x16_t halves = vpaddq_u8(vpaddq_u8(bits[0], bits[1]), vpaddq_u8(bits[2], bits[3]));
    return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(halves, halves)), 0);
  }
  class Digest {
   public:
    explicit Digest(const std::uint64_t* lanes) {
      for (int part = 0; part < 4; ++part) {
        lanes_[part] = vld1q_u64(lanes + 2 * part);
        keys_[part] = vld1q_u64(kDigestKeys.data() + 2 * part);
      }
    }
    // As DigestBlock: the keyed word's halves multiplied, and the neighbour's word.
    void Add(const Block& block) {
      for (int part = 0; part < 4; ++part) {
        const uint64x2_t words = vreinterpretq_u64_u8(block.parts[part]);
        const uint64x2_t keyed = veorq_u64(words, keys_[part]);
        const uint64x2_t product = vmull_u32(vmovn_u64(keyed), vshrn_n_u64(keyed, 32));
        lanes_[part] = vaddq_u64(lanes_[part], vaddq_u64(product, vextq_u64(words, words, 1)));
      }
    }
    void Store(std::uint64_t* lanes) const {
      for (int part = 0; part < 4; ++part) vst1q_u64(lanes + 2 * part, lanes_[part]);
    }

   private:
    uint64x2_t lanes_[4];
    uint64x2_t keys_[4];
  };
};
}  // namespace
}  // namespace nestmend::scan
#include "scan_loop.h"
namespace nestmend::scan {
void ScanNeon(std::span<const char> bytes, ItemReaderState& state, Tally& tally,
              ItemDetail detail) {
  ScanAll<NeonUnit>(bytes, state, tally, detail);
}
}  // namespace nestmend::scan
#undef NESTMEND_TARGET
#endif
