// The real-time IO thread: the render core runs on it while another thread
// changes its controls (this suite also runs under ThreadSanitizer), and a
// stop that returns means no further cycle.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/dispatch/serial_queue.h"
#include "tests/hal/io_probe.h"
#include "tests/hal/sim_fixture.h"

namespace choralink::sim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(20);

// Spins (yielding) until `done` holds or patience runs out.
template <class Done>
bool waitUntil(Done done) {
  const auto deadline = Clock::now() + kPatience;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

class SimRealtimeTest : public ::testing::Test {
 protected:
  SerialQueue engine{"app.choralink.engine"};
  SimAudioSystem sim{engine};
  presets::StandardMachine machine = presets::addStandardMachine(sim);

  AudioObjectID aggregateWithTap(AudioObjectID& tap) {
    tap = makeTap(sim, false, "RT-TAP");
    const auto agg = description({{presets::kSpeakersUID, false}, {presets::kTVUID}},
                                 presets::kSpeakersUID, {"RT-TAP"});
    AudioObjectID id = 0;
    EXPECT_EQ(sim.createAggregateDevice(agg, id), kStatusOK);
    // Joins take real time here: wait as the session does, on the engine queue.
    auto joined = submit(engine, [&] {
      return boundedPoll(engine, 0.05, 2.0, [&] {
        return HAL::getArray<std::uint32_t>(sim, id, kPropActiveSubDevices, kScopeGlobal).size() ==
               2;
      });
    });
    EXPECT_TRUE(joined.get());
    return id;
  }
};

TEST_F(SimRealtimeTest, RenderCoreRunsOnTheIOThreadWhileControlsChange) {
  sim.setSystemMix(SignalSource::sine(440, 0.5f));
  AudioObjectID tap = 0;
  const AudioObjectID agg = aggregateWithTap(tap);
  cl_slot_layout layouts[2] = {};
  for (int s = 0; s < 2; ++s) {
    layouts[s].channel_count = 2;
    layouts[s].right = 1;
    layouts[s].channels[0] = cl_channel_ref{s, 0, 2};
    layouts[s].channels[1] = cl_channel_ref{s, 1, 2};
  }
  cl_render* render = cl_render_create(2, layouts, cl_input_layout{0, 1}, 48000, 48000);
  ASSERT_NE(render, nullptr);
  IOProcID proc = kNoIOProc;
  ASSERT_EQ(sim.createIOProcID(agg, cl_ioproc_ptr, render, proc), kStatusOK);
  sim.setIODriver(IODriver::realtime);
  ASSERT_EQ(sim.startDevice(agg, proc), kStatusOK);

  float loudest = 0;
  int round = 0;
  const bool ran = waitUntil([&] {
    // The engine's side: live parameter changes and meter reads.
    cl_render_set_gain(render, round % 2, 0.5f + 0.5f * static_cast<float>(round % 3) / 2);
    cl_render_set_delay_frames(render, 1, (round * 37) % 4800);
    if (round % 50 == 0) cl_render_trigger_test_tone(render);
    loudest = std::max(loudest, cl_render_take_peak(render, 0));
    cl_render_take_input_peak(render);
    (void)HAL::get<double>(sim, agg, kPropNominalSampleRate, kScopeGlobal);
    ++round;
    return cl_render_heartbeat(render) >= 40;
  });
  ASSERT_TRUE(ran) << "the IO thread made no progress";
  EXPECT_GT(loudest, 0.0f);

  // That no cycle follows a stop that returned is the next test's.
  ASSERT_EQ(sim.stopDevice(agg, proc), kStatusOK);
  EXPECT_EQ(sim.destroyIOProcID(agg, proc), kStatusOK);
  cl_render_destroy(render);
  sim.destroyAggregateDevice(agg);
  sim.destroyProcessTap(tap);
  EXPECT_EQ(sim.liveObjects(), ObjectCounts{});
}

TEST_F(SimRealtimeTest, NoCycleRunsOnceStopHasReturned) {
  IOProbe probe;
  IOProcID proc = kNoIOProc;
  ASSERT_EQ(sim.createIOProcID(machine.tv, IOProbe::proc, &probe, proc), kStatusOK);
  sim.setIODriver(IODriver::realtime);
  for (int attempt = 0; attempt < 5; ++attempt) {
    probe.mustNotRun = false;
    const int before = probe.calls;
    ASSERT_EQ(sim.startDevice(machine.tv, proc), kStatusOK);
    ASSERT_TRUE(waitUntil([&] { return probe.calls >= before + 3; }));
    ASSERT_EQ(sim.stopDevice(machine.tv, proc), kStatusOK);
    probe.mustNotRun = true;
  }
  // Another device keeps the thread cycling a little longer.
  IOProbe other;
  IOProcID otherProc = kNoIOProc;
  sim.createIOProcID(machine.speakers, IOProbe::proc, &other, otherProc);
  sim.startDevice(machine.speakers, otherProc);
  ASSERT_TRUE(waitUntil([&] { return other.calls >= 5; }));
  EXPECT_FALSE(probe.ranWhenItMustNot);
  sim.setIODriver(IODriver::manual);  // stops the thread
  sim.destroyIOProcID(machine.tv, proc);
  sim.destroyIOProcID(machine.speakers, otherProc);
}

TEST_F(SimRealtimeTest, DestroyingTheSystemStopsItsThread) {
  const auto playOnItsThread = [](SimAudioSystem& system, IOProbe& probe) {
    const AudioObjectID id = system.addDevice(presets::usbHeadset());
    IOProcID proc = kNoIOProc;
    system.createIOProcID(id, IOProbe::proc, &probe, proc);
    system.setIODriver(IODriver::realtime);
    system.startDevice(id, proc);
  };
  IOProbe probe;
  {
    SimAudioSystem local(engine);
    playOnItsThread(local, probe);
    ASSERT_TRUE(waitUntil([&] { return probe.calls >= 2; }));
  }
  // Another system's thread cycles on; the destroyed one's procedure stays quiet.
  const int calls = probe.calls;
  IOProbe keeper;
  SimAudioSystem other(engine);
  playOnItsThread(other, keeper);
  ASSERT_TRUE(waitUntil([&] { return keeper.calls >= 5; }));
  EXPECT_EQ(probe.calls, calls);
}

}  // namespace
}  // namespace choralink::sim
