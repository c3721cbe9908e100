// choralink-pw: checks the PipeWire backend against the daemon this user's
// programs use (or the one PIPEWIRE_REMOTE names).
//
//   choralink-pw list
//       every sink, read as an output device (UID, transport, rate, channels,
//       latency), with the default output marked
//   choralink-pw clicks [--delay UID=MS]... [UID]...
//       plays the render core's six test clicks on the named sinks (all
//       non-virtual sinks when none is named) through one aggregate device,
//       records what each sink was given from its monitor, and prints where
//       the first click arrived on each, relative to the earliest
//   choralink-pw broadcast [--delay UID=MS]... [UID]...
//       a synced broadcast to the named sinks through the engine's router, as
//       the application runs it; plays the sync test and prints, per sink, the
//       delay the engine gave it, where the first click reached the sink and
//       when it would be heard (plus the sink's own latency), then the spread
//       of the heard clicks with the user delays taken out
//
// The backend is chosen as the application chooses it, so
// CHORALINK_AUDIO_BACKEND=pipewire makes a missing daemon an error, and a
// choice of the simulated machine ends the check (choralink-sim is the tool
// for that). Everything goes through the platform seam.
//
// Exit status: 0 on success, 1 on a usage error (including an unknown
// CHORALINK_AUDIO_BACKEND), 2 when the daemon or the graph did not do what was
// asked, or when the backend is not PipeWire.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "engine/control/audio_router.h"
#include "engine/hal/audio_backend.h"
#include "engine/hal/four_cc.h"
#include "engine/hal/hal.h"
#include "engine/hal/pipewire/pipewire_audio_system.h"
#include "engine/hal/pipewire/pw_device_facts.h"
#include "engine/hal/pipewire/pw_graph.h"
#include "engine/hal/pipewire/pw_link.h"
#include "engine/hal/pipewire/pw_ports.h"
#include "engine/hal/pipewire/pw_recorder.h"
#include "render/cl_render.h"

namespace {

using namespace choralink::pipewire;

constexpr double kTimeout = 5.0;
constexpr double kRecordSeconds = 3.5;  // the six clicks take 2.53 s
constexpr float kClickThreshold = 1e-4f;

// Links the left monitor port of each sink in `uids` to the recorder's input
// of the same name. Sinks without a monitor or an input are left out; the
// caller sees that when the links do not all become active.
PwLinks linkMonitors(PwThreadLoop& loop, PwGraph& graph, PwRecorder& recorder,
                     const std::vector<std::string>& uids) {
  PwLinks links;
  if (!recorder.filter().waitForNode(kTimeout)) return links;
  const uint32_t recorderNode = recorder.filter().nodeId();
  graph.waitFor([&] { return graph.ports(recorderNode).size() == uids.size(); }, kTimeout);
  for (const auto& uid : uids) {
    const auto node = graph.nodeByName(uid);
    const auto input = inputPorts(graph.ports(recorderNode), uid);
    if (!node || input.empty()) continue;
    const auto monitor = monitorPorts(graph.ports(node->id));
    if (monitor.empty()) continue;
    links.push_back(std::make_unique<PwLink>(loop, monitor.front().nodeId, monitor.front().id,
                                             input.front().nodeId, input.front().id));
  }
  return links;
}

// A transport code as its four characters alone, for the listing.
std::string codeText(uint32_t code) {
  if (code == 0) return "0";
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i)
    text[static_cast<size_t>(i)] = static_cast<char>((code >> (24 - 8 * i)) & 0xff);
  return "'" + text + "'";
}

int list(PwGraph& graph) {
  const GraphClock clock = graphClock(graph);
  const std::string defaultName = graph.defaultSinkName();
  std::printf("graph clock: %.0f Hz, quantum %u\n", clock.rate, clock.quantum);
  for (const auto& node : graph.sinks()) {
    const SinkFacts f = describeSink(node, clock);
    std::printf("%s %s \"%s\" %s %.0f Hz, %zu ch, stereo %u/%u, latency %u+%u+%u frames%s\n",
                f.uid == defaultName ? "*" : " ", f.uid.c_str(), f.name.c_str(),
                codeText(f.transport).c_str(), f.nominalRate, f.positions.size(), f.stereoLeft,
                f.stereoRight, f.bufferFrames, f.latencyFrames, f.safetyOffsetFrames,
                f.ours ? " (ours)" : "");
  }
  return 0;
}

