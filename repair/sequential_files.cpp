#include "sequential_files.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <thread>
#include <vector>

#include "worker_pool.h"

namespace nestmend {
namespace {

constexpr unsigned kMostThreads = 8;

// One chunk scanned on another thread, from a guessed state.
struct ScanJob {
  std::span<const char> bytes;
  ItemDetail detail = ItemDetail::kItems;
  ItemReaderState guessed;
  ChunkItems items;
  ItemReaderState end;
  std::promise<void> done;
  std::future<void> finished = done.get_future();
};

// A chunk read ahead of the reader.
struct Chunk {
  std::unique_ptr<char[]> bytes;
  std::size_t size = 0;
  ItemReaderState guessed;  // the state the byte before it suggests
  std::shared_ptr<ScanJob> job;
};

// Where the reader stands after `byte`, as far as that byte alone tells: after a delimiter
// between items, else inside an unquoted item. Wrong only around quoted items.
ItemReaderState GuessStateAfter(char byte) {
  ItemReaderState state;
  state.in_item = byte != ',' && byte != '\n' && byte != '\r';
  state.swallow_lf = byte == '\r';
  return state;
}

}  // namespace

struct SequentialFiles::InputFile {
  FileSystem::Handle handle = -1;
  FileIdentity identity;
  std::uint64_t bytes_read = 0;    // from the file so far
  std::uint64_t read_limit = 0;    // the length at opening, or less once the file was seen to end
  std::unique_ptr<char[]> buffer;  // the current chunk
  std::size_t buffer_begin = 0;    // its unconsumed bytes are [buffer_begin, buffer_end)
  std::size_t buffer_end = 0;
  std::shared_ptr<ScanJob> buffer_job;  // the current chunk's scan from another thread, if any
  std::deque<Chunk> ahead;              // read, in file order, after the current one
  std::vector<std::unique_ptr<char[]>> spare;
  bool read_failed = false;          // a read ahead failed: the pass fails once it gets there
  char last_byte = '\n';             // the last byte read so far
  std::optional<ItemDetail> detail;  // what the pass wants of each chunk, once it has said
  ItemReaderState state;
  std::array<char, 4> leading{};
  std::size_t leading_size = 0;

  ~InputFile() {
    // The other threads may still be scanning chunks that are about to be freed.
    if (buffer_job) buffer_job->finished.wait();
    for (const Chunk& chunk : ahead) {
      if (chunk.job) chunk.job->finished.wait();
    }
  }
};

struct SequentialFiles::AppendFile {
  AppendFile(FileSystem::Handle opened, std::string named, std::uint64_t size)
      : handle(opened), path(std::move(named)), original_size(size) {}

