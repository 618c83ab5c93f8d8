// The only file of the engine that calls the operating system.
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "file_system.h"

namespace nestmend {
namespace {

// Files of the kernel's own file systems claim to be plain files but are not data: some never
// end (/proc/kcore claims terabytes), some block, and none is a file a user repairs.
bool IsKernelFileSystem(const struct statfs& system) {
  switch (system.f_type) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
      return true;
    default:
      return false;
  }
}

FileIdentity IdentityOf(const struct stat& status, bool kernel_file_system) {
  FileIdentity identity;
  identity.device = static_cast<std::uint64_t>(status.st_dev);
  identity.inode = static_cast<std::uint64_t>(status.st_ino);
  identity.size = status.st_size > 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
  identity.modified_seconds = status.st_mtim.tv_sec;
  identity.modified_nanoseconds = status.st_mtim.tv_nsec;
  identity.regular = S_ISREG(status.st_mode) && !kernel_file_system;
  return identity;
}

int Fd(FileSystem::Handle handle) { return static_cast<int>(handle); }

bool SameFile(const FileIdentity& one, const FileIdentity& other) {
  return one.device == other.device && one.inode == other.inode;
}

// Restarts a call that a signal interrupted.
template <typename Call>
auto Retry(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

class PosixFileSystem final : public FileSystem {
 public:
  PosixFileSystem() {
    // Past the file-size limit a write then fails, and is undone like any failed write, instead
    // of killing the program between two writes.
    std::signal(SIGXFSZ, SIG_IGN);
  }

  std::optional<Handle> OpenForReading(const std::string& path) override {
    // O_NONBLOCK: opening a FIFO with no writer would otherwise wait forever, and a read of a
    // file that can block (a device, /proc/kmsg) fails at once instead of hanging the window.
    return Open(path, O_RDONLY);
  }

  std::optional<Handle> OpenForAppending(const std::string& path) override {
    // No O_CREAT: a file that vanished is not brought back as an empty one.
    return Open(path, O_WRONLY | O_APPEND);
  }

  std::optional<FileIdentity> Identify(Handle handle) override {
    struct stat status {};
    struct statfs system {};
    if (fstat(Fd(handle), &status) != 0 || fstatfs(Fd(handle), &system) != 0) return std::nullopt;
    return IdentityOf(status, IsKernelFileSystem(system));
  }

  std::optional<FileIdentity> IdentifyPath(const std::string& path) override {
    struct stat status {};
    struct statfs system {};
    if (path.empty() || Retry([&] { return stat(path.c_str(), &status); }) != 0 ||
        Retry([&] { return statfs(path.c_str(), &system); }) != 0) {
      return std::nullopt;
    }
    return IdentityOf(status, IsKernelFileSystem(system));
  }

  bool Lock(Handle handle) override {
    struct flock whole_file {};
    whole_file.l_type = F_WRLCK;
    whole_file.l_whence = SEEK_SET;
    if (Retry([&] { return fcntl(Fd(handle), F_OFD_SETLK, &whole_file); }) == 0) return true;
    // Where the file system keeps no locks, the identity check under it still stands.
    return errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS;
  }

  Reservation Reserve(Handle handle, std::uint64_t offset, std::uint64_t length) override {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        offset + length > limit.rlim_cur) {
      return Reservation::kNoRoom;
    }
    if (length == 0) return Reservation::kReserved;
    const int result = Retry([&] {
      return fallocate(Fd(handle), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                       static_cast<off_t>(length));
    });
    if (result == 0) return Reservation::kReserved;
    return errno == EOPNOTSUPP || errno == ENOSYS ? Reservation::kUnsupported
                                                  : Reservation::kNoRoom;
  }

  bool CanTruncate(Handle handle) override {
    int flags = 0;
    // A file system without these flags has no append-only files either.
    return ioctl(Fd(handle), FS_IOC_GETFLAGS, &flags) != 0 || (flags & FS_APPEND_FL) == 0;
  }

  std::optional<std::size_t> Read(Handle handle, std::span<char> buffer) override {
    const ssize_t count = Retry([&] { return read(Fd(handle), buffer.data(), buffer.size()); });
    if (count < 0) return std::nullopt;
    return static_cast<std::size_t>(count);
  }

  std::optional<std::size_t> Write(Handle handle, std::span<const char> bytes) override {
    const ssize_t count = Retry([&] { return write(Fd(handle), bytes.data(), bytes.size()); });
    if (count <= 0) return std::nullopt;
    return static_cast<std::size_t>(count);
  }

  bool Truncate(Handle handle, std::uint64_t length) override {
    return Retry([&] { return ftruncate(Fd(handle), static_cast<off_t>(length)); }) == 0;
  }

  bool Sync(Handle handle) override {
    return Retry([&] { return fsync(Fd(handle)); }) == 0;
  }

  bool Close(Handle handle) override {
    // Linux frees the descriptor even when close reports EINTR, so it is never retried.
    return close(Fd(handle)) == 0;
  }

 private:
  std::optional<Handle> Open(const std::string& path, int access) {
    // Only a plain file is opened; and it must still be that file once open.
    const std::optional<FileIdentity> named = IdentifyPath(path);
    if (!named || !named->regular) return std::nullopt;
    const int handle =
        Retry([&] { return open(path.c_str(), access | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    if (handle < 0) return std::nullopt;
    const std::optional<FileIdentity> opened = Identify(handle);
    if (!opened || !opened->regular || !SameFile(*opened, *named)) {
      close(Fd(handle));
      return std::nullopt;
    }
    if ((access & O_ACCMODE) == O_RDONLY) {
      posix_fadvise(Fd(handle), 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    return handle;
  }
};

}  // namespace

FileSystem& SystemFiles() {
  static PosixFileSystem files;
  return files;
}

}  // namespace nestmend
