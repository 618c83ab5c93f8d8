// Helpers shared by the tests: temporary folders and mounts, file contents, a surface that
// records what a repair showed, and a file layer that fails on purpose.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "file_system.h"
#include "fixit.h"
#include "repair_surface.h"

namespace nestmend::testing {

// A fresh folder under the temporary folder, removed with everything in it (not to be copied).
class TempDir {
 public:
  TempDir();
  ~TempDir();
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

 private:
  TempDir dir_;
  bool mounted_ = false;
};
#endif

std::string ReadAll(const std::filesystem::path& path);
void WriteAll(const std::filesystem::path& path, const std::string& bytes);
std::string Lines(std::int64_t count);                        // count times "}" CR LF
inline std::int64_t BraceBalance(const std::string& bytes) {  // "{" less "}"
  return std::ranges::count(bytes, '{') - std::ranges::count(bytes, '}');
}
inline std::string FixedSummary(std::int64_t errors) {  // the summary of a repair
  return std::string(texts::kFixedBefore) + std::to_string(errors) +
         std::string(texts::kFixedAfter);
}
// A random number below `bound`, as the machine's sizes take it.
inline std::size_t Below(std::mt19937_64& random, std::size_t bound) {
  return static_cast<std::size_t>(random() % bound);
}
inline const std::string kNothingDone(texts::kNothingDone);

// Records what a repair shows, e.g. "STAT=Fixing File", "Max=4", "Value=1", "Pump", "Reason=...",
// "Message", and keeps the bar's state with its refusals. With `expand` false, the batched forms
// are taken whole, as a window takes them: a scan's batch sets the bar once, to the value it
// leaves.
class RecordingSurface : public RepairSurface {
 public:
  explicit RecordingSurface(std::string path, bool expand = true)
      : path_(std::move(path)), expand_(expand) {}

  void SetStatus(std::string_view caption) override { Record("STAT=", status = caption); }
  void SetProgressMax(float maximum) override;
  void SetProgressValue(float value) override;
  std::string RepairPath() override { return path_; }
  bool PumpEvents() override;
  void ShowMessage(std::string_view text) override {
    messages.emplace_back(text);
    Record("Message");
  }
  void SetReason(std::string_view text) override { Record("Reason=", reason = text); }
  bool PumpEventsRepeatedly(std::uint64_t count) override;
  bool ScanProgress(const ScanBatch& batch) override;
  void AppendProgress(std::uint64_t first_line, std::uint64_t count) override;

  std::vector<std::string> operations;
  std::string status;
  std::vector<std::string> messages;
  std::string reason;
  float maximum = 100;
  float value = 0;
  std::uint64_t pumps = 0;
  std::optional<std::uint64_t> stop_at_pump;  // this pump asks the run to stop
  std::optional<std::uint64_t> stop_at_line;  // the first pump once this line is out does
  bool stopping = false;                      // every pump from now on asks the run to stop

 private:
  void Record(std::string_view what, std::string_view detail = {}) {
    operations.push_back(std::string(what).append(detail));
  }
  std::string path_;
  bool expand_;
};

// Repairs `path` with the surface above, unexpanded.
RecordingSurface Repair(const std::string& path, FileSystem& files = SystemFiles(),
                        ReadPlan plan = {});

// The system's files, each operation counted as a step, with chosen steps made to fail: a
// failing reservation finds the file system unable to reserve (or with no room, as `failure`
// says), a failing CanTruncate says no.
class FaultyFileSystem : public FileSystem {
 public:
  // clang-format off
  enum class Op { kOpenForReading, kOpenForAppending, kIdentify, kIdentifyPath, kLock, kReserve,
                  kCanTruncate, kRead, kWrite, kTruncate, kSync, kClose, kCount };
  // clang-format on
  std::optional<int> failing_step;  // this step, counted over every operation from 0, fails
  bool later_steps_fail = false;    // and so does every step after it
  FileProblem failure = FileProblem::kFailed;   // how a step fails
  std::function<void(Op op, int call)> before;  // before each operation; `call` counts from 0
  std::size_t most_per_write = SIZE_MAX;        // a write takes at most this many bytes
  std::size_t most_per_read = SIZE_MAX;         // and a read gives at most this many
  std::vector<Op> steps;                        // every operation so far, in order
  int open_handles = 0;

  using R = FileResult<std::size_t>;
  FileResult<Handle> OpenForReading(const std::string& p) override {
    return Opened(Fails(Op::kOpenForReading) ? failure : system_.OpenForReading(p));
  }
  FileResult<Handle> OpenForAppending(const std::string& p) override {
    return Opened(Fails(Op::kOpenForAppending) ? failure : system_.OpenForAppending(p));
  }
  FileResult<FileIdentity> Identify(Handle h) override {
    return Fails(Op::kIdentify) ? failure : system_.Identify(h);
  }
  FileResult<FileIdentity> IdentifyPath(const std::string& p) override {
    return Fails(Op::kIdentifyPath) ? failure : system_.IdentifyPath(p);
  }
  FileStatus Lock(Handle h) override { return Fails(Op::kLock) ? failure : system_.Lock(h); }
  FileStatus Reserve(Handle h, std::uint64_t offset, std::uint64_t length) override {
    if (!Fails(Op::kReserve)) return system_.Reserve(h, offset, length);
    return failure == FileProblem::kFailed ? FileProblem::kUnsupported : failure;
  }
  bool CanTruncate(Handle h) override { return !Fails(Op::kCanTruncate) && system_.CanTruncate(h); }
  R Read(Handle h, std::uint64_t offset, std::span<char> buffer) override {
    if (Fails(Op::kRead)) return failure;
    return system_.Read(h, offset, buffer.first(std::min(buffer.size(), most_per_read)));
  }
  R Write(Handle h, std::span<const char> bytes) override {
    if (Fails(Op::kWrite)) return failure;
    return system_.Write(h, bytes.first(std::min(bytes.size(), most_per_write)));
  }
  FileStatus Truncate(Handle h, std::uint64_t length) override {
    return Fails(Op::kTruncate) ? failure : system_.Truncate(h, length);
  }
  FileStatus Sync(Handle h) override { return Fails(Op::kSync) ? failure : system_.Sync(h); }
  FileStatus Close(Handle h) override {
    --open_handles;
    const FileStatus closed = system_.Close(h);
    return Fails(Op::kClose) ? failure : closed;
  }

 private:
  bool Fails(Op op);  // takes the step: true when it is to fail
  FileResult<Handle> Opened(FileResult<Handle> handle) {
    open_handles += static_cast<bool>(handle);
    return handle;
  }
  FileSystem& system_ = SystemFiles();
  std::mutex mutex_;
  int calls_[static_cast<int>(Op::kCount)] = {};
};

using Op = FaultyFileSystem::Op;
using Kind = RunOutcome::Kind;

}  // namespace nestmend::testing
