// The simulated audio system's object graph: devices, taps, aggregates,
// properties, listeners and faults. IO lives in sim_io.cpp.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "engine/hal/alert_chime.h"
#include "engine/hal/sim/sim_impl.h"

namespace choralink::sim {

namespace {

constexpr double kTimeTolerance = 1e-9;

template <class T>
std::vector<std::byte> bytesOf(const T& value) {
  std::vector<std::byte> out(sizeof(T));
  std::memcpy(out.data(), &value, sizeof(T));
  return out;
}

template <class T>
std::vector<std::byte> bytesOfArray(const std::vector<T>& values) {
  std::vector<std::byte> out(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(out.data(), values.data(), out.size());
  return out;
}

PropertyValue fixedValue(std::vector<std::byte> bytes) {
  PropertyValue v;
  v.kind = PropertyValue::Kind::fixed;
  v.bytes = std::move(bytes);
  return v;
}

template <class T>
PropertyValue fixed(const T& value) {
  return fixedValue(bytesOf(value));
}

template <class T>
PropertyValue array(const std::vector<T>& values) {
  PropertyValue v;
  v.kind = PropertyValue::Kind::array;
  v.bytes = bytesOfArray(values);
  v.element = sizeof(T);
  return v;
}

PropertyValue string(std::optional<std::string> text) {
  PropertyValue v;
  v.kind = PropertyValue::Kind::string;
  v.text = std::move(text);
  return v;
}

std::int64_t secondsToFrame(double seconds, double rate) {
  const double frame = std::floor(seconds * rate);
  constexpr double kLimit = 4e18;
  if (!(frame > -kLimit)) return -static_cast<std::int64_t>(kLimit);
  if (!(frame < kLimit)) return static_cast<std::int64_t>(kLimit);
  return static_cast<std::int64_t>(frame);
}

std::vector<AudioObjectID> streamIDsFor(SimAudioSystem::Impl& impl, AudioObjectID owner,
                                        bool output, std::size_t count) {
  std::vector<AudioObjectID> ids;
  for (std::size_t i = 0; i < count; ++i) {
    const AudioObjectID id = impl.allocateID();
    impl.streams[id] = StreamObject{owner, output, static_cast<std::uint32_t>(i)};
    ids.push_back(id);
  }
  return ids;
}

void eraseStreams(SimAudioSystem::Impl& impl, const std::vector<AudioObjectID>& ids) {
  for (AudioObjectID id : ids)
    impl.streams.erase(id);
}

std::uint32_t tapStreamCount(const TapFormat& format, const TapDescription& description) {
  const std::uint32_t channels = description.mono ? 1 : std::max<std::uint32_t>(format.channels, 1);
  return format.splitStreams ? channels : 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Impl basics

SimAudioSystem::Impl::Impl(Executor& clockExecutor, SimOptions opts)
    : clock(clockExecutor), options(std::move(opts)) {
  if (options.ownPid == 0) options.ownPid = static_cast<std::int32_t>(::getpid());
  processes[options.ownPid] = allocateID();
}

SimAudioSystem::Impl::~Impl() {
  shutdown();
}

void SimAudioSystem::Impl::shutdown() {
  stopRealtime();
  std::lock_guard lock(mutex);
  clockTick.cancel();
  clockTickDue.reset();
}

PhysicalDevice* SimAudioSystem::Impl::deviceByUID(std::string_view uid) {
  for (auto& [id, device] : devices) {
    if (device.spec.uid == uid) return &device;
  }
  return nullptr;
}

const PhysicalDevice* SimAudioSystem::Impl::deviceByUID(std::string_view uid) const {
  for (const auto& [id, device] : devices) {
    if (device.spec.uid == uid) return &device;
  }
  return nullptr;
}

bool SimAudioSystem::Impl::uidInUse(std::string_view uid) const {
  if (deviceByUID(uid)) return true;
  return std::any_of(aggregates.begin(), aggregates.end(),
                     [&](const auto& entry) { return entry.second.uid == uid; });
}

bool SimAudioSystem::Impl::isDeviceObject(AudioObjectID id) const {
  return devices.count(id) > 0 || aggregates.count(id) > 0;
}

void SimAudioSystem::Impl::notify(AudioObjectID object, std::uint32_t selector,
                                  std::uint32_t scope) {
  pendingChanges.emplace_back(object, PropertyAddress{selector, scope, kElementMain});
}

void SimAudioSystem::Impl::flushNotifications() {
  std::vector<std::pair<AudioObjectID, PropertyAddress>> seen;
  for (const auto& change : pendingChanges) {
    if (std::find(seen.begin(), seen.end(), change) != seen.end()) continue;
    seen.push_back(change);
    for (const ListenerRegistration& reg : listeners) {
      if (reg.object != change.first || !(reg.address == change.second)) continue;
      // Posting happens under the state lock, so once a removal returns no
      // post can reach a queue the owner may be about to destroy.
      reg.queue->post(
          [block = reg.block, live = reg.live, object = change.first, address = change.second] {
            if (!live->load(std::memory_order_acquire)) return;
            (*block)(object, std::vector<PropertyAddress>{address});
          });
    }
  }
  pendingChanges.clear();
}

double SimAudioSystem::Impl::joinDelayFor(const DeviceSpec& spec) const {
  const double delay = spec.joinDelay.value_or(options.defaultJoinDelay);
  return std::isfinite(delay) && delay > 0 ? delay : 0.0;
}

void SimAudioSystem::Impl::scheduleJoinNotice(AudioObjectID aggregate, double at) {
  std::weak_ptr<Impl> weak = weak_from_this();
  clock.postAfter(at - clock.now(), [weak, aggregate] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard lock(self->mutex);
      if (self->aggregates.count(aggregate) == 0) return;
      self->notifyAggregateShape(aggregate);
      self->flushNotifications();
    }
  });
}

std::vector<const PhysicalDevice*> SimAudioSystem::Impl::joinedSubs(const Aggregate& aggregate,
                                                                    double now) const {
  std::vector<const PhysicalDevice*> joined;
  for (const AggregateSub& sub : aggregate.subs) {
    const PhysicalDevice* device = deviceByUID(sub.uid);
    if (!device || !device->spec.alive || !device->spec.joinsAggregates) continue;
    // A hair of tolerance, so a poll that sums 0.05 s steps lands on a join
    // at 0.4 s rather than one float step before it.
    if (!sub.joinAt || now < *sub.joinAt - kTimeTolerance) continue;
    joined.push_back(device);
  }
  return joined;
}

void SimAudioSystem::Impl::notifyAggregateShape(AudioObjectID aggregate) {
  notify(aggregate, kPropActiveSubDevices);
  notify(aggregate, kPropStreamConfiguration, kScopeOutput);
  notify(aggregate, kPropStreamConfiguration, kScopeInput);
  notify(aggregate, kPropStreams, kScopeOutput);
  notify(aggregate, kPropStreams, kScopeInput);
  notify(aggregate, kPropStreams, kScopeGlobal);
}

void SimAudioSystem::Impl::chooseDefaultOutputAfterRemoval() {
  AudioObjectID chosen = kUnknownObject;
  for (const auto& [id, device] : devices) {
    if (device.spec.outputChannels() == 0) continue;
    if (device.spec.transport == kTransportBuiltIn) {
      chosen = id;
      break;
    }
    if (chosen == kUnknownObject) chosen = id;
  }
  if (chosen != defaultOutput) {
    defaultOutput = chosen;
    notify(kSystemObject, kPropDefaultOutputDevice);
  }
}

Recorder* SimAudioSystem::Impl::recorderFor(const PhysicalDevice& device) {
  auto it = recorders.find(device.spec.uid);
  return it == recorders.end() ? nullptr : it->second.get();
}

bool SimAudioSystem::Impl::tapMutesOutput() const {
  for (const auto& [id, tap] : taps) {
    const auto behavior = tap.description.muteBehavior;
    if (behavior == TapMuteBehavior::muted) return true;
    if (behavior != TapMuteBehavior::mutedWhenTapped) continue;
    for (const auto& [aggID, aggregate] : aggregates) {
      const bool usesTap =
          std::any_of(aggregate.taps.begin(), aggregate.taps.end(),
                      [&](const AggregateTap& t) { return t.uid == tap.description.uuid; });
      if (usesTap && isGoing(aggID)) return true;
    }
  }
  return false;
}

bool SimAudioSystem::Impl::isRunningLocked(AudioObjectID device) const {
  auto it = runs.find(device);
  if (it == runs.end() || it->second->doomed) return false;
  if (it->second->startedAlone) return true;
  return std::any_of(procs.begin(), procs.end(), [&](const auto& entry) {
    return entry.second.device == device && entry.second.started;
  });
}

bool SimAudioSystem::Impl::isGoing(AudioObjectID device) const {
  if (auto agg = aggregates.find(device); agg != aggregates.end()) {
    return isRunningLocked(device) && !(captureBlocked && !agg->second.taps.empty());
  }
  if (isRunningLocked(device)) return true;
  auto dev = devices.find(device);
  if (dev == devices.end()) return false;
  const double now = clock.now();
  for (const auto& [aggID, aggregate] : aggregates) {
    if (!isRunningLocked(aggID) || (captureBlocked && !aggregate.taps.empty())) continue;
    for (const PhysicalDevice* sub : joinedSubs(aggregate, now)) {
      if (sub->id == device) return true;
    }
  }
  return false;
}

void SimAudioSystem::Impl::endRun(AudioObjectID device) {
  auto it = runs.find(device);
  if (it == runs.end()) return;
  if (inPass()) {
    it->second->doomed = true;
  } else {
    runs.erase(it);
  }
}

IOLayout SimAudioSystem::Impl::layoutOf(AudioObjectID id, double now) const {
  IOLayout layout;
  if (auto dev = devices.find(id); dev != devices.end()) {
    const DeviceSpec& spec = dev->second.spec;
    layout.outputStreams = spec.outputStreams;
    layout.inputStreams = spec.inputStreams;
    layout.frames = std::max<std::uint32_t>(spec.bufferFrameSize, 1);
    layout.rate = spec.nominalRate > 0 ? spec.nominalRate : 48000;
    layout.clockErrorPpm = spec.clockErrorPpm;
    layout.destinations.push_back(Destination{spec.uid, 0,
                                              static_cast<std::uint32_t>(spec.outputStreams.size()),
                                              spec.outputChannels(), spec.clockErrorPpm});
    return layout;
  }
  auto agg = aggregates.find(id);
  if (agg == aggregates.end()) return layout;
  const Aggregate& aggregate = agg->second;
  const auto joined = joinedSubs(aggregate, now);
  const PhysicalDevice* clockDevice = nullptr;
  for (const PhysicalDevice* sub : joined) {
    if (sub->spec.uid == aggregate.master) clockDevice = sub;
  }
  if (!clockDevice && !joined.empty()) clockDevice = joined.front();
  layout.rate = aggregate.rate > 0 ? aggregate.rate : 48000;
  layout.frames = clockDevice ? std::max<std::uint32_t>(clockDevice->spec.bufferFrameSize, 1) : 512;
  layout.clockErrorPpm = clockDevice ? clockDevice->spec.clockErrorPpm : 0;
  layout.hasTapEntries = !aggregate.taps.empty();
  for (const PhysicalDevice* sub : joined) {
    const auto& subEntry =
        *std::find_if(aggregate.subs.begin(), aggregate.subs.end(),
                      [&](const AggregateSub& s) { return s.uid == sub->spec.uid; });
    Destination dest;
    dest.uid = sub->spec.uid;
    dest.firstStream = static_cast<std::uint32_t>(layout.outputStreams.size());
    dest.streamCount = static_cast<std::uint32_t>(sub->spec.outputStreams.size());
    dest.channels = sub->spec.outputChannels();
    // The clock device and devices the aggregate does not resample play at
    // their own pace; resampled ones follow the clock device.
    const bool compensated = subEntry.drift && sub != clockDevice;
    dest.paceErrorPpm = compensated ? layout.clockErrorPpm : sub->spec.clockErrorPpm;
    layout.destinations.push_back(dest);
    layout.outputStreams.insert(layout.outputStreams.end(), sub->spec.outputStreams.begin(),
                                sub->spec.outputStreams.end());
    layout.inputStreams.insert(layout.inputStreams.end(), sub->spec.inputStreams.begin(),
                               sub->spec.inputStreams.end());
  }
  for (const AggregateTap& entry : aggregate.taps) {
    const Tap* tap = nullptr;
    for (const auto& [tapID, t] : taps) {
      if (t.description.uuid == entry.uid) tap = &t;
    }
    if (!tap) continue;
    TapFeed feed;
    feed.firstStream = static_cast<std::uint32_t>(layout.inputStreams.size());
    feed.mono = tap->description.mono;
    feed.channels = feed.mono ? 1 : std::max<std::uint32_t>(options.tapFormat.channels, 1);
    feed.split = options.tapFormat.splitStreams && feed.channels > 1;
    if (feed.split) {
      for (std::uint32_t c = 0; c < feed.channels; ++c)
        layout.inputStreams.push_back(1);
    } else {
      layout.inputStreams.push_back(feed.channels);
    }
    layout.taps.push_back(feed);
  }
  return layout;
}

// ---------------------------------------------------------------------------
// Properties

HALStatus SimAudioSystem::Impl::read(AudioObjectID object, const PropertyAddress& address,
                                     std::uint32_t qualifierSize, const void* qualifier,
                                     std::uint32_t ioSize, const void* inData, PropertyValue& out) {
  const std::uint32_t sel = address.selector;
  const std::uint32_t scope = address.scope;

  if (object == kSystemObject) {
    switch (sel) {
      case kPropDevices: {
        std::vector<AudioObjectID> ids;
        for (const auto& [id, d] : devices)
          ids.push_back(id);
        for (const auto& [id, a] : aggregates)
          ids.push_back(id);
        std::sort(ids.begin(), ids.end());
        out = array(ids);
        return kStatusOK;
      }
      case kPropDefaultOutputDevice:
        out = fixed(defaultOutput);
        return kStatusOK;
      case kPropServiceIsAlive:
        out = fixed<std::uint32_t>(serviceAlive ? 1 : 0);
        return kStatusOK;
      case kPropProcessObjectForPID: {
        if (qualifier == nullptr || qualifierSize != sizeof(std::int32_t)) {
          return kStatusBadPropertySize;
        }
        std::int32_t pid = 0;
        std::memcpy(&pid, qualifier, sizeof pid);
        auto it = processes.find(pid);
        out = fixed(it == processes.end() ? kUnknownObject : it->second);
        return kStatusOK;
      }
      default:
        return kStatusUnknownProperty;
    }
  }

  if (auto it = devices.find(object); it != devices.end()) {
    const PhysicalDevice& device = it->second;
    const DeviceSpec& spec = device.spec;
    switch (sel) {
      case kPropDeviceUID:
        out = string(spec.uid);
        return kStatusOK;
      case kPropName:
        out = string(spec.name);
        return kStatusOK;
      case kPropTransportType:
        out = fixed(spec.transport);
        return kStatusOK;
      case kPropNominalSampleRate:
        out = fixed(spec.nominalRate);
        return kStatusOK;
      case kPropAvailableNominalSampleRates:
        out = array(spec.rateRanges());
        return kStatusOK;
      case kPropStreamConfiguration:
        if (scope == kScopeOutput)
          out = fixedValue(encodeStreamConfiguration(spec.outputStreams));
        else if (scope == kScopeInput)
          out = fixedValue(encodeStreamConfiguration(spec.inputStreams));
        else
          return kStatusUnknownProperty;
        return kStatusOK;
      case kPropPreferredStereoChannels:
        if (scope != kScopeOutput || spec.preferredStereo.empty()) return kStatusUnknownProperty;
        out = array(spec.preferredStereo);
        return kStatusOK;
      case kPropLatency:
      case kPropSafetyOffset: {
        if (scope == kScopeInput) {
          out = fixed(sel == kPropLatency ? spec.inputLatencyFrames : std::uint32_t{0});
          return kStatusOK;
        }
        if (scope != kScopeOutput) return kStatusUnknownProperty;
        out = fixed(sel == kPropLatency ? spec.latencyFrames : spec.safetyOffsetFrames);
        return kStatusOK;
      }
      case kPropBufferFrameSize:
        out = fixed(spec.bufferFrameSize);
        return kStatusOK;
      case kPropStreams: {
        std::vector<AudioObjectID> ids;
        if (scope != kScopeInput) ids = device.outputStreamIDs;
        if (scope != kScopeOutput) {
          ids.insert(ids.end(), device.inputStreamIDs.begin(), device.inputStreamIDs.end());
        }
        out = array(ids);
        return kStatusOK;
      }
      case kPropDeviceIsAlive:
        out = fixed(std::uint32_t{spec.alive ? 1u : 0u});
        return kStatusOK;
      case kPropIsHidden:
        out = fixed(std::uint32_t{spec.hidden ? 1u : 0u});
        return kStatusOK;
      case kPropIsRunningSomewhere:
        out = fixed(std::uint32_t{isGoing(object) ? 1u : 0u});
        return kStatusOK;
      default:
        return kStatusUnknownProperty;
    }
  }

  if (auto it = aggregates.find(object); it != aggregates.end()) {
    const Aggregate& aggregate = it->second;
    const double now = clock.now();
    switch (sel) {
      case kPropDeviceUID:
        out = string(aggregate.uid);
        return kStatusOK;
      case kPropName:
        out = string(aggregate.name);
        return kStatusOK;
      case kPropTransportType:
        out = fixed(kTransportAggregate);
        return kStatusOK;
      case kPropNominalSampleRate:
        out = fixed(aggregate.rate);
        return kStatusOK;
      case kPropAvailableNominalSampleRates: {
        std::vector<ValueRange> ranges{ValueRange{aggregate.rate, aggregate.rate}};
        if (const PhysicalDevice* master = deviceByUID(aggregate.master)) {
          ranges = master->spec.rateRanges();
        }
        out = array(ranges);
        return kStatusOK;
      }
      case kPropStreamConfiguration: {
        const IOLayout layout = layoutOf(object, now);
        if (scope == kScopeOutput)
          out = fixedValue(encodeStreamConfiguration(layout.outputStreams));
        else if (scope == kScopeInput)
          out = fixedValue(encodeStreamConfiguration(layout.inputStreams));
        else
          return kStatusUnknownProperty;
        return kStatusOK;
      }
      case kPropStreams: {
        std::vector<AudioObjectID> ids;
        for (const PhysicalDevice* sub : joinedSubs(aggregate, now)) {
          if (scope != kScopeInput) {
            ids.insert(ids.end(), sub->outputStreamIDs.begin(), sub->outputStreamIDs.end());
          }
        }
        if (scope != kScopeOutput) {
          for (const PhysicalDevice* sub : joinedSubs(aggregate, now)) {
            ids.insert(ids.end(), sub->inputStreamIDs.begin(), sub->inputStreamIDs.end());
          }
          for (const AggregateTap& entry : aggregate.taps) {
            for (const auto& [tapID, tap] : taps) {
              if (tap.description.uuid == entry.uid) {
                ids.insert(ids.end(), tap.streamIDs.begin(), tap.streamIDs.end());
              }
            }
          }
        }
        out = array(ids);
        return kStatusOK;
      }
      case kPropPreferredStereoChannels:
        if (scope != kScopeOutput) return kStatusUnknownProperty;
        out = array(std::vector<std::uint32_t>{1, 2});
        return kStatusOK;
      case kPropLatency:
      case kPropSafetyOffset:
        if (scope != kScopeOutput && scope != kScopeInput) return kStatusUnknownProperty;
        out = fixed(std::uint32_t{0});
        return kStatusOK;
      case kPropBufferFrameSize:
        out = fixed(layoutOf(object, now).frames);
        return kStatusOK;
      case kPropDeviceIsAlive:
        out = fixed(std::uint32_t{1});
        return kStatusOK;
      case kPropIsHidden:
        out = fixed(std::uint32_t{0});
        return kStatusOK;
      case kPropIsRunningSomewhere:
        out = fixed(std::uint32_t{isGoing(object) ? 1u : 0u});
        return kStatusOK;
      case kPropActiveSubDevices: {
        std::vector<AudioObjectID> ids;
        for (const PhysicalDevice* sub : joinedSubs(aggregate, now))
          ids.push_back(sub->id);
        out = array(ids);
        return kStatusOK;
      }
      case kPropIOProcStreamUsage: {
        if (scope != kScopeInput) return kStatusUnknownProperty;
        const auto streamCount = layoutOf(object, now).inputStreams.size();
        // The caller names the procedure in the record it passes in.
        IOProcID proc = kNoIOProc;
        if (inData != nullptr && ioSize >= sizeof(IOProcID)) {
          std::memcpy(&proc, inData, sizeof proc);
        }
        std::vector<std::uint32_t> flags(streamCount, 1);
        if (inData != nullptr) {
          auto p = procs.find(proc);
          if (p == procs.end() || p->second.device != object) return kStatusIllegalOperation;
          if (auto usage = aggregate.streamUsage.find(proc); usage != aggregate.streamUsage.end()) {
            for (std::size_t i = 0; i < flags.size() && i < usage->second.size(); ++i) {
              flags[i] = usage->second[i];
            }
          }
        }
        out = fixedValue(encodeStreamUsage(proc, flags));
        return kStatusOK;
      }
      default:
        return kStatusUnknownProperty;
    }
  }

  if (auto it = streams.find(object); it != streams.end()) {
    if (sel != kPropLatency) return kStatusUnknownProperty;
    std::uint32_t latency = 0;
    if (auto owner = devices.find(it->second.owner); owner != devices.end() && it->second.output) {
      latency = owner->second.spec.streamLatencyFrames;
    }
    out = fixed(latency);
    return kStatusOK;
  }

  if (auto it = taps.find(object); it != taps.end()) {
    switch (sel) {
      case kPropTapUID:
        out = string(it->second.description.uuid);
        return kStatusOK;
      case kPropName:
        out = string(it->second.description.name);
        return kStatusOK;
      case kPropTapFormat: {
        const std::uint32_t channels = it->second.description.mono
                                           ? 1
                                           : std::max<std::uint32_t>(options.tapFormat.channels, 1);
        out = fixed(StreamFormat::float32(options.tapFormat.rate, channels));
        return kStatusOK;
      }
      default:
        return kStatusUnknownProperty;
    }
  }

  for (const auto& [pid, id] : processes) {
    if (id == object) return kStatusUnknownProperty;
  }
  return kStatusBadObject;
}

HALStatus SimAudioSystem::Impl::write(AudioObjectID object, const PropertyAddress& address,
                                      std::uint32_t size, const void* data) {
  const std::uint32_t sel = address.selector;
  if (auto it = devices.find(object); it != devices.end() && sel == kPropNominalSampleRate) {
    if (size != sizeof(double) || data == nullptr) return kStatusBadPropertySize;
    double rate = 0;
    std::memcpy(&rate, data, sizeof rate);
    DeviceSpec& spec = it->second.spec;
    if (!spec.rateSettable) return kStatusIllegalOperation;
    if (!std::isfinite(rate) || rate <= 0 || !spec.supportsRate(rate)) {
      return kStatusUnsupportedFormat;
    }
    if (spec.nominalRate != rate) {
      spec.nominalRate = rate;
      notify(object, kPropNominalSampleRate);
    }
    return kStatusOK;
  }
  if (auto it = aggregates.find(object); it != aggregates.end()) {
    if (sel == kPropNominalSampleRate) {
      if (size != sizeof(double) || data == nullptr) return kStatusBadPropertySize;
      double rate = 0;
      std::memcpy(&rate, data, sizeof rate);
      if (!std::isfinite(rate) || rate <= 0) return kStatusUnsupportedFormat;
      if (it->second.rate != rate) {
        it->second.rate = rate;
        notify(object, kPropNominalSampleRate);
      }
      return kStatusOK;
    }
    if (sel == kPropIOProcStreamUsage && address.scope == kScopeInput) {
      const auto usage = decodeStreamUsage(data, size);
      if (!usage) return kStatusBadPropertySize;
      auto proc = procs.find(usage->proc);
      if (proc == procs.end() || proc->second.device != object) return kStatusIllegalOperation;
      it->second.streamUsage[usage->proc] = usage->flags;
      return kStatusOK;
    }
  }
  // Anything else is either unknown or read-only.
  PropertyValue ignored;
  const HALStatus readable = read(object, address, 0, nullptr, 0, nullptr, ignored);
  if (readable == kStatusBadObject || readable == kStatusUnknownProperty) return readable;
  return kStatusIllegalOperation;
}

// ---------------------------------------------------------------------------
// SimAudioSystem: the machine

SimAudioSystem::SimAudioSystem(Executor& clock, SimOptions options)
    : impl_(std::make_shared<Impl>(clock, std::move(options))) {}

SimAudioSystem::~SimAudioSystem() {
  impl_->shutdown();
}

Executor& SimAudioSystem::clock() const {
  return impl_->clock;
}

AudioObjectID SimAudioSystem::addDevice(DeviceSpec spec) {
  if (spec.uid.empty()) throw std::invalid_argument("a simulated device needs a UID");
  AudioObjectID id;
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->uidInUse(spec.uid)) {
      throw std::invalid_argument("UID already plugged in: " + spec.uid);
    }
    id = impl_->allocateID();
    PhysicalDevice device;
    device.id = id;
    device.outputStreamIDs = streamIDsFor(*impl_, id, true, spec.outputStreams.size());
    device.inputStreamIDs = streamIDsFor(*impl_, id, false, spec.inputStreams.size());
    const std::uint32_t channels = std::max<std::uint32_t>(spec.outputChannels(), 1);
    const double recordRate =
        spec.recordRate.value_or(spec.nominalRate > 0 ? spec.nominalRate : 48000);
    auto rec = impl_->recorders.find(spec.uid);
    if (rec == impl_->recorders.end() || rec->second->channels() != channels ||
        rec->second->rate() != recordRate) {
      impl_->recorders[spec.uid] =
          std::make_shared<Recorder>(recordRate, channels, impl_->options.recordingWindowSeconds);
    }
    const double now = impl_->clock.now();
    for (auto& [aggID, aggregate] : impl_->aggregates) {
      for (AggregateSub& sub : aggregate.subs) {
        if (sub.uid != spec.uid) continue;
        sub.joinAt = now + impl_->joinDelayFor(spec);
        impl_->scheduleJoinNotice(aggID, *sub.joinAt);
      }
    }
    const bool canBeDefault = spec.outputChannels() > 0;
    device.spec = std::move(spec);
    impl_->devices.emplace(id, std::move(device));
    impl_->notify(kSystemObject, kPropDevices);
    if (impl_->defaultOutput == kUnknownObject && canBeDefault) {
      impl_->defaultOutput = id;
      impl_->notify(kSystemObject, kPropDefaultOutputDevice);
    }
    impl_->flushNotifications();
  }
  return id;
}

