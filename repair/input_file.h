// One file open for reading for one pass. Its chunks are read ahead of the repair on the storage
// threads, several at once, each thread scanning the chunk it has just read while the processor's
// cache still holds it. Items are scanned from the state the byte before the chunk suggests: the
// repair takes the chunks in file order, each from where the one before left the item reader, and
// where that differs from the guess, the chunk is scanned again only until the two readings
// agree. Braces and lines need no state.
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
#include "read_plan.h"
#include "storage_file.h"

namespace nestmend {

// One chunk of a file as a pass reads it.
struct ItemChunk {
  ChunkItems items;
  ItemReaderState state_before;  // where the reader stood before the chunk's first byte
  std::span<const char> bytes;   // the chunk; valid until the next read or close
};

class InputFile {
 public:
  // Opens the plain file at `path` on the first of `readers` (StorageFile::Open). With
  // `scan_for`, each chunk is scanned for that by the thread that reads it. The pass reads at
  // most the length the file had when it was opened, so a file that keeps growing cannot keep it
  // going.
  static FileResult<std::unique_ptr<InputFile>> Open(FileSystem& files,
                                                     std::span<StorageThread* const> readers,
                                                     const ReadPlan& plan, const std::string& path,
                                                     std::optional<ItemDetail> scan_for);
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // True when no byte remains to be read; nothing when reading failed or was abandoned.
  std::optional<bool> AtEnd();
  // The next data item and the delimiter that ends it. Fails, leaving `item` as it was, when
  // nothing is left or reading fails.
  bool ReadItem(std::string& item);
  // The next chunk, described as data items. Fails when nothing is left or reading fails.
  bool ReadChunk(ItemDetail detail, ItemChunk& chunk);
  // Closes the file once the reads out are done.
  FileStatus Close() { return file_.Close(); }

  // The file as it was when opened, and its first bytes as far as read so far.
  const FileIdentity& identity() const { return file_.identity(); }
  // Its first and last bytes, read again (StorageFile::Ends).
  std::optional<std::string> Ends() { return file_.Ends(); }
  std::string_view LeadingBytes() const { return {leading_.data(), leading_size_}; }
  // Why the last read failed.
  FileProblem problem() const { return problem_; }

 private:
  struct Chunk;

  InputFile(std::span<StorageThread* const> readers, StorageFile file, std::size_t chunk_bytes,
            std::optional<ItemDetail> scan_for);
  bool Refill();
  void ReadAhead();

  std::vector<StorageThread*> readers_;
  StorageFile file_;
  const std::size_t chunk_bytes_;
  const std::optional<ItemDetail> scan_for_;
  std::uint64_t next_chunk_ = 0;                // the next to ask for, counted from 0
  std::deque<std::shared_ptr<Chunk>> ahead_;    // asked for, in file order
  std::vector<std::unique_ptr<char[]>> spare_;  // buffers to read into again
  std::shared_ptr<Chunk> current_;
  std::size_t begin_ = 0;  // the current chunk's unconsumed bytes are [begin_, end_)
  std::size_t end_ = 0;
  bool at_end_ = false;
  FileProblem problem_ = FileProblem::kNone;
  ItemReaderState state_;
  std::array<char, 4> leading_{};
  std::size_t leading_size_ = 0;
};

}  // namespace nestmend
