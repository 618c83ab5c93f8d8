// Draws the progress bar: a horizontal bar filled to Value / Max of its width. It repaints only
// when the filled width in device pixels changes, and then at most once a frame, so a setting
// that changes nothing visible costs next to nothing. Screen readers see a progress bar with its
// value and range.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

namespace nestmend {

class ProgressBar final : public QWidget {
  Q_OBJECT

 public:
  explicit ProgressBar(QWidget* parent = nullptr);

  // The bar's new position within its range; `maximum` is above 0.
  void SetPosition(float value, float maximum);

  float value() const { return value_; }
  float maximum() const { return maximum_; }
  // How many device pixels of the bar are filled.
  int FilledPixels() const;
  int repaints() const { return repaints_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  int BarPixels() const;
  void Redraw();

  static constexpr int kFrameMs = 16;  // about the screen's refresh

  float value_ = 0;
  float maximum_ = 100;
  int drawn_filled_ = 0;  // what the last paint showed, or will show
  int repaints_ = 0;
  QElapsedTimer since_update_;
  QTimer frame_;  // draws a change that came too soon after the last, a frame later
};

}  // namespace nestmend
