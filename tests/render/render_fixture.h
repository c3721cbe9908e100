// Builders for the buffer lists and layouts the render tests feed to cl_ioproc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "render/cl_render.h"

namespace choralink::test {

// A platform-shaped buffer list that owns its sample memory. Each buffer gets
// a guard region behind its declared byte size, so a test can prove that no
// write ever lands past mDataByteSize.
class BufferList {
 public:
  static constexpr float kGuard = 12345.0f;
  static constexpr size_t kGuardSamples = 64;

  // One buffer per entry of `channels`, each `frames` frames long.
  BufferList(std::vector<uint32_t> channels, uint32_t frames) {
    const size_t count = channels.size();
    raw_.resize(sizeof(cl_audio_buffer_list) +
                (count > 0 ? count - 1 : 0) * sizeof(cl_audio_buffer));
    list()->mNumberBuffers = static_cast<uint32_t>(count);
    for (size_t i = 0; i < count; ++i) {
      const size_t samples = static_cast<size_t>(channels[i]) * frames;
      data_.emplace_back(samples + kGuardSamples, 0.0f);
      std::fill(data_.back().begin() + static_cast<ptrdiff_t>(samples), data_.back().end(), kGuard);
      cl_audio_buffer& b = buffer(i);
      b.mNumberChannels = channels[i];
      b.mDataByteSize = static_cast<uint32_t>(samples * 4);
      b.mData = data_.back().data();
    }
  }

  cl_audio_buffer_list* list() { return reinterpret_cast<cl_audio_buffer_list*>(raw_.data()); }
  cl_audio_buffer& buffer(size_t i) {
    cl_audio_buffer* buffers = list()->mBuffers;  // followed by the others in memory
    return buffers[i];
  }
  float* samples(size_t i) { return data_[i].data(); }
  float& at(size_t buffer, size_t frame, size_t channel) {
    return data_[buffer][frame * this->buffer(buffer).mNumberChannels + channel];
  }
  // True when nothing was written into the guard region behind buffer i's
  // declared size.
  bool guardIntact(size_t i) {
    const size_t used = this->buffer(i).mDataByteSize / 4;
    for (size_t s = used; s < data_[i].size(); ++s) {
      if (data_[i][s] != kGuard) return false;
    }
    return true;
  }
  void fill(float value) {
    for (size_t i = 0; i < data_.size(); ++i) {
      std::fill_n(data_[i].begin(), this->buffer(i).mDataByteSize / 4, value);
    }
  }

 private:
  std::vector<unsigned char> raw_;
  std::vector<std::vector<float>> data_;
};

// A device whose stereo pair lies interleaved in one buffer of `channels`.
inline cl_slot_layout interleavedLayout(int32_t buffer, int32_t channels = 2, int32_t left = 0,
                                        int32_t right = 1) {
  cl_slot_layout y{channels, left, right, {}};
  for (int32_t c = 0; c < channels && c < CL_MAX_SLOT_CHANNELS; ++c) {
    y.channels[c] = cl_channel_ref{buffer, c, channels};
  }
  return y;
}

// A device whose two channels lie in two mono buffers.
inline cl_slot_layout splitLayout(int32_t leftBuffer, int32_t rightBuffer) {
  return cl_slot_layout{2, 0, 1, {{leftBuffer, 0, 1}, {rightBuffer, 0, 1}}};
}

inline constexpr cl_input_layout kInterleavedInput{0, 1};
inline constexpr cl_input_layout kNoInput{-1, 0};

struct RenderDeleter {
  void operator()(cl_render* r) const { cl_render_destroy(r); }
};
using RenderPtr = std::unique_ptr<cl_render, RenderDeleter>;

inline RenderPtr makeRender(const std::vector<cl_slot_layout>& layouts, int32_t maxDelay = 48000,
                            double rate = 48000.0, cl_input_layout input = kInterleavedInput) {
  return RenderPtr(cl_render_create(static_cast<int32_t>(layouts.size()), layouts.data(), input,
                                    maxDelay, rate));
}

inline void runCycle(cl_render* r, BufferList& in, BufferList& out) {
  cl_ioproc(0, nullptr, in.list(), nullptr, out.list(), nullptr, r);
}

}  // namespace choralink::test
