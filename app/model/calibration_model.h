// The model behind "Calibrate with Microphone…": which microphones exist,
// the one chosen, a run's progress, its result or failure text, and the two
// user actions that end a run (apply, cancel). Applying sets each heard
// device's offset through the app model, exactly as if the user had set it,
// so it is saved and reaches the engine the usual way; until then nothing
// changes.
//
// Lives on the app model's thread (its Executor); the calibration's
// callbacks arrive on the engine's queue and are carried over to it. No
// toolkit: a view reads the fields after onChange and calls the operations.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/model/app_model.h"
#include "engine/calibration/calibration_control.h"
#include "engine/dispatch/executor.h"

namespace choralink {

class CalibrationModel {
 public:
  enum class Phase { idle, running, finished, failed };

  CalibrationModel(Executor& executor, CalibrationControl& control, AppModel& model);
  ~CalibrationModel();
  CalibrationModel(const CalibrationModel&) = delete;
  CalibrationModel& operator=(const CalibrationModel&) = delete;

  // ---- Fields ----------------------------------------------------------------

  Phase phase() const { return phase_; }
  // 0…1 while running (both measurements together).
  double progress() const { return progress_; }
  // Whether the run is in its verifying measurement.
  bool verifying() const { return verifying_; }
  const std::vector<InputDeviceInfo>& microphones() const { return microphones_; }
  // The chosen microphone's UID; the first one found until the user chooses.
  const std::string& microphoneUID() const { return microphoneUID_; }
  // Phase finished: per device the measured offset, confidence and proposal.
  const std::optional<CalibrationResult>& result() const { return result_; }
  // Phase failed: what went wrong and what to do.
  const std::string& message() const { return message_; }

  // "Calibrate with Microphone…" is enabled: broadcasting and a microphone
  // exists (as of the last refresh).
  bool canCalibrate() const;

  // Called after every change of a field above. May be empty.
  void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

  // ---- Operations --------------------------------------------------------------

  // Reads the microphones again; keeps the choice while that one exists.
  void refreshMicrophones();
  // Ignored for a UID that is not one of the microphones.
  void chooseMicrophone(const std::string& uid);
  // Starts a run with the chosen microphone (replacing one in progress).
  void start();
  // Ends a running run, or dismisses a result without applying it.
  void cancel();
  // Applies a finished result's proposals; false (nothing changed) when
  // there is none.
  bool apply();

 private:
  void changed();

  Executor& executor_;
  CalibrationControl& control_;
  AppModel& model_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::uint64_t run_ = 0;  // callbacks of an earlier run are dropped

  Phase phase_ = Phase::idle;
  double progress_ = 0;
  bool verifying_ = false;
  std::vector<InputDeviceInfo> microphones_;
  std::string microphoneUID_;
  std::optional<CalibrationResult> result_;
  std::string message_;
  std::function<void()> onChange_;
};

}  // namespace choralink
