#include "progress_bar.h"

#include <QStyleOptionProgressBar>
#include <QStylePainter>
#include <algorithm>
#include <cmath>

namespace nestmend {

ProgressBar::ProgressBar(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent, false);
}

bool ProgressBar::SetMax(float max) {
  if (!(max > Min())) return false;  // NaN is refused too
  max_ = max;
  // The bar then shows the new range, not a value left from the last run's.
  value_ = std::min(value_, max_);
  RepaintIfChanged();
  return true;
}

bool ProgressBar::SetValue(float value) {
  if (!(value >= Min() && value <= max_)) return false;
  value_ = value;
  RepaintIfChanged();
  return true;
}

int ProgressBar::BarPixels() const {
  return static_cast<int>(std::lround(width() * devicePixelRatioF()));
}

int ProgressBar::FilledPixels() const {
  return static_cast<int>(std::floor(static_cast<double>(value_) / max_ * BarPixels()));
}

void ProgressBar::RepaintIfChanged() {
  const int filled = FilledPixels();
  if (filled == drawn_filled_) return;
  drawn_filled_ = filled;
  update();
}

void ProgressBar::resizeEvent(QResizeEvent* event) {
  drawn_filled_ = FilledPixels();
  QWidget::resizeEvent(event);
}

void ProgressBar::paintEvent(QPaintEvent*) {
  ++repaints_;
  QStylePainter painter(this);
  QStyleOptionProgressBar option;
  option.initFrom(this);
  option.minimum = 0;
  option.maximum = std::max(1, BarPixels());
  option.progress = drawn_filled_;
  option.textVisible = false;
  option.state |= QStyle::State_Horizontal;
  painter.drawControl(QStyle::CE_ProgressBar, option);
}

}  // namespace nestmend
