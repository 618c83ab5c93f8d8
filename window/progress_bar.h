// The progress bar: the toolkit's own, drawn by the style (so that a theme, high contrast or a
// user's style sheet reaches it), filled to Value / Max of its width. Its steps are the device
// pixels of its width: it is set again only when the filled width changes, and then at most once
// a frame, so a setting that changes nothing visible costs next to nothing. Screen readers hear
// a progress bar with the repair's own value and range, not pixels.
#pragma once

#include <QElapsedTimer>
#include <QProgressBar>
#include <QTimer>

namespace nestmend {

class ProgressBar final : public QProgressBar {
  Q_OBJECT

 public:
  explicit ProgressBar(QWidget* parent = nullptr);

  // The bar's new position within its range; `maximum` is above 0.
  void SetPosition(float value, float maximum);

  float position() const { return position_; }
  float range() const { return range_; }
  // How many device pixels of the bar are filled.
  int FilledPixels() const;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  int BarPixels() const;
  void Redraw();

  static constexpr int kFrameMs = 16;  // about the screen's refresh

  float position_ = 0;
  float range_ = 100;
  int drawn_filled_ = 0;  // what the bar shows, or will show a frame later
  QElapsedTimer since_update_;
  QTimer frame_;  // draws a change that came too soon after the last, a frame later
};

}  // namespace nestmend
