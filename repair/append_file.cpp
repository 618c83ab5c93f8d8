#include "append_file.h"

#include <utility>

namespace nestmend {

FileResult<std::unique_ptr<AppendFile>> AppendFile::Open(
    FileSystem& files, StorageThread& storage, const std::string& path,
    const std::optional<StorageFile::Version>& expected) {
  FileResult<StorageFile> opened =
      StorageFile::Open(files, storage, path, StorageFile::Access::kAppend, expected);
  if (!opened) return opened.problem();
  return std::unique_ptr<AppendFile>(new AppendFile(std::move(*opened)));
}

AppendFile::AppendFile(StorageFile file) : file_(std::move(file)) { pending_.reserve(kWriteBytes); }

FileStatus AppendFile::Plan(std::string_view text, std::uint64_t count) {
  if (failed_) return FileProblem::kFailed;
  planned_text_ = text;
  planned_lines_ = count;
  const std::uint64_t length = count * (text.size() + 2);
  const FileStatus reserved = file_.Reserve(length);
  // Without a reservation a failed write is cut back; a file that cannot be cut back is not begun.
  if (!reserved && !(reserved.problem() == FileProblem::kUnsupported && file_.can_truncate())) {
    return reserved.problem();
  }
  file_.Guard(length, planned_text_);
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
  std::string bytes;
  bytes.reserve(kWriteBytes);
  bytes.swap(pending_);
  const FileStatus wrote = file_.Write(std::move(bytes));
  return wrote ? wrote : Fail(wrote.problem());
}

FileStatus AppendFile::Fail(FileProblem why) {
  CutBack();
  return why;
}

FileStatus AppendFile::Flush() {
  if (failed_) return FileProblem::kFailed;
  if (const FileStatus wrote = WritePending(); !wrote) return wrote;
  const FileStatus checked = file_.Flush();
  return checked ? checked : Fail(checked.problem());
}

FileStatus AppendFile::CutBack() {
  failed_ = true;
  pending_.clear();
  return file_.CutBack();
}

AppendFile::Ending AppendFile::Withdraw() {
  const bool intact = !failed_;  // every write so far went out whole
  const FileStatus cut = CutBack();
  if (cut || written() == 0) return Ending::kUndone;
  // A file system that will not shrink files, or a file another program has mapped, refuses the
  // cut-back; the file is still this append's alone, so it is completed instead.
  if (!intact || cut.problem() == FileProblem::kChanged) return Ending::kPartial;
  failed_ = false;
  const std::uint64_t line_size = planned_text_.size() + 2;
  const std::uint64_t done = written() / line_size;
  if (written() % line_size == 0 && done <= planned_lines_ &&
      PrintLines(planned_text_, planned_lines_ - done) && Flush()) {
    return Ending::kCompleted;
  }
  return Ending::kPartial;
}

FileStatus AppendFile::Close() {
  if (!failed_) WritePending();
  return file_.Close();
}

}  // namespace nestmend
