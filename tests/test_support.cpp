#include "test_support.h"

#include "fixit.h"
#include "sequential_files.h"

#include <stdlib.h>
#include <sys/mount.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace nestmend::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "nestmend-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
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

ScratchMount::ScratchMount(const std::string& options) {
  mounted_ = mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) == 0;
}

ScratchMount::~ScratchMount() {
  if (mounted_) umount2(dir_.path().c_str(), MNT_DETACH);
}

bool ScratchMount::RemountReadOnly() {
  return mount("tmpfs", dir_.path().c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::int64_t BraceBalance(const std::string& bytes) {
  std::int64_t balance = 0;
  for (const char byte : bytes) balance += byte == '{' ? 1 : (byte == '}' ? -1 : 0);
  return balance;
}

namespace {
std::string Number(float number) {
  std::ostringstream text;
  text << number;
  return text.str();
}
}  // namespace

std::vector<std::string> LiteralSequence(const std::string& path, bool appendable) {
  SequentialFiles files(SystemFiles());
  std::vector<std::string> items;
  files.OpenForInput(path, kFileNumber);
  for (std::string item;
       files.AtEndOfFile(kFileNumber) == false && files.ReadDataItem(kFileNumber, item);) {
    items.push_back(item);
  }
  std::vector<std::string> sequence = {"STAT=Preparing To Fix", "Pump"};
  for (std::size_t i = 0; i < items.size(); ++i) sequence.emplace_back("Pump");
  sequence.push_back("Max=" + std::to_string(items.size() + 1));
  sequence.insert(sequence.end(), {"STAT=Fixing File", "Pump"});
  std::int64_t balance = 0;
  for (std::size_t record = 1; record <= items.size(); ++record) {
    sequence.emplace_back("Pump");
    for (const char character : items[record - 1]) {
      balance += character == '{' ? 1 : (character == '}' ? -1 : 0);
      sequence.emplace_back("Pump");
      sequence.push_back("Value=" + std::to_string(record));
    }
  }
  sequence.emplace_back("Value=0");
  sequence.push_back("Max=" + std::to_string(balance + 1));
  for (std::int64_t line = 0; line < balance; ++line) {
    sequence.push_back("Value=" + std::to_string(line));
  }
  const std::string summary = balance > 0 && appendable ? std::string(texts::kFixedBefore) +
                                                std::to_string(balance) +
                                                std::string(texts::kFixedAfter)
                                          : std::string(texts::kNothingDone);
  sequence.push_back("STAT=" + summary);
  sequence.emplace_back("Message");
  return sequence;
}

void RecordingSurface::SetStatus(std::string_view caption) {
  status = caption;
  operations.push_back("STAT=" + status);
}

void RecordingSurface::SetProgressMax(float new_maximum) {
  operations.push_back("Max=" + Number(new_maximum));
  if (new_maximum > 0 && value <= new_maximum) maximum = new_maximum;
}

void RecordingSurface::SetProgressValue(float new_value) {
  operations.push_back("Value=" + Number(new_value));
  if (new_value >= 0 && new_value <= maximum) {
    value = new_value;
  } else {
    ++refused_values;
  }
}

bool RecordingSurface::PumpEvents() {
  if (record_pumps) operations.emplace_back("Pump");
  const bool keep_going = !stop_at_pump || pumps < *stop_at_pump;
  ++pumps;
  return keep_going;
}

void RecordingSurface::ShowMessage(std::string_view text) {
  messages.emplace_back(text);
  operations.emplace_back("Message");
}

bool FaultyFileSystem::Fails(Fault operation) {
  const int call = calls_[static_cast<int>(operation)]++;
  return fault == operation && call >= failing_call;
}

std::optional<FileSystem::Handle> FaultyFileSystem::OpenForReading(const std::string& path) {
  if (Fails(Fault::kOpenForReading)) return std::nullopt;
  const auto handle = SystemFiles().OpenForReading(path);
  if (handle) ++open_handles_;
  return handle;
}

std::optional<FileSystem::Handle> FaultyFileSystem::OpenForAppending(const std::string& path) {
  if (before_append) before_append();
  if (Fails(Fault::kOpenForAppending)) return std::nullopt;
  const auto handle = SystemFiles().OpenForAppending(path);
  if (handle) ++open_handles_;
  return handle;
}

std::optional<FileIdentity> FaultyFileSystem::Identify(Handle handle) {
  if (Fails(Fault::kIdentify)) return std::nullopt;
  return SystemFiles().Identify(handle);
}

std::optional<std::size_t> FaultyFileSystem::Read(Handle handle, std::span<char> buffer) {
  const int read = calls_[static_cast<int>(Fault::kRead)];
  if (Fails(Fault::kRead)) return std::nullopt;
  const auto count = SystemFiles().Read(handle, buffer);
  if (count && after_read) after_read(read);
  return count;
}

std::optional<std::size_t> FaultyFileSystem::Write(Handle handle, std::span<const char> bytes) {
  if (write_budget) {
    const std::uint64_t left = *write_budget - std::min(*write_budget, written_);
    if (left == 0) return std::nullopt;
    bytes = bytes.first(static_cast<std::size_t>(std::min<std::uint64_t>(left, bytes.size())));
  }
  const auto count = SystemFiles().Write(handle, bytes);
  if (count) written_ += *count;
  return count;
}

bool FaultyFileSystem::Truncate(Handle handle, std::uint64_t length) {
  if (Fails(Fault::kTruncate)) return false;
  return SystemFiles().Truncate(handle, length);
}

bool FaultyFileSystem::Sync(Handle handle) {
  if (Fails(Fault::kSync)) return false;
  return SystemFiles().Sync(handle);
}

bool FaultyFileSystem::Close(Handle handle) {
  --open_handles_;
  const bool closed = SystemFiles().Close(handle);
  return !Fails(Fault::kClose) && closed;
}

}  // namespace nestmend::testing
