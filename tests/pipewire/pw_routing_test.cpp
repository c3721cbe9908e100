// The aggregate filter on a real graph: a known signal played into the
// system-mix stand-in is captured from its monitor, rendered by the render
// core to four sinks with per-sink gain and delay, and recorded from each
// sink's monitor. Every assertion is about sample positions and values.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "engine/hal/pipewire/pw_aggregate.h"
#include "engine/hal/pipewire/pw_link.h"
#include "engine/hal/pipewire/pw_ports.h"
#include "engine/hal/pipewire/pw_recorder.h"
#include "render/cl_render.h"
#include "tests/pipewire/pulse_probe.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

constexpr double kTimeout = 5.0;
constexpr double kRate = 48000;
constexpr uint64_t kSettleFrames = 12000;

struct Route {
  const char* sink;
  float gain;
  int32_t delayFrames;
};
// 0, 10, 20 and 30 ms at 48 kHz.
const Route kRoutes[] = {
    {kSpeakers, 1.0f, 0}, {kBluetooth, 0.5f, 480}, {kHdmi, 0.25f, 960}, {kUsb, 0.75f, 1440}};

bool silent(const std::vector<float>& samples) {
  return std::all_of(samples.begin(), samples.end(), [](float v) { return v == 0.0f; });
}

class PwRoutingTest : public PipeWireTest {
 protected:
  // Links every output port of `from` with prefix to the playback ports of
  // the node `to` (or its monitor ports to our inputs, see callers).
  PwLinks link(const std::vector<PwPort>& outputs, const std::vector<PwPort>& inputs) {
    return linkPairs(loop(), pairPorts(outputs, inputs));
  }

  std::vector<PwPort> portsOf(uint32_t node, size_t expected) {
    EXPECT_TRUE(graph().waitFor([&] { return graph().ports(node).size() >= expected; }, kTimeout));
    return graph().ports(node);
  }
};

TEST_F(PwRoutingTest, SignalReachesEverySinkWithItsGainAndDelayExactly) {
  ASSERT_TRUE(forceQuantum(graph(), kRoomyQuantum));
  // The aggregate: two capture ports, one output group per sink.
  PwAggregateSpec spec;
  for (const auto& route : kRoutes) {
    const auto node = graph().nodeByName(route.sink);
    ASSERT_TRUE(node);
    spec.subDevices.push_back({route.sink, node->enumFormats.at(0).positions});
  }
  PwAggregate aggregate(loop(), spec);
  ASSERT_TRUE(aggregate.filter().waitForNode(kTimeout));

  // The render state sees one mono buffer per port: slot i's channels are
  // consecutive buffers, left and right the FL and FR positions.
  std::vector<cl_slot_layout> layouts;
  for (size_t d = 0; d < spec.subDevices.size(); ++d) {
    cl_slot_layout layout{};
    const auto& channels = spec.subDevices[d].channels;
    layout.channel_count = static_cast<int32_t>(channels.size());
    for (size_t c = 0; c < channels.size(); ++c) {
      layout.channels[c] = {static_cast<int32_t>(aggregate.firstOutputStream(d) + c), 0, 1};
    }
    layout.left = 0;
    layout.right = 1;
    layouts.push_back(layout);
  }
  cl_render* render = cl_render_create(static_cast<int32_t>(layouts.size()), layouts.data(),
                                       cl_input_layout{0, 2}, static_cast<int32_t>(kRate), kRate);
  ASSERT_NE(render, nullptr);
  for (size_t i = 0; i < std::size(kRoutes); ++i) {
    cl_render_set_gain(render, static_cast<int32_t>(i), kRoutes[i].gain);
    cl_render_set_delay_frames(render, static_cast<int32_t>(i), kRoutes[i].delayFrames);
  }
  ASSERT_TRUE(aggregate.setIoProc(cl_ioproc_ptr, render, 0));
  aggregate.start();

  const uint32_t mix = sinkId(kVirtualMix);
  const uint32_t aggregateNode = aggregate.filter().nodeId();
  const size_t aggregatePorts = spec.captureChannels.size() + aggregate.outputStreams().size();
  PwLinks links =
      link(monitorPorts(portsOf(mix, 4)), inputPorts(portsOf(aggregateNode, aggregatePorts)));
  for (size_t d = 0; d < std::size(kRoutes); ++d) {
    const std::string prefix = PwAggregate::outputPortName(d, "").substr(0, 4);  // "out<d>_"
    for (auto& l : link(outputPorts(graph().ports(aggregateNode), prefix),
                        playbackPorts(graph().ports(sinkId(kRoutes[d].sink)))))
      links.push_back(std::move(l));
  }
  ASSERT_EQ(links.size(), 2u + (2 + 2 + 6 + 2));
  ASSERT_TRUE(waitActive(loop(), links, kTimeout));

  // Gains ramp in (10 ms one-pole, snapping within 1e-6 after about 6600
  // frames) and delays crossfade in (20 ms) over the first cycles; a quarter
  // second of rendered frames later every slot is where it was sent.
  const uint64_t settled = aggregate.ioFrames() + kSettleFrames;
  ASSERT_TRUE(graph().waitFor([&] { return aggregate.ioFrames() >= settled; }, kTimeout));

  // The pulse stands for the applications playing into the system mix.
  std::vector<std::string> sinks;
  std::map<std::string, std::pair<float, long>> expected;
  for (const auto& r : kRoutes) {
    sinks.emplace_back(r.sink);
    expected[r.sink] = {r.gain, r.delayFrames};
  }
  const auto heard = measurePulse(loop(), graph(), kVirtualMix, sinks, 12000);
  expectPulseArrivals(heard, kSpeakers, expected);
  for (const auto& [sink, arrival] : heard) {
    SCOPED_TRACE(sink);
    EXPECT_EQ(arrival.leftSounding, 1u);
    EXPECT_EQ(arrival.rightSounding, 1u);
  }

  aggregate.stop();
  links.clear();
  cl_render_destroy(render);
  forceQuantum(graph(), 0);
}

