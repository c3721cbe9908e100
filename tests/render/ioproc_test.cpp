// The IO callback: delay line, crossfades, gain smoothing, layouts, bounds and
// the counters, driven directly with synthetic buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "tests/render/render_fixture.h"

namespace choralink::test {
namespace {

// Distinct, exactly representable sample values for absolute frame t.
float leftAt(int64_t t) {
  return static_cast<float>(t % 8000 + 1) / 8192.0f;
}
float rightAt(int64_t t) {
  return -static_cast<float>(t % 7000 + 1) / 8192.0f;
}

// Gain starts at 0 and needs some time constants to reach unity exactly.
constexpr int64_t kSettleFrames = 48000;

// Drives one render state cycle by cycle with a known stereo signal and keeps
// the absolute frame clock, so tests can compare output frame t with input t - d.
// It starts by letting gains and delays settle.
class Driver {
 public:
  Driver(cl_render* r, std::vector<uint32_t> outChannels, uint32_t maxFrames = 8192)
      : r_(r), in_({2}, maxFrames), out_(std::move(outChannels), maxFrames) {
    run(kSettleFrames);
  }

  // Runs one cycle of `frames` frames; `check(n, t)` sees each output frame.
  void cycle(uint32_t frames, const std::function<void(uint32_t n, int64_t t)>& check = {}) {
    in_.buffer(0).mDataByteSize = frames * 8;
    for (size_t b = 0; b < out_.list()->mNumberBuffers; ++b) {
      out_.buffer(b).mDataByteSize = frames * out_.buffer(b).mNumberChannels * 4;
    }
    for (uint32_t n = 0; n < frames; ++n) {
      in_.at(0, n, 0) = leftAt(clock_ + n);
      in_.at(0, n, 1) = rightAt(clock_ + n);
    }
    runCycle(r_, in_, out_);
    if (check) {
      for (uint32_t n = 0; n < frames; ++n)
        check(n, clock_ + n);
    }
    clock_ += frames;
  }
  // Runs whole cycles until at least `frames` frames have passed.
  void run(int64_t frames, uint32_t cycleFrames = 512) {
    for (int64_t done = 0; done < frames; done += cycleFrames)
      cycle(cycleFrames);
  }
  float out(size_t buffer, uint32_t frame, uint32_t channel) {
    return out_.at(buffer, frame, channel);
  }
  int64_t clock() const { return clock_; }