bool SimAudioSystem::removeDevice(std::string_view uid) {
  {
    IOLock io(*impl_);
    std::lock_guard lock(impl_->mutex);
    PhysicalDevice* device = impl_->deviceByUID(uid);
    if (!device) return false;
    impl_->catchUpDirect();
    const AudioObjectID id = device->id;
    const double now = impl_->clock.now();
    // The device dies first, then leaves the system, as a real unplug does.
    device->spec.alive = false;
    impl_->notify(id, kPropDeviceIsAlive);
    for (auto it = impl_->procs.begin(); it != impl_->procs.end();) {
      it = it->second.device == id ? impl_->procs.erase(it) : std::next(it);
    }
    impl_->endRun(id);
    impl_->stalled.erase(id);
    eraseStreams(*impl_, device->outputStreamIDs);
    eraseStreams(*impl_, device->inputStreamIDs);
    for (auto& [aggID, aggregate] : impl_->aggregates) {
      for (AggregateSub& sub : aggregate.subs) {
        if (sub.uid != uid) continue;
        const bool wasJoined = sub.joinAt && now >= *sub.joinAt - kTimeTolerance;
        sub.joinAt.reset();
        if (wasJoined) impl_->notifyAggregateShape(aggID);
      }
    }
    impl_->devices.erase(id);
    impl_->notify(kSystemObject, kPropDevices);
    if (impl_->defaultOutput == id) impl_->chooseDefaultOutputAfterRemoval();
    impl_->flushNotifications();
  }
  return true;
}

