// The platform seam on a private PipeWire daemon: devices and their
// properties, listeners, the muted tap and the default output, the aggregate
// device with an IO procedure. Everything is read through the seam
// (AudioSystem and the HAL helpers), as the engine reads it. A daemon that
// goes away is the reconnect suite's.
#include "engine/hal/pipewire/pipewire_audio_system.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <tuple>

#include "engine/dispatch/virtual_executor.h"
#include "engine/hal/hal.h"
#include "engine/hal/hal_error.h"
#include "engine/hal/pipewire/pw_default_output.h"
#include "engine/hal/pipewire/pw_link.h"
#include "engine/hal/pipewire/pw_ports.h"
#include "engine/hal/pipewire/pw_recorder.h"
#include "engine/hal/pipewire/pw_virtual_sink.h"
#include "render/cl_render.h"
#include "tests/common/temp_folder.h"
#include "tests/pipewire/pulse_probe.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

constexpr double kTimeout = 5.0;

class PipeWireAudioSystemTest : public PipeWireTest {
 protected:
  void SetUp() override {
    PipeWireTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    system_ = openSystem(daemon_->socketPath(), journalDir_.path());
  }

  void TearDown() override {
    system_.reset();
    PipeWireTest::TearDown();
  }

  std::filesystem::path journalPath() const { return journalDir_ / "default-output.json"; }

  AudioSystem& sys() { return *system_; }
  std::vector<uint32_t> devices() {
    return HAL::getArray<uint32_t>(sys(), kSystemObject, kPropDevices, kScopeGlobal);
  }
  uint32_t defaultOutput() {
    return HAL::get<uint32_t>(sys(), kSystemObject, kPropDefaultOutputDevice, kScopeGlobal);
  }
  AudioObjectID device(const char* uid) { return system_->deviceForUID(uid); }

  // Waits (bounded) until a read through the seam holds.
  bool eventually(const std::function<bool()>& condition) {
    return graph().waitFor(condition, kTimeout);
  }

  void setDefault(const char* name) {
    setDefaultSeenBy(name, system_ ? system_->graph() : graph());
  }

  std::vector<uint32_t> joined(AudioObjectID aggregate) {
    return HAL::getArray<uint32_t>(sys(), aggregate, kPropActiveSubDevices, kScopeGlobal);
  }
  // An aggregate of `uids` and, when `tap` is given, of a new muted tap.
  AudioObjectID makeAggregate(const std::vector<std::string>& uids, AudioObjectID* tap = nullptr) {
    std::string tapUID;
    if (tap != nullptr) {
      EXPECT_EQ(sys().createProcessTap(mutedTap(), *tap), kStatusOK);
      tapUID = HAL::getString(sys(), *tap, kPropTapUID);
    }
    AudioObjectID aggregate = 0;
    EXPECT_EQ(sys().createAggregateDevice(aggregateDescription(uids, tapUID), aggregate),
              kStatusOK);
    return aggregate;
  }

  // Starts the system anew on what a run that died left: its journal (none
  // when null) and the default output on `name`.
  void restartOn(const nlohmann::json& journal, const char* name) {
    system_.reset();
    if (!journal.is_null()) test::writeFile(journalPath(), journal.dump());
    setDefault(name);
    system_ = openSystem(daemon_->socketPath(), journalDir_.path());
  }

  // Lets the graph run `cycles` more cycles, counted by a recorder on the USB
  // sink's monitor (a stopped procedure of ours counts none).
  void letGraphRun(uint64_t cycles) {
    PwRecorder clock(loop(), "choralink.test.clock", {{"usb_FL", "FL"}}, 64);
    ASSERT_TRUE(clock.filter().waitForNode(kTimeout));
    ASSERT_TRUE(eventually([&] { return graph().ports(clock.filter().nodeId()).size() == 1; }));
    PwLinks links;
    linkMonitor(links, kUsb, clock.filter().nodeId());
    ASSERT_TRUE(waitActive(loop(), links, kTimeout));
    const uint64_t from = clock.filter().cycles();
    ASSERT_TRUE(eventually([&] { return clock.filter().cycles() >= from + cycles; }));
  }

