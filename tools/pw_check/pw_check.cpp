// choralink-pw: checks the PipeWire backend against the daemon this user's
// programs use (or the one PIPEWIRE_REMOTE names).
//
//   choralink-pw list
//       every sink, read as an output device (UID, transport, rate, channels,
//       latency), with the default output marked
//   choralink-pw clicks [--delay UID=MS]... [UID]...
//       plays the render core's six test clicks on the named sinks (all
//       non-virtual sinks when none is named) through one aggregate node,
//       records what each sink was given from its monitor, and prints where
//       the first click arrived on each, relative to the earliest
//
// Exit status: 0 on success, 1 on a usage error, 2 when the daemon or the
// graph did not do what was asked.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "engine/hal/pipewire/pw_aggregate.h"
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

std::string fourCC(uint32_t code) {
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
                fourCC(f.transport).c_str(), f.nominalRate, f.positions.size(), f.stereoLeft,
                f.stereoRight, f.bufferFrames, f.latencyFrames, f.safetyOffsetFrames,
                f.ours ? " (ours)" : "");
  }
  return 0;
}

int clicks(PwThreadLoop& loop, PwGraph& graph, std::vector<std::string> uids,
           const std::map<std::string, int>& delaysMs) {
  const GraphClock clock = graphClock(graph);
  std::vector<SinkFacts> chosen;
  for (const auto& node : graph.sinks()) {
    const SinkFacts f = describeSink(node, clock);
    const bool named = std::find(uids.begin(), uids.end(), f.uid) != uids.end();
    if (f.ours || (uids.empty() ? f.transport == choralink::kTransportVirtual : !named)) continue;
    chosen.push_back(f);
  }
  if (chosen.empty() || chosen.size() > CL_MAX_SLOTS) {
    std::fprintf(stderr, "choralink-pw: %zu sinks chosen (1 to %d needed)\n", chosen.size(),
                 CL_MAX_SLOTS);
    return 2;
  }

  PwAggregateSpec spec;
  spec.nodeName = "choralink.check";
  spec.captureChannels.clear();  // the clicks come from the render core itself
  for (const auto& f : chosen)
    spec.subDevices.push_back({f.uid, f.positions});
  PwAggregate aggregate(loop, spec);
  std::vector<PwDspPort> recorderPorts;
  for (const auto& f : chosen)
    recorderPorts.push_back({f.uid, f.positions.at(f.stereoLeft - 1)});
  const auto capacity = static_cast<size_t>(clock.rate * kRecordSeconds);
  PwRecorder recorder(loop, "choralink.check.recorder", recorderPorts, capacity);
  if (!aggregate.filter().waitForNode(kTimeout) || !recorder.filter().waitForNode(kTimeout)) {
    std::fprintf(stderr, "choralink-pw: our nodes did not appear\n");
    return 2;
  }
  const uint32_t aggregateNode = aggregate.filter().nodeId();
  const uint32_t recorderNode = recorder.filter().nodeId();
  graph.waitFor(
      [&] {
        return graph.ports(aggregateNode).size() == aggregate.outputStreams().size() &&
               graph.ports(recorderNode).size() == recorderPorts.size();
      },
      kTimeout);

  std::vector<cl_slot_layout> layouts;
  PwLinks links;
  for (size_t d = 0; d < chosen.size(); ++d) {
    const SinkFacts& f = chosen[d];
    cl_slot_layout layout{};
    layout.channel_count = static_cast<int32_t>(std::min<size_t>(f.positions.size(), 32));
    for (int32_t c = 0; c < layout.channel_count; ++c) {
      layout.channels[c] = {static_cast<int32_t>(aggregate.firstOutputStream(d)) + c, 0, 1};
    }
    layout.left = static_cast<int32_t>(f.stereoLeft) - 1;
    layout.right = static_cast<int32_t>(f.stereoRight) - 1;
    layouts.push_back(layout);

    const auto sinkPorts = graph.ports(f.nodeId);
    const std::string prefix = PwAggregate::outputPortName(d, "");
    for (auto& l : linkPairs(loop, pairPorts(outputPorts(graph.ports(aggregateNode), prefix),
                                             playbackPorts(sinkPorts))))
      links.push_back(std::move(l));
    auto monitor = monitorPorts(sinkPorts);
    auto input = inputPorts(graph.ports(recorderNode), f.uid);
    if (!monitor.empty() && !input.empty()) {
      // Only the left channel's monitor: one recorded channel per sink.
      std::vector<PwPort> left;
      for (const auto& p : monitor) {
        if (p.channel == input.front().channel) left.push_back(p);
      }
      if (left.empty()) left.push_back(monitor.front());
      links.push_back(std::make_unique<PwLink>(loop, left.front().nodeId, left.front().id,
                                               input.front().nodeId, input.front().id));
    }
  }
  const auto maxDelay = static_cast<int32_t>(clock.rate);
  cl_render* render = cl_render_create(static_cast<int32_t>(layouts.size()), layouts.data(),
                                       cl_input_layout{-1, 0}, maxDelay, clock.rate);
  if (render == nullptr) return 2;
  for (size_t d = 0; d < chosen.size(); ++d) {
    const auto it = delaysMs.find(chosen[d].uid);
    const int ms = it != delaysMs.end() ? it->second : 0;
    cl_render_set_delay_frames(render, static_cast<int32_t>(d),
                               static_cast<int32_t>(std::lround(clock.rate * ms / 1000.0)));
  }
  aggregate.setIoProc(cl_ioproc_ptr, render, 0);
  aggregate.start();
  int status = 0;
  if (!waitActive(loop, links, kTimeout)) {
    std::fprintf(stderr, "choralink-pw: not every link became active\n");
    status = 2;
  } else {
    // Let gains and delays settle (a quarter second of rendered frames)
    // before the clicks start.
    const uint64_t settled = aggregate.ioFrames() + static_cast<uint64_t>(clock.rate / 4);
    graph.waitFor([&] { return aggregate.ioFrames() >= settled; }, kTimeout);
    recorder.arm();
    graph.waitFor([&] { return recorder.frames() > 0; }, kTimeout);
    cl_render_trigger_test_tone(render);
    graph.waitFor([&] { return recorder.full(); }, kRecordSeconds + kTimeout);
    std::vector<long> arrivals;
    long earliest = -1;
    // The sink that drives the graph hands its monitor what it was given one
    // cycle later than the others do; take that cycle back out.
    const uint32_t driver = aggregate.filter().lastDriverId();
    const long quantum = static_cast<long>(aggregate.filter().lastFrames());
    for (size_t d = 0; d < chosen.size(); ++d) {
      const auto samples = recorder.channel(d);
      long at = -1;
      for (size_t i = 0; i < samples.size(); ++i) {
        if (std::fabs(samples[i]) > kClickThreshold) {
          at = static_cast<long>(i);
          break;
        }
      }
      if (at >= 0 && chosen[d].nodeId == driver) at -= quantum;
      arrivals.push_back(at);
      if (at >= 0 && (earliest < 0 || at < earliest)) earliest = at;
    }
    for (size_t d = 0; d < chosen.size(); ++d) {
      if (arrivals[d] < 0) {
        std::printf("%s: no click recorded\n", chosen[d].uid.c_str());
        status = 2;
        continue;
      }
      const long lag = arrivals[d] - earliest;
      std::printf("%s: first click +%ld frames (%.1f ms)%s\n", chosen[d].uid.c_str(), lag,
                  1000.0 * static_cast<double>(lag) / clock.rate,
                  chosen[d].nodeId == driver ? " [drives the graph]" : "");
    }
  }
  aggregate.stop();
  links.clear();
  cl_render_destroy(render);
  return status;
}

int usage() {
  std::fprintf(stderr,
               "usage: choralink-pw list\n"
               "       choralink-pw clicks [--delay UID=MS]... [UID]...\n");
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
  if (command != "list" && command != "clicks") return usage();
  try {
    PwThreadLoop loop;
    PwGraph graph(loop);
    if (!graph.settle(kTimeout)) {
      std::fprintf(stderr, "choralink-pw: the daemon did not answer\n");
      return 2;
    }
    return command == "list" ? list(graph) : clicks(loop, graph, uids, delays);
  } catch (const PwError& e) {
    std::fprintf(stderr, "choralink-pw: %s\n", e.what());
    return 2;
  }
}
