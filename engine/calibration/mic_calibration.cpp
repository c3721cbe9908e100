#include "engine/calibration/mic_calibration.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "engine/calibration/arrival_finder.h"
#include "engine/calibration/calibration_texts.h"
#include "engine/calibration/input_devices.h"
#include "engine/calibration/measurement_signal.h"
#include "engine/calibration/microphone_capture.h"
#include "engine/devices/device_lookup.h"
#include "engine/graph/latency_model.h"
#include "engine/hal/hal.h"

namespace choralink {

namespace {

// Fractions of a millisecond tried when rounding the offsets.
constexpr int kShiftSteps = 100;

std::string deviceName(AudioSystem& system, const std::string& uid) {
  if (auto id = findDevice(system, uid)) {
    try {
      std::string name = HAL::getString(system, *id, kPropName);
      if (!name.empty()) return name;
    } catch (const HALError&) {
    }
  }
  return uid;
}

bool devicePresent(AudioSystem& system, const std::string& uid) {
  const auto id = findDevice(system, uid);
  if (!id) return false;
  try {
    return HAL::get<std::uint32_t>(system, *id, kPropDeviceIsAlive, kScopeGlobal, 1) != 0;
  } catch (const HALError&) {
    return true;
  }
}

}  // namespace

// One run: a chain of tasks on the queue, each holding the run weakly and
// doing nothing once it is cancelled.
class MicCalibration::Run : public std::enable_shared_from_this<Run> {
 public:
  Run(const Environment& env, std::string microphoneUID, CalibrationCallbacks callbacks)
      : env_(env),
        log_(env.log ? *env.log : Log::shared()),
        microphoneUID_(std::move(microphoneUID)),
        callbacks_(std::move(callbacks)) {}

  void begin() {
    const auto view = env_.router.measurementView();
    if (!view) return fail(CalibrationTexts::kNotBroadcasting);
    for (const AudioRouter::MeasuredDevice& device : view->devices) {
      targets_.push_back(device.uid);
      // Named now: a device that leaves can no longer be asked its name.
      names_[device.uid] = deviceName(env_.system, device.uid);
    }
    log_.info(fmt::format("Calibration by microphone started ({} devices)", targets_.size()));
    beginRound(CalibrationProgress::Phase::measuring);
  }

  // Any thread: no step of the run starts after this.
  void stopSteps() { cancelled_ = true; }

  // Queue only: ends what the run holds, unless it has ended by itself
  // (then the signal playing may be a later run's).
  void cancel() {
    cancelled_ = true;
    if (std::exchange(ended_, true)) return;
    endRound();
  }

 private:
  struct Measured {
    double heardSeconds = 0;    // arrival with the delay in use
    double arrivalSeconds = 0;  // arrival of the sweep itself
    double confidenceDb = 0;
    float level = 0;
  };

  bool live() const { return !cancelled_.load(); }

  template <class F>
  void later(double delay, F work) {
    std::weak_ptr<Run> weak = weak_from_this();
    env_.queue.postAfter(delay, [weak, work] {
      if (auto self = weak.lock(); self && self->live()) work(*self);
    });
  }

  void fail(const std::string& message) {
    if (!live()) return;
    endRound();
    cancelled_ = true;
    ended_ = true;
    log_.warn("Calibration by microphone failed: " + message);
    if (callbacks_.failed) callbacks_.failed(message);
  }

  void endRound() {
    env_.router.endMeasurementSignal();
    capture_.reset();
  }

