// The graph model against a private daemon: what it reports about the fake
// sinks, hot-plug, and the default-output metadata.
#include <gtest/gtest.h>

#include "engine/hal/pipewire/pw_default_output.h"
#include "engine/hal/pipewire/pw_device_facts.h"
#include "engine/hal/pipewire/pw_graph.h"
#include "engine/hal/pipewire/pw_ports.h"
#include "engine/hal/pipewire/pw_virtual_sink.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

class PwGraphTest : public PipeWireTest {};

TEST_F(PwGraphTest, FakeSinksReadAsDevicesOfTheirBuses) {
  const GraphClock clock = graphClock(graph());
  EXPECT_EQ(clock.rate, 48000);
  EXPECT_EQ(clock.quantum, 1024u);
  EXPECT_EQ(clock.allowedRates, (std::vector<double>{44100, 48000}));
  struct Expected {
    const char* name;
    uint32_t transport;
    double rate;
    size_t channels;
    uint32_t bufferFrames;
  };
  const Expected expected[] = {{kSpeakers, kTransportBuiltIn, 48000, 2, 1024},
                               {kBluetooth, kTransportBluetooth, 44100, 2, 512},
                               {kHdmi, kTransportHDMI, 48000, 6, 256},
                               {kUsb, kTransportUSB, 48000, 2, 2048},
                               {kVirtualMix, kTransportVirtual, 48000, 2, 1024}};
  for (const auto& e : expected) {
    SCOPED_TRACE(e.name);
    const auto facts = describeSink(*graph().nodeByName(e.name), clock);
    EXPECT_EQ(facts.uid, e.name);
    EXPECT_EQ(facts.transport, e.transport);
    EXPECT_EQ(facts.nominalRate, e.rate);
    EXPECT_EQ(facts.availableRates, (std::vector<RateRange>{{e.rate, e.rate}}));
    EXPECT_EQ(facts.outputStreams, std::vector<uint32_t>(e.channels, 1));
    EXPECT_EQ(facts.stereoLeft, 1u);
    EXPECT_EQ(facts.stereoRight, 2u);
    EXPECT_EQ(facts.bufferFrames, e.bufferFrames);
    EXPECT_EQ(facts.latencyFrames, 0u) << "null sinks report no latency of their own";
    EXPECT_TRUE(facts.alive);
    EXPECT_FALSE(facts.ours);
  }
}

TEST_F(PwGraphTest, SinksHavePlaybackAndMonitorPortsPerChannel) {
  const auto ports = graph().ports(sinkId(kHdmi));
  const auto playback = playbackPorts(ports);
  const auto monitor = monitorPorts(ports);
  ASSERT_EQ(playback.size(), 6u);
  ASSERT_EQ(monitor.size(), 6u);
  EXPECT_EQ(playback[0].name, "playback_FL");
  EXPECT_EQ(playback[3].channel, "LFE");
  EXPECT_EQ(monitor[5].name, "monitor_RR");
}

TEST_F(PwGraphTest, VirtualSinkAppearsAndDisappears) {
  std::vector<PwGraphEvent> events;
  const int token = graph().subscribe([&](const PwGraphEvent& e) { events.push_back(e); });
  auto sink = std::make_unique<PwVirtualSink>(loop(), PwVirtualSink::Spec{});
  ASSERT_TRUE(sink->waitForNode(5.0));
  const uint32_t id = sink->nodeId();
  ASSERT_TRUE(graph().waitFor(
      [&] {
        auto node = graph().node(id);
        return node && node->hasInfo && monitorPorts(graph().ports(id)).size() == 2;
      },
      5.0));
  EXPECT_EQ(graph().node(id)->name(), "Choralink");
  EXPECT_EQ(graph().node(id)->prop(kOwnedNodeProperty), "true");
  EXPECT_EQ(graph().sinks().size(), kFakeSinks.size() + 1);

  sink.reset();
  ASSERT_TRUE(graph().waitFor([&] { return !graph().node(id).has_value(); }, 5.0));
  EXPECT_EQ(graph().sinks().size(), kFakeSinks.size());
  EXPECT_TRUE(graph().ports(id).empty());
  graph().unsubscribe(token);

  PwLock lock(loop());
  const auto added = std::find_if(events.begin(), events.end(), [&](const PwGraphEvent& e) {
    return e.kind == PwGraphEvent::Kind::nodeAdded && e.id == id;
  });
  const auto removed = std::find_if(events.begin(), events.end(), [&](const PwGraphEvent& e) {
    return e.kind == PwGraphEvent::Kind::nodeRemoved && e.id == id;
  });
  EXPECT_NE(added, events.end());
  EXPECT_NE(removed, events.end());
  EXPECT_LT(added, removed);
}

