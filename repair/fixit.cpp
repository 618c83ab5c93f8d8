#include "fixit.h"

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "input_file.h"
#include "sequential_files.h"

namespace nestmend {
namespace {

using Kind = RunOutcome::Kind;

constexpr std::string_view kClosingMessage =
    "If Nestmend failed to fix your file, e-mail me at " NESTMEND_MAINTAINER_EMAIL
    " with the file attached!  I will get back to u immediatly";

// Lines handed to the file and reported to the bar at a time.
constexpr std::uint64_t kLinesPerBatch = 16384;
constexpr std::string_view kLine = "}";

// 8-bit lines appended to UTF-16 or UTF-32 text would corrupt it.
bool StartsWithWideByteOrderMark(std::string_view head) {
  return head.starts_with("\xFF\xFE") || head.starts_with("\xFE\xFF") ||
         head.starts_with(std::string_view("\x00\x00\xFE\xFF", 4));
}

// Why a file could not be opened for reading, or read.
Kind ReadingFailure(FileProblem problem) {
  switch (problem) {
    case FileProblem::kNotExact:
      return Kind::kPathNotExact;
    case FileProblem::kMissing:
      return Kind::kMissing;
    case FileProblem::kFolder:
      return Kind::kFolder;
    case FileProblem::kDevice:
      return Kind::kDevice;
    case FileProblem::kPipe:
      return Kind::kPipe;
    case FileProblem::kNotPlain:
      return Kind::kNotPlain;
    case FileProblem::kChanged:
      return Kind::kChanged;
    case FileProblem::kNoMemory:
      return Kind::kNoMemory;
    default:
      return Kind::kCannotRead;
  }
}

// Why the lines could not be begun, or were taken back.
Kind WritingFailure(FileProblem problem) {
  switch (problem) {
    case FileProblem::kChanged:
    case FileProblem::kMissing:  // gone since the scan
    case FileProblem::kFolder:
    case FileProblem::kDevice:
    case FileProblem::kPipe:
    case FileProblem::kNotPlain:
      return Kind::kChanged;
    case FileProblem::kHeld:
      return Kind::kHeld;
    case FileProblem::kNoRoom:
      return Kind::kNoRoom;
    case FileProblem::kTooLarge:
      return Kind::kTooLarge;
    case FileProblem::kNoMemory:
      return Kind::kNoMemory;
    default:
      return Kind::kCannotWrite;
  }
}

// Until a pass decides otherwise: a run stopped while it reads leaves the file as it was.
RunOutcome StoppedWhileReading() {
  RunOutcome outcome;
  outcome.kind = Kind::kStoppedUntouched;
  return outcome;
}

// One run: the state that lives from "Begin" to the closing message.
class Run {
 public:
  Run(RepairSurface& surface, FileSystem& file_system, ReadPlan plan, RunMode mode)
      : surface_(surface), files_(file_system, plan, StorageWaiting()), mode_(mode) {}

  // No exception leaves a run: the system refusing memory (std::bad_alloc), or a toolkit the
  // surface calls, ends it where it is, with whatever it wrote taken back.
  RunOutcome Perform() {
    try {
      Repair();
    } catch (const std::exception&) {
      AfterAnException();
    }
    try {
      files_.CloseAllFiles();
      if (!stopped_) Finish();
    } catch (const std::exception&) {
      // Nothing more can be shown: the file is settled already.
    }
    return outcome_;
  }

 private:
  void Repair() {
    if (!Count()) return;
    const std::optional<std::int64_t> balance = Scan();
    if (!balance) return;
    Judge(*balance);
    if (mode_ == RunMode::kCheck) return;
    Append(*balance);
    // "Exit" during the last write or the flush: the file is complete, and the run ends here.
    StillGoing(surface_.PumpEventsRepeatedly(0));
  }

  // One pass over the file: its status shown, the file opened, and each chunk read, described as
  // `detail` asks, added to `total` and handed to `each`, whose false says the user asked to
  // stop. False when the pass cannot go on; the file is then closed.
  template <typename EachChunk>
  bool ReadPass(int pass, std::string_view status, ItemDetail detail, ChunkItems& total,
                EachChunk each) {
    surface_.SetStatus(status);
    if (!StillGoing(surface_.PumpEvents()) || !Open(detail)) return false;
    while (true) {
      const std::optional<bool> at_end = files_.AtEndOfFile(kFileNumber);
      if (at_end == true) return true;
      if (!at_end || !files_.ReadDataItems(kFileNumber, detail, chunk_)) return Abandon();
      total = Combine(total, chunk_.items);
      surface_.ShowBytesRead(pass, total.bytes, Size());
      if (!StillGoing(each(chunk_))) return Abandon();
    }
  }

