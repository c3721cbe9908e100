// The application binary on a private PipeWire daemon: a first launch's
// onboarding (the autopilot clicking it through, its capture check hearing
// the chime through our muted tap) starts a broadcast that reaches every sink
// switched on, and a SIGTERM takes the orderly way out, leaving no node or
// link of ours and the default output where it was. The autostart from stored
// choices is the same binary path, checked on the simulator (AppBinary).
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "engine/hal/pipewire/pw_default_output.h"
#include "engine/hal/pipewire/pw_ports.h"
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

// Our aggregate runs, reads every monitor port of our captured sink and feeds
// every playback port of `sinks`. Counting links is not enough: the
// onboarding chime's player stays linked to the output that was the default.
bool broadcastWired(const PwGraph& graph, const std::vector<std::string>& sinks) {
  const auto aggregate = graph.nodeByName("choralink.aggregate");
  if (!aggregate || aggregate->state != PwNodeState::running) return false;
  const auto links = graph.links();
  const auto joined = [&](const std::vector<PwPort>& ports, bool aggregateWrites) {
    return !ports.empty() && std::ranges::all_of(ports, [&](const PwPort& port) {
      return std::ranges::any_of(links, [&](const PwLinkRecord& l) {
        return aggregateWrites ? l.outputNode == aggregate->id && l.inputPort == port.id
                               : l.outputPort == port.id && l.inputNode == aggregate->id;
      });
    });
  };
  if (!joined(monitorPorts(sinkPorts(graph, "Choralink")), false)) return false;
  return std::ranges::all_of(sinks, [&](const std::string& sink) {
    return joined(playbackPorts(sinkPorts(graph, sink)), true);
  });
}

TEST_F(AppOnPipeWireTest, FirstLaunchBroadcastsToTheSinksAndQuittingLeavesTheGraphAsBefore) {
  ASSERT_TRUE(setDefaultOutput(graph(), kUsb));
  ASSERT_TRUE(graph().waitFor([&] { return graph().defaultSinkName() == kUsb; }, kTimeout));
  ASSERT_TRUE(forceQuantum(graph(), kRoomyQuantum));
  const SavedDefaultOutput before = saveDefaultOutput(graph());
  const std::size_t linksBefore = graph().links().size();

  // The default output is switched on by the first device list; the
  // autopilot switches on the rest. It starts sharing only once the capture
  // check heard the chime.
  TempFolder home;
  AppProcess app(home.path(), {{"CHORALINK_AUDIO_BACKEND", "pipewire"},
                               {"PIPEWIRE_REMOTE", daemon_->socketPath()},
                               {"CHORALINK_AUTOPILOT", "onboarding"}});
  ASSERT_TRUE(waitForLog(home.path(), "Broadcast start (", kTimeout))
      << appLog(home.path()) << app.output();
  const std::vector<std::string> sinks{kSpeakers, kBluetooth, kHdmi, kUsb};
  ASSERT_TRUE(graph().waitFor(
      [&] { return graph().defaultSinkName() == "Choralink" && broadcastWired(graph(), sinks); },
      kTimeout))
      << describeGraph();
  const auto heard = measurePulse(loop(), graph(), "Choralink", sinks, kRecordFrames);
  for (const std::string& sink : sinks) {
    EXPECT_GE(heard.at(sink).left, 0) << sink << " did not play the system's sound";
  }

  app.signal(SIGTERM);
  EXPECT_EQ(app.waitForExit(kTimeout), 0) << app.output();
  EXPECT_NE(appLog(home.path()).find("Choralink quit"), std::string::npos);
  EXPECT_EQ(storedChoices(home.path()).enabled, std::set<std::string>(sinks.begin(), sinks.end()));
  expectGraphAsBefore(linksBefore, before);
  forceQuantum(graph(), 0);
}

}  // namespace
}  // namespace choralink::pipewire::testing
