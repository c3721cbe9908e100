// The capture check's sound on PipeWire: the backend's alert chime plays on
// the default output only, and one chime node at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "engine/hal/alert_chime.h"
#include "engine/hal/audio_backend.h"
#include "engine/hal/pipewire/pw_default_output.h"
#include "engine/hal/pipewire/pw_link.h"
#include "engine/hal/pipewire/pw_ports.h"
#include "engine/hal/pipewire/pw_recorder.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

constexpr double kTimeout = 5.0;

float peakOf(const std::vector<float>& samples) {
  float peak = 0;
  for (float v : samples)
    peak = std::max(peak, std::abs(v));
  return peak;
}

class CaptureCheckOnPipeWireTest : public PipeWireTest {
 protected:
  void SetUp() override {
    PipeWireTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    AudioBackendOptions options;
    options.request = "pipewire";
    options.pipewireRemote = daemon_->socketPath();
    backend_ = openAudioBackend(options);
    setDefaultSeenBy(kUsb, backend_->pipewire()->graph());
  }
  void TearDown() override {
    backend_.reset();
    if (graph_) restoreDefaultOutput(graph(), {});
    PipeWireTest::TearDown();
  }

  std::unique_ptr<AudioBackend> backend_;
};

TEST_F(CaptureCheckOnPipeWireTest, AlertChimePlaysOnTheDefaultOutputOnly) {
  PwRecorder recorder(loop(), "choralink.test.recorder", {{"usb", "FL"}, {"speakers", "FL"}},
                      24000);
  ASSERT_TRUE(recorder.filter().waitForNode(kTimeout));
  const uint32_t node = recorder.filter().nodeId();
  ASSERT_TRUE(graph().waitFor([&] { return graph().ports(node).size() == 2; }, kTimeout));
  PwLinks links;
  linkMonitor(links, kUsb, node, "usb");
  linkMonitor(links, kSpeakers, node, "speakers");
  ASSERT_EQ(links.size(), 2u);
  ASSERT_TRUE(waitActive(loop(), links, kTimeout));
  recorder.arm();
  ASSERT_TRUE(graph().waitFor([&] { return recorder.frames() > 0; }, kTimeout));

  ASSERT_TRUE(backend_->playAlertSound());
  ASSERT_TRUE(graph().waitFor([&] { return recorder.full(); }, kTimeout));
  const float onDefault = peakOf(recorder.channel(0));
  EXPECT_GT(onDefault, 0.2f) << "the chime reached the default output";
  EXPECT_LE(onDefault, alertChime::kAmplitude);
  EXPECT_EQ(peakOf(recorder.channel(1)), 0.0f) << "and no other output";

  // A second chime replaces the first node rather than adding one.
  ASSERT_TRUE(backend_->playAlertSound());
  size_t players = 0;
  for (const auto& n : graph().nodes())
    players += n.name() == "choralink.alert" ? 1 : 0;
  EXPECT_EQ(players, 1u);
  links.clear();
  backend_.reset();
  EXPECT_TRUE(graph().waitFor([&] { return !graph().nodeByName("choralink.alert"); }, kTimeout))
      << "the chime's node goes with the backend";
}

}  // namespace
}  // namespace choralink::pipewire::testing
