#include "app/model/calibration_model.h"

#include <algorithm>

#include "engine/calibration/calibration_texts.h"

namespace choralink {

CalibrationModel::CalibrationModel(Executor& executor, CalibrationControl& control, AppModel& model)
    : executor_(executor), control_(control), model_(model) {
  refreshMicrophones();
}

CalibrationModel::~CalibrationModel() {
  *alive_ = false;
  if (phase_ == Phase::running) control_.cancel();
}

bool CalibrationModel::canCalibrate() const {
  return model_.engineState().is(EngineState::Kind::running) && !microphones_.empty() &&
         phase_ != Phase::running;
}

void CalibrationModel::refreshMicrophones() {
  microphones_ = control_.microphones();
  const bool kept = std::any_of(microphones_.begin(), microphones_.end(),
                                [&](const InputDeviceInfo& m) { return m.uid == microphoneUID_; });
  if (!kept) microphoneUID_ = microphones_.empty() ? std::string() : microphones_.front().uid;
  changed();
}

void CalibrationModel::chooseMicrophone(const std::string& uid) {
  if (std::none_of(microphones_.begin(), microphones_.end(),
                   [&](const InputDeviceInfo& m) { return m.uid == uid; })) {
    return;
  }
  microphoneUID_ = uid;
  changed();
}

void CalibrationModel::start() {
  const std::uint64_t run = ++run_;
  result_.reset();
  message_.clear();
  progress_ = 0;
  verifying_ = false;
  if (microphoneUID_.empty()) {
    phase_ = Phase::failed;
    message_ = CalibrationTexts::kNoMicrophone;
    return changed();
  }
  phase_ = Phase::running;
  changed();
  // Each callback hops to the model's thread and is dropped there when the
  // model is gone or a later run (or a cancel) has replaced this one.
  const auto deliver = [this, run, alive = std::weak_ptr<bool>(alive_)](auto apply) {
    executor_.post([this, run, alive, apply] {
      if (alive.expired() || run != run_ || phase_ != Phase::running) return;
      apply();
      changed();
    });
  };
  control_.start(microphoneUID_, CalibrationCallbacks{
                                     [deliver, this](const CalibrationProgress& p) {
                                       deliver([this, p] {
                                         progress_ = p.fraction;
                                         verifying_ =
                                             p.phase == CalibrationProgress::Phase::verifying;
                                       });
                                     },
                                     [deliver, this](const CalibrationResult& r) {
                                       deliver([this, r] {
                                         result_ = r;
                                         progress_ = 1;
                                         phase_ = Phase::finished;
                                       });
                                     },
                                     [deliver, this](const std::string& m) {
                                       deliver([this, m] {
                                         message_ = m;
                                         phase_ = Phase::failed;
                                       });
                                     },
                                 });
}

void CalibrationModel::cancel() {
  if (phase_ == Phase::running) control_.cancel();
  ++run_;
  phase_ = Phase::idle;
  result_.reset();
  progress_ = 0;
  changed();
}

bool CalibrationModel::apply() {
  if (phase_ != Phase::finished || !result_) return false;
  for (const DeviceCalibration& device : result_->devices) {
    if (device.status != DeviceCalibrationStatus::heard) continue;
    const auto& devices = model_.devices();
    const auto info = std::find_if(devices.begin(), devices.end(),
                                   [&](const AudioDeviceInfo& d) { return d.uid == device.uid; });
    if (info != devices.end()) model_.setOffset(*info, device.newOffsetMs);
  }
  phase_ = Phase::idle;
  result_.reset();
  changed();
  return true;
}

void CalibrationModel::changed() {
  if (onChange_) onChange_();
}

}  // namespace choralink
