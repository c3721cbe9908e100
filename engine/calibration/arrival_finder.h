// Finds when a known signal arrives in a recording: the cross-correlation of
// the two (FFTW), its strongest peak inside a window, refined to a fraction
// of a frame, and how far that peak stands out from the rest of the window.
// Not thread-safe (FFTW plans); one finder per measurement.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace choralink {

struct Arrival {
  double frame = 0;         // where the signal starts in the recording
  double confidenceDb = 0;  // peak against the rest of the window (RMS), in dB
  float peak = 0;           // the correlation at the peak
};

class ArrivalFinder {
 public:
  // `recording` and `reference` at the same rate.
  ArrivalFinder(const std::vector<float>& recording, const std::vector<float>& reference);
  ~ArrivalFinder();
  ArrivalFinder(const ArrivalFinder&) = delete;
  ArrivalFinder& operator=(const ArrivalFinder&) = delete;

  // The strongest arrival starting within frames [from, to) of the recording
  // (clipped to it); a zero Arrival for an empty window.
  Arrival find(double from, double to) const;

 private:
  std::vector<float> correlation_;  // correlation_[t]: the reference placed at frame t
};

}  // namespace choralink