// A counting IO procedure: how often it ran.
int32_t countingProc(uint32_t, const cl_audio_timestamp*, const cl_audio_buffer_list*,
                     const cl_audio_timestamp*, cl_audio_buffer_list* output,
                     const cl_audio_timestamp*, void* data) {
  static_cast<std::atomic<uint64_t>*>(data)->fetch_add(1);
  cl_audio_buffer* buffers = output->mBuffers;
  for (uint32_t b = 0; b < output->mNumberBuffers; ++b) {
    auto* samples = static_cast<float*>(buffers[b].mData);
    for (uint32_t n = 0; n < buffers[b].mDataByteSize / 4; ++n)
      samples[n] = 0.25f;
  }
  return 0;
}

TEST_F(PwRoutingTest, StoppedAggregateNeverCallsItsProcedureAndPlaysSilence) {
  PwAggregateSpec spec;
  spec.subDevices.push_back({kUsb, {"FL", "FR"}});
  PwAggregate aggregate(loop(), spec);
  ASSERT_TRUE(aggregate.filter().waitForNode(kTimeout));
  std::atomic<uint64_t> calls{0};
  ASSERT_TRUE(aggregate.setIoProc(&countingProc, &calls, 7));

  PwRecorder recorder(loop(), "choralink.test.recorder", {{"usb_FL", "FL"}}, 4096);
  ASSERT_TRUE(recorder.filter().waitForNode(kTimeout));
  const uint32_t usb = sinkId(kUsb);
  const uint32_t node = aggregate.filter().nodeId();
  PwLinks links = link(outputPorts(portsOf(node, 2)), playbackPorts(graph().ports(usb)));
  PwLinks monitor =
      link(monitorPorts(graph().ports(usb)), inputPorts(portsOf(recorder.filter().nodeId(), 1)));
  ASSERT_TRUE(waitActive(loop(), links, kTimeout));
  ASSERT_TRUE(waitActive(loop(), monitor, kTimeout));

  aggregate.start();
  EXPECT_FALSE(aggregate.setIoProc(&countingProc, &calls, 7)) << "not while running";
  ASSERT_TRUE(graph().waitFor([&] { return calls.load() >= 3; }, kTimeout));
  aggregate.stop();
  const uint64_t atStop = calls.load();

  // Ten more graph cycles of the filter: the procedure stays silent, and so
  // does the sink.
  const uint64_t cyclesAtStop = aggregate.filter().cycles();
  ASSERT_TRUE(
      graph().waitFor([&] { return aggregate.filter().cycles() >= cyclesAtStop + 2; }, kTimeout));
  recorder.arm();
  ASSERT_TRUE(graph().waitFor([&] { return recorder.full(); }, kTimeout));
  EXPECT_EQ(calls.load(), atStop);
  EXPECT_TRUE(silent(recorder.channel(0)));
}

