#include "tools/choralink-sim/sim_scenario.h"

#include <fmt/format.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <utility>

#include "engine/control/audio_router.h"
#include "engine/devices/transport.h"
#include "engine/dispatch/virtual_executor.h"
#include "engine/hal/hal.h"
#include "engine/hal/sim/presets.h"
#include "engine/hal/sim/sim_audio_system.h"
#include "support/log.h"

namespace choralink::simtool {

namespace {

namespace presets = sim::presets;

// After a start: the gains' fade-in (10 ms smoother) and the delays'
// crossfade (20 ms) are long over.
constexpr double kSettleSeconds = 0.5;
// The test tone is six 30 ms clicks 0.5 s apart; the slowest device hears
// the last one well within this.
constexpr double kListenSeconds = 3.5;
constexpr int kClicks = 6;
constexpr double kClickSpacing = 0.5;
// A click is 0.5 at its peak; this finds its start and nothing else.
constexpr float kOnsetThreshold = 0.02f;
// How long a recovery may take before the tool gives up waiting.
constexpr double kRecoveryLimit = 10.0;

// A private folder for the run's rate journal and log, removed afterwards:
// the tool never touches the user's own files.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "choralink-sim-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

const DeviceChoice& findChoice(const std::string& key) {
  for (const DeviceChoice& choice : deviceChoices()) {
    if (choice.key == key) return choice;
  }
  throw std::invalid_argument("unknown device \"" + key + "\" (see --list)");
}

void advance(VirtualExecutor& clock, double seconds) {
  clock.advanceBy(seconds);
  clock.settle();
}

// The centre of each click's energy on one channel, in seconds on the IO
// timeline, searching from `from`. Exact to a fraction of a frame at any
// recording rate, so a 44.1 kHz device compares fairly with 48 kHz ones.
std::vector<double> clickCentres(const sim::Recording& heard, std::uint32_t channel, double from) {
  const double rate = heard.rate();
  std::vector<double> centres;
  auto start = static_cast<std::int64_t>(std::ceil(from * rate));
  for (int k = 0; k < kClicks; ++k) {
    const auto onset = heard.findOnset(kOnsetThreshold, start, channel);
    if (!onset) break;
    const auto first = *onset - static_cast<std::int64_t>(0.01 * rate);
    const auto end = *onset + static_cast<std::int64_t>(0.05 * rate);
    double energy = 0, moment = 0;
    for (std::int64_t f = first; f < end; ++f) {
      const double x = heard.sample(f, channel);
      energy += x * x;
      moment += static_cast<double>(f) * x * x;
    }
    if (energy <= 0) break;
    centres.push_back(moment / energy / rate);
    start = *onset + static_cast<std::int64_t>(kClickSpacing / 2 * rate);
  }
  return centres;
}

// Everything one run holds: the machine, the router and what it reported.
class Scenario {
 public:
  explicit Scenario(const Options& options) : options_(options), system_(clock_, simOptions()) {
    system_.setIODriver(sim::IODriver::clock);
    for (const std::string& key : options_.devices) {
      const DeviceChoice& choice = findChoice(key);
      if (uids_.count(key) > 0) continue;
      system_.addDevice(choice.spec);
      uids_[key] = choice.spec.uid;
    }
    log_ = std::make_unique<Log>(scratch_.path() / "choralink-sim.log", Log::SystemLogSink{});
    AudioRouter::Environment environment(system_);
    environment.log = log_.get();
    environment.rateJournal = scratch_.path() / "rate-restore.json";
    environment.queue = &clock_;
    environment.isLaptop = true;
    router_ = std::make_unique<AudioRouter>(environment);
    eventSubscription_ = router_->events().consume(clock_, [this](EngineEvent event) {
      report_.events.push_back(describe(event));
      if (const auto* started = event.as<EngineEvent::Started>()) {
        active_ = started->active;
        lastStartedAt_ = clock_.now();
      }
      if (event.as<EngineEvent::Stopped>()) {
        active_.clear();
        stopped_ = true;
      }
    });
    snapshotSubscription_ = router_->deviceSnapshots().consume(
        clock_, [this](std::vector<AudioDeviceInfo> list) { devices_ = std::move(list); });
    clock_.settle();
  }

  ~Scenario() {
    eventSubscription_.cancel();
    snapshotSubscription_.cancel();
    if (router_) {
      auto done = router_->shutdown();
      clock_.settle();
      router_.reset();
    }
  }

