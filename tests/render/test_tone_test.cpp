// The six-click test tone: shape, restart, and its end. That it passes through
// each slot's delay line is measured end to end by BroadcastSyncTest.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/render/render_fixture.h"

namespace choralink::test {
namespace {

constexpr double kRate = 48000.0;
constexpr int kClickLen = 1440;
constexpr int kSpacing = 24000;
constexpr int kTotal = 5 * kSpacing + kClickLen;

// Runs silent input through a render state for `frames` frames (cycles of 480)
// and returns slot 0's left channel.
std::vector<float> play(cl_render* r, int frames,
                        const std::function<void(int cycle)>& before = {}) {
  BufferList in({2}, 480);
  BufferList out({2}, 480);
  std::vector<float> left;
  for (int c = 0; c * 480 < frames; ++c) {
    if (before) before(c);
    runCycle(r, in, out);
    for (uint32_t n = 0; n < 480; ++n)
      left.push_back(out.at(0, n, 0));
  }
  left.resize(static_cast<size_t>(frames));
  return left;
}

// Index of the first sample whose magnitude exceeds `level`, from `from`.
int firstAbove(const std::vector<float>& v, float level, int from = 0) {
  for (int i = from; i < static_cast<int>(v.size()); ++i) {
    if (std::fabs(v[static_cast<size_t>(i)]) > level) return i;
  }
  return -1;
}

class TestTone : public ::testing::Test {
 protected:
  void SetUp() override {
    r_ = makeRender({interleavedLayout(0)}, 48000, kRate);
    play(r_.get(), 48000);  // let the gain settle at unity
  }
  RenderPtr r_;
};

TEST_F(TestTone, PlaysSixHannWindowedThousandHertzClicksHalfASecondApart) {
  cl_render_trigger_test_tone(r_.get());
  const std::vector<float> out = play(r_.get(), kTotal + 4800);
  for (int k = 0; k < 6; ++k) {
    const int start = k * kSpacing;
    float peak = 0.0f;
    for (int m = 0; m < kClickLen; ++m) {
      const double w = 0.5 - 0.5 * std::cos(2.0 * M_PI * m / (kClickLen - 1));
      const double v = std::sin((m / kRate) * 2.0 * M_PI * 1000.0);
      const float expected = static_cast<float>(w * v) * 0.5f;
      ASSERT_EQ(out[static_cast<size_t>(start + m)], expected) << "click " << k << " frame " << m;
      peak = std::max(peak, std::fabs(expected));
    }
    EXPECT_NEAR(peak, 0.5f, 1e-3f);
    // Silence between clicks.
    const int gapEnd = k < 5 ? start + kSpacing : kTotal + 4800;
    for (int i = start + kClickLen; i < gapEnd; ++i)
      ASSERT_EQ(out[static_cast<size_t>(i)], 0.0f);
  }
}

TEST_F(TestTone, ATriggerDuringTheToneRestartsFromTheFirstClick) {
  std::vector<float> out = play(r_.get(), 3 * kSpacing, [&](int cycle) {
    if (cycle == 0 || cycle == 60) cl_render_trigger_test_tone(r_.get());  // 60 cycles = 0.6 s
  });
  // Clicks at 0 and 0.5 s from the first trigger, then at 0.6 s and 1.1 s from the second.
  const int restart = 60 * 480;
  EXPECT_EQ(firstAbove(out, 0.0f, kClickLen), kSpacing + 1);
  EXPECT_EQ(firstAbove(out, 0.0f, kSpacing + kClickLen), restart + 1);
  EXPECT_EQ(firstAbove(out, 0.0f, restart + kClickLen), restart + kSpacing + 1);
}

TEST_F(TestTone, EndsByItselfAndDoesNotCountAgainstSilence) {
  cl_render_trigger_test_tone(r_.get());
  const uint64_t before = cl_render_silent_frames(r_.get());
  std::vector<float> out = play(r_.get(), kTotal + 48000);
  EXPECT_EQ(firstAbove(out, 0.0f, kTotal), -1);
  // The capture was silent the whole time; the tone is added after measuring.
  EXPECT_EQ(cl_render_silent_frames(r_.get()), before + static_cast<uint64_t>(out.size()));
  EXPECT_EQ(cl_render_take_input_peak(r_.get()), 0.0f);
}

}  // namespace
}  // namespace choralink::test