// Writes (index + 1) / 10 into every output buffer, and notes what the input
// list looked like.
struct ShapeProbe {
  std::atomic<uint32_t> outputBuffers{0};
  std::atomic<uint32_t> inputBuffers{0};
  std::atomic<bool> firstInputHadData{false};
  std::atomic<uint64_t> calls{0};
  std::atomic<bool> stopInside{false};
  PwAggregate* aggregate = nullptr;
};

int32_t shapeProc(uint32_t, const cl_audio_timestamp*, const cl_audio_buffer_list* input,
                  const cl_audio_timestamp*, cl_audio_buffer_list* output,
                  const cl_audio_timestamp*, void* data) {
  auto* probe = static_cast<ShapeProbe*>(data);
  probe->outputBuffers = output->mNumberBuffers;
  probe->inputBuffers = input->mNumberBuffers;
  probe->firstInputHadData = input->mNumberBuffers > 0 && input->mBuffers[0].mData != nullptr;
  cl_audio_buffer* buffers = output->mBuffers;
  for (uint32_t b = 0; b < output->mNumberBuffers; ++b) {
    auto* samples = static_cast<float*>(buffers[b].mData);
    for (uint32_t n = 0; n < buffers[b].mDataByteSize / 4; ++n)
      samples[n] = static_cast<float>(b + 1) / 10.0f;
  }
  probe->calls.fetch_add(1);
  if (probe->stopInside.load()) probe->aggregate->stop();
  return 0;
}

TEST_F(PwRoutingTest, OnlyPresentedSubDevicesTakePlacesInTheBufferList) {
  PwAggregateSpec spec;
  spec.subDevices.push_back({kSpeakers, {"FL", "FR"}});
  spec.subDevices.push_back({kUsb, {"FL", "FR"}});
  PwAggregate aggregate(loop(), spec);
  ASSERT_TRUE(aggregate.filter().waitForNode(kTimeout));
  EXPECT_EQ(aggregate.outputStreams().size(), 4u);
  aggregate.present({false, true}, {false, true});
  EXPECT_EQ(aggregate.outputStreams(), (std::vector<uint32_t>{1, 1}));
  EXPECT_EQ(aggregate.firstOutputStream(1), 0u);

  ShapeProbe probe;
  probe.aggregate = &aggregate;
  ASSERT_TRUE(aggregate.setIoProc(&shapeProc, &probe, 0));
  PwRecorder recorder(loop(), "choralink.test.recorder",
                      {{"speakers_FL", "FL"}, {"usb_FL", "FL"}, {"usb_FR", "FR"}}, 2048);
  ASSERT_TRUE(recorder.filter().waitForNode(kTimeout));
  const uint32_t node = aggregate.filter().nodeId();
  const auto ports = portsOf(node, 6);
  const auto recorderInputs = portsOf(recorder.filter().nodeId(), 3);
  PwLinks links =
      link(outputPorts(ports, "out0_"), playbackPorts(graph().ports(sinkId(kSpeakers))));
  for (auto& l : link(outputPorts(ports, "out1_"), playbackPorts(graph().ports(sinkId(kUsb)))))
    links.push_back(std::move(l));
  for (auto& l :
       link(monitorPorts(graph().ports(sinkId(kSpeakers))), inputPorts(recorderInputs, "speakers")))
    links.push_back(std::move(l));
  for (auto& l : link(monitorPorts(graph().ports(sinkId(kUsb))), inputPorts(recorderInputs, "usb")))
    links.push_back(std::move(l));
  ASSERT_TRUE(waitActive(loop(), links, kTimeout));
  aggregate.start();
  ASSERT_TRUE(graph().waitFor([&] { return probe.calls.load() >= 2; }, kTimeout));
  recorder.arm();
  ASSERT_TRUE(graph().waitFor([&] { return recorder.full(); }, kTimeout));

  EXPECT_EQ(probe.outputBuffers.load(), 2u);
  EXPECT_EQ(probe.inputBuffers.load(), 2u) << "a disabled input keeps its place";
  EXPECT_FALSE(probe.firstInputHadData.load());
  EXPECT_TRUE(silent(recorder.channel(0))) << "the unpresented sink hears silence";
  const auto usbLeft = recorder.channel(1);
  const auto usbRight = recorder.channel(2);
  ASSERT_FALSE(usbLeft.empty());
  EXPECT_FLOAT_EQ(usbLeft.back(), 0.1f);
  EXPECT_FLOAT_EQ(usbRight.back(), 0.2f);

  // Stopping from inside the procedure ends the cycles after that one.
  probe.stopInside = true;
  ASSERT_TRUE(graph().waitFor([&] { return !aggregate.running(); }, kTimeout));
  const uint64_t calls = probe.calls.load();
  const uint64_t cycles = aggregate.filter().cycles();
  ASSERT_TRUE(graph().waitFor([&] { return aggregate.filter().cycles() >= cycles + 3; }, kTimeout));
  EXPECT_EQ(probe.calls.load(), calls);
}

