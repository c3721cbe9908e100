#include "engine/hal/sim/recording.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "engine/hal/sim/wav_file.h"

namespace choralink::sim {

Recording::Recording(double rate, std::uint32_t channels, std::int64_t firstFrame,
                     std::vector<float> interleaved)
    : rate_(rate), channels_(channels), first_(firstFrame), samples_(std::move(interleaved)) {}

std::int64_t Recording::frames() const {
  return channels_ == 0 ? 0 : static_cast<std::int64_t>(samples_.size() / channels_);
}

float Recording::sample(std::int64_t frame, std::uint32_t channel) const {
  if (channel >= channels_ || frame < first_ || frame >= endFrame()) return 0.0f;
  return samples_[static_cast<std::size_t>(frame - first_) * channels_ + channel];
}

std::vector<float> Recording::channel(std::uint32_t channel, std::int64_t from,
                                      std::int64_t to) const {
  std::vector<float> out;
  if (to <= from) return out;
  out.reserve(static_cast<std::size_t>(to - from));
  for (std::int64_t f = from; f < to; ++f)
    out.push_back(sample(f, channel));
  return out;
}

std::optional<std::int64_t> Recording::findOnset(float threshold, std::int64_t from,
                                                 std::optional<std::uint32_t> channel) const {
  for (std::int64_t f = std::max(from, first_); f < endFrame(); ++f) {
    for (std::uint32_t c = 0; c < channels_; ++c) {
      if (channel && c != *channel) continue;
      if (std::fabs(sample(f, c)) >= threshold) return f;
    }
  }
  return std::nullopt;
}

std::optional<double> Recording::onsetTime(float threshold, double fromSeconds,
                                           std::optional<std::uint32_t> channel) const {
  if (!(rate_ > 0)) return std::nullopt;
  const auto from = static_cast<std::int64_t>(std::ceil(fromSeconds * rate_));
  const auto frame = findOnset(threshold, from, channel);
  if (!frame) return std::nullopt;
  return static_cast<double>(*frame) / rate_;
}

std::vector<std::int64_t> Recording::onsets(float threshold, std::int64_t gapFrames,
                                            std::int64_t from) const {
  std::vector<std::int64_t> found;
  std::int64_t quiet = gapFrames;  // frames below the threshold so far
  for (std::int64_t f = std::max(from, first_); f < endFrame(); ++f) {
    bool loud = false;
    for (std::uint32_t c = 0; c < channels_ && !loud; ++c) {
      loud = std::fabs(sample(f, c)) >= threshold;
    }
    if (loud) {
      if (quiet >= gapFrames) found.push_back(f);
      quiet = 0;
    } else {
      ++quiet;
    }
  }
  return found;
}

float Recording::peak(std::int64_t from, std::int64_t to) const {
  float p = 0;
  for (std::int64_t f = std::max(from, first_); f < std::min(to, endFrame()); ++f) {
    for (std::uint32_t c = 0; c < channels_; ++c)
      p = std::max(p, std::fabs(sample(f, c)));
  }
  return p;
}

bool Recording::isSilent() const {
  return std::all_of(samples_.begin(), samples_.end(), [](float v) { return v == 0.0f; });
}

bool Recording::writeWav(const std::string& path) const {
  WavData data;
  data.rate = rate_;
  data.channels = channels_;
  data.samples = samples_;
  return sim::writeWav(path, data);
}

Recorder::Recorder(double rate, std::uint32_t channels, double windowSeconds)
    : rate_(rate),
      channels_(channels),
      capacity_(
          std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(windowSeconds * rate)))) {}

void Recorder::extendTo(std::int64_t frame) {
  if (frame <= end_) return;
  // The ring grows with the recording until it holds the whole window; until
  // then frame f sits at slot f, which is also f % capacity_.
  const std::int64_t needed = std::min(frame, capacity_);
  const auto held = static_cast<std::int64_t>(ring_.size() / channels_);
  if (held < needed) {
    const std::int64_t grown = std::min(capacity_, std::max(needed, 2 * held));
    ring_.resize(static_cast<std::size_t>(grown) * channels_, 0.0f);
  }
  if (frame - end_ >= capacity_) {
    std::fill(ring_.begin(), ring_.end(), 0.0f);
  } else {
    // Frames [end_, frame) wrap around the ring at most once.
    const std::int64_t from = end_ % capacity_;
    const std::int64_t count = frame - end_;
    const std::int64_t first = std::min(count, capacity_ - from);
    const auto zero = [this](std::int64_t slot, std::int64_t frames) {
      auto begin = ring_.begin() + static_cast<std::ptrdiff_t>(slot * channels_);
      std::fill(begin, begin + static_cast<std::ptrdiff_t>(frames * channels_), 0.0f);
    };
    zero(from, first);
    if (count > first) zero(0, count - first);
  }
  end_ = frame;
  begin_ = std::max(begin_, end_ - capacity_);
}

void Recorder::add(std::int64_t frame, std::uint32_t channel, float value) {
  if (channel >= channels_ || frame < 0 || frame < end_ - capacity_) return;
  extendTo(frame + 1);
  if (frame < begin_) return;
  ring_[static_cast<std::size_t>(frame % capacity_) * channels_ + channel] += value;
}

void Recorder::addFrames(std::int64_t first, const float* interleaved, std::uint32_t frames,
                         std::uint32_t channels) {
  if (frames == 0) return;
  extendTo(first + frames);
  const std::uint32_t used = std::min(channels, channels_);
  const std::int64_t from = std::max({first, begin_, std::int64_t{0}});
  std::int64_t slot = from % capacity_;
  for (std::int64_t f = from; f < first + frames; ++f) {
    const float* src = interleaved + static_cast<std::size_t>(f - first) * channels;
    float* dst = ring_.data() + static_cast<std::size_t>(slot) * channels_;
    for (std::uint32_t c = 0; c < used; ++c)
      dst[c] += src[c];
    if (++slot == capacity_) slot = 0;
  }
}

void Recorder::clear() {
  std::fill(ring_.begin(), ring_.end(), 0.0f);
  begin_ = end_;
}

Recording Recorder::snapshot(std::int64_t from, std::int64_t to) const {
  const std::int64_t first = std::clamp(from, begin_, end_);
  const std::int64_t last = std::clamp(to, first, end_);
  std::vector<float> out;
  out.reserve(static_cast<std::size_t>(last - first) * channels_);
  for (std::int64_t f = first; f < last; ++f) {
    const auto slot = static_cast<std::size_t>(f % capacity_) * channels_;
    out.insert(out.end(), ring_.begin() + static_cast<std::ptrdiff_t>(slot),
               ring_.begin() + static_cast<std::ptrdiff_t>(slot + channels_));
  }
  return Recording(rate_, channels_, first, std::move(out));
}

}  // namespace choralink::sim
