// How sink nodes read as output devices: transport, rates, channels and
// latency from the properties and params PipeWire reports.
#include <gtest/gtest.h>

#include "engine/hal/pipewire/pw_device_facts.h"
#include "engine/hal/pipewire/pw_virtual_sink.h"

namespace choralink::pipewire {
namespace {

PwNode sink(std::map<std::string, std::string, std::less<>> props) {
  PwNode node;
  node.id = 42;
  node.hasInfo = true;
  node.state = PwNodeState::suspended;
  node.props = std::move(props);
  node.props.emplace("media.class", "Audio/Sink");
  node.props.emplace("node.name", "alsa_output.test");
  return node;
}

TEST(PwTransport, FromApiBusProfileAndFormFactor) {
  using Props = std::map<std::string, std::string, std::less<>>;
  const std::pair<Props, uint32_t> cases[] = {
      // Bluetooth wins over the adapter's bus; LE audio by its profile.
      {{{"device.api", "bluez5"}, {"device.bus", "usb"}}, kTransportBluetooth},
      {{{"device.bus", "bluetooth"}}, kTransportBluetooth},
      {{{"device.api", "bluez5"}, {"api.bluez5.profile", "bap-sink"}}, kTransportBluetoothLE},
      // Sinks without a device are virtual.
      {{{"factory.name", "support.null-audio-sink"}}, kTransportVirtual},
      {{{"device.bus", "usb"}, {"node.virtual", "true"}}, kTransportVirtual},
      // HDMI and DisplayPort from the bus or ALSA's profile names.
      {{{"device.bus", "hdmi"}}, kTransportHDMI},
      {{{"device.bus", "displayport"}}, kTransportDisplayPort},
      {{{"device.api", "alsa"},
        {"device.bus", "pci"},
        {"device.profile.name", "hdmi-stereo-extra1"}},
       kTransportHDMI},
      {{{"device.api", "alsa"},
        {"device.bus", "pci"},
        {"device.profile.description", "DisplayPort 2"}},
       kTransportDisplayPort},
      // Buses of wired devices.
      {{{"device.api", "alsa"}, {"device.bus", "usb"}}, kTransportUSB},
      {{{"device.api", "alsa"}, {"device.bus", "thunderbolt"}}, kTransportThunderbolt},
      {{{"device.api", "alsa"}, {"device.bus", "firewire"}}, kTransportFireWire},
      {{{"device.api", "alsa"}, {"device.bus", "pci"}, {"device.form-factor", "internal"}},
       kTransportBuiltIn},
      {{{"device.api", "alsa"}, {"device.bus", "pci"}}, kTransportBuiltIn},
      {{{"device.api", "alsa"}, {"device.bus", "pci"}, {"device.form-factor", "headset"}},
       kTransportPCI},
      {{{"device.api", "raop"}}, kTransportAirPlay},
      {{{"device.api", "alsa"}, {"device.bus", "network"}}, kTransportUnknown},
  };
  for (const auto& [props, transport] : cases) {
    SCOPED_TRACE(::testing::PrintToString(props));
    EXPECT_EQ(transportOf(sink(props)), transport);
  }
}

TEST(PwSinkFacts, IdentityAndOwnership) {
  auto node = sink({{"node.description", "Speakers"}, {"device.bus", "pci"}});
  auto facts = describeSink(node, {});
  EXPECT_EQ(facts.uid, "alsa_output.test");
  EXPECT_EQ(facts.name, "Speakers");
  EXPECT_FALSE(facts.ours);
  node.props.erase("node.description");
  node.props[kOwnedNodeProperty] = "true";
  facts = describeSink(node, {});
  EXPECT_EQ(facts.name, "alsa_output.test");
  EXPECT_TRUE(facts.ours);
}

TEST(PwSinkFacts, NominalRatePrefersTheNegotiatedFormat) {
  auto node = sink({{"audio.rate", "44100"}});
  EXPECT_EQ(describeSink(node, {}).nominalRate, 44100);
  node.format = AudioFormat{96000, {{96000, 96000}}, 2, {"FL", "FR"}};
  EXPECT_EQ(describeSink(node, {}).nominalRate, 96000);
  node.format.reset();
  node.props.erase("audio.rate");
  GraphClock clock;
  clock.rate = 44100;
  EXPECT_EQ(describeSink(node, clock).nominalRate, 44100) << "the graph rate when nothing else";
}

TEST(PwSinkFacts, AvailableRatesCollectEveryOfferedRange) {
  auto node = sink({});
  node.enumFormats = {AudioFormat{48000, {{8000, 192000}}, 0, {}},
                      AudioFormat{44100, {{44100, 44100}}, 2, {"FL", "FR"}}};
  const auto facts = describeSink(node, {});
  EXPECT_EQ(facts.availableRates, (std::vector<RateRange>{{8000, 192000}, {44100, 44100}}));
  EXPECT_EQ(facts.nominalRate, 48000) << "a range is not a nominal rate: the graph's";
  EXPECT_EQ(describeSink(sink({{"audio.rate", "32000"}}), {}).availableRates,
            (std::vector<RateRange>{{32000, 32000}}));
}

TEST(PwSinkFacts, OneMonoStreamPerChannelAndTheStereoPairByPosition) {
  auto node = sink({});
  node.enumFormats = {AudioFormat{48000, {{48000, 48000}}, 4, {"FC", "FL", "FR", "LFE"}}};
  auto facts = describeSink(node, {});
  EXPECT_EQ(facts.outputStreams, (std::vector<uint32_t>{1, 1, 1, 1}));
  EXPECT_EQ(std::pair(facts.stereoLeft, facts.stereoRight), std::pair(2u, 3u));

  node.enumFormats = {AudioFormat{48000, {{48000, 48000}}, 1, {"MONO"}}};
  facts = describeSink(node, {});
  EXPECT_EQ(facts.outputStreams.size(), 1u);
  EXPECT_EQ(std::pair(facts.stereoLeft, facts.stereoRight), std::pair(1u, 1u));

  node.enumFormats.clear();
  node.props["audio.channels"] = "4";
  facts = describeSink(node, {});
  EXPECT_EQ(facts.positions, (std::vector<std::string>{"AUX0", "AUX1", "AUX2", "AUX3"}));
  EXPECT_EQ(std::pair(facts.stereoLeft, facts.stereoRight), std::pair(1u, 2u));

  node.props["audio.position"] = "[ FL FR ]";
  EXPECT_EQ(describeSink(node, {}).positions, (std::vector<std::string>{"FL", "FR"}));
}

TEST(PwSinkFacts, BufferSizeIsTheRequestedQuantumElseTheGraphs) {
  auto node = sink({{"audio.rate", "44100"}, {"node.latency", "512/44100"}});
  EXPECT_EQ(describeSink(node, {}).bufferFrames, 512u);
  node.props.erase("node.latency");
  EXPECT_EQ(describeSink(node, {}).bufferFrames, 941u) << "1024 frames at 48 kHz, at 44.1 kHz";
}

TEST(PwSinkFacts, LatencyFromParamsElseFromProperties) {
  auto node = sink({{"audio.rate", "48000"},
                    {"node.latency", "256/48000"},
                    {"latency.internal.rate", "64"},
                    {"api.alsa.headroom", "128"}});
  auto facts = describeSink(node, {});
  EXPECT_EQ(facts.latencyFrames, 64u) << "nothing reported: the internal latency property";
  EXPECT_EQ(facts.safetyOffsetFrames, 128u);

  node.processLatency = LatencyValue{false, 0, 100, 0};
  // A Bluetooth codec's 150 ms downstream; the other direction does not count.
  node.latency = {LatencyValue{true, 0, 0, 150'000'000}, LatencyValue{false, 0, 99999, 0}};
  facts = describeSink(node, {});
  EXPECT_EQ(facts.latencyFrames, 100u + 7200u);
  EXPECT_EQ(facts.streamLatencyFrames, 0u);
}

TEST(PwSinkFacts, AliveAndRunningFollowTheState) {
  auto node = sink({});
  auto facts = describeSink(node, {});
  EXPECT_TRUE(facts.alive);
  EXPECT_FALSE(facts.running);
  node.state = PwNodeState::running;
  EXPECT_TRUE(describeSink(node, {}).running);
  node.state = PwNodeState::error;
  EXPECT_FALSE(describeSink(node, {}).alive);
}

TEST(PwGraphClock, SettingsTextsWithForcedValuesWinning) {
  EXPECT_EQ(graphClockFrom({}, {}, {}, {}, {}), GraphClock{});
  EXPECT_EQ(graphClockFrom("44100", "256", "0", "0", "[ 44100, 48000 ]"),
            (GraphClock{44100, 256, {44100, 48000}}));
  EXPECT_EQ(graphClockFrom("44100", "256", "96000", "64", {}), (GraphClock{96000, 64, {}}));
}

}  // namespace
}  // namespace choralink::pipewire
