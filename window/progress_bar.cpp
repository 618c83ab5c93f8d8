#include "progress_bar.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QStyleOptionProgressBar>
#include <QStylePainter>
#include <cmath>

namespace nestmend {
namespace {

// What a screen reader is told of the bar: a progress bar, its value within its range.
class AccessibleProgressBar final : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit AccessibleProgressBar(QWidget* widget)
      : QAccessibleWidget(widget, QAccessible::ProgressBar) {}
  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }
  QVariant currentValue() const override { return Bar()->value(); }
  void setCurrentValue(const QVariant&) override {}  // only the repair moves it
  QVariant maximumValue() const override { return Bar()->maximum(); }
  QVariant minimumValue() const override { return 0.0f; }
  QVariant minimumStepSize() const override { return 1.0f; }

 private:
  const ProgressBar* Bar() const { return static_cast<const ProgressBar*>(widget()); }
};

QAccessibleInterface* AccessibleBarFor(const QString& class_name, QObject* object) {
  if (class_name == QLatin1String("nestmend::ProgressBar") && object->isWidgetType()) {
    return new AccessibleProgressBar(static_cast<QWidget*>(object));
  }
  return nullptr;
}

}  // namespace

ProgressBar::ProgressBar(QWidget* parent) : QWidget(parent) {
  static const bool factory_installed = (QAccessible::installFactory(AccessibleBarFor), true);
  static_cast<void>(factory_installed);
  frame_.setSingleShot(true);
  frame_.setInterval(kFrameMs);
  connect(&frame_, &QTimer::timeout, this, [this] {
    update();
    since_update_.start();
  });
}

void ProgressBar::SetPosition(float value, float maximum) {
  value_ = value;
  maximum_ = maximum;
  const int filled = FilledPixels();
  if (filled == drawn_filled_) return;
  drawn_filled_ = filled;
  Redraw();
}

void ProgressBar::Redraw() {
  if (!since_update_.isValid() || since_update_.hasExpired(kFrameMs)) {
    update();
    since_update_.start();
  } else if (!frame_.isActive()) {
    frame_.start();
  }
  QAccessibleValueChangeEvent changed(this, value_);
  QAccessible::updateAccessibility(&changed);
}

int ProgressBar::BarPixels() const {
  return static_cast<int>(std::lround(width() * devicePixelRatioF()));
}

int ProgressBar::FilledPixels() const {
  return static_cast<int>(std::floor(static_cast<double>(value_) / maximum_ * BarPixels()));
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
