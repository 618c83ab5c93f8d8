// The only file of the engine that calls the operating system.
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "file_system.h"
#include "storage_thread.h"

namespace nestmend {
namespace {

// Files of the kernel's own file systems claim to be plain files but are not data: some never
// end (/proc/kcore claims terabytes), some block, and none is a file a user repairs.
bool IsKernelFileSystem(const struct statfs& system) {
  // The magic numbers are 32 bits, f_type a signed word of the machine's.
  switch (static_cast<std::uint32_t>(system.f_type)) {
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

FileKind KindOf(mode_t mode, bool kernel_file_system) {
  if (S_ISREG(mode)) return kernel_file_system ? FileKind::kOther : FileKind::kPlain;
  if (S_ISDIR(mode)) return FileKind::kFolder;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return FileKind::kDevice;
  if (S_ISFIFO(mode) || S_ISSOCK(mode)) return FileKind::kPipe;
  return FileKind::kOther;
}

FileIdentity IdentityOf(const struct stat& status, bool kernel_file_system) {
  FileIdentity identity;
  identity.device = static_cast<std::uint64_t>(status.st_dev);
  identity.inode = static_cast<std::uint64_t>(status.st_ino);
  identity.size = status.st_size > 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
  identity.modified_seconds = status.st_mtim.tv_sec;
  identity.modified_nanoseconds = status.st_mtim.tv_nsec;
  identity.kind = KindOf(status.st_mode, kernel_file_system);
  return identity;
}

// What errno says, in the file's terms.
FileProblem Problem(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return FileProblem::kMissing;
    case EACCES:
    case EPERM:
      return FileProblem::kNoPermission;
    case EROFS:
    case ETXTBSY:
      return FileProblem::kReadOnly;
    case ENOSPC:
    case EDQUOT:
      return FileProblem::kNoRoom;
    case EFBIG:
      return FileProblem::kTooLarge;
    case EOPNOTSUPP:
    case ENOSYS:
      return FileProblem::kUnsupported;
    default:
      return FileProblem::kFailed;
  }
}

FileProblem LastProblem() { return Problem(errno); }

int Fd(FileSystem::Handle handle) { return static_cast<int>(handle); }

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

  FileResult<Handle> OpenForReading(const std::string& path) override {
    CheckFileCallAllowedHere();
    // O_NONBLOCK: opening a FIFO with no writer would otherwise wait forever, and a read of a
    // file that can block (a device, /proc/kmsg) fails at once instead of hanging the run.
    return Open(path, O_RDONLY);
  }

  FileResult<Handle> OpenForAppending(const std::string& path) override {
    CheckFileCallAllowedHere();
    // No O_CREAT: a file that vanished is not brought back as an empty one. Read too, so that
    // the append can prove the file holds what was read.
    return Open(path, O_RDWR | O_APPEND);
  }

  FileResult<FileIdentity> Identify(Handle handle) override {
    CheckFileCallAllowedHere();
    struct stat status {};
    struct statfs system {};
    if (fstat(Fd(handle), &status) != 0 || fstatfs(Fd(handle), &system) != 0) {
      return LastProblem();
    }
    return IdentityOf(status, IsKernelFileSystem(system));
  }

  FileResult<FileIdentity> IdentifyPath(const std::string& path) override {
    CheckFileCallAllowedHere();
    if (path.empty()) return FileProblem::kMissing;
    // The system's calls take a path up to its first NUL: it would name another file.
    if (path.find('\0') != std::string::npos) return FileProblem::kNotExact;
    struct stat status {};
    struct statfs system {};
    if (Retry([&] { return stat(path.c_str(), &status); }) != 0 ||
        Retry([&] { return statfs(path.c_str(), &system); }) != 0) {
      return LastProblem();
    }
    return IdentityOf(status, IsKernelFileSystem(system));
  }

  FileStatus Lock(Handle handle) override {
    CheckFileCallAllowedHere();
    struct flock whole_file {};
    whole_file.l_type = F_WRLCK;
    whole_file.l_whence = SEEK_SET;
    if (Retry([&] { return fcntl(Fd(handle), F_OFD_SETLK, &whole_file); }) == 0) return {};
    // Where the file system keeps no locks, the identity check under it still stands.
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS) return {};
    return errno == EAGAIN || errno == EACCES ? FileProblem::kHeld : LastProblem();
  }

