// The broadcast session, unchanged, on the PipeWire backend: it builds its
// tap, aggregate, channel map, render state and IO procedure through the seam
// against a private daemon, and teardown leaves the graph as it found it.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/control/device_catalog.h"
#include "engine/devices/audio_device_info.h"
#include "engine/dispatch/serial_queue.h"
#include "engine/graph/broadcast_session.h"
#include "engine/hal/pipewire/pipewire_audio_system.h"
#include "engine/hal/pipewire/pw_default_output.h"
#include "engine/hal/pipewire/pw_virtual_sink.h"
#include "tests/common/log_capture.h"
#include "tests/common/temp_folder.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

class BroadcastSessionOnPipeWireTest : public PipeWireTest {
 protected:
  void SetUp() override {
    PipeWireTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    system_ = openSystem(daemon_->socketPath(), folder_.path());
  }
  void TearDown() override {
    system_.reset();
    PipeWireTest::TearDown();
  }

  void setDefault(const char* name) { setDefaultSeenBy(name, system_->graph()); }

  BroadcastSession::Environment environment() {
    return {*system_, queue_, logs_.log(), folder_ / "rate-restore.json"};
  }
  // The engine's record of a device, as the device catalog reads it.
  AudioDeviceInfo device(const char* uid) {
    const auto info =
        DeviceCatalog::describe(*system_, system_->deviceForUID(uid), kUnknownObject, false);
    EXPECT_TRUE(info.has_value()) << uid;
    return info.value_or(AudioDeviceInfo{});
  }

  choralink::test::TempFolder folder_;
  choralink::test::LogCapture logs_{folder_.path()};
  // The session waits for joins on its queue's clock: a real one here, since
  // the daemon's work takes real time.
  SerialQueue queue_{"app.choralink.engine"};
  std::unique_ptr<PipeWireAudioSystem> system_;
};

TEST_F(BroadcastSessionOnPipeWireTest, MutedSessionBuildsThroughTheSeamRunsAndLeavesNothing) {
  const char* sinks[] = {kSpeakers, kBluetooth, kHdmi, kUsb};
  setDefault(kUsb);
  const SavedDefaultOutput before = saveDefaultOutput(graph());
  const size_t linksBefore = graph().links().size();

  std::vector<AudioDeviceInfo> devices;
  for (const char* sink : sinks)
    devices.push_back(device(sink));
  BroadcastSession session(environment(), devices, /*muted=*/true);
  EXPECT_EQ(session.rate(), 48000.0);
  EXPECT_TRUE(session.skipped().empty());
  ASSERT_EQ(session.slots().size(), 4u);
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(session.slots()[i].uid, sinks[i]);
  // The session's other texts are the simulator suites'; this one shows the seam's layout.
  EXPECT_TRUE(logs_.contains(LogLevel::info,
                             "Aggregate 48000 Hz, clock=Fake Speakers (stereo 48k), out=[1, 1, 1, "
                             "1, 1, 1, 1, 1, 1, 1, 1, 1], in=[1, 1], tap buffer=0x2"))
      << ::testing::PrintToString(logs_.messages());
  EXPECT_EQ(graph().defaultSinkName(), "Choralink") << "the muted tap holds the default";

  // That its IO procedure renders, and what, is checked sample for sample at
  // the seam and through the router.
  session.teardown();
  EXPECT_TRUE(session.isTornDown());
  // Teardown leaves no node, link or changed default behind.
  expectGraphAsBefore(linksBefore, before);
  restoreDefaultOutput(graph(), {});
}

TEST_F(BroadcastSessionOnPipeWireTest, MirrorSessionLeavesTheDefaultOutputAlone) {
  setDefault(kVirtualMix);
  BroadcastSession session(environment(), {device(kUsb), device(kHdmi)}, /*muted=*/false);
  EXPECT_EQ(session.slots().size(), 2u);
  EXPECT_EQ(graph().defaultSinkName(), kVirtualMix);
  EXPECT_FALSE(graph().nodeByName("Choralink").has_value());
  EXPECT_FALSE(std::filesystem::exists(folder_ / "default-output.json")) << "nothing to restore";
  session.teardown();
  EXPECT_EQ(graph().defaultSinkName(), kVirtualMix);
  restoreDefaultOutput(graph(), {});
}

}  // namespace
}  // namespace choralink::pipewire::testing
