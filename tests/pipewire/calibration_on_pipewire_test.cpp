// Calibration by microphone, unchanged, on the PipeWire backend against a
// private daemon. The "room" is a filter of the test's own: it delays every
// sink's monitor by its own amount and mixes them into a virtual source that
// serves as the microphone. The engine must measure those delays; what it
// makes of them is the simulator suites' business.
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <map>

#include "engine/calibration/mic_calibration.h"
#include "engine/calibration/microphone_capture.h"
#include "engine/control/device_catalog.h"
#include "engine/hal/pipewire/pipewire_audio_system.h"
#include "engine/hal/pipewire/pw_dsp_filter.h"
#include "engine/hal/pipewire/pw_link.h"
#include "engine/hal/pipewire/pw_ports.h"
#include "tests/common/log_capture.h"
#include "tests/common/temp_folder.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

constexpr double kTimeout = 5.0;
constexpr const char* kMic = "room_mic";
const std::map<std::string, double> kInjectedMs{
    {kSpeakers, 3}, {kBluetooth, 17}, {kHdmi, 41}, {kUsb, 29}};

// Sums its inputs, each delayed by its own frames, into one output. Its
// history runs on the graph's clock, so a cycle it missed shifts nothing.
struct Room {
  static constexpr uint64_t kHistory = 1 << 16;
  std::vector<long> delays;
  std::vector<std::vector<float>> history;
  uint64_t next = 0;
  std::unique_ptr<PwDspFilter> filter;  // last: stops first

  static void process(void* user, const PwCycle& cycle, const float* const* in, float* const* out) {
    auto* self = static_cast<Room*>(user);
    const uint64_t start = cycle.position + kHistory;
    for (uint64_t t = std::max(self->next, cycle.position); t < start; ++t) {
      for (auto& h : self->history)
        h[t % kHistory] = 0;  // what a missed cycle brought
    }
    for (uint64_t n = 0, t = start; n < cycle.frames; ++n, ++t) {
      out[0][n] = 0;
      for (size_t k = 0; k < self->delays.size(); ++k) {
        self->history[k][t % kHistory] = in[k][n];
        out[0][n] += self->history[k][(t - static_cast<uint64_t>(self->delays[k])) % kHistory];
      }
    }
    self->next = start + cycle.frames;
  }
};

class CalibrationOnPipeWireTest : public PipeWireTest {
 protected:
  void SetUp() override {
    PipeWireTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(setDefaultOutput(graph(), kUsb));
    ASSERT_TRUE(forceQuantum(graph(), kRoomyQuantum));
    before_ = saveDefaultOutput(graph());
    // A 44.1 kHz microphone on the 48 kHz graph. It drives the graph, so
    // that no recorded sink does (a driving sink's monitor reads one cycle
    // late, which is no property of the device).
    PwVirtualSink::Spec mic;
    mic.name = kMic;
    mic.description = "Room Microphone";
    mic.positions = {"MONO"};
    mic.rate = 44100;
    mic.markOwned = false;
    mic.extraProps = {{"media.class", "Audio/Source/Virtual"},
                      {"priority.driver", "5000"},
                      {"latency.internal.ns", "5000000"}};
    mic_ = std::make_unique<PwVirtualSink>(loop(), mic);
    ASSERT_TRUE(mic_->waitForNode(kTimeout));

    PwDspFilter::Spec spec{"test.room", "", {}, {{"out_MONO", "MONO"}}, {}};
    for (const auto& [uid, ms] : kInjectedMs) {
      spec.inputs.push_back({"in_" + uid, "MONO"});
      room_.delays.push_back(std::lround(ms * 48));
      room_.history.emplace_back(Room::kHistory, 0.0f);
    }
    room_.filter = std::make_unique<PwDspFilter>(loop(), spec, &Room::process, &room_);
    ASSERT_TRUE(room_.filter->waitForNode(kTimeout));
    std::vector<PortPair> pairs;
    ASSERT_TRUE(graph().waitFor(
        [&] {
          const auto ours = graph().ports(room_.filter->nodeId());
          const auto micNode = graph().nodeByName(kMic);
          if (ours.size() != kInjectedMs.size() + 1 || !micNode) return false;
          pairs = pairPorts(outputPorts(ours), inputPorts(graph().ports(micNode->id)));
          for (const auto& [uid, ms] : kInjectedMs) {
            const auto monitors = monitorPorts(graph().ports(graph().nodeByName(uid)->id));
            pairs.push_back({monitors.front(), inputPorts(ours, "in_" + uid).front()});
          }
          return pairs.size() == kInjectedMs.size() + 1;
        },
        kTimeout));
    roomLinks_ = linkPairs(loop(), pairs);
    ASSERT_TRUE(waitActive(loop(), roomLinks_, kTimeout));
    linksBefore_ = graph().links().size();

    system_ = openSystem(daemon_->socketPath(), folder_.path());
    AudioRouter::Environment environment(*system_);
    environment.log = &logs_.log();
    environment.rateJournal = folder_.path() / "rate-restore.json";
    environment.isLaptop = false;
    router_ = std::make_unique<AudioRouter>(environment);
  }

