#include "repair_surface.h"

namespace nestmend {

bool RepairSurface::PumpEventsRepeatedly(std::uint64_t count) {
  for (std::uint64_t pump = 0; pump < count; ++pump) {
    if (!PumpEvents()) return false;
  }
  return true;
}

bool RepairSurface::ScanProgress(const ScanBatch& batch) {
  std::uint64_t record = batch.records_before;
  ItemReaderState state = batch.state_before;
  for (const char byte : batch.bytes) {
    bool started = false;
    const ByteRole role = StepItemReader(state, byte, started);
    if (started) {
      if (!PumpEvents()) return false;
      ++record;
    }
    if (role == ByteRole::kCharacter) {
      if (!PumpEvents()) return false;
      SetProgressValue(static_cast<float>(record));
    }
  }
  return true;
}

void RepairSurface::AppendProgress(std::uint64_t first_line, std::uint64_t count) {
  for (std::uint64_t line = first_line; line < first_line + count; ++line) {
    SetProgressValue(static_cast<float>(line));
  }
}

}  // namespace nestmend
