// The demonstration behind choralink-sim: a simulated machine with a chosen
// set of output devices, a broadcast started through the real AudioRouter,
// the sync test tone played, and every device's simulated speaker listened
// to. Everything runs on one virtual clock, so the run is exact and takes
// well under a second of real time.
//
// What it reports per device: the facts the engine read (name, transport,
// latency), the delay the latency model gave it (pad and total, in frames of
// the broadcast) and when the first click was heard at its speaker; then the
// spread of the clicks across devices. Optionally it unplugs one device
// afterwards and reports how long the broadcast took to come back on the
// others.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/hal/sim/device_spec.h"
#include "types/broadcast_mode.h"

namespace choralink::simtool {

// A device the tool can plug in, by a short key ("builtin", "usb", …).
struct DeviceChoice {
  std::string key;
  std::string description;
  sim::DeviceSpec spec;
};

// Every device the tool knows, in the order `--list` shows them.
const std::vector<DeviceChoice>& deviceChoices();
// The devices of a run without --devices: built-in speakers, a USB
// interface, an HDMI television and Bluetooth headphones at 44.1 kHz.
std::vector<std::string> defaultDeviceKeys();

struct Options {
  std::vector<std::string> devices = defaultDeviceKeys();
  BroadcastMode mode = BroadcastMode::synced;
  // Extra delay per device key, in ms.
  std::map<std::string, std::int64_t> offsetsMs;
  // A device to unplug after the tone, to measure recovery.
  std::optional<std::string> unplug;
};

struct DeviceResult {
  std::string key;
  std::string uid;
  std::string name;
  std::string transport;  // the label ("Built-in", "Bluetooth", …)
  int latencyFrames = 0;  // as the engine read it, at the device's rate
  double deviceRate = 0;
  double latencyMs = 0;
  std::int64_t offsetMs = 0;
  std::int64_t padFrames = 0;    // at the broadcast rate
  std::int64_t totalFrames = 0;  // at the broadcast rate
  bool playing = false;          // part of the broadcast
  std::string whyNotPlaying;     // for a device that is not
  // Centre of each click heard at the device's speaker, in seconds after
  // the tone was triggered.
  std::vector<double> clicks;
};

struct ToneResult {
  std::vector<DeviceResult> devices;
  // Largest spread across the playing devices, in broadcast frames: of the
  // first click, and of any of the six.
  std::optional<double> firstClickSpreadFrames;
  std::optional<double> widestSpreadFrames;
};

struct Report {
  double rate = 0;  // the broadcast's sample rate
  BroadcastMode mode = BroadcastMode::synced;
  std::optional<std::string> defaultOutputName;
  std::vector<std::string> events;  // every engine event, in order
  ToneResult tone;
  // With Options::unplug: simulated seconds from the unplug to `started`
  // on the remaining devices, and the tone played again afterwards.
  std::optional<double> recoverySeconds;
  std::optional<ToneResult> toneAfterRecovery;
};

// Runs the scenario. Throws std::invalid_argument for an unknown device key
// and the router's error when the broadcast cannot start.
Report run(const Options& options);

// The report as the tool prints it.
std::string format(const Report& report, const Options& options);

}  // namespace choralink::simtool
