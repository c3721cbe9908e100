// What the application needs of calibration by microphone, as an interface
// so the app model can be tested against a fake. MicCalibration is the
// engine's implementation.
#pragma once

#include <string>
#include <vector>

#include "engine/calibration/calibration_result.h"
#include "engine/calibration/input_devices.h"

namespace choralink {

class CalibrationControl {
 public:
  virtual ~CalibrationControl() = default;
  // The input devices a calibration can listen with. Any thread.
  virtual std::vector<InputDeviceInfo> microphones() = 0;
  // Starts a run; the callbacks come on the engine's queue. Any thread.
  virtual void start(std::string microphoneUID, CalibrationCallbacks callbacks) = 0;
  // Ends a run without a callback. Any thread.
  virtual void cancel() = 0;
};

}  // namespace choralink
