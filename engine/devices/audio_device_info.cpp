#include "engine/devices/audio_device_info.h"

#include <algorithm>
#include <ostream>

namespace choralink {

std::string_view rawValue(SupportStatus status) {
  return status == SupportStatus::supported ? "supported" : "airPlayUnsupported";
}

std::optional<SupportStatus> supportStatusFromRaw(std::string_view raw) {
  if (raw == "supported") return SupportStatus::supported;
  if (raw == "airPlayUnsupported") return SupportStatus::airPlayUnsupported;
  return std::nullopt;
}

double AudioDeviceInfo::latencyMs() const {
  if (!(nominalRate > 0)) return 0;
  return static_cast<double>(latencyFrames) * 1000.0 / nominalRate;
}

bool operator==(const AudioDeviceInfo& a, const AudioDeviceInfo& b) {
  return a.uid == b.uid && a.objectID == b.objectID && a.name == b.name &&
         a.transport == b.transport && a.outputChannels == b.outputChannels &&
         a.nominalRate == b.nominalRate && a.isDefaultOutput == b.isDefaultOutput &&
         a.latencyFrames == b.latencyFrames && a.stereoPair == b.stereoPair &&
         a.supportStatus == b.supportStatus;
}

bool isAdmitted(std::string_view uid, int outputChannels, bool hidden, bool alive,
                Transport transport) {
  if (uid.empty() || outputChannels < 1 || hidden || !alive) return false;
  if (uid.substr(0, kOwnAggregateUIDPrefix.size()) == kOwnAggregateUIDPrefix) return false;
  return transport != Transport::aggregate && transport != Transport::virtual_;
}

std::vector<double> standardRatesIn(const std::vector<ValueRange>& ranges) {
  std::vector<double> rates;
  for (double rate : kStandardRates) {
    const bool inside = std::any_of(ranges.begin(), ranges.end(), [rate](const ValueRange& r) {
      return r.mMinimum <= rate && rate <= r.mMaximum;
    });
    if (inside) rates.push_back(rate);
  }
  return rates;  // kStandardRates is ascending and unique
}

StereoPair stereoPairFor(const std::vector<std::uint32_t>& preferred, int outputChannels) {
  if (preferred.size() == 2 && preferred[0] != 0 && preferred[1] != 0) {
    const auto larger = static_cast<std::int64_t>(std::max(preferred[0], preferred[1]));
    if (outputChannels >= larger) {
      return StereoPair{static_cast<int>(preferred[0]), static_cast<int>(preferred[1])};
    }
  }
  return StereoPair{1, std::min(outputChannels, 2)};
}

std::ostream& operator<<(std::ostream& out, const AudioDeviceInfo& d) {
  return out << "AudioDeviceInfo{" << d.uid << ", #" << d.objectID << ", \"" << d.name << "\", "
             << rawValue(d.transport) << ", " << rawValue(d.kind) << ", " << d.outputChannels
             << "ch, " << d.nominalRate << " Hz, default=" << d.isDefaultOutput << ", "
             << d.latencyFrames << " frames, (" << d.stereoPair.left << "," << d.stereoPair.right
             << "), " << rawValue(d.supportStatus) << "}";
}

}  // namespace choralink
