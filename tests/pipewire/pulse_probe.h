// Measures where a sound lands: a one-sample stereo pulse is played into the
// captured sink, and the monitors of the output sinks are recorded, so a test
// can compare what each sink was given, sample for sample.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/hal/pipewire/pw_graph.h"
#include "engine/hal/pipewire/pw_runtime.h"

namespace choralink::pipewire::testing {

// The pulse: left and right sample values.
inline constexpr float kPulseLeft = 0.8f;
inline constexpr float kPulseRight = -0.4f;

// Where the pulse first showed on one sink's monitor (frames into the
// recording, -1: never), and with what value.
struct PulseArrival {
  long left = -1;
  long right = -1;
  float leftValue = 0;
  float rightValue = 0;
};

// A sink's ports, found by node name; none when there is no such node.
std::vector<PwPort> sinkPorts(const PwGraph& graph, const std::string& name);

// Plays the pulse into `capturedSink` and into virtual_mix (once, when they
// are the same; the highest driver priority, so it drives the graph and none
// of the recorded sinks does: a driving sink's monitor reads one cycle late)
// and records the monitors of `sinks` for `recordFrames`. Problems along the way fail the test
// through GoogleTest; what was not heard stays at -1.
std::map<std::string, PulseArrival> measurePulse(PwThreadLoop& loop, PwGraph& graph,
                                                 const std::string& capturedSink,
                                                 const std::vector<std::string>& sinks,
                                                 std::size_t recordFrames);

// Every sink in `expected` (UID → gain, delay in frames) got the pulse its
// delay after `reference` got it, minus the reference's own delay, on both
// channels, scaled by its gain.
void expectPulseArrivals(const std::map<std::string, PulseArrival>& heard,
                         const std::string& reference,
                         const std::map<std::string, std::pair<float, long>>& expected);

}  // namespace choralink::pipewire::testing
