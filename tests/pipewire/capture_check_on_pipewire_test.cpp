// The capture check's sound on PipeWire: the backend's alert chime plays on
// the default output only, and the router's capture probe hears it there,
// played as the app model plays it, and hears nothing while it does not play.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "app/wiring/backend_capture_check_sound.h"
#include "engine/control/audio_router.h"
#include "engine/hal/alert_chime.h"
#include "engine/hal/audio_backend.h"
#include "engine/hal/pipewire/pipewire_audio_system.h"
#include "engine/hal/pipewire/pw_default_output.h"
#include "engine/hal/pipewire/pw_link.h"
#include "engine/hal/pipewire/pw_ports.h"
#include "engine/hal/pipewire/pw_recorder.h"
#include "tests/common/log_capture.h"
#include "tests/common/temp_folder.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

constexpr double kTimeout = 5.0;
// What the capture check counts as sound.
constexpr float kHeardThreshold = 0.001f;

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

TEST_F(CaptureCheckOnPipeWireTest, CaptureProbeHearsTheChimeAndOnlyTheChime) {
  choralink::test::TempFolder folder;
  choralink::test::LogCapture logs(folder.path());
  AudioRouter::Environment environment(backend_->system());
  environment.log = &logs.log();
  environment.rateJournal = folder.path() / "rate-restore.json";
  environment.isLaptop = true;
  AudioRouter router(environment);

  auto started = router.startCaptureProbe();
  ASSERT_EQ(started.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  started.get();
  ASSERT_TRUE(pollFor(kTimeout, [&] { return router.callbackHasRun(); }));

  // Nothing plays: a few cycles of capture stay silent.
  (void)router.inputLevel();
  const uint64_t from = router.heartbeat();
  ASSERT_TRUE(pollFor(kTimeout, [&] { return router.heartbeat() >= from + 8; }));
  EXPECT_LE(router.inputLevel(), kHeardThreshold) << "silence before the chime";

  // As the app model plays it.
  BackendCaptureCheckSound(*backend_).play();
  float peak = 0;
  EXPECT_TRUE(pollFor(kTimeout, [&] {
    peak = std::max(peak, router.inputLevel());
    return peak > kHeardThreshold;
  })) << "the probe never heard the chime";

  auto stopped = router.stopCaptureProbe();
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  router.shutdownSync(5.0);
}

}  // namespace
}  // namespace choralink::pipewire::testing
