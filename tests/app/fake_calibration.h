// A calibration that hands each run's callbacks to the test, which plays
// the engine.
#pragma once

#include <string>
#include <vector>

#include "engine/calibration/calibration_control.h"

namespace choralink::test {

class FakeCalibration final : public CalibrationControl {
 public:
  std::vector<InputDeviceInfo> microphones() override { return mics; }
  void start(std::string uid, CalibrationCallbacks callbacks) override {
    started.push_back(uid);
    current = std::move(callbacks);
  }
  void cancel() override { ++cancels; }

  std::vector<InputDeviceInfo> mics{{7, "mic-1", "Desk Mic", 1, 0, 48000}};
  std::vector<std::string> started;
  CalibrationCallbacks current;
  int cancels = 0;
};

}  // namespace choralink::test
