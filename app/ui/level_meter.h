// A row of segments lit by an output level: teal, then mint, orange at the
// top; unlit segments faint, fainter still when the device is not in use.
// The segment rules are meterSegmentCount/meterLitSegments/meterSegmentTone.
#pragma once

#include <QWidget>

namespace choralink::ui {

class LevelMeter : public QWidget {
  Q_OBJECT

 public:
  explicit LevelMeter(double segmentWidth = 14, QWidget* parent = nullptr);

  void setLevel(float level, bool dimmed);
  float level() const { return level_; }
  bool dimmed() const { return dimmed_; }
  // How many segments the current width holds and how many are lit.
  int segmentCount() const;
  int litCount() const;

  QSize sizeHint() const override { return {160, 5}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  double segmentWidth_;
  float level_ = 0;
  bool dimmed_ = false;
};

}  // namespace choralink::ui
