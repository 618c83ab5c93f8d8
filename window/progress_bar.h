// Draws the progress bar: a horizontal bar filled to Value / Max of its width. It repaints only
// when the filled width in device pixels changes, so a setting that changes nothing visible
// costs next to nothing.
#pragma once

#include <QWidget>

namespace nestmend {

class ProgressBar final : public QWidget {
  Q_OBJECT

 public:
  explicit ProgressBar(QWidget* parent = nullptr);

  // The bar's new position within its range; `maximum` is above 0.
  void SetPosition(float value, float maximum);

  // How many device pixels of the bar are filled.
  int FilledPixels() const;
  int repaints() const { return repaints_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  int BarPixels() const;

  float fraction_ = 0;
  int drawn_filled_ = 0;  // what the last paint showed, or will show
  int repaints_ = 0;
};

}  // namespace nestmend
