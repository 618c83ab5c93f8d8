#include "storage_file.h"

#include <algorithm>
#include <atomic>

namespace nestmend {

using Patience = StorageThread::Patience;

// What the file shares with the calls out on the storage threads.
struct StorageFile::Shared {
  Shared(FileSystem& file_system, std::string file_path)
      : files(file_system), path(std::move(file_path)) {}

  FileSystem& files;
  const std::string path;
  FileSystem::Handle handle = 0;
  bool open = false;  // set on the home thread once the open has succeeded
  FileIdentity identity;
  bool can_truncate = true;
  bool guarded = false;
  std::atomic<bool> stop_reading{false};
  std::atomic<std::uint64_t> written{0};
  std::atomic<std::size_t> holders{0};  // threads yet to let go of the file
  FileStatus closed;                    // how the close went, set by the last to let go
};

namespace {

constexpr std::uint64_t kEndBytes = 4096;

// The first and last kEndBytes bytes of a file `size` bytes long (all of them when shorter).
std::optional<std::string> ReadEnds(FileSystem& files, FileSystem::Handle handle,
                                    std::uint64_t size) {
  const std::uint64_t head = std::min(size, kEndBytes);
  const std::uint64_t tail = std::max(head, size - std::min(size, kEndBytes));
  std::string ends(static_cast<std::size_t>(head + size - tail), '\0');
  for (std::size_t got = 0; got < ends.size();) {
    const std::uint64_t offset = got < head ? got : tail + (got - head);
    const std::size_t wanted = static_cast<std::size_t>(got < head ? head - got : ends.size() - got);
    const FileResult<std::size_t> count =
        files.Read(handle, offset, std::span(ends.data() + got, wanted));
    if (!count || *count == 0) return std::nullopt;
    got += *count;
  }
  return ends;
}

// Opens, and for an append locks, checks the file, and looks whether it can be cut back, in one
// call: the check and the append are one step under the lock, so whoever appends next sees any
// change.
FileStatus OpenThere(StorageFile::Access access,
                     const std::optional<StorageFile::Version>& expected, FileSystem& files,
                     const std::string& path, FileSystem::Handle& handle, FileIdentity& identity,
                     bool& can_truncate) {
  const bool append = access == StorageFile::Access::kAppend;
  const FileResult<FileSystem::Handle> opened =
      append ? files.OpenForAppending(path) : files.OpenForReading(path);
  if (!opened) return opened.problem();
  FileStatus status = append ? files.Lock(*opened) : FileStatus();
  const FileResult<FileIdentity> found = status ? files.Identify(*opened) : status.problem();
  if (!found) {
    status = found.problem();
  } else if (!found->regular()) {
    status = ProblemOf(found->kind);
  } else if (expected && (*found != expected->identity ||
                          ReadEnds(files, *opened, found->size) != expected->ends)) {
    status = FileProblem::kChanged;
  }
  if (!status) {
    files.Close(*opened);
    return status;
  }
  handle = *opened;
  identity = *found;
  can_truncate = !append || files.CanTruncate(*opened);
  return {};
}

}  // namespace

FileResult<StorageFile> StorageFile::Open(FileSystem& files, StorageThread& home,
                                          const std::string& path, Access access,
                                          const std::optional<Version>& expected) {
  auto shared = std::make_shared<Shared>(files, path);
  const std::optional<FileStatus> opened = home.Run(
      [shared, access, expected] {
        const FileStatus status = OpenThere(access, expected, shared->files, shared->path,
                                            shared->handle, shared->identity, shared->can_truncate);
        shared->open = static_cast<bool>(status);
        return status;
      },
      Patience::kUntilStopped);
  if (!opened) {
    // Abandoned: once the open returns, the file it may have opened is closed after it.
    home.Post([shared] {
      if (shared->open) shared->files.Close(shared->handle);
    });
    return FileProblem::kFailed;
  }
  if (!*opened) return opened->problem();
  return StorageFile(std::move(shared), home);
}

StorageFile::StorageFile(std::shared_ptr<Shared> shared, StorageThread& home)
    : shared_(std::move(shared)), home_(&home), used_{&home} {}

StorageFile::~StorageFile() {
  if (shared_ && !released_) Release();
}

const FileIdentity& StorageFile::identity() const { return shared_->identity; }

bool StorageFile::can_truncate() const { return shared_->can_truncate; }

template <typename Call>
auto StorageFile::Look(Call call) -> std::optional<decltype(call(std::declval<Shared&>()))> {
  return home_->Run([shared = shared_, call = std::move(call)] { return call(*shared); },
                    Patience::kUntilStopped);
}

template <typename Call>
auto StorageFile::Change(Call call) -> std::optional<decltype(call(std::declval<Shared&>()))> {
  return home_->Run([shared = shared_, call = std::move(call)] { return call(*shared); },
                    Patience::kToTheEnd);
}

StorageFile::Pending StorageFile::Read(StorageThread& thread, std::uint64_t offset,
                                       std::span<char> buffer,
                                       std::function<void(FileResult<std::size_t>)> done) {
  if (std::ranges::find(used_, &thread) == used_.end()) used_.push_back(&thread);
  const StorageThread::Ticket ticket =
      thread.Post([shared = shared_, offset, buffer, done = std::move(done)] {
        std::size_t got = 0;
        while (got < buffer.size()) {
          if (shared->stop_reading) return;
          const FileResult<std::size_t> count =
              shared->files.Read(shared->handle, offset + got, buffer.subspan(got));
          if (!count) return done(count.problem());
          if (*count == 0) break;
          got += *count;
        }
        done(got);
      });
  return {&thread, ticket};
}

bool StorageFile::Wait(const Pending& read) {
  return read.thread->Await(read.ticket, Patience::kUntilStopped);
}

void StorageFile::StopReading() { shared_->stop_reading = true; }

std::optional<std::string> StorageFile::Ends() {
  return Look([](Shared& file) { return ReadEnds(file.files, file.handle, file.identity.size); })
      .value_or(std::nullopt);
}

FileStatus StorageFile::Reserve(std::uint64_t length) {
  return Look([length](Shared& file) {
           return file.files.Reserve(file.handle, file.identity.size + file.written, length);
         })
      .value_or(FileProblem::kFailed);
}

void StorageFile::Guard(std::uint64_t length, std::string_view line) {
  Look([length, line = std::string(line)](Shared& file) {
    file.files.GuardAppend(file.handle, file.identity.size, file.identity.size + length, line);
    file.guarded = true;
    return true;
  });
}

FileStatus StorageFile::Write(std::string bytes) {
  return Change([bytes = std::move(bytes)](Shared& file) -> FileStatus {
           for (std::size_t done = 0; done < bytes.size();) {
             const FileResult<std::size_t> count =
                 file.files.Write(file.handle, std::span(bytes).subspan(done));
             if (!count) return count.problem();
             done += *count;
             file.written += *count;
           }
           return {};
         })
      .value_or(FileProblem::kNoMemory);
}

FileStatus StorageFile::Flush() {
  return Change([](Shared& file) -> FileStatus {
           if (const FileStatus synced = file.files.Sync(file.handle); !synced) return synced;
           // Another program may have cut, extended or replaced the file meanwhile: then the
           // lines are not where a repair needs them.
           const FileResult<FileIdentity> now = file.files.Identify(file.handle);
           if (!now) return now.problem();
           const FileResult<FileIdentity> named = file.files.IdentifyPath(file.path);
           if (!named && named.problem() != FileProblem::kMissing) return named.problem();
           if (!named || now->size != file.identity.size + file.written ||
               !named->SameFile(*now)) {
             return FileProblem::kChanged;
           }
           return {};
         })
      .value_or(FileProblem::kNoMemory);
}

FileStatus StorageFile::CutBack() {
  // Made on the home thread after every write handed over, also one whose wait the program's
  // end cut short (a lost display ends it from inside that wait): what is cut back is what the
  // writes put in the file, as counted where they ran.
  return Change([](Shared& file) -> FileStatus {
           if (file.written == 0) return {};
           if (!file.can_truncate) return FileProblem::kUnsupported;
           const FileResult<FileIdentity> now = file.files.Identify(file.handle);
           if (!now) return now.problem();
           if (now->size != file.identity.size + file.written) return FileProblem::kChanged;
           if (const FileStatus cut = file.files.Truncate(file.handle, file.identity.size); !cut) {
             return cut;
           }
           const FileStatus synced = file.files.Sync(file.handle);
           if (synced) file.written = 0;
           return synced;
         })
      .value_or(FileProblem::kNoMemory);
}

std::uint64_t StorageFile::written() const { return shared_->written; }

std::vector<StorageFile::Pending> StorageFile::Release() {
  released_ = true;
  shared_->stop_reading = true;
  shared_->holders = used_.size();
  std::vector<Pending> last_calls;
  for (StorageThread* thread : used_) {
    last_calls.push_back({thread, thread->Post([shared = shared_] {
                            if (--shared->holders > 0) return;
                            shared->closed = shared->files.Close(shared->handle);
                            // The append is settled: its guard has nothing left to do.
                            if (shared->guarded) shared->files.AppendSettled();
                          })});
  }
  return last_calls;
}

FileStatus StorageFile::Close() {
  for (const Pending& last_call : Release()) {
    if (!Wait(last_call)) return FileProblem::kFailed;
  }
  return shared_->closed;
}

}  // namespace nestmend
