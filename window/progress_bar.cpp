#include "progress_bar.h"

#include <QStyleOptionProgressBar>
#include <QStylePainter>
#include <cmath>

namespace nestmend {

ProgressBar::ProgressBar(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void ProgressBar::SetPosition(float value, float maximum) {
  fraction_ = value / maximum;
  const int filled = FilledPixels();
  if (filled == drawn_filled_) return;
  drawn_filled_ = filled;
  update();
}

int ProgressBar::BarPixels() const {
  return static_cast<int>(std::lround(width() * devicePixelRatioF()));
}

int ProgressBar::FilledPixels() const {
  return static_cast<int>(std::floor(static_cast<double>(fraction_) * BarPixels()));
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
