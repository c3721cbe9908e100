#include "engine/hal/sim/signal_source.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "engine/hal/alert_chime.h"

namespace choralink::sim {

class SignalSource::Impl {
 public:
  virtual ~Impl() = default;
  virtual void render(double start, double step, std::uint32_t frames, float* stereo) const = 0;
};

namespace {

// A frame whose time lies within this fraction of a frame before an edge
// counts as at the edge, so float noise in the timeline never moves an onset.
constexpr double kEdgeTolerance = 1e-4;

class Sine final : public SignalSource::Impl {
 public:
  Sine(double hz, float amplitude) : hz_(hz), amplitude_(amplitude) {}
  void render(double start, double step, std::uint32_t frames, float* out) const override {
    const double w = 2.0 * M_PI * hz_;
    for (std::uint32_t i = 0; i < frames; ++i) {
      const float v = amplitude_ * static_cast<float>(std::sin(w * (start + i * step)));
      out[2 * i] = v;
      out[2 * i + 1] = v;
    }
  }

 private:
  double hz_;
  float amplitude_;
};

class Clicks final : public SignalSource::Impl {
 public:
  Clicks(double first, double period, float amplitude, double length,
         std::optional<std::int64_t> count)
      : first_(first),
        period_(period > 0 ? period : 1.0),
        amplitude_(amplitude),
        length_(std::max(length, 0.0)),
        count_(count) {}

  void render(double start, double step, std::uint32_t frames, float* out) const override {
    std::fill(out, out + 2 * std::size_t{frames}, 0.0f);
    if (frames == 0 || !(step > 0)) return;
    const double end = start + frames * step;
    auto firstIndex = static_cast<std::int64_t>(std::floor((start - first_ - length_) / period_));
    firstIndex = std::max<std::int64_t>(firstIndex, 0);
    for (std::int64_t k = firstIndex;; ++k) {
      if (count_ && k >= *count_) break;
      const double clickStart = first_ + static_cast<double>(k) * period_;
      if (clickStart - step * kEdgeTolerance >= end) break;
      // Frames [a, b) of this chunk fall inside the click (at least one).
      const double a = std::ceil((clickStart - start) / step - kEdgeTolerance);
      const double b =
          std::max(std::ceil((clickStart + length_ - start) / step - kEdgeTolerance), a + 1);
      const auto from = static_cast<std::int64_t>(std::max(a, 0.0));
      const auto to = static_cast<std::int64_t>(std::min(b, static_cast<double>(frames)));
      for (std::int64_t i = from; i < to; ++i) {
        out[2 * i] = amplitude_;
        out[2 * i + 1] = amplitude_;
      }
    }
  }

 private:
  double first_, period_;
  float amplitude_;
  double length_;
  std::optional<std::int64_t> count_;
};

class Samples final : public SignalSource::Impl {
 public:
  Samples(WavData data, double start, bool loop)
      : data_(std::move(data)), start_(start), loop_(loop) {}

  void render(double start, double step, std::uint32_t frames, float* out) const override {
    const std::size_t n = data_.frames();
    for (std::uint32_t i = 0; i < frames; ++i) {
      double pos = (start + i * step - start_) * data_.rate;
      float l = 0, r = 0;
      if (n > 0 && (loop_ || (pos >= 0 && pos <= static_cast<double>(n - 1)))) {
        if (loop_)
          pos = std::fmod(std::fmod(pos, static_cast<double>(n)) + n, static_cast<double>(n));
        const auto i0 = static_cast<std::size_t>(pos);
        const std::size_t i1 = loop_ ? (i0 + 1) % n : std::min(i0 + 1, n - 1);
        const auto t = static_cast<float>(pos - static_cast<double>(i0));
        l = lerp(sample(i0, 0), sample(i1, 0), t);
        r = lerp(sample(i0, 1), sample(i1, 1), t);
      }
      out[2 * i] = l;
      out[2 * i + 1] = r;
    }
  }