// Stalls its 9th cycle far beyond the cycle's deadline.
int32_t stallingProc(uint32_t, const cl_audio_timestamp*, const cl_audio_buffer_list*,
                     const cl_audio_timestamp*, cl_audio_buffer_list*, const cl_audio_timestamp*,
                     void* data) {
  auto* calls = static_cast<std::atomic<uint64_t>*>(data);
  if (calls->fetch_add(1) == 8) std::this_thread::sleep_for(std::chrono::milliseconds(60));
  return 0;
}

TEST_F(PwRoutingTest, AStalledCycleIsReportedAsAnXrun) {
  ASSERT_TRUE(graph().setProfiling(true)) << "the test daemon loads the profiler";
  std::vector<uint32_t> xrunNodes;
  const int token = graph().subscribe([&](const PwGraphEvent& e) {
    if (e.kind == PwGraphEvent::Kind::xrun) xrunNodes.push_back(e.id);
  });
  PwAggregateSpec spec;
  spec.captureChannels.clear();
  spec.subDevices.push_back({kUsb, {"FL", "FR"}});
  PwAggregate aggregate(loop(), spec);
  ASSERT_TRUE(aggregate.filter().waitForNode(kTimeout));
  PwLinks links = link(outputPorts(portsOf(aggregate.filter().nodeId(), 2)),
                       playbackPorts(graph().ports(sinkId(kUsb))));
  ASSERT_TRUE(waitActive(loop(), links, kTimeout));
  std::atomic<uint64_t> calls{0};
  ASSERT_TRUE(aggregate.setIoProc(&stallingProc, &calls, 0));
  aggregate.start();
  ASSERT_TRUE(graph().waitFor([&] { return calls.load() >= 4; }, kTimeout));
  const uint32_t node = aggregate.filter().nodeId();
  const uint32_t before = graph().xruns(node);
  ASSERT_TRUE(graph().waitFor([&] { return graph().xruns(node) > before; }, kTimeout))
      << "the stalled 9th cycle";
  EXPECT_GT(calls.load(), 8u);
  aggregate.stop();
  graph().unsubscribe(token);
  PwLock lock(loop());
  EXPECT_NE(std::find(xrunNodes.begin(), xrunNodes.end(), node), xrunNodes.end());
}

TEST_F(PwRoutingTest, TearingDownLeavesNoLinkOrNodeOfOursBehind) {
  const size_t linksBefore = graph().links().size();
  {
    PwAggregateSpec spec;
    spec.subDevices.push_back({kSpeakers, {"FL", "FR"}});
    PwAggregate aggregate(loop(), spec);
    ASSERT_TRUE(aggregate.filter().waitForNode(kTimeout));
    const uint32_t node = aggregate.filter().nodeId();
    PwLinks links =
        link(outputPorts(portsOf(node, 4)), playbackPorts(graph().ports(sinkId(kSpeakers))));
    PwLinks capture =
        link(monitorPorts(graph().ports(sinkId(kVirtualMix))), inputPorts(graph().ports(node)));
    ASSERT_TRUE(waitActive(loop(), links, kTimeout));
    ASSERT_TRUE(waitActive(loop(), capture, kTimeout));
    ASSERT_TRUE(
        graph().waitFor([&] { return graph().links().size() == linksBefore + 4; }, kTimeout));
  }
  EXPECT_TRUE(graph().waitFor(
      [&] {
        return graph().links().size() == linksBefore &&
               !graph().nodeByName("choralink.aggregate").has_value();
      },
      kTimeout));
}

}  // namespace
}  // namespace choralink::pipewire::testing
