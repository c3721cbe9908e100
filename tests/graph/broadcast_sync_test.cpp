// The product's promise, end to end on the simulated machine: a click sent to
// every device arrives at every speaker at the same moment, to within one
// frame of the broadcast rate — with delays from the latency model, devices
// at different rates and latencies, and device clocks 100 ppm apart, also
// after ten minutes of play. The aggregate device's drift compensation, which
// the session asks for on every device but the clock, is what keeps it so:
// without it the devices slide apart.
//
// IO is stepped explicitly, so ten simulated minutes take a few seconds. The
// spreads measured are printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/graph/broadcast_session.h"
#include "engine/graph/latency_model.h"
#include "tests/graph/forwarding_audio_system.h"
#include "tests/graph/graph_fixture.h"

namespace choralink::test {
namespace {

constexpr int kClicks = 6;             // the render core's test tone
constexpr double kClickSpacing = 0.5;  // seconds between click starts
constexpr double kToneSeconds = 3.5;   // enough for all six to be heard everywhere
// Ten minutes of play. Under AddressSanitizer the simulator's per-frame work
// is some twenty times slower, so that pass plays one minute: it looks for
// memory faults, which the first minute exercises as fully as the tenth,
// while the timing claims are checked by the ordinary build.
#if defined(__SANITIZE_ADDRESS__)
constexpr double kLongPlay = 60;
#else
constexpr double kLongPlay = 600;
#endif

// The seam with the aggregate device's drift compensation switched off: every
// sub-device plays at its own clock's pace. Everything else passes through.
class WithoutDriftCompensation : public ForwardingAudioSystem {
 public:
  using ForwardingAudioSystem::ForwardingAudioSystem;

  HALStatus createAggregateDevice(const AggregateDescription& description,
                                  AudioObjectID& out) override {
    AggregateDescription plain = description;
    for (auto& sub : plain[kAggregateSubDevicesKey])
      sub[kSubDeviceDriftKey] = 0;
    return ForwardingAudioSystem::createAggregateDevice(plain, out);
  }
};

// When each click is heard on one device: the centre of its energy, in
// seconds on the IO timeline, found from `from` on. Sub-frame exact at any
// recording rate, so a 44.1 kHz device compares fairly with 48 kHz ones.
std::vector<double> clickTimes(const sim::Recording& heard, double from) {
  constexpr float kThreshold = 0.02f;
  const double rate = heard.rate();
  std::vector<double> times;
  auto start = static_cast<std::int64_t>(std::ceil(from * rate));
  for (int k = 0; k < kClicks; ++k) {
    const auto onset = heard.findOnset(kThreshold, start, 0u);
    if (!onset) break;
    const auto first = *onset - static_cast<std::int64_t>(0.01 * rate);
    const auto end = *onset + static_cast<std::int64_t>(0.05 * rate);
    double energy = 0, moment = 0;
    for (std::int64_t f = first; f < end; ++f) {
      const double x = heard.sample(f, 0);
      energy += x * x;
      moment += static_cast<double>(f) * x * x;
    }
    times.push_back(moment / energy / rate);
    start = *onset + static_cast<std::int64_t>(kClickSpacing / 2 * rate);
  }
  return times;
}

class BroadcastSyncTest : public GraphTest {
 protected:
  static constexpr std::uint32_t kBluetoothLatency = 8823;

  void SetUp() override {
    // Built-in speakers: 48 kHz, 676 frames (14 ms); the clock device.
    speakers = plug(presets::builtInSpeakers());
    // HDMI television: 48 kHz, 1600 frames (33 ms), its clock 100 ppm fast.
    auto tvSpec = presets::hdmiTV();
    tvSpec.clockErrorPpm = +100;
    tv = plug(tvSpec);
    // Bluetooth headphones: 44.1 kHz only, 8823 frames (about 200 ms; 9603.27
    // broadcast frames, so the latency model's rounding shows), 100 ppm slow.
    auto btSpec = presets::airPods();
    btSpec.latencyFrames = kBluetoothLatency - btSpec.safetyOffsetFrames - btSpec.bufferFrameSize -
                           btSpec.streamLatencyFrames;
    btSpec.clockErrorPpm = -100;
    bluetooth = plug(btSpec);
    ASSERT_EQ(bluetooth.latencyFrames, kBluetoothLatency);
  }

