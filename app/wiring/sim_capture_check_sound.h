// The capture-check sound on the simulated audio system: a chime that starts
// in the system mix the moment it is played, as if another program rang it,
// so a working capture hears it and a blocked one does not.
#pragma once

#include "app/model/capture_check_sound.h"
#include "engine/hal/sim/sim_audio_system.h"

namespace choralink {

class SimCaptureCheckSound final : public CaptureCheckSound {
 public:
  // `system` must outlive this object.
  explicit SimCaptureCheckSound(sim::SimAudioSystem& system) : system_(system) {}
  void play() override;

 private:
  sim::SimAudioSystem& system_;
};

}  // namespace choralink