  void beginRound(CalibrationProgress::Phase phase) {
    phase_ = phase;
    const auto view = env_.router.measurementView();
    if (!view) return fail(CalibrationTexts::kBroadcastStopped);
    view_ = *view;
    // The devices still in the broadcast, in slot order; the others left.
    uids_.clear();
    for (const AudioRouter::MeasuredDevice& device : view_.devices) {
      const bool wanted = phase == CalibrationProgress::Phase::measuring
                              ? std::count(targets_.begin(), targets_.end(), device.uid) > 0
                              : proposal_.count(device.uid) > 0;
      if (wanted) uids_.push_back(device.uid);
    }
    for (const std::string& uid : targets_) {
      if (std::find(uids_.begin(), uids_.end(), uid) == uids_.end() && !proposal_.count(uid) &&
          phase == CalibrationProgress::Phase::measuring) {
        vanished_.insert(uid);
      }
    }
    if (uids_.empty()) return fail(CalibrationTexts::kBroadcastStopped);

    const auto inputs = listInputDevices(env_.system);
    const auto mic = std::find_if(inputs.begin(), inputs.end(), [&](const InputDeviceInfo& d) {
      return d.uid == microphoneUID_;
    });
    if (mic == inputs.end()) {
      return fail(inputs.empty() ? CalibrationTexts::kNoMicrophone
                                 : CalibrationTexts::kMicrophoneLost);
    }
    microphone_ = *mic;
    if (!(microphone_.nominalRate > 0)) microphone_.nominalRate = view_.rate;

    const double rate = view_.rate;
    if (!signal_ || signalRate_ != rate) {
      signal_ = std::make_shared<const std::vector<float>>(fadedSweep(rate));
      signalRate_ = rate;
    }
    leadFrames_ = static_cast<std::int32_t>(std::llround(kLeadSeconds * rate));
    std::int64_t slowest = 0;
    for (const AudioRouter::MeasuredDevice& device : view_.devices)
      slowest = std::max(slowest, device.latencyFrames);
    const double spacing =
        std::max(kSpacingSeconds, static_cast<double>(slowest) / rate + kLatencyMarginSeconds);
    spacingFrames_ = static_cast<std::int32_t>(std::llround(spacing * rate));
    totalFrames_ = leadFrames_ + static_cast<std::int64_t>(uids_.size()) * spacingFrames_;
    const double seconds = static_cast<double>(totalFrames_) / rate;
    const auto capacity =
        static_cast<std::size_t>(std::ceil((seconds + 1.0) * microphone_.nominalRate));
    try {
      capture_ = std::make_unique<MicrophoneCapture>(env_.system, microphone_, capacity);
    } catch (const HALError& error) {
      log_.warn("Calibration: microphone capture failed: " + error.description());
      return fail(CalibrationTexts::kMicrophoneLost);
    }
    startFrame_ = capture_->frames();
    if (!env_.router.startMeasurementSignal(signal_, uids_, leadFrames_, spacingFrames_)) {
      return fail(CalibrationTexts::kBroadcastStopped);
    }
    lastMicFrames_ = startFrame_;
    lastMicProgress_ = env_.queue.now();
    later(kPollSeconds, [](Run& self) { self.poll(); });
  }

  void poll() {
    const auto position = env_.router.measurementPosition();
    if (!position) {
      // The broadcast ended or was rebuilt under the measurement.
      endRound();
      if (++restarts_ > kMaxRestarts) return fail(CalibrationTexts::kKeptChanging);
      log_.info("Calibration: the broadcast changed; measuring again");
      waitDeadline_ = env_.queue.now() + kRebuildWaitSeconds;
      return later(kPollSeconds, [](Run& self) { self.waitForBroadcast(); });
    }
    const std::uint64_t micFrames = capture_->frames();
    if (micFrames != lastMicFrames_) {
      lastMicFrames_ = micFrames;
      lastMicProgress_ = env_.queue.now();
    } else if (env_.queue.now() - lastMicProgress_ > kMicrophoneStallSeconds) {
      return fail(CalibrationTexts::kMicrophoneLost);
    }
    const double ratio = microphone_.nominalRate / view_.rate;
    const auto neededMic = static_cast<std::uint64_t>(std::ceil(totalFrames_ * ratio));
    const double done = std::min(1.0, static_cast<double>(*position) / totalFrames_);
    if (callbacks_.progress) {
      const double base = phase_ == CalibrationProgress::Phase::measuring ? 0.0 : 0.5;
      callbacks_.progress(CalibrationProgress{phase_, base + 0.5 * done});
      if (!live()) return;
    }
    if (*position < totalFrames_ || micFrames < startFrame_ + neededMic) {
      return later(kPollSeconds, [](Run& self) { self.poll(); });
    }
    env_.router.endMeasurementSignal();
    capture_->stop();
    analyse();
  }

  void waitForBroadcast() {
    if (env_.router.measurementView()) {
      // Pads may have changed with the device set: measure from the start.
      proposal_.clear();
      return beginRound(CalibrationProgress::Phase::measuring);
    }
    if (env_.queue.now() >= waitDeadline_) return fail(CalibrationTexts::kBroadcastStopped);
    later(kPollSeconds, [](Run& self) { self.waitForBroadcast(); });
  }

