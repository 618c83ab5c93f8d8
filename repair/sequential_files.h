// The sequential text-file operations the repair works with: a file opened for one pass, read as
// data items or extended with lines, and closed. Files are addressed by number; only number 1
// exists, and it is bound to at most one open file at a time. No operation throws or shows
// anything: each reports failure to its caller and then leaves everything as it was.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "file_system.h"
#include "item_scanner.h"

namespace nestmend {

inline constexpr int kFileNumber = 1;

// How a pass reads a file: in chunks of this size, read one after another on the calling thread
// while the chunks read before are scanned on the other cores.
struct ReadPlan {
  std::size_t chunk_bytes = std::size_t{1024} << 10;
  unsigned threads = 0;  // in all, the calling one included; 0: one per core, at most 8
};

class WorkerPool;

// One chunk of a file as ReadDataItems read it.
struct ItemChunk {
  ChunkItems items;
  ItemReaderState state_before;  // where the reader stood before the chunk's first byte
  std::span<const char> bytes;   // the chunk; valid until the next read or close
};

class SequentialFiles {
 public:
  explicit SequentialFiles(FileSystem& file_system, ReadPlan plan = {});
  ~SequentialFiles();  // closes every open file
  SequentialFiles(const SequentialFiles&) = delete;
  SequentialFiles& operator=(const SequentialFiles&) = delete;

  // Opens an existing regular file for reading from its first byte. Fails when the path is
  // empty, the file is missing, unreadable or not a regular file (a directory, pipe, device or
  // socket is closed again at once), or the number is already bound. The pass reads at most the
  // length the file had when it was opened, so a file that keeps growing cannot keep it going.
  bool OpenForInput(const std::string& path, int file_number);

  // True when no byte of the file remains to be read. Fails (nothing) when the number is not
  // bound for reading or the file cannot be read.
  std::optional<bool> AtEndOfFile(int file_number);

  // Reads the next data item and the delimiter that ends it into `item`. Fails, leaving `item`
  // as it was, when the number is not bound for reading, nothing is left, or reading fails.
  // Holds the whole item: meant for small files and tests; a pass over a file of any size uses
  // ReadDataItems.
  bool ReadDataItem(int file_number, std::string& item);

  // Reads the next chunk of the file (up to the plan's chunk size) and describes the data items
  // it holds, without keeping them. Fails as ReadDataItem does. The chunks after it are read
  // ahead and scanned on other threads, each from the state its previous byte suggests; a chunk
  // whose guess proves wrong is scanned again here, so the result is always that of one reading
  // from the start.

  bool ReadDataItems(int file_number, ItemDetail detail, ItemChunk& chunk);

  // The open input file as it was when opened, and its first bytes as far as read so far.
  std::optional<FileIdentity> InputIdentity(int file_number) const;
  std::string_view LeadingBytes(int file_number) const;

  // Opens an existing regular file for writing after its last byte; never creates one. Takes an
  // exclusive lock on it, and with `expected` fails unless, under that lock, the file is still
  // exactly that one: same file, length and modification time. So of two repairs of one file,
  // the second finds it changed. Fails when the number is already bound or the lock is held.
  bool OpenForAppend(const std::string& path, int file_number,
                     const std::optional<FileIdentity>& expected = std::nullopt);

  // Sets aside room for `bytes` more bytes before the first is written, so that a full disk or
  // the file-size limit refuses the append before it begins. Fails when there is no room, and
  // when the file could neither be cut back nor have room set aside: an append that could
  // then fail part way would leave it half repaired.
  bool Reserve(int file_number, std::uint64_t bytes);

  // Whether a started append can still be undone. An append-only file cannot be cut back: once
  // begun, its append must run to the end.
  bool CanCutBack(int file_number) const;

  // Writes `text` and a CR LF after everything written so far. Lines are collected and written
  // whole. All or nothing: once a write fails, the append is undone and this and every later
  // PrintLine fail.
  bool PrintLine(int file_number, std::string_view text);
  // PrintLine `count` times.
  bool PrintLines(int file_number, std::string_view text, std::uint64_t count);

  // Writes out what is pending, returns once it is on the disk, and checks that the path still
  // names the file written to and that its length is its original length plus exactly the
  // bytes written. Otherwise the append is undone as far as it can be, and it fails. Fails when
  // the number is not bound for appending. With other threads at hand, the disk is waited for
  // on one of them while `while_waiting` is called every few milliseconds here.
  bool FlushToDisk(int file_number, const std::function<void()>& while_waiting = {});

  // Undoes the append: cuts the file back to its length at opening, but only when its length
  // is exactly what the append made it; bytes another program added are never removed. Fails
  // when the number is not bound for appending or the file was not cut back.
  bool CutBack(int file_number);

  // Writes out whatever is pending and closes every open file, leaving every number free.
  void CloseAllFiles();

  // Undoes the append in progress, if any, when the program ends without closing it: a toolkit
  // that loses its display ends the program from inside its event handling.
  static void UndoOpenAppendAtExit();

  static constexpr std::size_t kChunkBytes = std::size_t{1024} << 10;
  static constexpr std::size_t kWriteBytes = std::size_t{64} << 10;

 private:
  struct InputFile;
  struct AppendFile;

  InputFile* Input(int file_number) const;
  AppendFile* Append(int file_number) const;
  bool Refill(InputFile& file);
  void ReadAhead(InputFile& file);
  void StartScans(InputFile& file);
  bool WritePending(AppendFile& file);
  bool RollBack(AppendFile& file);

  FileSystem& file_system_;
  ReadPlan plan_;
  std::unique_ptr<WorkerPool> pool_;  // started with the first pass, joined with this object
  std::unique_ptr<InputFile> input_;
  std::unique_ptr<AppendFile> append_;
};

}  // namespace nestmend
