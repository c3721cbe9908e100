// The correlation must place a known sweep to a fraction of a frame, whatever
// its polarity, and tell a real arrival from noise by its confidence.
#include "engine/calibration/arrival_finder.h"

#include <gtest/gtest.h>

#include <random>

#include "engine/calibration/measurement_signal.h"

namespace choralink {
namespace {

struct FinderCase {
  const char* name;
  double gain;  // of the sweep in the recording; 0: noise only
  double noiseRms;
  bool expectHeard;
};

class ArrivalFinderTest : public ::testing::TestWithParam<FinderCase> {};

TEST_P(ArrivalFinderTest, FindsTheSweepWhereItStartsOrReportsNoiseAsDoubtful) {
  constexpr double kRate = 48000;
  constexpr std::size_t kAt = 12345;
  const std::vector<float> sweep = fadedSweep(kRate);
  std::vector<float> recording(static_cast<std::size_t>(kRate * 1.5), 0.0f);
  std::mt19937 random(3);
  std::normal_distribution<float> noise(0.0f, static_cast<float>(GetParam().noiseRms));
  for (std::size_t n = 0; n < recording.size(); ++n) {
    if (GetParam().noiseRms > 0) recording[n] = noise(random);
    if (n >= kAt && n - kAt < sweep.size())
      recording[n] += static_cast<float>(GetParam().gain) * sweep[n - kAt];
  }
  // A second, weaker copy 6 ms later stands for a reflection.
  for (std::size_t n = 0; n < sweep.size(); ++n)
    recording[kAt + 288 + n] += static_cast<float>(0.4 * GetParam().gain) * sweep[n];

  const Arrival arrival = ArrivalFinder(recording, sweep).find(kAt - 2000.0, kAt + 30000.0);
  if (GetParam().expectHeard) {
    EXPECT_NEAR(arrival.frame, static_cast<double>(kAt), 0.25);
    EXPECT_GE(arrival.confidenceDb, 20.0);
  } else {
    EXPECT_LT(arrival.confidenceDb, 20.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, ArrivalFinderTest,
    ::testing::Values(FinderCase{"Clean", 0.5, 0.0, true}, FinderCase{"Inverted", -0.5, 0.0, true},
                      FinderCase{"NoisyAtMinus10dB", 0.25, 0.25 * 0.1 / 1.414 / 3.16, true},
                      FinderCase{"NoiseOnly", 0.0, 0.01, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace choralink
