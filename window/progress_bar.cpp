#include "progress_bar.h"

#include <QAccessible>
#include <QAccessibleWidget>
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
  QVariant currentValue() const override { return Bar()->position(); }
  void setCurrentValue(const QVariant&) override {}  // only the repair moves it
  QVariant maximumValue() const override { return Bar()->range(); }
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

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent) {
  static const bool factory_installed = (QAccessible::installFactory(AccessibleBarFor), true);
  static_cast<void>(factory_installed);
  setTextVisible(false);
  setRange(0, 1);
  setValue(0);
  frame_.setSingleShot(true);
  frame_.setInterval(kFrameMs);
  connect(&frame_, &QTimer::timeout, this, [this] {
    setValue(drawn_filled_);
    since_update_.start();
  });
}

void ProgressBar::SetPosition(float value, float maximum) {
  position_ = value;
  range_ = maximum;
  if (FilledPixels() == drawn_filled_) return;
  drawn_filled_ = FilledPixels();
  Redraw();
  QAccessibleValueChangeEvent changed(this, position_);
  QAccessible::updateAccessibility(&changed);
}

void ProgressBar::Redraw() {
  if (!since_update_.isValid() || since_update_.hasExpired(kFrameMs)) {
    setValue(drawn_filled_);
    since_update_.start();
  } else if (!frame_.isActive()) {
    frame_.start();
  }
}

int ProgressBar::BarPixels() const {
  return std::max(1, static_cast<int>(std::lround(width() * devicePixelRatioF())));
}

int ProgressBar::FilledPixels() const {
  return static_cast<int>(std::floor(static_cast<double>(position_) / range_ * BarPixels()));
}

void ProgressBar::resizeEvent(QResizeEvent* event) {
  drawn_filled_ = FilledPixels();
  setRange(0, BarPixels());
  setValue(drawn_filled_);
  QProgressBar::resizeEvent(event);
}

}  // namespace nestmend
