// A horizontal progress bar with a single-precision range from 0 to Max. Settings out of range
// are refused and leave the bar as it was. It repaints only when the drawn bar would change, so
// a setting that changes nothing visible costs next to nothing.
#pragma once

#include <QWidget>

namespace nestmend {

class ProgressBar final : public QWidget {
  Q_OBJECT

 public:
  explicit ProgressBar(QWidget* parent = nullptr);

  float Min() const { return 0; }
  float Max() const { return max_; }
  float Value() const { return value_; }

  // Refused (false) when `max` is not above Min. A Value above the new Max is lowered to it.
  bool SetMax(float max);
  // Refused (false) when `value` lies outside Min to Max.
  bool SetValue(float value);

  // How many device pixels of the bar are filled.
  int FilledPixels() const;
  int repaints() const { return repaints_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void RepaintIfChanged();
  int BarPixels() const;

  float max_ = 100;
  float value_ = 0;
  int drawn_filled_ = 0;  // what the last paint showed, or will show
  int repaints_ = 0;
};

}  // namespace nestmend
