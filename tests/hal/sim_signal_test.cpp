// The simulator's sound sources, recordings and WAV files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "engine/hal/sim/recording.h"
#include "engine/hal/sim/signal_source.h"
#include "engine/hal/sim/wav_file.h"

namespace choralink::sim {
namespace {

std::vector<float> render(const SignalSource& s, double start, double rate, std::uint32_t frames) {
  std::vector<float> out(2 * frames);
  s.render(start, 1.0 / rate, frames, out.data());
  return out;
}

TEST(SignalSourceTest, ClicksStartOnTheFirstFrameAtOrAfterTheirTime) {
  const auto clicks = SignalSource::clickTrain(0.01, 0.5, 0.8f, 0.001);
  // At 48 kHz the click at 0.01 s starts at frame 480 and lasts 48 frames.
  const auto out = render(clicks, 0.0, 48000, 1024);
  EXPECT_EQ(out[2 * 479], 0.0f);
  EXPECT_EQ(out[2 * 480], 0.8f);
  EXPECT_EQ(out[2 * 480 + 1], 0.8f);
  EXPECT_EQ(out[2 * 527], 0.8f);
  EXPECT_EQ(out[2 * 528], 0.0f);
  // Rendering the same moment in another chunk gives the same frames.
  const auto later = render(clicks, 470 / 48000.0, 48000, 20);
  EXPECT_EQ(later[2 * 9], 0.0f);
  EXPECT_EQ(later[2 * 10], 0.8f);
}

TEST(SignalSourceTest, ClickTrainRepeatsAndCanStopAfterACount) {
  const auto two = SignalSource::clickTrain(0.0, 0.01, 1.0f, 0.0, 2);
  const auto out = render(two, 0.0, 1000, 40);  // one-sample clicks at 0, 10 (and no 20)
  std::vector<int> at;
  for (int i = 0; i < 40; ++i) {
    if (out[2 * i] != 0) at.push_back(i);
  }
  EXPECT_EQ(at, (std::vector<int>{0, 10}));
}

TEST(SignalSourceTest, SineAndCustomSourcesAreFunctionsOfTime) {
  const auto sine = render(SignalSource::sine(1000, 0.5f), 0.25 / 1000, 48000, 1);  // 1/4 period
  EXPECT_NEAR(sine[0], 0.5f, 1e-4);
  EXPECT_EQ(sine[0], sine[1]);
  const auto custom = SignalSource::custom([](double t, float& l, float& r) {
    l = static_cast<float>(t);
    r = -1;
  });
  EXPECT_EQ(render(custom, 2.0, 2, 2), (std::vector<float>{2.0f, -1.0f, 2.5f, -1.0f}));
}

TEST(SignalSourceTest, ChimeSoundsOnlyWithinItsSpanAndDecays) {
  const auto chime = SignalSource::chime(1.0, 880, 0.3f, 0.5);
  auto peak = [](const std::vector<float>& out) {
    float p = 0;
    for (float v : out)
      p = std::max(p, std::abs(v));
    return p;
  };
  EXPECT_EQ(peak(render(chime, 0.0, 48000, 48000)), 0.0f) << "silent before its start";
  const float onset = peak(render(chime, 1.0, 48000, 2400));  // first 50 ms
  EXPECT_GT(onset, 0.2f);
  EXPECT_LE(onset, 0.3f);
  EXPECT_LT(peak(render(chime, 1.4, 48000, 2400)), onset / 10) << "decayed near its end";
  EXPECT_EQ(peak(render(chime, 1.5, 48000, 4800)), 0.0f) << "silent from its end";
}

TEST(SignalSourceTest, MixAddsBothSourcesAcrossChunkBoundaries) {
  const auto ramp = SignalSource::custom([](double t, float& l, float& r) {
    l = static_cast<float>(t);
    r = 1;
  });
  const auto mixed = SignalSource::mix(ramp, SignalSource::clickTrain(0.0, 1.0, 0.5f, 1.0));
  // More frames than the mix renders at a time: every one carries both.
  const auto out = render(mixed, 0.0, 1000, 700);
  for (int i : {0, 255, 256, 699}) {
    EXPECT_FLOAT_EQ(out[2 * i], i / 1000.0f + 0.5f) << i;
    EXPECT_FLOAT_EQ(out[2 * i + 1], 1.5f) << i;
  }
  EXPECT_TRUE(SignalSource::mix(SignalSource(), SignalSource()).isSilence());
}

TEST(WavFileTest, RoundTripsAndPlaysAsASource) {
  const auto path = std::filesystem::temp_directory_path() / "choralink_sim_wav_test.wav";
  const WavData data{1000, 1, {0.0f, 0.25f, 0.5f, 0.75f}};
  ASSERT_TRUE(writeWav(path.string(), data));
  const auto read = readWav(path.string());
  ASSERT_TRUE(read);
  EXPECT_EQ(read->rate, 1000);
  EXPECT_EQ(read->channels, 1u);
  EXPECT_EQ(read->samples, data.samples);

  const auto source = SignalSource::wavFile(path.string(), 1.0);
  ASSERT_TRUE(source);
  // Mono feeds both sides; halfway between samples 1 and 2 interpolates.
  const auto out = render(*source, 1.0015, 1000, 1);
  EXPECT_NEAR(out[0], 0.375f, 1e-6);
  EXPECT_NEAR(out[1], 0.375f, 1e-6);
  EXPECT_EQ(render(*source, 0.5, 1000, 1)[0], 0.0f) << "silence before the file starts";
  std::filesystem::remove(path);
  EXPECT_FALSE(SignalSource::wavFile(path.string()));
}

TEST(WavFileTest, ReadsSixteenBitPCMAndRejectsOtherFiles) {
  // 44-byte header, stereo 16-bit at 8 kHz, one frame: (16384, -32768).
  std::vector<std::uint8_t> bytes = {'R',  'I',  'F', 'F', 40, 0,    0, 0, 'W',  'A',  'V',  'E',
                                     'f',  'm',  't', ' ', 16, 0,    0, 0, 1,    0,    2,    0,
                                     0x40, 0x1f, 0,   0,   0,  0x7d, 0, 0, 4,    0,    16,   0,
                                     'd',  'a',  't', 'a', 4,  0,    0, 0, 0x00, 0x40, 0x00, 0x80};
  const auto data = parseWav(bytes);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->rate, 8000);
  EXPECT_EQ(data->samples, (std::vector<float>{0.5f, -1.0f}));
  bytes[20] = 2;  // ADPCM
  EXPECT_FALSE(parseWav(bytes));
  EXPECT_FALSE(parseWav({'R', 'I', 'F', 'F'}));
}

// Sources sum into the newest frames; older ones fall out of the window and
// frames written past the end extend it with silence, around the ring.
TEST(RecorderTest, SourcesSumIntoASlidingWindowAroundTheRing) {
  Recorder rec(10, 1, 1.0);  // 10 frames of window
  std::vector<float> block(25);
  for (int i = 0; i < 25; ++i)
    block[i] = static_cast<float>(i);
  rec.addFrames(0, block.data(), 25, 1);
  const float other[] = {0.5f, 0.5f};
  rec.addFrames(20, other, 2, 1);
  rec.addFrames(5, other, 2, 1);  // too old: dropped
  EXPECT_EQ(rec.snapshot().firstFrame(), 15);
  EXPECT_EQ(rec.snapshot().channel(0, 15, 25),
            (std::vector<float>{15, 16, 17, 18, 19, 20.5f, 21.5f, 22, 23, 24}));
  rec.addFrames(27, other, 1, 1);
  EXPECT_EQ(rec.snapshot(18, 28).channel(0, 18, 28),
            (std::vector<float>{18, 19, 20.5f, 21.5f, 22, 23, 24, 0, 0, 0.5f}));
}

TEST(RecordingTest, FindsEveryOnsetAfterAGap) {
  std::vector<float> samples(100, 0.0f);
  for (int i : {10, 11, 12, 40, 41, 45, 90})
    samples[i] = 1.0f;
  const Recording r(1000, 1, 0, samples);
  EXPECT_EQ(r.onsets(0.5f, 10), (std::vector<std::int64_t>{10, 40, 90}));
  EXPECT_EQ(r.onsets(0.5f, 2), (std::vector<std::int64_t>{10, 40, 45, 90}));
  EXPECT_DOUBLE_EQ(*r.onsetTime(0.5f, 0.02), 0.04);
  EXPECT_FALSE(r.isSilent());
}

}  // namespace
}  // namespace choralink::sim
