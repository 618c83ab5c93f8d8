// A file open on the storage threads, as the thread running the repair sees it: plain file calls,
// each made on a storage thread and waited for as its kind allows. This is the one place that
// decides how a call is waited for:
//  - a call that changes no byte (opening, reading, a look at the file, setting room aside) is
//    abandoned when the user asks to stop while it is out, and left to end on its own; an open
//    abandoned so closes its file itself when it returns;
//  - a call that changes bytes (writing, flushing, cutting back) is waited out whatever happens,
//    the caller still given its turns: leaving it could let it land after whatever comes next.
// The file is closed on its storage threads once every call handed to them has returned, so no
// read can be out on a handle that is closed (it could read another file by then).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "file_system.h"
#include "storage_thread.h"

namespace nestmend {

class StorageFile {
 public:
  enum class Access { kRead, kAppend };

  // What a file was when it was read: its identity, and its first and last bytes (Ends).
  struct Version {
    FileIdentity identity;
    std::string ends;
  };

  // Opens the plain file at `path` on `home`, which makes every call but reads. For kAppend,
  // writes go after its last byte, under an exclusive lock; with `expected`, it opens only if,
  // under that lock, it is still exactly that version of the file: the same identity, and the
  // same first and last bytes (where the system cannot tell two files apart, as under Wine, the
  // bytes still can). kChanged otherwise. Never creates a file. Fails for anything but a plain
  // file, and when the user asks to stop meanwhile (kFailed).
  static FileResult<StorageFile> Open(FileSystem& files, StorageThread& home,
                                      const std::string& path, Access access,
                                      const std::optional<Version>& expected = std::nullopt);
  StorageFile(StorageFile&&) noexcept = default;
  StorageFile& operator=(StorageFile&&) = delete;
  // Lets go of the file without waiting: it is closed once the calls out have returned.
  ~StorageFile();

  // The file as it was when opened, and whether it can be cut back (an append-only file cannot).
  const FileIdentity& identity() const;
  bool can_truncate() const;

  // A read handed to `thread`: up to buffer.size() bytes from `offset`, as many reads as that
  // takes (a short read is not the end, only a read of nothing is); then `done` runs there with
  // the count or the failure. A file that stops reading reads no more, and `done` is not run.
  struct Pending {
    StorageThread* thread;
    StorageThread::Ticket ticket;
  };
  Pending Read(StorageThread& thread, std::uint64_t offset, std::span<char> buffer,
               std::function<void(FileResult<std::size_t>)> done);
  // Waits for a read; false when it was abandoned.
  bool Wait(const Pending& read);
  // The reads still out stop at their next step.
  void StopReading();

  // The file's first and last 4 KiB (all of it, when shorter), as it holds them now; nothing
  // when they cannot be read.
  std::optional<std::string> Ends();

  // Sets aside room for `length` bytes after the file's bytes at opening.
  FileStatus Reserve(std::uint64_t length);
  // Has the system settle the append of `length` bytes of `line` CR LF repeated should the
  // program end first (FileSystem::GuardAppend).
  void Guard(std::uint64_t length, std::string_view line);
  // Writes all of `bytes` at the file's end; those that reach it count in written(), also when
  // a write fails part way.
  FileStatus Write(std::string bytes);
  // Returns once what was written is on the disk, and checks that the path still names this
  // file and that its length is its length at opening plus written(): kChanged otherwise.
  FileStatus Flush();
  // Cuts the file back to its length at opening, and written() to 0, but only when its length
  // is exactly that plus written(): bytes another program added are never removed (kChanged).
  // Counts every write handed over before it, also one whose wait was cut short.
  FileStatus CutBack();
  // Bytes written at the file's end since it was opened, as counted where the writes ran.
  std::uint64_t written() const;

  // Closes the file once every call handed over has returned, and waits for that.
  FileStatus Close();

 private:
  struct Shared;

  StorageFile(std::shared_ptr<Shared> shared, StorageThread& home);
  // Runs `call` on the home thread and waits for it as its kind allows.
  template <typename Call>
  auto Look(Call call) -> std::optional<decltype(call(std::declval<Shared&>()))>;
  template <typename Call>
  auto Change(Call call) -> std::optional<decltype(call(std::declval<Shared&>()))>;
  // Hands each thread the file has used a last call: the last of them to run closes the file.
  std::vector<Pending> Release();

  std::shared_ptr<Shared> shared_;  // with the calls out on the storage threads
  StorageThread* home_;
  std::vector<StorageThread*> used_;  // every thread a call was handed to
  bool released_ = false;
};

}  // namespace nestmend
