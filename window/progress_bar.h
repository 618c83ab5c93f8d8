// Draws the progress bar: a horizontal QProgressBar filled to Value / Max of its width, with the
// range counted in device pixels, so that it repaints only when the filled width changes and a
// setting that changes nothing visible costs next to nothing. Screen readers see a progress bar
// with its value and range.
#pragma once

#include <QProgressBar>

namespace nestmend {

class ProgressBar final : public QProgressBar {
  Q_OBJECT

 public:
  explicit ProgressBar(QWidget* parent = nullptr);

  // The bar's new position within its range; `maximum` is above 0.
  void SetPosition(float value, float maximum);

  // How many device pixels of the bar are filled.
  int FilledPixels() const { return value(); }
  int repaints() const { return repaints_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void ShowFraction();

  float fraction_ = 0;
  int repaints_ = 0;
};

}  // namespace nestmend
