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
#include <cstdio>
#include <exception>
#include <sstream>
#include <string>

#include "tools/choralink-sim/sim_scenario.h"

namespace {

using choralink::simtool::Options;

void usage(std::FILE* out) {
  std::fputs(
      "usage: choralink-sim [--devices KEY,KEY,...] [--mode synced|mirror]\n"
      "                     [--offset KEY=MS]... [--unplug KEY] [--list]\n"
      "\n"
      "  --devices  the output devices to plug in and broadcast to, in order\n"
      "             (default: builtin,usb,hdmi,bluetooth)\n"
      "  --mode     synced (every device from the broadcast) or mirror (the\n"
      "             default output plays directly and is left out)\n"
      "  --offset   an extra delay for one device, in whole milliseconds (0-500)\n"
      "  --unplug   after the tone, unplug this device and report how long the\n"
      "             broadcast takes to play again on the others\n"
      "  --list     the device keys\n",
      out);
}

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

// Parses the arguments; false (after a message) when they make no sense.
bool parse(int argc, char** argv, Options& options, bool& list) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> const char* {
      if (i + 1 >= argc) return nullptr;
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      std::exit(0);
    } else if (arg == "--list") {
      list = true;
    } else if (arg == "--devices") {
      const char* v = value();
      if (!v) return false;
      options.devices = splitList(v);
      if (options.devices.empty()) return false;
    } else if (arg == "--mode") {
      const char* v = value();
      if (!v) return false;
      const auto mode = choralink::broadcastModeFromRaw(v);
      if (!mode) {
        std::fprintf(stderr, "choralink-sim: unknown mode \"%s\"\n", v);
        return false;
      }
      options.mode = *mode;
    } else if (arg == "--offset") {
      const char* v = value();
      if (!v) return false;
      const std::string text = v;
      const auto eq = text.find('=');
      if (eq == std::string::npos || eq == 0) return false;
      try {
        std::size_t used = 0;
        const long long ms = std::stoll(text.substr(eq + 1), &used);
        if (used != text.size() - eq - 1) return false;
        options.offsetsMs[text.substr(0, eq)] = ms;
      } catch (const std::exception&) {
        return false;
      }
    } else if (arg == "--unplug") {
      const char* v = value();
      if (!v) return false;
      options.unplug = v;
    } else {
      std::fprintf(stderr, "choralink-sim: unknown argument \"%s\"\n", arg.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool list = false;
  if (!parse(argc, argv, options, list)) {
    usage(stderr);
    return 2;
  }
  if (list) {
    for (const auto& choice : choralink::simtool::deviceChoices()) {
      std::printf("%-12s %s\n", choice.key.c_str(), choice.description.c_str());
    }
    return 0;
  }
  try {
    const auto report = choralink::simtool::run(options);
    std::fputs(choralink::simtool::format(report, options).c_str(), stdout);
    const bool inStep = report.tone.firstClickSpreadFrames.has_value();
    return inStep ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "choralink-sim: %s\n", error.what());
    return 1;
  }
}
