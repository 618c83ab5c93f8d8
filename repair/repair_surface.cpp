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
  for (const ItemPiece& piece : batch.pieces) {
    if (piece.starts_item != 0) {
      if (!PumpEvents()) return false;
      ++record;
    }
    for (std::uint32_t character = 0; character < piece.characters; ++character) {
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

bool LastScanValue(const ScanBatch& batch, std::uint64_t& value) {
  std::uint64_t starts_after = 0;  // items begun after the piece looked at
  for (auto piece = batch.pieces.rbegin(); piece != batch.pieces.rend(); ++piece) {
    if (piece->characters > 0) {
      value = batch.records_before + batch.items_started - starts_after;
      return true;
    }
    starts_after += piece->starts_item;
  }
  return false;
}

}  // namespace nestmend
