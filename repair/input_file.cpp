#include "input_file.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

namespace nestmend {
namespace {

// A chunk is scanned for its items in segments, so that a scan from a wrong guess is mended by
// scanning again only the first few: pieces of the digest, so that they give what scanning the
// chunk at once gives.
constexpr std::size_t kSegmentBytes = kDigestPieceBytes;

// Where the reader stands after `byte`, as far as that byte alone tells: after a delimiter
// between items, else inside an unquoted item. Wrong only around quoted items.
ItemReaderState GuessStateAfter(char byte) {
  ItemReaderState state;
  state.in_item = byte != ',' && byte != '\n' && byte != '\r';
  state.swallow_lf = byte == '\r';
  return state;
}

// A stretch of a chunk as its storage thread scanned it, and where the reader stood after it.
struct Segment {
  ChunkItems items;
  ItemReaderState end;
};

// A chunk's buffer holds the byte before it, then the chunk from a 64-byte boundary, where the
// scanner's blocks load fastest.
constexpr std::size_t kAlignment = 64;
std::size_t BufferBytes(std::size_t chunk_bytes) { return chunk_bytes + 2 * kAlignment; }
char* ChunkStart(char* buffer) {
  const auto after_one = reinterpret_cast<std::uintptr_t>(buffer) + 1;
  return buffer + 1 + (kAlignment - after_one % kAlignment) % kAlignment;
}

}  // namespace

// One chunk: read and scanned on a storage thread, then taken by the pass.
struct InputFile::Chunk {
  char* bytes() const { return ChunkStart(buffer.get()); }
  // On the storage thread that read it: the chunk scanned for `scan_for`, in segments.
  void Received(FileResult<std::size_t> got, std::optional<ItemDetail> scan_for);

  std::uint64_t offset = 0;  // of its first byte in the file
  std::size_t wanted = 0;    // its length, as far as the file's length at opening goes
  std::size_t before = 0;    // 1 when the byte before the chunk is read too, just before it
  std::unique_ptr<char[]> buffer;
  std::size_t size = 0;  // read: less than wanted where the file has become shorter
  FileProblem failure = FileProblem::kNone;
  StorageFile::Pending read{};
  ItemReaderState guessed;  // what the byte before it suggests
  std::vector<Segment> segments;       // kItems
  std::optional<ChunkItems> braces;    // kBraces, which need no reader state
};

void InputFile::Chunk::Received(FileResult<std::size_t> got, std::optional<ItemDetail> scan_for) {
  if (!got) {
    failure = got.problem();
    return;
  }
  size = *got > before ? *got - before : 0;
  if (size == 0 || !scan_for) return;
  if (*scan_for == ItemDetail::kBraces) {
    ItemReaderState unused;
    braces = ScanItems(std::span(bytes(), size), unused, ItemDetail::kBraces);
    return;
  }
  guessed = before > 0 ? GuessStateAfter(bytes()[-1]) : ItemReaderState();
  ItemReaderState state = guessed;
  try {
    segments.reserve((size + kSegmentBytes - 1) / kSegmentBytes);
  } catch (const std::bad_alloc&) {
    return;  // no memory for the segments: the pass scans the chunk itself
  }
  for (std::size_t at = 0; at < size; at += kSegmentBytes) {
    Segment& segment = segments.emplace_back();
    segment.items =
        ScanItems(std::span(bytes() + at, std::min(kSegmentBytes, size - at)), state, *scan_for);
    segment.end = state;
  }
}

FileResult<std::unique_ptr<InputFile>> InputFile::Open(FileSystem& files,
                                                       std::span<StorageThread* const> readers,
                                                       const ReadPlan& plan,
                                                       const std::string& path,
                                                       std::optional<ItemDetail> scan_for) {
  FileResult<StorageFile> opened =
      StorageFile::Open(files, *readers.front(), path, StorageFile::Access::kRead);
  if (!opened) return opened.problem();
  return std::unique_ptr<InputFile>(
      new InputFile(readers, std::move(*opened), plan.chunk_bytes, scan_for));
}

InputFile::InputFile(std::span<StorageThread* const> readers, StorageFile file,
                     std::size_t chunk_bytes, std::optional<ItemDetail> scan_for)
    : readers_(readers.begin(), readers.end()),
      file_(std::move(file)),
      chunk_bytes_(chunk_bytes),
      scan_for_(scan_for) {}

void InputFile::ReadAhead() {
  // Each storage thread has one chunk to read after the one it reads now.
  const std::uint64_t size = file_.identity().size;  // at opening: no byte past it is read
  while (!at_end_ && ahead_.size() < readers_.size() + 1) {
    const std::uint64_t offset = next_chunk_ * chunk_bytes_;
    if (offset >= size) break;
    auto chunk = std::make_shared<Chunk>();
    chunk->offset = offset;
    chunk->before = offset > 0 ? 1 : 0;
    chunk->wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(chunk_bytes_, size - offset));
    if (spare_.empty()) {
      try {
        chunk->buffer = std::make_unique_for_overwrite<char[]>(BufferBytes(chunk_bytes_));
      } catch (const std::bad_alloc&) {
        // The memory for one more buffer is refused: the pass goes on with those it has.
        if (ahead_.empty() && !current_) problem_ = FileProblem::kNoMemory;
        return;
      }
    } else {
      chunk->buffer = std::move(spare_.back());
      spare_.pop_back();
    }
    StorageThread& reader = *readers_[static_cast<std::size_t>(next_chunk_ % readers_.size())];
    const std::span<char> into(chunk->bytes() - chunk->before, chunk->before + chunk->wanted);
    chunk->read = file_.Read(reader, offset - chunk->before, into,
                             [chunk, scan_for = scan_for_](FileResult<std::size_t> got) {
                               chunk->Received(got, scan_for);
                             });
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
  if (!file_.Wait(next->read)) {
    problem_ = FileProblem::kFailed;  // abandoned: the file is closed once the read returns
    return false;
  }
  if (next->failure != FileProblem::kNone) {
    problem_ = next->failure;
    return false;
  }
  if (next->size < next->wanted) {
    // The file has become shorter: this is its last chunk, and the reads after it stop.
    file_.StopReading();
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
  if (detail == ItemDetail::kBraces && begin_ == 0 && current_->braces) {
    chunk.items = *current_->braces;
  } else if (detail == ItemDetail::kBraces || begin_ > 0 || current_->segments.empty() ||
             scan_for_ != detail) {
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
