// Times a repair as a person sees it: from the click on "Begin" in the real window to the
// closing message, and measures how alive the window stays meanwhile: the longest gap between
// two moments it handled its events, and how often the progress bar was redrawn while it moved.
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <limits>

#include "bench_support.h"
#include "form1.h"
#include "user_prompts.h"

namespace {

QElapsedTimer run_clock;

// Answers the closing message at once and notes when it came.
class TimedPrompts final : public nestmend::UserPrompts {
 public:
  std::optional<QString> ChooseFileToOpen(QWidget*, const QString&) override {
    return std::nullopt;
  }
  void ShowMessage(QWidget*, const QString&, const QString&, const QString&) override {
    message_at_ns = run_clock.nsecsElapsed();
  }
  void DismissMessage() override {}
  qint64 message_at_ns = 0;
};

// Counts the bar's repaints from the moment the scan starts moving it.
class RepaintCounter final : public QObject {
 public:
  explicit RepaintCounter(nestmend::Form1& form) : form_(form) {}
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint && scanning()) {
      if (repaints == 0) first_repaint_ns = run_clock.nsecsElapsed();
      ++repaints;
      last_repaint_ns = run_clock.nsecsElapsed();
    }
    return false;
  }
  bool scanning() const { return form_.STAT->text() == "Fixing File"; }
  int repaints = 0;
  qint64 first_repaint_ns = 0;
  qint64 last_repaint_ns = 0;

 private:
  nestmend::Form1& form_;
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const nestmend::bench::Options options = nestmend::bench::ParseOptions(argc, argv);
  QApplication application(argc, argv);
  TimedPrompts prompts;
  nestmend::Form1 form(prompts);
  form.show();
  application.processEvents();
  const std::uint64_t original_size = nestmend::bench::FileSize(options.file);

  double best_seconds = std::numeric_limits<double>::infinity();
  double longest_gap_ms = 0;
  double redraws_per_second = std::numeric_limits<double>::infinity();
  bool all_exact = true;
  for (int iteration = 0; iteration < options.iterations; ++iteration) {
    RepaintCounter counter(form);
    form.Progress->installEventFilter(&counter);
    // A timer that fires whenever the window gets to handle its events.
    qint64 last_tick_ns = 0;
    qint64 gap_ns = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
      const qint64 now = run_clock.nsecsElapsed();
      if (prompts.message_at_ns == 0) gap_ns = std::max(gap_ns, now - last_tick_ns);
      last_tick_ns = now;
    });
    ticker.start();
    form.FILE->setText(QString::fromStdString(options.file));
    form.logic().read_plan.threads = options.threads;
    if (options.cold) nestmend::bench::EvictFromCache(options.file);
    prompts.message_at_ns = 0;
    run_clock.start();
    form.Command2->click();  // returns after the closing message
    ticker.stop();
    form.Progress->removeEventFilter(&counter);

    const double seconds = static_cast<double>(prompts.message_at_ns) / 1e9;
    best_seconds = std::min(best_seconds, seconds);
    // The gap until the closing message, counting the one before the first tick as well.
    gap_ns = std::max(gap_ns, prompts.message_at_ns - last_tick_ns);
    longest_gap_ms = std::max(longest_gap_ms, static_cast<double>(gap_ns) / 1e6);
    const double moving_seconds =
        static_cast<double>(counter.last_repaint_ns - counter.first_repaint_ns) / 1e9;
    if (counter.repaints > 1 && moving_seconds > 0) {
      redraws_per_second = std::min(redraws_per_second, (counter.repaints - 1) / moving_seconds);
    }
    all_exact =
        nestmend::bench::CheckAndRestore(options.file, original_size, options.missing) && all_exact;
  }
  // A bar that never moved (one single item keeps one value) has no redraw rate: printed as -1.
  if (redraws_per_second == std::numeric_limits<double>::infinity()) redraws_per_second = -1;
  std::printf("nestmend-bench window gap_ms=%.1f redraws_per_second=%.0f\n", longest_gap_ms,
              redraws_per_second);
  nestmend::bench::PrintResult("window", best_seconds);
  if (!all_exact) {
    std::fprintf(stderr, "window_bench: the repair did not append exactly %lld lines\n",
                 static_cast<long long>(options.missing));
    return 1;
  }
  return 0;
}
