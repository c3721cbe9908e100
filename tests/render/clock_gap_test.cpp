// Cycles the device ran without calling the IO procedure: the delayed slot
// still plays its content where the output time's clock says it belongs.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/hal/audio_records.h"
#include "tests/render/render_fixture.h"

namespace choralink::test {
namespace {

constexpr uint32_t kCycle = 256;
constexpr double kStart = 100000;  // the clock at the impulse's cycle
constexpr int kSettle = 20;        // cycles for the gain and delay to settle first
constexpr int32_t kDelay = 600;    // slot 1's; slot 0 plays at once
constexpr int32_t kImpulse = 10;   // frame of the first cycle that carries it

// Where (by the clock) slot 1 plays the impulse, -1 when it does not; the
// clock moves by `jump` frames more than a cycle after the impulse's cycle.
double heardAt(double jump, bool stamped) {
  RenderPtr r = makeRender({interleavedLayout(0), interleavedLayout(1)});
  cl_render_set_delay_frames(r.get(), 1, kDelay);
  AudioTimeStamp stamp;
  stamp.mFlags = stamped ? kTimeStampSampleTimeValid : 0;
  double clock = kStart - kSettle * kCycle;
  for (int cycle = -kSettle; cycle < 12; ++cycle) {
    BufferList in({2}, kCycle);
    BufferList out({2, 2}, kCycle);
    if (cycle == 0) in.at(0, kImpulse, 0) = 1.0f;
    stamp.mSampleTime = clock;
    cl_ioproc(0, asRenderTimeStamp(&stamp), in.list(), asRenderTimeStamp(&stamp), out.list(),
              asRenderTimeStamp(&stamp), r.get());
    for (uint32_t n = 0; n < kCycle; ++n) {
      if (std::fabs(out.at(1, n, 0)) > 0.5f) return clock + n;
    }
    clock += kCycle + (cycle == 0 ? jump : 0);
  }
  return -1;
}

TEST(ClockGapTest, TheDelayedSlotStaysOnTheClockAcrossMissedCycles) {
  const struct {
    const char* what;
    double jump;
    bool stamped;
    double heard;  // -1: not at all
  } cases[] = {
      {"no gap", 0, true, kStart + kImpulse + kDelay},
      {"a gap shorter than the delay", 300, true, kStart + kImpulse + kDelay},
      {"the impulse's time passed in the gap", 500, true, -1},
      {"a gap longer than the delay line", 1e6, true, -1},
      {"a clock that went back starts a new timeline", -1000, true,
       kStart + kImpulse + kDelay - 1000},
      {"no sample time: nothing to go by", 300, false, kStart + kImpulse + kDelay + 300},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(heardAt(c.jump, c.stamped), c.heard) << c.what;
  }
}

}  // namespace
}  // namespace choralink::test
