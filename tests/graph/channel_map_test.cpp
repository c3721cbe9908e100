// How devices' channels and the captured mix are found in the aggregate
// device's buffer lists, and which device gives the clock.
#include "engine/graph/channel_map.h"

#include <gtest/gtest.h>

namespace choralink {
namespace {

using ChannelMap::build;
using ChannelMap::chooseClock;
using ChannelMap::MapError;
using ChannelMap::SubDevice;
using ChannelMap::tapInput;

struct Ref {
  int32_t buffer, offset, channels;
  friend bool operator==(const Ref&, const Ref&) = default;
};

std::vector<Ref> refs(const cl_slot_layout& layout) {
  std::vector<Ref> out;
  for (int32_t i = 0; i < layout.channel_count; ++i) {
    const cl_channel_ref& c = layout.channels[i];
    out.push_back({c.buffer_index, c.channel_offset, c.buffer_channels});
  }
  return out;
}

std::pair<int32_t, int32_t> pairOf(const cl_slot_layout& layout) {
  return {layout.left, layout.right};
}

std::pair<int32_t, int32_t> tap(const std::vector<int>& sub, const std::vector<int>& aggregate,
                                int channels) {
  const cl_input_layout layout = tapInput(sub, aggregate, channels);
  return {layout.first_buffer, layout.buffer_count};
}

// Wireless only: the first device; nothing at all: no clock.
TEST(ChannelMapClock, PrefersBuiltInThenWiredThenAnythingButBluetooth) {
  using T = Transport;
  const std::pair<std::vector<std::pair<std::string, T>>, std::optional<std::string>> cases[] = {
      {{{"airpods", T::bluetooth}, {"tv", T::hdmi}, {"speakers", T::builtIn}}, "speakers"},
      {{{"airpods", T::bluetooth}, {"kitchen", T::airPlay}}, "kitchen"},
      {{{"virtual", T::virtual_}, {"airpods", T::bluetooth}, {"dock", T::thunderbolt}}, "dock"},
      {{{"airpods", T::bluetooth}, {"le", T::bluetoothLE}}, "airpods"},
      {{}, std::nullopt}};
  for (const auto& [devices, clock] : cases)
    EXPECT_EQ(chooseClock(devices), clock) << devices.size();
}

TEST(ChannelMapBuild, BufferIndexesRunOnAcrossDevices) {
  const auto slots = build({{"A", {2}, {1, 2}}, {"B", {2, 2}, {1, 2}}}, {2, 2, 2});
  ASSERT_EQ(slots.size(), 2u);
  EXPECT_EQ(refs(slots[0].layout), (std::vector<Ref>{{0, 0, 2}, {0, 1, 2}}));
  EXPECT_EQ(refs(slots[1].layout), (std::vector<Ref>{{1, 0, 2}, {1, 1, 2}, {2, 0, 2}, {2, 1, 2}}));
  EXPECT_EQ(pairOf(slots[1].layout), std::make_pair(0, 1));
}

TEST(ChannelMapBuild, EmptyStreamStillTakesABufferIndex) {
  const auto slots = build({{"A", {0, 2}, {1, 2}}, {"B", {1}, {1, 2}}}, {0, 2, 1});
  EXPECT_EQ(refs(slots[0].layout), (std::vector<Ref>{{1, 0, 2}, {1, 1, 2}}));
  EXPECT_EQ(refs(slots[1].layout), (std::vector<Ref>{{2, 0, 1}}));
}

TEST(ChannelMapBuild, MismatchReportsBothSidesAndNoDevicesGiveNoSlots) {
  try {
    build({{"A", {2}, {1, 2}}, {"B", {2, 2}, {1, 2}}}, {2, 2});
    FAIL() << "expected a stream mismatch";
  } catch (const MapError& error) {
    EXPECT_EQ(error, MapError::streamMismatch({2, 2, 2}, {2, 2}));
    EXPECT_STRNE(error.what(), "");
  }
  EXPECT_THROW(build({}, {2}), MapError);
  EXPECT_TRUE(build({}, {}).empty());
}

TEST(ChannelMapBuild, StereoPairIsUsedOnlyWhenItNamesTwoDistinctChannels) {
  const auto pairFor = [](StereoPair pair) {
    return pairOf(build({{"X", {8}, pair}}, {8}).front().layout);
  };
  EXPECT_EQ(pairFor({3, 4}), std::make_pair(2, 3));
  EXPECT_EQ(pairFor({4, 3}), std::make_pair(3, 2));
  EXPECT_EQ(pairFor({0, 0}), std::make_pair(0, 1));
  EXPECT_EQ(pairFor({9, 10}), std::make_pair(0, 1));
  EXPECT_EQ(pairFor({2, 2}), std::make_pair(0, 1));
  EXPECT_EQ(pairFor({8, 9}), std::make_pair(0, 1));
  EXPECT_EQ(pairFor({9, 2}), std::make_pair(0, 1));
}

TEST(ChannelMapBuild, MonoAndSilentDevicesPlayOnChannelZero) {
  const auto mono = build({{"M", {1}, {1, 2}}}, {1}).front().layout;
  EXPECT_EQ(mono.channel_count, 1);
  EXPECT_EQ(pairOf(mono), std::make_pair(0, 0));
  const auto none = build({{"N", {0}, {1, 2}}}, {0}).front().layout;
  EXPECT_EQ(none.channel_count, 0);
  EXPECT_EQ(pairOf(none), std::make_pair(0, 0));
}

TEST(ChannelMapBuild, KeepsAtMostThirtyTwoChannelsAndZeroesTheRest) {
  const auto wide = build({{"W", {40}, {33, 34}}}, {40}).front().layout;
  EXPECT_EQ(wide.channel_count, 32);
  EXPECT_EQ(wide.channels[31].channel_offset, 31);
  EXPECT_EQ(pairOf(wide), std::make_pair(0, 1));  // 33 and 34 were cut off

  const auto small = build({{"S", {2}, {1, 2}}}, {2}).front().layout;
  for (int i = 2; i < CL_MAX_SLOT_CHANNELS; ++i) {
    EXPECT_EQ((Ref{small.channels[i].buffer_index, small.channels[i].channel_offset,
                   small.channels[i].buffer_channels}),
              (Ref{0, 0, 0}));
  }
}

// Where the captured mix starts in the aggregate's input buffers, and how
// many buffers it spans.
TEST(ChannelMapTap, TapIsFoundAfterTheDevicesInputs) {
  EXPECT_EQ(tap({2, 2}, {2, 2, 2}, 2), std::make_pair(2, 1));
  EXPECT_EQ(tap({}, {2}, 2), std::make_pair(0, 1));
  EXPECT_EQ(tap({2}, {2, 1, 1}, 2), std::make_pair(1, 2));  // split stereo: two mono buffers
  EXPECT_EQ(tap({2}, {2, 1}, 2), std::make_pair(1, 1));     // only one stream left
  EXPECT_EQ(tap({2}, {2, 1, 1}, 1), std::make_pair(1, 1));  // a mono tap
  // With nothing after the devices' inputs, the last streams are taken.
  EXPECT_EQ(tap({}, {}, 2), std::make_pair(-1, 0));
  EXPECT_EQ(tap({2, 2}, {2, 1}, 2), std::make_pair(0, 2));
  EXPECT_EQ(tap({2, 2}, {2, 2}, 2), std::make_pair(1, 1));
  EXPECT_EQ(tap({2, 2}, {1}, 2), std::make_pair(0, 1));
}

}  // namespace
}  // namespace choralink
