#include "engine/hal/pipewire/pw_device_facts.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "engine/hal/pipewire/pw_virtual_sink.h"

namespace choralink::pipewire {

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool contains(const std::string& haystack, std::string_view needle) {
  return haystack.find(needle) != std::string::npos;
}

bool isTrue(const std::string& value) {
  return value == "true" || value == "1";
}

uint32_t clampFrames(int64_t frames) {
  if (frames < 0) return 0;
  if (frames > static_cast<int64_t>(UINT32_MAX)) return UINT32_MAX;
  return static_cast<uint32_t>(frames);
}

std::optional<double> positiveNumber(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const auto value = parseInteger(*text);
  if (!value || *value <= 0) return std::nullopt;
  return static_cast<double>(*value);
}

}  // namespace

GraphClock graphClockFrom(const std::optional<std::string>& rate,
                          const std::optional<std::string>& quantum,
                          const std::optional<std::string>& forceRate,
                          const std::optional<std::string>& forceQuantum,
                          const std::optional<std::string>& allowedRates) {
  GraphClock clock;
  if (auto r = positiveNumber(forceRate)) {
    clock.rate = *r;
  } else if (auto plain = positiveNumber(rate)) {
    clock.rate = *plain;
  }
  if (auto q = positiveNumber(forceQuantum)) {
    clock.quantum = static_cast<uint32_t>(*q);
  } else if (auto plain = positiveNumber(quantum)) {
    clock.quantum = static_cast<uint32_t>(*plain);
  }
  if (allowedRates) {
    for (const auto& item : parsePositions(*allowedRates)) {
      if (auto r = positiveNumber(item)) clock.allowedRates.push_back(*r);
    }
  }
  return clock;
}

GraphClock graphClock(const PwGraph& graph) {
  return graphClockFrom(graph.metadataValue("settings", "clock.rate"),
                        graph.metadataValue("settings", "clock.quantum"),
                        graph.metadataValue("settings", "clock.force-rate"),
                        graph.metadataValue("settings", "clock.force-quantum"),
                        graph.metadataValue("settings", "clock.allowed-rates"));
}

uint32_t transportOf(const PwNode& node) {
  const std::string api = lower(node.prop("device.api"));
  const std::string bus = lower(node.prop("device.bus"));
  const std::string formFactor = lower(node.prop("device.form-factor"));

  // Bluetooth first: a Bluetooth sink may also carry USB or PCI bus texts of
  // its adapter. LE Audio sinks use the BAP profiles.
  if (api == "bluez5" || bus == "bluetooth") {
    const std::string profile = lower(node.prop("api.bluez5.profile"));
    return profile.starts_with("bap") ? kTransportBluetoothLE : kTransportBluetooth;
  }
  if (api == "raop" || node.name().starts_with("raop_sink")) return kTransportAirPlay;
  // No device behind the node: null sinks, loopbacks, filters made by users.
  if (isTrue(node.prop("node.virtual")) || (api.empty() && bus.empty())) return kTransportVirtual;
  if (bus == "hdmi") return kTransportHDMI;
  if (bus == "displayport") return kTransportDisplayPort;
  // ALSA names HDMI and DisplayPort outputs in the profile or the PCM name;
  // the two share one driver and cannot be told apart, so both read as HDMI.
  const std::string hints =
      lower(node.prop("device.profile.name") + " " + node.prop("device.profile.description") + " " +
            node.prop("api.alsa.pcm.name") + " " + node.name());
  if (contains(hints, "hdmi")) return kTransportHDMI;
  if (contains(hints, "displayport")) return kTransportDisplayPort;
  if (bus == "usb") return kTransportUSB;
  if (bus == "thunderbolt") return kTransportThunderbolt;
  if (bus == "firewire" || bus == "ieee1394") return kTransportFireWire;
  if (bus == "pci" || bus == "platform" || bus == "isa") {
    // On-board codecs (laptops' speakers, desktops' jacks) sit on these
    // buses and say so with these form factors or none at all.
    if (formFactor.empty() || formFactor == "internal" || formFactor == "speaker" ||
        formFactor == "handset" || formFactor == "computer") {
      return kTransportBuiltIn;
    }
    return kTransportPCI;
  }
  return kTransportUnknown;
}