  FileSystem::Handle handle = -1;
  std::string path;
  std::uint64_t original_size = 0;
  std::uint64_t written = 0;  // bytes this append has put after the original ones
  bool can_truncate = true;
  std::string pending;
  bool failed = false;
};

namespace {
// The append that the program's end must undo if it comes first. One thread runs repairs.
SequentialFiles* open_append_owner = nullptr;
}  // namespace

SequentialFiles::SequentialFiles(FileSystem& file_system, ReadPlan plan)
    : file_system_(file_system), plan_(plan) {
  if (plan_.threads == 0)
    plan_.threads = std::clamp(std::thread::hardware_concurrency(), 1u, kMostThreads);
  plan_.chunk_bytes = std::max<std::size_t>(plan_.chunk_bytes, 1);
}

SequentialFiles::~SequentialFiles() { CloseAllFiles(); }

void SequentialFiles::UndoOpenAppendAtExit() {
  if (open_append_owner == nullptr) return;
  SequentialFiles& owner = *open_append_owner;
  owner.RollBack(*owner.append_);
  owner.CloseAllFiles();
}

SequentialFiles::InputFile* SequentialFiles::Input(int file_number) const {
  return file_number == kFileNumber ? input_.get() : nullptr;
}

SequentialFiles::AppendFile* SequentialFiles::Append(int file_number) const {
  return file_number == kFileNumber ? append_.get() : nullptr;
}

bool SequentialFiles::OpenForInput(const std::string& path, int file_number) {
  if (file_number != kFileNumber || input_ || append_) return false;
  const std::optional<FileSystem::Handle> handle = file_system_.OpenForReading(path);
  if (!handle) return false;
  const std::optional<FileIdentity> identity = file_system_.Identify(*handle);
  if (!identity || !identity->regular) {
    file_system_.Close(*handle);
    return false;
  }
  if (!pool_ && plan_.threads > 1) pool_ = std::make_unique<WorkerPool>(plan_.threads - 1);
  input_ = std::make_unique<InputFile>();
  input_->handle = *handle;
  input_->identity = *identity;
  input_->read_limit = identity->size;
  return true;
}

void SequentialFiles::ReadAhead(InputFile& file) {
  // One for each other thread to scan, and one more being read; alone, one at a time.
  const std::size_t depth = pool_ ? plan_.threads + 1 : 1;
  while (file.ahead.size() < depth && !file.read_failed && file.bytes_read < file.read_limit) {
    std::unique_ptr<char[]> buffer;
    if (file.spare.empty()) {
      buffer = std::make_unique_for_overwrite<char[]>(plan_.chunk_bytes);
    } else {
      buffer = std::move(file.spare.back());
      file.spare.pop_back();
    }
    const std::uint64_t left = file.read_limit - file.bytes_read;
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(left, plan_.chunk_bytes));
    std::size_t filled = 0;
    // A short read is not the end: only a read of nothing is.
    while (filled < wanted) {
      const std::optional<std::size_t> count =
          file_system_.Read(file.handle, std::span(buffer.get() + filled, wanted - filled));
      if (!count) {
        file.read_failed = true;
        break;
      }
      if (*count == 0) {
        file.read_limit = file.bytes_read + filled;  // the file is shorter than it was
        break;
      }
      filled += *count;
    }
    if (file.read_failed || filled == 0) {
      file.spare.push_back(std::move(buffer));
      break;
    }
    if (file.leading_size < file.leading.size()) {
      const std::size_t take = std::min(file.leading.size() - file.leading_size, filled);
      std::memcpy(file.leading.data() + file.leading_size, buffer.get(), take);
      file.leading_size += take;
    }
    file.bytes_read += filled;
    Chunk& chunk = file.ahead.emplace_back();
    chunk.guessed = GuessStateAfter(file.last_byte);
    file.last_byte = buffer[filled - 1];
    chunk.bytes = std::move(buffer);
    chunk.size = filled;
  }
  StartScans(file);
}

void SequentialFiles::StartScans(InputFile& file) {
  if (!pool_ || !file.detail) return;
  for (Chunk& chunk : file.ahead) {
    if (chunk.job) continue;
    chunk.job = std::make_shared<ScanJob>();
    chunk.job->bytes = std::span<const char>(chunk.bytes.get(), chunk.size);
    chunk.job->detail = *file.detail;
    chunk.job->guessed = chunk.guessed;
    pool_->Submit([job = chunk.job] {
      job->end = job->guessed;
      job->items = ScanItems(job->bytes, job->end, job->detail);
      job->done.set_value();
    });
  }
}

bool SequentialFiles::Refill(InputFile& file) {
  // Alone, the reader reads each chunk into the buffer it has just used, which the processor's
  // cache still holds; with other threads scanning, it reads ahead into buffers of their own.
  if (!pool_ && file.buffer) file.spare.push_back(std::move(file.buffer));
  ReadAhead(file);
  if (file.buffer) file.spare.push_back(std::move(file.buffer));
  if (file.buffer_job) file.buffer_job->finished.wait();
  file.buffer_job.reset();
  file.buffer_begin = 0;
  file.buffer_end = 0;
  if (file.ahead.empty()) return !file.read_failed;
  Chunk& next = file.ahead.front();
  file.buffer = std::move(next.bytes);
  file.buffer_end = next.size;
  file.buffer_job = std::move(next.job);
  file.ahead.pop_front();
  if (pool_) ReadAhead(file);  // the next chunks are read and scanned while this one is used
  return true;
}

