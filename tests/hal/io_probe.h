// An IO procedure for simulator tests: records what each cycle looked like
// and, when asked, copies the captured stereo input to every output stream.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "render/cl_render.h"

namespace choralink::sim {

struct IOProbe {
  std::atomic<int> calls{0};
  std::mutex mutex;
  std::vector<std::uint32_t> outChannels;
  std::vector<std::uint32_t> inChannels;
  std::vector<bool> inHasData;
  std::uint32_t outFrames = 0;
  int tapBuffer = -1;  // the input buffer passed through, when >= 0
  std::atomic<bool> mustNotRun{false};
  std::atomic<bool> ranWhenItMustNot{false};

  static std::int32_t proc(std::uint32_t, const cl_audio_timestamp*, const cl_audio_buffer_list* in,
                           const cl_audio_timestamp*, cl_audio_buffer_list* out,
                           const cl_audio_timestamp*, void* data) {
    auto* self = static_cast<IOProbe*>(data);
    if (self->mustNotRun) self->ranWhenItMustNot = true;
    std::lock_guard lock(self->mutex);
    self->calls++;
    self->outChannels.clear();
    self->inChannels.clear();
    self->inHasData.clear();
    const cl_audio_buffer* outs = out->mBuffers;
    const cl_audio_buffer* ins = in->mBuffers;
    for (std::uint32_t i = 0; i < out->mNumberBuffers; ++i) {
      self->outChannels.push_back(outs[i].mNumberChannels);
    }
    for (std::uint32_t i = 0; i < in->mNumberBuffers; ++i) {
      self->inChannels.push_back(ins[i].mNumberChannels);
      self->inHasData.push_back(ins[i].mData != nullptr);
    }
    if (out->mNumberBuffers > 0 && outs[0].mNumberChannels > 0) {
      self->outFrames = outs[0].mDataByteSize / (4 * outs[0].mNumberChannels);
    }
    if (self->tapBuffer < 0 || static_cast<std::uint32_t>(self->tapBuffer) >= in->mNumberBuffers) {
      return 0;
    }
    const cl_audio_buffer& tap = ins[self->tapBuffer];
    if (tap.mData == nullptr) return 0;
    const auto* samples = static_cast<const float*>(tap.mData);
    const std::uint32_t stride = tap.mNumberChannels;
    const std::uint32_t frames = tap.mDataByteSize / (4 * stride);
    for (std::uint32_t b = 0; b < out->mNumberBuffers; ++b) {
      auto* dst = static_cast<float*>(outs[b].mData);
      const std::uint32_t c = outs[b].mNumberChannels;
      for (std::uint32_t f = 0; f < frames && (f + 1) * c * 4 <= outs[b].mDataByteSize; ++f) {
        for (std::uint32_t k = 0; k < c; ++k) {
          dst[f * c + k] = samples[f * stride + (stride > 1 ? k % 2 : 0)];
        }
      }
    }
    return 0;
  }
};

}  // namespace choralink::sim
