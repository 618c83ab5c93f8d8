// One file open for appending lines, all or nothing: the room for every line set aside before
// the first is written, the lines collected and written whole, flushed to the disk and checked,
// and cut back, or where that is refused completed, when the append cannot go on. The file's
// calls are made on the storage thread (StorageFile).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "file_system.h"
#include "storage_file.h"

namespace nestmend {

class AppendFile {
 public:
  // Opens the plain file at `path` for writing after its last byte, under an exclusive lock, and
  // with `expected` only if it is still exactly that version of the file (StorageFile::Open). So
  // of two repairs of one file, the second finds it changed. Dropped, it closes the file without
  // writing what is pending.
  static FileResult<std::unique_ptr<AppendFile>> Open(
      FileSystem& files, StorageThread& storage, const std::string& path,
      const std::optional<StorageFile::Version>& expected);
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // The whole append to come: `count` lines of `text`. Room for them is set aside first, so a
  // full disk or the file-size limit refuses the append before it begins. Fails when there is
  // no room, and when the file could neither be cut back nor have room set aside: an append that
  // could then fail part way would leave it half repaired.
  FileStatus Plan(std::string_view text, std::uint64_t count);

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

  // Writes out what is pending and closes the file.
  FileStatus Close();

  // Bytes this append has put after the original ones, and the lines of the plan.
  std::uint64_t written() const { return file_.written(); }
  std::uint64_t planned_lines() const { return planned_lines_; }

  static constexpr std::size_t kWriteBytes = std::size_t{64} << 10;

 private:
  explicit AppendFile(StorageFile file);
  FileStatus WritePending();
  // The append went wrong: it is cut back where it can be, and nothing more is written.
  FileStatus Fail(FileProblem why);

  StorageFile file_;
  std::string pending_;
  std::string planned_text_;
  std::uint64_t planned_lines_ = 0;
  bool failed_ = false;  // nothing more is written
};

}  // namespace nestmend
