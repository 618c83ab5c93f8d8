#include "input_file.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

namespace nestmend {
namespace {

using Patience = StorageThread::Patience;

// A chunk is scanned in segments of this size, so that a scan from a wrong guess is mended by
// scanning again only the first few.
constexpr std::size_t kSegmentBytes = std::size_t{16} << 10;

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

// A stretch of a chunk as its storage thread scanned it, and where the reader stood after it.
struct Segment {
  ChunkItems items;
  ItemReaderState end;
};

}  // namespace

// What the pass shares with its reads on the storage threads.
struct InputFile::Shared {
  Shared(FileSystem& file_system, const Opened& opened, std::size_t bytes_per_chunk,
         std::optional<ItemDetail> scan)
      : files(file_system),
        handle(opened.handle),
        chunk_bytes(bytes_per_chunk),
        size(opened.identity.size),
        scan_for(scan) {}

  FileSystem& files;
  const FileSystem::Handle handle;
  const std::size_t chunk_bytes;
  const std::uint64_t size;  // at opening: no byte past it is read
  const std::optional<ItemDetail> scan_for;
  std::atomic<bool> cancelled{false};
  std::atomic<std::size_t> holders{0};  // storage threads yet to let go of the file
};

// One chunk: read and scanned on a storage thread, then taken by the pass.
struct InputFile::Chunk {
  const char* bytes() const { return buffer.get() + before; }
  void Read(Shared& shared);

  std::uint64_t offset = 0;  // of its first byte in the file
  std::size_t wanted = 0;    // its length, as far as the file's length at opening goes
  std::size_t before = 0;    // 1 when the buffer begins with the byte before the chunk
  std::unique_ptr<char[]> buffer;
  std::size_t size = 0;  // read: less than wanted where the file has become shorter
  FileProblem failure = FileProblem::kNone;
  StorageThread* reader = nullptr;
  StorageThread::Ticket ticket = 0;
  ItemReaderState guessed;  // what the byte before it suggests
  std::vector<Segment> segments;
};

void InputFile::Chunk::Read(Shared& shared) {
  const std::size_t total = before + wanted;
  std::size_t got = 0;
  // A short read is not the end: only a read of nothing is.
  while (got < total && !shared.cancelled) {
    const FileResult<std::size_t> count = shared.files.Read(
        shared.handle, offset - before + got, std::span(buffer.get() + got, total - got));
    if (!count) {
      failure = count.problem();
      return;
    }
    if (*count == 0) break;
    got += *count;
  }
  size = got > before ? got - before : 0;
  if (size == 0 || !shared.scan_for || shared.cancelled) return;
  guessed = before > 0 ? GuessStateAfter(buffer[0]) : ItemReaderState();
  ItemReaderState state = guessed;
  try {
    segments.reserve((size + kSegmentBytes - 1) / kSegmentBytes);
  } catch (const std::bad_alloc&) {
    return;  // no memory for the segments: the pass scans the chunk itself
  }
  for (std::size_t at = 0; at < size; at += kSegmentBytes) {
    Segment& segment = segments.emplace_back();
    segment.items = ScanItems(std::span(bytes() + at, std::min(kSegmentBytes, size - at)), state,
                              *shared.scan_for);
    segment.end = state;
  }
}

FileResult<std::unique_ptr<InputFile>> InputFile::Open(FileSystem& files,
                                                       std::span<StorageThread* const> readers,
                                                       const ReadPlan& plan,
                                                       const std::string& path,
                                                       std::optional<ItemDetail> scan_for) {
  StorageThread& storage = *readers.front();
  auto opened = std::make_shared<std::optional<FileResult<Opened>>>();
  const StorageThread::Ticket ticket =
      storage.Post([&files, path, opened] { *opened = OpenPlainFile(files, path); });
  if (!storage.Await(ticket, Patience::kUntilStopped)) {
    storage.Post([&files, opened] {
      if (**opened) files.Close((**opened)->handle);
    });
    return FileProblem::kFailed;
  }
  const FileResult<Opened>& result = **opened;
  if (!result) return result.problem();
  auto shared = std::make_shared<Shared>(files, *result, plan.chunk_bytes, scan_for);
  return std::unique_ptr<InputFile>(new InputFile(readers, std::move(shared), result->identity));
}

InputFile::InputFile(std::span<StorageThread* const> readers, std::shared_ptr<Shared> shared,
                     FileIdentity identity)
    : readers_(readers.begin(), readers.end()), shared_(std::move(shared)), identity_(identity) {}

InputFile::~InputFile() { Release(); }

void InputFile::Release() {
  if (released_) return;
  released_ = true;
  shared_->cancelled = true;
  // Each storage thread lets go once the reads handed to it before are done; the last closes.
  shared_->holders = readers_.size();
  for (StorageThread* reader : readers_) {
    reader->Post([shared = shared_] {
      if (--shared->holders == 0) shared->files.Close(shared->handle);
    });
  }
}

FileStatus InputFile::Close() {
  shared_->cancelled = true;
  // No read may be out when the handle is closed: it could read another file by then.
  for (const std::shared_ptr<Chunk>& chunk : ahead_) {
    if (!chunk->reader->Await(chunk->ticket, Patience::kUntilStopped)) {
      Release();
      return FileProblem::kFailed;
    }
  }
  ahead_.clear();
  released_ = true;
  const std::optional<FileStatus> closed = readers_.front()->Run(
      [shared = shared_] { return shared->files.Close(shared->handle); }, Patience::kUntilStopped);
  return closed ? *closed : FileProblem::kFailed;
}

void InputFile::ReadAhead() {
  // Each storage thread has one chunk to read after the one it reads now.
  while (!at_end_ && ahead_.size() < readers_.size() + 1) {
    const std::uint64_t offset = next_chunk_ * shared_->chunk_bytes;
    if (offset >= shared_->size) break;
    auto chunk = std::make_shared<Chunk>();
    chunk->offset = offset;
    chunk->before = offset > 0 ? 1 : 0;
    chunk->wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>(shared_->chunk_bytes, shared_->size - offset));
    if (spare_.empty()) {
      try {
        chunk->buffer = std::make_unique_for_overwrite<char[]>(shared_->chunk_bytes + 1);
      } catch (const std::bad_alloc&) {
        // The memory for one more buffer is refused: the pass goes on with those it has.
        if (ahead_.empty() && !current_) problem_ = FileProblem::kNoMemory;
        return;
      }
    } else {
      chunk->buffer = std::move(spare_.back());
      spare_.pop_back();
    }
    chunk->reader = readers_[static_cast<std::size_t>(next_chunk_ % readers_.size())];
    chunk->ticket = chunk->reader->Post([shared = shared_, chunk] { chunk->Read(*shared); });
    ahead_.push_back(std::move(chunk));
    ++next_chunk_;
  }
}

