// How a pass reads a file: in chunks of this size, on this many storage threads at once.
#pragma once

#include <cstddef>

namespace nestmend {

struct ReadPlan {
  std::size_t chunk_bytes = std::size_t{1024} << 10;
  unsigned threads = 0;  // reading and scanning; 0: one per core, at most 8
};

}  // namespace nestmend
