// What a calibration by microphone reports: per device what was heard and
// the proposed offset, the spreads before and after, and its progress.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace choralink {

enum class DeviceCalibrationStatus { heard, notHeard, vanished };

struct DeviceCalibration {
  std::string uid;
  std::string name;
  DeviceCalibrationStatus status = DeviceCalibrationStatus::notHeard;
  // Peak of the correlation against the rest of its window.
  double confidenceDb = 0;
  // How much earlier than the latest device this one sounded with the
  // delays in use (heard devices only).
  double measuredOffsetMs = 0;
  std::int64_t currentOffsetMs = 0;
  // The proposal; the current offset for a device not heard.
  std::int64_t newOffsetMs = 0;
  // For a device left alone: its name and what to do (CalibrationTexts).
  std::string note;
};

struct CalibrationResult {
  std::vector<DeviceCalibration> devices;  // in slot order
  // Spread of the heard arrivals with the delays in use, and with the
  // proposed ones as the verifying measurement heard them.
  double spreadBeforeMs = 0;
  double spreadAfterMs = 0;
};

struct CalibrationProgress {
  enum class Phase { measuring, verifying } phase = Phase::measuring;
  double fraction = 0;  // of the whole run, 0…1
};

struct CalibrationCallbacks {
  std::function<void(const CalibrationProgress&)> progress;
  std::function<void(const CalibrationResult&)> finished;
  // A CalibrationTexts message.
  std::function<void(const std::string&)> failed;
};

}  // namespace choralink