bool SimAudioSystem::modifyDevice(std::string_view uid,
                                  const std::function<void(DeviceSpec&)>& change) {
  {
    std::lock_guard lock(impl_->mutex);
    PhysicalDevice* device = impl_->deviceByUID(uid);
    if (!device) return false;
    impl_->catchUpDirect();
    const AudioObjectID id = device->id;
    DeviceSpec before = device->spec;
    DeviceSpec after = before;
    change(after);
    after.uid = before.uid;
    auto& n = *impl_;
    if (after.name != before.name) n.notify(id, kPropName);
    if (after.transport != before.transport) n.notify(id, kPropTransportType);
    if (after.nominalRate != before.nominalRate) n.notify(id, kPropNominalSampleRate);
    if (after.availableRates != before.availableRates)
      n.notify(id, kPropAvailableNominalSampleRates);
    if (after.preferredStereo != before.preferredStereo) {
      n.notify(id, kPropPreferredStereoChannels, kScopeOutput);
    }
    if (after.latencyFrames != before.latencyFrames) n.notify(id, kPropLatency, kScopeOutput);
    if (after.safetyOffsetFrames != before.safetyOffsetFrames) {
      n.notify(id, kPropSafetyOffset, kScopeOutput);
    }
    if (after.bufferFrameSize != before.bufferFrameSize) n.notify(id, kPropBufferFrameSize);
    if (after.hidden != before.hidden) n.notify(id, kPropIsHidden);
    const bool streamsChanged =
        after.outputStreams != before.outputStreams || after.inputStreams != before.inputStreams;
    if (streamsChanged) {
      eraseStreams(n, device->outputStreamIDs);
      eraseStreams(n, device->inputStreamIDs);
      device->outputStreamIDs = streamIDsFor(n, id, true, after.outputStreams.size());
      device->inputStreamIDs = streamIDsFor(n, id, false, after.inputStreams.size());
      n.notify(id, kPropStreamConfiguration, kScopeOutput);
      n.notify(id, kPropStreamConfiguration, kScopeInput);
      n.notify(id, kPropStreams, kScopeOutput);
      n.notify(id, kPropStreams, kScopeInput);
      n.notify(id, kPropStreams, kScopeGlobal);
    }
    {
      // A recording of another shape or rate starts afresh.
      const std::uint32_t channels = std::max<std::uint32_t>(after.outputChannels(), 1);
      auto& rec = n.recorders[after.uid];
      const double rate = after.recordRate.value_or(rec ? rec->rate() : after.nominalRate);
      if (!rec || rec->channels() != channels || rec->rate() != rate) {
        rec = std::make_shared<Recorder>(rate, channels, n.options.recordingWindowSeconds);
      }
    }
    const bool aliveChanged = after.alive != before.alive;
    const bool joinChanged = after.joinsAggregates != before.joinsAggregates;
    if (aliveChanged) n.notify(id, kPropDeviceIsAlive);
    const double now = n.clock.now();
    for (auto& [aggID, aggregate] : n.aggregates) {
      for (AggregateSub& sub : aggregate.subs) {
        if (sub.uid != after.uid) continue;
        if ((aliveChanged || joinChanged) && after.alive && after.joinsAggregates) {
          sub.joinAt = now + n.joinDelayFor(after);
          n.scheduleJoinNotice(aggID, *sub.joinAt);
        }
        if (streamsChanged || aliveChanged || joinChanged) n.notifyAggregateShape(aggID);
      }
    }
    device->spec = std::move(after);
    n.flushNotifications();
  }
  return true;
}

