#include "fixit.h"

#include <optional>
#include <string>

#include "sequential_files.h"

namespace nestmend {
namespace {

constexpr std::string_view kClosingMessage =
    "If Nestmend failed to fix your file, e-mail me at " NESTMEND_MAINTAINER_EMAIL
    " with the file attached!  I will get back to u immediatly";

// Lines handed to the file and reported to the bar at a time.
constexpr std::uint64_t kLinesPerBatch = 16384;

// 8-bit lines appended to UTF-16 or UTF-32 text would corrupt it.
bool StartsWithWideByteOrderMark(std::string_view head) {
  return head.starts_with("\xFF\xFE") || head.starts_with("\xFE\xFF") ||
         head.starts_with(std::string_view("\x00\x00\xFE\xFF", 4));
}

// One run: the state that lives from "Begin" to the closing message.
class Run {
 public:
  Run(RepairSurface& surface, FileSystem& file_system, ReadPlan plan)
      : surface_(surface), files_(file_system, plan) {}

  void Perform() {
    const std::optional<std::uint64_t> items = Count();
    if (!items) return Finish(false);
    const std::optional<std::int64_t> balance = Scan();
    if (!balance) return Finish(false);
    const bool repaired = Append(*balance);
    // "Exit" during the last write or the flush: the file is complete, and the run ends here.
    Pump(surface_.PumpEventsRepeatedly(0));
    Finish(repaired, *balance);
  }

 private:
  // Pass 1: the number of data items, for the progress range.
  std::optional<std::uint64_t> Count() {
    surface_.SetStatus(texts::kPreparing);
    if (!Pump(surface_.PumpEvents())) return std::nullopt;
    if (!files_.OpenForInput(surface_.RepairPath(), kFileNumber)) return std::nullopt;
    std::uint64_t records = 0;
    while (true) {
      const std::optional<bool> at_end = files_.AtEndOfFile(kFileNumber);
      if (!at_end) return Abandon();
      if (*at_end) break;
      if (!files_.ReadDataItems(kFileNumber, ItemDetail::kItems, chunk_)) return Abandon();
      records += chunk_.items.items_started;
      if (!Pump(surface_.PumpEventsRepeatedly(chunk_.items.items_started))) return Abandon();
    }
    surface_.SetProgressMax(static_cast<float>(records + 1));
    files_.CloseAllFiles();
    return records;
  }

  // Pass 2: the brace balance, moving the bar item by item.
  std::optional<std::int64_t> Scan() {
    surface_.SetStatus(texts::kFixing);
    if (!Pump(surface_.PumpEvents())) return std::nullopt;
    if (!files_.OpenForInput(surface_.RepairPath(), kFileNumber)) return std::nullopt;
    std::uint64_t records = 0;
    std::int64_t balance = 0;
    while (true) {
      const std::optional<bool> at_end = files_.AtEndOfFile(kFileNumber);
      if (!at_end) return Abandon();
      if (*at_end) break;
      if (!files_.ReadDataItems(kFileNumber, ItemDetail::kItemsAndBraces, chunk_)) {
        return Abandon();
      }
      const ChunkItems& items = chunk_.items;
      balance += items.brace_balance;
      ScanBatch batch{records, chunk_.state_before, chunk_.bytes, items.items_started, {}};
      if (items.has_character) batch.last_value = records + items.last_character_item;
      records += items.items_started;
      if (!Pump(surface_.ScanProgress(batch))) return Abandon();
    }
    scanned_ = files_.InputIdentity(kFileNumber);
    wide_text_ = StartsWithWideByteOrderMark(files_.LeadingBytes(kFileNumber));
    files_.CloseAllFiles();
    return balance;
  }

  // Pass 3: the missing lines, all or nothing. True when they are on the disk.
  bool Append(std::int64_t balance) {
    surface_.SetProgressValue(0);
    surface_.SetProgressMax(static_cast<float>(balance + 1));
    if (balance <= 0) return false;
    const auto lines = static_cast<std::uint64_t>(balance);
    // Only the very file that was scanned, unchanged since, is written to, and only once the
    // room for every line is set aside.
    bool writing = !wide_text_ &&
                   files_.OpenForAppend(surface_.RepairPath(), kFileNumber, scanned_) &&
                   files_.Reserve(kFileNumber, lines * 3);
    // An append that cannot be undone runs to its end before the window is heard again.
    const bool undoable = !writing || files_.CanCutBack(kFileNumber);
    for (std::uint64_t first = 0; first < lines; first += kLinesPerBatch) {
      const std::uint64_t count = std::min(kLinesPerBatch, lines - first);
      writing = writing && files_.PrintLines(kFileNumber, "}", count);
      surface_.AppendProgress(first, count);
      // No pump of the repair's own, only a chance for the window to repaint and to take "Exit"
      // while millions of lines go out; leaving then undoes the append.
      if (undoable && !Pump(surface_.PumpEventsRepeatedly(0))) {
        files_.CutBack(kFileNumber);
        files_.CloseAllFiles();
        return false;
      }
    }
    // A stop asked for while the disk confirms the lines ends the run after it, complete.
    writing = writing &&
              files_.FlushToDisk(kFileNumber, [this] { Pump(surface_.PumpEventsRepeatedly(0)); });
    files_.CloseAllFiles();
    return writing;
  }

  void Finish(bool repaired, std::int64_t balance = 0) {
    files_.CloseAllFiles();
    if (stopped_) return;
    if (repaired) {
      std::string summary(texts::kFixedBefore);
      summary += std::to_string(balance);
      summary += texts::kFixedAfter;
      surface_.SetStatus(summary);
    } else {
      surface_.SetStatus(texts::kNothingDone);
    }
    surface_.ShowMessage(kClosingMessage);
  }

  bool Pump(bool keep_going) {
    stopped_ = stopped_ || !keep_going;
    return keep_going;
  }

  // A pass that cannot go on: the file is closed and nothing will be written.
  std::nullopt_t Abandon() {
    files_.CloseAllFiles();
    return std::nullopt;
  }

  RepairSurface& surface_;
  SequentialFiles files_;
  ItemChunk chunk_;
  std::optional<FileIdentity> scanned_;
  bool wide_text_ = false;
  bool stopped_ = false;
};

}  // namespace

std::string_view ClosingMessage() { return kClosingMessage; }

void Fixit(RepairSurface& surface, FileSystem& file_system, ReadPlan plan) {
  Run run(surface, file_system, plan);
  run.Perform();
}

}  // namespace nestmend