  // Pass 1: the number of data items, for the progress range, and what each chunk held for the
  // bar of pass 2. (Its digest proves that pass 2 reads the same bytes: a run where it does not
  // appends nothing, whatever the bar showed.)
  bool Count() {
    std::uint64_t records = 0;
    const bool counted =
        ReadPass(1, texts::kPreparing, ItemDetail::kItems, counted_, [&](const ItemChunk& chunk) {
          const ChunkItems& items = chunk.items;
          counted_chunks_.push_back({items.items_started, items.last_character_item,
                                     chunk.state_before, items.has_character});
          records += items.items_started;
          return surface_.PumpEventsRepeatedly(items.items_started);
        });
    if (!counted) return false;
    surface_.SetProgressMax(static_cast<float>(records + 1));
    files_.CloseAllFiles();
    return true;
  }

  // Pass 2: the brace balance, moving the bar item by item as pass 1 counted them.
  std::optional<std::int64_t> Scan() {
    std::size_t index = 0;
    std::uint64_t records = 0;
    ChunkItems scanned;
    const bool read =
        ReadPass(2, texts::kFixing, ItemDetail::kBraces, scanned, [&](const ItemChunk& chunk) {
          // A chunk pass 1 did not read (the file has grown) moves nothing: nothing will be
          // appended to a file that has changed.
          const CountedChunk counted =
              index < counted_chunks_.size() ? counted_chunks_[index] : CountedChunk{};
          ++index;
          ScanBatch batch{records, counted.state_before, chunk.bytes, counted.items_started, {}};
          if (counted.has_character) batch.last_value = records + counted.last_character_item;
          records += counted.items_started;
          return surface_.ScanProgress(batch);
        });
    if (!read) return std::nullopt;
    // What the append must find again: the file that was read, holding the bytes it held.
    if (mode_ == RunMode::kRepair && scanned.brace_balance > 0) {
      scanned_ = files_.InputVersion(kFileNumber);
      if (!scanned_) {
        Abandon();
        return std::nullopt;
      }
    }
    wide_text_ = StartsWithWideByteOrderMark(files_.LeadingBytes(kFileNumber));
    files_.CloseAllFiles();
    // The balance holds only for the bytes the first pass counted: the two reads must agree,
    // whatever the size and time of the file say.
    if (scanned.digest != counted_.digest) {
      outcome_.kind = Kind::kChanged;
      return std::nullopt;
    }
    if (scanned.has_opening) outcome_.open_block_line = scanned.opening_line + 1;
    return scanned.brace_balance;
  }

  // The length of the file open for reading, as it was when opened.
  std::uint64_t Size() const {
    const std::optional<FileIdentity> identity = files_.InputIdentity(kFileNumber);
    return identity ? identity->size : 0;
  }

  bool Open(ItemDetail scan_for) {
    const std::string path = surface_.RepairPath();
    if (files_.OpenForInput(path, kFileNumber, scan_for)) return true;
    outcome_.kind = path.empty() ? Kind::kNoPath : ReadingFailure(files_.Problem());
    outcome_.problem = files_.Problem();
    return false;
  }

  // What the balance means for the file, before anything is written.
  void Judge(std::int64_t balance) {
    outcome_.lines = static_cast<std::uint64_t>(balance < 0 ? -balance : balance);
    if (balance <= 0) {
      outcome_.kind = balance == 0 ? Kind::kBalanced : Kind::kMoreClosing;
    } else {
      outcome_.kind = wide_text_ ? Kind::kWideText : Kind::kLacking;
    }
  }

  // Pass 3: the missing lines, all or nothing.
  void Append(std::int64_t balance) {
    surface_.SetProgressValue(0);
    surface_.SetProgressMax(static_cast<float>(balance + 1));
    if (balance <= 0) return;
    const auto lines = static_cast<std::uint64_t>(balance);
    // Only the very file that was scanned, unchanged since, is written to, and only once the
    // room for every line is set aside.
    const bool lacking = outcome_.kind == Kind::kLacking;
    bool writing = lacking &&
                   files_.OpenForAppend(surface_.RepairPath(), kFileNumber, scanned_) &&
                   files_.PlanLines(kFileNumber, kLine, lines);
    if (lacking && !writing) NotAppended(files_.Problem());
    for (std::uint64_t first = 0; first < lines; first += kLinesPerBatch) {
      const std::uint64_t count = std::min(kLinesPerBatch, lines - first);
      if (writing && !files_.PrintLines(kFileNumber, kLine, count)) {
        writing = false;
        NotAppended(files_.Problem());
      }
      surface_.AppendProgress(first, count);
      // No pump of the repair's own, only a chance for the window to repaint and to take "Exit"
      // while millions of lines go out; leaving then undoes the append, or completes it.
      if (stopped_ || !StillGoing(surface_.PumpEventsRepeatedly(0))) return Withdraw();
    }
    if (!writing) return;
    // A stop asked for while the disk confirms the lines ends the run after it, complete.
    if (files_.FlushToDisk(kFileNumber)) {
      outcome_.kind = stopped_ ? Kind::kStoppedCompleted : Kind::kRepaired;
    } else {
      NotAppended(files_.Problem());
    }
  }

