// Port selection and pairing: which ports of a node to link, and how an
// output set meets an input set. Pure functions over graph snapshots.
#pragma once

#include <string_view>
#include <vector>

#include "engine/hal/pipewire/pw_graph.h"

namespace choralink::pipewire {

// A sink's playback ports (inputs that are not monitors), in port order.
std::vector<PwPort> playbackPorts(const std::vector<PwPort>& ports);
// A sink's monitor ports (outputs marked as monitor), in port order.
std::vector<PwPort> monitorPorts(const std::vector<PwPort>& ports);
// A node's input / output ports whose names begin with `prefix`.
std::vector<PwPort> inputPorts(const std::vector<PwPort>& ports, std::string_view prefix = {});
std::vector<PwPort> outputPorts(const std::vector<PwPort>& ports, std::string_view prefix = {});

struct PortPair {
  PwPort output;
  PwPort input;
};

// Pairs outputs with inputs: first every output with the input of the same
// channel position (each input used once), then the ports left over on both
// sides in their order. An output without a partner stays unlinked.
std::vector<PortPair> pairPorts(const std::vector<PwPort>& outputs,
                                const std::vector<PwPort>& inputs);

}  // namespace choralink::pipewire
