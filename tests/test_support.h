// Helpers shared by the tests: temporary folders and mounts, file contents, a surface that
// records what a repair showed, and a file layer that fails on purpose.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "file_system.h"
#include "repair_surface.h"

namespace nestmend::testing {

// A fresh folder under the temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Writes `bytes` to the file `name` in the folder; returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const;

 private:
  std::filesystem::path path_;
};

#if !defined(_WIN32)
// A tmpfs of the test's own, where the machine lets the test mount one (as root).
class ScratchMount {
 public:
  explicit ScratchMount(const std::string& options);
  ~ScratchMount();
  bool mounted() const { return mounted_; }
  std::string path(const char* name) const { return (dir_.path() / name).string(); }
  bool RemountReadOnly();

 private:
  TempDir dir_;
  bool mounted_ = false;
};
#endif

std::string ReadAll(const std::filesystem::path& path);
void WriteAll(const std::filesystem::path& path, const std::string& bytes);
std::int64_t BraceBalance(const std::string& bytes);  // "{" less "}"
std::string Lines(std::int64_t count);                // count times "}" CR LF
std::string FixedSummary(std::int64_t errors);        // the summary of a repair

// What a literal, item-by-item reading of the repair of `path` shows, built from the items as
// ReadDataItem returns them, in RecordingSurface's notation. With `appendable` false the lines
// cannot be written and the summary says nothing was repaired.
std::vector<std::string> LiteralSequence(const std::string& path, bool appendable = true);

// Records what a repair shows, e.g. "STAT=Fixing File", "Max=4", "Value=1", "Pump", "Message",
// and keeps the bar's state with its refusals. With `expand` false, the batched forms are taken
// whole, as a window takes them, and only the outcome is kept.
class RecordingSurface : public RepairSurface {
 public:
  explicit RecordingSurface(std::string path, bool expand = true)
      : path_(std::move(path)), expand_(expand) {}

  void SetStatus(std::string_view caption) override;
  void SetProgressMax(float maximum) override;
  void SetProgressValue(float value) override;
  std::string RepairPath() override { return path_; }
  bool PumpEvents() override;
  void ShowMessage(std::string_view text) override;
  bool PumpEventsRepeatedly(std::uint64_t count) override;
  bool ScanProgress(const ScanBatch& batch) override;
  void AppendProgress(std::uint64_t first_line, std::uint64_t count) override;

  std::vector<std::string> operations;
  std::string status;
  std::vector<std::string> messages;
  float maximum = 100;
  float value = 0;
  int refused_values = 0;
  std::uint64_t pumps = 0;
  std::optional<std::uint64_t> stop_at_pump;  // this pump asks the run to stop
  std::optional<std::uint64_t> stop_at_line;  // the first pump once this line is out does
  bool stopping = false;                      // every pump from now on asks the run to stop

 private:
  void Record(std::string operation);
  std::string path_;
  bool expand_;
};

// The system's files, with chosen operations made to fail.
class FaultyFileSystem : public FileSystem {
 public:
  enum class Fault {
    kNone,
    kOpenForReading,
    kIdentify,
    kRead,
    kOpenForAppending,
    kTruncate,
    kSync,
    kClose
  };
  Fault fault = Fault::kNone;
  int failing_call = 0;  // the first call of that operation that fails; later ones fail too
  std::optional<std::uint64_t> write_budget;   // bytes written in all before writes fail
  std::size_t most_per_write = SIZE_MAX;       // a write takes at most this many bytes
  std::function<void(int read)> after_read;    // after each successful read (0 = the first)
  std::function<void()> before_append;         // before opening for appending
  std::function<void(int write)> after_write;  // after each successful write (0 = the first)
  std::function<void()> before_sync;
  std::optional<Reservation> reservation;  // what reserving room gives, instead of the truth
  std::optional<bool> truncatable;         // what CanTruncate says, instead of the truth
  int open_handles = 0;

  std::optional<Handle> OpenForReading(const std::string& path) override;
  std::optional<Handle> OpenForAppending(const std::string& path) override;
  std::optional<FileIdentity> Identify(Handle handle) override;
  std::optional<FileIdentity> IdentifyPath(const std::string& path) override;
  bool Lock(Handle handle) override;
  Reservation Reserve(Handle handle, std::uint64_t offset, std::uint64_t length) override;
  bool CanTruncate(Handle handle) override;
  std::optional<std::size_t> Read(Handle handle, std::span<char> buffer) override;
  std::optional<std::size_t> Write(Handle handle, std::span<const char> bytes) override;
  bool Truncate(Handle handle, std::uint64_t length) override;
  bool Sync(Handle handle) override;
  bool Close(Handle handle) override;

 private:
  bool Fails(Fault operation) {
    const int call = calls_[static_cast<int>(operation)]++;
    return fault == operation && call >= failing_call;
  }
  int calls_[8] = {};
  int writes_ = 0;
  std::uint64_t written_ = 0;
};

}  // namespace nestmend::testing
