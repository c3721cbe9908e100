// The controls against a live IO thread: one thread runs cycles while another
// changes gains, delays and enables, triggers the tone and takes peaks. Run
// under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "tests/render/render_fixture.h"

namespace choralink::test {
namespace {

TEST(RenderThreads, ControlsRacingTheIoThreadKeepOutputBoundedAndCountersExact) {
  constexpr int kSlots = 4;
  constexpr int kCycles = 4000;
  std::vector<cl_slot_layout> layouts;
  for (int s = 0; s < kSlots; ++s)
    layouts.push_back(interleavedLayout(s));
  RenderPtr r = makeRender(layouts, 4800);
  cl_render* h = r.get();

  std::atomic<bool> done{false};
  std::atomic<int> badSamples{0};
  std::thread io([&] {
    BufferList in({2}, 256);
    BufferList out({2, 2, 2, 2}, 256);
    for (int c = 0; c < kCycles; ++c) {
      for (uint32_t n = 0; n < 256; ++n) {
        const float v = ((c * 256 + static_cast<int>(n)) % 97) / 97.0f - 0.5f;
        in.at(0, n, 0) = v;
        in.at(0, n, 1) = -v;
      }
      runCycle(h, in, out);
      for (size_t b = 0; b < kSlots; ++b) {
        for (uint32_t n = 0; n < 256; ++n) {
          // Input is within 0.5 and the tone adds at most 0.5; gains stay in 0..1.
          const float x = out.at(b, n, 0);
          if (!(std::fabs(x) <= 1.0f)) badSamples.fetch_add(1);
        }
      }
    }
    done.store(true);
  });

  uint32_t seed = 1;
  auto next = [&] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  float maxPeak = 0.0f;
  int controlCalls = 0;
  while (!done.load()) {
    const int32_t slot = static_cast<int32_t>(next() % (kSlots + 1));  // one is out of range
    switch (next() % 6) {
      case 0:
        cl_render_set_gain(h, slot, static_cast<float>(next() % 1200) / 1000.0f);
        break;
      case 1:
        cl_render_set_delay_frames(h, slot, static_cast<int32_t>(next() % 6000));
        break;
      case 2:
        cl_render_set_enabled(h, slot, static_cast<int32_t>(next() % 2));
        break;
      case 3:
        cl_render_trigger_test_tone(h);
        break;
      case 4:
        maxPeak = std::max(maxPeak, cl_render_take_peak(h, slot));
        break;
      default:
        maxPeak = std::max(maxPeak, cl_render_take_input_peak(h));
        break;
    }
    (void)cl_render_heartbeat(h);
    (void)cl_render_silent_frames(h);
    ++controlCalls;
  }
  io.join();
  EXPECT_EQ(badSamples.load(), 0);
  EXPECT_EQ(cl_render_heartbeat(h), static_cast<uint64_t>(kCycles));
  EXPECT_LE(maxPeak, 1.0f);
  EXPECT_GT(controlCalls, 0);
  for (int32_t s = 0; s < kSlots; ++s) {
    cl_slot_info info{};
    ASSERT_EQ(cl_render_get_slot_info(h, s, &info), 1);
    EXPECT_LE(info.delay_target, 4800);
    EXPECT_LE(info.gain_target, 1.0f);
  }
}

}  // namespace
}  // namespace choralink::test