int clicks(choralink::PipeWireAudioSystem& system, const std::vector<std::string>& uids,
           const std::map<std::string, int>& delaysMs) {
  using namespace choralink;
  PwGraph& graph = system.graph();
  PwThreadLoop& loop = system.loop();
  const GraphClock clock = graphClock(graph);
  std::vector<SinkFacts> chosen;
  for (const auto& node : graph.sinks()) {
    const SinkFacts f = describeSink(node, clock);
    const bool named = std::find(uids.begin(), uids.end(), f.uid) != uids.end();
    if (f.ours || (uids.empty() ? f.transport == kTransportVirtual : !named)) continue;
    chosen.push_back(f);
  }
  if (chosen.empty() || chosen.size() > CL_MAX_SLOTS) {
    std::fprintf(stderr, "choralink-pw: %zu sinks chosen (1 to %d needed)\n", chosen.size(),
                 CL_MAX_SLOTS);
    return 2;
  }

  // Through the seam, as a broadcast builds it: an aggregate of the chosen
  // sinks (no tap: the clicks come from the render core itself).
  AggregateDescription description = {
      {kAggregateNameKey, "Choralink check"},
      {kAggregateUIDKey, "app.choralink.agg.check-" + std::to_string(::getpid())},
      {kAggregatePrivateKey, 1},
      {kAggregateStackedKey, 0},
      {kAggregateMasterKey, chosen.front().uid},
      {kAggregateSubDevicesKey, nlohmann::json::array()},
      {kAggregateTapsKey, nlohmann::json::array()},
      {kAggregateTapAutoStartKey, 1}};
  for (const auto& f : chosen)
    description[kAggregateSubDevicesKey].push_back(
        {{kSubDeviceUIDKey, f.uid}, {kSubDeviceDriftKey, 1}});
  AudioObjectID aggregate = 0;
  if (const HALStatus status = system.createAggregateDevice(description, aggregate)) {
    std::fprintf(stderr, "choralink-pw: create aggregate: %s\n", fourCC(status).c_str());
    return 2;
  }
  std::vector<uint32_t> joined;
  graph.waitFor(
      [&] {
        joined = HAL::getArray<uint32_t>(system, aggregate, kPropActiveSubDevices, kScopeGlobal);
        return joined.size() == chosen.size();
      },
      kTimeout);
  std::vector<std::string> joinedUIDs;
  std::vector<cl_slot_layout> layouts;
  int32_t buffer = 0;
  for (uint32_t id : joined) {
    joinedUIDs.push_back(HAL::getString(system, id, kPropDeviceUID));
    cl_slot_layout layout{};
    const auto streams = HAL::streamChannels(system, id, kScopeOutput);
    layout.channel_count = static_cast<int32_t>(std::min<size_t>(streams.size(), 32));
    for (int32_t c = 0; c < layout.channel_count; ++c)
      layout.channels[c] = {buffer++, 0, 1};
    const auto pair =
        HAL::getArray<uint32_t>(system, id, kPropPreferredStereoChannels, kScopeOutput);
    layout.left = pair.size() == 2 ? static_cast<int32_t>(pair[0]) - 1 : 0;
    layout.right = pair.size() == 2 ? static_cast<int32_t>(pair[1]) - 1 : 1;
    layouts.push_back(layout);
  }
  for (const auto& f : chosen) {
    if (std::find(joinedUIDs.begin(), joinedUIDs.end(), f.uid) == joinedUIDs.end()) {
      std::printf("%s: did not join\n", f.uid.c_str());
    }
  }
  if (joined.empty()) {
    system.destroyAggregateDevice(aggregate);
    return 2;
  }

  const double rate = HAL::get<double>(system, aggregate, kPropNominalSampleRate, kScopeGlobal);
  cl_render* render = cl_render_create(static_cast<int32_t>(layouts.size()), layouts.data(),
                                       cl_input_layout{-1, 0}, static_cast<int32_t>(rate), rate);
  if (render == nullptr) return 2;
  for (size_t d = 0; d < joinedUIDs.size(); ++d) {
    const auto it = delaysMs.find(joinedUIDs[d]);
    const int ms = it != delaysMs.end() ? it->second : 0;
    cl_render_set_delay_frames(render, static_cast<int32_t>(d),
                               static_cast<int32_t>(std::lround(rate * ms / 1000.0)));
  }
  IOProcID proc = kNoIOProc;
  system.createIOProcID(aggregate, cl_ioproc_ptr, render, proc);
  system.startDevice(aggregate, proc);

  // What each sink was given, from its monitor (the left channel only).
  std::vector<PwDspPort> recorderPorts;
  for (const auto& uid : joinedUIDs)
    recorderPorts.push_back({uid, "FL"});
  PwRecorder recorder(loop, "choralink.check.recorder", recorderPorts,
                      static_cast<size_t>(rate * kRecordSeconds));
  int status = 0;
  PwLinks links = linkMonitors(loop, graph, recorder, joinedUIDs);
  if (!waitActive(loop, links, kTimeout)) {
    std::fprintf(stderr, "choralink-pw: the monitors could not be recorded\n");
    status = 2;
  } else {
    // A quarter second of rendered cycles lets gains and delays settle.
    const uint64_t start = cl_render_heartbeat(render);
    graph.waitFor(
        [&] {
          const uint64_t frames = recorder.filter().lastFrames();
          return frames > 0 && (cl_render_heartbeat(render) - start) * frames >= rate / 4;
        },
        kTimeout);
    recorder.arm();
    graph.waitFor([&] { return recorder.frames() > 0; }, kTimeout);
    cl_render_trigger_test_tone(render);
    graph.waitFor([&] { return recorder.full(); }, kRecordSeconds + kTimeout);
    // The sink that drives the graph hands its monitor what it was given one
    // cycle later than the others do; take that cycle back out.
    const uint32_t driver = recorder.filter().lastDriverId();
    const long quantum = static_cast<long>(recorder.filter().lastFrames());
    std::vector<long> arrivals;
    long earliest = -1;
    for (size_t d = 0; d < joinedUIDs.size(); ++d) {
      const auto samples = recorder.channel(d);
      long at = -1;
      for (size_t i = 0; i < samples.size(); ++i) {
        if (std::fabs(samples[i]) > kClickThreshold) {
          at = static_cast<long>(i);
          break;
        }
      }
      const auto node = graph.nodeByName(joinedUIDs[d]);
      if (at >= 0 && node && node->id == driver) at -= quantum;
      arrivals.push_back(at);
      if (at >= 0 && (earliest < 0 || at < earliest)) earliest = at;
    }
    for (size_t d = 0; d < joinedUIDs.size(); ++d) {
      if (arrivals[d] < 0) {
        std::printf("%s: no click recorded\n", joinedUIDs[d].c_str());
        status = 2;
        continue;
      }
      const long lag = arrivals[d] - earliest;
      const auto node = graph.nodeByName(joinedUIDs[d]);
      std::printf("%s: first click +%ld frames (%.1f ms)%s\n", joinedUIDs[d].c_str(), lag,
                  1000.0 * static_cast<double>(lag) / rate,
                  node && node->id == driver ? " [drives the graph]" : "");
    }
  }
  system.stopDevice(aggregate, proc);
  system.destroyIOProcID(aggregate, proc);
  system.destroyAggregateDevice(aggregate);
  links.clear();
  cl_render_destroy(render);
  return status;
}