TEST_F(PwGraphTest, DefaultSinkFollowsTheMetadata) {
  EXPECT_EQ(graph().defaultSinkName(), "");
  std::vector<std::string> keys;
  const int token = graph().subscribe([&](const PwGraphEvent& e) {
    if (e.kind == PwGraphEvent::Kind::metadataChanged) keys.push_back(e.key);
  });
  ASSERT_TRUE(graph().setMetadata("default", "default.audio.sink", metadataNameValue(kUsb)));
  ASSERT_TRUE(graph().waitFor([&] { return graph().defaultSinkName() == kUsb; }, 5.0));
  ASSERT_TRUE(graph().setMetadata("default", "default.audio.sink", std::nullopt));
  ASSERT_TRUE(graph().waitFor([&] { return graph().defaultSinkName().empty(); }, 5.0));
  graph().unsubscribe(token);
  PwLock lock(loop());
  EXPECT_EQ(keys, (std::vector<std::string>{"default.audio.sink", "default.audio.sink"}));
}

TEST_F(PwGraphTest, VirtualSinkBecomesTheDefaultAndTheOldOneComesBack) {
  const SavedDefaultOutput initial = saveDefaultOutput(graph());
  // The user's choice before we start: fake_usb, configured and in effect.
  ASSERT_TRUE(setDefaultOutput(graph(), kUsb));
  ASSERT_TRUE(graph().waitFor(
      [&] {
        return graph().configuredDefaultSinkName() == kUsb && graph().defaultSinkName() == kUsb;
      },
      5.0));
  const SavedDefaultOutput before = saveDefaultOutput(graph());
  ASSERT_TRUE(before.current && before.configured);

  PwVirtualSink sink(loop(), PwVirtualSink::Spec{});
  ASSERT_TRUE(sink.waitForNode(5.0));
  ASSERT_TRUE(setDefaultOutput(graph(), sink.spec().name));
  ASSERT_TRUE(graph().waitFor(
      [&] {
        return graph().defaultSinkName() == "Choralink" &&
               graph().configuredDefaultSinkName() == "Choralink";
      },
      5.0));

  ASSERT_TRUE(restoreDefaultOutput(graph(), before));
  EXPECT_TRUE(graph().waitFor([&] { return defaultOutputIs(graph(), before); }, 5.0));
  EXPECT_EQ(graph().defaultSinkName(), kUsb);
  restoreDefaultOutput(graph(), initial);
  EXPECT_TRUE(graph().waitFor([&] { return defaultOutputIs(graph(), initial); }, 5.0));
}

TEST_F(PwGraphTest, RestoringAnUnsetDefaultRemovesTheKeys) {
  const SavedDefaultOutput before = saveDefaultOutput(graph());
  ASSERT_FALSE(before.current);
  ASSERT_FALSE(before.configured);
  ASSERT_TRUE(setDefaultOutput(graph(), "Choralink"));
  ASSERT_TRUE(graph().waitFor([&] { return graph().defaultSinkName() == "Choralink"; }, 5.0));
  ASSERT_TRUE(restoreDefaultOutput(graph(), before));
  EXPECT_TRUE(graph().waitFor([&] { return defaultOutputIs(graph(), before); }, 5.0));
}

TEST(PwGraphLifetime, DaemonGoingAwayIsReportedAndNothingHangs) {
  if (PipeWireDaemon::findProgram().empty()) GTEST_SKIP() << "PipeWire is not installed";
  PipeWireDaemon daemon;
  PwThreadLoop::Options options;
  options.remoteName = daemon.socketPath();
  PwThreadLoop loop(options);
  PwGraph graph(loop);
  ASSERT_TRUE(graph.settle(5.0));
  bool lost = false;
  graph.subscribe([&](const PwGraphEvent& e) {
    if (e.kind == PwGraphEvent::Kind::connectionLost) lost = true;
  });
  daemon.stop();
  EXPECT_TRUE(graph.waitFor([&] { return lost; }, 5.0));
  EXPECT_FALSE(graph.connected());
  EXPECT_FALSE(graph.settle(0.5));
  EXPECT_FALSE(graph.setMetadata("default", "default.audio.sink", metadataNameValue(kUsb)));
}

}  // namespace
}  // namespace choralink::pipewire::testing
