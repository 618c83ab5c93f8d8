#include "terminal_run.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "exit_signals.h"
#include "fixit.h"

namespace nestmend {
namespace {

using Clock = std::chrono::steady_clock;
using Kind = RunOutcome::Kind;

// A file's progress on standard error when it is a terminal: redrawn in place at most ten times
// a second, nothing for a file done sooner than that, and cleared once the file is done. A pipe
// or a log gets nothing.
class ProgressLine {
 public:
  ProgressLine() : shown_(isatty(STDERR_FILENO) == 1) {}

  void Begin(std::string_view path) {
    name_ = path.substr(path.find_last_of('/') + 1);
    last_drawn_ = pass_began_ = Clock::now();
  }

  void Reading(int pass, std::uint64_t done, std::uint64_t total) {
    if (pass != pass_) {
      pass_ = pass;
      pass_began_ = Clock::now();
    }
    if (!Due()) return;
    const double seconds = std::chrono::duration<double>(Clock::now() - pass_began_).count();
    Draw("reading, pass " + std::to_string(pass) + " of 2: " + Percent(done, total) + ", " +
         Rate(static_cast<double>(done) / std::max(seconds, 1e-3)));
  }

  void Adding(std::uint64_t lines_out, std::uint64_t lines) {
    if (Due()) Draw("adding lines \"}\": " + Percent(lines_out, lines));
  }

  void Clear() {
    if (drawn_) std::fputs("\r\033[K", stderr);
    drawn_ = false;
    pass_ = 0;
  }

 private:
  bool Due() {
    const Clock::time_point now = Clock::now();
    if (!shown_ || now - last_drawn_ < std::chrono::milliseconds(100)) return false;
    last_drawn_ = now;
    return true;
  }

  void Draw(const std::string& what) {
    std::string line = name_ + ": " + what;
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) {
      line.resize(std::min<std::size_t>(line.size(), size.ws_col - 1u));  // never wraps
    }
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
  }

  static std::string Percent(std::uint64_t done, std::uint64_t total) {
    const double share = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1;
    return std::to_string(static_cast<int>(std::min(share, 1.0) * 100)) + "%";
  }

  static std::string Rate(double bytes_per_second) {
    char text[32];
    if (bytes_per_second >= 1e9) {
      std::snprintf(text, sizeof text, "%.1f GB/s", bytes_per_second / 1e9);
    } else if (bytes_per_second >= 1e6) {
      std::snprintf(text, sizeof text, "%.0f MB/s", bytes_per_second / 1e6);
    } else {
      std::snprintf(text, sizeof text, "%.0f kB/s", bytes_per_second / 1e3);
    }
    return text;
  }

  const bool shown_;
  std::string name_;
  int pass_ = 0;
  Clock::time_point pass_began_;
  Clock::time_point last_drawn_;
  bool drawn_ = false;
};

// What a run drives when there is no window: nothing to show but the progress line, and a
// signal to end where a window would have its "Exit".
class TerminalSurface final : public RepairSurface {
 public:
  TerminalSurface(std::string path, ProgressLine& progress)
      : path_(std::move(path)), progress_(progress) {
    progress_.Begin(path_);
  }
  ~TerminalSurface() override { progress_.Clear(); }

  void SetStatus(std::string_view) override {}
  // Before the append, its lines and one.
  void SetProgressMax(float maximum) override {
    if (maximum >= 1) lines_ = static_cast<std::uint64_t>(maximum) - 1;
  }
  void SetProgressValue(float) override {}
  std::string RepairPath() override { return path_; }
  bool PumpEvents() override { return !ExitSignalled(); }
  void ShowMessage(std::string_view) override {}
  bool PumpEventsRepeatedly(std::uint64_t) override { return PumpEvents(); }
  bool ScanProgress(const ScanBatch&) override { return PumpEvents(); }
  void ShowBytesRead(int pass, std::uint64_t done, std::uint64_t total) override {
    progress_.Reading(pass, done, total);
  }
  void AppendProgress(std::uint64_t first_line, std::uint64_t count) override {
    progress_.Adding(first_line + count, lines_);
  }

 private:
  std::string path_;
  ProgressLine& progress_;
  std::uint64_t lines_ = 0;
};

// 0, 1 or 2, as --help says, for one file.
int StatusOf(CommandLine::Action action, const RunOutcome& outcome) {
  const bool nothing_missing = outcome.kind == Kind::kBalanced || outcome.kind == Kind::kMoreClosing;
  if (action == CommandLine::Action::kRepair) {
    return nothing_missing || outcome.kind == Kind::kRepaired ? 0 : 1;
  }
  if (nothing_missing) return 0;
  return outcome.kind == Kind::kLacking || outcome.kind == Kind::kWideText ? 1 : 2;
}

}  // namespace

int RunInTerminal(const CommandLine& command) {
  CatchExitSignals();
  const RunMode mode =
      command.action == CommandLine::Action::kCheck ? RunMode::kCheck : RunMode::kRepair;
  ProgressLine progress;
  int status = 0;
  for (const std::string& path : command.paths) {
    if (ExitSignalled()) break;
    RunOutcome outcome;
    {
      TerminalSurface surface(path, progress);
      outcome = Fixit(surface, SystemFiles(), {}, mode);
    }
    std::printf("%s: %s\n", path.c_str(), Reason(outcome).c_str());
    std::fflush(stdout);
    status = std::max(status, StatusOf(command.action, outcome));
  }
  return ExitSignalled() ? 128 + ExitSignalNumber() : status;
}

}  // namespace nestmend