// The first sample above the click threshold, -1 when there is none.
long firstClick(const std::vector<float>& samples) {
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::fabs(samples[i]) > kClickThreshold) return static_cast<long>(i);
  }
  return -1;
}

// Polls `done` until it holds or `seconds` have passed; for conditions that
// follow the engine's queue rather than the PipeWire loop.
bool pollFor(const std::function<bool()>& done, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

int broadcast(choralink::PipeWireAudioSystem& system, const std::vector<std::string>& uids,
              const std::map<std::string, int>& delaysMs) {
  using namespace choralink;
  PwGraph& graph = system.graph();
  PwThreadLoop& loop = system.loop();

  // The engine's log and rate journal go to a scratch folder; its warnings
  // and errors to standard error.
  char pattern[] = "/tmp/choralink-pw-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 2;
  const std::filesystem::path scratch = pattern;
  int status = 0;
  {
    Log log(scratch / "engine.log", [](LogLevel level, std::string_view message) {
      if (level != LogLevel::info) {
        std::fprintf(stderr, "choralink-pw: engine: %.*s\n", static_cast<int>(message.size()),
                     message.data());
      }
    });
    AudioRouter::Environment environment(system);
    environment.log = &log;
    environment.rateJournal = scratch / "rate-restore.json";
    environment.isLaptop = false;
    AudioRouter router(environment);

    BroadcastConfig config;
    const GraphClock clock = graphClock(graph);
    for (const auto& node : graph.sinks()) {
      const SinkFacts f = describeSink(node, clock);
      const bool named = std::find(uids.begin(), uids.end(), f.uid) != uids.end();
      if (f.ours || (uids.empty() ? f.transport == kTransportVirtual : !named)) continue;
      const auto delay = delaysMs.find(f.uid);
      config.devices.push_back(
          DeviceConfig{f.uid, 1.0f, delay != delaysMs.end() ? delay->second : 0, false});
    }
    auto started = router.start(config);
    if (started.wait_for(std::chrono::duration<double>(kTimeout)) != std::future_status::ready) {
      std::fprintf(stderr, "choralink-pw: the broadcast did not start in time\n");
      router.shutdownSync(kTimeout);
      return 2;
    }
    try {
      started.get();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "choralink-pw: the broadcast did not start: %s\n", e.what());
      return 2;
    }
    const auto delays = router.delayBreakdown();
    if (!router.isRunning() || delays.empty()) {
      std::fprintf(stderr, "choralink-pw: nothing to broadcast to (%zu sinks chosen)\n",
                   config.devices.size());
      router.shutdownSync(kTimeout);
      return 2;
    }
    std::map<std::string, AudioDeviceInfo> devices;
    for (const auto& list : router.deviceSnapshots().takeBuffered()) {
      for (const auto& d : list)
        devices[d.uid] = d;
    }
    std::vector<std::string> playing;
    int64_t longest = 0;
    for (const auto& [uid, delay] : delays) {
      playing.push_back(uid);
      longest = std::max(longest, delay.totalFrames);
    }
    // The aggregate runs at the graph's rate.
    const double broadcastRate = graphClock(graph).rate;

    std::vector<PwDspPort> recorderPorts;
    for (const auto& uid : playing)
      recorderPorts.push_back({uid, "FL"});
    PwRecorder recorder(loop, "choralink.check.recorder", recorderPorts,
                        static_cast<size_t>(broadcastRate / 2) + static_cast<size_t>(longest));
    PwLinks links = linkMonitors(loop, graph, recorder, playing);
    if (!waitActive(loop, links, kTimeout)) {
      std::fprintf(stderr, "choralink-pw: the monitors could not be recorded\n");
      status = 2;
    } else {
      // A quarter second of rendered cycles lets gains and delays settle.
      const uint64_t start = router.heartbeat();
      pollFor(
          [&] {
            const uint64_t frames = recorder.filter().lastFrames();
            return frames > 0 && (router.heartbeat() - start) * frames >= broadcastRate / 4;
          },
          kTimeout);
      recorder.arm();
      graph.waitFor([&] { return recorder.frames() > 0; }, kTimeout);
      router.playTestTone();
      graph.waitFor([&] { return recorder.full(); }, kTimeout + 2.0);

      // As in `clicks`: the driving sink's monitor runs one cycle late.
      const uint32_t driver = recorder.filter().lastDriverId();
      const long quantum = static_cast<long>(recorder.filter().lastFrames());
      std::printf("broadcast at %.0f Hz, %zu sink(s)\n", broadcastRate, playing.size());
      std::printf("%-22s %14s %8s %8s %12s %12s\n", "sink", "latency", "offset", "delay", "at sink",
                  "heard");
      std::vector<double> heard;
      for (size_t d = 0; d < playing.size(); ++d) {
        const std::string& uid = playing[d];
        long at = firstClick(recorder.channel(d));
        const auto node = graph.nodeByName(uid);
        if (at >= 0 && node && node->id == driver) at -= quantum;
        const auto info = devices.find(uid);
        const double latency =
            info == devices.end() || info->second.nominalRate <= 0
                ? 0.0
                : info->second.latencyFrames * broadcastRate / info->second.nominalRate;
        const auto offset = delaysMs.find(uid);
        const double offsetFrames =
            offset == delaysMs.end() ? 0.0 : std::round(broadcastRate * offset->second / 1000.0);
        if (at < 0) {
          std::printf("%-22s no click recorded\n", uid.c_str());
          status = 2;
          continue;
        }
        std::printf("%-22s %11.0f fr %5.0f ms %8lld %9ld fr %9.0f fr\n", uid.c_str(), latency,
                    1000.0 * offsetFrames / broadcastRate,
                    static_cast<long long>(delays.at(uid).totalFrames), at,
                    static_cast<double>(at) + latency);
        heard.push_back(static_cast<double>(at) + latency - offsetFrames);
      }
      if (!heard.empty()) {
        const auto [lo, hi] = std::minmax_element(heard.begin(), heard.end());
        std::printf(
            "spread of the heard first click (user delays taken out): %.2f frames (%.3f ms)\n",
            *hi - *lo, 1000.0 * (*hi - *lo) / broadcastRate);
      }
    }
    links.clear();
    router.shutdownSync(kTimeout);
  }
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  return status;
}

