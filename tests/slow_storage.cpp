// A storage layer for the tests: a FUSE file system that passes every call through to a folder
// of the real one, but throttles, stalls or fails chosen calls, as a slow USB stick, a network
// share or a device that goes away would.
//
// usage: slow_storage BACKING MOUNTPOINT   (runs until unmounted: fusermount3 -u MOUNTPOINT)
//
// Rules are written to MOUNTPOINT/.control, one per line, each opening replacing them all and
// counting the calls afresh:
//   rate BYTES_PER_SECOND   reads and writes take their time
//   OP [stall=MS] [fail=ERRNO] [after_opens=N] [skip=N] [count=N]
//                           calls of OP, once N files have been opened (after_opens, default 0),
//                           pass untouched `skip` times; the next `count` (default 0: all) wait
//                           MS milliseconds, then fail with ERRNO (default 0: succeed)
//   gone OP ERRNO           from the first call of OP on, every call fails: the device has gone
// OP is open, read, write, fsync, getattr, truncate or fallocate. Reading .control tells what
// happened so far: "opens=N reads=N writes=N stalled=N", stalled counting the calls waiting now.
#define FUSE_USE_VERSION 35
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Rule {
  std::string op;
  int delay_ms = 0;
  int error = 0;
  int from_open = 0;
  int skip = 0;
  int count = 0;
  int seen = 0;  // calls that met FROM_OPEN so far
};

std::string backing;
std::mutex mutex;
std::vector<Rule> rules;
double bytes_per_second = 0;
std::string gone_at;  // the call from which on every call fails, and how
int gone_error = 0;
bool gone = false;
std::map<std::string, int> calls;
std::atomic<int> stalled{0};
constexpr char kControl[] = "/.control";
constexpr std::uint64_t kControlHandle = UINT64_MAX;

std::string Backing(const char* path) { return backing + path; }

// Applies the rules to one call: waits as they say, and returns the error to fail with.
int Apply(const std::string& op, std::size_t bytes = 0) {
  int delay_ms = 0;
  int error = 0;
  double rate = 0;
  {
    const std::lock_guard lock(mutex);
    ++calls[op];
    gone = gone || (!gone_at.empty() && op == gone_at);
    if (gone) return gone_error;
    for (Rule& rule : rules) {
      if (rule.op != op || calls["open"] < rule.from_open) continue;
      const int index = rule.seen++;
      if (index < rule.skip || (rule.count > 0 && index >= rule.skip + rule.count)) continue;
      delay_ms = std::max(delay_ms, rule.delay_ms);
      if (rule.error != 0) error = rule.error;
    }
    rate = bytes_per_second;
  }
  auto wait = std::chrono::milliseconds(delay_ms);
  if (rate > 0 && bytes > 0) {
    wait +=
        std::chrono::milliseconds(static_cast<long>(1000.0 * static_cast<double>(bytes) / rate));
  }
  // A wait ends early, failing the call, when its caller goes away (the kernel then sends an
  // interrupt), as a network file system's does: a program killed in a stalled call can end.
  const auto until = std::chrono::steady_clock::now() + wait;
  const bool waits = wait.count() > 0;  // a call that passes at once is never counted as stalled
  stalled += waits;
  while (std::chrono::steady_clock::now() < until) {
    if (fuse_interrupted()) {
      error = EINTR;
      break;
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        until - std::chrono::steady_clock::now(), std::chrono::milliseconds(5)));
  }
  stalled -= waits;
  return error;
}

void AddRules(const std::string& text) {
  const std::lock_guard lock(mutex);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    Rule rule;
    if (!(fields >> rule.op)) continue;
    if (rule.op == "rate") {
      fields >> bytes_per_second;
    } else if (rule.op == "gone") {
      fields >> gone_at >> gone_error;
    } else {
      for (std::string field; fields >> field;) {
        const std::size_t equals = field.find('=');
        const std::string name = field.substr(0, equals);
        const int value = std::atoi(field.c_str() + equals + 1);
        for (auto [key, target] : {std::pair{"stall", &rule.delay_ms}, {"fail", &rule.error},
                                   {"after_opens", &rule.from_open}, {"skip", &rule.skip},
                                   {"count", &rule.count}}) {
          if (name == key) *target = value;
        }
      }
      rules.push_back(rule);
    }
  }
}

