#include "engine/calibration/measurement_signal.h"

#include <algorithm>
#include <cmath>

namespace choralink {

std::vector<float> fadedSweep(double rate, const SweepShape& shape) {
  if (!(rate > 0) || !(shape.seconds > 0)) return {};
  const auto length = static_cast<std::size_t>(std::llround(shape.seconds * rate));
  const double f0 = shape.startHz;
  const double f1 = std::max(f0 * 1.01, std::min(shape.endHz, 0.45 * rate));
  const double k = std::log(f1 / f0);
  const double fade = std::max(1.0, shape.fadeSeconds * rate);
  std::vector<float> sweep(length);
  for (std::size_t n = 0; n < length; ++n) {
    const double t = static_cast<double>(n) / rate;
    const double phase = 2 * M_PI * f0 * shape.seconds / k * (std::exp(t / shape.seconds * k) - 1);
    const double edge =
        std::min<double>(static_cast<double>(n), static_cast<double>(length - 1 - n));
    const double window = edge >= fade ? 1.0 : 0.5 - 0.5 * std::cos(M_PI * edge / fade);
    sweep[n] = static_cast<float>(shape.peak * window * std::sin(phase));
  }
  return sweep;
}

}  // namespace choralink
