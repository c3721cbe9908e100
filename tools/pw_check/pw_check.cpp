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
// Every UID must name a sink of the graph, at most once; delays are whole
// milliseconds from 0 to 500, at most one per sink, for sinks that play.
// SIGINT, SIGTERM and SIGHUP end a run through its normal teardown (the
// default output is put back, nothing of ours stays in the graph). The
// default-output and rate journals live in the application-support folder,
// as the application keeps them, so a run after a crash puts both back.
//
// Exit status: 0 when everything was in step (within one frame, the delays
// taken out); 3 when it ran but was not in step; 2 on a usage error
// (including an unknown CHORALINK_AUDIO_BACKEND or UID), nothing done; 1 when
// the daemon or the graph did not do what was asked, the sound server
// stopped, the run was interrupted, or the backend is not PipeWire.
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
#include "support/paths.h"
#include "support/termination_signals.h"
#include "tools/common/tool_args.h"

namespace {

using namespace choralink::pipewire;
using choralink::tools::kExitFailure;
using choralink::tools::kExitNotInStep;
using choralink::tools::kExitOK;
using choralink::tools::kExitUsage;
using choralink::tools::UsageError;

constexpr double kTimeout = 5.0;
// Heard further apart than this (frames, the delays taken out) is not in step.
constexpr double kInStepFrames = 1.0;
constexpr int kMaxDelayMs = 500;

// A run that must end before it is done, with the sentence to print and the
// exit status. Thrown from the waits; everything made so far is undone by
// its owner on the way out.
struct Abort {
  int status;
  std::string message;
};

// What ends a run early: a termination signal, the sound server going away
// (the platform's "srvl"), or the broadcast stopping under the router.
class Watch {
 public:
  Watch(choralink::TerminationSignals& signals, choralink::AudioSystem& system, PwThreadLoop& loop)
      : signals_(signals), system_(system), loop_(loop) {}

  void follow(choralink::AudioRouter* router) { router_ = router; }

  // Throws Abort when the run must end.
  void check() {
    using namespace choralink;
    if (const auto signal = signals_.received()) {
      throw Abort{kExitFailure, "interrupted by signal " + std::to_string(*signal)};
    }
    if (router_ != nullptr) {
      for (const EngineEvent& event : router_->events().takeBuffered()) {
        const auto* stopped = event.as<EngineEvent::Stopped>();
        if (stopped == nullptr) continue;
        if (stopped->reason.kind() == StopReason::Kind::serviceGone) {
          throw Abort{kExitFailure, kSoundServerStoppedMessage};
        }
        throw Abort{kExitFailure, "the broadcast stopped: " + describe(stopped->reason)};
      }
    }
    if (HAL::get<std::uint32_t>(system_, kSystemObject, kPropServiceIsAlive, kScopeGlobal, 1) ==
        0) {
      throw Abort{kExitFailure, kSoundServerStoppedMessage};
    }
  }

