#include "test_support.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "fixit.h"
#include "sequential_files.h"

namespace nestmend::testing {

TempDir::TempDir() {
  static std::mt19937_64 random(std::random_device{}());
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const auto candidate = std::filesystem::temp_directory_path() /
                           ("nestmend-test-" + std::to_string(random() % 1000000000));
    if (std::filesystem::create_directory(candidate)) path_ = candidate;
  }
  if (path_.empty()) throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& bytes) const {
  const std::string file = (path_ / name).string();
  WriteAll(file, bytes);
  return file;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteAll(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::int64_t BraceBalance(const std::string& bytes) {
  std::int64_t balance = 0;
  for (const char byte : bytes) balance += byte == '{' ? 1 : (byte == '}' ? -1 : 0);
  return balance;
}

std::string Lines(std::int64_t count) {
  std::string lines;
  for (std::int64_t line = 0; line < count; ++line) lines += "}\r\n";
  return lines;
}

std::string FixedSummary(std::int64_t errors) {
  return std::string(texts::kFixedBefore) + std::to_string(errors) +
         std::string(texts::kFixedAfter);
}

std::vector<std::string> LiteralSequence(const std::string& path, bool appendable) {
  SequentialFiles files(SystemFiles());
  std::vector<std::string> items;
  files.OpenForInput(path, kFileNumber);
  for (std::string item;
       files.AtEndOfFile(kFileNumber) == false && files.ReadDataItem(kFileNumber, item);) {
    items.push_back(item);
  }
  std::vector<std::string> sequence = {"STAT=Preparing To Fix", "Pump"};
  sequence.insert(sequence.end(), items.size(), "Pump");
  sequence.push_back("Max=" + std::to_string(items.size() + 1));
  sequence.insert(sequence.end(), {"STAT=Fixing File", "Pump"});
  std::int64_t balance = 0;
  for (std::size_t record = 1; record <= items.size(); ++record) {
    sequence.emplace_back("Pump");
    for (const char character : items[record - 1]) {
      balance += character == '{' ? 1 : (character == '}' ? -1 : 0);
      sequence.insert(sequence.end(), {"Pump", "Value=" + std::to_string(record)});
    }
  }
  sequence.insert(sequence.end(), {"Value=0", "Max=" + std::to_string(balance + 1)});
  for (std::int64_t line = 0; line < balance; ++line) {
    sequence.push_back("Value=" + std::to_string(line));
  }
  const bool repaired = balance > 0 && appendable;
  sequence.push_back("STAT=" +
                     (repaired ? FixedSummary(balance) : std::string(texts::kNothingDone)));
  sequence.emplace_back("Message");
  return sequence;
}

namespace {
std::string Number(float number) {
  std::ostringstream text;
  text << number;
  return text.str();
}
}  // namespace

void RecordingSurface::Record(std::string operation) {
  if (expand_) operations.push_back(std::move(operation));
}

void RecordingSurface::SetStatus(std::string_view caption) {
  status = caption;
  Record("STAT=" + status);
}

void RecordingSurface::SetProgressMax(float new_maximum) {
  Record("Max=" + Number(new_maximum));
  if (!(new_maximum > 0)) return;
  maximum = new_maximum;
  value = std::min(value, maximum);
}

void RecordingSurface::SetProgressValue(float new_value) {
  Record("Value=" + Number(new_value));
  const bool accepted = new_value >= 0 && new_value <= maximum;
  value = accepted ? new_value : value;
  refused_values += !accepted;
}

bool RecordingSurface::PumpEvents() {
  Record("Pump");
  stopping = stopping || (stop_at_pump && pumps >= *stop_at_pump);
  ++pumps;
  return !stopping;
}

void RecordingSurface::ShowMessage(std::string_view text) {
  messages.emplace_back(text);
  Record("Message");
}

bool RecordingSurface::PumpEventsRepeatedly(std::uint64_t count) {
  if (expand_) return RepairSurface::PumpEventsRepeatedly(count);
  pumps += count;
  stopping = stopping || (stop_at_pump && pumps > *stop_at_pump);
  return !stopping;
}

bool RecordingSurface::ScanProgress(const ScanBatch& batch) {
  if (expand_) return RepairSurface::ScanProgress(batch);
  if (batch.last_value) SetProgressValue(static_cast<float>(*batch.last_value));
  return true;
}

void RecordingSurface::AppendProgress(std::uint64_t first_line, std::uint64_t count) {
  stopping = stopping || (stop_at_line && first_line + count > *stop_at_line);
  if (expand_) return RepairSurface::AppendProgress(first_line, count);
  if (count > 0) SetProgressValue(static_cast<float>(first_line + count - 1));
}

std::optional<FileSystem::Handle> FaultyFileSystem::OpenForReading(const std::string& path) {
  const auto handle =
      Fails(Fault::kOpenForReading) ? std::nullopt : SystemFiles().OpenForReading(path);
  open_handles += handle.has_value();
  return handle;
}

std::optional<FileSystem::Handle> FaultyFileSystem::OpenForAppending(const std::string& path) {
  if (before_append) before_append();
  const auto handle =
      Fails(Fault::kOpenForAppending) ? std::nullopt : SystemFiles().OpenForAppending(path);
  open_handles += handle.has_value();
  return handle;
}

std::optional<FileIdentity> FaultyFileSystem::Identify(Handle handle) {
  return Fails(Fault::kIdentify) ? std::nullopt : SystemFiles().Identify(handle);
}

std::optional<FileIdentity> FaultyFileSystem::IdentifyPath(const std::string& path) {
  return SystemFiles().IdentifyPath(path);
}

bool FaultyFileSystem::Lock(Handle handle) { return SystemFiles().Lock(handle); }

FileSystem::Reservation FaultyFileSystem::Reserve(Handle handle, std::uint64_t offset,
                                                  std::uint64_t length) {
  return reservation ? *reservation : SystemFiles().Reserve(handle, offset, length);
}

bool FaultyFileSystem::CanTruncate(Handle handle) {
  return truncatable ? *truncatable : SystemFiles().CanTruncate(handle);
}

std::optional<std::size_t> FaultyFileSystem::Read(Handle handle, std::span<char> buffer) {
  const int read = calls_[static_cast<int>(Fault::kRead)];
  if (Fails(Fault::kRead)) return std::nullopt;
  const auto count = SystemFiles().Read(handle, buffer);
  if (count && after_read) after_read(read);
  return count;
}

std::optional<std::size_t> FaultyFileSystem::Write(Handle handle, std::span<const char> bytes) {
  bytes = bytes.first(std::min(bytes.size(), most_per_write));
  if (write_budget) {
    const std::uint64_t left = *write_budget - std::min(*write_budget, written_);
    if (left == 0) return std::nullopt;
    bytes = bytes.first(static_cast<std::size_t>(std::min<std::uint64_t>(left, bytes.size())));
  }
  const auto count = SystemFiles().Write(handle, bytes);
  written_ += count.value_or(0);
  if (count && after_write) after_write(writes_++);
  return count;
}

bool FaultyFileSystem::Truncate(Handle handle, std::uint64_t length) {
  return !Fails(Fault::kTruncate) && SystemFiles().Truncate(handle, length);
}

bool FaultyFileSystem::Sync(Handle handle) {
  if (before_sync) before_sync();
  return !Fails(Fault::kSync) && SystemFiles().Sync(handle);
}

bool FaultyFileSystem::Close(Handle handle) {
  --open_handles;
  const bool closed = SystemFiles().Close(handle);
  return !Fails(Fault::kClose) && closed;
}

}  // namespace nestmend::testing
