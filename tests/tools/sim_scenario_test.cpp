// The choralink-sim scenario, end to end through the router on a simulated
// machine: the product's promise that a click reaches every speaker at the
// same moment (within one frame), that a user's offset moves one device by
// exactly that much, and how quickly a broadcast comes back after an unplug.
// The measured figures are printed.
#include "tools/choralink-sim/sim_scenario.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>

namespace choralink::simtool {
namespace {

const DeviceResult& deviceOf(const ToneResult& tone, const std::string& key) {
  for (const DeviceResult& device : tone.devices) {
    if (device.key == key) return device;
  }
  throw std::invalid_argument("no result for " + key);
}

TEST(SimScenarioTest, TheDefaultDevicesHearTheClicksWithinOneFrame) {
  const Options options;
  const Report report = run(options);
  ASSERT_EQ(report.tone.devices.size(), 4u);
  for (const DeviceResult& device : report.tone.devices) {
    EXPECT_TRUE(device.playing) << device.name;
    EXPECT_EQ(device.clicks.size(), 6u) << device.name;
  }
  ASSERT_TRUE(report.tone.firstClickSpreadFrames);
  ASSERT_TRUE(report.tone.widestSpreadFrames);
  EXPECT_LE(*report.tone.firstClickSpreadFrames, 1.0);
  EXPECT_LE(*report.tone.widestSpreadFrames, 1.0);
  std::printf(
      "[ spread   ] default devices: first click within %.4f frames, all six within "
      "%.4f frames at 48000 Hz\n",
      *report.tone.firstClickSpreadFrames, *report.tone.widestSpreadFrames);
  EXPECT_NE(format(report, options).find("within one frame"), std::string::npos);
}

// One run for both: the offset is measured on the tone before the unplug.
TEST(SimScenarioTest, AnOffsetMovesItsDeviceAndAfterAnUnplugTheOthersPlayAgainInStep) {
  Options options;
  options.offsetsMs["hdmi"] = 20;
  options.unplug = "usb";
  const Report report = run(options);
  const double tv = deviceOf(report.tone, "hdmi").clicks.at(0);
  const double speakers = deviceOf(report.tone, "builtin").clicks.at(0);
  EXPECT_NEAR((tv - speakers) * report.rate, 960, 1.0);
  ASSERT_TRUE(report.recoverySeconds);
  // 0.3 s catalog debounce + 0.25 s rebuild delay, then the slowest of the
  // remaining devices (the Bluetooth headphones, 0.4 s) joins.
  EXPECT_NEAR(*report.recoverySeconds, 0.95, 1e-6);
  ASSERT_TRUE(report.toneAfterRecovery);
  EXPECT_EQ(report.toneAfterRecovery->devices.size(), 3u);
  // In step again, the TV still 20 ms behind the others.
  ASSERT_TRUE(report.toneAfterRecovery->widestSpreadFrames);
  EXPECT_NEAR(*report.toneAfterRecovery->widestSpreadFrames, 960, 1.0);
  std::printf("[ recovery ] default devices, USB unplugged: playing again after %.3f s\n",
              *report.recoverySeconds);
}

TEST(SimScenarioTest, MistakesInTheOptionsAreRefused) {
  Options unknown, stray, gone;
  unknown.devices = {"builtin", "theremin"};
  stray.offsetsMs["airplay"] = 10;
  gone.unplug = "displayport";
  for (const Options& mistaken : {unknown, stray, gone})
    EXPECT_THROW(run(mistaken), std::invalid_argument);
}

}  // namespace
}  // namespace choralink::simtool