namespace {

SinkFacts describeNode(const PwNode& node, const GraphClock& clock, bool source) {
  SinkFacts facts;
  facts.source = source;
  facts.nodeId = node.id;
  facts.uid = node.name();
  facts.name = node.description();
  if (facts.name.empty()) facts.name = node.prop("node.nick");
  if (facts.name.empty()) facts.name = facts.uid;
  facts.transport = transportOf(node);
  facts.ours = isTrue(node.prop(kOwnedNodeProperty));

  // Rates.
  const AudioFormat* offered = node.enumFormats.empty() ? nullptr : &node.enumFormats.front();
  if (source) {
    facts.nominalRate = clock.rate;
  } else if (node.format && node.format->rate > 0) {
    facts.nominalRate = node.format->rate;
  } else if (auto rate = parseInteger(node.prop("audio.rate")); rate && *rate > 0) {
    facts.nominalRate = static_cast<double>(*rate);
  } else if (offered != nullptr && offered->rates.size() == 1 &&
             offered->rates[0].min == offered->rates[0].max && offered->rates[0].min > 0) {
    facts.nominalRate = offered->rates[0].min;
  } else {
    facts.nominalRate = clock.rate;
  }
  for (const auto& format : node.enumFormats) {
    if (source) break;
    for (const auto& range : format.rates) {
      if (std::find(facts.availableRates.begin(), facts.availableRates.end(), range) ==
          facts.availableRates.end()) {
        facts.availableRates.push_back(range);
      }
    }
  }
  if (facts.availableRates.empty())
    facts.availableRates.push_back({facts.nominalRate, facts.nominalRate});

  // Channels.
  if (node.format && !node.format->positions.empty()) {
    facts.positions = node.format->positions;
  } else if (offered != nullptr && !offered->positions.empty()) {
    facts.positions = offered->positions;
  } else {
    facts.positions = parsePositions(node.prop("audio.position"));
  }
  if (facts.positions.empty()) {
    uint32_t channels = node.format ? node.format->channels : 0;
    if (channels == 0 && offered != nullptr) channels = offered->channels;
    if (channels == 0) {
      const auto fromProp = parseInteger(node.prop("audio.channels"));
      channels = fromProp && *fromProp > 0 ? static_cast<uint32_t>(*fromProp) : 0;
    }
    for (uint32_t c = 0; c < channels; ++c)
      facts.positions.push_back("AUX" + std::to_string(c));
  }
  (source ? facts.inputStreams : facts.outputStreams).assign(facts.positions.size(), 1);
  const auto left = std::find(facts.positions.begin(), facts.positions.end(), "FL");
  const auto right = std::find(facts.positions.begin(), facts.positions.end(), "FR");
  if (left != facts.positions.end() && right != facts.positions.end()) {
    facts.stereoLeft = static_cast<uint32_t>(left - facts.positions.begin()) + 1;
    facts.stereoRight = static_cast<uint32_t>(right - facts.positions.begin()) + 1;
  } else if (facts.positions.size() == 1) {
    facts.stereoLeft = facts.stereoRight = 1;
  }

  // Latency, all in frames at the device's rate.
  const double deviceRate = facts.nominalRate > 0 ? facts.nominalRate : clock.rate;
  if (auto requested = parseQuantumFraction(node.prop("node.latency"), deviceRate)) {
    facts.bufferFrames = clampFrames(*requested);
  } else {
    facts.bufferFrames =
        clampFrames(std::llround(static_cast<double>(clock.quantum) * deviceRate / clock.rate));
  }
  int64_t latency = 0;
  bool reported = false;
  if (node.processLatency) {
    latency += latencyFrames(*node.processLatency, facts.bufferFrames, deviceRate);
    reported = true;
  }
  int64_t downstream = 0;
  for (const auto& value : node.latency) {
    // A sink's delay lies downstream of its input ports, a source's
    // upstream of its output ports.
    if (value.input == source) continue;
    downstream = std::max(downstream, latencyFrames(value, facts.bufferFrames, deviceRate));
    reported = true;
  }
  latency += downstream;
  if (!reported || latency == 0) {
    // Null sinks and some drivers report nothing; ALSA nodes state their
    // extra delay in these properties.
    const auto frames = parseInteger(node.prop("latency.internal.rate"));
    const auto ns = parseInteger(node.prop("latency.internal.ns"));
    latency = (frames ? *frames : 0) +
              (ns ? std::llround(static_cast<double>(*ns) * deviceRate / 1e9) : 0);
  }
  facts.latencyFrames = clampFrames(latency);
  const auto headroom = parseInteger(node.prop("api.alsa.headroom"));
  facts.safetyOffsetFrames = headroom ? clampFrames(*headroom) : 0;
  facts.streamLatencyFrames = 0;

  facts.alive = node.hasInfo && node.state != PwNodeState::error;
  facts.running = node.state == PwNodeState::running;
  facts.hidden = false;
  return facts;
}

}  // namespace

SinkFacts describeSink(const PwNode& node, const GraphClock& clock) {
  return describeNode(node, clock, false);
}

SinkFacts describeSource(const PwNode& node, const GraphClock& clock) {
  return describeNode(node, clock, true);
}

}  // namespace choralink::pipewire