std::optional<bool> SequentialFiles::AtEndOfFile(int file_number) {
  InputFile* file = Input(file_number);
  if (!file) return std::nullopt;
  if (file->buffer_begin < file->buffer_end) return false;
  if (file->ahead.empty() && !file->read_failed && file->bytes_read >= file->read_limit) {
    return true;
  }
  if (!Refill(*file)) return std::nullopt;
  return file->buffer_begin == file->buffer_end;
}

bool SequentialFiles::ReadDataItem(int file_number, std::string& item) {
  InputFile* file = Input(file_number);
  if (!file) return false;
  std::string text;
  bool begun = false;
  while (true) {
    const std::optional<bool> at_end = AtEndOfFile(file_number);
    if (!at_end) return false;
    if (*at_end) break;  // the end of the file ends the last item
    const char byte = file->buffer[file->buffer_begin];
    ItemReaderState state = file->state;
    bool started = false;
    const ByteRole role = StepItemReader(state, byte, started);
    if (begun && started) break;  // the next item begins here: leave it unread
    file->state = state;
    ++file->buffer_begin;
    if (role == ByteRole::kLineEndTail && begun) break;
    begun = begun || started;
    if (role == ByteRole::kCharacter) text.push_back(byte);
    // After a CR, one more byte is looked at: an LF there belongs to the same line end.
    if (role == ByteRole::kDelimiter && byte != '\r') break;
  }
  if (!begun) return false;
  file->state.in_item = false;
  file->state.quoted = false;
  item = std::move(text);
  return true;
}

bool SequentialFiles::ReadDataItems(int file_number, ItemDetail detail, ItemChunk& chunk) {
  InputFile* file = Input(file_number);
  if (!file) return false;
  file->detail = detail;
  StartScans(*file);
  const std::optional<bool> at_end = AtEndOfFile(file_number);
  if (!at_end || *at_end) return false;
  chunk.bytes = std::span<const char>(file->buffer.get() + file->buffer_begin,
                                      file->buffer_end - file->buffer_begin);
  chunk.state_before = file->state;
  const std::shared_ptr<ScanJob>& job = file->buffer_job;
  if (job && file->buffer_begin == 0 && job->detail == detail &&
      (job->finished.wait(), job->guessed == file->state)) {
    chunk.items = job->items;
    file->state = job->end;
  } else {
    chunk.items = ScanItems(chunk.bytes, file->state, detail);
  }
  file->buffer_begin = file->buffer_end;
  return true;
}

std::optional<FileIdentity> SequentialFiles::InputIdentity(int file_number) const {
  const InputFile* file = Input(file_number);
  if (!file) return std::nullopt;
  return file->identity;
}

std::string_view SequentialFiles::LeadingBytes(int file_number) const {
  const InputFile* file = Input(file_number);
  if (!file) return {};
  return {file->leading.data(), file->leading_size};
}

bool SequentialFiles::OpenForAppend(const std::string& path, int file_number,
                                    const std::optional<FileIdentity>& expected) {
  if (file_number != kFileNumber || input_ || append_) return false;
  const std::optional<FileSystem::Handle> handle = file_system_.OpenForAppending(path);
  if (!handle) return false;
  // The check and the append are one step under the lock: whoever appends next sees the change.
  const bool locked = file_system_.Lock(*handle);
  const std::optional<FileIdentity> identity =
      locked ? file_system_.Identify(*handle) : std::nullopt;
  if (!identity || !identity->regular || (expected && *identity != *expected)) {
    file_system_.Close(*handle);
    return false;
  }
  append_ = std::make_unique<AppendFile>(*handle, path, identity->size);
  append_->can_truncate = file_system_.CanTruncate(*handle);
  append_->pending.reserve(kWriteBytes);
  static const bool undo_registered = std::atexit(UndoOpenAppendAtExit) == 0;
  static_cast<void>(undo_registered);
  open_append_owner = this;
  return true;
}

