// The application binary on a private PipeWire daemon: the development
// autostart broadcasts to the sinks the stored settings switch on, and a
// SIGTERM takes the orderly way out, leaving no node or link of ours and
// the default output where it was.
#include <gtest/gtest.h>

#include <signal.h>

#include <string>

#include "engine/hal/pipewire/pw_default_output.h"
#include "tests/common/temp_folder.h"
#include "tests/frame/app_process.h"
#include "tests/pipewire/pulse_probe.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

using namespace choralink::test;

constexpr double kTimeout = 20.0;
constexpr std::size_t kRecordFrames = 12000;

class AppOnPipeWireTest : public PipeWireTest {};

TEST_F(AppOnPipeWireTest, BroadcastReachesTheSinksAndQuittingLeavesTheGraphAsBefore) {
  ASSERT_TRUE(setDefaultOutput(graph(), kUsb));
  ASSERT_TRUE(graph().waitFor([&] { return graph().defaultSinkName() == kUsb; }, kTimeout));
  ASSERT_TRUE(forceQuantum(graph(), kRoomyQuantum));
  const SavedDefaultOutput before = saveDefaultOutput(graph());
  const std::size_t linksBefore = graph().links().size();

  TempFolder home;
  storeSettings(home.path(), R"({"onboarding_done": true, "devices": {
      "fake_speakers": {"enabled": true}, "fake_hdmi": {"enabled": true}}})");
  AppProcess app(home.path(), {{"CHORALINK_AUDIO_BACKEND", "pipewire"},
                               {"PIPEWIRE_REMOTE", daemon_->socketPath()},
                               {"CHORALINK_DEV_AUTOSTART", "1"}});

  ASSERT_TRUE(waitForLog(home.path(), "Broadcast start (", kTimeout))
      << appLog(home.path()) << app.output();
  ASSERT_TRUE(graph().waitFor(
      [&] {
        return graph().defaultSinkName() == "Choralink" && graph().links().size() > linksBefore;
      },
      kTimeout))
      << describeGraph();
  const auto heard = measurePulse(loop(), graph(), "Choralink", {kSpeakers, kHdmi}, kRecordFrames);
  for (const char* sink : {kSpeakers, kHdmi}) {
    EXPECT_GE(heard.at(sink).left, 0) << sink << " did not play the system's sound";
  }

  app.signal(SIGTERM);
  EXPECT_EQ(app.waitForExit(kTimeout), 0) << app.output();
  EXPECT_NE(appLog(home.path()).find("Choralink quit"), std::string::npos);
  expectGraphAsBefore(linksBefore, before);
  forceQuantum(graph(), 0);
}

}  // namespace
}  // namespace choralink::pipewire::testing
