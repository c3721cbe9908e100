// What the engine reports describes itself readably for the log. How events
// and stop reasons compare is pinned by every engine suite's expected event
// sequences.
#include <gtest/gtest.h>

#include "types/broadcast_config.h"
#include "types/engine_event.h"

namespace choralink {
namespace {

TEST(EngineEventTest, DescribesItselfReadably) {
  EXPECT_EQ(describe(EngineEvent::started({"a", "b"})), "started([a, b])");
  EXPECT_EQ(describe(EngineEvent::stopped(StopReason::failed("boom"))),
            "stopped(failed(\"boom\"))");
  EXPECT_EQ(describe(EngineEvent::captureSilent(false)), "captureSilent(false)");
  EXPECT_EQ(describe(EngineEvent::rebuilding()), "rebuilding");
}

}  // namespace
}  // namespace choralink