bool SequentialFiles::Reserve(int file_number, std::uint64_t bytes) {
  AppendFile* file = Append(file_number);
  if (!file || file->failed) return false;
  switch (file_system_.Reserve(file->handle, file->original_size + file->written, bytes)) {
    case FileSystem::Reservation::kReserved:
      return true;
    case FileSystem::Reservation::kUnsupported:
      return file->can_truncate;
    case FileSystem::Reservation::kNoRoom:
      return false;
  }
  return false;
}

bool SequentialFiles::CanCutBack(int file_number) const {
  const AppendFile* file = Append(file_number);
  return file && file->can_truncate;
}

bool SequentialFiles::RollBack(AppendFile& file) {
  file.failed = true;
  file.pending.clear();
  if (!file.can_truncate) return false;
  // Bytes that another program added since are not this append's to remove.
  const std::optional<FileIdentity> now = file_system_.Identify(file.handle);
  if (!now || now->size != file.original_size + file.written) return false;
  return file_system_.Truncate(file.handle, file.original_size) && file_system_.Sync(file.handle);
}

bool SequentialFiles::CutBack(int file_number) {
  AppendFile* file = Append(file_number);
  return file && RollBack(*file);
}

bool SequentialFiles::WritePending(AppendFile& file) {
  std::size_t written = 0;
  while (written < file.pending.size()) {
    const std::optional<std::size_t> count = file_system_.Write(
        file.handle, std::span(file.pending.data() + written, file.pending.size() - written));
    if (!count) {
      file.written += written;
      RollBack(file);
      return false;
    }
    written += *count;
  }
  file.written += written;
  file.pending.clear();
  return true;
}

bool SequentialFiles::PrintLine(int file_number, std::string_view text) {
  return PrintLines(file_number, text, 1);
}

bool SequentialFiles::PrintLines(int file_number, std::string_view text, std::uint64_t count) {
  AppendFile* file = Append(file_number);
  if (!file || file->failed) return false;
  const std::size_t line_size = text.size() + 2;
  for (std::uint64_t line = 0; line < count; ++line) {
    // Each write carries whole lines, so an interrupted one tears no line it wrote.
    if (!file->pending.empty() && file->pending.size() + line_size > kWriteBytes &&
        !WritePending(*file)) {
      return false;
    }
    file->pending.append(text);
    file->pending.append("\r\n");
  }
  return true;
}

bool SequentialFiles::FlushToDisk(int file_number, const std::function<void()>& while_waiting) {
  AppendFile* file = Append(file_number);
  if (!file || file->failed || !WritePending(*file)) return false;
  bool synced = false;
  if (pool_ && while_waiting) {
    // A disk can take a long while to confirm: the window goes on answering meanwhile.
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    pool_->Submit([&] { done.set_value(file_system_.Sync(file->handle)); });
    while (result.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready) {
      while_waiting();
    }
    synced = result.get();
  } else {
    synced = file_system_.Sync(file->handle);
  }
  // Another program may have cut, extended or replaced the file meanwhile: then the lines are
  // not where a repair needs them.
  if (!synced) {
    RollBack(*file);
    return false;
  }
  const std::optional<FileIdentity> written = file_system_.Identify(file->handle);
  const std::optional<FileIdentity> named = file_system_.IdentifyPath(file->path);
  if (!written || !named || written->size != file->original_size + file->written ||
      named->device != written->device || named->inode != written->inode) {
    RollBack(*file);
    return false;
  }
  return true;
}

void SequentialFiles::CloseAllFiles() {
  if (input_) {
    file_system_.Close(input_->handle);
    input_.reset();
  }
  if (append_) {
    if (!append_->failed) WritePending(*append_);
    file_system_.Close(append_->handle);
    append_.reset();
    open_append_owner = nullptr;
  }
}

}  // namespace nestmend
