// The operating system's file calls, as the engine needs them. Everything the engine does to a
// file goes through this interface, so a port replaces posix_file_system.cpp alone and tests can
// put a fault-injecting layer in between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace nestmend {

// What identifies one version of a file: which file it is, how long it is and when it was last
// changed. Two equal identities mean nothing was written in between, as far as the system tells.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified_seconds = 0;
  std::int64_t modified_nanoseconds = 0;
  bool regular = false;  // a plain data file: not a directory, pipe, device, socket or /proc file

  bool operator==(const FileIdentity&) const = default;
};

class FileSystem {
 public:
  using Handle = std::intptr_t;  // a descriptor or a system handle

  virtual ~FileSystem() = default;

  // Opens an existing plain file for reading. Fails for an empty path, and for anything that is
  // not a plain file: that is decided before opening, so a pipe or device is never opened (an
  // open of a FIFO would release a writer waiting on it). Never blocks.
  virtual std::optional<Handle> OpenForReading(const std::string& path) = 0;
  // Opens an existing plain file for writing at its end, under the same rules. Never creates one.
  virtual std::optional<Handle> OpenForAppending(const std::string& path) = 0;
  virtual std::optional<FileIdentity> Identify(Handle handle) = 0;
  // The identity of the file the path names now, without opening it.
  virtual std::optional<FileIdentity> IdentifyPath(const std::string& path) = 0;
  // Takes an exclusive lock on the whole file that other programs asking for one respect (it
  // lasts until the handle is closed). Fails at once, never waits, when another holds one.
  virtual bool Lock(Handle handle) = 0;
  // Sets aside disk space for `length` bytes after the first `offset`, keeping the file's
  // length, so that writing them cannot run out of room.
  enum class Reservation { kReserved, kUnsupported, kNoRoom };
  virtual Reservation Reserve(Handle handle, std::uint64_t offset, std::uint64_t length) = 0;
  // False when the file cannot be cut back, as an append-only file cannot.
  virtual bool CanTruncate(Handle handle) = 0;
  // Reads up to buffer.size() bytes: the count read, 0 at the end of the file, nothing on error.
  virtual std::optional<std::size_t> Read(Handle handle, std::span<char> buffer) = 0;
  // Writes some of the bytes at the file's end: the count written (at least 1), nothing on error.
  virtual std::optional<std::size_t> Write(Handle handle, std::span<const char> bytes) = 0;
  virtual bool Truncate(Handle handle, std::uint64_t length) = 0;
  // Returns once everything written has reached the disk.
  virtual bool Sync(Handle handle) = 0;
  virtual bool Close(Handle handle) = 0;
};

// The machine's own file system.
FileSystem& SystemFiles();

}  // namespace nestmend
