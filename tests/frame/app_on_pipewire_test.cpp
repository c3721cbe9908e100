// The application binary on a private PipeWire daemon: a broadcast started
// either by the development autostart from stored choices or by a first
// launch's onboarding (the autopilot clicking it through, its capture check
// hearing the chime through our muted tap) reaches the sinks switched on,
// and a SIGTERM takes the orderly way out, leaving no node or link of ours
// and the default output where it was.
#include <gtest/gtest.h>

#include <signal.h>

#include <map>
#include <set>
#include <string>
#include <vector>

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
  struct Case {
    const char* name;
    const char* settings;  // null: a first launch
    std::map<std::string, std::string> env;
    std::vector<std::string> sinks;  // switched on, so sounding
  };
  const Case cases[] = {
      {"stored choices, autostart",
       R"({"onboarding_done": true, "devices": {
           "fake_speakers": {"enabled": true}, "fake_hdmi": {"enabled": true}}})",
       {{"CHORALINK_DEV_AUTOSTART", "1"}},
       {kSpeakers, kHdmi}},
      // The default output is switched on by the first device list; the
      // autopilot switches on the rest. It starts sharing only once the
      // capture check heard the chime.
      {"first launch through onboarding",
       nullptr,
       {{"CHORALINK_AUTOPILOT", "onboarding"}},
       {kSpeakers, kBluetooth, kHdmi, kUsb}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(setDefaultOutput(graph(), kUsb));
    ASSERT_TRUE(graph().waitFor([&] { return graph().defaultSinkName() == kUsb; }, kTimeout));
    ASSERT_TRUE(forceQuantum(graph(), kRoomyQuantum));
    const SavedDefaultOutput before = saveDefaultOutput(graph());
    const std::size_t linksBefore = graph().links().size();

    TempFolder home;
    if (c.settings != nullptr) storeSettings(home.path(), c.settings);
    std::map<std::string, std::string> env{{"CHORALINK_AUDIO_BACKEND", "pipewire"},
                                           {"PIPEWIRE_REMOTE", daemon_->socketPath()}};
    env.insert(c.env.begin(), c.env.end());
    AppProcess app(home.path(), env);

    ASSERT_TRUE(waitForLog(home.path(), "Broadcast start (", kTimeout))
        << appLog(home.path()) << app.output();
    ASSERT_TRUE(graph().waitFor(
        [&] {
          return graph().defaultSinkName() == "Choralink" && graph().links().size() > linksBefore;
        },
        kTimeout))
        << describeGraph();
    const auto heard = measurePulse(loop(), graph(), "Choralink", c.sinks, kRecordFrames);
    for (const std::string& sink : c.sinks) {
      EXPECT_GE(heard.at(sink).left, 0) << sink << " did not play the system's sound";
    }

    app.signal(SIGTERM);
    EXPECT_EQ(app.waitForExit(kTimeout), 0) << app.output();
    EXPECT_NE(appLog(home.path()).find("Choralink quit"), std::string::npos);
    EXPECT_EQ(storedChoices(home.path()).enabled,
              std::set<std::string>(c.sinks.begin(), c.sinks.end()));
    expectGraphAsBefore(linksBefore, before);
    forceQuantum(graph(), 0);
  }
}

}  // namespace
}  // namespace choralink::pipewire::testing
