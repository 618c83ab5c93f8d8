// The operations through which a repair drives a window: the status line, the progress bar, the
// path to repair, the event pump and the closing message.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "item_scanner.h"
#include "storage_thread.h"

namespace nestmend {

// One chunk of the scanning pass. It stands for what reading its bytes item by item gives,
// from where the reader stood before them; the summary fields spare a window that reading.
struct ScanBatch {
  std::uint64_t records_before = 0;  // the record counter before the chunk's first item
  ItemReaderState state_before;
  std::span<const char> bytes;
  std::uint64_t items_started = 0;
  // The bar's value once the batch has run: the record of the item that holds the chunk's last
  // character. Nothing when the chunk holds no character and so sets no value.
  std::optional<std::uint64_t> last_value;
};

class RepairSurface {
 public:
  virtual ~RepairSurface() = default;

  virtual void SetStatus(std::string_view caption) = 0;
  // The bar refuses a maximum not above 0 and a value outside 0 to the maximum.
  virtual void SetProgressMax(float maximum) = 0;
  virtual void SetProgressValue(float value) = 0;
  // The path of the file to repair. Read afresh at each opening.
  virtual std::string RepairPath() = 0;
  // Lets the window handle its pending events. Returns false when the user has asked the
  // program to end: the run then stops at once, before it writes anything.
  virtual bool PumpEvents() = 0;
  // A modal message box; returns when the user has closed it.
  virtual void ShowMessage(std::string_view text) = 0;
  // Why the run ended as it did, to go beside the summary; set right after it.
  virtual void SetReason(std::string_view) {}
  // After each chunk of a pass (1 or 2): `done` of the `total` bytes the file had when the pass
  // opened it, for a display that counts bytes rather than items.
  virtual void ShowBytesRead(int /*pass*/, std::uint64_t /*done*/, std::uint64_t /*total*/) {}
  // How a window waits for the storage without leaving its events waiting: a sleep that handles
  // them as they arrive and the wake that ends it (StorageThread::Waiting). By default none, and
  // its events are handled at the pumps.
  virtual StorageThread::Waiting StorageWaiting() { return {}; }

  // The batched forms the repair uses, so that a gigabyte is not a billion virtual calls. Each
  // stands for an exact sequence of the operations above, and by default performs it. A window
  // overrides them to reach the same end state cheaply.

  // `count` pumps in a row. A count of 0 stands for nothing, but is a point at which a window
  // may catch up with its events. Stops at the first pump that returns false.
  virtual bool PumpEventsRepeatedly(std::uint64_t count);
  // For each item begun in the chunk, a pump (and the record counter goes up by one); for each
  // character of an item, a pump followed by setting the bar's value to the record counter.
  virtual bool ScanProgress(const ScanBatch& batch);
  // Setting the bar's value to first_line, first_line + 1, ..., first_line + count - 1.
  virtual void AppendProgress(std::uint64_t first_line, std::uint64_t count);
};

}  // namespace nestmend