int usage() {
  std::fprintf(stderr,
               "usage: choralink-pw list\n"
               "       choralink-pw clicks [--delay UID=MS]... [UID]...\n"
               "       choralink-pw broadcast [--delay UID=MS]... [UID]...\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  std::vector<std::string> uids;
  std::map<std::string, int> delays;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--delay" && i + 1 < argc) {
      const std::string spec = argv[++i];
      const size_t eq = spec.find('=');
      if (eq == std::string::npos) return usage();
      delays[spec.substr(0, eq)] = std::atoi(spec.c_str() + eq + 1);
    } else {
      uids.push_back(arg);
    }
  }
  if (command != "list" && command != "clicks" && command != "broadcast") return usage();
  std::unique_ptr<choralink::AudioBackend> backend;
  try {
    choralink::parseAudioBackendRequest(std::getenv(choralink::kAudioBackendVariable));
  } catch (const choralink::AudioBackendError& e) {
    std::fprintf(stderr, "choralink-pw: %s\n", e.what());
    return 1;
  }
  try {
    backend = choralink::openAudioBackend();
  } catch (const choralink::AudioBackendError& e) {
    std::fprintf(stderr, "choralink-pw: %s\n", e.what());
    return 2;
  }
  choralink::PipeWireAudioSystem* system = backend->pipewire();
  if (system == nullptr) {
    std::fprintf(
        stderr,
        "choralink-pw: %s Nothing to check here (choralink-sim runs the simulated machine).\n",
        backend->note().c_str());
    return 2;
  }
  try {
    if (command == "list") return list(system->graph());
    if (command == "clicks") return clicks(*system, uids, delays);
    return broadcast(*system, uids, delays);
  } catch (const PwError& e) {
    std::fprintf(stderr, "choralink-pw: %s\n", e.what());
    return 2;
  }
}
