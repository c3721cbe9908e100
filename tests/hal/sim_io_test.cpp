// IO on the simulated system: cycles at the clock device's buffer period,
// stream usage, what each "speaker" plays after its own latency (the captured
// system mix passed through), a clock device's error, stalls, blocked capture,
// and the clock driver. Sub-devices drifting apart, and the drift compensation
// that holds them together, are measured end to end by the broadcast graph's
// sync suite; its session suites count the objects left after a teardown.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/hal/property_listener.h"
#include "engine/hal/sim/sim_machine.h"
#include "tests/hal/io_probe.h"
#include "tests/hal/sim_fixture.h"

namespace choralink::sim {
namespace {

constexpr float kThreshold = 0.5f;

class SimIOTest : public SimTest {
 protected:
  void SetUp() override {
    sim.setSystemMix(SignalSource::clickTrain(0.1, 1.0));  // clicks at 0.1 s, 1.1 s, …
  }

  // An aggregate of `subs` with a tap, joined and ready; `probe` registered.
  AudioObjectID broadcast(const std::vector<SubEntry>& subs, const std::string& master,
                          IOProbe& probe, IOProcID& proc) {
    const AudioObjectID tap = makeTap(true);
    const AudioObjectID agg =
        makeAggregate(description(subs, master, {HAL::getString(sim, tap, kPropTapUID)}));
    EXPECT_TRUE(waitForJoins(agg, subs.size()));
    EXPECT_EQ(sim.createIOProcID(agg, IOProbe::proc, &probe, proc), kStatusOK);
    return agg;
  }
};

TEST_F(SimIOTest, ProceduresRunOncePerCycleWithTheAggregatesShape) {
  sim.addDevice(presets::usbInterface());
  IOProbe probe;
  IOProcID proc;
  const AudioObjectID agg =
      broadcast({{kUSBInterfaceUID}, {kSpeakersUID, false}}, kSpeakersUID, probe, proc);
  ASSERT_EQ(sim.startDevice(agg, proc), kStatusOK);
  ASSERT_TRUE(sim.stepCycles(agg, 3));
  EXPECT_EQ(probe.calls, 3);
  EXPECT_EQ(probe.outChannels, (std::vector<std::uint32_t>{2, 2, 2}));
  EXPECT_EQ(probe.inChannels, (std::vector<std::uint32_t>{2, 2}));
  EXPECT_EQ(probe.outFrames, 512u) << "the clock device's buffer size";
  EXPECT_NEAR(sim.ioTime(), 2 * 512 / 48000.0, 1e-6);
}

TEST_F(SimIOTest, StreamUsageSwitchesInputStreamsOffForThatProcedure) {
  sim.addDevice(presets::usbInterface());
  IOProbe probe;
  IOProcID proc;
  const AudioObjectID agg = broadcast({{kUSBInterfaceUID, false}}, kUSBInterfaceUID, probe, proc);
  const auto record = encodeStreamUsage(proc, {0, 1});
  ASSERT_EQ(sim.setPropertyData(agg, HAL::address(kPropIOProcStreamUsage, kScopeInput),
                                static_cast<std::uint32_t>(record.size()), record.data()),
            kStatusOK);
  sim.startDevice(agg, proc);
  sim.stepCycles(agg, 1);
  EXPECT_EQ(probe.inChannels, (std::vector<std::uint32_t>{2, 2}));
  EXPECT_EQ(probe.inHasData, (std::vector<bool>{false, true}));
}

// The TV's extra latency is one its properties do not tell.
TEST_F(SimIOTest, EachDeviceIsHeardAfterItsOwnLatency) {
  sim.addDevice(presets::usbInterface());
  sim.modifyDevice(kTVUID, [](DeviceSpec& s) { s.hiddenLatencyFrames = 2400; });
  IOProbe probe;
  probe.tapBuffer = 1;  // after the interface's input stream
  IOProcID proc;
  const AudioObjectID agg =
      broadcast({{kSpeakersUID, false}, {kTVUID}, {kUSBInterfaceUID}, {kAirPodsUID}}, kSpeakersUID,
                probe, proc);
  sim.startDevice(agg, proc);
  sim.stepIO(0.5);

  const auto speakers = sim.recording(kSpeakersUID);
  const auto tv = sim.recording(kTVUID);
  const auto usb = sim.recording(kUSBInterfaceUID);
  const auto pods = sim.recording(kAirPodsUID);
  ASSERT_TRUE(speakers && tv && usb && pods);
  EXPECT_EQ(speakers->findOnset(kThreshold), 4800 + 676);
  EXPECT_EQ(tv->findOnset(kThreshold), 4800 + 1600 + 2400);
  EXPECT_EQ(usb->findOnset(kThreshold), 4800 + 328);
  EXPECT_EQ(usb->findOnset(kThreshold, 0, 3u), 4800 + 328) << "every channel of the device plays";
  // The earbuds run at 44.1 kHz: the aggregate resamples them.
  EXPECT_EQ(pods->rate(), 44100);
  const auto podsOnset = pods->findOnset(kThreshold);
  ASSERT_TRUE(podsOnset);
  EXPECT_NEAR(static_cast<double>(*podsOnset), 4410 + 7350, 1.0);
}

TEST_F(SimIOTest, StalledDeviceCallsNothingUntilReleased) {
  IOProbe probe;
  IOProcID proc;
  const AudioObjectID agg = broadcast({{kSpeakersUID, false}}, kSpeakersUID, probe, proc);
  sim.startDevice(agg, proc);
  sim.stepIO(0.1);
  const int before = probe.calls;
  ASSERT_TRUE(sim.setStalled(agg, true));
  sim.stepIO(1.0);
  EXPECT_EQ(probe.calls, before);
  EXPECT_EQ(HAL::get<std::uint32_t>(sim, agg, kPropIsRunningSomewhere, kScopeGlobal), 1u)
      << "a stall is not a stop";
  sim.setStalled(agg, false);
  sim.stepIO(0.1);
  EXPECT_GT(probe.calls, before);
}

TEST_F(SimIOTest, BlockedCaptureNeverRunsAnAggregateWithATap) {
  sim.setCaptureBlocked(true);
  IOProbe probe;
  IOProcID proc;
  const AudioObjectID agg = broadcast({{kSpeakersUID, false}}, kSpeakersUID, probe, proc);
  EXPECT_EQ(sim.startDevice(agg, proc), kStatusOK) << "starting succeeds as on the platform";
  sim.stepIO(2.0);
  EXPECT_EQ(probe.calls, 0);
  EXPECT_EQ(HAL::get<std::uint32_t>(sim, agg, kPropIsRunningSomewhere, kScopeGlobal), 0u);

  // Without a tap the same machine runs.
  IOProbe plain;
  const AudioObjectID other =
      makeAggregate(description({{kTVUID, false}}, kTVUID, {}, "app.choralink.agg.OTHER"));
  ASSERT_TRUE(waitForJoins(other, 1));
  IOProcID otherProc;
  sim.createIOProcID(other, IOProbe::proc, &plain, otherProc);
  sim.startDevice(other, otherProc);
  sim.stepIO(0.1);
  EXPECT_GT(plain.calls, 0);

  sim.setCaptureBlocked(false);
  sim.stepIO(0.1);
  EXPECT_GT(probe.calls, 0);
}

TEST_F(SimIOTest, StartAndStopFollowThePlatformsRules) {
  IOProbe probe;
  IOProcID proc;
  const AudioObjectID agg = broadcast({{kSpeakersUID, false}}, kSpeakersUID, probe, proc);
  EXPECT_EQ(sim.startDevice(agg, proc + 100), kStatusIllegalOperation);
  EXPECT_EQ(sim.startDevice(31337, proc), kStatusBadDevice);
  int goin = 0;
  PropertyListener running(sim, agg, kPropIsRunningSomewhere, kScopeGlobal, clock, [&] { ++goin; });
  ASSERT_EQ(sim.startDevice(agg, proc), kStatusOK);
  sim.stepIO(0.1);
  ASSERT_EQ(sim.stopDevice(agg, proc), kStatusOK);
  const int calls = probe.calls;
  sim.stepIO(1.0);
  EXPECT_EQ(probe.calls, calls);
  EXPECT_FALSE(sim.isRunning(agg));
  clock.runDue();
  EXPECT_EQ(goin, 2);
  sim.setAlive(kSpeakersUID, false);
  IOProcID deviceProc;
  ASSERT_EQ(sim.createIOProcID(machine.speakers, IOProbe::proc, &probe, deviceProc), kStatusOK);
  EXPECT_EQ(sim.startDevice(machine.speakers, deviceProc), kStatusBadDevice);
  EXPECT_FALSE(sim.stepCycles(agg, 1));
}

TEST_F(SimIOTest, UnpluggingAPhysicalDeviceEndsItsOwnProcedures) {
  IOProbe probe;
  IOProcID proc;
  ASSERT_EQ(sim.createIOProcID(machine.tv, IOProbe::proc, &probe, proc), kStatusOK);
  sim.startDevice(machine.tv, proc);
  sim.stepIO(0.1);
  EXPECT_GT(probe.calls, 0);
  EXPECT_EQ(probe.outChannels, (std::vector<std::uint32_t>{2}));
  sim.removeDevice(kTVUID);
  EXPECT_EQ(sim.liveObjects().ioProcs, 0u);
  const int calls = probe.calls;
  sim.stepIO(0.1);
  EXPECT_EQ(probe.calls, calls);
}

TEST_F(SimIOTest, DefaultOutputPlaysTheSystemMixDirectlyUnlessAMutingTapExists) {
  sim.stepIO(0.5);
  EXPECT_EQ(sim.recording(kSpeakersUID)->findOnset(kThreshold), 4800 + 676);
  EXPECT_TRUE(sim.recording(kTVUID)->isSilent());

  // The TV's preferred pair names its last channel: the mix plays there.
  sim.modifyDevice(kTVUID, [](DeviceSpec& s) {
    s.outputStreams = {6};
    s.preferredStereo = {6, 5};
  });
  sim.setDefaultOutput(kTVUID);
  sim.stepIO(1.0);  // the click at 1.1 s now plays on the TV
  EXPECT_EQ(sim.recording(kTVUID)->findOnset(kThreshold), 52800 + 1600);
  EXPECT_EQ(sim.recording(kTVUID)->findOnset(kThreshold, 0, 5u), 52800 + 1600);
  EXPECT_FALSE(sim.recording(kTVUID)->findOnset(kThreshold, 0, 0u));
  EXPECT_FALSE(sim.recording(kSpeakersUID)->findOnset(kThreshold, 24000));

  const AudioObjectID tap = makeTap(true);
  sim.stepIO(1.0);
  EXPECT_FALSE(sim.recording(kTVUID)->findOnset(kThreshold, 72000)) << "muted by the tap";
  sim.destroyProcessTap(tap);
}

TEST_F(SimIOTest, ClockDriverRunsIOWhenVirtualTimeAdvances) {
  SimMachine m(SimMachine::standard);
  m.system.setSystemMix(SignalSource::clickTrain(0.1, 1.0));
  IOProbe probe;
  IOProcID proc;
  ASSERT_EQ(m.system.createIOProcID(m.devices.speakers, IOProbe::proc, &probe, proc), kStatusOK);
  m.clock.advanceBy(0.3);  // nothing runs until started
  ASSERT_EQ(m.system.startDevice(m.devices.speakers, proc), kStatusOK);
  m.clock.advanceBy(1.0);
  EXPECT_EQ(probe.calls, 94);  // cycles starting at 0.3 + k × 512/48000 within the second
  EXPECT_THROW(m.system.stepIO(1.0), std::logic_error);
  EXPECT_GT(m.system.ioTime(), 1.28) << "IO time is where the last cycle began";
  // Direct playback followed the same clock, from the start.
  const auto heard = m.system.recording(kSpeakersUID);
  EXPECT_EQ(heard->onsets(kThreshold, 4800), (std::vector<std::int64_t>{4800 + 676, 52800 + 676}));
  m.system.stopDevice(m.devices.speakers, proc);
  m.clock.advanceBy(1.0);
  EXPECT_EQ(probe.calls, 94);
  m.system.destroyIOProcID(m.devices.speakers, proc);
}

TEST_F(SimIOTest, AClockDeviceWithErrorPacesTheWholeAggregate) {
  sim.modifyDevice(kSpeakersUID, [](DeviceSpec& s) { s.clockErrorPpm = -500; });
  IOProbe probe;
  IOProcID proc;
  const AudioObjectID agg = broadcast({{kSpeakersUID, false}}, kSpeakersUID, probe, proc);
  sim.startDevice(agg, proc);
  sim.modifyDevice(kSpeakersUID, [](DeviceSpec& s) { s.bufferFrameSize = 480; });
  sim.stepIO(10000.5 * 480 / 48000.0);
  // A slow clock: 0.05 % fewer cycles than the 10001 a true clock would run.
  EXPECT_EQ(probe.calls, 9996);
}

}  // namespace
}  // namespace choralink::sim