bool SimAudioSystem::setDefaultOutput(std::string_view uid) {
  {
    std::lock_guard lock(impl_->mutex);
    PhysicalDevice* device = impl_->deviceByUID(uid);
    if (!device || device->spec.outputChannels() == 0) return false;
    impl_->catchUpDirect();
    if (impl_->defaultOutput != device->id) {
      impl_->defaultOutput = device->id;
      impl_->notify(kSystemObject, kPropDefaultOutputDevice);
    }
    impl_->flushNotifications();
  }
  return true;
}

bool SimAudioSystem::setAlive(std::string_view uid, bool alive) {
  return modifyDevice(uid, [alive](DeviceSpec& spec) { spec.alive = alive; });
}

bool SimAudioSystem::setHidden(std::string_view uid, bool hidden) {
  return modifyDevice(uid, [hidden](DeviceSpec& spec) { spec.hidden = hidden; });
}

bool SimAudioSystem::setNominalRate(std::string_view uid, double rate) {
  return modifyDevice(uid, [rate](DeviceSpec& spec) { spec.nominalRate = rate; });
}

std::optional<AudioObjectID> SimAudioSystem::deviceID(std::string_view uid) const {
  std::lock_guard lock(impl_->mutex);
  if (const PhysicalDevice* device = impl_->deviceByUID(uid)) return device->id;
  for (const auto& [id, aggregate] : impl_->aggregates) {
    if (aggregate.uid == uid) return id;
  }
  return std::nullopt;
}

