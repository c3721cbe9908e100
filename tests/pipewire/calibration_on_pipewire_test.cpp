// Calibration by microphone, unchanged, on the PipeWire backend against a
// private daemon. The "room" is a filter of the test's own: it takes every
// sink's monitor, delays each by its own injected amount and mixes them into
// a virtual source that serves as the microphone. What the engine measures
// must be those delays; what the engine's logic makes of them is the
// simulator's business (tests/calibration).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>

#include "engine/calibration/input_devices.h"
#include "engine/calibration/mic_calibration.h"
#include "engine/calibration/microphone_capture.h"
#include "engine/control/audio_router.h"
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
constexpr double kRunTimeout = 40.0;
constexpr const char* kMic = "room_mic";
constexpr uint32_t kMicLatencyFrames = 240;

// The room's extra delay per sink: what the microphone must recover.
const std::map<std::string, double> kInjectedMs{
    {kSpeakers, 3}, {kBluetooth, 17}, {kHdmi, 41}, {kUsb, 29}};

// Delays each input by its own whole number of frames and sums them into
// the one output. Its history runs on the graph's clock, so a cycle it
// missed leaves silence and shifts nothing. Data thread only, past
// construction.
class RoomFilter {
 public:
  RoomFilter(PwThreadLoop& loop, const std::vector<long>& delays) : delays_(delays) {
    history_.assign(delays.size(), std::vector<float>(kHistory, 0.0f));
    PwDspFilter::Spec spec;
    spec.nodeName = "test.room";
    for (size_t i = 0; i < delays.size(); ++i)
      spec.inputs.push_back({"in" + std::to_string(i), "MONO"});
    spec.outputs = {{"out_MONO", "MONO"}};
    filter_ = std::make_unique<PwDspFilter>(loop, spec, &RoomFilter::process, this);
  }
  PwDspFilter& filter() { return *filter_; }

 private:
  static constexpr uint64_t kHistory = 1 << 16;
  static void process(void* user, const PwCycle& cycle, const float* const* in, float* const* out) {
    auto* self = static_cast<RoomFilter*>(user);
    const uint64_t start = cycle.position + kHistory;
    for (uint64_t t = std::max(self->next_, start - std::min<uint64_t>(start, kHistory)); t < start;
         ++t) {
      for (auto& h : self->history_)
        h[t % kHistory] = 0;
    }
    for (uint32_t n = 0; n < cycle.frames; ++n) {
      const uint64_t t = start + n;
      float sum = 0;
      for (size_t k = 0; k < self->delays_.size(); ++k) {
        auto& h = self->history_[k];
        h[t % kHistory] = in[k][n];
        sum += h[(t - static_cast<uint64_t>(self->delays_[k])) % kHistory];
      }
      out[0][n] = sum;
    }
    self->next_ = start + cycle.frames;
  }
  std::vector<long> delays_;
  std::vector<std::vector<float>> history_;
  uint64_t next_ = 0;
  std::unique_ptr<PwDspFilter> filter_;  // last: stops before the rest goes
};

