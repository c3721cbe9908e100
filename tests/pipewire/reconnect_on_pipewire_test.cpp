// A sound server that stops (everything of it ends, nothing hangs) and starts
// again on the same socket, under the backend and under the router: each
// test has a daemon of its own, since it restarts it.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "engine/control/audio_router.h"
#include "engine/dispatch/virtual_executor.h"
#include "engine/hal/hal.h"
#include "engine/hal/pipewire/pipewire_audio_system.h"
#include "engine/hal/pipewire/pw_default_output.h"
#include "tests/common/log_capture.h"
#include "tests/common/temp_folder.h"
#include "tests/pipewire/pulse_probe.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

constexpr double kTimeout = 5.0;

class ReconnectOnPipeWire : public ::testing::Test {
 protected:
  void SetUp() override {
    if (PipeWireDaemon::findProgram().empty()) GTEST_SKIP() << "PipeWire is not installed";
    daemon_ = std::make_unique<PipeWireDaemon>();
    connectUser();
    system_ = openSystem(daemon_->socketPath(), folder_.path());
  }

  // The user's connection: the quantum and the default a session manager
  // would keep. A daemon started again has forgotten both.
  void connectUser() {
    PwThreadLoop::Options options;
    options.remoteName = daemon_->socketPath();
    userLoop_ = std::make_unique<PwThreadLoop>(options);
    user_ = std::make_unique<PwGraph>(*userLoop_);
    ASSERT_TRUE(user_->settle(kTimeout));
    ASSERT_TRUE(user_->waitFor([&] { return user_->nodeByName(kUsb).has_value(); }, kTimeout));
    ASSERT_TRUE(forceQuantum(*user_, kRoomyQuantum));
  }

  void restartDaemon() {
    user_.reset();
    userLoop_.reset();
    daemon_->restart();
    connectUser();
  }

  choralink::test::TempFolder folder_;
  std::unique_ptr<PipeWireDaemon> daemon_;
  std::unique_ptr<PwThreadLoop> userLoop_;
  std::unique_ptr<PwGraph> user_;
  std::unique_ptr<PipeWireAudioSystem> system_;
};

TEST_F(ReconnectOnPipeWire, BackendPicksTheDaemonUpAgainWithNewObjects) {
  VirtualExecutor queue;  // outlives the registrations (the system goes first)
  std::map<uint32_t, ListenerCount> heard;
  for (uint32_t selector : {kPropServiceIsAlive, kPropDevices, kPropDefaultOutputDevice}) {
    ASSERT_EQ(system_->addPropertyListener(kSystemObject, HAL::address(selector), queue,
                                           heard[selector].block),
              kStatusOK);
  }
  ASSERT_TRUE(setDefaultOutput(*user_, kSpeakers));
  ASSERT_TRUE(pollFor(kTimeout, [&] { return system_->graph().defaultSinkName() == kSpeakers; }));
  const AudioObjectID oldUsb = system_->deviceForUID(kUsb);
  AudioObjectID oldTap = 0;
  AudioObjectID oldAggregate = 0;
  ASSERT_EQ(system_->createProcessTap(mutedTap(), oldTap), kStatusOK);
  ASSERT_EQ(
      system_->createAggregateDevice(aggregateDescription({kUsb}, mutedTap().uuid), oldAggregate),
      kStatusOK);
  // The user picks HDMI over our tap's sink; then the daemon goes.
  ASSERT_TRUE(setDefaultOutput(*user_, kHdmi));
  ASSERT_TRUE(pollFor(kTimeout, [&] { return system_->graph().defaultSinkName() == kHdmi; }));

  // The daemon goes: the system says so and refuses what needs it, at once.
  user_.reset();
  userLoop_.reset();
  daemon_->stop();
  ASSERT_TRUE(pollFor(kTimeout, [&] {
    return HAL::get<uint32_t>(*system_, kSystemObject, kPropServiceIsAlive, kScopeGlobal, 1) == 0;
  }));
  EXPECT_TRUE(HAL::getArray<uint32_t>(*system_, kSystemObject, kPropDevices, kScopeGlobal).empty());
  EXPECT_EQ(HAL::get<uint32_t>(*system_, oldAggregate, kPropDeviceIsAlive, kScopeGlobal, 1), 0u);
  AudioObjectID refused = 0;
  EXPECT_EQ(system_->createProcessTap(mutedTap(), refused), kStatusBadDevice);

  restartDaemon();
  // Wait for the server to have been down and up again.
  ASSERT_TRUE(pollFor(kTimeout, [&] {
    queue.runDue();
    return *heard[kPropServiceIsAlive].count >= 2 &&
           HAL::get<uint32_t>(*system_, kSystemObject, kPropServiceIsAlive, kScopeGlobal) == 1;
  }));
  for (const auto& [selector, count] : heard)
    EXPECT_GE(*count.count, 2) << "down and up for " << selector;
  const AudioObjectID usb = system_->deviceForUID(kUsb);
  EXPECT_TRUE(usb != kUnknownObject && usb != oldUsb) << usb;
  // The new daemon knew no default: the journal puts back the user's last
  // choice, and the system reads it, not a tap of the old daemon.
  EXPECT_TRUE(user_->waitFor([&] { return user_->defaultSinkName() == kHdmi; }, kTimeout));
  EXPECT_TRUE(pollFor(kTimeout, [&] {
    return HAL::get<uint32_t>(*system_, kSystemObject, kPropDefaultOutputDevice, kScopeGlobal) ==
           system_->deviceForUID(kHdmi);
  }));

  // The old objects stay dead and out of the list (new ones: the next test).
  const auto listed = HAL::getArray<uint32_t>(*system_, kSystemObject, kPropDevices, kScopeGlobal);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), oldAggregate), 0);
  EXPECT_EQ(HAL::get<uint32_t>(*system_, oldAggregate, kPropDeviceIsAlive, kScopeGlobal, 1), 0u);
  EXPECT_EQ(system_->startDevice(oldAggregate, 1), kStatusBadDevice);
  EXPECT_EQ(system_->destroyAggregateDevice(oldAggregate), kStatusOK);
  EXPECT_EQ(system_->destroyProcessTap(oldTap), kStatusOK);
}

