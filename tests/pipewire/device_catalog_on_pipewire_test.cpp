// The engine's device catalog, unchanged, on the PipeWire backend: the fake
// sinks become device records. A sink unplugged mid-broadcast reaching the
// catalog is checked through the router on the same daemon, and the seam's
// listeners in its own suite.
#include <gtest/gtest.h>

#include "engine/control/device_catalog.h"
#include "engine/dispatch/virtual_executor.h"
#include "engine/hal/pipewire/pipewire_audio_system.h"
#include "engine/hal/pipewire/pw_default_output.h"
#include "tests/common/log_capture.h"
#include "tests/common/temp_folder.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

constexpr double kTimeout = 5.0;

class DeviceCatalogOnPipeWireTest : public PipeWireTest {
 protected:
  void SetUp() override {
    PipeWireTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    system_ = openSystem(daemon_->socketPath());
    catalog_ = DeviceCatalog::create(*system_, queue_, logs_.log(), /*isLaptop=*/false);
    catalog_->setOnChange([this](const std::vector<AudioDeviceInfo>&) { ++published_; });
    catalog_->start();
  }
  void TearDown() override {
    if (catalog_) catalog_->stop();
    catalog_.reset();
    system_.reset();
    PipeWireTest::TearDown();
  }

  const AudioDeviceInfo* find(const std::string& uid) const {
    for (const auto& d : catalog_->devices()) {
      if (d.uid == uid) return &d;
    }
    return nullptr;
  }

  choralink::test::TempFolder folder_;
  choralink::test::LogCapture logs_{folder_.path()};
  VirtualExecutor queue_{"app.choralink.engine"};
  std::unique_ptr<PipeWireAudioSystem> system_;
  std::shared_ptr<DeviceCatalog> catalog_;
  int published_ = 0;
};

// What the seam reports for each sink is pinned by its own suite; here only
// what the catalog makes of it: which sinks are devices, and latencies summed
// from the properties the seam maps.
TEST_F(DeviceCatalogOnPipeWireTest, FakeSinksBecomeDeviceRecords) {
  // virtual_mix has no device behind it: virtual devices are not listed.
  ASSERT_EQ(catalog_->devices().size(), 4u);
  EXPECT_EQ(find(kVirtualMix), nullptr);
  const std::pair<const char*, int> latencies[] = {
      {kSpeakers, 1024}, {kBluetooth, 512}, {kHdmi, 256}, {kUsb, 2048}};
  for (const auto& [uid, frames] : latencies) {
    ASSERT_NE(find(uid), nullptr) << uid;
    EXPECT_EQ(find(uid)->latencyFrames, frames) << uid;
  }
  EXPECT_EQ(published_, 1);
  EXPECT_EQ(logs_.startingWith("Devices: ").size(), 1u);
}

}  // namespace
}  // namespace choralink::pipewire::testing
