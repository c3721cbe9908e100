// The aggregate filter on a real graph: what is its own, which sub-devices
// take places in the buffer list. Gains, delays and stopping (also from inside
// the procedure) are checked one layer up, through the seam, and a teardown
// that leaves nothing behind through the router.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/hal/pipewire/pw_aggregate.h"
#include "engine/hal/pipewire/pw_link.h"
#include "engine/hal/pipewire/pw_ports.h"
#include "engine/hal/pipewire/pw_recorder.h"
#include "render/cl_render.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

constexpr double kTimeout = 5.0;

class PwRoutingTest : public PipeWireTest {
 protected:
  std::vector<PwPort> portsOf(uint32_t node, size_t expected) {
    EXPECT_TRUE(graph().waitFor([&] { return graph().ports(node).size() >= expected; }, kTimeout));
    return graph().ports(node);
  }
};

// Writes (index + 1) / 10 into every output buffer, and notes what the input
// list looked like.
struct ShapeProbe {
  std::atomic<uint32_t> outputBuffers{0};
  std::atomic<uint32_t> inputBuffers{0};
  std::atomic<bool> firstInputHadData{false};
  std::atomic<uint64_t> calls{0};
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
  ASSERT_TRUE(aggregate.setIoProc(&shapeProc, &probe, 0));
  PwRecorder recorder(loop(), "choralink.test.recorder",
                      {{"speakers_FL", "FL"}, {"usb_FL", "FL"}, {"usb_FR", "FR"}}, 2048);
  ASSERT_TRUE(recorder.filter().waitForNode(kTimeout));
  const uint32_t node = aggregate.filter().nodeId();
  const auto ports = portsOf(node, 6);
  portsOf(recorder.filter().nodeId(), 3);  // waits for the recorder's inputs
  PwLinks links;
  for (const auto& [prefix, sink] : {std::pair{"out0_", kSpeakers}, std::pair{"out1_", kUsb}}) {
    for (auto& l : linkPairs(loop(), pairPorts(outputPorts(ports, prefix),
                                               playbackPorts(graph().ports(sinkId(sink))))))
      links.push_back(std::move(l));
  }
  linkMonitor(links, kSpeakers, recorder.filter().nodeId(), "speakers");
  linkMonitor(links, kUsb, recorder.filter().nodeId(), "usb");
  ASSERT_TRUE(waitActive(loop(), links, kTimeout));
  aggregate.start();
  ASSERT_TRUE(graph().waitFor([&] { return probe.calls.load() >= 2; }, kTimeout));
  recorder.arm();
  ASSERT_TRUE(graph().waitFor([&] { return recorder.full(); }, kTimeout));

  EXPECT_EQ(probe.outputBuffers.load(), 2u);
  EXPECT_EQ(probe.inputBuffers.load(), 2u) << "a disabled input keeps its place";
  EXPECT_FALSE(probe.firstInputHadData.load());
  const auto speakers = recorder.channel(0);
  EXPECT_TRUE(std::all_of(speakers.begin(), speakers.end(), [](float v) { return v == 0.0f; }))
      << "the unpresented sink hears silence";
  const auto usbLeft = recorder.channel(1);
  const auto usbRight = recorder.channel(2);
  ASSERT_FALSE(usbLeft.empty());
  EXPECT_FLOAT_EQ(usbLeft.back(), 0.1f);
  EXPECT_FLOAT_EQ(usbRight.back(), 0.2f);
}

}  // namespace
}  // namespace choralink::pipewire::testing