  test::TempFolder journalDir_;
  // Listener blocks are posted here; it outlives every registration (the
  // system goes first).
  VirtualExecutor queue;
  std::unique_ptr<PipeWireAudioSystem> system_;
};

TEST_F(PipeWireAudioSystemTest, DevicesAreTheSinksWithTheirProperties) {
  std::multiset<std::string> uids;
  for (uint32_t id : devices())
    uids.insert(HAL::getString(sys(), id, kPropDeviceUID));
  EXPECT_EQ(uids, std::multiset<std::string>(kFakeSinks.begin(), kFakeSinks.end()));

  // Names, alive and not hidden, and the streams and stereo pair of a
  // surround sink, are read through the router (a lost sink by its name, the
  // pulse on the HDMI sink's left and right).
  const AudioObjectID bt = device(kBluetooth);
  EXPECT_EQ(HAL::get<uint32_t>(sys(), bt, kPropTransportType, kScopeGlobal), kTransportBluetooth);
  EXPECT_EQ(HAL::get<double>(sys(), bt, kPropNominalSampleRate, kScopeGlobal), 44100.0);
  EXPECT_EQ(HAL::getArray<ValueRange>(sys(), bt, kPropAvailableNominalSampleRates, kScopeGlobal),
            (std::vector<ValueRange>{{44100, 44100}}));
  EXPECT_EQ(HAL::get<uint32_t>(sys(), bt, kPropBufferFrameSize, kScopeOutput), 512u);

  EXPECT_EQ(HAL::get<uint32_t>(sys(), device(kHdmi), kPropTransportType, kScopeGlobal),
            kTransportHDMI);
}

TEST_F(PipeWireAudioSystemTest, UnknownObjectsSelectorsAndSizesAreRefused) {
  const std::tuple<AudioObjectID, uint32_t, HALStatus> cases[] = {
      {4242, kPropDeviceUID, kStatusBadObject},
      {device(kUsb), kPropTapFormat, kStatusUnknownProperty},
      {device(kUsb), kPropNominalSampleRate, kStatusBadPropertySize}};  // a double in 4 bytes
  for (const auto& [object, selector, status] : cases) {
    double value = 0;
    uint32_t size = 4;
    EXPECT_EQ(sys().getPropertyData(object, HAL::address(selector), 0, nullptr, size, &value),
              status)
        << selector;
  }
  EXPECT_THROW(HAL::get<uint32_t>(sys(), device(kUsb), kPropLatency, kScopeGlobal), HALError)
      << "device latency lives in the output scope";
}

TEST_F(PipeWireAudioSystemTest, RateWritesSucceedOnlyForTheRateTheDeviceHas) {
  const AudioObjectID bt = device(kBluetooth);
  EXPECT_NO_THROW(HAL::set(sys(), bt, kPropNominalSampleRate, 44100.0));
  const double other = 48000.0;
  EXPECT_EQ(sys().setPropertyData(bt, HAL::address(kPropNominalSampleRate), sizeof other, &other),
            kStatusUnsupportedOperation);
  EXPECT_EQ(HAL::get<double>(sys(), bt, kPropNominalSampleRate, kScopeGlobal), 44100.0);
}