 private:
  static float lerp(float a, float b, float t) { return a + (b - a) * t; }
  float sample(std::size_t frame, std::uint32_t side) const {
    const std::uint32_t c = data_.channels == 1 ? 0 : side;
    return data_.samples[frame * data_.channels + c];
  }
  WavData data_;
  double start_;
  bool loop_;
};

class Custom final : public SignalSource::Impl {
 public:
  explicit Custom(std::function<void(double, float&, float&)> fn) : fn_(std::move(fn)) {}
  void render(double start, double step, std::uint32_t frames, float* out) const override {
    for (std::uint32_t i = 0; i < frames; ++i) {
      float l = 0, r = 0;
      if (fn_) fn_(start + i * step, l, r);
      out[2 * i] = l;
      out[2 * i + 1] = r;
    }
  }

 private:
  std::function<void(double, float&, float&)> fn_;
};

class Chime final : public SignalSource::Impl {
 public:
  Chime(double start, double hz, float amplitude, double seconds)
      : start_(start), hz_(hz), amplitude_(amplitude), seconds_(std::max(seconds, 0.0)) {}
  void render(double start, double step, std::uint32_t frames, float* out) const override {
    for (std::uint32_t i = 0; i < frames; ++i) {
      const float v = alertChime::sample(start + i * step - start_, hz_, amplitude_, seconds_);
      out[2 * i] = v;
      out[2 * i + 1] = v;
    }
  }

 private:
  double start_, hz_;
  float amplitude_;
  double seconds_;
};

class Mix final : public SignalSource::Impl {
 public:
  Mix(SignalSource a, SignalSource b) : a_(std::move(a)), b_(std::move(b)) {}
  void render(double start, double step, std::uint32_t frames, float* out) const override {
    a_.render(start, step, frames, out);
    // The second source goes through a small buffer in chunks, so rendering
    // never allocates (IO threads call this).
    constexpr std::uint32_t kChunk = 256;
    float scratch[2 * kChunk];
    for (std::uint32_t done = 0; done < frames;) {
      const std::uint32_t n = std::min(kChunk, frames - done);
      b_.render(start + done * step, step, n, scratch);
      for (std::uint32_t i = 0; i < 2 * n; ++i)
        out[2 * std::size_t{done} + i] += scratch[i];
      done += n;
    }
  }

 private:
  SignalSource a_, b_;
};

}  // namespace

SignalSource::SignalSource() = default;

SignalSource SignalSource::silence() {
  return SignalSource();
}

SignalSource SignalSource::sine(double hz, float amplitude) {
  return SignalSource(std::make_shared<Sine>(hz, amplitude));
}

SignalSource SignalSource::clickTrain(double firstSeconds, double periodSeconds, float amplitude,
                                      double clickSeconds, std::optional<std::int64_t> count) {
  return SignalSource(
      std::make_shared<Clicks>(firstSeconds, periodSeconds, amplitude, clickSeconds, count));
}

SignalSource SignalSource::samples(WavData data, double startSeconds, bool loop) {
  if (data.channels == 0 || data.frames() == 0 || !(data.rate > 0)) return silence();
  return SignalSource(std::make_shared<Samples>(std::move(data), startSeconds, loop));
}

std::optional<SignalSource> SignalSource::wavFile(const std::string& path, double startSeconds,
                                                  bool loop) {
  auto data = readWav(path);
  if (!data) return std::nullopt;
  return samples(std::move(*data), startSeconds, loop);
}

SignalSource SignalSource::custom(std::function<void(double, float&, float&)> fn) {
  return SignalSource(std::make_shared<Custom>(std::move(fn)));
}

SignalSource SignalSource::chime(double startSeconds, double hz, float amplitude, double seconds) {
  return SignalSource(std::make_shared<Chime>(startSeconds, hz, amplitude, seconds));
}

SignalSource SignalSource::mix(SignalSource a, SignalSource b) {
  if (a.isSilence()) return b;
  if (b.isSilence()) return a;
  return SignalSource(std::make_shared<Mix>(std::move(a), std::move(b)));
}

void SignalSource::render(double start, double step, std::uint32_t frames, float* stereo) const {
  if (!impl_) {
    std::fill(stereo, stereo + 2 * std::size_t{frames}, 0.0f);
    return;
  }
  impl_->render(start, step, frames, stereo);
}

}  // namespace choralink::sim
