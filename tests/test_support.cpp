#include "test_support.h"

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

std::int64_t BraceBalance(const std::string& bytes) {
  return std::ranges::count(bytes, '{') - std::ranges::count(bytes, '}');
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

RecordingSurface Repair(const std::string& path, FileSystem& files, ReadPlan plan) {
  RecordingSurface surface(path, false);
  Fixit(surface, files, plan);
  return surface;
}

void RecordingSurface::SetStatus(std::string_view caption) {
  status = caption;
  Record("STAT=" + status);
}

void RecordingSurface::SetProgressMax(float new_maximum) {
  Record("Max=" + std::to_string(static_cast<std::int64_t>(new_maximum)));
  if (!(new_maximum > 0)) return;
  maximum = new_maximum;
  value = std::min(value, maximum);
}

void RecordingSurface::SetProgressValue(float new_value) {
  Record("Value=" + std::to_string(static_cast<std::int64_t>(new_value)));
  if (new_value >= 0 && new_value <= maximum) value = new_value;
}

bool RecordingSurface::PumpEvents() {
  Record("Pump");
  if (stop_at_pump && pumps >= *stop_at_pump) stopping = true;
  ++pumps;
  return !stopping;
}

void RecordingSurface::ShowMessage(std::string_view text) {
  messages.emplace_back(text);
  Record("Message");
}

void RecordingSurface::SetReason(std::string_view text) {
  reason = text;
  Record("Reason=" + reason);
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

}  // namespace nestmend::testing
