// What the engine reports: a failure's message takes part in comparing stop
// reasons, other reasons compare by kind, and events describe themselves
// readably for the log.
#include <gtest/gtest.h>

#include "types/broadcast_config.h"
#include "types/engine_event.h"

namespace choralink {
namespace {

TEST(BroadcastConfigTest, DefaultIsSyncedWithNoDevicesAtFullVolume) {
  const BroadcastConfig config;
  EXPECT_EQ(config.mode, BroadcastMode::synced);
  EXPECT_TRUE(config.devices.empty());
  EXPECT_EQ(config.masterVolume, 1.0f);
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
  // Events carrying them compare the same way.
  EXPECT_EQ(EngineEvent::stopped(StopReason::failed("m")),
            EngineEvent::stopped(StopReason::failed("m")));
  EXPECT_NE(EngineEvent::stopped(StopReason::user()), EngineEvent::stopped(StopReason::sleep()));
}

TEST(EngineEventTest, KindAndPayloadAreReachable) {
  const auto event = EngineEvent::deviceSkipped("uid", "TV couldn't join the broadcast");
  EXPECT_EQ(event.kind(), EngineEvent::Kind::deviceSkipped);
  ASSERT_NE(event.as<EngineEvent::DeviceSkipped>(), nullptr);
  EXPECT_EQ(event.as<EngineEvent::DeviceSkipped>()->why, "TV couldn't join the broadcast");
  EXPECT_EQ(event.as<EngineEvent::Started>(), nullptr);
  EXPECT_EQ(EngineEvent::overload().kind(), EngineEvent::Kind::overload);
  EXPECT_NE(EngineEvent::deviceLost("u", "n"), EngineEvent::deviceSkipped("u", "n"));
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
