// The sequential text-file operations the repair works with: a file opened for one pass, read as
// data items or extended with lines, and closed. Files are addressed by number; only number 1
// exists, and it is bound to at most one open file at a time. No operation throws or shows
// anything: each reports failure to its caller, says why through Problem(), and leaves
// everything as it was.
//
// Every file call is made on storage threads of this object's own, as many as the plan's
// threads: the first opens, writes and closes, and all of them read and scan. The caller waits
// for them as `waiting` says (a window goes on handling its events), each call as its kind
// allows (StorageFile).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "append_file.h"
#include "file_system.h"
#include "input_file.h"
#include "item_scanner.h"
#include "storage_thread.h"

namespace nestmend {

inline constexpr int kFileNumber = 1;

class SequentialFiles {
 public:
  explicit SequentialFiles(FileSystem& file_system, ReadPlan plan = {},
                           const StorageThread::Waiting& waiting = {});
  // Closes every open file; a call that was abandoned is left to end on its own.
  ~SequentialFiles();
  SequentialFiles(const SequentialFiles&) = delete;
  SequentialFiles& operator=(const SequentialFiles&) = delete;

  // Opens an existing plain file for reading from its first byte. Fails when the path is empty
  // or holds a NUL, the file is missing, unreadable or not a plain file (decided before it is
  // opened), or the number is already bound. With `scan_for`, each chunk is scanned for it on
  // the other cores as soon as it is read.
  bool OpenForInput(const std::string& path, int file_number,
                    std::optional<ItemDetail> scan_for = std::nullopt);

  // True when no byte of the file remains to be read. Fails (nothing) when the number is not
  // bound for reading or the file cannot be read.
  std::optional<bool> AtEndOfFile(int file_number);

  // Reads the next data item and the delimiter that ends it into `item`. Fails, leaving `item`
  // as it was, when the number is not bound for reading, nothing is left, or reading fails.
  // Holds the whole item: meant for small files and tests; a pass over a file of any size uses
  // ReadDataItems.
  bool ReadDataItem(int file_number, std::string& item);

  // Reads the next chunk of the file (up to the plan's chunk size) and describes the data items
  // it holds, without keeping them. Fails as ReadDataItem does. The result is always that of one
  // reading from the start, however the chunks were scanned.
  bool ReadDataItems(int file_number, ItemDetail detail, ItemChunk& chunk);

  // The open input file as it was when opened, and its first bytes as far as read so far.
  std::optional<FileIdentity> InputIdentity(int file_number) const;
  std::string_view LeadingBytes(int file_number) const;
  // The version of the file read: its identity at opening, and its first and last bytes, read
  // again; nothing when they cannot be read.
  std::optional<StorageFile::Version> InputVersion(int file_number);

  // The append: opening (AppendFile::Open), its plan, lines, flush and withdrawal, on number 1.
  bool OpenForAppend(const std::string& path, int file_number,
                     const std::optional<StorageFile::Version>& expected = std::nullopt);
  bool PlanLines(int file_number, std::string_view text, std::uint64_t count);
  // Writes `text` and a CR LF after everything written so far (AppendFile::PrintLines).
  bool PrintLine(int file_number, std::string_view text);
  bool PrintLines(int file_number, std::string_view text, std::uint64_t count);
  bool FlushToDisk(int file_number);
  AppendFile::Ending Withdraw(int file_number);
  // Bytes the open append has put after the original ones.
  std::uint64_t BytesAppended(int file_number) const;

  // Writes out whatever is pending and closes every open file, leaving every number free.
  void CloseAllFiles();

  // Why the last operation that failed failed.
  FileProblem Problem() const { return problem_; }

  // Ends the append in progress, if any, when the program ends without closing it (a toolkit
  // that loses its display ends the program from inside its event handling): cut back, or
  // completed where that is refused.
  static void UndoOpenAppendAtExit();

 private:
  bool Failed(FileProblem problem);
  InputFile* Input(int file_number) const;
  AppendFile* Append(int file_number) const;

  FileSystem& file_system_;
  ReadPlan plan_;
  std::vector<std::unique_ptr<StorageThread>> threads_;
  std::vector<StorageThread*> readers_;
  StorageThread& storage_;  // the first: opens, writes, flushes, cut-backs and closes
  std::unique_ptr<InputFile> input_;
  std::unique_ptr<AppendFile> append_;
  FileProblem problem_ = FileProblem::kNone;
};

}  // namespace nestmend