TEST_F(PipeWireAudioSystemTest, PluggedAndUnpluggedSinksReachTheDeviceListListeners) {
  ListenerCount list;
  ASSERT_EQ(sys().addPropertyListener(kSystemObject, HAL::address(kPropDevices), queue, list.block),
            kStatusOK);
  EXPECT_EQ(sys().addPropertyListener(kSystemObject, HAL::address(kPropDevices), queue, list.block),
            kStatusIllegalOperation)
      << "the same block twice";

  auto plugged = plugUsbSink("hotplug_sink");
  ASSERT_TRUE(eventually([&] { return device("hotplug_sink") != 0; }));
  const AudioObjectID id = device("hotplug_sink");
  ListenerCount alive;
  ASSERT_EQ(sys().addPropertyListener(id, HAL::address(kPropDeviceIsAlive), queue, alive.block),
            kStatusOK);
  queue.runDue();
  EXPECT_GE(*list.count, 1);

  const int before = *list.count;
  plugged.reset();
  ASSERT_TRUE(eventually([&] { return device("hotplug_sink") == 0; }));
  queue.runDue();
  EXPECT_GT(*list.count, before);
  EXPECT_EQ(*alive.count, 1);
  uint32_t value = 0;
  uint32_t size = sizeof value;
  EXPECT_EQ(sys().getPropertyData(id, HAL::address(kPropDeviceIsAlive), 0, nullptr, size, &value),
            kStatusBadObject)
      << "a device that went away is no object any more";

  // Removed listeners hear nothing, even of a change already on its way.
  EXPECT_EQ(
      sys().removePropertyListener(kSystemObject, HAL::address(kPropDevices), queue, list.block),
      kStatusOK);
  plugged = plugUsbSink("hotplug_sink");
  ASSERT_TRUE(eventually([&] { return device("hotplug_sink") != 0; }));
  const int afterRemoval = *list.count;
  queue.runDue();
  EXPECT_EQ(*list.count, afterRemoval);
}

TEST_F(PipeWireAudioSystemTest, DefaultOutputFollowsTheMetadata) {
  ListenerCount changes;
  ASSERT_EQ(sys().addPropertyListener(kSystemObject, HAL::address(kPropDefaultOutputDevice), queue,
                                      changes.block),
            kStatusOK);
  EXPECT_EQ(defaultOutput(), device(kVirtualMix))
      << "no default named: the sink of the highest session priority";
  setDefault(kUsb);
  ASSERT_TRUE(eventually([&] { return defaultOutput() == device(kUsb); }));
  queue.runDue();
  EXPECT_EQ(*changes.count, 1);
  restoreDefaultOutput(graph(), {});
}

TEST_F(PipeWireAudioSystemTest, MutedTapTakesTheDefaultOutputAndGivesItBack) {
  setDefault(kUsb);
  const SavedDefaultOutput before = saveDefaultOutput(graph());
  AudioObjectID tap = 0;
  // An unmuted tap (a mirror) leaves the default output alone and makes no node of ours.
  TapDescription mirror = mutedTap();
  mirror.muteBehavior = TapMuteBehavior::unmuted;
  ASSERT_EQ(sys().createProcessTap(mirror, tap), kStatusOK);
  EXPECT_EQ(graph().defaultSinkName(), kUsb);
  EXPECT_FALSE(graph().nodeByName("Choralink").has_value());
  EXPECT_FALSE(std::filesystem::exists(journalPath())) << "nothing to restore";
  ASSERT_EQ(sys().destroyProcessTap(tap), kStatusOK);

  ASSERT_EQ(sys().createProcessTap(mutedTap(), tap), kStatusOK);

  // The system plays into our sink now; for the engine the user's choice of
  // output has not changed, and our sink is no device.
  ASSERT_TRUE(eventually([&] { return graph().defaultSinkName() == "Choralink"; }));
  EXPECT_EQ(defaultOutput(), device(kUsb));
  EXPECT_EQ(devices().size(), kFakeSinks.size());
  EXPECT_EQ(device("Choralink"), 0u);
  ASSERT_TRUE(std::filesystem::exists(journalPath()));
  EXPECT_EQ(nlohmann::json::parse(test::readFile(journalPath()))["current"], *before.current);

  AudioObjectID second = 0;
  EXPECT_EQ(sys().createProcessTap(mutedTap(), second), kStatusIllegalOperation)
      << "one muted tap at a time";

  ASSERT_EQ(sys().destroyProcessTap(tap), kStatusOK);
  EXPECT_TRUE(eventually([&] { return defaultOutputIs(graph(), before); }));
  EXPECT_TRUE(eventually([&] { return !graph().nodeByName("Choralink").has_value(); }));
  EXPECT_FALSE(std::filesystem::exists(journalPath()));
  EXPECT_EQ(sys().destroyProcessTap(tap), kStatusBadObject);

  // A rebuild takes the next muted tap straight after the last one went, and
  // it saves the user's default, not our sink that has just left.
  ASSERT_EQ(sys().createProcessTap(mutedTap(), tap), kStatusOK);
  ASSERT_EQ(sys().destroyProcessTap(tap), kStatusOK);
  ASSERT_EQ(sys().createProcessTap(mutedTap(), tap), kStatusOK);
  ASSERT_EQ(sys().destroyProcessTap(tap), kStatusOK);
  EXPECT_TRUE(eventually([&] { return defaultOutputIs(graph(), before); }));
  restoreDefaultOutput(graph(), {});
}