class CalibrationOnPipeWireTest : public PipeWireTest {
 protected:
  void SetUp() override {
    PipeWireTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(setDefaultOutput(graph(), kUsb));
    ASSERT_TRUE(forceQuantum(graph(), kRoomyQuantum));
    before_ = saveDefaultOutput(graph());
    // The microphone: a virtual source the room plays into. It drives the
    // graph, so that no recorded sink does (a driving sink's monitor reads
    // one cycle late, which is no property of the device).
    PwVirtualSink::Spec mic;
    mic.name = kMic;
    mic.description = "Room Microphone";
    mic.positions = {"MONO"};
    mic.markOwned = false;
    mic.extraProps = {
        {"media.class", "Audio/Source/Virtual"},
        {"priority.driver", "5000"},
        {"latency.internal.rate", std::to_string(kMicLatencyFrames)},
        {"adapter.auto-port-config", "{ mode = dsp monitor = true position = preserve }"}};
    mic_ = std::make_unique<PwVirtualSink>(loop(), mic);
    ASSERT_TRUE(mic_->waitForNode(kTimeout));

    std::vector<long> delays;
    for (const auto& [uid, ms] : kInjectedMs) {
      sinks_.push_back(uid);
      delays.push_back(std::lround(ms * 48));
    }
    room_ = std::make_unique<RoomFilter>(loop(), delays);
    ASSERT_TRUE(room_->filter().waitForNode(kTimeout));
    const uint32_t roomNode = room_->filter().nodeId();
    std::vector<PortPair> pairs;
    ASSERT_TRUE(graph().waitFor(
        [&] {
          const auto mine = graph().ports(roomNode);
          const auto micNode = graph().nodeByName(kMic);
          if (mine.size() != sinks_.size() + 1 || !micNode) return false;
          const auto micInputs = inputPorts(graph().ports(micNode->id));
          if (micInputs.size() != 1) return false;
          pairs = {{outputPorts(mine).front(), micInputs.front()}};
          const auto ins = inputPorts(mine);
          for (size_t k = 0; k < sinks_.size(); ++k) {
            const auto sink = graph().nodeByName(sinks_[k]);
            const auto monitors =
                sink ? monitorPorts(graph().ports(sink->id)) : std::vector<PwPort>{};
            if (monitors.empty()) return false;
            pairs.push_back({monitors.front(), ins[k]});
          }
          return true;
        },
        kTimeout))
        << describeGraph();
    roomLinks_ = linkPairs(loop(), pairs);
    ASSERT_TRUE(waitActive(loop(), roomLinks_, kTimeout));
    linksBefore_ = graph().links().size();

    PipeWireAudioSystem::Options options;
    options.remoteName = daemon_->socketPath();
    options.defaultJournalPath = (folder_.path() / "default-output.json").string();
    system_ = std::make_unique<PipeWireAudioSystem>(options);
    ASSERT_TRUE(
        graph().waitFor([&] { return system_->graph().defaultSinkName() == kUsb; }, kTimeout));
    AudioRouter::Environment environment(*system_);
    environment.log = &logs_.log();
    environment.rateJournal = folder_.path() / "rate-restore.json";
    environment.isLaptop = false;
    router_ = std::make_unique<AudioRouter>(environment);
  }

  void TearDown() override {
    calibration_.reset();
    if (router_) router_->shutdownSync(kTimeout);
    router_.reset();
    system_.reset();
    roomLinks_.clear();
    room_.reset();
    mic_.reset();
    if (graph_) {
      forceQuantum(graph(), 0);
      restoreDefaultOutput(graph(), {});
    }
    PipeWireTest::TearDown();
  }

  // Runs one calibration on the router's queue and waits for its end.
  std::optional<CalibrationResult> calibrate() {
    MicCalibration::Environment environment(*system_, *router_, router_->queue());
    environment.log = &logs_.log();
    calibration_ = std::make_unique<MicCalibration>(environment);
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<CalibrationResult> result;
    std::optional<std::string> failure;
    calibration_->start(kMic, CalibrationCallbacks{
                                  {},
                                  [&](const CalibrationResult& r) {
                                    std::lock_guard lock(mutex);
                                    result = r;
                                    changed.notify_all();
                                  },
                                  [&](const std::string& m) {
                                    std::lock_guard lock(mutex);
                                    failure = m;
                                    changed.notify_all();
                                  },
                              });
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::duration<double>(kRunTimeout),
                     [&] { return result || failure; });
    EXPECT_FALSE(failure) << *failure << "\n" << ::testing::PrintToString(logs_.messages());
    EXPECT_TRUE(result || failure) << "the calibration did not end";
    return result;
  }

  // The delay each device gets now, in milliseconds.
  std::map<std::string, double> delaysMs() {
    std::map<std::string, double> delays;
    if (const auto view = router_->measurementView()) {
      for (const auto& device : view->devices)
        delays[device.uid] = device.delayFrames * 1000.0 / view->rate;
    }
    return delays;
  }

  choralink::test::TempFolder folder_;
  choralink::test::LogCapture logs_{folder_.path()};
  std::unique_ptr<PwVirtualSink> mic_;
  std::unique_ptr<RoomFilter> room_;
  PwLinks roomLinks_;
  std::vector<std::string> sinks_;
  std::unique_ptr<PipeWireAudioSystem> system_;
  std::unique_ptr<AudioRouter> router_;
  std::unique_ptr<MicCalibration> calibration_;
  SavedDefaultOutput before_;
  size_t linksBefore_ = 0;
};