  std::map<std::string, Measured> measure() {
    const std::vector<float> recording = capture_->samples();
    capture_.reset();
    const double micRate = microphone_.nominalRate;
    const double ratio = micRate / view_.rate;
    ArrivalFinder finder(recording, fadedSweep(micRate));
    std::map<std::string, Measured> measured;
    for (std::size_t k = 0; k < uids_.size(); ++k) {
      const double emission = static_cast<double>(startFrame_) +
                              (leadFrames_ + static_cast<double>(k) * spacingFrames_) * ratio;
      const double from = emission - kEarlySeconds * micRate;
      const double to = from + spacingFrames_ * ratio;
      const Arrival arrival = finder.find(from, to);
      Measured m;
      m.arrivalSeconds = (arrival.frame - emission) / micRate;
      m.confidenceDb = arrival.confidenceDb;
      const auto first = static_cast<std::size_t>(std::clamp<double>(from, 0, recording.size()));
      const auto last = static_cast<std::size_t>(std::clamp<double>(to, 0, recording.size()));
      for (std::size_t n = first; n < last; ++n)
        m.level = std::max(m.level, std::fabs(recording[n]));
      const auto device =
          std::find_if(view_.devices.begin(), view_.devices.end(),
                       [&](const AudioRouter::MeasuredDevice& d) { return d.uid == uids_[k]; });
      const double delayFrames = phase_ == CalibrationProgress::Phase::measuring
                                     ? device->delayFrames
                                     : static_cast<double>(proposedDelayFrames(uids_[k]));
      m.heardSeconds = m.arrivalSeconds + delayFrames / view_.rate;
      measured[uids_[k]] = m;
    }
    return measured;
  }

  std::int64_t proposedDelayFrames(const std::string& uid) {
    const auto breakdown = env_.router.delayBreakdown();
    const auto pad = breakdown.find(uid);
    const std::int64_t padFrames = pad == breakdown.end() ? 0 : pad->second.padFrames;
    return padFrames + LatencyModel::msToFrames(proposal_.at(uid), view_.rate);
  }

  void analyse() {
    const std::map<std::string, Measured> measured = measure();
    if (phase_ == CalibrationProgress::Phase::measuring) {
      propose(measured);
    } else {
      verify(measured);
    }
  }

  void propose(const std::map<std::string, Measured>& measured) {
    const BroadcastConfig config = env_.router.config();
    const auto offsetOf = [&](const std::string& uid) -> std::int64_t {
      for (const DeviceConfig& device : config.devices)
        if (device.uid == uid) return device.offsetMs;
      return 0;
    };
    result_ = CalibrationResult{};
    std::vector<std::string> heard;
    bool anyLoud = false;
    for (const std::string& uid : uids_) {
      const Measured& m = measured.at(uid);
      DeviceCalibration device;
      device.uid = uid;
      device.name = names_[uid];
      device.confidenceDb = m.confidenceDb;
      device.currentOffsetMs = device.newOffsetMs = offsetOf(uid);
      if (m.level >= kQuietLevel) anyLoud = true;
      if (m.confidenceDb >= kMinConfidenceDb && m.level >= kQuietLevel) {
        device.status = DeviceCalibrationStatus::heard;
        heard.push_back(uid);
      } else if (!devicePresent(env_.system, uid)) {
        device.status = DeviceCalibrationStatus::vanished;
        device.note = device.name + CalibrationTexts::kDeviceVanished;
      } else {
        device.status = DeviceCalibrationStatus::notHeard;
        device.note = device.name + CalibrationTexts::kDeviceNotHeard;
      }
      log_.info(
          fmt::format("Calibration: {} arrival {:.3f} ms, heard {:.3f} ms, confidence {:.1f} dB",
                      device.name, m.arrivalSeconds * 1000, m.heardSeconds * 1000, m.confidenceDb));
      result_.devices.push_back(std::move(device));
    }
    for (const std::string& uid : vanished_) {
      DeviceCalibration device;
      device.uid = uid;
      device.name = names_[uid];
      device.status = DeviceCalibrationStatus::vanished;
      device.currentOffsetMs = device.newOffsetMs = offsetOf(uid);
      device.note = device.name + CalibrationTexts::kDeviceVanished;
      result_.devices.push_back(std::move(device));
    }
    if (heard.empty()) {
      return fail(anyLoud ? CalibrationTexts::kTooNoisy : CalibrationTexts::kTooQuiet);
    }
    double latest = -1e300, earliest = 1e300;
    for (const std::string& uid : heard) {
      latest = std::max(latest, measured.at(uid).heardSeconds);
      earliest = std::min(earliest, measured.at(uid).heardSeconds);
    }
    result_.spreadBeforeMs = (latest - earliest) * 1000;
    // Each heard device waits until the latest one sounds; then the common
    // part of every offset is taken away, so the smallest becomes 0.
    std::map<std::string, double> wanted;
    double smallest = 1e300;
    for (const std::string& uid : heard) {
      const double ms =
          static_cast<double>(offsetOf(uid)) + (latest - measured.at(uid).heardSeconds) * 1000;
      wanted[uid] = ms;
      smallest = std::min(smallest, ms);
    }
    // Offsets are whole milliseconds: shift every wanted offset by the same
    // fraction of one before rounding, the fraction whose rounding errors
    // lie closest together, so rounding costs as little spread as it can.
    double bestShift = 0, bestSpread = 1e300;
    for (int step = 0; step < kShiftSteps; ++step) {
      const double shift = static_cast<double>(step) / kShiftSteps;
      double lo = 1e300, hi = -1e300;
      for (const auto& [uid, ms] : wanted) {
        const double error = std::round(ms - smallest + shift) - (ms - smallest + shift);
        lo = std::min(lo, error);
        hi = std::max(hi, error);
      }
      if (hi - lo < bestSpread) {
        bestSpread = hi - lo;
        bestShift = shift;
      }
    }
    std::int64_t least = std::numeric_limits<std::int64_t>::max();
    for (const auto& [uid, ms] : wanted)
      least = std::min<std::int64_t>(least, std::llround(ms - smallest + bestShift));
    proposal_.clear();
    for (DeviceCalibration& device : result_.devices) {
      if (device.status != DeviceCalibrationStatus::heard) continue;
      device.measuredOffsetMs = (latest - measured.at(device.uid).heardSeconds) * 1000;
      device.newOffsetMs =
          std::clamp<std::int64_t>(std::llround(wanted[device.uid] - smallest + bestShift) - least,
                                   0, AudioRouter::kMaxOffsetMs);
      proposal_[device.uid] = device.newOffsetMs;
    }
    beginRound(CalibrationProgress::Phase::verifying);
  }

