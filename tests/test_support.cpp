#include "test_support.h"

#if !defined(_WIN32)
#include <sys/mount.h>
#endif

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace nestmend::testing {

TempDir::TempDir() {
  std::random_device random;
  do {
    path_ = std::filesystem::temp_directory_path() / ("nestmend-test-" + std::to_string(random()));
  } while (!std::filesystem::create_directory(path_));
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
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteAll(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string Lines(std::int64_t count) {
  std::string lines;
  for (std::int64_t line = 0; line < count; ++line) lines += "}\r\n";
  return lines;
}

RecordingSurface Repair(const std::string& path, FileSystem& files, ReadPlan plan) {
  RecordingSurface surface(path, false);
  Fixit(surface, files, plan);
  return surface;
}

void RecordingSurface::SetProgressMax(float new_maximum) {
  Record("Max=", std::to_string(static_cast<std::int64_t>(new_maximum)));
  if (!(new_maximum > 0)) return;
  maximum = new_maximum;
  value = std::min(value, maximum);
}

void RecordingSurface::SetProgressValue(float new_value) {
  Record("Value=", std::to_string(static_cast<std::int64_t>(new_value)));
  if (new_value >= 0 && new_value <= maximum) value = new_value;
}

bool RecordingSurface::PumpEvents() {
  Record("Pump");
  if (stop_at_pump && pumps >= *stop_at_pump) stopping = true;
  ++pumps;
  return !stopping;
}

bool RecordingSurface::PumpEventsRepeatedly(std::uint64_t count) {
  if (expand_) return RepairSurface::PumpEventsRepeatedly(count);
  pumps += count;
  if (stop_at_pump && pumps > *stop_at_pump) stopping = true;
  return !stopping;
}

bool RecordingSurface::ScanProgress(const ScanBatch& batch) {
  if (expand_) return RepairSurface::ScanProgress(batch);
  if (batch.last_value) SetProgressValue(static_cast<float>(*batch.last_value));
  return true;
}

void RecordingSurface::AppendProgress(std::uint64_t first_line, std::uint64_t count) {
  if (stop_at_line && first_line + count > *stop_at_line) stopping = true;
  if (expand_) return RepairSurface::AppendProgress(first_line, count);
  if (count > 0) SetProgressValue(static_cast<float>(first_line + count - 1));
}

bool FaultyFileSystem::Fails(Op op) {
  int call = 0;
  {
    const std::lock_guard lock(mutex_);  // reads come from several threads
    call = calls_[static_cast<int>(op)]++;
  }
  if (before) before(op, call);
  const std::lock_guard lock(mutex_);
  const int step = static_cast<int>(steps.size());
  steps.push_back(op);
  return failing_step && (step == *failing_step || (later_steps_fail && step > *failing_step));
}

#if !defined(_WIN32)
ScratchMount::ScratchMount(const std::string& options)
    : mounted_(mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) == 0) {}

ScratchMount::~ScratchMount() {
  if (mounted_) umount2(dir_.path().c_str(), MNT_DETACH);
}
#endif

}  // namespace nestmend::testing
