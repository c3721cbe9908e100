// Clock error: a sub-device the aggregate does not resample plays at its own
// pace and slides out of time; a resampled one stays with the clock device.
#include <gtest/gtest.h>

#include "tests/hal/io_probe.h"
#include "tests/hal/sim_fixture.h"

namespace choralink::sim {
namespace {

using presets::kSpeakersUID;
using presets::kTVUID;
using presets::kUSBInterfaceUID;

constexpr float kThreshold = 0.5f;
constexpr double kRate = 8000;

class SimDriftTest : public SimTest {
 protected:
  // Where the click at `clickTime` is heard on `uid`, in seconds.
  double heard(const char* uid, double clickTime) {
    const auto rec = sim.recording(uid, clickTime - 0.5, clickTime + 1.0);
    EXPECT_TRUE(rec);
    const auto at = rec->onsetTime(kThreshold, clickTime - 0.5);
    EXPECT_TRUE(at) << uid;
    return at.value_or(0);
  }
};

TEST_F(SimDriftTest, UncompensatedSubDeviceSlidesAtItsClockErrorCompensatedOneStaysPut) {
  constexpr double kPpm = 200;
  constexpr double kMinutes = 10;
  sim.addDevice(presets::usbInterface());
  // A low rate and large buffers keep ten simulated minutes quick; nothing
  // about drift depends on the rate.
  for (const char* uid : {kSpeakersUID, kTVUID, kUSBInterfaceUID}) {
    sim.modifyDevice(uid, [](DeviceSpec& s) {
      s.nominalRate = kRate;
      s.recordRate = kRate;
      s.availableRates = discreteRates({kRate});
      s.bufferFrameSize = 1024;
    });
  }
  sim.modifyDevice(kTVUID, [](DeviceSpec& s) { s.clockErrorPpm = kPpm; });
  sim.modifyDevice(kUSBInterfaceUID, [](DeviceSpec& s) { s.clockErrorPpm = kPpm; });
  sim.setSystemMix(SignalSource::clickTrain(0.25, 1.0));

  const AudioObjectID tap = makeTap(true);
  const AudioObjectID agg =
      makeAggregate(description({{kSpeakersUID, false}, {kTVUID, false}, {kUSBInterfaceUID, true}},
                                kSpeakersUID, {HAL::getString(sim, tap, kPropTapUID)}));
  ASSERT_TRUE(waitForJoins(agg, 3));
  IOProbe probe;
  probe.tapBuffer = 1;  // after the interface's input
  probe.passThrough = true;
  probe.keepCaptured = false;
  IOProcID proc;
  ASSERT_EQ(sim.createIOProcID(agg, IOProbe::proc, &probe, proc), kStatusOK);
  sim.startDevice(agg, proc);

  sim.stepIO(3.0);
  const double speakersEarly = heard(kSpeakersUID, 1.25);
  const double tvEarly = heard(kTVUID, 1.25);
  const double usbEarly = heard(kUSBInterfaceUID, 1.25);

  sim.stepIO(kMinutes * 60);
  const double last = 1.25 + (kMinutes * 60 - 1);
  const double speakersLate = heard(kSpeakersUID, last);
  const double tvLate = heard(kTVUID, last);
  const double usbLate = heard(kUSBInterfaceUID, last);

  const double frame = 1 / kRate;
  // The clock device itself keeps its offset to the sound exactly.
  EXPECT_NEAR(speakersLate - last, speakersEarly - 1.25, frame);
  // The resampled interface stays put relative to the clock device.
  EXPECT_NEAR((usbLate - speakersLate) - (usbEarly - speakersEarly), 0.0, 2 * frame);
  // The TV's clock runs 200 ppm fast: over ten minutes it gets 120 ms ahead.
  const double slide = (tvLate - speakersLate) - (tvEarly - speakersEarly);
  EXPECT_NEAR(slide, -kPpm * 1e-6 * (last - 1.25), 2 * frame);
  EXPECT_LT(slide, -0.11);
}

TEST_F(SimDriftTest, AClockDeviceWithErrorPacesTheWholeAggregate) {
  sim.modifyDevice(kSpeakersUID, [](DeviceSpec& s) { s.clockErrorPpm = -500; });
  const AudioObjectID agg = makeAggregate(description({{kSpeakersUID, false}}, kSpeakersUID));
  ASSERT_TRUE(waitForJoins(agg, 1));
  IOProbe probe;
  IOProcID proc;
  sim.createIOProcID(agg, IOProbe::proc, &probe, proc);
  sim.startDevice(agg, proc);
  sim.modifyDevice(kSpeakersUID, [](DeviceSpec& s) { s.bufferFrameSize = 480; });
  sim.stepIO(10000.5 * 480 / 48000.0);
  // A slow clock: 0.05 % fewer cycles than the 10001 a true clock would run.
  EXPECT_EQ(probe.calls, 9996);
}

}  // namespace
}  // namespace choralink::sim
