// The router under real concurrency, where concurrency itself is what is
// tested: its own serial queue "app.choralink.engine", the simulated audio
// system on a queue of its own with its real-time IO thread calling the
// render callback, two threads hammering the synchronous parameter and meter
// calls, and the test thread unplugging and replugging devices and forcing
// rebuilds. Bounded: a fixed number of rounds, each waiting (on a condition,
// never a sleep) for the router's answer. Run under ThreadSanitizer and
// AddressSanitizer too, where a render state used after teardown or a field
// touched outside its lock shows up.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine/control/audio_router.h"
#include "engine/dispatch/serial_queue.h"
#include "engine/hal/sim/presets.h"
#include "engine/hal/sim/sim_audio_system.h"
#include "tests/common/log_capture.h"
#include "tests/common/temp_folder.h"
#include "tests/graph/graph_fixture.h"

namespace choralink {
namespace {

namespace presets = sim::presets;

constexpr int kRounds = 3;
constexpr auto kPatience = std::chrono::seconds(30);

// Quick joiners, so that a rebuild costs little real time.
sim::DeviceSpec quick(sim::DeviceSpec spec) {
  spec.joinDelay = 0.005;
  spec.record = false;
  return spec;
}

BroadcastConfig configOf(std::vector<std::string> uids, float master = 1.0f) {
  BroadcastConfig config;
  for (std::string& uid : uids)
    config.devices.push_back(DeviceConfig{std::move(uid), 0.8f, 5, true});
  config.masterVolume = master;
  return config;
}

// Collects the router's events on a thread of their own, as the application
// model would, and lets the test wait for one.
class EventLog {
 public:
  explicit EventLog(AudioRouter& router)
      : subscription_(router.events().consume(queue_, [this](EngineEvent event) {
          std::lock_guard lock(mutex_);
          events_.push_back(std::move(event));
          changed_.notify_all();
        })) {}
  // No handler may still run once the members go.
  ~EventLog() {
    subscription_.cancel();
    queue_.shutdown();
  }

  // Waits until an event of `kind` arrives after the first `from` events;
  // returns its position.
  std::optional<std::size_t> waitFor(EngineEvent::Kind kind, std::size_t from) {
    std::unique_lock lock(mutex_);
    std::optional<std::size_t> found;
    changed_.wait_for(lock, kPatience, [&] {
      for (std::size_t i = from; i < events_.size(); ++i) {
        if (events_[i].kind() == kind) {
          found = i;
          return true;
        }
      }
      return false;
    });
    return found;
  }
  std::size_t size() {
    std::lock_guard lock(mutex_);
    return events_.size();
  }
  std::vector<EngineEvent> all() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  SerialQueue queue_{"app.choralink.test-main"};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<EngineEvent> events_;
  StreamSubscription subscription_;
};

TEST(RouterStressTest, ParameterCallsRaceUnplugsAndRebuildsWithoutHarm) {
  test::TempFolder folder;
  test::LogCapture logs(folder.path());
  SerialQueue simClock("sim-clock");
  sim::SimOptions options;
  options.defaultJoinDelay = 0.005;
  sim::SimAudioSystem system(simClock, options);
  system.setSystemMix(sim::SignalSource::sine(440, 0.5f));
  system.addDevice(quick(presets::builtInSpeakers()));
  system.addDevice(quick(presets::hdmiTV()));
  system.addDevice(quick(presets::usbInterface()));
  system.setIODriver(sim::IODriver::realtime);

  AudioRouter::Environment environment(system);
  environment.log = &logs.log();
  environment.rateJournal = folder / "rate-restore.json";
  auto router = std::make_unique<AudioRouter>(environment);
  EventLog events(*router);

  const std::vector<std::string> all = {presets::kSpeakersUID, presets::kTVUID,
                                        presets::kUSBInterfaceUID};
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> calls{0};
  std::thread sliders([&] {
    for (std::uint64_t i = 0; !done.load(); ++i) {
      const std::string& uid = all[i % all.size()];
      router->setVolume(uid, static_cast<float>(i % 100) / 100.0f);
      router->setOffset(uid, static_cast<std::int64_t>(i % 600) - 50, i % 2 == 0);
      (void)router->levels();
      (void)router->delayBreakdown();
      (void)router->heartbeat();
      calls.fetch_add(5, std::memory_order_relaxed);
    }
  });
  std::thread meters([&] {
    for (std::uint64_t i = 0; !done.load(); ++i) {
      router->setMasterVolume(static_cast<float>(i % 11) / 10.0f);
      (void)router->inputLevel();
      (void)router->callbackHasRun();
      (void)router->isRunning();
      if (i % 64 == 0) router->playTestTone();
      // Same devices, another order: always the live path.
      if (i % 16 == 0) router->update(configOf({all[2], all[0], all[1]}, 0.5f));
      calls.fetch_add(5, std::memory_order_relaxed);
    }
  });

  std::size_t seen = events.size();
  router->start(configOf(all)).get();
  ASSERT_TRUE(events.waitFor(EngineEvent::Kind::started, seen));

  for (int round = 0; round < kRounds; ++round) {
    // A playing device goes: the router notices, drops it and rebuilds.
    seen = events.size();
    ASSERT_TRUE(system.removeDevice(presets::kTVUID));
    const auto lost = events.waitFor(EngineEvent::Kind::deviceLost, seen);
    ASSERT_TRUE(lost) << "round " << round;
    ASSERT_TRUE(events.waitFor(EngineEvent::Kind::started, *lost));

    // It comes back: another rebuild, with a start racing it.
    seen = events.size();
    system.addDevice(quick(presets::hdmiTV()));
    router->start(configOf(all)).get();
    ASSERT_TRUE(events.waitFor(EngineEvent::Kind::started, seen));

    // A change of the device set: a delayed rebuild while parameters fly.
    seen = events.size();
    router->update(configOf({all[0], all[2]}));
    ASSERT_TRUE(events.waitFor(EngineEvent::Kind::rebuilding, seen));
    ASSERT_TRUE(events.waitFor(EngineEvent::Kind::started, seen));
    router->update(configOf(all));
  }

  seen = events.size();
  router->stop().get();
  ASSERT_TRUE(events.waitFor(EngineEvent::Kind::stopped, seen));
  done = true;
  sliders.join();
  meters.join();
  router->shutdownSync(10);
  EXPECT_TRUE(logs.startingWith("Shutdown:").empty());

  test::expectNothingLeft(system);
  EXPECT_GT(calls.load(), 1000u) << "the parameter threads hardly ran";
  // The broadcast never ended on its own: the one stop is ours.
  std::vector<EngineEvent> stops;
  for (const EngineEvent& event : events.all()) {
    if (event.kind() == EngineEvent::Kind::stopped) stops.push_back(event);
  }
  EXPECT_THAT(stops, ::testing::ElementsAre(EngineEvent::stopped(StopReason::user())));
}

}  // namespace
}  // namespace choralink
