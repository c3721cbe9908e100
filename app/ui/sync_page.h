// The Sync page: the two broadcast modes as cards, the master volume,
// resetting every delay, the delay the engine gives each device, and
// calibration by microphone (once a calibration model is given). Reads the
// model; each control makes one model call.
#pragma once

#include <QAbstractButton>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include "app/model/calibration_model.h"
#include "app/ui/calibration/calibration_sheet.h"

#include "app/model/app_model.h"
#include "app/ui/model_bridge.h"

class QLabel;
class QPushButton;

namespace choralink::ui {

class PercentSlider;
class SymbolView;
class SyncTestButton;

class ModeCard : public QAbstractButton {
  Q_OBJECT

 public:
  ModeCard(AppModel& model, ModelBridge& bridge, BroadcastMode mode, const QString& title,
           std::string_view symbol, const QString& detail, QWidget* parent = nullptr);
  BroadcastMode mode() const { return mode_; }
  bool selected() const { return selected_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void refresh();
  AppModel& model_;
  BroadcastMode mode_;
  SymbolView* check_;
  bool selected_ = false;
};

class SyncPage : public QWidget {
  Q_OBJECT

 public:
  SyncPage(AppModel& model, ModelBridge& bridge, QWidget* parent = nullptr);

  ModeCard* modeCard(BroadcastMode mode) const;
  PercentSlider* masterSlider() const { return master_; }
  QLabel* masterText() const { return masterText_; }
  QPushButton* resetButton() const { return reset_; }
  SyncTestButton* syncTestButton() const { return syncTest_; }
  QPushButton* calibrateButton() const { return calibrate_; }
  // One line per broadcasting device: its name, then the delay's parts.
  QWidget* delaysCard() const { return delays_; }
  // The calibration sheet while it shows, else null.
  CalibrationSheet* calibrationSheet() const { return sheet_; }

  // Enables "Calibrate with Microphone…" on this model; null: there is none.
  void setCalibration(CalibrationModel* calibration);
  void openCalibration();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void refresh();
  void refreshCalibrate();
  void refreshDelays();
  AppModel& model_;
  ModelBridge& bridge_;
  ModeCard* synced_;
  ModeCard* mirror_;
  PercentSlider* master_;
  QLabel* masterText_;
  QPushButton* reset_;
  SyncTestButton* syncTest_;
  QPushButton* calibrate_;
  QWidget* delays_;
  CalibrationBridge* calibration_ = nullptr;
  QPointer<CalibrationSheet> sheet_;
  QStringList delayLines_;
};

// The Sync page's line for a broadcasting device: the latency it reports,
// the pad that lines it up with the slowest and the user's own delay.
QString engineDelayText(double reportedMs, double padMs, std::int64_t userMs);

}  // namespace choralink::ui
