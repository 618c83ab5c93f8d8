// One file open for reading for one pass. Its chunks are read one after another on the storage
// thread, ahead of the repair, and scanned on the worker pool as they arrive; the repair takes
// them in file order, as data items, each from where the chunk before left the item reader. A
// chunk whose scan started from a wrong guess of that is scanned again then.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "file_system.h"
#include "item_scanner.h"
#include "storage_thread.h"

namespace nestmend {

// How a pass reads a file: in chunks of this size, read ahead on the storage thread while the
// chunks read before are scanned on the machine's cores.
struct ReadPlan {
  std::size_t chunk_bytes = std::size_t{1024} << 10;
  unsigned threads = 0;  // scanning, the repair's own included; 0: one per core, at most 8
};

// One chunk of a file as a pass reads it.
struct ItemChunk {
  ChunkItems items;
  ItemReaderState state_before;  // where the reader stood before the chunk's first byte
  std::span<const char> bytes;   // the chunk; valid until the next read or close
};

class WorkerPool;

class InputFile {
 public:
  // Opens the plain file at `path`, as the storage thread waits. With `scan_for`, each chunk is
  // scanned for that on the pool as soon as it is read. Fails for anything but a plain file,
  // and when the user asks to stop meanwhile (the open is abandoned; its file is closed when the
  // open returns). The pass reads at most the length the file had when it was opened, so a file
  // that keeps growing cannot keep it going.
  static FileResult<std::unique_ptr<InputFile>> Open(FileSystem& files, StorageThread& storage,
                                                     std::shared_ptr<WorkerPool> pool,
                                                     const ReadPlan& plan, const std::string& path,
                                                     std::optional<ItemDetail> scan_for);
  // Stops reading ahead and closes the file on the storage thread, without waiting for it.
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // True when no byte remains to be read; nothing when reading failed or was abandoned.
  std::optional<bool> AtEnd();
  // The next data item and the delimiter that ends it. Fails, leaving `item` as it was, when
  // nothing is left or reading fails.
  bool ReadItem(std::string& item);
  // The next chunk, described as data items. Fails when nothing is left or reading fails.
  bool ReadChunk(ItemDetail detail, ItemChunk& chunk);
  // Closes the file, waiting as the storage thread waits.
  FileStatus Close();

  // The file as it was when opened, and its first bytes as far as read so far.
  const FileIdentity& identity() const { return identity_; }
  std::string_view LeadingBytes() const;
  // Why the last read failed.
  FileProblem problem() const { return problem_; }

 private:
  struct Reading;
  struct Chunk;

  InputFile(StorageThread& storage, std::shared_ptr<Reading> reading, FileIdentity identity,
            std::size_t depth);
  bool Refill();
  void ReadAhead();

  StorageThread& storage_;
  std::shared_ptr<Reading> reading_;  // shared with the reads on the storage thread
  FileIdentity identity_;
  std::size_t depth_;                           // chunks read ahead
  std::deque<std::shared_ptr<Chunk>> ahead_;    // asked for, in file order
  std::vector<std::unique_ptr<char[]>> spare_;  // buffers to read into again
  std::shared_ptr<Chunk> current_;
  std::size_t begin_ = 0;  // the current chunk's unconsumed bytes are [begin_, end_)
  std::size_t end_ = 0;
  bool at_end_ = false;
  bool closed_ = false;
  FileProblem problem_ = FileProblem::kNone;
  ItemReaderState state_;
};

}  // namespace nestmend