 private:
  cl_render* r_;
  BufferList in_;
  BufferList out_;
  int64_t clock_ = 0;
};

TEST(IoProc, DelayLineReturnsInputExactlyDFramesLaterAcrossCyclesAndWrapAround) {
  const int32_t delay = 777;
  RenderPtr r = makeRender({interleavedLayout(0)}, 1000);  // ring of 16384 frames
  cl_render_set_delay_frames(r.get(), 0, delay);
  Driver d(r.get(), {2});
  int64_t checked = 0;
  // Uneven cycle sizes so reads straddle both cycle boundaries and the ring's end.
  for (uint32_t frames : {37u, 511u, 1000u, 4096u, 8192u, 3u, 8192u, 8192u}) {
    d.cycle(frames, [&](uint32_t n, int64_t t) {
      ASSERT_EQ(d.out(0, n, 0), leftAt(t - delay)) << "t=" << t;
      ASSERT_EQ(d.out(0, n, 1), rightAt(t - delay)) << "t=" << t;
      ++checked;
    });
  }
  EXPECT_GT(d.clock(), 3 * 16384);
  EXPECT_EQ(checked, 37 + 511 + 1000 + 4096 + 8192 + 3 + 8192 + 8192);
}

TEST(IoProc, DelayChangeIsALinearCrossfadeAndASecondChangeWaitsForIt) {
  RenderPtr r = makeRender({interleavedLayout(0)});
  Driver d(r.get(), {2});

  cl_render_set_delay_frames(r.get(), 0, 100);
  int64_t fadeStart = d.clock();
  auto blend = [&](int64_t t, int64_t from, int64_t to) {
    const int64_t step = t - fadeStart + 1;  // 1..960
    const float u = static_cast<float>(step) / 960.0f;
    return leftAt(t - from) * (1.0f - u) + leftAt(t - to) * u;
  };
  d.cycle(512, [&](uint32_t n, int64_t t) { ASSERT_EQ(d.out(0, n, 0), blend(t, 0, 100)); });
  // Asked for during the blend: must not be looked at until the blend is over.
  cl_render_set_delay_frames(r.get(), 0, 300);
  d.cycle(512, [&](uint32_t n, int64_t t) {
    if (t - fadeStart < 960) {
      ASSERT_EQ(d.out(0, n, 0), blend(t, 0, 100)) << n;
    } else {
      ASSERT_EQ(d.out(0, n, 0), leftAt(t - 100)) << n;
    }
  });
  fadeStart = d.clock();
  d.cycle(512, [&](uint32_t n, int64_t t) { ASSERT_EQ(d.out(0, n, 0), blend(t, 100, 300)); });
  d.cycle(512);
  d.cycle(512, [&](uint32_t n, int64_t t) { ASSERT_EQ(d.out(0, n, 0), leftAt(t - 300)); });
}

TEST(IoProc, GainSmootherDecaysWithTenMillisecondConstantAndReachesTargetsExactly) {
  RenderPtr r = makeRender({interleavedLayout(0)});
  Driver d(r.get(), {2});
  cl_render_set_gain(r.get(), 0, 0.0f);
  std::vector<float> gains;
  d.cycle(4800, [&](uint32_t n, int64_t t) { gains.push_back(d.out(0, n, 0) / leftAt(t)); });
  // After one time constant (480 frames) about 1/e is left.
  EXPECT_NEAR(gains[479], std::exp(-1.0), 2e-3);
  EXPECT_NEAR(gains[959], std::exp(-2.0), 2e-3);
  for (size_t i = 1; i < gains.size(); ++i)
    ASSERT_LE(gains[i], gains[i - 1]);
  d.run(kSettleFrames);
  cl_slot_info info{};
  cl_render_get_slot_info(r.get(), 0, &info);
  EXPECT_EQ(info.gain_current, 0.0f);

  // Rising back to unity must not stall a few float steps short of 1.0.
  for (float target : {1.0f, 0.7f, 1.0f, 0.001f}) {
    cl_render_set_gain(r.get(), 0, target);
    d.run(kSettleFrames);
    cl_render_get_slot_info(r.get(), 0, &info);
    EXPECT_EQ(info.gain_current, target);
    d.cycle(64, [&](uint32_t n, int64_t t) { ASSERT_EQ(d.out(0, n, 0), target * leftAt(t)); });
  }
}

TEST(IoProc, FastAndGeneralPathsProduceIdenticalSamples) {
  // Slot 0 writes an interleaved pair (the block-copy path); slot 1 the same
  // signal split over two mono buffers (the per-channel path). Through ramps,
  // crossfades and ring wrap-around both must agree sample for sample.
  RenderPtr r = makeRender({interleavedLayout(0), splitLayout(1, 2)}, 2000);
  Driver d(r.get(), {2, 1, 1});
  const int32_t delays[] = {0, 1500, 3, 2000, 640};
  const float gains[] = {1.0f, 0.3f, 0.9f, 0.0f, 0.55f};
  for (int i = 0; i < 5; ++i) {
    for (int32_t slot = 0; slot < 2; ++slot) {
      cl_render_set_delay_frames(r.get(), slot, delays[i]);
      cl_render_set_gain(r.get(), slot, gains[i]);
    }
    for (int c = 0; c < 30; ++c) {
      d.cycle(c % 3 == 0 ? 1024 : 333, [&](uint32_t n, int64_t) {
        ASSERT_EQ(d.out(0, n, 0), d.out(1, n, 0));
        ASSERT_EQ(d.out(0, n, 1), d.out(2, n, 0));
      });
    }
  }
  EXPECT_EQ(cl_render_take_peak(r.get(), 0), cl_render_take_peak(r.get(), 1));
}

TEST(IoProc, MonoDeviceGetsTheMeanAndASharedChannelOnlyTheLeft) {
  cl_slot_layout mono = interleavedLayout(0, 1);
  cl_slot_layout same = interleavedLayout(1, 2, 1, 1);  // left == right == channel 1
  RenderPtr r = makeRender({mono, same});
  Driver d(r.get(), {1, 2});
  cl_render_take_peak(r.get(), 0);
  float monoPeak = 0.0f;
  d.cycle(256, [&](uint32_t n, int64_t t) {
    const float mean = (leftAt(t) + rightAt(t)) * 0.5f;
    monoPeak = std::max(monoPeak, std::fabs(mean));
    ASSERT_EQ(d.out(0, n, 0), mean);
    ASSERT_EQ(d.out(1, n, 1), leftAt(t));
    ASSERT_EQ(d.out(1, n, 0), 0.0f);
  });
  EXPECT_EQ(cl_render_take_peak(r.get(), 0), monoPeak);
}

TEST(IoProc, ChannelsOutsideTheListOrBufferAreSkippedWithoutWritingPastIt) {
  cl_slot_layout outside = interleavedLayout(0);
  outside.channels[0].buffer_index = 5;   // beyond the list
  outside.channels[1].buffer_index = -1;  // absent
  cl_slot_layout pastEnd = interleavedLayout(1);
  pastEnd.channels[1].channel_offset = 7;  // runs off the end after a few frames
  cl_slot_layout badIndex = interleavedLayout(1);
  badIndex.left = 40;
  badIndex.right = -2;
  RenderPtr r = makeRender({outside, pastEnd, badIndex});
  BufferList in({2}, 64);
  in.fill(0.25f);
  BufferList out({2, 2}, 64);
  for (int i = 0; i < 200; ++i)
    runCycle(r.get(), in, out);
  EXPECT_TRUE(out.guardIntact(0));
  EXPECT_TRUE(out.guardIntact(1));
  for (uint32_t n = 0; n < 64; ++n)
    EXPECT_EQ(out.at(0, n, 0), 0.0f);
  // pastEnd's right channel writes sample 7 + 2n while it fits: frames 0..60.
  EXPECT_EQ(out.samples(1)[7 + 2 * 60], 0.25f);
  EXPECT_EQ(out.at(1, 0, 0), 0.25f);
  EXPECT_GT(cl_render_take_peak(r.get(), 2), 0.0f) << "a slot writing nothing still meters";

  // A capture shorter than the output buffers: nothing is written past its frames.
  BufferList shortIn({2}, 32);
  shortIn.fill(0.25f);
  runCycle(r.get(), shortIn, out);
  EXPECT_EQ(out.at(1, 31, 0), 0.25f);
  EXPECT_EQ(out.at(1, 32, 0), 0.0f);
}

TEST(IoProc, TwoSlotsOnOneChannelLaterSlotWins) {
  RenderPtr r = makeRender({interleavedLayout(0), interleavedLayout(0)});
  cl_render_set_gain(r.get(), 1, 0.5f);
  Driver d(r.get(), {2});
  d.cycle(64, [&](uint32_t n, int64_t t) { ASSERT_EQ(d.out(0, n, 0), 0.5f * leftAt(t)); });
}

TEST(IoProc, DisabledSlotIsSilentAndFadesInFromSilenceWhenEnabled) {
  RenderPtr r = makeRender({interleavedLayout(0)});
  Driver d(r.get(), {2});
  cl_render_set_enabled(r.get(), 0, 0);
  cl_render_take_peak(r.get(), 0);
  d.cycle(256, [&](uint32_t n, int64_t) { ASSERT_EQ(d.out(0, n, 0), 0.0f); });
  EXPECT_EQ(cl_render_take_peak(r.get(), 0), 0.0f);
  cl_render_set_enabled(r.get(), 0, 1);
  d.cycle(256, [&](uint32_t n, int64_t t) {
    if (n == 0) {
      EXPECT_LT(std::fabs(d.out(0, 0, 0)), 0.01f * std::fabs(leftAt(t)) + 1e-6f);
    }
  });
}

// The output is cleared first, with no slot too, and a capture longer than one
// maximum cycle is rendered and metered for that many frames only.
TEST(IoProc, OutputIsClearedThenWrittenForAtMostOneMaximumCycle) {
  BufferList in({2}, 10000), out({2}, 10000);
  in.fill(-0.75f);
  for (const bool withSlot : {false, true}) {
    RenderPtr r =
        makeRender(withSlot ? std::vector{interleavedLayout(0)} : std::vector<cl_slot_layout>{});
    out.fill(9.0f);
    runCycle(r.get(), in, out);
    EXPECT_EQ(out.at(0, 8191, 0) != 0.0f, withSlot);
    for (uint32_t n = 8192; n < 10000; ++n)
      ASSERT_EQ(out.at(0, n, 0), 0.0f) << n;
    EXPECT_EQ(cl_render_take_input_peak(r.get()), 0.75f);
    EXPECT_EQ(cl_render_take_input_peak(r.get()), 0.0f);
  }
}

// Silence (negative zero too) adds its frames, one non-zero sample resets the
// count; without a capture the frames come from the first output with
// channels; half a frame, no output list or an empty one only beat (and clear).
TEST(IoProc, EveryCycleBeatsAndSilenceIsCountedInFrames) {
  RenderPtr r = makeRender({interleavedLayout(0)});
  BufferList silence({2}, 512), oversized({2}, 10000), halfFrame({2}, 4), tiny({2}, 512);
  silence.fill(-0.0f);
  halfFrame.buffer(0).mDataByteSize = 4;
  tiny.at(0, 300, 1) = 1e-30f;
  BufferList out({2}, 10000), noChannelsFirst({0, 2}, 300), empty({}, 16);
  const struct {
    const char* what;
    cl_audio_buffer_list* in;
    cl_audio_buffer_list* out;
    uint64_t silent;
  } cycles[] = {
      {"silence", silence.list(), out.list(), 512},
      {"more silence", silence.list(), out.list(), 1024},
      {"a long capture", oversized.list(), out.list(), 1024 + 8192},
      {"no capture", nullptr, noChannelsFirst.list(), 1024 + 8192 + 300},
      {"half a frame", halfFrame.list(), out.list(), 9516},
      {"no output", halfFrame.list(), nullptr, 9516},
      {"an empty output list", halfFrame.list(), empty.list(), 9516},
      {"one tiny sample", tiny.list(), out.list(), 0},
  };
  for (uint64_t i = 0; i < std::size(cycles); ++i) {
    out.fill(3.0f);
    cl_ioproc(0, nullptr, cycles[i].in, nullptr, cycles[i].out, nullptr, r.get());
    EXPECT_EQ(cl_render_silent_frames(r.get()), cycles[i].silent) << cycles[i].what;
    EXPECT_EQ(cl_render_heartbeat(r.get()), i + 1) << cycles[i].what;
    EXPECT_EQ(out.at(0, 0, 0), cycles[i].out == out.list() ? 0.0f : 3.0f) << cycles[i].what;
  }
}

// A mono capture feeds both sides; a split one reads two buffers, the
// shorter second one giving silence beyond its end.
TEST(IoProc, MonoAndSplitCaptureLayouts) {
  const struct {
    cl_input_layout input;
    std::vector<uint32_t> buffers;
    float first, second;  // written into the first and second buffer's channel 0
    float left, right, rightLate;
  } cases[] = {{{1, 1}, {2, 1}, 0, 0.125f, 0.125f, 0.125f, 0.125f},
               {{0, 2}, {1, 1}, 0.5f, -0.25f, 0.5f, -0.25f, 0.0f}};
  for (const auto& c : cases) {
    RenderPtr r = makeRender({interleavedLayout(0)}, 100, 48000.0, c.input);
    BufferList in(c.buffers, 64);
    if (c.buffers[0] == 1) in.buffer(1).mDataByteSize = 32 * 4;
    for (uint32_t n = 0; n < 64; ++n) {
      in.at(0, n, 0) = c.first;
      in.at(1, n, 0) = c.second;
    }
    BufferList out({2}, 64);
    for (int i = 0; i < 200; ++i)
      runCycle(r.get(), in, out);
    EXPECT_EQ(out.at(0, 10, 0), c.left);
    EXPECT_EQ(out.at(0, 10, 1), c.right);
    EXPECT_EQ(out.at(0, 40, 1), c.rightLate);
  }
}

TEST(IoProc, PeaksAreTakenByExchange) {
  RenderPtr r = makeRender({interleavedLayout(0)});
  Driver d(r.get(), {2});
  const float peak = cl_render_take_peak(r.get(), 0);
  EXPECT_GT(peak, 0.9f);
  EXPECT_LE(peak, 1.0f);
  EXPECT_EQ(cl_render_take_peak(r.get(), 0), 0.0f);

  // A NaN in the captured sound is no peak: the meter shows the rest.
  BufferList in({2}, 64), out({2}, 64);
  in.fill(0.25f);
  in.at(0, 7, 0) = std::numeric_limits<float>::quiet_NaN();
  runCycle(r.get(), in, out);
  EXPECT_EQ(cl_render_take_peak(r.get(), 0), 0.25f);
}

}  // namespace
}  // namespace choralink::test