std::optional<DeviceSpec> SimAudioSystem::device(std::string_view uid) const {
  std::lock_guard lock(impl_->mutex);
  if (const PhysicalDevice* device = impl_->deviceByUID(uid)) return device->spec;
  return std::nullopt;
}

std::vector<std::string> SimAudioSystem::deviceUIDs() const {
  std::lock_guard lock(impl_->mutex);
  std::vector<std::string> uids;
  for (const auto& [id, device] : impl_->devices)
    uids.push_back(device.spec.uid);
  return uids;
}

std::optional<std::string> SimAudioSystem::defaultOutputUID() const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->devices.find(impl_->defaultOutput);
  if (it == impl_->devices.end()) return std::nullopt;
  return it->second.spec.uid;
}

AudioObjectID SimAudioSystem::addProcess(std::int32_t pid) {
  std::lock_guard lock(impl_->mutex);
  auto [it, inserted] = impl_->processes.emplace(pid, kUnknownObject);
  if (inserted) it->second = impl_->allocateID();
  return it->second;
}

bool SimAudioSystem::removeProcess(std::int32_t pid) {
  std::lock_guard lock(impl_->mutex);
  return impl_->processes.erase(pid) > 0;
}

std::int32_t SimAudioSystem::ownPid() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->options.ownPid;
}

// ---------------------------------------------------------------------------
// System audio, taps, aggregates: observation