TEST_F(PipeWireAudioSystemTest, TapsOfChosenProcessesOrMonoAreNotOffered) {
  TapDescription d = mutedTap();
  d.exclusive = false;  // "only these processes"
  AudioObjectID tap = 0;
  EXPECT_EQ(sys().createProcessTap(d, tap), kStatusUnsupportedOperation);
  d = mutedTap();
  d.mono = true;
  EXPECT_EQ(sys().createProcessTap(d, tap), kStatusUnsupportedFormat);
}

// What a run that died left is mended at the next start: a journal naming
// the user's sink puts the default back, unless the user chose anew since; a
// default left on our vanished sink, journaled (by a run that itself started
// on a stale default) or not, falls back to a sink that exists.
TEST_F(PipeWireAudioSystemTest, WhatACrashedRunLeftIsMendedAtTheNextStart) {
  const std::string ours = metadataNameValue("Choralink");
  const nlohmann::json namesBluetooth = {{"current", metadataNameValue(kBluetooth)},
                                         {"configured", nullptr}};
  const struct {
    nlohmann::json journal;
    const char* defaultAtStart;
    std::optional<SavedDefaultOutput> expected;  // none: any sink that exists
  } cases[] = {
      {namesBluetooth, "Choralink", SavedDefaultOutput{metadataNameValue(kBluetooth), {}}},
      {namesBluetooth, kHdmi,
       SavedDefaultOutput{metadataNameValue(kHdmi), metadataNameValue(kHdmi)}},
      {{{"current", ours}, {"configured", ours}}, "Choralink", std::nullopt},
      {nullptr, "Choralink", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.journal.dump() + " " + c.defaultAtStart);
    restartOn(c.journal, c.defaultAtStart);
    if (c.expected) {
      EXPECT_TRUE(eventually([&] { return defaultOutputIs(graph(), *c.expected); }));
    } else {
      EXPECT_TRUE(eventually([&] {
        return graph().defaultSinkName() != "Choralink" &&
               graph().configuredDefaultSinkName() != "Choralink";
      }));
      const std::string now = graph().defaultSinkName();
      EXPECT_TRUE(graph().nodeByName(now).has_value()) << now;
      EXPECT_EQ(graph().configuredDefaultSinkName(), now);
      EXPECT_EQ(defaultOutput(), device(now.c_str()));
    }
    EXPECT_FALSE(std::filesystem::exists(journalPath()));
  }
  restoreDefaultOutput(graph(), {});
}

struct Route {
  const char* sink;
  float gain;
  int32_t delayFrames;
};

