// What the system's processes are playing: the simulated system mix. A
// source is a function of time on the simulator's IO timeline (seconds), so
// the same sound can be sampled at any rate and clock pace: by a process tap
// at its aggregate's rate, and by the default output device playing it
// directly. Stereo; immutable once built; cheap to copy.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/hal/sim/wav_file.h"

namespace choralink::sim {

class SignalSource {
 public:
  // Digital silence (exact zeros).
  SignalSource();
  static SignalSource silence();
  // amplitude × sin(2π hz t) on both channels.
  static SignalSource sine(double hz, float amplitude = 0.5f);
  // Rectangular clicks of `amplitude` lasting `clickSeconds`, the first at
  // `firstSeconds`, then every `periodSeconds`; `count` clicks (none: for
  // ever). A click's first sample is the first frame at or after its time, so
  // on a frame grid that includes that time the onset is sample-exact.
  static SignalSource clickTrain(double firstSeconds, double periodSeconds, float amplitude = 1.0f,
                                 double clickSeconds = 0.001,
                                 std::optional<std::int64_t> count = std::nullopt);
  // Sound-file samples starting at `startSeconds` (mono feeds both sides,
  // channels past the second are ignored), linearly interpolated to the
  // rate asked for; silence outside the file unless `loop`.
  static SignalSource samples(WavData data, double startSeconds = 0, bool loop = false);
  // Reads a WAV file; none when it cannot be read.
  static std::optional<SignalSource> wavFile(const std::string& path, double startSeconds = 0,
                                             bool loop = false);
  // Any function of time: fills (left, right) for time t.
  static SignalSource custom(std::function<void(double t, float& left, float& right)> fn);
  // The alert chime (engine/hal/alert_chime.h) from `startSeconds`, silent
  // from `startSeconds + seconds` on.
  static SignalSource chime(double startSeconds, double hz = 880, float amplitude = 0.3f,
                            double seconds = 0.6);
  // Both sources playing at once: their samples added.
  static SignalSource mix(SignalSource a, SignalSource b);

  // Fills `frames` interleaved stereo frames for times start + i × step.
  void render(double start, double step, std::uint32_t frames, float* stereo) const;

  bool isSilence() const { return impl_ == nullptr; }

  class Impl;

 private:
  explicit SignalSource(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<const Impl> impl_;
};

}  // namespace choralink::sim
