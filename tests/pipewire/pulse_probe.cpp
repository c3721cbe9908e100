#include "tests/pipewire/pulse_probe.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/hal/pipewire/pw_link.h"
#include "engine/hal/pipewire/pw_ports.h"
#include "engine/hal/pipewire/pw_recorder.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

constexpr double kTimeout = 5.0;

void firstNonZero(const std::vector<float>& samples, long& at, float& value) {
  const auto it = std::find_if(samples.begin(), samples.end(), [](float v) { return v != 0.0f; });
  if (it == samples.end()) return;
  at = it - samples.begin();
  value = *it;
}

}  // namespace

std::vector<PwPort> sinkPorts(const PwGraph& graph, const std::string& name) {
  const auto node = graph.nodeByName(name);
  return node ? graph.ports(node->id) : std::vector<PwPort>{};
}

std::map<std::string, PulseArrival> measurePulse(PwThreadLoop& loop, PwGraph& graph,
                                                 const std::string& capturedSink,
                                                 const std::vector<std::string>& sinks,
                                                 std::size_t recordFrames) {
  std::map<std::string, PulseArrival> result;
  std::vector<float> left(101, 0.0f), right(101, 0.0f);
  left[100] = kPulseLeft;
  right[100] = kPulseRight;
  PwPlayer player(loop, "choralink.test.player", {{"out_FL", "FL"}, {"out_FR", "FR"}},
                  {left, right});
  std::vector<PwDspPort> ports;
  for (const auto& sink : sinks) {
    ports.push_back({sink + "_FL", "FL"});
    ports.push_back({sink + "_FR", "FR"});
  }
  PwRecorder recorder(loop, "choralink.test.recorder", ports, recordFrames);
  EXPECT_TRUE(player.filter().waitForNode(kTimeout));
  EXPECT_TRUE(recorder.filter().waitForNode(kTimeout));
  const uint32_t playerNode = player.filter().nodeId();
  const uint32_t recorderNode = recorder.filter().nodeId();
  EXPECT_TRUE(graph.waitFor(
      [&] {
        return graph.ports(playerNode).size() == 2 &&
               graph.ports(recorderNode).size() == ports.size() &&
               !sinkPorts(graph, capturedSink).empty();
      },
      kTimeout))
      << "player, recorder or the captured sink missing";

  const auto playerPorts = outputPorts(graph.ports(playerNode));
  PwLinks links;
  std::vector<std::string> targets{capturedSink};
  if (capturedSink != kVirtualMix) targets.emplace_back(kVirtualMix);
  for (const std::string& target : targets) {
    for (auto& l : linkPairs(loop, pairPorts(playerPorts, playbackPorts(sinkPorts(graph, target)))))
      links.push_back(std::move(l));
  }
  const auto recorderInputs = graph.ports(recorderNode);
  for (const auto& sink : sinks) {
    for (auto& l : linkPairs(loop, pairPorts(monitorPorts(sinkPorts(graph, sink)),
                                             inputPorts(recorderInputs, sink))))
      links.push_back(std::move(l));
  }
  if (!waitActive(loop, links, kTimeout)) {
    ADD_FAILURE() << "the test's links did not become active";
    return result;
  }
  recorder.arm();
  EXPECT_TRUE(graph.waitFor([&] { return recorder.frames() > 0; }, kTimeout));
  player.start();
  EXPECT_TRUE(graph.waitFor([&] { return recorder.full(); }, kTimeout));
  const auto driver = graph.nodeByName(kVirtualMix);
  EXPECT_TRUE(driver && recorder.filter().lastDriverId() == driver->id)
      << "virtual_mix did not drive the graph";

  for (std::size_t d = 0; d < sinks.size(); ++d) {
    PulseArrival& a = result[sinks[d]];
    firstNonZero(recorder.channel(2 * d), a.left, a.leftValue);
    firstNonZero(recorder.channel(2 * d + 1), a.right, a.rightValue);
  }
  return result;
}

void expectPulseArrivals(const std::map<std::string, PulseArrival>& heard,
                         const std::string& reference,
                         const std::map<std::string, std::pair<float, long>>& expected) {
  ASSERT_TRUE(heard.count(reference));
  const long base = heard.at(reference).left;
  ASSERT_GE(base, 0) << "no pulse on " << reference;
  const long baseDelay = expected.at(reference).second;
  for (const auto& [uid, want] : expected) {
    SCOPED_TRACE(uid);
    ASSERT_TRUE(heard.count(uid));
    const PulseArrival& a = heard.at(uid);
    EXPECT_EQ(a.left - base, want.second - baseDelay);
    EXPECT_EQ(a.right - base, want.second - baseDelay);
    EXPECT_FLOAT_EQ(a.leftValue, kPulseLeft * want.first);
    EXPECT_FLOAT_EQ(a.rightValue, kPulseRight * want.first);
  }
}

}  // namespace choralink::pipewire::testing
