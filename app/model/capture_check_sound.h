// The short sound the capture check plays while it listens to the captured
// system mix. It goes out through the active audio backend as any program's
// sound would, so capture either hears it or does not: on the simulated
// audio system the implementation mixes a chime into the system mix; on a
// real sound server it plays a short bundled sound.
#pragma once

namespace choralink {

class CaptureCheckSound {
 public:
  virtual ~CaptureCheckSound() = default;
  // Starts the sound at a moderate volume and returns without waiting for
  // it to finish. Called on the model's thread. A sound that cannot be
  // played is not an error worth reporting: the check then hears silence.
  virtual void play() = 0;
};

// Plays nothing: the check then relies on whatever else is playing.
class NoCaptureCheckSound final : public CaptureCheckSound {
 public:
  void play() override {}
};

}  // namespace choralink