TEST_F(PipeWireAudioSystemTest, AggregateJoinsItsSinksAndRendersEachExactly) {
  const Route routes[] = {
      {kSpeakers, 1.0f, 0}, {kBluetooth, 0.5f, 480}, {kHdmi, 0.25f, 960}, {kUsb, 0.75f, 1440}};
  std::vector<std::string> uids;
  std::map<std::string, std::pair<float, long>> expected;
  for (const auto& r : routes) {
    uids.push_back(r.sink);
    expected[r.sink] = {r.gain, r.delayFrames};
  }
  uids.push_back("no_such_sink");  // requested but absent: never joins
  ASSERT_TRUE(forceQuantum(graph(), kRoomyQuantum));

  AudioObjectID tap = 0;
  const AudioObjectID aggregate = makeAggregate(uids, &tap);
  EXPECT_EQ(HAL::get<uint32_t>(sys(), aggregate, kPropTransportType, kScopeGlobal),
            kTransportAggregate);
  const auto list = devices();
  EXPECT_NE(std::find(list.begin(), list.end(), aggregate), list.end());

  // The four present sinks join, in the requested order.
  ASSERT_TRUE(eventually([&] { return joined(aggregate).size() == 4; }));
  const std::vector<uint32_t> active = joined(aggregate);
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(active[i], device(routes[i].sink));
  EXPECT_EQ(HAL::streamChannels(sys(), aggregate, kScopeOutput), std::vector<int>(12, 1));
  EXPECT_EQ(HAL::streamChannels(sys(), aggregate, kScopeInput), (std::vector<int>{1, 1}));

  // Render layouts as the channel map builds them: each joined device's
  // streams follow the previous device's, the tap's two mono streams are
  // the input.
  std::vector<cl_slot_layout> layouts;
  int32_t buffer = 0;
  for (uint32_t id : active) {
    cl_slot_layout layout{};
    const auto streams = HAL::streamChannels(sys(), id, kScopeOutput);
    layout.channel_count = static_cast<int32_t>(streams.size());
    for (int32_t c = 0; c < layout.channel_count; ++c)
      layout.channels[c] = {buffer++, 0, 1};
    const auto pair =
        HAL::getArray<uint32_t>(sys(), id, kPropPreferredStereoChannels, kScopeOutput);
    layout.left = static_cast<int32_t>(pair[0]) - 1;
    layout.right = static_cast<int32_t>(pair[1]) - 1;
    layouts.push_back(layout);
  }
  cl_render* render = cl_render_create(4, layouts.data(), cl_input_layout{0, 2}, 48000, 48000.0);
  ASSERT_NE(render, nullptr);
  for (int32_t i = 0; i < 4; ++i) {
    cl_render_set_gain(render, i, routes[i].gain);
    cl_render_set_delay_frames(render, i, routes[i].delayFrames);
  }
  IOProcID proc = kNoIOProc;
  ASSERT_EQ(sys().createIOProcID(aggregate, cl_ioproc_ptr, render, proc), kStatusOK);
  IOProcID another = kNoIOProc;
  EXPECT_EQ(sys().createIOProcID(aggregate, cl_ioproc_ptr, render, another),
            kStatusIllegalOperation);
  ListenerCount running;
  ASSERT_EQ(sys().addPropertyListener(aggregate, HAL::address(kPropIsRunningSomewhere), queue,
                                      running.block),
            kStatusOK);
  ASSERT_EQ(sys().startDevice(aggregate, proc), kStatusOK);
  EXPECT_EQ(HAL::get<uint32_t>(sys(), aggregate, kPropIsRunningSomewhere, kScopeGlobal), 1u);

  // A quarter second of rendered cycles: gains ramp in (10 ms one-pole) and
  // delays crossfade in (20 ms), so every slot is where it was sent.
  const uint64_t settled = cl_render_heartbeat(render) + 12000 / kRoomyQuantum + 2;
  ASSERT_TRUE(eventually([&] { return cl_render_heartbeat(render) >= settled; }));
  // Applications' sound, which a session manager would move to the default
  // output (our sink).
  expectPulseArrivals(
      measurePulse(loop(), graph(), "Choralink", {uids.begin(), uids.end() - 1}, 12000), kSpeakers,
      expected);

  ASSERT_EQ(sys().stopDevice(aggregate, proc), kStatusOK);
  const uint64_t beats = cl_render_heartbeat(render);
  letGraphRun(3);
  EXPECT_EQ(cl_render_heartbeat(render), beats) << "no cycle after stop returned";
  queue.runDue();
  EXPECT_EQ(*running.count, 2);

  EXPECT_EQ(sys().destroyIOProcID(aggregate, proc), kStatusOK);
  EXPECT_EQ(sys().destroyAggregateDevice(aggregate), kStatusOK);
  EXPECT_EQ(sys().destroyProcessTap(tap), kStatusOK);
  cl_render_destroy(render);
  restoreDefaultOutput(graph(), {});
  forceQuantum(graph(), 0);
}

