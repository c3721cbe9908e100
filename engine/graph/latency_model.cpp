#include "engine/graph/latency_model.h"

#include <algorithm>
#include <cmath>

namespace choralink::LatencyModel {

int64_t msToFrames(int64_t ms, double rate) {
  return static_cast<int64_t>(std::round(rate * static_cast<double>(ms) / 1000.0));
}

std::map<std::string, Output> compute(const std::vector<Input>& inputs, double rate,
                                      int64_t maxFrames) {
  std::map<std::string, Output> result;
  if (inputs.empty()) return result;
  std::vector<int64_t> latency;
  latency.reserve(inputs.size());
  for (const Input& in : inputs) {
    latency.push_back(in.deviceRate > 0
                          ? static_cast<int64_t>(std::round(
                                rate * static_cast<double>(in.latencyFrames) / in.deviceRate))
                          : in.latencyFrames);
  }
  const int64_t slowest = *std::max_element(latency.begin(), latency.end());
  for (size_t i = 0; i < inputs.size(); ++i) {
    const int64_t pad = slowest - latency[i];
    const int64_t offset = msToFrames(std::max<int64_t>(inputs[i].userOffsetMs, 0), rate);
    const int64_t total = std::clamp<int64_t>(pad + offset, 0, std::max<int64_t>(maxFrames, 0));
    result[inputs[i].uid] = Output{pad, total};
  }
  return result;
}

}  // namespace choralink::LatencyModel
