// The capture of everything the other processes of the system play, mixed to
// stereo: one private process tap named "Choralink" that excludes this
// process (what we play ourselves is never captured again) and, when asked,
// mutes the captured processes' own output.
//
// Owns the platform tap, which is released only by destroy(): dropping the
// object leaves the tap alone, because the aggregate device that lists it must
// go first. Not thread-safe; the broadcast session uses it from the engine's
// queue.
#pragma once

#include <optional>
#include <string>

#include "engine/hal/audio_records.h"
#include "engine/hal/audio_system.h"
#include "support/log.h"

namespace choralink {

class SystemAudioTap {
 public:
  // The tap's name in the audio system.
  static constexpr const char* kName = "Choralink";

  // Creates the tap and reads its UID and format. Throws HALError; a failure
  // after the platform tap exists destroys it first, so nothing is left.
  SystemAudioTap(AudioSystem& system, Log& log, bool muted);
  SystemAudioTap(const SystemAudioTap&) = delete;
  SystemAudioTap& operator=(const SystemAudioTap&) = delete;

  // Destroys the platform tap; a failure is logged as a warning. Never
  // throws. Calling it again asks the platform again (and logs its answer).
  void destroy() noexcept;

  // This process's audio process object ("id2p" of the system object with
  // our pid as qualifier); none when the read fails or gives 0.
  static std::optional<AudioObjectID> ownProcessObject(AudioSystem& system);

  AudioObjectID tapID() const { return tapID_; }
  // The tap's UID ("tuid"), listed in the aggregate device's taps.
  const std::string& uid() const { return uid_; }
  // The tap's stream format ("tfmt"): rate and channels per frame matter.
  const StreamFormat& format() const { return format_; }

 private:
  AudioSystem& system_;
  Log& log_;
  AudioObjectID tapID_ = kUnknownObject;
  std::string uid_;
  StreamFormat format_;
};

}  // namespace choralink