std::string Report() {
  const std::lock_guard lock(mutex);
  return "opens=" + std::to_string(calls["open"]) + " reads=" + std::to_string(calls["read"]) +
         " writes=" + std::to_string(calls["write"]) + " stalled=" + std::to_string(stalled) + "\n";
}

int GetAttr(const char* path, struct stat* status, fuse_file_info*) {
  if (std::strcmp(path, kControl) == 0) {
    *status = {};
    status->st_mode = S_IFREG | 0666;
    return 0;
  }
  // The mount point itself stays reachable, so that .control does on a device gone too.
  if (std::strcmp(path, "/") != 0) {
    if (const int error = Apply("getattr")) return -error;
  }
  return lstat(Backing(path).c_str(), status) == 0 ? 0 : -errno;
}

int Open(const char* path, fuse_file_info* info) {
  info->direct_io = 1;  // every read and write reaches this layer, none served from a cache
  if (std::strcmp(path, kControl) == 0) {
    info->fh = kControlHandle;
    if ((info->flags & O_ACCMODE) != O_RDONLY) {
      const std::lock_guard lock(mutex);
      rules.clear();
      calls.clear();
      bytes_per_second = 0;
      gone_at.clear();
      gone = false;
    }
    return 0;
  }
  if (const int error = Apply("open")) return -error;
  const int handle = open(Backing(path).c_str(), info->flags);
  if (handle < 0) return -errno;
  info->fh = static_cast<std::uint64_t>(handle);
  return 0;
}

int Read(const char*, char* buffer, std::size_t size, off_t offset, fuse_file_info* info) {
  if (info->fh == kControlHandle) {
    const std::string report = Report();
    if (offset >= static_cast<off_t>(report.size())) return 0;
    const std::size_t count = std::min(size, report.size() - static_cast<std::size_t>(offset));
    std::memcpy(buffer, report.data() + offset, count);
    return static_cast<int>(count);
  }
  if (const int error = Apply("read", size)) return -error;
  const ssize_t count = pread(static_cast<int>(info->fh), buffer, size, offset);
  return count < 0 ? -errno : static_cast<int>(count);
}

int Write(const char*, const char* bytes, std::size_t size, off_t offset, fuse_file_info* info) {
  if (info->fh == kControlHandle) {
    AddRules(std::string(bytes, size));
    return static_cast<int>(size);
  }
  if (const int error = Apply("write", size)) return -error;
  const ssize_t count = pwrite(static_cast<int>(info->fh), bytes, size, offset);
  return count < 0 ? -errno : static_cast<int>(count);
}

int Truncate(const char* path, off_t length, fuse_file_info* info) {
  if (std::strcmp(path, kControl) == 0) return 0;
  if (const int error = Apply("truncate")) return -error;
  const int result = info != nullptr ? ftruncate(static_cast<int>(info->fh), length)
                                     : truncate(Backing(path).c_str(), length);
  return result == 0 ? 0 : -errno;
}

int Fallocate(const char*, int mode, off_t offset, off_t length, fuse_file_info* info) {
  if (const int error = Apply("fallocate")) return -error;
  return fallocate(static_cast<int>(info->fh), mode, offset, length) == 0 ? 0 : -errno;
}

int Fsync(const char*, int, fuse_file_info* info) {
  if (info->fh == kControlHandle) return 0;
  if (const int error = Apply("fsync")) return -error;
  return fsync(static_cast<int>(info->fh)) == 0 ? 0 : -errno;
}

int Release(const char*, fuse_file_info* info) {
  if (info->fh != kControlHandle) close(static_cast<int>(info->fh));
  return 0;
}

void* Init(fuse_conn_info*, fuse_config* config) {
  // No cached names or attributes: every look at a file reaches this layer too.
  config->entry_timeout = 0;
  config->attr_timeout = 0;
  config->negative_timeout = 0;
  config->use_ino = 1;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s BACKING MOUNTPOINT\n", argv[0]);
    return 2;
  }
  char resolved[PATH_MAX];
  if (realpath(argv[1], resolved) == nullptr) return 2;
  backing = resolved;
  const fuse_operations operations{.getattr = GetAttr, .truncate = Truncate, .open = Open,
                                   .read = Read, .write = Write, .release = Release,
                                   .fsync = Fsync, .init = Init, .fallocate = Fallocate};
  char* fuse_arguments[] = {argv[0], argv[2], const_cast<char*>("-f"),
                            const_cast<char*>("-odefault_permissions")};
  return fuse_main(4, fuse_arguments, &operations, nullptr);
}
