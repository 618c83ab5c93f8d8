#include "progress_bar.h"

#include <cmath>

namespace nestmend {

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent) {
  setTextVisible(false);
  setRange(0, 1);
  setValue(0);
}

void ProgressBar::SetPosition(float value, float maximum) {
  fraction_ = value / maximum;
  ShowFraction();
}

void ProgressBar::ShowFraction() {
  const int pixels = std::max(1, static_cast<int>(std::lround(width() * devicePixelRatioF())));
  const int filled = static_cast<int>(std::floor(static_cast<double>(fraction_) * pixels));
  if (maximum() == pixels && value() == filled) return;
  setRange(0, pixels);
  setValue(filled);
  // QProgressBar itself waits for a whole chunk of its style before it repaints.
  update();
}

void ProgressBar::resizeEvent(QResizeEvent* event) {
  QProgressBar::resizeEvent(event);
  ShowFraction();
}

void ProgressBar::paintEvent(QPaintEvent* event) {
  ++repaints_;
  QProgressBar::paintEvent(event);
}

}  // namespace nestmend