  void verify(const std::map<std::string, Measured>& measured) {
    double latest = -1e300, earliest = 1e300;
    bool anyLoud = false;
    for (const auto& [uid, m] : measured) {
      anyLoud = anyLoud || m.level >= kQuietLevel;
      if (m.confidenceDb < kMinConfidenceDb || m.level < kQuietLevel) continue;
      latest = std::max(latest, m.heardSeconds);
      earliest = std::min(earliest, m.heardSeconds);
    }
    // A verification that heard nothing verifies nothing.
    if (latest < earliest) {
      return fail(anyLoud ? CalibrationTexts::kTooNoisy : CalibrationTexts::kTooQuiet);
    }
    result_.spreadAfterMs = (latest - earliest) * 1000;
    cancelled_ = true;
    ended_ = true;
    log_.info(fmt::format("Calibration by microphone: spread {:.2f} ms before, {:.2f} ms after",
                          result_.spreadBeforeMs, result_.spreadAfterMs));
    if (callbacks_.finished) callbacks_.finished(result_);
  }

  Environment env_;
  Log& log_;
  std::string microphoneUID_;
  CalibrationCallbacks callbacks_;
  std::atomic<bool> cancelled_{false};
  bool ended_ = false;  // queue only

  std::vector<std::string> targets_;
  std::map<std::string, std::string> names_;
  std::set<std::string> vanished_;
  std::map<std::string, std::int64_t> proposal_;
  CalibrationResult result_;
  int restarts_ = 0;
  double waitDeadline_ = 0;

  // The round in progress.
  CalibrationProgress::Phase phase_ = CalibrationProgress::Phase::measuring;
  AudioRouter::MeasurementView view_;
  std::vector<std::string> uids_;
  InputDeviceInfo microphone_;
  std::shared_ptr<const std::vector<float>> signal_;
  double signalRate_ = 0;
  std::int32_t leadFrames_ = 0;
  std::int32_t spacingFrames_ = 0;
  std::int64_t totalFrames_ = 0;
  std::unique_ptr<MicrophoneCapture> capture_;
  std::uint64_t startFrame_ = 0;
  std::uint64_t lastMicFrames_ = 0;
  double lastMicProgress_ = 0;
};

MicCalibration::MicCalibration(Environment environment) : env_(environment) {}

MicCalibration::~MicCalibration() {
  cancel();
}

void MicCalibration::start(std::string microphoneUID, CalibrationCallbacks callbacks) {
  auto run = std::make_shared<Run>(env_, std::move(microphoneUID), std::move(callbacks));
  std::shared_ptr<Run> previous;
  {
    std::lock_guard lock(runMutex_);
    previous = std::exchange(run_, run);
  }
  if (previous) previous->stopSteps();
  std::weak_ptr<Run> weak = run;
  env_.queue.post([previous, weak] {
    if (previous) previous->cancel();
    if (auto self = weak.lock()) self->begin();
  });
}

std::vector<InputDeviceInfo> MicCalibration::microphones() {
  return listInputDevices(env_.system);
}

void MicCalibration::cancel() {
  std::shared_ptr<Run> run;
  {
    std::lock_guard lock(runMutex_);
    run = std::exchange(run_, nullptr);
  }
  if (!run) return;
  run->stopSteps();
  if (env_.queue.isCurrent()) {
    run->cancel();
  } else {
    env_.queue.post([run] { run->cancel(); });
  }
}

}  // namespace choralink