void SimAudioSystem::setSystemMix(SignalSource source) {
  std::lock_guard lock(impl_->mutex);
  impl_->catchUpDirect();
  impl_->systemMix = std::move(source);
}

void SimAudioSystem::playChime() {
  std::lock_guard lock(impl_->mutex);
  impl_->catchUpDirect();
  impl_->systemMix =
      SignalSource::mix(std::move(impl_->systemMix),
                        SignalSource::chime(impl_->ioTime, alertChime::kHz, alertChime::kAmplitude,
                                            alertChime::kSeconds));
}

void SimAudioSystem::setTapFormat(const TapFormat& format) {
  std::lock_guard lock(impl_->mutex);
  impl_->options.tapFormat = format;
  for (auto& [id, tap] : impl_->taps) {
    eraseStreams(*impl_, tap.streamIDs);
    tap.streamIDs = streamIDsFor(*impl_, id, false, tapStreamCount(format, tap.description));
  }
}

std::vector<AudioObjectID> SimAudioSystem::tapIDs() const {
  std::lock_guard lock(impl_->mutex);
  std::vector<AudioObjectID> ids;
  for (const auto& [id, tap] : impl_->taps)
    ids.push_back(id);
  return ids;
}

std::optional<TapDescription> SimAudioSystem::tapDescription(AudioObjectID tap) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->taps.find(tap);
  if (it == impl_->taps.end()) return std::nullopt;
  return it->second.description;
}

bool SimAudioSystem::systemOutputMuted() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->tapMutesOutput();
}

std::vector<AudioObjectID> SimAudioSystem::aggregateIDs() const {
  std::lock_guard lock(impl_->mutex);
  std::vector<AudioObjectID> ids;
  for (const auto& [id, aggregate] : impl_->aggregates)
    ids.push_back(id);
  return ids;
}

std::optional<AggregateDescription> SimAudioSystem::aggregateDescription(
    AudioObjectID aggregate) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->aggregates.find(aggregate);
  if (it == impl_->aggregates.end()) return std::nullopt;
  return it->second.description;
}

std::vector<std::string> SimAudioSystem::joinedSubDevices(AudioObjectID aggregate) const {
  std::lock_guard lock(impl_->mutex);
  std::vector<std::string> uids;
  auto it = impl_->aggregates.find(aggregate);
  if (it == impl_->aggregates.end()) return uids;
  for (const PhysicalDevice* sub : impl_->joinedSubs(it->second, impl_->clock.now())) {
    uids.push_back(sub->spec.uid);
  }
  return uids;
}

// ---------------------------------------------------------------------------
// Faults

void SimAudioSystem::failOperation(Operation operation, HALStatus status, int times) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.failOperation(operation, status, times);
}

void SimAudioSystem::failProperty(const PropertyFault& fault) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.failProperty(fault);
}

void SimAudioSystem::clearFaults() {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.clear();
}

void SimAudioSystem::setServiceAlive(bool alive) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->serviceAlive == alive) return;
  impl_->serviceAlive = alive;
  impl_->notify(kSystemObject, kPropServiceIsAlive);
  impl_->flushNotifications();
}

void SimAudioSystem::setCaptureBlocked(bool blocked) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->captureBlocked = blocked;
    for (const auto& [id, aggregate] : impl_->aggregates) {
      if (!aggregate.taps.empty()) impl_->notify(id, kPropIsRunningSomewhere);
    }
    impl_->flushNotifications();
  }
}

bool SimAudioSystem::setStalled(AudioObjectID device, bool stalled) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->isDeviceObject(device)) return false;
  if (stalled)
    impl_->stalled.insert(device);
  else
    impl_->stalled.erase(device);
  return true;
}

bool SimAudioSystem::raiseOverload(AudioObjectID device) {
  {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->isDeviceObject(device)) return false;
    impl_->notify(device, kPropProcessorOverload);
    impl_->flushNotifications();
  }
  return true;
}

// ---------------------------------------------------------------------------
// Observation

std::optional<Recording> SimAudioSystem::recording(std::string_view uid, double fromSeconds,
                                                   double toSeconds) const {
  std::lock_guard lock(impl_->mutex);
  impl_->catchUpDirect();
  auto it = impl_->recorders.find(uid);
  if (it == impl_->recorders.end()) return std::nullopt;
  const Recorder& recorder = *it->second;
  return recorder.snapshot(secondsToFrame(fromSeconds, recorder.rate()),
                           secondsToFrame(toSeconds, recorder.rate()));
}

void SimAudioSystem::clearRecordings() {
  std::lock_guard lock(impl_->mutex);
  for (auto& [uid, recorder] : impl_->recorders)
    recorder->clear();
}

ObjectCounts SimAudioSystem::liveObjects() const {
  std::lock_guard lock(impl_->mutex);
  return ObjectCounts{impl_->taps.size(), impl_->aggregates.size(), impl_->procs.size(),
                      impl_->listeners.size()};
}

// ---------------------------------------------------------------------------
// AudioSystem: properties

HALStatus SimAudioSystem::getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                              std::uint32_t qualifierSize, const void* qualifier,
                                              std::uint32_t& outSize) {
  std::lock_guard lock(impl_->mutex);
  if (auto fault = impl_->faults.takeOperation(Operation::getPropertyDataSize)) return *fault;
  if (auto fault = impl_->faults.takeProperty(object, address, Access::size)) return *fault;
  PropertyValue value;
  const HALStatus status =
      impl_->read(object, address, qualifierSize, qualifier, 0, nullptr, value);
  if (status != kStatusOK) return status;
  outSize = value.kind == PropertyValue::Kind::string
                ? kStringRefSize
                : static_cast<std::uint32_t>(value.bytes.size());
  return kStatusOK;
}

HALStatus SimAudioSystem::getPropertyData(AudioObjectID object, const PropertyAddress& address,
                                          std::uint32_t qualifierSize, const void* qualifier,
                                          std::uint32_t& ioSize, void* outData) {
  std::lock_guard lock(impl_->mutex);
  if (auto fault = impl_->faults.takeOperation(Operation::getPropertyData)) return *fault;
  if (auto fault = impl_->faults.takeProperty(object, address, Access::read)) return *fault;
  if (outData == nullptr && ioSize > 0) return kStatusIllegalOperation;
  PropertyValue value;
  const HALStatus status =
      impl_->read(object, address, qualifierSize, qualifier, ioSize, outData, value);
  if (status != kStatusOK) return status;
  switch (value.kind) {
    case PropertyValue::Kind::string:
      if (ioSize < kStringRefSize) return kStatusBadPropertySize;
      writeStringRef(outData, value.text);
      ioSize = kStringRefSize;
      return kStatusOK;
    case PropertyValue::Kind::fixed:
      if (ioSize < value.bytes.size()) return kStatusBadPropertySize;
      if (!value.bytes.empty()) std::memcpy(outData, value.bytes.data(), value.bytes.size());
      ioSize = static_cast<std::uint32_t>(value.bytes.size());
      return kStatusOK;
    case PropertyValue::Kind::array: {
      const std::size_t count =
          std::min<std::size_t>(ioSize / value.element, value.bytes.size() / value.element);
      const std::size_t bytes = count * value.element;
      if (bytes > 0) std::memcpy(outData, value.bytes.data(), bytes);
      ioSize = static_cast<std::uint32_t>(bytes);
      return kStatusOK;
    }
  }
  return kStatusUnspecified;
}