  Report run() {
    report_.mode = options_.mode;
    for (const AudioDeviceInfo& device : devices_) {
      if (device.isDefaultOutput) report_.defaultOutputName = device.name;
    }

    BroadcastConfig config;
    config.mode = options_.mode;
    for (const std::string& key : options_.devices) {
      const auto offset = options_.offsetsMs.find(key);
      const std::int64_t ms = offset == options_.offsetsMs.end() ? 0 : offset->second;
      config.devices.push_back(DeviceConfig{uids_.at(key), 1.0f, ms, ms != 0});
    }
    auto started = router_->start(config);
    clock_.settle();
    started.get();
    if (active_.empty()) throw std::runtime_error("no device could play the broadcast");
    report_.rate = broadcastRate();

    advance(clock_, kSettleSeconds);
    report_.tone = playTone();

    if (options_.unplug) {
      const std::string uid = uids_.at(options_.unplug.value());
      const double unplugged = clock_.now();
      lastStartedAt_.reset();
      system_.removeDevice(uid);
      clock_.runUntil([&] { return lastStartedAt_.has_value() || stopped_; }, kRecoveryLimit);
      clock_.settle();
      if (lastStartedAt_) {
        report_.recoverySeconds = *lastStartedAt_ - unplugged;
        advance(clock_, kSettleSeconds);
        report_.toneAfterRecovery = playTone();
      }
    }
    return report_;
  }

 private:
  static sim::SimOptions simOptions() {
    sim::SimOptions options;
    options.recordingWindowSeconds = 30;
    return options;
  }

  double broadcastRate() {
    const auto aggregates = system_.aggregateIDs();
    if (aggregates.empty()) return 0;
    try {
      return HAL::get<double>(system_, aggregates.front(), kPropNominalSampleRate, kScopeGlobal);
    } catch (const HALError&) {
      return 0;
    }
  }

  ToneResult playTone() {
    ToneResult result;
    const double from = system_.ioTime();
    router_->playTestTone();
    advance(clock_, kListenSeconds);
    const auto delays = router_->delayBreakdown();

    for (const std::string& key : options_.devices) {
      const std::string& uid = uids_.at(key);
      const auto info = std::find_if(devices_.begin(), devices_.end(),
                                     [&](const AudioDeviceInfo& d) { return d.uid == uid; });
      if (info == devices_.end()) continue;  // unplugged
      if (std::any_of(result.devices.begin(), result.devices.end(),
                      [&](const DeviceResult& d) { return d.uid == uid; })) {
        continue;
      }
      DeviceResult device;
      device.key = key;
      device.uid = uid;
      device.name = info->name;
      device.transport = std::string(label(info->transport));
      device.latencyFrames = info->latencyFrames;
      device.deviceRate = info->nominalRate;
      device.latencyMs = info->latencyMs();
      const auto offset = options_.offsetsMs.find(key);
      device.offsetMs = offset == options_.offsetsMs.end() ? 0 : offset->second;
      device.playing = std::find(active_.begin(), active_.end(), uid) != active_.end();
      if (info->supportStatus != SupportStatus::supported) {
        device.whyNotPlaying = "not playing: AirPlay isn't supported yet";
      } else if (options_.mode == BroadcastMode::mirror && info->isDefaultOutput) {
        device.whyNotPlaying = "plays the system sound directly (mirror mode)";
      } else if (!device.playing) {
        device.whyNotPlaying = "not playing: it could not join";
      }
      if (const auto delay = delays.find(uid); delay != delays.end()) {
        device.padFrames = delay->second.padFrames;
        device.totalFrames = delay->second.totalFrames;
      }
      if (device.playing) {
        if (const auto heard = system_.recording(uid, from, from + kListenSeconds)) {
          const auto channel = static_cast<std::uint32_t>(std::max(info->stereoPair.left - 1, 0));
          for (double centre : clickCentres(*heard, channel, from)) {
            device.clicks.push_back(centre - from);
          }
        }
      }
      result.devices.push_back(std::move(device));
    }

    std::vector<const DeviceResult*> playing;
    for (const DeviceResult& device : result.devices) {
      if (device.playing) playing.push_back(&device);
    }
    const bool allHeard =
        !playing.empty() && std::all_of(playing.begin(), playing.end(), [](const auto* d) {
          return d->clicks.size() == static_cast<std::size_t>(kClicks);
        });
    if (allHeard && report_.rate > 0) {
      double widest = 0;
      for (int k = 0; k < kClicks; ++k) {
        double earliest = 1e300, latest = -1e300;
        for (const DeviceResult* device : playing) {
          earliest = std::min(earliest, device->clicks[k]);
          latest = std::max(latest, device->clicks[k]);
        }
        const double spread = (latest - earliest) * report_.rate;
        if (k == 0) result.firstClickSpreadFrames = spread;
        widest = std::max(widest, spread);
      }
      result.widestSpreadFrames = widest;
    }
    return result;
  }