TEST_F(CalibrationOnPipeWireTest, SourceIsAMicrophoneWhoseCaptureEndsWithIt) {
  ASSERT_TRUE(graph().waitFor([&] { return !listInputDevices(*system_).empty(); }, kTimeout));
  const auto inputs = listInputDevices(*system_);
  ASSERT_EQ(inputs.size(), 1u) << "sinks are no input devices";
  const InputDeviceInfo expected{system_->deviceForUID(kMic), kMic,   "Room Microphone", 1,
                                 kMicLatencyFrames,           48000.0};
  EXPECT_EQ(inputs.front(), expected);
  for (const AudioDeviceInfo& device : DeviceCatalog::enumerate(*system_, false))
    EXPECT_NE(device.uid, kMic) << "a microphone is no output";

  // Captured through a node of ours; a source that leaves stops the frames,
  // and the capture's end takes its node and links along.
  MicrophoneCapture capture(*system_, inputs.front(), 4 * 48000);
  ASSERT_TRUE(graph().waitFor([&] { return capture.frames() > 2 * kRoomyQuantum; }, kTimeout));
  mic_.reset();
  ASSERT_TRUE(graph().waitFor([&] { return listInputDevices(*system_).empty(); }, kTimeout));
  const auto frames = capture.frames();
  const auto cycles = room_->filter().cycles();
  ASSERT_TRUE(graph().waitFor([&] { return room_->filter().cycles() > cycles + 3; }, kTimeout));
  EXPECT_EQ(capture.frames(), frames) << "called on after the source left";
  capture.stop();
  EXPECT_TRUE(graph().waitFor([&] { return !graph().nodeByName("choralink.input"); }, kTimeout));
  EXPECT_TRUE(graph().waitFor([&] { return graph().links().size() == linksBefore_ - 1; }, kTimeout))
      << "only the room's link into the microphone went with it";
}

TEST_F(CalibrationOnPipeWireTest, RoomDelaysAreRecoveredAndTheProposalLinesThemUp) {
  BroadcastConfig config;
  for (const std::string& uid : sinks_)
    config.devices.push_back(DeviceConfig{uid, 1.0f, 0, false});
  auto started = router_->start(config);
  ASSERT_EQ(started.wait_for(std::chrono::duration<double>(kTimeout)), std::future_status::ready);
  started.get();
  ASSERT_TRUE(graph().waitFor([&] { return router_->callbackHasRun(); }, kTimeout));
  const auto delays = delaysMs();
  ASSERT_EQ(delays.size(), sinks_.size());

  const auto began = std::chrono::steady_clock::now();
  const auto result = calibrate();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  ASSERT_TRUE(result);
  ASSERT_EQ(result->devices.size(), sinks_.size());

  // Heard = arrival + the delay in use; the device heard latest has offset 0.
  // Against the first device, each arrival must be the injected difference.
  const DeviceCalibration& reference = result->devices.front();
  const auto arrivalMs = [&](const DeviceCalibration& d) {
    return -d.measuredOffsetMs - delays.at(d.uid);
  };
  std::string figures;
  for (const DeviceCalibration& device : result->devices) {
    ASSERT_EQ(device.status, DeviceCalibrationStatus::heard) << device.uid;
    const double recovered = arrivalMs(device) - arrivalMs(reference);
    const double injected = kInjectedMs.at(device.uid) - kInjectedMs.at(reference.uid);
    EXPECT_NEAR(recovered, injected, 0.5) << device.uid;
    figures +=
        device.uid + " " + std::to_string(recovered) + " (" + std::to_string(injected) + ") ";
  }
  EXPECT_LE(result->spreadAfterMs, 0.5);
  std::cout << "room: " << figures << "verified spread " << result->spreadAfterMs << " ms, "
            << seconds << " s\n";

  // Applied, what the room really makes of the new delays lines up too.
  for (const DeviceCalibration& device : result->devices)
    router_->setOffset(device.uid, device.newOffsetMs, true);
  std::map<std::string, double> applied;
  ASSERT_TRUE(graph().waitFor(
      [&] {
        applied = delaysMs();
        for (const DeviceCalibration& device : result->devices) {
          if (std::fabs(applied[device.uid] - delays.at(device.uid) - device.newOffsetMs) > 0.01)
            return false;
        }
        return true;
      },
      kTimeout));
  double lo = 1e9, hi = -1e9;
  for (const auto& [uid, ms] : applied) {
    lo = std::min(lo, ms + kInjectedMs.at(uid));
    hi = std::max(hi, ms + kInjectedMs.at(uid));
  }
  EXPECT_LE(hi - lo, 0.5);

  // The microphone's capture node and links are gone with the run.
  EXPECT_TRUE(graph().waitFor([&] { return !graph().nodeByName("choralink.input"); }, kTimeout));
  auto stopped = router_->stop();
  ASSERT_EQ(stopped.wait_for(std::chrono::duration<double>(kTimeout)), std::future_status::ready);
  expectGraphAsBefore(linksBefore_, before_);
}

}  // namespace
}  // namespace choralink::pipewire::testing