TEST_F(ReconnectOnPipeWire, RouterListsTheSinksAgainAndANewBroadcastReachesThem) {
  choralink::test::LogCapture logs{folder_.path()};
  AudioRouter::Environment environment(*system_);
  environment.log = &logs.log();
  environment.rateJournal = folder_.path() / "rate-restore.json";
  environment.isLaptop = false;
  AudioRouter router(environment);
  BroadcastConfig config;
  config.devices = {DeviceConfig{kUsb, 1.0f, 0, false}, DeviceConfig{kHdmi, 1.0f, 0, false}};
  ASSERT_TRUE(pollFor(kTimeout, [&] { return router.deviceSnapshots().buffered() > 0; }));
  router.start(config).get();
  ASSERT_TRUE(router.isRunning());

  // The server itself goes, not device after device: the broadcast ends at
  // once, and a start on the dead connection answers at once.
  user_.reset();
  userLoop_.reset();
  const auto lost = std::chrono::steady_clock::now();
  daemon_->stop();
  ASSERT_TRUE(pollFor(kTimeout, [&] { return !router.isRunning(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - lost, std::chrono::seconds(1));
  EXPECT_TRUE(logs.contains(LogLevel::error, "The sound server stopped; broadcast ended"));
  EXPECT_TRUE(logs.startingWith("Active device vanished").empty());
  auto again = router.start(config);
  ASSERT_EQ(again.wait_for(std::chrono::seconds(1)), std::future_status::ready);
  EXPECT_NO_THROW(again.get());

  restartDaemon();
  // Listed again under the new daemon's objects; nothing restarts by itself.
  std::vector<AudioDeviceInfo> shown;
  const auto listsBoth = [&] {
    for (auto& list : router.deviceSnapshots().takeBuffered())
      shown = std::move(list);
    int found = 0;
    for (const auto& d : shown)
      found += (d.uid == kUsb && d.objectID == system_->deviceForUID(kUsb)) || d.uid == kHdmi;
    return found == 2;
  };
  ASSERT_TRUE(pollFor(kTimeout, listsBoth));
  EXPECT_FALSE(router.isRunning());

  router.start(config).get();
  ASSERT_TRUE(router.isRunning());
  ASSERT_TRUE(pollFor(kTimeout, [&] { return router.delayBreakdown().size() == 2; }));
  const auto heard = measurePulse(*userLoop_, *user_, "Choralink", {kUsb, kHdmi}, 12000);
  for (const char* uid : {kUsb, kHdmi})
    EXPECT_GE(heard.at(uid).left, 0) << uid << " did not hear the broadcast";
  router.shutdownSync(kTimeout);
}

}  // namespace
}  // namespace choralink::pipewire::testing
