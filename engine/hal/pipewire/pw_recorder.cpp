#include "engine/hal/pipewire/pw_recorder.h"

#include <algorithm>
#include <cstring>

namespace choralink::pipewire {

PwRecorder::PwRecorder(PwThreadLoop& loop, std::string nodeName, std::vector<PwDspPort> inputs,
                       size_t capacityFrames)
    : capacity_(capacityFrames),
      data_(inputs.size(), std::vector<float>(capacityFrames, 0.0f)),
      drivers_(capacityFrames, 0),
      quanta_(capacityFrames, 0),
      clock_(capacityFrames, 0) {
  PwDspFilter::Spec spec;
  spec.nodeName = std::move(nodeName);
  spec.inputs = std::move(inputs);
  filter_ = std::make_unique<PwDspFilter>(loop, std::move(spec), &PwRecorder::process, this);
}

PwRecorder::~PwRecorder() {
  filter_.reset();
}

void PwRecorder::arm() {
  armRequest_.store(true, std::memory_order_release);
}

std::vector<float> PwRecorder::channel(size_t index) const {
  if (index >= data_.size()) return {};
  const size_t n = frames();
  return std::vector<float>(data_[index].begin(), data_[index].begin() + static_cast<long>(n));
}

uint32_t PwRecorder::driverAt(size_t frame) const {
  return frame < frames() ? drivers_[frame] : 0;
}

uint32_t PwRecorder::quantumAt(size_t frame) const {
  return frame < frames() ? quanta_[frame] : 0;
}

uint64_t PwRecorder::clockAt(size_t frame) const {
  return frame < frames() ? clock_[frame] : 0;
}

void PwRecorder::process(void* user, const PwCycle& cycle, const float* const* inputs,
                         float* const* /*outputs*/) {
  auto* self = static_cast<PwRecorder*>(user);
  const uint32_t frames = cycle.frames;
  if (self->armRequest_.exchange(false, std::memory_order_acquire)) {
    self->frames_.store(0, std::memory_order_release);
    self->recording_.store(true, std::memory_order_relaxed);
  }
  if (!self->recording_.load(std::memory_order_relaxed)) return;
  const size_t at = self->frames_.load(std::memory_order_relaxed);
  const size_t n = std::min<size_t>(frames, self->capacity_ - at);
  for (size_t c = 0; c < self->data_.size(); ++c)
    std::memcpy(self->data_[c].data() + at, inputs[c], n * sizeof(float));
  std::fill_n(self->drivers_.begin() + static_cast<long>(at), n, cycle.driverId);
  std::fill_n(self->quanta_.begin() + static_cast<long>(at), n, frames);
  for (size_t i = 0; i < n; ++i)
    self->clock_[at + i] = cycle.position + i;
  self->frames_.store(at + n, std::memory_order_release);
  if (at + n >= self->capacity_) self->recording_.store(false, std::memory_order_relaxed);
}

PwPlayer::PwPlayer(PwThreadLoop& loop, std::string nodeName, std::vector<PwDspPort> outputs,
                   std::vector<std::vector<float>> signal)
    : signal_(std::move(signal)) {
  signal_.resize(outputs.size());
  for (const auto& s : signal_)
    length_ = std::max(length_, s.size());
  PwDspFilter::Spec spec;
  spec.nodeName = std::move(nodeName);
  spec.outputs = std::move(outputs);
  filter_ = std::make_unique<PwDspFilter>(loop, std::move(spec), &PwPlayer::process, this);
}

PwPlayer::~PwPlayer() {
  filter_.reset();
}

void PwPlayer::start() {
  startRequest_.store(true, std::memory_order_release);
}

bool PwPlayer::finished() const {
  return position() >= length_;
}

void PwPlayer::process(void* user, const PwCycle& cycle, const float* const* /*inputs*/,
                       float* const* outputs) {
  auto* self = static_cast<PwPlayer*>(user);
  const uint32_t frames = cycle.frames;
  if (self->startRequest_.exchange(false, std::memory_order_acquire)) {
    self->position_.store(0, std::memory_order_release);
    self->playing_.store(true, std::memory_order_relaxed);
  }
  const bool playing = self->playing_.load(std::memory_order_relaxed);
  const size_t at = self->position_.load(std::memory_order_relaxed);
  for (size_t c = 0; c < self->signal_.size(); ++c) {
    float* out = outputs[c];
    const auto& s = self->signal_[c];
    for (uint32_t n = 0; n < frames; ++n) {
      const size_t p = at + n;
      out[n] = playing && p < s.size() ? s[p] : 0.0f;
    }
  }
  if (playing) {
    self->position_.store(std::min(at + frames, self->length_), std::memory_order_release);
    if (at + frames >= self->length_) self->playing_.store(false, std::memory_order_relaxed);
  }
}

}  // namespace choralink::pipewire
