// The default-output metadata against a private daemon: the edge the seam's
// suites do not reach. What the graph reports about sinks, hot-plug and a
// default that follows the metadata are read through the seam there.
#include <gtest/gtest.h>

#include "engine/hal/pipewire/pw_default_output.h"
#include "engine/hal/pipewire/pw_graph.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

class PwGraphTest : public PipeWireTest {};

TEST_F(PwGraphTest, RestoringAnUnsetDefaultRemovesTheKeys) {
  const SavedDefaultOutput before = saveDefaultOutput(graph());
  ASSERT_FALSE(before.current);
  ASSERT_FALSE(before.configured);
  ASSERT_TRUE(setDefaultOutput(graph(), "Choralink"));
  ASSERT_TRUE(graph().waitFor([&] { return graph().defaultSinkName() == "Choralink"; }, 5.0));
  ASSERT_TRUE(restoreDefaultOutput(graph(), before));
  EXPECT_TRUE(graph().waitFor([&] { return defaultOutputIs(graph(), before); }, 5.0));
}

}  // namespace
}  // namespace choralink::pipewire::testing
