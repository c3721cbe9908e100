#include "engine/calibration/arrival_finder.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>

namespace choralink {

namespace {

// Frames on each side of a peak that belong to it (its main lobe and the
// first sidelobes), left out of "the rest".
constexpr std::ptrdiff_t kPeakHalfWidth = 48;

std::size_t fftSize(std::size_t frames) {
  std::size_t n = 1;
  while (n < frames)
    n *= 2;
  return n;
}

struct FloatBuffer {
  explicit FloatBuffer(std::size_t n) : data(fftwf_alloc_real(n)) {
    std::fill(data, data + n, 0.0f);
  }
  ~FloatBuffer() { fftwf_free(data); }
  float* data;
};

struct ComplexBuffer {
  explicit ComplexBuffer(std::size_t n) : data(fftwf_alloc_complex(n)) {}
  ~ComplexBuffer() { fftwf_free(data); }
  fftwf_complex* data;
};

}  // namespace

ArrivalFinder::ArrivalFinder(const std::vector<float>& recording,
                             const std::vector<float>& reference) {
  if (recording.empty() || reference.empty()) return;
  const std::size_t n = fftSize(recording.size() + reference.size());
  const std::size_t bins = n / 2 + 1;
  FloatBuffer x(n), s(n);
  ComplexBuffer X(bins), S(bins);
  std::copy(recording.begin(), recording.end(), x.data);
  std::copy(reference.begin(), reference.end(), s.data);
  const auto size = static_cast<int>(n);
  fftwf_plan forwardX = fftwf_plan_dft_r2c_1d(size, x.data, X.data, FFTW_ESTIMATE);
  fftwf_plan forwardS = fftwf_plan_dft_r2c_1d(size, s.data, S.data, FFTW_ESTIMATE);
  fftwf_execute(forwardX);
  fftwf_execute(forwardS);
  for (std::size_t k = 0; k < bins; ++k) {
    const std::complex<float> a(X.data[k][0], X.data[k][1]);
    const std::complex<float> b(S.data[k][0], S.data[k][1]);
    const std::complex<float> c = a * std::conj(b) / static_cast<float>(n);
    X.data[k][0] = c.real();
    X.data[k][1] = c.imag();
  }
  fftwf_plan inverse = fftwf_plan_dft_c2r_1d(size, X.data, x.data, FFTW_ESTIMATE);
  fftwf_execute(inverse);
  correlation_.assign(x.data, x.data + recording.size());
  fftwf_destroy_plan(forwardX);
  fftwf_destroy_plan(forwardS);
  fftwf_destroy_plan(inverse);
}

ArrivalFinder::~ArrivalFinder() = default;

Arrival ArrivalFinder::find(double from, double to) const {
  const auto size = static_cast<std::ptrdiff_t>(correlation_.size());
  const std::ptrdiff_t first = std::clamp<std::ptrdiff_t>(std::llround(std::ceil(from)), 0, size);
  const std::ptrdiff_t end = std::clamp<std::ptrdiff_t>(std::llround(std::ceil(to)), first, size);
  if (end - first < 3) return {};
  std::ptrdiff_t best = first;
  for (std::ptrdiff_t t = first; t < end; ++t) {
    if (std::fabs(correlation_[t]) > std::fabs(correlation_[best])) best = t;
  }
  const float peak = correlation_[best];
  double sum = 0;
  std::size_t count = 0;
  for (std::ptrdiff_t t = first; t < end; ++t) {
    if (std::abs(t - best) <= kPeakHalfWidth) continue;
    sum += double{correlation_[t]} * correlation_[t];
    ++count;
  }
  Arrival arrival;
  arrival.peak = peak;
  arrival.frame = static_cast<double>(best);
  if (best > 0 && best + 1 < size) {
    // A parabola through the peak and its neighbours, with the peak's sign
    // made positive so an inverted speaker is found the same way.
    const double sign = peak < 0 ? -1 : 1;
    const double a = sign * correlation_[best - 1];
    const double b = sign * peak;
    const double c = sign * correlation_[best + 1];
    const double curvature = a - 2 * b + c;
    if (curvature < 0) arrival.frame += 0.5 * (a - c) / curvature;
  }
  const double rest = count > 0 ? std::sqrt(sum / static_cast<double>(count)) : 0;
  arrival.confidenceDb = rest > 0    ? 20 * std::log10(std::fabs(peak) / rest)
                         : peak != 0 ? 120.0
                                     : 0.0;
  return arrival;
}

}  // namespace choralink
