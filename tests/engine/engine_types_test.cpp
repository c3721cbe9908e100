// Configuration, stop reasons and events compare by value, case and payload.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/broadcast_config.h"
#include "engine/engine_event.h"

namespace choralink {
namespace {

DeviceConfig device(std::string uid, float volume = 1.0f, std::int64_t offset = 0) {
  return DeviceConfig{std::move(uid), volume, offset, false};
}

TEST(BroadcastConfigTest, DefaultIsSyncedWithNoDevicesAtFullVolume) {
  const BroadcastConfig config;
  EXPECT_EQ(config.mode, BroadcastMode::synced);
  EXPECT_TRUE(config.devices.empty());
  EXPECT_EQ(config.masterVolume, 1.0f);
}

TEST(BroadcastConfigTest, DeviceOrderMattersAndEqualVolumesCompareEqual) {
  BroadcastConfig a{BroadcastMode::synced, {device("A"), device("B")}, 0.5f};
  BroadcastConfig b{BroadcastMode::synced, {device("B"), device("A")}, 0.5f};
  BroadcastConfig c{BroadcastMode::synced, {device("A"), device("B")}, 0.5f};
  EXPECT_NE(a, b);
  EXPECT_EQ(a, c);
  c.mode = BroadcastMode::mirror;
  EXPECT_NE(a, c);
}

TEST(BroadcastConfigTest, EveryDeviceFieldTakesPartInEquality) {
  const DeviceConfig base{"uid", 0.8f, 20, true};
  EXPECT_EQ(base, (DeviceConfig{"uid", 0.8f, 20, true}));
  EXPECT_NE(base, (DeviceConfig{"UID", 0.8f, 20, true}));
  EXPECT_NE(base, (DeviceConfig{"uid", 0.7f, 20, true}));
  EXPECT_NE(base, (DeviceConfig{"uid", 0.8f, 21, true}));
  EXPECT_NE(base, (DeviceConfig{"uid", 0.8f, 20, false}));
}

TEST(BroadcastConfigTest, NaNVolumeIsUnequalToItself) {
  const DeviceConfig nan{"uid", std::numeric_limits<float>::quiet_NaN(), 0, false};
  EXPECT_NE(nan, nan);
  const BroadcastConfig config{BroadcastMode::synced, {}, std::nanf("")};
  EXPECT_NE(config, config);
}

TEST(StopReasonTest, FailedComparesMessagesOtherCasesOnlyTheirKind) {
  EXPECT_EQ(StopReason::failed("x"), StopReason::failed("x"));
  EXPECT_NE(StopReason::failed("x"), StopReason::failed("y"));
  EXPECT_NE(StopReason::failed("x"), StopReason::user());
  EXPECT_EQ(StopReason::user(), StopReason::user());
  EXPECT_NE(StopReason::sleep(), StopReason::noDevices());
  EXPECT_NE(StopReason::captureBlocked(), StopReason::user());
  EXPECT_EQ(StopReason::failed("x").message(), "x");
  EXPECT_EQ(StopReason::user().message(), "");
}

TEST(EngineEventTest, SameCaseAndPayloadAreEqual) {
  EXPECT_EQ(EngineEvent::started({"a", "b"}), EngineEvent::started({"a", "b"}));
  EXPECT_NE(EngineEvent::started({"a", "b"}), EngineEvent::started({"b", "a"}));
  EXPECT_EQ(EngineEvent::stopped(StopReason::failed("m")),
            EngineEvent::stopped(StopReason::failed("m")));
  EXPECT_NE(EngineEvent::stopped(StopReason::user()), EngineEvent::stopped(StopReason::sleep()));
  EXPECT_EQ(EngineEvent::deviceLost("u", "n"), EngineEvent::deviceLost("u", "n"));
  EXPECT_NE(EngineEvent::deviceLost("u", "n"), EngineEvent::deviceLost("u", "other"));
  EXPECT_NE(EngineEvent::deviceLost("u", "n"), EngineEvent::deviceSkipped("u", "n"));
  EXPECT_NE(EngineEvent::captureSilent(true), EngineEvent::captureSilent(false));
  EXPECT_EQ(EngineEvent::error("e"), EngineEvent::error("e"));
  EXPECT_EQ(EngineEvent::rebuilding(), EngineEvent::rebuilding());
  EXPECT_NE(EngineEvent::rebuilding(), EngineEvent::overload());
}

TEST(EngineEventTest, KindFollowsDeclarationOrderAndPayloadIsReachable) {
  const auto event = EngineEvent::deviceSkipped("uid", "TV couldn't join the broadcast");
  EXPECT_EQ(event.kind(), EngineEvent::Kind::deviceSkipped);
  ASSERT_NE(event.as<EngineEvent::DeviceSkipped>(), nullptr);
  EXPECT_EQ(event.as<EngineEvent::DeviceSkipped>()->why, "TV couldn't join the broadcast");
  EXPECT_EQ(event.as<EngineEvent::Started>(), nullptr);
  EXPECT_EQ(EngineEvent::overload().kind(), EngineEvent::Kind::overload);
  EXPECT_EQ(EngineEvent::started({}).kind(), EngineEvent::Kind::started);
}

TEST(EngineEventTest, DescribesItselfReadably) {
  EXPECT_EQ(describe(EngineEvent::started({"a", "b"})), "started([a, b])");
  EXPECT_EQ(describe(EngineEvent::stopped(StopReason::failed("boom"))),
            "stopped(failed(\"boom\"))");
  EXPECT_EQ(describe(EngineEvent::captureSilent(false)), "captureSilent(false)");
  EXPECT_EQ(describe(EngineEvent::rebuilding()), "rebuilding");
}

}  // namespace
}  // namespace choralink
