// How source nodes read as input devices: the rules that differ from sinks'.
#include <gtest/gtest.h>

#include "engine/hal/pipewire/pw_device_facts.h"

namespace choralink::pipewire {
namespace {

TEST(PwSourceFacts, InputStreamsAtTheGraphRateWithTheCaptureSidesLatency) {
  PwNode node;
  node.hasInfo = true;
  node.props = {{"media.class", "Audio/Source"},
                {"node.name", "alsa_input.usb"},
                {"audio.rate", "44100"},
                {"audio.position", "[ FL FR ]"}};
  LatencyValue capture;  // how late captured sound leaves the node
  capture.ns = 10'000'000;
  LatencyValue downstream;  // the other direction does not count
  downstream.input = true;
  downstream.rate = 99999;
  node.latency = {capture, downstream};
  const SinkFacts facts = describeSource(node, GraphClock{});

  // The adapter resamples a 44.1 kHz microphone to the graph's 48 kHz, and
  // that is what its IO procedure is given.
  EXPECT_EQ(facts.nominalRate, 48000);
  EXPECT_EQ(facts.availableRates, (std::vector<RateRange>{{48000, 48000}}));
  EXPECT_EQ(facts.inputStreams, (std::vector<uint32_t>{1, 1}));
  EXPECT_TRUE(facts.outputStreams.empty()) << "never a broadcast target";
  EXPECT_EQ(facts.latencyFrames, 480u);
}

}  // namespace
}  // namespace choralink::pipewire