  // The append did not begin, or went wrong and was taken back as far as it could be.
  void NotAppended(FileProblem problem) {
    outcome_.problem = problem;
    outcome_.left_behind = LinesLeft();
    outcome_.kind = outcome_.left_behind > 0 && problem != FileProblem::kChanged
                        ? Kind::kLeftBehind
                        : WritingFailure(problem);
  }

  void Withdraw() {
    switch (files_.Withdraw(kFileNumber)) {
      case AppendFile::Ending::kUndone:
        outcome_.kind = Kind::kStoppedUntouched;
        break;
      case AppendFile::Ending::kCompleted:
        outcome_.kind = Kind::kStoppedCompleted;
        break;
      case AppendFile::Ending::kPartial:
        outcome_.kind = Kind::kStoppedPartial;
        outcome_.left_behind = LinesLeft();
        break;
    }
  }

  // Lines, or parts of one, that the append left in the file.
  std::uint64_t LinesLeft() const {
    const std::uint64_t bytes = files_.BytesAppended(kFileNumber);
    return (bytes + kLine.size() + 1) / (kLine.size() + 2);
  }

  // An exception: whatever the append wrote is taken back (or, where that is refused,
  // completed), and the run ends saying what became of the file.
  void AfterAnException() {
    outcome_.kind = Kind::kNoMemory;
    try {
      if (files_.BytesAppended(kFileNumber) == 0) return;
      Withdraw();
      if (outcome_.kind == Kind::kStoppedUntouched) outcome_.kind = Kind::kNoMemory;
      if (outcome_.kind == Kind::kStoppedCompleted) outcome_.kind = Kind::kRepaired;
      if (outcome_.kind == Kind::kStoppedPartial) outcome_.kind = Kind::kLeftBehind;
    } catch (...) {
      // Still no memory: the file is left as the append left it.
      outcome_.kind = Kind::kLeftBehind;
      outcome_.left_behind = LinesLeft();
    }
  }

  void Finish() {
    if (mode_ == RunMode::kCheck) {
      surface_.SetReason(Reason(outcome_));
      return;
    }
    if (outcome_.repaired()) {
      std::string summary(texts::kFixedBefore);
      summary += std::to_string(outcome_.lines);
      summary += texts::kFixedAfter;
      surface_.SetStatus(summary);
    } else {
      surface_.SetStatus(texts::kNothingDone);
    }
    surface_.SetReason(Reason(outcome_));
    surface_.ShowMessage(kClosingMessage);
  }

  // While a file call is out, the surface has its turns, and sleeps in between as it can.
  StorageThread::Waiting StorageWaiting() {
    StorageThread::Waiting waiting = surface_.StorageWaiting();
    waiting.turn = [this] { return StillGoing(surface_.PumpEventsRepeatedly(0)); };
    return waiting;
  }

  // What a pump answered: false, and from then on the run stops, when the user asked to stop.
  bool StillGoing(bool pump_answer) {
    stopped_ = stopped_ || !pump_answer;
    return pump_answer;
  }

  // A pass that cannot go on: the file is closed and nothing will be written.
  bool Abandon() {
    if (!stopped_) {
      outcome_.kind = ReadingFailure(files_.Problem());
      outcome_.problem = files_.Problem();
    }
    files_.CloseAllFiles();
    return false;
  }

  RepairSurface& surface_;
  SequentialFiles files_;
  ItemChunk chunk_;
  // What pass 1 read, and what it found in each chunk for the bar of pass 2 (24 bytes a chunk).
  struct CountedChunk {
    std::uint64_t items_started = 0;
    std::uint64_t last_character_item = 0;
    ItemReaderState state_before;
    bool has_character = false;
  };
  ChunkItems counted_;
  std::vector<CountedChunk> counted_chunks_;
  std::optional<StorageFile::Version> scanned_;
  const RunMode mode_;
  bool wide_text_ = false;
  bool stopped_ = false;
  RunOutcome outcome_ = StoppedWhileReading();
};

}  // namespace

std::string_view ClosingMessage() { return kClosingMessage; }

RunOutcome Fixit(RepairSurface& surface, FileSystem& file_system, ReadPlan plan, RunMode mode) {
  Run run(surface, file_system, plan, mode);
  return run.Perform();
}

}  // namespace nestmend
