// Creation, clamping and null tolerance of the render state's controls.
#include <gtest/gtest.h>

#include <limits>

#include "tests/render/render_fixture.h"

namespace choralink::test {
namespace {

cl_render_info infoOf(const cl_render* r) {
  cl_render_info info{};
  EXPECT_EQ(cl_render_get_info(r, &info), 1);
  return info;
}

cl_slot_info slotOf(const cl_render* r, int32_t slot) {
  cl_slot_info info{};
  EXPECT_EQ(cl_render_get_slot_info(r, slot, &info), 1);
  return info;
}

TEST(RenderCreate, RejectsSlotCountsOutsideZeroToSixteen) {
  std::vector<cl_slot_layout> layouts(17, interleavedLayout(0));
  EXPECT_EQ(cl_render_create(17, layouts.data(), kInterleavedInput, 100, 48000.0), nullptr);
  EXPECT_EQ(cl_render_create(-1, layouts.data(), kInterleavedInput, 100, 48000.0), nullptr);
  EXPECT_NE(RenderPtr(cl_render_create(16, layouts.data(), kInterleavedInput, 100, 48000.0)),
            nullptr);
  EXPECT_NE(RenderPtr(cl_render_create(0, nullptr, kInterleavedInput, 100, 48000.0)), nullptr);
}

TEST(RenderCreate, RejectsBadRatesDelaysAndMissingLayouts) {
  const cl_slot_layout y = interleavedLayout(0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double rate : {0.0, -48000.0, nan, std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(cl_render_create(1, &y, kInterleavedInput, 100, rate), nullptr) << rate;
  }
  EXPECT_EQ(cl_render_create(1, &y, kInterleavedInput, -1, 48000.0), nullptr);
  EXPECT_EQ(cl_render_create(1, nullptr, kInterleavedInput, 100, 48000.0), nullptr);
  // A delay whose ring would not fit in 32 bits is refused rather than looping.
  EXPECT_EQ(
      cl_render_create(1, &y, kInterleavedInput, std::numeric_limits<int32_t>::max(), 48000.0),
      nullptr);
  // A very low rate is accepted; its crossfade still lasts a frame.
  RenderPtr slow = makeRender({interleavedLayout(0)}, 0, 30.0);
  EXPECT_EQ(infoOf(slow.get()).fade_frames, 1);
}

TEST(RenderCreate, SizesTheDelayLineToThePowerOfTwoAboveMaxDelayPlusOneCycle) {
  const std::pair<int32_t, uint32_t> cases[] = {{0, 16384},     {8191, 16384},  {8192, 32768},
                                                {48000, 65536}, {57343, 65536}, {57344, 131072}};
  for (auto [maxDelay, ring] : cases) {
    RenderPtr r = makeRender({}, maxDelay);
    EXPECT_EQ(infoOf(r.get()).ring_frames, ring) << maxDelay;
  }
}

TEST(RenderCreate, ClampsChannelCounts) {
  cl_slot_layout wide = interleavedLayout(0);
  wide.channel_count = 40;
  cl_slot_layout negative = interleavedLayout(0);
  negative.channel_count = -3;
  RenderPtr r = makeRender({wide, negative});
  EXPECT_EQ(slotOf(r.get(), 0).channel_count, 32);
  EXPECT_EQ(slotOf(r.get(), 1).channel_count, 0);
}

TEST(RenderControls, ClampGainDelayAndEnable) {
  RenderPtr r = makeRender({interleavedLayout(0)}, 1000);
  cl_render* h = r.get();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (auto [gain, stored] : {std::pair{1.5f, 1.0f}, {-0.2f, 0.0f}, {0.25f, 0.25f}, {nan, 0.0f}}) {
    cl_render_set_gain(h, 0, gain);
    EXPECT_EQ(slotOf(h, 0).gain_target, stored) << gain;
  }
  for (auto [delay, stored] : {std::pair{5000, 1000}, {-7, 0}, {321, 321}}) {
    cl_render_set_delay_frames(h, 0, delay);
    EXPECT_EQ(slotOf(h, 0).delay_target, stored) << delay;
  }
  for (auto [enabled, stored] : {std::pair{0, 0}, {42, 1}}) {
    cl_render_set_enabled(h, 0, enabled);
    EXPECT_EQ(slotOf(h, 0).enabled, stored) << enabled;
  }
}

TEST(RenderControls, IgnoreSlotsOutOfRangeAndNullStates) {
  RenderPtr r = makeRender({interleavedLayout(0)}, 1000);
  cl_render* h = r.get();
  for (int32_t slot : {-1, 1, 16, 1000}) {
    cl_render_set_gain(h, slot, 0.5f);
    cl_render_set_delay_frames(h, slot, 10);
    cl_render_set_enabled(h, slot, 0);
    EXPECT_EQ(cl_render_take_peak(h, slot), 0.0f);
    cl_slot_info info{};
    EXPECT_EQ(cl_render_get_slot_info(h, slot, &info), 0);
  }
  EXPECT_EQ(slotOf(h, 0).gain_target, 1.0f);
  EXPECT_EQ(slotOf(h, 0).enabled, 1);

  cl_render_destroy(nullptr);
  cl_render_set_gain(nullptr, 0, 0.5f);
  cl_render_set_delay_frames(nullptr, 0, 1);
  cl_render_set_enabled(nullptr, 0, 1);
  cl_render_trigger_test_tone(nullptr);
  EXPECT_EQ(cl_render_take_peak(nullptr, 0), 0.0f);
  EXPECT_EQ(cl_render_take_input_peak(nullptr), 0.0f);
  EXPECT_EQ(cl_render_heartbeat(nullptr), 0u);
  EXPECT_EQ(cl_render_silent_frames(nullptr), 0u);
  cl_render_info info{};
  EXPECT_EQ(cl_render_get_info(nullptr, &info), 0);
  EXPECT_EQ(cl_ioproc(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
}

extern "C" int cl_header_compiles_as_c(void);

TEST(RenderHeader, IsUsableFromC) {
  EXPECT_EQ(cl_header_compiles_as_c(), 1);
}

}  // namespace
}  // namespace choralink::test
