#include "sequential_files.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace nestmend {
namespace {

constexpr unsigned kMostThreads = 8;

// The append that the program's end must settle if it comes first. One thread runs repairs.
SequentialFiles* open_append_owner = nullptr;

}  // namespace

namespace {

std::vector<std::unique_ptr<StorageThread>> StartThreads(ReadPlan& plan,
                                                         const StorageThread::Waiting& waiting) {
  if (plan.threads == 0) {
    plan.threads = std::clamp(std::thread::hardware_concurrency(), 1u, kMostThreads);
  }
  plan.chunk_bytes = std::max<std::size_t>(plan.chunk_bytes, 1);
  std::vector<std::unique_ptr<StorageThread>> threads;
  threads.push_back(std::make_unique<StorageThread>(waiting));
  // More only as long as the system gives them: the run goes on with those it has.
  while (threads.size() < plan.threads && threads.back()->started()) {
    threads.push_back(std::make_unique<StorageThread>(waiting));
  }
  if (threads.size() > 1 && !threads.back()->started()) threads.pop_back();
  return threads;
}

}  // namespace

SequentialFiles::SequentialFiles(FileSystem& file_system, ReadPlan plan,
                                 const StorageThread::Waiting& waiting)
    : file_system_(file_system),
      plan_(plan),
      threads_(StartThreads(plan_, waiting)),
      storage_(*threads_.front()) {
  for (const std::unique_ptr<StorageThread>& thread : threads_) readers_.push_back(thread.get());
}

SequentialFiles::~SequentialFiles() {
  CloseAllFiles();
  // Once one call was abandoned, no thread waits for the calls still out.
  const bool abandoned = std::any_of(threads_.begin(), threads_.end(),
                                     [](const auto& thread) { return thread->abandoned(); });
  if (abandoned) {
    for (const std::unique_ptr<StorageThread>& thread : threads_) thread->Abandon();
  }
}

void SequentialFiles::UndoOpenAppendAtExit() {
  if (open_append_owner == nullptr) return;
  SequentialFiles& owner = *open_append_owner;
  owner.storage_.WaitQuietly();  // the window is gone: nothing to keep answering
  owner.append_->Withdraw();
  owner.CloseAllFiles();
}

bool SequentialFiles::Failed(FileProblem problem) {
  problem_ = problem;
  return false;
}

InputFile* SequentialFiles::Input(int file_number) const {
  return file_number == kFileNumber ? input_.get() : nullptr;
}

AppendFile* SequentialFiles::Append(int file_number) const {
  return file_number == kFileNumber ? append_.get() : nullptr;
}

bool SequentialFiles::OpenForInput(const std::string& path, int file_number,
                                   std::optional<ItemDetail> scan_for) {
  if (file_number != kFileNumber || input_ || append_) return Failed(FileProblem::kFailed);
  FileResult<std::unique_ptr<InputFile>> opened =
      InputFile::Open(file_system_, readers_, plan_, path, scan_for);
  if (!opened) return Failed(opened.problem());
  input_ = std::move(*opened);
  return true;
}

std::optional<bool> SequentialFiles::AtEndOfFile(int file_number) {
  InputFile* file = Input(file_number);
  if (!file) {
    problem_ = FileProblem::kFailed;
    return std::nullopt;
  }
  const std::optional<bool> at_end = file->AtEnd();
  if (!at_end) problem_ = file->problem();
  return at_end;
}

bool SequentialFiles::ReadDataItem(int file_number, std::string& item) {
  InputFile* file = Input(file_number);
  if (!file) return Failed(FileProblem::kFailed);
  return file->ReadItem(item) || Failed(file->problem());
}

bool SequentialFiles::ReadDataItems(int file_number, ItemDetail detail, ItemChunk& chunk) {
  InputFile* file = Input(file_number);
  if (!file) return Failed(FileProblem::kFailed);
  return file->ReadChunk(detail, chunk) || Failed(file->problem());
}

std::optional<FileIdentity> SequentialFiles::InputIdentity(int file_number) const {
  const InputFile* file = Input(file_number);
  if (!file) return std::nullopt;
  return file->identity();
}

std::optional<StorageFile::Version> SequentialFiles::InputVersion(int file_number) {
  InputFile* file = Input(file_number);
  std::optional<std::string> ends = file ? file->Ends() : std::nullopt;
  if (!ends) {
    problem_ = FileProblem::kFailed;
    return std::nullopt;
  }
  return StorageFile::Version{file->identity(), std::move(*ends)};
}

std::string_view SequentialFiles::LeadingBytes(int file_number) const {
  const InputFile* file = Input(file_number);
  return file ? file->LeadingBytes() : std::string_view();
}

bool SequentialFiles::OpenForAppend(const std::string& path, int file_number,
                                    const std::optional<StorageFile::Version>& expected) {
  if (file_number != kFileNumber || input_ || append_) return Failed(FileProblem::kFailed);
  FileResult<std::unique_ptr<AppendFile>> opened =
      AppendFile::Open(file_system_, storage_, path, expected);
  if (!opened) return Failed(opened.problem());
  append_ = std::move(*opened);
  static const bool settle_registered = std::atexit(UndoOpenAppendAtExit) == 0;
  static_cast<void>(settle_registered);
  open_append_owner = this;
  return true;
}

bool SequentialFiles::PlanLines(int file_number, std::string_view text, std::uint64_t count) {
  AppendFile* file = Append(file_number);
  if (!file) return Failed(FileProblem::kFailed);
  const FileStatus planned = file->Plan(text, count);
  return planned || Failed(planned.problem());
}

bool SequentialFiles::PrintLine(int file_number, std::string_view text) {
  return PrintLines(file_number, text, 1);
}

bool SequentialFiles::PrintLines(int file_number, std::string_view text, std::uint64_t count) {
  AppendFile* file = Append(file_number);
  if (!file) return Failed(FileProblem::kFailed);
  const FileStatus printed = file->PrintLines(text, count);
  return printed || Failed(printed.problem());
}

bool SequentialFiles::FlushToDisk(int file_number) {
  AppendFile* file = Append(file_number);
  if (!file) return Failed(FileProblem::kFailed);
  const FileStatus flushed = file->Flush();
  return flushed || Failed(flushed.problem());
}

AppendFile::Ending SequentialFiles::Withdraw(int file_number) {
  AppendFile* file = Append(file_number);
  return file ? file->Withdraw() : AppendFile::Ending::kUndone;
}

std::uint64_t SequentialFiles::BytesAppended(int file_number) const {
  const AppendFile* file = Append(file_number);
  return file ? file->written() : 0;
}

void SequentialFiles::CloseAllFiles() {
  if (input_) {
    input_->Close();
    input_.reset();
  }
  if (append_) {
    append_->Close();
    append_.reset();
    open_append_owner = nullptr;
  }
}

}  // namespace nestmend
