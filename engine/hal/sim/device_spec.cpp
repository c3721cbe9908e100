#include "engine/hal/sim/device_spec.h"

#include <cmath>
#include <numeric>

namespace choralink::sim {

std::uint32_t DeviceSpec::outputChannels() const {
  return std::accumulate(outputStreams.begin(), outputStreams.end(), std::uint32_t{0});
}

std::uint32_t DeviceSpec::reportedOutputLatencyFrames() const {
  const std::uint32_t stream = outputStreams.empty() ? 0 : streamLatencyFrames;
  return latencyFrames + safetyOffsetFrames + bufferFrameSize + stream;
}

double DeviceSpec::outputLatencySeconds() const {
  if (!(nominalRate > 0)) return 0;
  return (static_cast<double>(reportedOutputLatencyFrames()) + hiddenLatencyFrames) / nominalRate;
}

std::vector<ValueRange> DeviceSpec::rateRanges() const {
  if (!availableRates.empty()) return availableRates;
  return {ValueRange{nominalRate, nominalRate}};
}

bool DeviceSpec::supportsRate(double rate) const {
  for (const ValueRange& range : rateRanges()) {
    if (rate >= range.mMinimum - 0.5 && rate <= range.mMaximum + 0.5) return true;
  }
  return false;
}

std::vector<ValueRange> discreteRates(std::initializer_list<double> rates) {
  std::vector<ValueRange> out;
  for (double r : rates)
    out.push_back(ValueRange{r, r});
  return out;
}

}  // namespace choralink::sim
