// Calibration by microphone as a window-modal sheet over the main window:
// choose the microphone, place it, start, follow the run, read per device
// what was heard and the verified spread, then apply or cancel. Every field
// comes from the CalibrationModel; closing the sheet in any way but "Apply"
// cancels, so nothing changes. Main thread.
#pragma once

#include <QDialog>
#include <QObject>
#include <QString>
#include <optional>

#include "app/model/app_model.h"
#include "app/model/calibration_model.h"
#include "app/ui/model_bridge.h"

class QComboBox;
class QGridLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace choralink::ui {

// The calibration model's changes as a signal, for every view that shows it
// (it has one change hook). Must not outlive the model.
class CalibrationBridge : public QObject {
  Q_OBJECT

 public:
  CalibrationBridge(CalibrationModel& calibration, QObject* parent = nullptr);
  ~CalibrationBridge() override;
  CalibrationModel& calibration() { return calibration_; }

 Q_SIGNALS:
  void changed();

 private:
  CalibrationModel& calibration_;
};

// What the sheet says while a run goes on: which measurement and which of
// the `devices` in it, from the run's overall fraction (each measurement is
// one half, the devices in turn at equal spacing).
QString calibrationStepText(bool verifying, double fraction, int devices);

class CalibrationSheet : public QDialog {
  Q_OBJECT

 public:
  // Starts from a clean sheet unless a run is going on.
  CalibrationSheet(AppModel& model, ModelBridge& modelBridge, CalibrationBridge& bridge,
                   QWidget* host);

  QComboBox* microphoneChooser() const { return microphones_; }
  QLabel* stepText() const { return step_; }
  QProgressBar* progressBar() const { return progress_; }
  // One row per device after a run: name, offset, confidence, status.
  QGridLayout* resultRows() const { return rows_; }
  QLabel* spreadText() const { return spread_; }
  QLabel* messageText() const { return message_; }
  QPushButton* startButton() const { return start_; }
  QPushButton* applyButton() const { return apply_; }
  QPushButton* cancelButton() const { return cancel_; }

  // Closing without applying ends a run and drops a result.
  void reject() override;

 private:
  void refresh();
  void showResult();

  AppModel& model_;
  CalibrationModel& calibration_;
  QComboBox* microphones_ = nullptr;
  QLabel* step_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QWidget* results_ = nullptr;
  QGridLayout* rows_ = nullptr;
  QVBoxLayout* notes_ = nullptr;
  QLabel* spread_ = nullptr;
  QLabel* message_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* apply_ = nullptr;
  QPushButton* cancel_ = nullptr;
  bool resultShown_ = false;
  std::optional<CalibrationModel::Phase> shownPhase_;
};

}  // namespace choralink::ui
