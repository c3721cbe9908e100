// The short chime the application plays to check that system sound reaches
// capture: two sine partials (880 Hz and 1.5 × that) under an exponential
// decay, 0.3 at its onset, silent after 0.6 s. Every backend plays the same
// sound, so the capture check hears the same level everywhere.
#pragma once

#include <cmath>

namespace choralink::alertChime {

inline constexpr double kSeconds = 0.6;
inline constexpr double kHz = 880;
inline constexpr float kAmplitude = 0.3f;

// The chime's sample `t` seconds after its start (0 outside the chime).
inline float sample(double t, double hz = kHz, float amplitude = kAmplitude,
                    double seconds = kSeconds) {
  if (!(t >= 0 && t < seconds)) return 0.0f;
  // Decays to about 1 % of its onset by the end.
  const double tau = seconds / 4.6;
  const double w = 2.0 * M_PI * hz;
  const double partials = 0.7 * std::sin(w * t) + 0.3 * std::sin(1.5 * w * t);
  return amplitude * static_cast<float>(std::exp(-t / tau) * partials);
}

}  // namespace choralink::alertChime