bool InputFile::Refill() {
  if (current_) spare_.push_back(std::move(current_->buffer));
  current_.reset();
  begin_ = end_ = 0;
  ReadAhead();
  if (problem_ != FileProblem::kNone) return false;
  if (ahead_.empty()) {
    at_end_ = true;
    return true;
  }
  std::shared_ptr<Chunk> next = std::move(ahead_.front());
  ahead_.pop_front();
  if (!next->reader->Await(next->ticket, Patience::kUntilStopped)) {
    ahead_.push_front(std::move(next));  // still out: Release waits for it
    problem_ = FileProblem::kFailed;
    return false;
  }
  if (next->failure != FileProblem::kNone) {
    problem_ = next->failure;
    return false;
  }
  if (next->size < next->wanted) {
    // The file has become shorter: this is its last chunk. (The reads after it, still out,
    // are waited for when the file is closed.)
    shared_->cancelled = true;
    at_end_ = true;
    if (next->size == 0) return true;
  }
  current_ = std::move(next);
  end_ = current_->size;
  const std::size_t take = std::min(leading_.size() - leading_size_, end_);
  std::memcpy(leading_.data() + leading_size_, current_->bytes(), take);
  leading_size_ += take;
  ReadAhead();  // the next chunks are read and scanned while this one is used
  return true;
}

std::optional<bool> InputFile::AtEnd() {
  if (problem_ != FileProblem::kNone) return std::nullopt;
  if (begin_ < end_) return false;
  if (at_end_) return true;
  if (!Refill()) return std::nullopt;
  return begin_ == end_;
}

bool InputFile::ReadItem(std::string& item) {
  std::string text;
  bool begun = false;
  while (true) {
    const std::optional<bool> at_end = AtEnd();
    if (!at_end) return false;
    if (*at_end) break;  // the end of the file ends the last item
    const char byte = current_->bytes()[begin_];
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
  chunk.bytes = std::span<const char>(current_->bytes() + begin_, end_ - begin_);
  chunk.state_before = state_;
  chunk.items = {};
  if (begin_ > 0 || current_->segments.empty() || shared_->scan_for != detail) {
    chunk.items = ScanItems(chunk.bytes, state_, detail);
  } else {
    // The storage thread's segments serve from where its reading and this one agree.
    bool agree = state_ == current_->guessed;
    for (std::size_t index = 0; index < current_->segments.size(); ++index) {
      const Segment& segment = current_->segments[index];
      if (!agree) {
        const std::size_t at = index * kSegmentBytes;
        const std::span<const char> bytes(current_->bytes() + at,
                                          std::min(kSegmentBytes, end_ - at));
        chunk.items = Combine(chunk.items, ScanItems(bytes, state_, detail));
        agree = state_ == segment.end;
        continue;
      }
      chunk.items = Combine(chunk.items, segment.items);
      state_ = segment.end;
    }
  }
  begin_ = end_;
  return true;
}

}  // namespace nestmend
