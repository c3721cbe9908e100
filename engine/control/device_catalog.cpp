#include "engine/control/device_catalog.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <utility>

#include "engine/devices/device_filter.h"
#include "engine/devices/device_kind.h"
#include "engine/devices/transport.h"
#include "engine/hal/hal.h"

namespace choralink {

namespace {

// An unreadable number counts as `fallback`.
std::uint32_t readU32(AudioSystem& system, AudioObjectID id, std::uint32_t selector,
                      std::uint32_t scope, std::uint32_t fallback) {
  try {
    return HAL::get<std::uint32_t>(system, id, selector, scope, fallback);
  } catch (const HALError&) {
    return fallback;
  }
}

}  // namespace

std::shared_ptr<DeviceCatalog> DeviceCatalog::create(AudioSystem& system, Executor& queue, Log& log,
                                                     bool isLaptop) {
  return std::shared_ptr<DeviceCatalog>(new DeviceCatalog(system, queue, log, isLaptop));
}

DeviceCatalog::DeviceCatalog(AudioSystem& system, Executor& queue, Log& log, bool isLaptop)
    : system_(system), queue_(queue), log_(log), isLaptop_(isLaptop) {}

DeviceCatalog::~DeviceCatalog() {
  stop();
}

void DeviceCatalog::start() {
  std::weak_ptr<DeviceCatalog> weak = weak_from_this();
  for (std::uint32_t selector : {kPropDevices, kPropDefaultOutputDevice}) {
    listeners_.emplace_back(system_, kSystemObject, selector, kScopeGlobal, queue_, [weak] {
      if (auto self = weak.lock()) self->scheduleRefresh();
    });
  }
  refreshNow();
}

void DeviceCatalog::stop() {
  // A refused registration is inactive, and remove() leaves it alone.
  for (PropertyListener& listener : listeners_)
    listener.remove();
  listeners_.clear();
  pending_.cancel();
  pending_ = {};
}

void DeviceCatalog::scheduleRefresh() {
  pending_.cancel();
  std::weak_ptr<DeviceCatalog> weak = weak_from_this();
  pending_ = queue_.postAfter(kRefreshDebounce, [weak] {
    if (auto self = weak.lock()) self->refreshNow();
  });
}

void DeviceCatalog::refreshNow() {
  std::vector<AudioDeviceInfo> list = enumerate(system_, isLaptop_);
  if (list == devices_) return;
  devices_ = list;
  log_.info(logLine(devices_));
  if (onChange_) onChange_(devices_);
}

std::string DeviceCatalog::logLine(const std::vector<AudioDeviceInfo>& devices) {
  std::string line = "Devices: ";
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const AudioDeviceInfo& d = devices[i];
    if (i > 0) line += "; ";
    line += d.name + " [" + std::string(label(d.transport)) + ", " +
            std::to_string(d.outputChannels) + "ch, " + Log::number(d.nominalRate) + " Hz, " +
            Log::number(d.latencyMs()) + " ms]";
  }
  return line;
}

std::vector<AudioDeviceInfo> DeviceCatalog::enumerate(AudioSystem& system, bool isLaptop) {
  const AudioObjectID defaultOutput =
      readU32(system, kSystemObject, kPropDefaultOutputDevice, kScopeGlobal, kUnknownObject);
  std::vector<AudioObjectID> ids;
  try {
    ids = HAL::getArray<std::uint32_t>(system, kSystemObject, kPropDevices, kScopeGlobal);
  } catch (const HALError&) {
    // No list: no devices.
  }
  std::vector<AudioDeviceInfo> devices;
  for (AudioObjectID id : ids) {
    if (auto device = describe(system, id, defaultOutput, isLaptop)) {
      devices.push_back(std::move(*device));
    }
  }
  DeviceFilter::sortDevices(devices);
  return devices;
}

std::optional<AudioDeviceInfo> DeviceCatalog::describe(AudioSystem& system, AudioObjectID id,
                                                       AudioObjectID defaultOutput, bool isLaptop) {
  // The reads run in a fixed order and stop at the first admission rule that
  // fails, so a device that is going away costs as few calls as possible.
  AudioDeviceInfo info;
  try {
    info.uid = HAL::getString(system, id, kPropDeviceUID);
  } catch (const HALError&) {
    return std::nullopt;
  }
  if (info.uid.empty()) return std::nullopt;

  const std::vector<int> streams = HAL::streamChannels(system, id, kScopeOutput);
  const std::int64_t channels = std::accumulate(streams.begin(), streams.end(), std::int64_t{0});
  const Transport transport =
      transportFromCode(readU32(system, id, kPropTransportType, kScopeGlobal, 0));
  const bool hidden = readU32(system, id, kPropIsHidden, kScopeGlobal, 0) != 0;
  const bool alive = readU32(system, id, kPropDeviceIsAlive, kScopeGlobal, 1) != 0;
  if (!alive) return std::nullopt;
  const int outputChannels =
      static_cast<int>(std::min<std::int64_t>(channels, std::numeric_limits<int>::max()));
  if (!isAdmitted(info.uid, outputChannels, hidden, alive, transport)) return std::nullopt;

  info.objectID = id;
  info.transport = transport;
  info.outputChannels = outputChannels;
  try {
    info.name = HAL::getString(system, id, kPropName);
  } catch (const HALError&) {
    info.name.clear();
  }
  // A device without a readable name is shown by its UID: a blank row in a
  // device list helps nobody.
  if (info.name.empty()) info.name = info.uid;
  try {
    info.nominalRate = HAL::get<double>(system, id, kPropNominalSampleRate, kScopeGlobal);
  } catch (const HALError&) {
    info.nominalRate = 0;
  }
  try {
    info.availableRates = standardRatesIn(
        HAL::getArray<ValueRange>(system, id, kPropAvailableNominalSampleRates, kScopeGlobal));
  } catch (const HALError&) {
    info.availableRates.clear();
  }
  std::vector<std::uint32_t> preferred;
  try {
    preferred =
        HAL::getArray<std::uint32_t>(system, id, kPropPreferredStereoChannels, kScopeOutput);
  } catch (const HALError&) {
    // The pair falls back to the first channels.
  }
  info.stereoPair = stereoPairFor(preferred, info.outputChannels);
  info.kind = guessDeviceKind(transport, info.name, isLaptop);
  info.latencyFrames = static_cast<int>(
      std::min<std::uint32_t>(outputLatencyFrames(system, id),
                              static_cast<std::uint32_t>(std::numeric_limits<int>::max())));
  info.isDefaultOutput = id == defaultOutput;
  info.supportStatus = supportStatusFor(transport);
  return info;
}

std::uint32_t DeviceCatalog::outputLatencyFrames(AudioSystem& system, AudioObjectID id) {
  std::uint32_t frames = readU32(system, id, kPropLatency, kScopeOutput, 0) +
                         readU32(system, id, kPropSafetyOffset, kScopeOutput, 0) +
                         readU32(system, id, kPropBufferFrameSize, kScopeOutput, 0);
  try {
    const auto streams = HAL::getArray<std::uint32_t>(system, id, kPropStreams, kScopeOutput);
    if (!streams.empty()) frames += readU32(system, streams.front(), kPropLatency, kScopeGlobal, 0);
  } catch (const HALError&) {
    // No stream list: the device's own figures stand.
  }
  return frames;
}

}  // namespace choralink