// Notes the sample times of the first cycles and how many input buffers
// carried data; can stall its 9th cycle far beyond its deadline, as an
// overloaded procedure would, and stop its own device.
struct ProcProbe {
  std::atomic<uint64_t> calls{0};
  std::array<double, 12> sampleTimes{};
  std::atomic<int> inputsWithData{-1};
  bool stall = false;
  std::atomic<bool> stopInside{false};
  AudioSystem* system = nullptr;
  AudioObjectID device = 0;
  IOProcID proc = kNoIOProc;
};

int32_t probeProc(uint32_t, const cl_audio_timestamp*, const cl_audio_buffer_list* input,
                  const cl_audio_timestamp*, cl_audio_buffer_list*,
                  const cl_audio_timestamp* outputTime, void* data) {
  auto* probe = static_cast<ProcProbe*>(data);
  const uint64_t call = probe->calls.fetch_add(1);
  if (call < probe->sampleTimes.size())
    probe->sampleTimes[call] = reinterpret_cast<const AudioTimeStamp*>(outputTime)->mSampleTime;
  int withData = 0;
  const cl_audio_buffer* buffers = input->mBuffers;
  for (uint32_t b = 0; b < input->mNumberBuffers; ++b)
    withData += buffers[b].mData != nullptr ? 1 : 0;
  probe->inputsWithData = withData;
  if (probe->stall && call == 8) std::this_thread::sleep_for(std::chrono::milliseconds(60));
  if (probe->stopInside.load()) probe->system->stopDevice(probe->device, probe->proc);
  return 0;
}

TEST_F(PipeWireAudioSystemTest, StreamUsageAndStopFromInsideTheProcedure) {
  AudioObjectID tap = 0;
  const AudioObjectID aggregate = makeAggregate({kUsb}, &tap);
  ASSERT_TRUE(eventually([&] { return joined(aggregate).size() == 1; }));
  ProcProbe probe;
  probe.system = &sys();
  probe.device = aggregate;
  ASSERT_EQ(sys().createIOProcID(aggregate, &probeProc, &probe, probe.proc), kStatusOK);
  const auto setUsage = [&](IOProcID proc, std::vector<uint32_t> flags) {
    const auto record = encodeStreamUsage(proc, flags);
    return sys().setPropertyData(aggregate, HAL::address(kPropIOProcStreamUsage, kScopeInput),
                                 static_cast<uint32_t>(record.size()), record.data());
  };
  ASSERT_EQ(setUsage(probe.proc, {1, 0}), kStatusOK);
  EXPECT_EQ(HAL::streamChannels(sys(), aggregate, kScopeOutput), (std::vector<int>{1, 1}))
      << "choosing inputs keeps the joined outputs";
  EXPECT_EQ(setUsage(probe.proc + 1, {1, 1}), kStatusBadObject);
  ASSERT_EQ(sys().startDevice(aggregate, probe.proc), kStatusOK);
  ASSERT_TRUE(eventually([&] { return probe.calls.load() >= 2; }));
  EXPECT_EQ(probe.inputsWithData.load(), 1) << "the disabled stream keeps its place, no data";

  probe.stopInside = true;
  ASSERT_TRUE(eventually([&] {
    return HAL::get<uint32_t>(sys(), aggregate, kPropIsRunningSomewhere, kScopeGlobal) == 0;
  }));
  const uint64_t calls = probe.calls.load();
  letGraphRun(3);
  EXPECT_EQ(probe.calls.load(), calls);

  EXPECT_EQ(sys().destroyAggregateDevice(aggregate), kStatusOK);
  EXPECT_EQ(sys().destroyProcessTap(tap), kStatusOK);
  restoreDefaultOutput(graph(), {});
}

