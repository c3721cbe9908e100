// choralink-sim: a broadcast on a simulated machine, end to end through the
// engine's AudioRouter. It plugs in a realistic set of output devices, starts
// a broadcast, plays the sync test tone and listens to every device's
// simulated speaker: per device it prints what the engine read, the delay it
// computed, and when the first click arrived; then the spread across the
// devices. Runs on virtual time, in a fraction of a second.
//
//   choralink-sim                               built-in, USB, HDMI, Bluetooth
//   choralink-sim --devices builtin,hdmi --mode mirror
//   choralink-sim --offset hdmi=20 --unplug usb
//
// Exit status: 0 in step, 3 not in step, 2 usage error, 1 failure (--help).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "support/termination_signals.h"
#include "tools/choralink-sim/sim_scenario.h"
#include "tools/common/tool_args.h"

namespace {

using choralink::simtool::Options;
using choralink::tools::UsageError;
namespace exits = choralink::tools;

// The largest spread of the first click, with the user's offsets taken out,
// that still counts as in step.
constexpr double kInStepFrames = 1.0;

void usage(std::FILE* out) {
  std::fputs(
      "usage: choralink-sim [--devices KEY,KEY,...] [--mode synced|mirror]\n"
      "                     [--offset KEY=MS]... [--unplug KEY] [--list]\n"
      "\n"
      "  --devices  the output devices to plug in and broadcast to, in order,\n"
      "             each once (default: builtin,usb,hdmi,bluetooth)\n"
      "  --mode     synced (every device from the broadcast) or mirror (the\n"
      "             default output plays directly and is left out)\n"
      "  --offset   an extra delay for one device of the set, in whole\n"
      "             milliseconds from 0 to 500, at most once per device\n"
      "  --unplug   after the tone, unplug this device and report how long the\n"
      "             broadcast takes to play again on the others\n"
      "  --list     the device keys\n"
      "\n"
      "Exit status: 0 when the devices played in step (within one frame, the\n"
      "offsets taken out), 3 when they did not, 2 for a usage error (nothing\n"
      "run), 1 when the broadcast failed or the run was interrupted.\n",
      out);
}

bool knownKey(const std::string& key) {
  const auto& choices = choralink::simtool::deviceChoices();
  return std::any_of(choices.begin(), choices.end(),
                     [&](const auto& choice) { return choice.key == key; });
}

std::string requireKnown(const std::string& key, const std::string& option) {
  if (!knownKey(key)) {
    throw UsageError(option + " names \"" + key + "\", which is no device key (see --list)");
  }
  return key;
}

std::vector<std::string> deviceList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    if (item.empty()) throw UsageError("--devices has an empty name in \"" + text + "\"");
    requireKnown(item, "--devices");
    if (std::find(items.begin(), items.end(), item) != items.end()) {
      throw UsageError("--devices names \"" + item + "\" twice");
    }
    items.push_back(item);
  }
  if (items.empty()) throw UsageError("--devices needs at least one device key");
  return items;
}

// Parses the arguments; throws UsageError saying what was wrong. Returns
// false when --help was asked for.
bool parse(int argc, char** argv, Options& options, bool& list) {
  std::set<std::string> seen;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(arg + " needs a value");
      return argv[++i];
    };
    const auto once = [&] {
      if (!seen.insert(arg).second) throw UsageError(arg + " is given twice");
    };
    if (arg == "--help" || arg == "-h") {
      return false;
    } else if (arg == "--list") {
      list = true;
    } else if (arg == "--devices") {
      once();
      options.devices = deviceList(value());
    } else if (arg == "--mode") {
      once();
      const std::string v = value();
      const auto mode = choralink::broadcastModeFromRaw(v);
      if (!mode) throw UsageError("--mode is \"" + v + "\"; it must be synced or mirror");
      options.mode = *mode;
    } else if (arg == "--offset") {
      const auto [key, ms] = exits::keyValue(value(), "--offset");
      requireKnown(key, "--offset");
      if (options.offsetsMs.count(key) != 0) throw UsageError("--offset for " + key + " twice");
      options.offsetsMs[key] = exits::wholeNumber(ms, 0, 500, "the offset of " + key);
    } else if (arg == "--unplug") {
      once();
      options.unplug = requireKnown(value(), "--unplug");
    } else {
      throw UsageError("unknown argument \"" + arg + "\"");
    }
  }
  // Names must be of the set that runs (checked once the set is known).
  for (const auto& [key, ms] : options.offsetsMs) {
    if (std::find(options.devices.begin(), options.devices.end(), key) == options.devices.end()) {
      throw UsageError("--offset for \"" + key + "\", which is not in the device set");
    }
  }
  if (options.unplug && std::find(options.devices.begin(), options.devices.end(),
                                  *options.unplug) == options.devices.end()) {
    throw UsageError("--unplug names \"" + *options.unplug + "\", which is not in the device set");
  }
  return true;
}

// The spread of the first click across the playing devices with each
// device's offset taken out, in frames; none when a device heard nothing.
std::optional<double> spreadWithoutOffsets(const choralink::simtool::ToneResult& tone,
                                           double rate) {
  std::vector<double> heard;
  for (const auto& device : tone.devices) {
    if (!device.playing) continue;
    if (device.clicks.empty()) return std::nullopt;
    heard.push_back((device.clicks.front() - static_cast<double>(device.offsetMs) / 1000.0) * rate);
  }
  if (heard.empty()) return std::nullopt;
  const auto [lo, hi] = std::minmax_element(heard.begin(), heard.end());
  return *hi - *lo;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool list = false;
  try {
    if (!parse(argc, argv, options, list)) {
      usage(stdout);
      return exits::kExitOK;
    }
  } catch (const UsageError& error) {
    std::fprintf(stderr, "choralink-sim: %s\n(choralink-sim --help shows the usage)\n",
                 error.what());
    return exits::kExitUsage;
  }
  if (list) {
    for (const auto& choice : choralink::simtool::deviceChoices()) {
      std::printf("%-12s %s\n", choice.key.c_str(), choice.description.c_str());
    }
    return exits::kExitOK;
  }
  try {
    // A signal waits for the run (a fraction of a second of real time) to
    // end normally, so that its scratch folder goes with it.
    choralink::TerminationSignals signals;
    const auto report = choralink::simtool::run(options);
    if (const auto signal = signals.received()) {
      std::fprintf(stderr, "choralink-sim: interrupted (signal %d)\n", *signal);
      return exits::kExitFailure;
    }
    std::fputs(choralink::simtool::format(report, options).c_str(), stdout);
    const auto spread = spreadWithoutOffsets(report.tone, report.rate);
    if (!spread || *spread > kInStepFrames) {
      std::fprintf(
          stderr, "choralink-sim: not in step (%s)\n",
          spread ? (std::to_string(*spread) + " frames apart").c_str() : "a device heard no click");
      return exits::kExitNotInStep;
    }
    return exits::kExitOK;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "choralink-sim: %s\n", error.what());
    return exits::kExitFailure;
  }
}
