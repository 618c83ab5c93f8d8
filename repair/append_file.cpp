#include "append_file.h"

#include <utility>

namespace nestmend {
namespace {

using Patience = StorageThread::Patience;

struct Opened {
  FileSystem::Handle handle;
  std::uint64_t size;
  bool can_truncate;
};

FileResult<Opened> OpenLocked(FileSystem& files, const std::string& path,
                              const std::optional<FileIdentity>& expected) {
  const FileResult<FileSystem::Handle> handle = files.OpenForAppending(path);
  if (!handle) return handle.problem();
  // The check and the append are one step under the lock: whoever appends next sees the change.
  const FileStatus locked = files.Lock(*handle);
  const FileResult<FileIdentity> identity =
      locked ? files.Identify(*handle) : FileResult<FileIdentity>(locked.problem());
  FileProblem refused = identity ? ProblemOf(identity->kind) : identity.problem();
  if (identity && identity->regular() && expected && *identity != *expected) {
    refused = FileProblem::kChanged;
  }
  if (refused != FileProblem::kNone) {
    files.Close(*handle);
    return refused;
  }
  return Opened{*handle, identity->size, files.CanTruncate(*handle)};
}

// What a write of many bytes came to: how many reached the file before a failure, if any.
struct Wrote {
  std::size_t bytes = 0;
  FileProblem problem = FileProblem::kNone;
};

}  // namespace

FileResult<std::unique_ptr<AppendFile>> AppendFile::Open(
    FileSystem& files, StorageThread& storage, const std::string& path,
    const std::optional<FileIdentity>& expected) {
  auto opened = std::make_shared<std::optional<FileResult<Opened>>>();
  const StorageThread::Ticket ticket = storage.Post(
      [&files, path, expected, opened] { *opened = OpenLocked(files, path, expected); });
  if (!storage.Await(ticket, Patience::kUntilStopped)) {
    storage.Post([&files, opened] {
      if (**opened) files.Close((**opened)->handle);
    });
    return FileProblem::kFailed;
  }
  const FileResult<Opened>& result = **opened;
  if (!result) return result.problem();
  return std::unique_ptr<AppendFile>(
      new AppendFile(files, storage, result->handle, path, result->size, result->can_truncate));
}

AppendFile::AppendFile(FileSystem& files, StorageThread& storage, FileSystem::Handle handle,
                       std::string path, std::uint64_t original_size, bool can_truncate)
    : files_(files),
      storage_(storage),
      handle_(handle),
      path_(std::move(path)),
      original_size_(original_size),
      can_truncate_(can_truncate) {
  pending_.reserve(kWriteBytes);
}

AppendFile::~AppendFile() {
  if (closed_) return;
  storage_.Post([&files = files_, handle = handle_, guarded = guarded_] {
    files.Close(handle);
    if (guarded) files.AppendSettled();
  });
}

FileStatus AppendFile::Plan(std::string_view text, std::uint64_t count) {
  if (failed_) return FileProblem::kFailed;
  planned_text_ = text;
  planned_lines_ = count;
  // Nothing is written yet: asked to stop, the run may leave this call to end on its own.
  const std::optional<FileStatus> reserved = storage_.Run(
      [&files = files_, handle = handle_, offset = original_size_ + written_,
       length = count * (text.size() + 2)] { return files.Reserve(handle, offset, length); },
      Patience::kUntilStopped);
  if (!reserved) return FileProblem::kFailed;
  // Without a reservation a failed write is cut back; a file that cannot be cut back is not begun.
  if (!*reserved && !(reserved->problem() == FileProblem::kUnsupported && can_truncate_)) {
    return reserved->problem();
  }
  storage_.Run(
      [&files = files_, handle = handle_, original = original_size_,
       expected = original_size_ + count * (text.size() + 2), line = planned_text_] {
        files.GuardAppend(handle, original, expected, line);
        return true;
      },
      Patience::kUntilStopped);
  guarded_ = true;
  return {};
}

FileStatus AppendFile::PrintLines(std::string_view text, std::uint64_t count) {
  if (failed_) return FileProblem::kFailed;
  const std::size_t line_size = text.size() + 2;
  for (std::uint64_t line = 0; line < count; ++line) {
    // Each write carries whole lines, so an interrupted one tears no line it wrote.
    if (!pending_.empty() && pending_.size() + line_size > kWriteBytes) {
      if (const FileStatus wrote = WritePending(); !wrote) return wrote;
    }
    pending_.append(text);
    pending_.append("\r\n");
  }
  return {};
}

FileStatus AppendFile::WritePending() {
  if (pending_.empty()) return {};
  const Wrote wrote =
      storage_
          .Run(
              [&files = files_, handle = handle_, bytes = std::move(pending_), landed = landed_] {
                Wrote result;
                while (result.bytes < bytes.size()) {
                  const FileResult<std::size_t> count = files.Write(
                      handle, std::span(bytes.data() + result.bytes, bytes.size() - result.bytes));
                  if (!count) {
                    result.problem = count.problem();
                    break;
                  }
                  result.bytes += *count;
                }
                *landed += result.bytes;
                return result;
              },
              Patience::kToTheEnd)
          .value_or(Wrote{0, FileProblem::kNoMemory});
  pending_.clear();
  written_ += wrote.bytes;
  if (wrote.problem != FileProblem::kNone) return Fail(wrote.problem);
  return {};
}

FileStatus AppendFile::Fail(FileProblem why) {
  CutBack();
  return why;
}

FileStatus AppendFile::Flush() {
  if (failed_) return FileProblem::kFailed;
  if (const FileStatus wrote = WritePending(); !wrote) return wrote;
  const FileStatus checked =
      storage_
          .Run(
              [&files = files_, handle = handle_, path = path_,
               size = original_size_ + written_]() -> FileStatus {
                if (const FileStatus synced = files.Sync(handle); !synced) return synced;
                // Another program may have cut, extended or replaced the file meanwhile: then the
                // lines are not where a repair needs them.
                const FileResult<FileIdentity> written = files.Identify(handle);
                if (!written) return written.problem();
                const FileResult<FileIdentity> named = files.IdentifyPath(path);
                if (!named && named.problem() != FileProblem::kMissing) return named.problem();
                if (!named || written->size != size || !named->SameFile(*written)) {
                  return FileProblem::kChanged;
                }
                return {};
              },
              Patience::kToTheEnd)
          .value_or(FileProblem::kNoMemory);
  if (!checked) return Fail(checked.problem());
  return {};
}

FileStatus AppendFile::CutBack() {
  failed_ = true;
  pending_.clear();
  // This runs after every write handed over, also one whose wait the program's end cut short
  // (a lost display ends it from inside that wait, before the write was counted here): what is
  // cut back is what the writes put in the file, as counted where they ran.
  const std::optional<std::pair<FileStatus, std::uint64_t>> cut = storage_.Run(
      [&files = files_, handle = handle_, original = original_size_, landed = landed_,
       undone = undone_, can_truncate = can_truncate_]() -> std::pair<FileStatus, std::uint64_t> {
        const std::uint64_t written = *landed;
        if (written == 0 && undone) return {FileStatus{}, 0};
        if (!can_truncate) return {FileProblem::kUnsupported, written};
        const FileResult<FileIdentity> now = files.Identify(handle);
        if (!now) return {now.problem(), written};
        // Bytes that another program added since are not this append's to remove.
        if (now->size != original + written) return {FileProblem::kChanged, written};
        if (const FileStatus truncated = files.Truncate(handle, original); !truncated) {
          return {truncated, written};
        }
        const FileStatus synced = files.Sync(handle);
        if (synced) *landed = 0;
        return {synced, *landed};
      },
      Patience::kToTheEnd);
  if (!cut) return FileProblem::kNoMemory;
  written_ = cut->second;
  if (cut->first) undone_ = true;
  return cut->first;
}

AppendFile::Ending AppendFile::Withdraw() {
  const bool intact = !failed_;  // every write so far went out whole
  const FileStatus cut = CutBack();
  if (cut || written_ == 0) return Ending::kUndone;
  // A file system that will not shrink files, or a file another program has mapped, refuses the
  // cut-back; the file is still this append's alone, so it is completed instead.
  if (!intact || cut.problem() == FileProblem::kChanged) return Ending::kPartial;
  failed_ = false;
  const std::uint64_t line_size = planned_text_.size() + 2;
  const std::uint64_t done = written_ / line_size;
  if (written_ % line_size == 0 && done <= planned_lines_ &&
      PrintLines(planned_text_, planned_lines_ - done) && Flush()) {
    return Ending::kCompleted;
  }
  return Ending::kPartial;
}

FileStatus AppendFile::Close() {
  if (!failed_) WritePending();
  closed_ = true;
  const std::optional<FileStatus> closed = storage_.Run(
      [&files = files_, handle = handle_, guarded = guarded_] {
        const FileStatus status = files.Close(handle);
        if (guarded) files.AppendSettled();  // its guard has nothing left to do
        return status;
      },
      Patience::kUntilStopped);
  return closed ? *closed : FileProblem::kFailed;
}

}  // namespace nestmend
