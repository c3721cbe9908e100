// What the engine reports: a failure's message takes part in comparing stop
// reasons, other reasons compare by kind, and events describe themselves
// readably for the log.
#include <gtest/gtest.h>

#include "types/broadcast_config.h"
#include "types/engine_event.h"

namespace choralink {
namespace {

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

TEST(EngineEventTest, DescribesItselfReadably) {
  EXPECT_EQ(describe(EngineEvent::started({"a", "b"})), "started([a, b])");
  EXPECT_EQ(describe(EngineEvent::stopped(StopReason::failed("boom"))),
            "stopped(failed(\"boom\"))");
  EXPECT_EQ(describe(EngineEvent::captureSilent(false)), "captureSilent(false)");
  EXPECT_EQ(describe(EngineEvent::rebuilding()), "rebuilding");
}

}  // namespace
}  // namespace choralink
