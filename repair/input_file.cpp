#include "input_file.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>

#include "worker_pool.h"

namespace nestmend {
namespace {

// Where the reader stands after `byte`, as far as that byte alone tells: after a delimiter
// between items, else inside an unquoted item. Wrong only around quoted items.
ItemReaderState GuessStateAfter(char byte) {
  ItemReaderState state;
  state.in_item = byte != ',' && byte != '\n' && byte != '\r';
  state.swallow_lf = byte == '\r';
  return state;
}

struct Opened {
  FileSystem::Handle handle;
  FileIdentity identity;
};

FileResult<Opened> OpenPlainFile(FileSystem& files, const std::string& path) {
  const FileResult<FileSystem::Handle> handle = files.OpenForReading(path);
  if (!handle) return handle.problem();
  const FileResult<FileIdentity> identity = files.Identify(*handle);
  if (!identity || !identity->regular()) {
    files.Close(*handle);
    return identity ? ProblemOf(identity->kind) : identity.problem();
  }
  return Opened{*handle, *identity};
}

}  // namespace

// What the reads on the storage thread share with the pass. Only that thread reads the file and
// changes these; the pass looks at them once it has waited for a read.
struct InputFile::Reading {
  Reading(FileSystem& file_system, const Opened& opened, std::shared_ptr<WorkerPool> workers,
          std::size_t bytes_per_chunk, std::optional<ItemDetail> scan)
      : files(file_system),
        handle(opened.handle),
        pool(std::move(workers)),
        chunk_bytes(bytes_per_chunk),
        scan_for(scan),
        read_limit(opened.identity.size) {}

  void Read(const std::shared_ptr<Chunk>& chunk);

  FileSystem& files;
  const FileSystem::Handle handle;
  const std::shared_ptr<WorkerPool> pool;
  const std::size_t chunk_bytes;
  const std::optional<ItemDetail> scan_for;
  std::atomic<bool> cancelled{false};
  std::uint64_t bytes_read = 0;
  std::uint64_t read_limit;  // the length at opening, or less once the file was seen to end
  FileProblem failure = FileProblem::kNone;  // a read failed: no more are made
  char last_byte = '\n';
  std::array<char, 4> leading{};
  std::size_t leading_size = 0;
};

// One chunk: read on the storage thread, then perhaps scanned on the pool. Each holds it while
// it works on it.
struct InputFile::Chunk {
  explicit Chunk(std::unique_ptr<char[]> buffer) : bytes(std::move(buffer)) {}

  std::unique_ptr<char[]> bytes;
  std::size_t size = 0;
  FileProblem failure = FileProblem::kNone;
  ItemReaderState guessed;  // where the byte before it suggests the reader stands
  StorageThread::Ticket ticket = 0;
  bool scanning = false;  // a scan from `guessed` was started
  ChunkItems items;
  ItemReaderState end;
  std::promise<void> scanned;
  std::future<void> scan = scanned.get_future();
};

void InputFile::Reading::Read(const std::shared_ptr<Chunk>& shared) {
  Chunk& chunk = *shared;
  chunk.failure = failure;
  if (cancelled || failure != FileProblem::kNone || bytes_read >= read_limit) return;
  const auto wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(read_limit - bytes_read, chunk_bytes));
  // A short read is not the end: only a read of nothing is.
  while (chunk.size < wanted && !cancelled) {
    const FileResult<std::size_t> count =
        files.Read(handle, std::span(chunk.bytes.get() + chunk.size, wanted - chunk.size));
    if (!count) {
      failure = chunk.failure = count.problem();
      return;
    }
    if (*count == 0) {
      read_limit = bytes_read + chunk.size;  // the file is shorter than it was
      break;
    }
    chunk.size += *count;
  }
  if (chunk.size == 0) return;
  const std::size_t take = std::min(leading.size() - leading_size, chunk.size);
  std::memcpy(leading.data() + leading_size, chunk.bytes.get(), take);
  leading_size += take;
  bytes_read += chunk.size;
  chunk.guessed = GuessStateAfter(last_byte);
  last_byte = chunk.bytes[chunk.size - 1];
  if (!pool || !scan_for) return;
  chunk.scanning = true;
  pool->Submit([shared, detail = *scan_for] {
    Chunk& scanned = *shared;
    scanned.end = scanned.guessed;
    scanned.items = ScanItems(std::span(scanned.bytes.get(), scanned.size), scanned.end, detail);
    scanned.scanned.set_value();
  });
}