  // Builds the broadcast on `system`, applies the latency model's delays and
  // starts the IO.
  std::unique_ptr<BroadcastSession> start(AudioSystem& system) {
    auto session = std::make_unique<BroadcastSession>(
        BroadcastSession::Environment{system, clock, logs.log(), journal},
        std::vector<AudioDeviceInfo>{speakers, tv, bluetooth}, /*muted=*/true);
    std::vector<LatencyModel::Input> inputs;
    for (const SlotInfo& slot : session->slots()) {
      inputs.push_back({slot.uid, slot.device.latencyFrames, slot.device.nominalRate, 0});
    }
    const auto delays = LatencyModel::compute(inputs, session->rate(), session->maxDelayFrames());
    for (const SlotInfo& slot : session->slots()) {
      cl_render_set_delay_frames(session->render(), slot.index,
                                 static_cast<int32_t>(delays.at(slot.uid).totalFrames));
    }
    EXPECT_EQ(system.startDevice(session->aggregateID(), *session->procID()), kStatusOK);
    return session;
  }

  // Plays the test tone now and returns the largest spread, in broadcast
  // frames, between the devices' arrival times over the six clicks.
  double measureSpread(const BroadcastSession& session, const char* label) {
    const double from = sim.ioTime();
    cl_render_trigger_test_tone(session.render());
    sim.stepIO(kToneSeconds);
    std::vector<std::vector<double>> times;
    for (const SlotInfo& slot : session.slots()) {
      const auto heard = sim.recording(slot.uid, from, from + kToneSeconds);
      EXPECT_TRUE(heard) << slot.uid;
      times.push_back(heard ? clickTimes(*heard, from) : std::vector<double>{});
      EXPECT_EQ(times.back().size(), static_cast<std::size_t>(kClicks)) << slot.uid;
    }
    double spread = 0;
    for (int k = 0; k < kClicks; ++k) {
      double earliest = 1e300, latest = -1e300;
      for (const auto& device : times) {
        if (device.size() <= static_cast<std::size_t>(k)) return 1e300;
        earliest = std::min(earliest, device[k]);
        latest = std::max(latest, device[k]);
      }
      spread = std::max(spread, (latest - earliest) * session.rate());
    }
    std::printf("[ spread   ] %s: clicks arrive within %.4f frames at %.0f Hz (t = %.1f s)\n",
                label, spread, session.rate(), from);
    std::fflush(stdout);
    return spread;
  }

  void playUntil(double ioTime) { sim.stepIO(ioTime - sim.ioTime()); }

  AudioDeviceInfo speakers, tv, bluetooth;
};

TEST_F(BroadcastSyncTest, ClicksArriveTogetherAndStayTogetherForTenMinutes) {
  auto session = start(sim);
  ASSERT_EQ(session->slots().size(), 3u);
  playUntil(0.5);  // past the delay crossfade

  EXPECT_LE(measureSpread(*session, "drift compensated, at start"), 1.0);
  playUntil(kLongPlay);
  EXPECT_LE(measureSpread(*session, "drift compensated, after the long play"), 1.0);

  session->teardown();
}

TEST_F(BroadcastSyncTest, WithoutDriftCompensationTheDevicesSlideApart) {
  WithoutDriftCompensation uncompensated(sim);
  auto session = start(uncompensated);
  // The TV runs 100 ppm fast and the headphones 100 ppm slow: they part at
  // 200 ppm from the first cycle on. The widest spread of a tone is at its
  // last click, heard about 2.7 s after the tone starts.
  const auto expectedSlide = [&](double toneStart) {
    return 200e-6 * (toneStart + 2.7) * session->rate();
  };
  playUntil(kLongPlay);
  const double toneStart = sim.ioTime();
  const double later = measureSpread(*session, "uncompensated, after the long play");
  EXPECT_NEAR(later, expectedSlide(toneStart), 2 + 0.01 * expectedSlide(toneStart));

  session->teardown();
}

}  // namespace
}  // namespace choralink::test
