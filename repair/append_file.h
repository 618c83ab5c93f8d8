// One file open for appending lines, all or nothing: the room for every line set aside before
// the first is written, the lines collected and written whole, flushed to the disk and checked,
// and cut back, or where that is refused completed, when the append cannot go on. Every call is
// made on the storage thread; once the first line may be written, each is waited for to its end.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "file_system.h"
#include "storage_thread.h"

namespace nestmend {

class AppendFile {
 public:
  // Opens the plain file at `path` for writing after its last byte (never creating one) and
  // takes an exclusive lock on it. With `expected`, fails (kChanged) unless under that lock it
  // is still exactly that file: the same file, length and modification time. So of two repairs
  // of one file, the second finds it changed. Fails when the user asks to stop meanwhile.
  static FileResult<std::unique_ptr<AppendFile>> Open(FileSystem& files, StorageThread& storage,
                                                      const std::string& path,
                                                      const std::optional<FileIdentity>& expected);
  // Closes the file on the storage thread without writing what is pending.
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // The whole append to come: `count` lines of `text`. Room for them is set aside first, so a
  // full disk or the file-size limit refuses the append before it begins. Fails when there is
  // no room, and when the file could neither be cut back nor have room set aside: an append that
  // could then fail part way would leave it half repaired.
  FileStatus Plan(std::string_view text, std::uint64_t count);
  // Whether a started append can be undone. An append-only file cannot be cut back.
  bool CanCutBack() const { return can_truncate_; }

  // `count` lines of `text`, each followed by CR LF. Each write carries whole lines. Once a write
  // fails, the append is cut back and every later call fails.
  FileStatus PrintLines(std::string_view text, std::uint64_t count);
  // Writes out what is pending, returns once it is on the disk, and checks that the path still
  // names the file written to and that its length is its original length plus exactly the bytes
  // written. Otherwise the append is cut back as far as it can be, and it fails.
  FileStatus Flush();
  // Undoes the append: cuts the file back to its length at opening, but only when its length is
  // exactly what the append made it (kChanged otherwise); bytes another program added are never
  // removed.
  FileStatus CutBack();

  // How an append ended that was asked to stop.
  enum class Ending {
    kUndone,     // cut back: the file is as it was
    kCompleted,  // the cut-back was refused, so every planned line was written and flushed
    kPartial,    // neither: the file holds its bytes, then part of the lines
  };
  Ending Withdraw();

  // Writes out what is pending and closes the file, waiting as the storage thread waits.
  FileStatus Close();

  // Bytes this append has put after the original ones, and the lines of the plan.
  std::uint64_t written() const { return written_; }
  std::uint64_t planned_lines() const { return planned_lines_; }

  static constexpr std::size_t kWriteBytes = std::size_t{64} << 10;

 private:
  AppendFile(FileSystem& files, StorageThread& storage, FileSystem::Handle handle, std::string path,
             std::uint64_t original_size, bool can_truncate);
  FileStatus WritePending();
  // The append went wrong: it is cut back where it can be, and nothing more is written.
  FileStatus Fail(FileProblem why);

  FileSystem& files_;
  StorageThread& storage_;
  const FileSystem::Handle handle_;
  const std::string path_;
  const std::uint64_t original_size_;
  const bool can_truncate_;
  std::uint64_t written_ = 0;
  // The same, counted on the storage thread as each write returns.
  std::shared_ptr<std::atomic<std::uint64_t>> landed_ =
      std::make_shared<std::atomic<std::uint64_t>>(0);
  std::string pending_;
  std::string planned_text_;
  std::uint64_t planned_lines_ = 0;
  bool failed_ = false;   // nothing more is written
  bool undone_ = false;   // cut back to the original length
  bool guarded_ = false;  // a guard settles the append should the program end first
  bool closed_ = false;
};

}  // namespace nestmend
