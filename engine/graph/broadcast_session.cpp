#include "engine/graph/broadcast_session.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <numeric>
#include <utility>

#include <fmt/format.h>

#include "engine/devices/device_lookup.h"
#include "engine/graph/channel_map.h"
#include "engine/graph/rate_journal.h"
#include "engine/graph/uuid.h"
#include "engine/hal/aggregate_description.h"
#include "engine/hal/hal.h"

namespace choralink {

namespace {

// Rates closer than this are the same rate (a device may report 48000.3).
constexpr double kRateTolerance = 0.5;

// A rate the engine can compute with: known, positive and finite.
bool usableRate(double rate) {
  return std::isfinite(rate) && rate > 0;
}

std::string bracketed(const std::vector<int>& counts) {
  return fmt::format("[{}]", fmt::join(counts, ", "));
}

int sum(const std::vector<int>& counts) {
  return std::accumulate(counts.begin(), counts.end(), 0);
}

}  // namespace

BroadcastSession::BroadcastSession(Environment environment,
                                   const std::vector<AudioDeviceInfo>& devices, bool muted)
    : env_(std::move(environment)) {
  build(devices, muted);
}

BroadcastSession::~BroadcastSession() = default;

void BroadcastSession::build(const std::vector<AudioDeviceInfo>& devices, bool muted) {
  procID_.reset();
  torn_ = false;
  if (devices.empty()) throw HALError(-1, "No output devices selected");

  destroyLeftoverAggregates(env_.system, env_.log);

  // The tap cleans up after itself when it fails; nothing else exists yet.
  tap_ = std::make_unique<SystemAudioTap>(env_.system, env_.log, muted);

  try {
    const double tapRate = tap_->format().mSampleRate;
    const double workingRate = usableRate(tapRate) ? tapRate : kFallbackRate;
    rate_ = workingRate;

    alignRates(devices, workingRate);

    std::vector<std::pair<std::string, Transport>> clockCandidates;
    for (const AudioDeviceInfo& device : devices) {
      clockCandidates.emplace_back(device.uid, device.transport);
    }
    const std::string clockUID =
        ChannelMap::chooseClock(clockCandidates).value_or(devices.front().uid);

    aggregateUID_ = std::string(kAggregateUIDPrefix) + newUUID();
    AggregateDescription description = {
        {kAggregateNameKey, kAggregateName},
        {kAggregateUIDKey, aggregateUID_},
        {kAggregatePrivateKey, 1},
        {kAggregateStackedKey, 0},
        {kAggregateMasterKey, clockUID},
        {kAggregateSubDevicesKey, nlohmann::json::array()},
        {kAggregateTapsKey,
         nlohmann::json::array({{{kSubDeviceUIDKey, tap_->uid()}, {kSubDeviceDriftKey, 1}}})},
        {kAggregateTapAutoStartKey, 1},
    };
    for (const AudioDeviceInfo& device : devices) {
      // Every device but the clock is resampled to the clock, so that none
      // slides away from the others over a long broadcast.
      description[kAggregateSubDevicesKey].push_back(
          {{kSubDeviceUIDKey, device.uid}, {kSubDeviceDriftKey, device.uid == clockUID ? 0 : 1}});
    }
    AudioObjectID aggregate = kUnknownObject;
    const HALStatus created = env_.system.createAggregateDevice(description, aggregate);
    if (created != kStatusOK) throw HALError(created, "AudioHardwareCreateAggregateDevice");
    if (aggregate == kUnknownObject) throw HALError(-1, "AudioHardwareCreateAggregateDevice");
    aggregateID_ = aggregate;

    // Sub-devices join asynchronously: wait until every requested device is
    // active and all their channels are there, or until the deadline.
    int expectedChannels = 0;
    for (const AudioDeviceInfo& device : devices)
      expectedChannels += device.outputChannels;
    std::vector<AudioObjectID> active;
    std::vector<int> outputStreams;
    // An aggregate that died meanwhile (its sound server went away) gains no
    // member any more: waiting out the deadline would only hold up the
    // queue, and with it the stop that the loss calls for.
    const auto dead = [&] {
      try {
        return HAL::get<std::uint32_t>(env_.system, aggregate, kPropDeviceIsAlive, kScopeGlobal,
                                       1) == 0;
      } catch (const HALError&) {
        return false;
      }
    };
    boundedPoll(env_.queue, kJoinPollInterval, kJoinTimeout, [&] {
      if (dead()) return true;
      try {
        active = HAL::getArray<std::uint32_t>(env_.system, aggregate, kPropActiveSubDevices,
                                              kScopeGlobal);
      } catch (const HALError&) {
        active.clear();
      }
      outputStreams = HAL::streamChannels(env_.system, aggregate, kScopeOutput);
      return sum(outputStreams) >= expectedChannels && active.size() >= devices.size();
    });
    if (dead()) throw HALError(kStatusBadDevice, "aggregate device died while its devices joined");

    try {
      const double aggregateRate =
          HAL::get<double>(env_.system, aggregate, kPropNominalSampleRate, kScopeGlobal);
      if (usableRate(aggregateRate)) rate_ = aggregateRate;
    } catch (const HALError&) {
      // The working rate stays.
    }

    std::vector<ChannelMap::SubDevice> subDevices;
    std::vector<int> subDeviceInputs;
    std::vector<const AudioDeviceInfo*> joined;
    for (AudioObjectID id : active) {
      std::string uid;
      try {
        uid = HAL::getString(env_.system, id, kPropDeviceUID);
      } catch (const HALError&) {
        continue;
      }
      const auto requested = std::find_if(devices.begin(), devices.end(),
                                          [&](const AudioDeviceInfo& d) { return d.uid == uid; });
      if (requested == devices.end()) continue;
      if (std::find(joined.begin(), joined.end(), &*requested) != joined.end()) continue;
      subDevices.push_back(ChannelMap::SubDevice{
          uid, HAL::streamChannels(env_.system, id, kScopeOutput), requested->stereoPair});
      const std::vector<int> inputs = HAL::streamChannels(env_.system, id, kScopeInput);
      subDeviceInputs.insert(subDeviceInputs.end(), inputs.begin(), inputs.end());
      joined.push_back(&*requested);
    }
    for (const AudioDeviceInfo& device : devices) {
      if (std::find(joined.begin(), joined.end(), &device) == joined.end()) {
        skipped_.push_back(SkippedDevice{device.uid, device.name + " couldn't join the broadcast"});
      }
    }
    if (joined.empty()) throw HALError(-1, "No device could join the aggregate");

    const std::vector<ChannelMap::Slot> slots = ChannelMap::build(subDevices, outputStreams);

    const std::vector<int> aggregateInputs =
        HAL::streamChannels(env_.system, aggregate, kScopeInput);
    const cl_input_layout tapLayout = ChannelMap::tapInput(
        subDeviceInputs, aggregateInputs, static_cast<int>(tap_->format().mChannelsPerFrame));

    std::string clockName = clockUID;
    for (const AudioDeviceInfo* device : joined) {
      if (device->uid == clockUID) clockName = device->name;
    }
    env_.log.info("Aggregate " + Log::number(rate_) + " Hz, clock=" + clockName +
                  ", out=" + bracketed(outputStreams) + ", in=" + bracketed(aggregateInputs) +
                  ", tap buffer=" + std::to_string(tapLayout.first_buffer) + "x" +
                  std::to_string(tapLayout.buffer_count));

    // One second of frames; a rate too large for the render's int32 frame
    // counts is clamped here and refused by cl_render_create below.
    maxDelayFrames_ = static_cast<int32_t>(
        std::min<double>(std::round(rate_ * 1000.0 / 1000.0), static_cast<double>(INT32_MAX)));

    std::vector<cl_slot_layout> layouts;
    for (const ChannelMap::Slot& slot : slots)
      layouts.push_back(slot.layout);
    render_ = cl_render_create(static_cast<int32_t>(layouts.size()), layouts.data(), tapLayout,
                               maxDelayFrames_, rate_);
    if (render_ == nullptr) throw HALError(-1, "cl_render_create");

    IOProcID proc = kNoIOProc;
    const HALStatus registered =
        env_.system.createIOProcID(aggregate, cl_ioproc_ptr, render_, proc);
    if (registered != kStatusOK) throw HALError(registered, "AudioDeviceCreateIOProcID");
    if (proc != kNoIOProc) {
      procID_ = proc;
      disableInputsExcept(env_.system, env_.log, aggregate, proc,
                          static_cast<int>(aggregateInputs.size()), tapLayout);
    }

    for (std::size_t i = 0; i < slots.size(); ++i) {
      const auto device = std::find_if(joined.begin(), joined.end(),
                                       [&](const auto* d) { return d->uid == slots[i].uid; });
      slots_.push_back(SlotInfo{slots[i].uid, static_cast<int32_t>(i), **device});
    }
  } catch (...) {
    undoPartialBuild();
    throw;
  }
}

void BroadcastSession::alignRates(const std::vector<AudioDeviceInfo>& devices, double workingRate) {
  for (const AudioDeviceInfo& device : devices) {
    double current = device.nominalRate;
    try {
      current =
          HAL::get<double>(env_.system, device.objectID, kPropNominalSampleRate, kScopeGlobal);
    } catch (const HALError&) {
      // The rate from the device record stands in.
    }
    if (!usableRate(current) || std::fabs(current - workingRate) <= kRateTolerance) continue;

    const bool supported = std::find(device.availableRates.begin(), device.availableRates.end(),
                                     workingRate) != device.availableRates.end();
    if (!supported) {
      env_.log.warn(device.name + " does not support " + Log::number(workingRate) +
                    " Hz; relying on aggregate resampling");
      continue;
    }

    // Journal first: if we die between the write and the teardown, the next
    // launch puts the device back.
    const bool journalled = RateJournal::record(device.uid, current, env_.rateJournal);
    try {
      HAL::set(env_.system, device.objectID, kPropNominalSampleRate, workingRate);
    } catch (const HALError& error) {
      // Only our own entry goes: one left by an unclean run still names the
      // rate the device must get back.
      if (journalled) RateJournal::forget(device.uid, env_.rateJournal);
      env_.log.warn("Could not set " + device.name + " to " + Log::number(workingRate) +
                    " Hz: " + error.description() + "; relying on aggregate resampling");
      continue;
    }
    restoreRates_.push_back(RateChange{device.uid, current, journalled});
    env_.log.info("Set " + device.name + " to " + Log::number(workingRate) + " Hz (was " +
                  Log::number(current) + ")");
  }
}

void BroadcastSession::undoPartialBuild() noexcept {
  // No IO has started, so the render state can go as soon as the procedure
  // registration is gone.
  if (procID_) {
    env_.system.destroyIOProcID(aggregateID_, *procID_);
    procID_.reset();
  }
  if (aggregateID_ != kUnknownObject) env_.system.destroyAggregateDevice(aggregateID_);
  if (render_ != nullptr) {
    cl_render_destroy(render_);
    render_ = nullptr;
  }
  tap_->destroy();
  restore(restoreRates_, env_.system, env_.log, env_.rateJournal);
  restoreRates_.clear();
}

void BroadcastSession::teardown() noexcept {
  if (torn_) return;
  torn_ = true;

  // The render state may be freed only once no IO cycle can enter it: a
  // successful stop, removal of the registration or destruction of the
  // device each guarantees that.
  bool ioEnded = !procID_.has_value();
  if (procID_) {
    ioEnded = env_.system.stopDevice(aggregateID_, *procID_) == kStatusOK;
    ioEnded = env_.system.destroyIOProcID(aggregateID_, *procID_) == kStatusOK || ioEnded;
    procID_.reset();
  }
  const HALStatus destroyed = env_.system.destroyAggregateDevice(aggregateID_);
  if (destroyed != kStatusOK) {
    env_.log.warn("AudioHardwareDestroyAggregateDevice: " + fourCC(destroyed));
  } else {
    ioEnded = true;
  }
  tap_->destroy();
  if (ioEnded) {
    cl_render_destroy(render_);
  } else {
    // Freeing it now could crash the IO thread that may still be inside it.
    env_.log.warn("Render state kept: the broadcast's IO could not be stopped");
  }
  render_ = nullptr;
  restore(restoreRates_, env_.system, env_.log, env_.rateJournal);
  restoreRates_.clear();
}

void BroadcastSession::destroyLeftoverAggregates(AudioSystem& system, Log& log) noexcept {
  try {
    const auto devices = listDevices(system);
    if (!devices) return;
    for (AudioObjectID device : *devices) {
      std::string uid;
      try {
        uid = HAL::getString(system, device, kPropDeviceUID);
      } catch (const HALError&) {
        continue;
      }
      if (!uid.starts_with(kAggregateUIDPrefix)) continue;
      log.warn("Destroying leftover aggregate " + uid);
      system.destroyAggregateDevice(device);
    }
  } catch (...) {
    // Out of memory while listing: the leftovers wait for the next attempt.
  }
}

void BroadcastSession::restore(const std::vector<RateChange>& changes, AudioSystem& system,
                               Log& log, const std::filesystem::path& rateJournal) noexcept {
  for (const RateChange& change : changes) {
    try {
      const auto device = findDevice(system, change.uid);
      if (!device) {
        log.warn("Could not restore sample rate on " + change.uid +
                 ": device is gone (kept in journal)");
        continue;
      }
      try {
        HAL::set(system, *device, kPropNominalSampleRate, change.rate);
      } catch (const HALError& error) {
        log.warn("Could not restore sample rate on " + change.uid + ": " + error.description());
        continue;
      }
      if (change.journalled) RateJournal::forget(change.uid, rateJournal);
    } catch (...) {
      // Out of memory: the journal still holds the entry for the next launch.
    }
  }
}

void BroadcastSession::disableInputsExcept(AudioSystem& system, Log& log, AudioObjectID aggregate,
                                           IOProcID proc, int inputStreams,
                                           cl_input_layout keep) noexcept {
  if (inputStreams < 1) return;
  try {
    std::vector<std::uint32_t> flags(static_cast<std::size_t>(inputStreams), 0);
    for (int i = 0; i < inputStreams; ++i) {
      const bool kept = i >= keep.first_buffer && i < keep.first_buffer + keep.buffer_count;
      flags[static_cast<std::size_t>(i)] = kept ? 1 : 0;
    }
    const std::vector<std::byte> usage = encodeStreamUsage(proc, flags);
    const HALStatus status =
        system.setPropertyData(aggregate, HAL::address(kPropIOProcStreamUsage, kScopeInput),
                               static_cast<std::uint32_t>(usage.size()), usage.data());
    if (status != kStatusOK) log.warn("IOProcStreamUsage (input) failed: " + fourCC(status));
  } catch (...) {
    // Out of memory: the procedure keeps receiving every input stream.
  }
}

}  // namespace choralink