  const Options& options_;
  ScratchFolder scratch_;
  VirtualExecutor clock_{AudioRouter::kQueueLabel};
  sim::SimAudioSystem system_;
  std::map<std::string, std::string> uids_;  // key → UID
  std::unique_ptr<Log> log_;
  std::unique_ptr<AudioRouter> router_;
  StreamSubscription eventSubscription_;
  StreamSubscription snapshotSubscription_;
  std::vector<AudioDeviceInfo> devices_;
  std::vector<std::string> active_;
  std::optional<double> lastStartedAt_;
  bool stopped_ = false;
  Report report_;
};

void formatTone(std::string& out, const ToneResult& tone, double rate, bool offsets) {
  out += fmt::format("{:<22} {:<11} {:>26} {:>7} {:>9} {:>9} {:>12}\n", "Device", "Transport",
                     "Latency (device)", "Offset", "Pad", "Total", "First click");
  for (const DeviceResult& d : tone.devices) {
    const std::string latency =
        fmt::format("{} fr @{:.0f} = {:.2f} ms", d.latencyFrames, d.deviceRate, d.latencyMs);
    if (!d.playing) {
      out +=
          fmt::format("{:<22} {:<11} {:>26}   {}\n", d.name, d.transport, latency, d.whyNotPlaying);
      continue;
    }
    const std::string click =
        d.clicks.empty() ? std::string("not heard") : fmt::format("{:.3f} ms", d.clicks[0] * 1000);
    out += fmt::format("{:<22} {:<11} {:>26} {:>4} ms {:>9} {:>9} {:>12}\n", d.name, d.transport,
                       latency, d.offsetMs, d.padFrames, d.totalFrames, click);
  }
  out += fmt::format(
      "(pad and total in frames at {:.0f} Hz; first click: the centre of the first "
      "click heard at the device's speaker, after the tone was triggered)\n",
      rate);
  if (tone.firstClickSpreadFrames && tone.widestSpreadFrames) {
    const double frames = *tone.firstClickSpreadFrames;
    const char* verdict = frames <= 1.0 ? "within one frame"
                          : offsets     ? "the extra offsets given set devices apart"
                                        : "MORE than one frame";
    out += fmt::format("Spread of the first click across devices: {:.3f} frames ({:.1f} µs) — {}\n",
                       frames, frames / rate * 1e6, verdict);
    out +=
        fmt::format("Widest spread over all six clicks: {:.3f} frames\n", *tone.widestSpreadFrames);
  } else {
    out += "Spread: not every playing device heard all six clicks\n";
  }
}

}  // namespace

const std::vector<DeviceChoice>& deviceChoices() {
  static const std::vector<DeviceChoice> choices = {
      {"builtin", "built-in speakers, 48 kHz, 676 frames", presets::builtInSpeakers()},
      {"usb", "USB audio interface, 48 kHz, 328 frames, stereo on 3-4", presets::usbInterface()},
      {"usb-headset", "USB headset, 48 kHz, 592 frames", presets::usbHeadset()},
      {"hdmi", "HDMI television, 48 kHz, 1600 frames", presets::hdmiTV()},
      {"displayport", "DisplayPort monitor, 48 kHz, 1024 frames", presets::displayPortMonitor()},
      {"bluetooth", "Bluetooth headphones, 44.1 kHz only, 7350 frames", presets::airPods()},
      {"airplay", "AirPlay speaker (listed, cannot play yet)", presets::airPlaySpeaker()},
  };
  return choices;
}

std::vector<std::string> defaultDeviceKeys() {
  return {"builtin", "usb", "hdmi", "bluetooth"};
}

Report run(const Options& options) {
  for (const std::string& key : options.devices)
    findChoice(key);
  for (const auto& [key, ms] : options.offsetsMs) {
    if (std::find(options.devices.begin(), options.devices.end(), key) == options.devices.end()) {
      throw std::invalid_argument("offset for \"" + key + "\", which is not in the device set");
    }
  }
  if (options.unplug && std::find(options.devices.begin(), options.devices.end(),
                                  *options.unplug) == options.devices.end()) {
    throw std::invalid_argument("cannot unplug \"" + *options.unplug +
                                "\": it is not in the device set");
  }
  Scenario scenario(options);
  return scenario.run();
}

std::string format(const Report& report, const Options& options) {
  std::string out;
  out += fmt::format("choralink-sim: {} simulated output device(s), {} mode\n",
                     options.devices.size(), rawValue(report.mode));
  if (report.defaultOutputName) {
    out +=
        fmt::format("System default output: {}{}\n", *report.defaultOutputName,
                    report.mode == BroadcastMode::mirror ? " (plays directly in mirror mode)" : "");
  }
  out += fmt::format("Broadcast at {:.0f} Hz\n\n", report.rate);
  formatTone(out, report.tone, report.rate, !options.offsetsMs.empty());
  if (options.unplug) {
    out += fmt::format("\nUnplugged {}: ", *options.unplug);
    if (report.recoverySeconds) {
      out += fmt::format("playing again on the remaining devices after {:.3f} s (simulated)\n\n",
                         *report.recoverySeconds);
      if (report.toneAfterRecovery) {
        formatTone(out, *report.toneAfterRecovery, report.rate, !options.offsetsMs.empty());
      }
    } else {
      out += "the broadcast did not come back\n";
    }
  }
  out += "\nEngine events:";
  for (const std::string& event : report.events)
    out += " " + event + ";";
  out += "\n";
  return out;
}

}  // namespace choralink::simtool
