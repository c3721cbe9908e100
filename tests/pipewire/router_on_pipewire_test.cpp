// The engine's router, unchanged, on the PipeWire backend against a private
// daemon: the catalog lists the sinks that are devices, a broadcast to four
// sinks builds through the seam, lines them up by their latencies and plays
// each with its volume and offset sample for sample; an unplugged sink takes
// the lost/rebuild path onto the rest; stopping leaves the graph as it was.
// A daemon that goes away is the reconnect suite's.
//
// The router runs on its own real-time queue here (the daemon's work takes
// real time), so every wait is bounded and ends on what it waits for, never
// after a fixed time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>

#include "engine/control/audio_router.h"
#include "engine/hal/pipewire/pipewire_audio_system.h"
#include "engine/hal/pipewire/pw_default_output.h"
#include "engine/hal/pipewire/pw_virtual_sink.h"
#include "tests/common/log_capture.h"
#include "tests/common/temp_folder.h"
#include "tests/pipewire/pulse_probe.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

constexpr double kTimeout = 5.0;
constexpr size_t kRecordFrames = 12000;

template <class T>
bool ready(std::future<T>& future, double seconds = kTimeout) {
  return future.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready;
}

DeviceConfig entry(const char* uid, float volume, std::int64_t offsetMs) {
  return DeviceConfig{uid, volume, offsetMs, offsetMs != 0};
}

class RouterOnPipeWireTest : public PipeWireTest {
 protected:
  void SetUp() override {
    PipeWireTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    system_ = openSystem(daemon_->socketPath(), folder_.path());
    setDefaultSeenBy(kUsb, system_->graph());
    ASSERT_TRUE(forceQuantum(graph(), kRoomyQuantum));
    before_ = saveDefaultOutput(graph());
    linksBefore_ = graph().links().size();
    AudioRouter::Environment environment(*system_);
    environment.log = &logs_.log();
    environment.rateJournal = folder_.path() / "rate-restore.json";
    environment.isLaptop = false;
    router_ = std::make_unique<AudioRouter>(environment);
  }
  void TearDown() override {
    if (router_) router_->shutdownSync(kTimeout);
    router_.reset();
    system_.reset();
    if (graph_) {
      forceQuantum(graph(), 0);
      restoreDefaultOutput(graph(), {});
    }
    PipeWireTest::TearDown();
  }

  // Waits until events_ holds an event of `kind` at index `from` or later.
  // Nothing consumes the router's events: they are taken from the stream's
  // buffer, which holds more than these tests ever see between two polls.
  bool waitForEvent(EngineEvent::Kind kind, size_t from) {
    return pollFor(kTimeout, [&] {
      for (auto& event : router_->events().takeBuffered())
        events_.push_back(std::move(event));
      return std::any_of(events_.begin() + static_cast<long>(from), events_.end(),
                         [&](const EngineEvent& e) { return e.kind() == kind; });
    });
  }

  // Starts and waits for the `started` event; the UIDs that play.
  std::vector<std::string> start(const BroadcastConfig& config) {
    const size_t from = events_.size();
    auto done = router_->start(config);
    EXPECT_TRUE(ready(done)) << "start did not finish";
    if (ready(done, 0)) done.get();
    EXPECT_TRUE(waitForEvent(EngineEvent::Kind::started, from));
    for (size_t i = from; i < events_.size(); ++i) {
      if (const auto* started = events_[i].as<EngineEvent::Started>()) return started->active;
    }
    return {};
  }

  // Lets gains ramp and delays crossfade to where they were sent: a quarter
  // second of rendered cycles.
  void settle() {
    const uint64_t target = router_->heartbeat() + kRecordFrames / kRoomyQuantum + 2;
    ASSERT_TRUE(graph().waitFor([&] { return router_->heartbeat() >= target; }, kTimeout))
        << "the broadcast's procedure stopped running";
  }

  // Plays a pulse into the default output (our captured sink) and records
  // the monitors of `sinks`.
  std::map<std::string, PulseArrival> measure(const std::vector<std::string>& sinks) {
    settle();
    EXPECT_TRUE(graph().waitFor([&] { return graph().defaultSinkName() == "Choralink"; }, kTimeout))
        << "our captured sink is not the default output";
    return measurePulse(loop(), graph(), "Choralink", sinks, kRecordFrames);
  }