HALStatus SimAudioSystem::setPropertyData(AudioObjectID object, const PropertyAddress& address,
                                          std::uint32_t size, const void* data) {
  HALStatus status;
  {
    std::lock_guard lock(impl_->mutex);
    if (auto fault = impl_->faults.takeOperation(Operation::setPropertyData)) return *fault;
    if (auto fault = impl_->faults.takeProperty(object, address, Access::write)) return *fault;
    status = impl_->write(object, address, size, data);
    impl_->flushNotifications();
  }
  return status;
}

// ---------------------------------------------------------------------------
// AudioSystem: listeners

HALStatus SimAudioSystem::addPropertyListener(AudioObjectID object, const PropertyAddress& address,
                                              Executor& queue, PropertyListenerBlock block) {
  std::lock_guard lock(impl_->mutex);
  if (auto fault = impl_->faults.takeOperation(Operation::addPropertyListener)) return *fault;
  if (!block || !*block) return kStatusIllegalOperation;
  bool exists = object == kSystemObject || impl_->devices.count(object) > 0 ||
                impl_->aggregates.count(object) > 0 || impl_->taps.count(object) > 0 ||
                impl_->streams.count(object) > 0;
  for (const auto& [pid, id] : impl_->processes)
    exists = exists || id == object;
  if (!exists) return kStatusBadObject;
  for (const ListenerRegistration& reg : impl_->listeners) {
    if (reg.object == object && reg.address == address && reg.queue == &queue &&
        reg.block == block) {
      return kStatusIllegalOperation;
    }
  }
  impl_->listeners.push_back(ListenerRegistration{object, address, &queue, std::move(block),
                                                  std::make_shared<std::atomic<bool>>(true)});
  return kStatusOK;
}

HALStatus SimAudioSystem::removePropertyListener(AudioObjectID object,
                                                 const PropertyAddress& address, Executor& queue,
                                                 const PropertyListenerBlock& block) {
  std::lock_guard lock(impl_->mutex);
  if (auto fault = impl_->faults.takeOperation(Operation::removePropertyListener)) return *fault;
  auto& regs = impl_->listeners;
  auto it = std::find_if(regs.begin(), regs.end(), [&](const ListenerRegistration& reg) {
    return reg.object == object && reg.address == address && reg.queue == &queue &&
           reg.block == block;
  });
  if (it == regs.end()) return kStatusIllegalOperation;
  it->live->store(false, std::memory_order_release);
  regs.erase(it);
  return kStatusOK;
}

// ---------------------------------------------------------------------------
// AudioSystem: taps

HALStatus SimAudioSystem::createProcessTap(const TapDescription& description,
                                           AudioObjectID& outTap) {
  std::lock_guard lock(impl_->mutex);
  if (auto fault = impl_->faults.takeOperation(Operation::createProcessTap)) return *fault;
  if (description.uuid.empty()) return kStatusIllegalOperation;
  for (const auto& [id, tap] : impl_->taps) {
    if (tap.description.uuid == description.uuid) return kStatusIllegalOperation;
  }
  for (AudioObjectID process : description.processes) {
    const bool known = std::any_of(impl_->processes.begin(), impl_->processes.end(),
                                   [&](const auto& entry) { return entry.second == process; });
    if (!known) return kStatusBadObject;
  }
  impl_->catchUpDirect();
  const AudioObjectID id = impl_->allocateID();
  Tap tap;
  tap.id = id;
  tap.description = description;
  tap.streamIDs =
      streamIDsFor(*impl_, id, false, tapStreamCount(impl_->options.tapFormat, description));
  impl_->taps.emplace(id, std::move(tap));
  outTap = id;
  return kStatusOK;
}

HALStatus SimAudioSystem::destroyProcessTap(AudioObjectID tapID) {
  {
    std::lock_guard lock(impl_->mutex);
    if (auto fault = impl_->faults.takeOperation(Operation::destroyProcessTap)) return *fault;
    auto it = impl_->taps.find(tapID);
    if (it == impl_->taps.end()) return kStatusBadObject;
    impl_->catchUpDirect();
    for (const auto& [aggID, aggregate] : impl_->aggregates) {
      for (const AggregateTap& entry : aggregate.taps) {
        if (entry.uid == it->second.description.uuid) impl_->notifyAggregateShape(aggID);
      }
    }
    eraseStreams(*impl_, it->second.streamIDs);
    impl_->taps.erase(it);
    impl_->flushNotifications();
  }
  return kStatusOK;
}

// ---------------------------------------------------------------------------
// AudioSystem: aggregates

