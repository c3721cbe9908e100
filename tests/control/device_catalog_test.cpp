// The device catalog against the simulated audio system on virtual time: the
// debounce of notifications, publishing only real changes, and the records it
// builds (admission, order, latency, names, kinds). The "Devices: " line is
// pinned where the router logs it at construction.
#include "engine/control/device_catalog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "engine/dispatch/virtual_executor.h"
#include "engine/hal/sim/presets.h"
#include "engine/hal/sim/sim_audio_system.h"
#include "tests/common/log_capture.h"
#include "tests/common/temp_folder.h"
#include "tests/graph/forwarding_audio_system.h"

namespace choralink {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace presets = sim::presets;

// Counts listener removals.
class RemovalCounter final : public test::ForwardingAudioSystem {
 public:
  using ForwardingAudioSystem::ForwardingAudioSystem;

  int removals = 0;

  HALStatus removePropertyListener(AudioObjectID o, const PropertyAddress& a, Executor& q,
                                   const PropertyListenerBlock& b) override {
    ++removals;
    return ForwardingAudioSystem::removePropertyListener(o, a, q, b);
  }
};

class DeviceCatalogTest : public ::testing::Test {
 protected:
  std::shared_ptr<DeviceCatalog> makeCatalog(bool isLaptop = false) {
    auto catalog = DeviceCatalog::create(recorder, clock, logs.log(), isLaptop);
    catalog->setOnChange(
        [this](const std::vector<AudioDeviceInfo>& list) { published.push_back(list); });
    return catalog;
  }

  std::vector<std::string> uids(const std::vector<AudioDeviceInfo>& list) {
    std::vector<std::string> out;
    for (const AudioDeviceInfo& device : list)
      out.push_back(device.uid);
    return out;
  }

  std::optional<AudioDeviceInfo> describe(std::string_view uid, bool isLaptop = false) {
    return DeviceCatalog::describe(recorder, *sim.deviceID(uid), kUnknownObject, isLaptop);
  }

