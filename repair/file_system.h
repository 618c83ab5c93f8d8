// The operating system's file calls, as the engine needs them. Everything the engine does to a
// file goes through this interface, so a port replaces posix_file_system.cpp alone and tests can
// put a fault-injecting layer in between. Every call may block for as long as the storage takes:
// a run makes them on its storage thread, never on a window's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace nestmend {

// Why a file call failed, in terms of the file's own situation.
enum class FileProblem : std::uint8_t {
  kNone,
  kNotExact,      // the path holds text that cannot name a file exactly
  kMissing,       // nothing at the path
  kFolder,        // the path names a folder
  kDevice,        // ... a device
  kPipe,          // ... a pipe or socket
  kNotPlain,      // ... something else that is not a plain file (a kernel file)
  kNoPermission,  // the system refuses this user access
  kReadOnly,      // a read-only file or file system
  kHeld,          // another program holds the file (its lock, or Windows' sharing)
  kNoRoom,        // the disk is full
  kTooLarge,      // the file-size limit
  kUnsupported,   // the file system cannot do this (reserve room, cut a file back)
  kChanged,       // another program changed, moved or replaced the file meanwhile
  kNoMemory,      // the system refused the memory a call needed
  kFailed,        // the storage reported an error
};

// What a path names.
enum class FileKind : std::uint8_t { kPlain, kFolder, kDevice, kPipe, kOther };

// Whether a call that yields nothing else succeeded, and if not, why.
class FileStatus {
 public:
  FileStatus() = default;
  FileStatus(FileProblem problem) : problem_(problem) {}  // NOLINT: a problem is a status
  explicit operator bool() const { return problem_ == FileProblem::kNone; }
  FileProblem problem() const { return problem_; }

 private:
  FileProblem problem_ = FileProblem::kNone;
};

// A value, or why there is none.
template <typename T>
class FileResult {
 public:
  FileResult(T value) : value_(std::move(value)) {}       // NOLINT
  FileResult(FileProblem problem) : problem_(problem) {}  // NOLINT
  explicit operator bool() const { return value_.has_value(); }
  const T& operator*() const { return *value_; }
  T& operator*() { return *value_; }
  const T* operator->() const { return &*value_; }
  FileProblem problem() const { return problem_; }

 private:
  std::optional<T> value_;
  FileProblem problem_ = FileProblem::kFailed;
};

// What identifies one version of a file: which file it is, how long it is and when it was last
// changed. Two equal identities mean nothing was written in between, as far as the system tells.
// Under Wine it does not tell files apart: every file of the Linux file systems has one volume
// serial number, and inode numbers repeat from one file system to the next.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified_seconds = 0;
  std::int64_t modified_nanoseconds = 0;
  // The high half of a 128-bit file id (Windows' ReFS); 0 elsewhere.
  std::uint64_t inode_high = 0;
  // A plain data file, or a directory, device, pipe or kernel (/proc) file.
  FileKind kind = FileKind::kOther;

  bool regular() const { return kind == FileKind::kPlain; }
  bool SameFile(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && inode_high == other.inode_high;
  }
  bool operator==(const FileIdentity&) const = default;
};

// Why a file of this kind is not repaired.
inline FileProblem ProblemOf(FileKind kind) {
  switch (kind) {
    case FileKind::kPlain:
      return FileProblem::kNone;
    case FileKind::kFolder:
      return FileProblem::kFolder;
    case FileKind::kDevice:
      return FileProblem::kDevice;
    case FileKind::kPipe:
      return FileProblem::kPipe;
    case FileKind::kOther:
      break;
  }
  return FileProblem::kNotPlain;
}

class FileSystem {
 public:
  using Handle = std::intptr_t;  // a descriptor or a system handle

  virtual ~FileSystem() = default;

  // Opens an existing plain file for reading. Fails for an empty path, a path holding a NUL,
  // and anything that is not a plain file: that is decided before opening, so a pipe or device
  // is never opened (an open of a FIFO would release a writer waiting on it).
  virtual FileResult<Handle> OpenForReading(const std::string& path) = 0;
  // Opens an existing plain file for writing at its end, and for reading, under the same rules.
  // Never creates one.
  virtual FileResult<Handle> OpenForAppending(const std::string& path) = 0;
  virtual FileResult<FileIdentity> Identify(Handle handle) = 0;
  // The identity of the file the path names now, without opening it.
  virtual FileResult<FileIdentity> IdentifyPath(const std::string& path) = 0;
  // Takes an exclusive lock on the whole file that other programs asking for one respect (it
  // lasts until the handle is closed). Fails at once (kHeld), never waits, when another holds one.
  virtual FileStatus Lock(Handle handle) = 0;
  // Sets aside disk space for `length` bytes after the first `offset`, keeping the file's
  // length, so that writing them cannot run out of room. kNoRoom, kTooLarge or kUnsupported.
  virtual FileStatus Reserve(Handle handle, std::uint64_t offset, std::uint64_t length) = 0;
  // False when the file cannot be cut back, as an append-only file cannot.
  virtual bool CanTruncate(Handle handle) = 0;
  // Reads up to buffer.size() bytes from `offset`: the count read, 0 at the end of the file.
  // Several threads may read one handle at once.
  virtual FileResult<std::size_t> Read(Handle handle, std::uint64_t offset,
                                       std::span<char> buffer) = 0;
  // Writes some of the bytes at the file's current end, wherever others have put it meanwhile:
  // the count written, at least 1.
  virtual FileResult<std::size_t> Write(Handle handle, std::span<const char> bytes) = 0;
  virtual FileStatus Truncate(Handle handle, std::uint64_t length) = 0;
  // Returns once everything written has reached the disk.
  virtual FileStatus Sync(Handle handle) = 0;
  virtual FileStatus Close(Handle handle) = 0;

  // While an append is out, from `original` bytes to `expected`, all of them `line` CR LF
  // repeated: where the system can end the program past every handler of its own (Wine does when
  // its X display goes away), something outside it settles the append as the program would
  // have, cutting the file back or, where that is refused, completing it. Nothing by default.
  virtual void GuardAppend(Handle, std::uint64_t /*original*/, std::uint64_t /*expected*/,
                           std::string_view /*line*/) {}
  // The append is settled: nothing is left for the guard to do.
  virtual void AppendSettled() {}
};

// The machine's own file system.
FileSystem& SystemFiles();

// Marks the calling thread as a storage thread, busy reading and scanning, for the system's
// scheduler: where there are no more cores than storage threads, the window's thread, which needs
// a core seldom but promptly, then has one at once.
void GiveWayToTheWindow();

}  // namespace nestmend
