// Delays that line devices up with the slowest one, plus user offsets.
#include "engine/graph/latency_model.h"

#include <gtest/gtest.h>

namespace choralink {
namespace {

using LatencyModel::compute;
using LatencyModel::Input;
using LatencyModel::Output;

// 7350 frames at 44.1 kHz are 8000 broadcast frames: the speakers wait for
// the headphones; offsets come on top, and a negative one adds nothing.
TEST(LatencyModel, PadsFasterDevicesUpToTheSlowestAcrossRatesPlusOffsets) {
  const auto out = compute({{"spk", 512, 48000, -30}, {"bt", 7350, 44100, 20}}, 48000, 48000);
  EXPECT_EQ(out.at("bt"), (Output{0, 960}));
  EXPECT_EQ(out.at("spk"), (Output{7488, 7488}));
}

TEST(LatencyModel, ClampsOnlyTheTotalToTheRenderLimit) {
  const auto out = compute({{"fast", 0, 0, 0}, {"slow", 60000, 0, 0}}, 48000, 48000);
  EXPECT_EQ(out.at("fast"), (Output{60000, 48000}));
  EXPECT_EQ(out.at("slow"), (Output{0, 0}));
}

TEST(LatencyModel, UnknownDeviceRateTakesFramesAsBroadcastFrames) {
  const auto out = compute({{"a", 100, 0, 0}, {"b", 300, 0, 0}}, 44100, 48000);
  EXPECT_EQ(out.at("a").padFrames, 200);
}

TEST(LatencyModel, EmptyInputAndRepeatedUIDs) {
  EXPECT_TRUE(compute({}, 48000, 48000).empty());
  const auto out = compute({{"a", 100, 0, 0}, {"b", 300, 0, 0}, {"a", 300, 0, 5}}, 48000, 48000);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out.at("a"), (Output{0, 240}));
}

TEST(LatencyModel, MsToFramesRoundsHalvesAwayFromZero) {
  EXPECT_EQ(LatencyModel::msToFrames(15, 44100), 662);
  EXPECT_EQ(LatencyModel::msToFrames(-15, 44100), -662);
  EXPECT_EQ(LatencyModel::msToFrames(20, 48000), 960);
}

}  // namespace
}  // namespace choralink