  test::TempFolder folder;
  test::LogCapture logs{folder.path()};
  VirtualExecutor clock{"app.choralink.engine"};
  sim::SimAudioSystem sim{clock};
  RemovalCounter recorder{sim};
  std::vector<std::vector<AudioDeviceInfo>> published;
};

// ---- Notifications and publishing -------------------------------------------------

TEST_F(DeviceCatalogTest, StartPublishesTheFirstListAndListensToTheSystem) {
  presets::addStandardMachine(sim);
  auto catalog = makeCatalog();
  catalog->start();
  ASSERT_EQ(published.size(), 1u);
  EXPECT_THAT(uids(published[0]), ElementsAre(presets::kSpeakersUID, presets::kAirPodsUID,
                                              presets::kTVUID, presets::kAirPlayUID));
  EXPECT_EQ(sim.liveObjects().listeners, 2u);
}

// An empty system publishes nothing at start.
TEST_F(DeviceCatalogTest, NotificationsWithinTheDebounceCauseOneReRead) {
  auto catalog = makeCatalog();
  catalog->start();
  EXPECT_THAT(published, IsEmpty());
  sim.addDevice(presets::builtInSpeakers());
  clock.advanceBy(0.1);
  sim.addDevice(presets::hdmiTV());
  clock.advanceBy(0.29);
  EXPECT_THAT(published, IsEmpty());
  EXPECT_TRUE(catalog->refreshPending());
  clock.advanceBy(0.01);
  ASSERT_EQ(published.size(), 1u);
  EXPECT_THAT(uids(published[0]), ElementsAre(presets::kSpeakersUID, presets::kTVUID));
  EXPECT_EQ(logs.startingWith("Devices: ").size(), 1u);
}

// A device that comes and goes within the debounce, or a change of the
// available rates alone, publishes and logs nothing; the default output
// moving does publish.
TEST_F(DeviceCatalogTest, OnlyAChangeOfWhatTheListShowsIsPublished) {
  sim.addDevice(presets::builtInSpeakers());
  sim.addDevice(presets::hdmiTV());
  auto catalog = makeCatalog();
  catalog->start();
  published.clear();
  logs.clear();
  sim.addDevice(presets::usbHeadset());
  sim.removeDevice(presets::kUSBHeadsetUID);
  clock.advanceBy(1);
  sim.modifyDevice(presets::kSpeakersUID, [](sim::DeviceSpec& spec) {
    spec.availableRates = sim::discreteRates({48000});
  });
  catalog->scheduleRefresh();
  clock.advanceBy(1);
  EXPECT_THAT(published, IsEmpty());
  EXPECT_THAT(logs.messages(), IsEmpty());
  EXPECT_EQ(catalog->devices()[0].availableRates, (std::vector<double>{44100, 48000, 88200, 96000}))
      << "the kept list is the published one";

  sim.setDefaultOutput(presets::kTVUID);
  clock.advanceBy(0.3);
  ASSERT_EQ(published.size(), 1u);
  EXPECT_FALSE(published[0][0].isDefaultOutput);
  EXPECT_TRUE(published[0][1].isDefaultOutput);
}

// Stopped or gone, a catalog stops listening and drops its pending refresh.
TEST_F(DeviceCatalogTest, StoppingOrDroppingEndsListeningAndAPendingRefresh) {
  for (bool drop : {false, true}) {
    auto catalog = makeCatalog();
    catalog->start();
    published.clear();
    catalog->scheduleRefresh();
    drop ? catalog.reset() : catalog->stop();
    sim.addDevice(drop ? presets::hdmiTV() : presets::builtInSpeakers());
    clock.advanceBy(1);
    EXPECT_THAT(published, IsEmpty());
    EXPECT_EQ(sim.liveObjects().listeners, 0u);
  }
}

TEST_F(DeviceCatalogTest, RefusedListenersAreKeptInactiveAndNotRemoved) {
  sim.failOperation(sim::Operation::addPropertyListener, kStatusUnspecified);
  auto catalog = makeCatalog();
  catalog->start();
  ASSERT_EQ(catalog->listeners().size(), 2u);
  EXPECT_FALSE(catalog->listeners()[0].active());
  EXPECT_FALSE(catalog->listeners()[1].active());
  catalog->stop();
  EXPECT_EQ(recorder.removals, 0);
}

// ---- Records ---------------------------------------------------------------------------

TEST_F(DeviceCatalogTest, LatencyAddsDeviceSafetyBufferAndFirstStreamLatency) {
  const AudioObjectID speakers = sim.addDevice(presets::builtInSpeakers());
  EXPECT_EQ(DeviceCatalog::outputLatencyFrames(sim, speakers), 676u);  // 100 + 24 + 512 + 40
  sim::DeviceSpec noStreams = presets::builtInSpeakers();
  noStreams.uid = "Streamless";
  noStreams.outputStreams.clear();
  noStreams.inputStreams = {2};
  const AudioObjectID streamless = sim.addDevice(noStreams);
  EXPECT_EQ(DeviceCatalog::outputLatencyFrames(sim, streamless), 636u);
  // Figures that cannot be read count zero.
  sim.failProperty({.object = speakers, .selector = kPropSafetyOffset});
  sim.failProperty({.selector = kPropStreams});
  EXPECT_EQ(DeviceCatalog::outputLatencyFrames(sim, speakers), 612u);  // 100 + 512
}

// Hidden, dead, input-only, virtual, aggregate and our own devices are not
// listed.
TEST_F(DeviceCatalogTest, OnlyAdmittedDevicesAreListedInTheirOrder) {
  sim::DeviceSpec hidden = presets::hdmiTV(), dead = hidden, ours = hidden;
  hidden.uid = "Hidden-TV";
  hidden.hidden = true;
  dead.uid = "Dead-TV";
  dead.alive = false;
  ours.uid = "app.choralink.agg.1234";
  for (const sim::DeviceSpec& spec :
       {presets::usbInterface(), presets::airPlaySpeaker(), presets::virtualOutput(),
        presets::userAggregate(), hidden, dead, presets::builtInMicrophone(), ours,
        presets::airPods(), presets::builtInSpeakers()}) {
    sim.addDevice(spec);
  }

  const auto list = DeviceCatalog::enumerate(sim, false);
  EXPECT_THAT(uids(list), ElementsAre(presets::kSpeakersUID, presets::kAirPodsUID,
                                      presets::kUSBInterfaceUID, presets::kAirPlayUID));
  EXPECT_EQ(list[3].supportStatus, SupportStatus::airPlayUnsupported);
  EXPECT_EQ(list[2].supportStatus, SupportStatus::supported);
}

TEST_F(DeviceCatalogTest, ARecordCarriesEveryFactOfTheDevice) {
  const AudioObjectID usb = sim.addDevice(presets::usbInterface());
  sim.addDevice(presets::builtInSpeakers());
  sim.setDefaultOutput(presets::kUSBInterfaceUID);
  const auto list = DeviceCatalog::enumerate(sim, false);
  ASSERT_EQ(list.size(), 2u);
  // Name, transport and rate: the "Devices: " line RouterConstructionTest pins.
  const AudioDeviceInfo& d = list[1];
  EXPECT_EQ(d.objectID, usb);
  EXPECT_EQ(d.outputChannels, 4);
  EXPECT_TRUE(d.isDefaultOutput);
  EXPECT_FALSE(list[0].isDefaultOutput);
  EXPECT_EQ(d.latencyFrames, 328);
  EXPECT_EQ(d.stereoPair, (StereoPair{3, 4}));
}

TEST_F(DeviceCatalogTest, KindFollowsTheComputerAndANamelessDeviceIsCalledByItsUID) {
  sim::DeviceSpec speakers = presets::builtInSpeakers();
  speakers.name = "Speakers";
  sim.addDevice(speakers);
  EXPECT_EQ(describe(presets::kSpeakersUID, true)->kind, DeviceKind::laptop);
  EXPECT_EQ(describe(presets::kSpeakersUID, false)->kind, DeviceKind::desktop);
  sim::DeviceSpec nameless = presets::hdmiTV();
  nameless.name.reset();
  const AudioObjectID id = sim.addDevice(nameless);
  EXPECT_EQ(describe(presets::kTVUID)->name, presets::kTVUID);
  sim.failProperty({.object = id, .selector = kPropName});
  EXPECT_EQ(describe(presets::kTVUID)->name, presets::kTVUID);
}

TEST_F(DeviceCatalogTest, UnreadableFactsDegradeWithoutLosingTheDevice) {
  const AudioObjectID id = sim.addDevice(presets::usbInterface());
  for (std::uint32_t selector :
       {kPropNominalSampleRate, kPropAvailableNominalSampleRates, kPropPreferredStereoChannels,
        kPropTransportType, kPropIsHidden, kPropDeviceIsAlive}) {
    sim.failProperty({.object = id, .selector = selector});
  }
  const auto d = describe(presets::kUSBInterfaceUID);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->nominalRate, 0);
  EXPECT_THAT(d->availableRates, IsEmpty());
  EXPECT_EQ(d->stereoPair, (StereoPair{1, 2}));
  EXPECT_EQ(d->transport, Transport::unknown);
  EXPECT_EQ(d->latencyMs(), 0);
}

}  // namespace
}  // namespace choralink
