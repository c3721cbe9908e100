#include "engine/hal/pipewire/pw_ports.h"

#include <algorithm>

namespace choralink::pipewire {

namespace {

std::vector<PwPort> select(const std::vector<PwPort>& ports, bool output, std::string_view prefix) {
  std::vector<PwPort> result;
  for (const auto& port : ports) {
    if (port.output == output && std::string_view(port.name).starts_with(prefix)) {
      result.push_back(port);
    }
  }
  return result;
}

}  // namespace

std::vector<PwPort> playbackPorts(const std::vector<PwPort>& ports) {
  std::vector<PwPort> result;
  for (const auto& port : ports) {
    if (!port.output && !port.monitor) result.push_back(port);
  }
  return result;
}

std::vector<PwPort> monitorPorts(const std::vector<PwPort>& ports) {
  std::vector<PwPort> result;
  for (const auto& port : ports) {
    if (port.output && port.monitor) result.push_back(port);
  }
  return result;
}

std::vector<PwPort> inputPorts(const std::vector<PwPort>& ports, std::string_view prefix) {
  return select(ports, false, prefix);
}

std::vector<PwPort> outputPorts(const std::vector<PwPort>& ports, std::string_view prefix) {
  return select(ports, true, prefix);
}

std::vector<PortPair> pairPorts(const std::vector<PwPort>& outputs,
                                const std::vector<PwPort>& inputs) {
  std::vector<PortPair> pairs;
  std::vector<bool> outputUsed(outputs.size(), false);
  std::vector<bool> inputUsed(inputs.size(), false);
  for (size_t o = 0; o < outputs.size(); ++o) {
    if (outputs[o].channel.empty()) continue;
    for (size_t i = 0; i < inputs.size(); ++i) {
      if (!inputUsed[i] && inputs[i].channel == outputs[o].channel) {
        pairs.push_back({outputs[o], inputs[i]});
        outputUsed[o] = inputUsed[i] = true;
        break;
      }
    }
  }
  size_t i = 0;
  for (size_t o = 0; o < outputs.size(); ++o) {
    if (outputUsed[o]) continue;
    while (i < inputs.size() && inputUsed[i])
      ++i;
    if (i == inputs.size()) break;
    pairs.push_back({outputs[o], inputs[i]});
    inputUsed[i] = true;
  }
  return pairs;
}

}  // namespace choralink::pipewire