namespace {

// Reads an optional integer key; false when present with another type.
bool intKey(const AggregateDescription& d, const char* key, std::int64_t& out) {
  auto it = d.find(key);
  if (it == d.end()) return true;
  if (!it->is_number_integer() && !it->is_boolean()) return false;
  out = it->is_boolean() ? (it->get<bool>() ? 1 : 0) : it->get<std::int64_t>();
  return true;
}

bool stringKey(const AggregateDescription& d, const char* key, std::string& out) {
  auto it = d.find(key);
  if (it == d.end()) return true;
  if (!it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

// Parses "subdevices" or "taps": an array of {"uid", "drift"} dictionaries.
bool entries(const AggregateDescription& d, const char* key,
             std::vector<std::pair<std::string, bool>>& out) {
  auto it = d.find(key);
  if (it == d.end()) return true;
  if (!it->is_array()) return false;
  for (const auto& entry : *it) {
    if (!entry.is_object()) return false;
    std::string uid;
    std::int64_t drift = 0;
    if (!stringKey(entry, kSubDeviceUIDKey, uid) || uid.empty()) return false;
    if (!intKey(entry, kSubDeviceDriftKey, drift)) return false;
    out.emplace_back(uid, drift != 0);
  }
  return true;
}

}  // namespace

HALStatus SimAudioSystem::createAggregateDevice(const AggregateDescription& description,
                                                AudioObjectID& outDevice) {
  {
    std::lock_guard lock(impl_->mutex);
    if (auto fault = impl_->faults.takeOperation(Operation::createAggregateDevice)) return *fault;
    if (!description.is_object()) return kStatusIllegalOperation;
    Aggregate aggregate;
    std::int64_t isPrivate = 0, stacked = 0, autoStart = 0;
    std::vector<std::pair<std::string, bool>> subs, tapEntries;
    if (!stringKey(description, kAggregateUIDKey, aggregate.uid) || aggregate.uid.empty() ||
        !stringKey(description, kAggregateNameKey, aggregate.name) ||
        !stringKey(description, kAggregateMasterKey, aggregate.master) ||
        !intKey(description, kAggregatePrivateKey, isPrivate) ||
        !intKey(description, kAggregateStackedKey, stacked) ||
        !intKey(description, kAggregateTapAutoStartKey, autoStart) ||
        !entries(description, kAggregateSubDevicesKey, subs) ||
        !entries(description, kAggregateTapsKey, tapEntries)) {
      return kStatusIllegalOperation;
    }
    // Stacked aggregates (every sub-device on the same channels) are not
    // simulated; the engine never asks for one.
    if (stacked != 0) return kStatusUnsupportedOperation;
    if (impl_->uidInUse(aggregate.uid)) return kStatusIllegalOperation;
    aggregate.id = impl_->allocateID();
    aggregate.description = description;
    aggregate.tapAutoStart = autoStart != 0;
    const double now = impl_->clock.now();
    for (const auto& [uid, drift] : subs) {
      AggregateSub sub{uid, drift, std::nullopt};
      if (const PhysicalDevice* device = impl_->deviceByUID(uid)) {
        sub.joinAt = now + impl_->joinDelayFor(device->spec);
        impl_->scheduleJoinNotice(aggregate.id, *sub.joinAt);
      }
      aggregate.subs.push_back(sub);
    }
    for (const auto& [uid, drift] : tapEntries)
      aggregate.taps.push_back(AggregateTap{uid, drift});
    // The aggregate runs at its clock device's rate.
    const PhysicalDevice* rateSource = impl_->deviceByUID(aggregate.master);
    for (const AggregateSub& sub : aggregate.subs) {
      if (!rateSource) rateSource = impl_->deviceByUID(sub.uid);
    }
    if (rateSource && rateSource->spec.nominalRate > 0) {
      aggregate.rate = rateSource->spec.nominalRate;
    } else if (!aggregate.taps.empty() && impl_->options.tapFormat.rate > 0) {
      aggregate.rate = impl_->options.tapFormat.rate;
    }
    outDevice = aggregate.id;
    impl_->aggregates.emplace(aggregate.id, std::move(aggregate));
    impl_->notify(kSystemObject, kPropDevices);
    impl_->flushNotifications();
  }
  return kStatusOK;
}

HALStatus SimAudioSystem::destroyAggregateDevice(AudioObjectID device) {
  {
    IOLock io(*impl_);
    std::lock_guard lock(impl_->mutex);
    if (auto fault = impl_->faults.takeOperation(Operation::destroyAggregateDevice)) return *fault;
    auto it = impl_->aggregates.find(device);
    if (it == impl_->aggregates.end()) return kStatusBadObject;
    for (auto p = impl_->procs.begin(); p != impl_->procs.end();) {
      p = p->second.device == device ? impl_->procs.erase(p) : std::next(p);
    }
    impl_->endRun(device);
    impl_->stalled.erase(device);
    impl_->aggregates.erase(it);
    impl_->notify(kSystemObject, kPropDevices);
    impl_->flushNotifications();
  }
  return kStatusOK;
}

// ---------------------------------------------------------------------------
// AudioSystem: IO procedures

HALStatus SimAudioSystem::createIOProcID(AudioObjectID device, IOProc proc, void* clientData,
                                         IOProcID& outID) {
  std::lock_guard lock(impl_->mutex);
  if (auto fault = impl_->faults.takeOperation(Operation::createIOProcID)) return *fault;
  if (!impl_->isDeviceObject(device)) return kStatusBadDevice;
  if (proc == nullptr) return kStatusIllegalOperation;
  const IOProcID id = impl_->nextProcID++;
  impl_->procs.emplace(id, IOProcEntry{id, device, proc, clientData, false});
  outID = id;
  return kStatusOK;
}

HALStatus SimAudioSystem::destroyIOProcID(AudioObjectID device, IOProcID id) {
  {
    IOLock io(*impl_);
    std::lock_guard lock(impl_->mutex);
    if (auto fault = impl_->faults.takeOperation(Operation::destroyIOProcID)) return *fault;
    if (!impl_->isDeviceObject(device)) return kStatusBadDevice;
    auto it = impl_->procs.find(id);
    if (it == impl_->procs.end() || it->second.device != device) return kStatusIllegalOperation;
    const bool wasGoing = impl_->isGoing(device);
    impl_->procs.erase(it);
    for (auto& [aggID, aggregate] : impl_->aggregates)
      aggregate.streamUsage.erase(id);
    if (!impl_->isRunningLocked(device)) impl_->endRun(device);
    if (wasGoing != impl_->isGoing(device)) impl_->notify(device, kPropIsRunningSomewhere);
    impl_->flushNotifications();
  }
  return kStatusOK;
}

HALStatus SimAudioSystem::startDevice(AudioObjectID device, IOProcID id) {
  {
    std::lock_guard lock(impl_->mutex);
    if (auto fault = impl_->faults.takeOperation(Operation::startDevice)) return *fault;
    if (!impl_->isDeviceObject(device)) return kStatusBadDevice;
    if (auto dev = impl_->devices.find(device);
        dev != impl_->devices.end() && !dev->second.spec.alive) {
      return kStatusBadDevice;
    }
    IOProcEntry* entry = nullptr;
    if (id != kNoIOProc) {
      auto it = impl_->procs.find(id);
      if (it == impl_->procs.end() || it->second.device != device) return kStatusIllegalOperation;
      entry = &it->second;
    }
    impl_->catchUpDirect();
    const bool wasGoing = impl_->isGoing(device);
    auto& run = impl_->runs[device];
    if (!run) {
      run = std::make_unique<DeviceRun>();
      run->device = device;
      // A driver that follows a clock may not have passed for a while; IO
      // starts now, not back when it last ran.
      run->anchorTime = impl_->driverNow();
      run->nextTime = run->anchorTime;
    }
    run->doomed = false;
    if (entry)
      entry->started = true;
    else
      run->startedAlone = true;
    if (wasGoing != impl_->isGoing(device)) impl_->notify(device, kPropIsRunningSomewhere);
    impl_->wakeDriver();
    impl_->flushNotifications();
  }
  return kStatusOK;
}

HALStatus SimAudioSystem::stopDevice(AudioObjectID device, IOProcID id) {
  {
    IOLock io(*impl_);
    std::lock_guard lock(impl_->mutex);
    if (auto fault = impl_->faults.takeOperation(Operation::stopDevice)) return *fault;
    if (!impl_->isDeviceObject(device)) return kStatusBadDevice;
    impl_->catchUpDirect();
    const bool wasGoing = impl_->isGoing(device);
    if (id == kNoIOProc) {
      if (auto run = impl_->runs.find(device); run != impl_->runs.end()) {
        run->second->startedAlone = false;
      }
    } else {
      auto it = impl_->procs.find(id);
      if (it == impl_->procs.end() || it->second.device != device) return kStatusIllegalOperation;
      it->second.started = false;
    }
    if (!impl_->isRunningLocked(device)) impl_->endRun(device);
    if (wasGoing != impl_->isGoing(device)) impl_->notify(device, kPropIsRunningSomewhere);
    impl_->flushNotifications();
  }
  return kStatusOK;
}

}  // namespace choralink::sim