  FileStatus Reserve(Handle handle, std::uint64_t offset, std::uint64_t length) override {
    CheckFileCallAllowedHere();
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        offset + length > limit.rlim_cur) {
      return FileProblem::kTooLarge;
    }
    if (length == 0) return {};
    const int result = Retry([&] {
      return fallocate(Fd(handle), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                       static_cast<off_t>(length));
    });
    if (result == 0) return {};
    return LastProblem();
  }

  bool CanTruncate(Handle handle) override {
    CheckFileCallAllowedHere();
    int flags = 0;
    // A file system without these flags has no append-only files either.
    return ioctl(Fd(handle), FS_IOC_GETFLAGS, &flags) != 0 || (flags & FS_APPEND_FL) == 0;
  }

  FileResult<std::size_t> Read(Handle handle, std::uint64_t offset,
                               std::span<char> buffer) override {
    CheckFileCallAllowedHere();
    const ssize_t count = Retry([&] {
      return pread(Fd(handle), buffer.data(), buffer.size(), static_cast<off_t>(offset));
    });
    if (count < 0) return LastProblem();
    return static_cast<std::size_t>(count);
  }

  FileResult<std::size_t> Write(Handle handle, std::span<const char> bytes) override {
    CheckFileCallAllowedHere();
    // O_APPEND: each write lands at the end, after whatever another program appended.
    const ssize_t count = Retry([&] { return write(Fd(handle), bytes.data(), bytes.size()); });
    if (count < 0) return LastProblem();
    if (count == 0) return FileProblem::kFailed;
    return static_cast<std::size_t>(count);
  }

  FileStatus Truncate(Handle handle, std::uint64_t length) override {
    CheckFileCallAllowedHere();
    if (Retry([&] { return ftruncate(Fd(handle), static_cast<off_t>(length)); }) == 0) return {};
    return LastProblem();
  }

  FileStatus Sync(Handle handle) override {
    CheckFileCallAllowedHere();
    if (Retry([&] { return fsync(Fd(handle)); }) == 0) return {};
    return LastProblem();
  }

  FileStatus Close(Handle handle) override {
    CheckFileCallAllowedHere();
    // Linux frees the descriptor even when close reports EINTR, so it is never retried.
    if (close(Fd(handle)) == 0) return {};
    return LastProblem();
  }

 private:
  FileResult<Handle> Open(const std::string& path, int access) {
    // Only a plain file is opened; and it must still be that file once open.
    const FileResult<FileIdentity> named = IdentifyPath(path);
    if (!named) return named.problem();
    if (!named->regular()) return ProblemOf(named->kind);
    const int handle =
        Retry([&] { return open(path.c_str(), access | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    if (handle < 0) return LastProblem();
    const FileResult<FileIdentity> opened = Identify(handle);
    if (!opened || !opened->regular() || !opened->SameFile(*named)) {
      close(Fd(handle));
      return FileProblem::kChanged;
    }
    if ((access & O_ACCMODE) == O_RDONLY) {
      posix_fadvise(Fd(handle), 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    return Handle{handle};
  }
};

}  // namespace

FileSystem& SystemFiles() {
  static PosixFileSystem files;
  return files;
}

void GiveWayToTheWindow() {
  // A batch thread never preempts another as it wakes: the window's thread, having just handed
  // it a read, is not put aside for it, to wait a whole time slice. Refused or not, reading goes
  // on the same.
  const sched_param batch{};
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
}

}  // namespace nestmend
