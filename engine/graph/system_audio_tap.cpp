#include "engine/graph/system_audio_tap.h"

#include <unistd.h>

#include <cstdint>

#include "engine/graph/uuid.h"
#include "engine/hal/hal.h"

namespace choralink {

std::optional<AudioObjectID> SystemAudioTap::ownProcessObject(AudioSystem& system) {
  const std::int32_t pid = static_cast<std::int32_t>(::getpid());
  AudioObjectID object = kUnknownObject;
  std::uint32_t size = sizeof object;
  const HALStatus status = system.getPropertyData(
      kSystemObject, HAL::address(kPropProcessObjectForPID), sizeof pid, &pid, size, &object);
  if (status != kStatusOK || size != sizeof object || object == kUnknownObject) {
    return std::nullopt;
  }
  return object;
}

SystemAudioTap::SystemAudioTap(AudioSystem& system, Log& log, bool muted)
    : system_(system), log_(log) {
  const auto own = ownProcessObject(system);
  if (!own) throw HALError(-1, "Could not find Choralink's own audio process object");

  TapDescription description = TapDescription::stereoGlobalTapButExcludeProcesses({*own});
  description.uuid = newUUID();
  description.isPrivate = true;
  description.name = kName;
  description.muteBehavior = muted ? TapMuteBehavior::muted : TapMuteBehavior::unmuted;

  AudioObjectID tap = kUnknownObject;
  const HALStatus created = system.createProcessTap(description, tap);
  if (created != kStatusOK) throw HALError(created, "AudioHardwareCreateProcessTap");
  if (tap == kUnknownObject) throw HALError(-1, "AudioHardwareCreateProcessTap returned no tap");
  tapID_ = tap;

  try {
    uid_ = HAL::getString(system, tap, kPropTapUID);
  } catch (const HALError&) {
    system.destroyProcessTap(tap);
    throw;
  }

  std::uint32_t size = sizeof format_;
  HALStatus status =
      system.getPropertyData(tap, HAL::address(kPropTapFormat), 0, nullptr, size, &format_);
  // The record is read whole or not at all: half a format would give a
  // garbage channel count.
  if (status == kStatusOK && size != sizeof format_) status = kStatusBadPropertySize;
  if (status != kStatusOK) {
    system.destroyProcessTap(tap);
    throw HALError(status, "get " + fourCC(kPropTapFormat));
  }

  log.info(std::string("Tap created (") + (muted ? "muted" : "unmuted") + ", " +
           Log::number(format_.mSampleRate) + " Hz, " + std::to_string(format_.mChannelsPerFrame) +
           " ch)");
}

void SystemAudioTap::destroy() noexcept {
  const HALStatus status = system_.destroyProcessTap(tapID_);
  if (status != kStatusOK) log_.warn("AudioHardwareDestroyProcessTap: " + fourCC(status));
}

}  // namespace choralink