  // Polls `done` (with the loop lock held) until it holds or `seconds` have
  // passed, checking between polls; false on time-out.
  bool waitFor(const std::function<bool()>& done, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      check();
      {
        PwLock lock(loop_);
        if (done()) return true;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

 private:
  choralink::TerminationSignals& signals_;
  choralink::AudioSystem& system_;
  PwThreadLoop& loop_;
  choralink::AudioRouter* router_ = nullptr;
};

// What the command line asked for.
struct Request {
  std::string command;
  std::vector<std::string> uids;
  std::map<std::string, int> delaysMs;
};

Request parseArguments(int argc, char** argv) {
  Request request;
  if (argc < 2) throw UsageError("no command given");
  request.command = argv[1];
  if (request.command != "list" && request.command != "clicks" && request.command != "broadcast") {
    throw UsageError("unknown command \"" + request.command + "\"");
  }
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (request.command == "list") throw UsageError("list takes no arguments");
    if (arg == "--delay") {
      if (i + 1 >= argc) throw UsageError("--delay needs UID=MS");
      const auto [uid, ms] = choralink::tools::keyValue(argv[++i], "--delay");
      if (request.delaysMs.count(uid) != 0) throw UsageError("--delay for " + uid + " twice");
      request.delaysMs[uid] = static_cast<int>(
          choralink::tools::wholeNumber(ms, 0, kMaxDelayMs, "the delay of " + uid));
    } else if (arg.starts_with("-")) {
      throw UsageError("unknown option \"" + arg + "\"");
    } else {
      if (std::find(request.uids.begin(), request.uids.end(), arg) != request.uids.end()) {
        throw UsageError("sink " + arg + " is named twice");
      }
      request.uids.push_back(arg);
    }
  }
  if (!request.uids.empty()) {
    for (const auto& [uid, ms] : request.delaysMs) {
      if (std::find(request.uids.begin(), request.uids.end(), uid) == request.uids.end()) {
        throw UsageError("--delay for " + uid + ", which is not among the sinks named");
      }
    }
  }
  return request;
}

// Every UID the request names must be a sink of the graph (not one of ours).
void checkNamesExist(PwGraph& graph, const Request& request) {
  std::vector<std::string> sinks;
  {
    PwLock lock(graph.loop());
    const GraphClock clock = graphClock(graph);
    for (const auto& node : graph.sinks()) {
      const SinkFacts f = describeSink(node, clock);
      if (!f.ours) sinks.push_back(f.uid);
    }
  }
  std::vector<std::string> named = request.uids;
  for (const auto& [uid, ms] : request.delaysMs)
    named.push_back(uid);
  for (const auto& uid : named) {
    if (std::find(sinks.begin(), sinks.end(), uid) == sinks.end()) {
      throw UsageError("there is no sink " + uid + " (choralink-pw list shows them)");
    }
  }
}
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

long firstClick(const std::vector<float>& samples);

// A recorded frame's place in the recording by the graph clock: cycles the
// recorder missed (this process stalled, say) leave no frames, so the
// recording's index would put everything after them too early.
long onClock(const PwRecorder& recorder, long index) {
  if (index < 0) return -1;
  return static_cast<long>(recorder.clockAt(static_cast<size_t>(index)) - recorder.clockAt(0));
}

// Whether the sink `uid` drove the graph in the cycle that recorded `frame`.
// Asked per frame: after a stall the graph may pick another driver while
// the recording runs, and the one at the end says nothing about the click.
bool drivingSink(PwGraph& graph, const PwRecorder& recorder, const std::string& uid, long frame) {
  PwLock lock(graph.loop());
  const auto node = graph.nodeByName(uid);
  return node && node->id == recorder.driverAt(static_cast<size_t>(frame));
}

// The aggregate of `clicks` and what runs on it, undone on every way out.
struct ClickRun {
  choralink::PipeWireAudioSystem& system;
  choralink::AudioObjectID aggregate = 0;
  choralink::IOProcID proc = choralink::kNoIOProc;
  cl_render* render = nullptr;
  ~ClickRun() {
    if (proc != choralink::kNoIOProc) {
      system.stopDevice(aggregate, proc);
      system.destroyIOProcID(aggregate, proc);
    }
    if (aggregate != 0) system.destroyAggregateDevice(aggregate);
    if (render != nullptr) cl_render_destroy(render);
  }
};

// The sinks a run plays on: the named ones, or every non-virtual sink when
// none is named; never our own.
std::vector<SinkFacts> chosenSinks(choralink::PipeWireAudioSystem& system,
                                   const std::vector<std::string>& uids) {
  using namespace choralink;
  PwLock lock(system.loop());
  const GraphClock clock = graphClock(system.graph());
  std::vector<SinkFacts> chosen;
  for (const auto& node : system.graph().sinks()) {
    const SinkFacts f = describeSink(node, clock);
    const bool named = std::find(uids.begin(), uids.end(), f.uid) != uids.end();
    if (f.ours || (uids.empty() ? f.transport == kTransportVirtual : !named)) continue;
    chosen.push_back(f);
  }
  return chosen;
}

int clicks(choralink::PipeWireAudioSystem& system, Watch& watch,
           const std::vector<std::string>& uids, const std::map<std::string, int>& delaysMs) {
  using namespace choralink;
  PwGraph& graph = system.graph();
  PwThreadLoop& loop = system.loop();
  const std::vector<SinkFacts> chosen = chosenSinks(system, uids);
  if (chosen.empty() || chosen.size() > CL_MAX_SLOTS) {
    std::fprintf(stderr, "choralink-pw: %zu sinks chosen (1 to %d needed)\n", chosen.size(),
                 CL_MAX_SLOTS);
    return kExitFailure;
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
  ClickRun run{system};
  if (const HALStatus status = system.createAggregateDevice(description, run.aggregate)) {
    std::fprintf(stderr, "choralink-pw: create aggregate: %s\n", fourCC(status).c_str());
    return kExitFailure;
  }
  std::vector<uint32_t> joined;
  watch.waitFor(
      [&] {
        joined =
            HAL::getArray<uint32_t>(system, run.aggregate, kPropActiveSubDevices, kScopeGlobal);
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
  if (joined.empty()) return kExitFailure;

  const double rate = HAL::get<double>(system, run.aggregate, kPropNominalSampleRate, kScopeGlobal);
  run.render = cl_render_create(static_cast<int32_t>(layouts.size()), layouts.data(),
                                cl_input_layout{-1, 0}, static_cast<int32_t>(rate), rate);
  if (run.render == nullptr) return kExitFailure;
  std::vector<long> wantedFrames;
  for (size_t d = 0; d < joinedUIDs.size(); ++d) {
    const auto it = delaysMs.find(joinedUIDs[d]);
    const int ms = it != delaysMs.end() ? it->second : 0;
    wantedFrames.push_back(std::lround(rate * ms / 1000.0));
    cl_render_set_delay_frames(run.render, static_cast<int32_t>(d),
                               static_cast<int32_t>(wantedFrames.back()));
  }
  system.createIOProcID(run.aggregate, cl_ioproc_ptr, run.render, run.proc);
  system.startDevice(run.aggregate, run.proc);

  // What each sink was given, from its monitor (the left channel only).
  std::vector<PwDspPort> recorderPorts;
  for (const auto& uid : joinedUIDs)
    recorderPorts.push_back({uid, "FL"});
  PwRecorder recorder(loop, "choralink.check.recorder", recorderPorts,
                      static_cast<size_t>(rate * kRecordSeconds));
  PwLinks links = linkMonitors(loop, graph, recorder, joinedUIDs);
  if (!watch.waitFor([&] { return allActive(links) && links.size() == joinedUIDs.size(); },
                     kTimeout)) {
    std::fprintf(stderr, "choralink-pw: the monitors could not be recorded\n");
    return kExitFailure;
  }
  // A quarter second of rendered cycles lets gains and delays settle.
  const uint64_t start = cl_render_heartbeat(run.render);
  watch.waitFor(
      [&] {
        const uint64_t frames = recorder.filter().lastFrames();
        return frames > 0 && (cl_render_heartbeat(run.render) - start) * frames >= rate / 4;
      },
      kTimeout);
  recorder.arm();
  watch.waitFor([&] { return recorder.frames() > 0; }, kTimeout);
  cl_render_trigger_test_tone(run.render);
  watch.waitFor([&] { return recorder.full(); }, kRecordSeconds + kTimeout);
  // Nothing measured after a loss counts.
  watch.check();
  // The sink that drives the graph hands its monitor what it was given one
  // cycle later than the others do; take that cycle back out.
  std::vector<long> arrivals;
  std::vector<bool> drove;
  long earliest = -1;
  for (size_t d = 0; d < joinedUIDs.size(); ++d) {
    const long index = firstClick(recorder.channel(d));
    drove.push_back(index >= 0 && drivingSink(graph, recorder, joinedUIDs[d], index));
    long at = onClock(recorder, index);
    if (drove.back()) at -= recorder.quantumAt(static_cast<size_t>(index));
    arrivals.push_back(at);
    if (at >= 0 && (earliest < 0 || at < earliest)) earliest = at;
  }
  int status = kExitOK;
  std::vector<long> heard;
  for (size_t d = 0; d < joinedUIDs.size(); ++d) {
    if (arrivals[d] < 0) {
      std::printf("%s: no click recorded\n", joinedUIDs[d].c_str());
      status = kExitFailure;
      continue;
    }
    const long lag = arrivals[d] - earliest;
    heard.push_back(arrivals[d] - wantedFrames[d]);
    std::printf("%s: first click +%ld frames (%.1f ms)%s\n", joinedUIDs[d].c_str(), lag,
                1000.0 * static_cast<double>(lag) / rate, drove[d] ? " [drives the graph]" : "");
  }
  if (status == kExitOK && !heard.empty()) {
    const auto [lo, hi] = std::minmax_element(heard.begin(), heard.end());
    if (static_cast<double>(*hi - *lo) > kInStepFrames) {
      std::fprintf(stderr, "choralink-pw: not in step: %ld frames apart, the delays taken out\n",
                   *hi - *lo);
      status = kExitNotInStep;
    }
  }
  return status;
}

// The first sample above the click threshold, -1 when there is none.
long firstClick(const std::vector<float>& samples) {
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::fabs(samples[i]) > kClickThreshold) return static_cast<long>(i);
  }
  return -1;
}

int broadcast(choralink::PipeWireAudioSystem& system, Watch& watch,
              const std::vector<std::string>& uids, const std::map<std::string, int>& delaysMs) {
  using namespace choralink;
  PwGraph& graph = system.graph();
  PwThreadLoop& loop = system.loop();

  // The engine's log goes to a scratch folder that goes with the run (its
  // warnings and errors also to standard error); the rate journal is the
  // application's own, so that a run after a crash finds it.
  tools::ScratchFolder scratch("choralink-pw");
  Log log(scratch.path() / "engine.log", [](LogLevel level, std::string_view message) {
    if (level != LogLevel::info) {
      std::fprintf(stderr, "choralink-pw: engine: %.*s\n", static_cast<int>(message.size()),
                   message.data());
    }
  });
  AudioRouter::Environment environment(system);
  environment.log = &log;
  environment.rateJournal = Paths::rateRestoreFile();
  environment.isLaptop = false;
  AudioRouter router(environment);
  watch.follow(&router);
  // However this ends, the router goes before the log and the scratch folder.
  struct Unfollow {
    Watch& watch;
    AudioRouter& router;
    ~Unfollow() {
      watch.follow(nullptr);
      router.shutdownSync(kTimeout);
    }
  } unfollow{watch, router};

  BroadcastConfig config;
  for (const SinkFacts& f : chosenSinks(system, uids)) {
    const auto delay = delaysMs.find(f.uid);
    config.devices.push_back(
        DeviceConfig{f.uid, 1.0f, delay != delaysMs.end() ? delay->second : 0, false});
  }
  auto started = router.start(config);
  const auto startDeadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(kTimeout);
  while (started.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
    watch.check();
    if (std::chrono::steady_clock::now() > startDeadline) {
      std::fprintf(stderr, "choralink-pw: the broadcast did not start in time\n");
      return kExitFailure;
    }
  }
  try {
    started.get();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "choralink-pw: the broadcast did not start: %s\n", e.what());
    return kExitFailure;
  }
  const auto delays = router.delayBreakdown();
  if (!router.isRunning() || delays.empty()) {
    std::fprintf(stderr, "choralink-pw: nothing to broadcast to (%zu sinks chosen)\n",
                 config.devices.size());
    return kExitFailure;
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
  double broadcastRate = 0;
  {
    PwLock lock(loop);
    broadcastRate = graphClock(graph).rate;
  }

  std::vector<PwDspPort> recorderPorts;
  for (const auto& uid : playing)
    recorderPorts.push_back({uid, "FL"});
  PwRecorder recorder(loop, "choralink.check.recorder", recorderPorts,
                      static_cast<size_t>(broadcastRate / 2) + static_cast<size_t>(longest));
  PwLinks links = linkMonitors(loop, graph, recorder, playing);
  if (!watch.waitFor([&] { return allActive(links) && links.size() == playing.size(); },
                     kTimeout)) {
    std::fprintf(stderr, "choralink-pw: the monitors could not be recorded\n");
    return kExitFailure;
  }
  // A quarter second of rendered cycles lets gains and delays settle.
  const uint64_t start = router.heartbeat();
  watch.waitFor(
      [&] {
        const uint64_t frames = recorder.filter().lastFrames();
        return frames > 0 && (router.heartbeat() - start) * frames >= broadcastRate / 4;
      },
      kTimeout);
  recorder.arm();
  watch.waitFor([&] { return recorder.frames() > 0; }, kTimeout);
  router.playTestTone();
  watch.waitFor([&] { return recorder.full(); }, kTimeout + 2.0);
  // Nothing measured after a loss (or a stop) counts.
  watch.check();

  // As in `clicks`: the driving sink's monitor runs one cycle late.
  std::printf("broadcast at %.0f Hz, %zu sink(s)\n", broadcastRate, playing.size());
  std::printf("%-22s %14s %8s %8s %12s %12s\n", "sink", "latency", "offset", "delay", "at sink",
              "heard");
  int status = kExitOK;
  std::vector<double> heard;
  for (size_t d = 0; d < playing.size(); ++d) {
    const std::string& uid = playing[d];
    const long index = firstClick(recorder.channel(d));
    long at = onClock(recorder, index);
    if (index >= 0 && drivingSink(graph, recorder, uid, index)) {
      at -= recorder.quantumAt(static_cast<size_t>(index));
    }
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
      status = kExitFailure;
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
    std::printf("spread of the heard first click (user delays taken out): %.2f frames (%.3f ms)\n",
                *hi - *lo, 1000.0 * (*hi - *lo) / broadcastRate);
    if (status == kExitOK && *hi - *lo > kInStepFrames) {
      std::fprintf(stderr, "choralink-pw: not in step\n");
      status = kExitNotInStep;
    }
  }
  return status;
}

void usage(std::FILE* out) {
  std::fprintf(out,
               "usage: choralink-pw list\n"
               "       choralink-pw clicks [--delay UID=MS]... [UID]...\n"
               "       choralink-pw broadcast [--delay UID=MS]... [UID]...\n"
               "\n"
               "UIDs are sink names as `list` shows them, each at most once; MS is a\n"
               "whole number of milliseconds from 0 to %d, at most once per sink.\n"
               "\n"
               "Exit status: 0 in step (within one frame, the delays taken out), 3 not\n"
               "in step, 2 usage error (nothing done), 1 runtime failure (no daemon,\n"
               "the sound server stopped, interrupted, or the backend is not PipeWire).\n",
               kMaxDelayMs);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    usage(stdout);
    return kExitOK;
  }
  Request request;
  try {
    request = parseArguments(argc, argv);
    choralink::parseAudioBackendRequest(std::getenv(choralink::kAudioBackendVariable));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "choralink-pw: %s\n", e.what());
    usage(stderr);
    return kExitUsage;
  }
  try {
    // Installed before anything of ours is in the graph: from here on a
    // signal ends the run through the normal teardown.
    choralink::TerminationSignals signals;
    std::unique_ptr<choralink::AudioBackend> backend = choralink::openAudioBackend();
    choralink::PipeWireAudioSystem* system = backend->pipewire();
    if (system == nullptr) {
      std::fprintf(
          stderr,
          "choralink-pw: %s Nothing to check here (choralink-sim runs the simulated machine).\n",
          backend->note().c_str());
      return kExitFailure;
    }
    try {
      checkNamesExist(system->graph(), request);
    } catch (const UsageError& e) {
      std::fprintf(stderr, "choralink-pw: %s\n", e.what());
      return kExitUsage;
    }
    Watch watch(signals, *system, system->loop());
    try {
      if (request.command == "list") {
        PwLock lock(system->loop());
        return list(system->graph());
      }
      if (request.command == "clicks") {
        return clicks(*system, watch, request.uids, request.delaysMs);
      }
      return broadcast(*system, watch, request.uids, request.delaysMs);
    } catch (const Abort& abort) {
      std::fprintf(stderr, "choralink-pw: %s\n", abort.message.c_str());
      return abort.status;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "choralink-pw: %s\n", e.what());
    return kExitFailure;
  }
}
