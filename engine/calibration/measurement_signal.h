// The measurement signal: an exponential sine sweep with raised-cosine fades,
// quiet enough to be safe on any speaker and wide enough in frequency for a
// sharp correlation peak.
#pragma once

#include <vector>

namespace choralink {

struct SweepShape {
  double seconds = 0.5;
  double startHz = 150;
  double endHz = 9000;
  double fadeSeconds = 0.02;
  float peak = 0.1f;  // -20 dBFS
};

// The sweep sampled at `rate`; the same shape at two rates gives the same
// sound, so a capture at the microphone's rate correlates with the copy
// played at the broadcast's. An end frequency above 0.45 × rate is lowered
// to it.
std::vector<float> fadedSweep(double rate, const SweepShape& shape = {});

}  // namespace choralink