  choralink::test::TempFolder folder_;
  choralink::test::LogCapture logs_{folder_.path()};
  std::vector<EngineEvent> events_;
  std::unique_ptr<PipeWireAudioSystem> system_;
  std::unique_ptr<AudioRouter> router_;
  SavedDefaultOutput before_;
  size_t linksBefore_ = 0;
};

TEST_F(RouterOnPipeWireTest, BroadcastAlignsFourSinksAndLeavesNothingBehind) {
  BroadcastConfig config;
  config.devices = {entry(kSpeakers, 1.0f, 0), entry(kBluetooth, 0.5f, 0), entry(kHdmi, 0.25f, 10),
                    entry(kUsb, 0.75f, 0)};
  EXPECT_EQ(start(config), (std::vector<std::string>{kSpeakers, kBluetooth, kHdmi, kUsb}));
  // The catalog lists the sinks with a device behind them: not the virtual mix.
  const auto lists = router_->deviceSnapshots().takeBuffered();
  ASSERT_FALSE(lists.empty());
  for (const auto& device : lists.back())
    EXPECT_NE(device.uid, kVirtualMix);

  // The sinks' latencies (headless.conf: 1024, 512 at 44.1 kHz, 256 and 2048
  // frames) line up on the slowest, USB; the Bluetooth sink's 512 frames are
  // 557 at the graph's 48 kHz; HDMI adds its 10 ms offset.
  const std::map<std::string, std::pair<float, long>> expected = {{kSpeakers, {1.0f, 1024}},
                                                                  {kBluetooth, {0.5f, 1491}},
                                                                  {kHdmi, {0.25f, 1792 + 480}},
                                                                  {kUsb, {0.75f, 0}}};
  const auto breakdown = router_->delayBreakdown();
  for (const auto& [uid, want] : expected) {
    ASSERT_TRUE(breakdown.count(uid)) << uid;
    EXPECT_EQ(breakdown.at(uid).totalFrames, want.second) << uid;
  }
  expectPulseArrivals(measure({kSpeakers, kBluetooth, kHdmi, kUsb}), kUsb, expected);
  const size_t eventsBefore = events_.size();

  // Stopping leaves no node, link or changed default behind.
  auto stopped = router_->stop();
  ASSERT_TRUE(ready(stopped));
  ASSERT_TRUE(waitForEvent(EngineEvent::Kind::stopped, eventsBefore));
  EXPECT_EQ(events_.back(), EngineEvent::stopped(StopReason::user()));
  expectGraphAsBefore(linksBefore_, before_);
}

TEST_F(RouterOnPipeWireTest, UnpluggedSinkTakesTheLostPathAndTheRestPlayOn) {
  auto sink = plugUsbSink("going_away", "Going Away");
  ASSERT_TRUE(graph().waitFor([&] { return system_->deviceForUID("going_away") != 0; }, kTimeout));

  BroadcastConfig config;
  config.devices = {entry(kHdmi, 1.0f, 0), entry("going_away", 1.0f, 0), entry(kUsb, 0.5f, 0)};
  ASSERT_EQ(start(config), (std::vector<std::string>{kHdmi, "going_away", kUsb}));
  settle();

  const size_t from = events_.size();
  sink.reset();
  ASSERT_TRUE(waitForEvent(EngineEvent::Kind::started, from))
      << "no rebuild after the unplug: " << ::testing::PrintToString(events_) << "\n"
      << ::testing::PrintToString(logs_.messages());
  const std::vector<EngineEvent> expected = {EngineEvent::deviceLost("going_away", "Going Away"),
                                             EngineEvent::rebuilding(),
                                             EngineEvent::started({kHdmi, kUsb})};
  EXPECT_EQ(std::vector<EngineEvent>(events_.begin() + static_cast<long>(from), events_.end()),
            expected);

  auto stopped = router_->stop();
  ASSERT_TRUE(ready(stopped));
  expectGraphAsBefore(linksBefore_, before_);
}

}  // namespace
}  // namespace choralink::pipewire::testing
