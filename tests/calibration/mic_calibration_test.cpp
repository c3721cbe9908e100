// Calibration by microphone in the simulated room: it must line up what the
// listener really hears, survive noise and a device leaving, and change
// nothing when it cannot finish.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/calibration/calibration_texts.h"
#include "tests/calibration/room_fixture.h"

namespace choralink::test {
namespace {

using ::testing::HasSubstr;

// Noise 10 dB below the sweep as the farthest device delivers it (its RMS
// at the microphone: peak / sqrt 2 / distance).
constexpr double kNoise10dBBelow = 0.1 / 1.41421356 / 4.0 / 3.16227766;

struct AlignmentCase {
  const char* name;
  double noiseRms;
  // The headphones' reported latency instead of the fixture's; 0: as is.
  std::uint32_t headphonesFrames = 0;
};

class CalibrationAlignmentTest : public RoomTest,
                                 public ::testing::WithParamInterface<AlignmentCase> {};

TEST_P(CalibrationAlignmentTest, AppliedResultLinesUpWhatTheListenerHears) {
  plug(microphoneSpec());
  system().setRoom(standardRoom().withNoise(GetParam().noiseRms));
  if (const std::uint32_t frames = GetParam().headphonesFrames) {
    system().modifyDevice("Room-Headphones", [&](sim::DeviceSpec& s) { s.latencyFrames = frames; });
  }
  startBroadcast();
  const double before = spreadMs(heardSeconds());
  ASSERT_GE(before, 30.0);

  calibrate();
  runToEnd();
  ASSERT_FALSE(outcome.failure) << *outcome.failure;
  ASSERT_TRUE(outcome.result);
  const CalibrationResult& result = *outcome.result;
  // Its own figures agree with the truth.
  EXPECT_NEAR(result.spreadBeforeMs, before, 0.5);
  EXPECT_LE(result.spreadAfterMs, 1.0);
  ASSERT_EQ(result.devices.size(), kRoomDevices.size());
  std::int64_t smallest = 1000;
  for (const DeviceCalibration& device : result.devices) {
    EXPECT_EQ(device.status, DeviceCalibrationStatus::heard) << device.name;
    EXPECT_GE(device.confidenceDb, MicCalibration::kMinConfidenceDb) << device.name;
    smallest = std::min(smallest, device.newOffsetMs);
  }
  EXPECT_EQ(smallest, 0);
  // Nothing changed until the result is applied.
  EXPECT_NEAR(spreadMs(heardSeconds()), before, 1e-9);

  apply(result);
  EXPECT_LE(spreadMs(heardSeconds()), 1.0);
  // The progress went forward through both measurements.
  ASSERT_FALSE(outcome.progress.empty());
  EXPECT_EQ(outcome.progress.back().phase, CalibrationProgress::Phase::verifying);
  EXPECT_TRUE(std::is_sorted(outcome.progress.begin(), outcome.progress.end(),
                             [](const auto& a, const auto& b) { return a.fraction < b.fraction; }));
}

INSTANTIATE_TEST_SUITE_P(Rooms, CalibrationAlignmentTest,
                         ::testing::Values(AlignmentCase{"Quiet", 0.0},
                                           AlignmentCase{"Noise10dBBelowSignal", kNoise10dBBelow},
                                           // Truly heard a second late: past one second apart.
                                           AlignmentCase{"HeadphonesOverASecondLate", 0.0, 44640}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RoomTest, DeviceUnpluggedDuringRunIsNamedAndOthersAreCalibrated) {
  plug(microphoneSpec());
  system().setRoom(standardRoom());
  startBroadcast();
  calibrate();
  advance(1.5);  // within the TV's turn, the third
  unplug("Room-TV");
  runToEnd();

  ASSERT_FALSE(outcome.failure) << *outcome.failure;
  ASSERT_TRUE(outcome.result);
  for (const DeviceCalibration& device : outcome.result->devices) {
    if (device.uid == "Room-TV") {
      EXPECT_EQ(device.status, DeviceCalibrationStatus::vanished);
      EXPECT_THAT(device.note, HasSubstr("Television disappeared"));
      EXPECT_EQ(device.newOffsetMs, device.currentOffsetMs);
    } else {
      EXPECT_EQ(device.status, DeviceCalibrationStatus::heard) << device.name;
    }
  }
  apply(*outcome.result);
  EXPECT_LE(spreadMs(heardSeconds()), 1.0);
}

enum class Microphone { none, muted, drowned, normal };
enum class Disturbance { none, stopBroadcast, unplugMicrophone, cancel };

struct FailureCase {
  const char* name;
  Microphone microphone;
  Disturbance disturbance;  // one second into the run
  const char* message;      // null: the run ends without one (cancelled)
};

class CalibrationFailureTest : public RoomTest,
                               public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CalibrationFailureTest, GivesItsMessageAndChangesNothing) {
  const FailureCase& c = GetParam();
  if (c.microphone != Microphone::none) plug(microphoneSpec());
  if (c.microphone == Microphone::muted) system().setRoom(standardRoom().muted());
  if (c.microphone == Microphone::drowned) system().setRoom(standardRoom().withNoise(4.0));
  if (c.microphone == Microphone::normal) system().setRoom(standardRoom());
  startBroadcast();
  router->setOffset("Room-TV", 40, true);
  const BroadcastConfig before = router->config();
  const auto ioProcs = system().liveObjects().ioProcs;

  calibrate();
  advance(1.0);
  if (c.disturbance == Disturbance::stopBroadcast) router->stop();
  if (c.disturbance == Disturbance::unplugMicrophone) unplug(kMicUID);
  if (c.disturbance == Disturbance::cancel) calibration().cancel();
  runToEnd(12);

  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.failure, c.message ? std::optional<std::string>(c.message) : std::nullopt);
  EXPECT_EQ(router->config(), before);
  // The capture is gone and the broadcast, if it runs, plays the program again.
  EXPECT_LE(system().liveObjects().ioProcs, ioProcs);
  EXPECT_FALSE(router->measurementPosition());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, CalibrationFailureTest,
    ::testing::Values(FailureCase{"NoMicrophone", Microphone::none, Disturbance::none,
                                  CalibrationTexts::kNoMicrophone},
                      FailureCase{"MutedMicrophone", Microphone::muted, Disturbance::none,
                                  CalibrationTexts::kTooQuiet},
                      FailureCase{"DrownedInNoise", Microphone::drowned, Disturbance::none,
                                  CalibrationTexts::kTooNoisy},
                      FailureCase{"BroadcastStopped", Microphone::normal,
                                  Disturbance::stopBroadcast, CalibrationTexts::kBroadcastStopped},
                      FailureCase{"MicrophoneUnplugged", Microphone::normal,
                                  Disturbance::unplugMicrophone, CalibrationTexts::kMicrophoneLost},
                      FailureCase{"Cancelled", Microphone::normal, Disturbance::cancel, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace choralink::test
