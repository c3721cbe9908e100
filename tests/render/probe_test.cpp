// The measurement signal: one slot at a time on its schedule, past the delay
// line, every other slot silent, and the program back once it ends.
#include <gtest/gtest.h>

#include <vector>

#include "tests/render/render_fixture.h"

namespace choralink::test {
namespace {

constexpr uint32_t kCycle = 32;

// Three stereo devices interleaved in one six-channel buffer, a steady 0.5
// program, slot 0 delayed by 100 frames. Records each slot's left and right.
struct ProbeRig {
  ProbeRig() {
    std::vector<cl_slot_layout> layouts;
    for (int s = 0; s < 3; ++s)
      layouts.push_back(interleavedLayout(0, 6, 2 * s, 2 * s + 1));
    render = makeRender(layouts);
    cl_render_set_delay_frames(render.get(), 0, 100);
    in.fill(0.5f);
  }
  void run(int cycles) {
    for (int c = 0; c < cycles; ++c) {
      runCycle(render.get(), in, out);
      for (uint32_t n = 0; n < kCycle; ++n) {
        for (int s = 0; s < 3; ++s) {
          left[s].push_back(out.at(0, n, 2 * s));
          right[s].push_back(out.at(0, n, 2 * s + 1));
        }
      }
    }
  }
  RenderPtr render;
  BufferList in{{2}, kCycle};
  BufferList out{{6}, kCycle};
  std::vector<float> left[3], right[3];
};

TEST(MeasurementProbe, PlaysEachScheduledSlotInTurnAndSilencesTheRest) {
  ProbeRig rig;
  rig.run(8);  // the program fills the delay line
  std::vector<float> signal(20);
  for (std::size_t i = 0; i < signal.size(); ++i)
    signal[i] = 0.01f * static_cast<float>(i + 1);
  const int32_t slots[] = {2, 0};
  cl_render_start_probe(rig.render.get(), signal.data(), 20, slots, 2, 10, 50);
  rig.run(4);

  const std::size_t start = 8 * kCycle;
  for (std::size_t n = 0; n < 4 * kCycle; ++n) {
    const auto p = static_cast<int64_t>(n);
    const float slot2 = p >= 10 && p < 30 ? signal[p - 10] : 0.0f;
    const float slot0 = p >= 60 && p < 80 ? signal[p - 60] : 0.0f;  // not 100 frames later
    EXPECT_EQ(rig.left[2][start + n], slot2) << n;
    EXPECT_EQ(rig.right[2][start + n], slot2) << n;
    EXPECT_EQ(rig.left[0][start + n], slot0) << n;
    EXPECT_EQ(rig.left[1][start + n], 0.0f) << n;
  }
  EXPECT_EQ(cl_render_probe_position(rig.render.get()), 4 * kCycle);

  cl_render_end_probe(rig.render.get());
  rig.run(1);
  EXPECT_EQ(cl_render_probe_position(rig.render.get()), -1);
  EXPECT_GT(rig.left[1].back(), 0.0f);
  // The delay line kept being fed: the delayed slot plays the program too.
  rig.run(60);
  EXPECT_NEAR(rig.left[0].back(), 0.5f, 0.01f);
}

}  // namespace
}  // namespace choralink::test
