// Helpers shared by the engine tests: temporary folders, file contents, a surface that records
// what a repair showed, and a file layer that fails on purpose.
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

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes `bytes` to a file of that name in the folder and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const;

 private:
  std::filesystem::path path_;
};

// A tmpfs of the test's own, where the machine lets the test mount one (as root).
class ScratchMount {
 public:
  explicit ScratchMount(const std::string& options);
  ~ScratchMount();
  ScratchMount(const ScratchMount&) = delete;
  ScratchMount& operator=(const ScratchMount&) = delete;

  bool mounted() const { return mounted_; }
  std::string path(const char* name) const { return (dir_.path() / name).string(); }
  bool RemountReadOnly();

 private:
  TempDir dir_;
  bool mounted_ = false;
};

std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& bytes);

// "{" less "}" among the bytes.
std::int64_t BraceBalance(const std::string& bytes);

// The operations a literal, item-by-item reading of the repair of the file at `path` shows,
// built from the items as ReadDataItem returns them, in RecordingSurface's notation. With
// `appendable` false the lines cannot be written and the summary says nothing was repaired.
std::vector<std::string> LiteralSequence(const std::string& path, bool appendable = true);

// Records every surface operation as text, with the batched forms expanded, e.g.
// "STAT=Fixing File", "Max=4", "Value=1", "Pump", "Message".
class RecordingSurface : public RepairSurface {
 public:
  explicit RecordingSurface(std::string path) : path_(std::move(path)) {}

  void SetStatus(std::string_view caption) override;
  void SetProgressMax(float maximum) override;
  void SetProgressValue(float value) override;
  std::string RepairPath() override { return path_; }
  bool PumpEvents() override;
  void ShowMessage(std::string_view text) override;

  std::vector<std::string> operations;
  std::string status;
  std::vector<std::string> messages;
  float maximum = 100;  // the bar, with its refusals
  float value = 0;
  int refused_values = 0;
  std::uint64_t pumps = 0;
  std::optional<std::uint64_t> stop_at_pump;  // the pump that asks the run to stop
  bool record_pumps = true;

 private:
  std::string path_;
};

// Keeps only the outcome: the batched forms are taken whole, as a window takes them.
class OutcomeSurface : public RepairSurface {
 public:
  explicit OutcomeSurface(std::string path) : path_(std::move(path)) {}

  void SetStatus(std::string_view caption) override { status = caption; }
  void SetProgressMax(float) override {}
  void SetProgressValue(float) override {}
  std::string RepairPath() override { return path_; }
  bool PumpEvents() override { return true; }
  bool PumpEventsRepeatedly(std::uint64_t) override { return true; }
  bool ScanProgress(const ScanBatch&) override { return true; }
  void AppendProgress(std::uint64_t, std::uint64_t) override {}
  void ShowMessage(std::string_view) override { ++messages; }

  std::string status;
  int messages = 0;

 private:
  std::string path_;
};

// The system's files, with one chosen operation made to fail.
class FaultyFileSystem : public FileSystem {
 public:
  enum class Fault { kNone, kOpenForReading, kIdentify, kRead, kOpenForAppending, kWrite, kTruncate,
                     kSync, kClose };

  Fault fault = Fault::kNone;  // kWrite is set through write_budget
  // Which call of that operation fails first (0 = the first); later calls fail too.
  int failing_call = 0;
  // How many bytes are written in all before writes fail (with any fault).
  std::optional<std::uint64_t> write_budget;
  // Runs just before the file is opened for appending, e.g. to change it behind the repair.
  std::function<void()> before_append;
  // Runs after each successful read, with the number of that read (0 = the first).
  std::function<void(int read)> after_read;

  int open_handles() const { return open_handles_; }

  std::optional<Handle> OpenForReading(const std::string& path) override;
  std::optional<Handle> OpenForAppending(const std::string& path) override;
  std::optional<FileIdentity> Identify(Handle handle) override;
  std::optional<std::size_t> Read(Handle handle, std::span<char> buffer) override;
  std::optional<std::size_t> Write(Handle handle, std::span<const char> bytes) override;
  bool Truncate(Handle handle, std::uint64_t length) override;
  bool Sync(Handle handle) override;
  bool Close(Handle handle) override;

 private:
  bool Fails(Fault operation);

  int calls_[9] = {};
  int open_handles_ = 0;
  std::uint64_t written_ = 0;
};

}  // namespace nestmend::testing