TEST_F(PipeWireAudioSystemTest, MissedCyclesAreReportedAsOverloadAndLengthenTheTimeline) {
  const AudioObjectID aggregate = makeAggregate({kUsb, kSpeakers});
  ASSERT_TRUE(eventually([&] { return joined(aggregate).size() == 2; }));
  ListenerCount overload;
  ASSERT_EQ(sys().addPropertyListener(aggregate, HAL::address(kPropProcessorOverload), queue,
                                      overload.block),
            kStatusOK);
  ProcProbe probe;
  probe.stall = true;
  ASSERT_EQ(sys().createIOProcID(aggregate, &probeProc, &probe, probe.proc), kStatusOK);
  ASSERT_EQ(sys().startDevice(aggregate, probe.proc), kStatusOK);
  ASSERT_TRUE(eventually([&] { return probe.calls.load() > 10; }));
  EXPECT_TRUE(eventually([&] { return queue.pendingCount() > 0; })) << "the stalled 9th cycle";
  queue.runDue();
  EXPECT_GE(*overload.count, 1);
  // The cycles missed while the 9th call slept count on the timeline handed
  // to the procedure, so the render core keeps every slot on the device
  // clock; a timeline that moved on by one cycle only would shift the sinks.
  const double cycle = probe.sampleTimes[8] - probe.sampleTimes[7];
  EXPECT_GT(cycle, 0);
  EXPECT_GE(probe.sampleTimes[9] - probe.sampleTimes[8], 0.03 * 48000) << "one cycle: " << cycle;
  EXPECT_EQ(sys().stopDevice(aggregate, probe.proc), kStatusOK);
  EXPECT_EQ(sys().destroyAggregateDevice(aggregate), kStatusOK);
}

TEST_F(PipeWireAudioSystemTest, UnpluggedSubDeviceLeavesAndComesBack) {
  auto sink = plugUsbSink("replug_sink");
  ASSERT_TRUE(eventually([&] { return device("replug_sink") != 0; }));
  const AudioObjectID aggregate = makeAggregate({kUsb, "replug_sink"});
  const auto joinedCount = [&] { return joined(aggregate).size(); };
  ASSERT_TRUE(eventually([&] { return joinedCount() == 2; }));
  EXPECT_EQ(HAL::streamChannels(sys(), aggregate, kScopeOutput), std::vector<int>(4, 1));
  EXPECT_TRUE(HAL::streamChannels(sys(), aggregate, kScopeInput).empty()) << "no tap";

  ListenerCount joins;
  ASSERT_EQ(
      sys().addPropertyListener(aggregate, HAL::address(kPropActiveSubDevices), queue, joins.block),
      kStatusOK);
  sink.reset();
  ASSERT_TRUE(eventually([&] { return joinedCount() == 1; }));
  EXPECT_EQ(HAL::streamChannels(sys(), aggregate, kScopeOutput), std::vector<int>(2, 1));
  sink = plugUsbSink("replug_sink");
  ASSERT_TRUE(eventually([&] { return joinedCount() == 2; }));
  queue.runDue();
  EXPECT_GE(*joins.count, 2);
  EXPECT_EQ(sys().destroyAggregateDevice(aggregate), kStatusOK);
}

TEST(PipeWireAudioSystemLifetime, NoDaemonNoSystem) {
  EXPECT_FALSE(pipewireDaemonAnswers("/nonexistent/choralink/pipewire-0"));
  PipeWireAudioSystem::Options options;
  options.remoteName = "/nonexistent/choralink/pipewire-0";
  EXPECT_THROW(PipeWireAudioSystem system(options), PwError);
}

}  // namespace
}  // namespace choralink::pipewire::testing
