// How a PipeWire sink node reads as an output device of the platform model:
// the pure translation from a graph snapshot (PwNode plus the graph clock) to
// the values the device properties report. The backend's property reads are
// encodings of these facts; nothing here talks to the daemon.
//
// Mapping (the reasons are in the .cpp beside each rule):
//   UID                  node.name (stable across restarts of the daemon)
//   name                 node.description, else node.nick, else node.name
//   transport            from device.api / device.bus / device.form-factor and
//                        the node's HDMI hints; virtual for sinks without a
//                        device behind them (null sinks, node.virtual)
//   nominal rate         the negotiated Format's rate, else audio.rate, else a
//                        single EnumFormat rate, else the graph clock's rate
//   available rates      every rate or range EnumFormat offers, else nominal
//   output streams       one 1-channel stream per channel: PipeWire's DSP
//                        ports are mono, and the aggregate presents one mono
//                        buffer per port, so device and aggregate agree
//   stereo pair          the 1-based positions of FL and FR, else 1 and 2
//   buffer frame size    the node's requested quantum (node.latency) at the
//                        device rate, else the graph quantum scaled to it
//   latency              ProcessLatency plus the largest input-side Latency
//                        param, in frames at the device rate (Bluetooth nodes
//                        report their codec delay there); when the node
//                        reports none, latency.internal.rate/.ns properties
//   safety offset        api.alsa.headroom, else 0
//   stream latency       0 (already contained in the latency above)
//   alive / running      info known and not in error / state running
//   hidden               never
//
// A source node (microphone, line input, virtual source) reads as an input
// device by the same rules, with these differences:
//   input streams        one 1-channel stream per channel; no output streams
//   nominal rate         the graph clock's rate: captured samples reach us
//                        through the source's adapter, which resamples to the
//                        graph, so that is the rate its IO delivers
//   available rates      that rate alone
//   latency              ProcessLatency plus the largest output-side Latency
//                        param (how late captured sound leaves the node),
//                        else the latency.internal properties, as for sinks
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/hal/hal_codes.h"
#include "engine/hal/pipewire/pw_graph.h"
#include "engine/hal/pipewire/pw_params.h"

namespace choralink::pipewire {

// The graph's clock as the "settings" metadata states it.
struct GraphClock {
  double rate = 48000;
  uint32_t quantum = 1024;
  std::vector<double> allowedRates;  // empty: only `rate`
  bool operator==(const GraphClock&) const = default;
};
GraphClock graphClock(const PwGraph& graph);
// The same from the metadata texts (clock.rate, clock.quantum,
// clock.force-rate, clock.force-quantum, clock.allowed-rates); absent or
// unreadable values keep the defaults, non-zero forced values win.
GraphClock graphClockFrom(const std::optional<std::string>& rate,
                          const std::optional<std::string>& quantum,
                          const std::optional<std::string>& forceRate,
                          const std::optional<std::string>& forceQuantum,
                          const std::optional<std::string>& allowedRates);

struct SinkFacts {
  uint32_t nodeId = 0;
  std::string uid;
  std::string name;
  uint32_t transport = kTransportUnknown;
  double nominalRate = 0;
  std::vector<RateRange> availableRates;
  std::vector<std::string> positions;  // one per channel
  std::vector<uint32_t> outputStreams;
  std::vector<uint32_t> inputStreams;  // sources only
  uint32_t stereoLeft = 1;             // 1-based
  uint32_t stereoRight = 2;
  uint32_t bufferFrames = 0;
  uint32_t latencyFrames = 0;
  uint32_t safetyOffsetFrames = 0;
  uint32_t streamLatencyFrames = 0;
  bool alive = false;
  bool running = false;
  bool hidden = false;
  bool ours = false;    // created by this program (the "Choralink" virtual sink)
  bool source = false;  // an input device: streams, latency and offset in the input scope
  bool operator==(const SinkFacts&) const = default;
};

uint32_t transportOf(const PwNode& node);
SinkFacts describeSink(const PwNode& node, const GraphClock& clock);
SinkFacts describeSource(const PwNode& node, const GraphClock& clock);

}  // namespace choralink::pipewire
