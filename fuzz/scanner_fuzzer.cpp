// The fast item scanner against the byte-at-a-time reference, on every instruction set the
// processor has, with the input cut into chunks at positions the input itself chooses.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <span>

#include "item_scanner.h"

namespace {

[[noreturn]] void Fail(const char* what, nestmend::VectorUnit unit) {
  std::fprintf(stderr, "scanner_fuzzer: %s (vector unit %d)\n", what, static_cast<int>(unit));
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the chunk sizes; the rest is the file.
  const unsigned cuts_key = data[0] | (unsigned{data[1]} << 8);
  const std::span<const char> bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  using nestmend::VectorUnit;
  for (VectorUnit unit = VectorUnit::kPortable; unit <= nestmend::BestVectorUnit();
       unit = static_cast<VectorUnit>(static_cast<int>(unit) + 1)) {
    std::minstd_rand cuts(cuts_key + 1);
    nestmend::ItemReaderState fast_state;
    nestmend::ItemReaderState reference_state;
    for (std::size_t begin = 0; begin < bytes.size();) {
      const std::size_t length =
          std::min<std::size_t>(bytes.size() - begin, 1 + cuts() % (cuts_key % 3 == 0 ? 7 : 300));
      const auto chunk = bytes.subspan(begin, length);
      for (const auto detail : {nestmend::ItemDetail::kItems, nestmend::ItemDetail::kBraces}) {
        const nestmend::ChunkItems fast = nestmend::ScanItemsUsing(unit, chunk, fast_state, detail);
        const nestmend::ChunkItems reference =
            nestmend::ScanItemsReference(chunk, reference_state, detail);
        if (!(fast == reference)) Fail("a chunk's items differ from the reference", unit);
        if (!(fast_state == reference_state)) Fail("the reader's state differs", unit);
      }
      begin += length;
    }
  }
  return 0;
}