  void TearDown() override {
    if (router_) router_->shutdownSync(kTimeout);
    router_.reset();
    system_.reset();
    roomLinks_.clear();
    room_.filter.reset();
    mic_.reset();
    if (graph_) forceQuantum(graph(), 0);
    PipeWireTest::TearDown();
  }

  choralink::test::TempFolder folder_;
  choralink::test::LogCapture logs_{folder_.path()};
  std::unique_ptr<PwVirtualSink> mic_;
  Room room_;
  PwLinks roomLinks_;
  std::unique_ptr<PipeWireAudioSystem> system_;
  std::unique_ptr<AudioRouter> router_;
  SavedDefaultOutput before_;
  size_t linksBefore_ = 0;
};

// The source is the only microphone and no broadcast target; the room's
// delays are recovered through it; a source that leaves ends its capture.
TEST_F(CalibrationOnPipeWireTest, SourceIsTheMicrophoneThatRecoversTheRoomsDelays) {
  const InputDeviceInfo mic{system_->deviceForUID(kMic), kMic, "Room Microphone", 1, 240, 48000};
  ASSERT_EQ(listInputDevices(*system_), std::vector<InputDeviceInfo>{mic})
      << "sinks are no microphones";
  for (const AudioDeviceInfo& device : DeviceCatalog::enumerate(*system_, false))
    EXPECT_NE(device.uid, kMic) << "a microphone is no broadcast target";
  BroadcastConfig config;
  for (const auto& [uid, ms] : kInjectedMs)
    config.devices.push_back(DeviceConfig{uid, 1.0f, 0, false});
  auto started = router_->start(config);
  ASSERT_EQ(started.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  ASSERT_TRUE(graph().waitFor([&] { return router_->callbackHasRun(); }, kTimeout));
  const auto view = router_->measurementView();
  ASSERT_TRUE(view);
  std::map<std::string, double> delayMs;  // in use: latency pad, no offset yet
  for (const auto& device : view->devices)
    delayMs[device.uid] = device.delayFrames / 48.0;

  MicCalibration::Environment environment(*system_, *router_, router_->queue());
  environment.log = &logs_.log();
  MicCalibration calibration(environment);
  auto outcome = std::make_shared<std::promise<std::optional<CalibrationResult>>>();
  calibration.start(kMic, {{},
                           [outcome](const CalibrationResult& r) { outcome->set_value(r); },
                           [outcome](const std::string& m) {
                             ADD_FAILURE() << m;
                             outcome->set_value(std::nullopt);
                           }});
  auto future = outcome->get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(40)), std::future_status::ready);
  const auto result = future.get();
  ASSERT_TRUE(result) << ::testing::PrintToString(logs_.messages());

  // Heard = arrival + the delay in use, and the latest one is heard
  // measuredOffsetMs after each; relative to the first device every arrival
  // must differ by the injected difference.
  const auto arrival = [&](const DeviceCalibration& d) {
    return -d.measuredOffsetMs - delayMs[d.uid];
  };
  const DeviceCalibration& first = result->devices.at(0);
  for (const DeviceCalibration& d : result->devices) {
    EXPECT_NEAR(arrival(d) - arrival(first), kInjectedMs.at(d.uid) - kInjectedMs.at(first.uid), 0.5)
        << d.uid;
  }
  EXPECT_EQ(result->devices.size(), kInjectedMs.size());
  EXPECT_LE(result->spreadAfterMs, 0.5);
  ASSERT_EQ(router_->stop().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  expectGraphAsBefore(linksBefore_, before_);

  // The capture's calls end with the source; its end takes our node and links.
  MicrophoneCapture capture(*system_, mic, 4 * 48000);
  ASSERT_TRUE(graph().waitFor([&] { return capture.frames() > 2 * kRoomyQuantum; }, kTimeout));
  mic_.reset();
  ASSERT_TRUE(graph().waitFor([&] { return listInputDevices(*system_).empty(); }, kTimeout));
  const auto frames = capture.frames();
  const auto cycles = room_.filter->cycles();
  ASSERT_TRUE(graph().waitFor([&] { return room_.filter->cycles() > cycles + 3; }, kTimeout));
  EXPECT_EQ(capture.frames(), frames) << "called on after the source left";
  capture.stop();
  EXPECT_TRUE(graph().waitFor(
      [&] {
        return !graph().nodeByName("choralink.input") &&
               graph().links().size() == linksBefore_ - 1;  // and the room's into the microphone
      },
      kTimeout));
}

}  // namespace
}  // namespace choralink::pipewire::testing