FileResult<std::unique_ptr<InputFile>> InputFile::Open(FileSystem& files, StorageThread& storage,
                                                       std::shared_ptr<WorkerPool> pool,
                                                       const ReadPlan& plan,
                                                       const std::string& path,
                                                       std::optional<ItemDetail> scan_for) {
  auto opened = std::make_shared<std::optional<FileResult<Opened>>>();
  const StorageThread::Ticket ticket =
      storage.Post([&files, path, opened] { *opened = OpenPlainFile(files, path); });
  if (!storage.Await(ticket, StorageThread::Patience::kUntilStopped)) {
    storage.Post([&files, opened] {
      if (**opened) files.Close((**opened)->handle);
    });
    return FileProblem::kFailed;
  }
  const FileResult<Opened>& result = **opened;
  if (!result) return result.problem();
  // With other threads scanning, one chunk ahead for each and one more being read.
  const std::size_t depth = pool ? pool->size() + 2 : 2;
  auto reading =
      std::make_shared<Reading>(files, *result, std::move(pool), plan.chunk_bytes, scan_for);
  return std::unique_ptr<InputFile>(
      new InputFile(storage, std::move(reading), result->identity, depth));
}

InputFile::InputFile(StorageThread& storage, std::shared_ptr<Reading> reading,
                     FileIdentity identity, std::size_t depth)
    : storage_(storage), reading_(std::move(reading)), identity_(identity), depth_(depth) {}

InputFile::~InputFile() {
  if (closed_) return;
  reading_->cancelled = true;
  storage_.Post([reading = reading_] { reading->files.Close(reading->handle); });
}

FileStatus InputFile::Close() {
  closed_ = true;
  reading_->cancelled = true;
  const std::optional<FileStatus> closed =
      storage_.Run([reading = reading_] { return reading->files.Close(reading->handle); },
                   StorageThread::Patience::kUntilStopped);
  return closed ? *closed : FileProblem::kFailed;
}

std::string_view InputFile::LeadingBytes() const {
  return {reading_->leading.data(), reading_->leading_size};
}

void InputFile::ReadAhead() {
  while (!at_end_ && ahead_.size() < depth_) {
    std::unique_ptr<char[]> buffer;
    if (spare_.empty()) {
      buffer = std::make_unique_for_overwrite<char[]>(reading_->chunk_bytes);
    } else {
      buffer = std::move(spare_.back());
      spare_.pop_back();
    }
    auto chunk = std::make_shared<Chunk>(std::move(buffer));
    chunk->ticket = storage_.Post([reading = reading_, chunk] { reading->Read(chunk); });
    ahead_.push_back(std::move(chunk));
  }
}

bool InputFile::Refill() {
  if (current_) {
    // Its buffer is read into again, unless a scan from a wrong guess still runs on it.
    if (!current_->scanning ||
        current_->scan.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
      spare_.push_back(std::move(current_->bytes));
    }
    current_.reset();
  }
  begin_ = end_ = 0;
  ReadAhead();
  if (ahead_.empty()) return true;
  std::shared_ptr<Chunk> next = ahead_.front();
  if (!storage_.Await(next->ticket, StorageThread::Patience::kUntilStopped)) {
    problem_ = FileProblem::kFailed;
    return false;
  }
  ahead_.pop_front();
  if (next->failure != FileProblem::kNone) {
    problem_ = next->failure;
    ahead_.clear();
    return false;
  }
  if (next->size == 0) {  // and so are the chunks asked for after it
    at_end_ = true;
    ahead_.clear();
    return true;
  }
  current_ = std::move(next);
  end_ = current_->size;
  ReadAhead();  // the next chunks are read and scanned while this one is used
  return true;
}

std::optional<bool> InputFile::AtEnd() {
  if (closed_ || problem_ != FileProblem::kNone) return std::nullopt;
  if (begin_ < end_) return false;
  if (!at_end_ && !Refill()) return std::nullopt;
  return at_end_;
}

bool InputFile::ReadItem(std::string& item) {
  std::string text;
  bool begun = false;
  while (true) {
    const std::optional<bool> at_end = AtEnd();
    if (!at_end) return false;
    if (*at_end) break;  // the end of the file ends the last item
    const char byte = current_->bytes[begin_];
    ItemReaderState state = state_;
    bool started = false;
    const ByteRole role = StepItemReader(state, byte, started);
    if (begun && started) break;  // the next item begins here: leave it unread
    state_ = state;
    ++begin_;
    if (role == ByteRole::kLineEndTail && begun) break;
    begun = begun || started;
    if (role == ByteRole::kCharacter) text.push_back(byte);
    // After a CR, one more byte is looked at: an LF there belongs to the same line end.
    if (role == ByteRole::kDelimiter && byte != '\r') break;
  }
  if (!begun) return false;
  state_.in_item = false;
  state_.quoted = false;
  item = std::move(text);
  return true;
}

bool InputFile::ReadChunk(ItemDetail detail, ItemChunk& chunk) {
  const std::optional<bool> at_end = AtEnd();
  if (!at_end || *at_end) return false;
  chunk.bytes = std::span<const char>(current_->bytes.get() + begin_, end_ - begin_);
  chunk.state_before = state_;
  if (begin_ == 0 && current_->scanning && reading_->scan_for == detail &&
      (current_->scan.wait(), current_->guessed == state_)) {
    chunk.items = current_->items;
    state_ = current_->end;
  } else {
    chunk.items = ScanItems(chunk.bytes, state_, detail);
  }
  begin_ = end_;
  return true;
}

}  // namespace nestmend
