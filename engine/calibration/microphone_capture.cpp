#include "engine/calibration/microphone_capture.h"

#include <algorithm>

#include "engine/hal/hal_error.h"

namespace choralink {

MicrophoneCapture::MicrophoneCapture(AudioSystem& system, const InputDeviceInfo& device,
                                     std::size_t capacityFrames)
    : system_(system), device_(device.id), shared_(std::make_unique<Shared>()) {
  shared_->buffer.assign(capacityFrames, 0.0f);
  if (HALStatus status = system_.createIOProcID(device_, &ioProc, shared_.get(), proc_);
      status != kStatusOK) {
    proc_ = kNoIOProc;
    throw HALError(status, "AudioDeviceCreateIOProcID");
  }
  if (HALStatus status = system_.startDevice(device_, proc_); status != kStatusOK) {
    system_.destroyIOProcID(device_, proc_);
    proc_ = kNoIOProc;
    throw HALError(status, "AudioDeviceStart");
  }
}

MicrophoneCapture::~MicrophoneCapture() {
  stop();
}

void MicrophoneCapture::stop() {
  if (proc_ == kNoIOProc) return;
  system_.stopDevice(device_, proc_);
  system_.destroyIOProcID(device_, proc_);
  proc_ = kNoIOProc;
}

std::uint64_t MicrophoneCapture::frames() const {
  return shared_->written.load(std::memory_order_acquire);
}

std::vector<float> MicrophoneCapture::samples() const {
  const auto held =
      static_cast<std::size_t>(std::min<std::uint64_t>(frames(), shared_->buffer.size()));
  return std::vector<float>(shared_->buffer.begin(), shared_->buffer.begin() + held);
}

std::int32_t MicrophoneCapture::ioProc(std::uint32_t, const cl_audio_timestamp*,
                                       const cl_audio_buffer_list* input, const cl_audio_timestamp*,
                                       cl_audio_buffer_list*, const cl_audio_timestamp*,
                                       void* clientData) {
  auto* shared = static_cast<Shared*>(clientData);
  if (input == nullptr) return 0;
  const cl_audio_buffer* stream = nullptr;
  for (std::uint32_t b = 0; b < input->mNumberBuffers; ++b) {
    if (input->mBuffers[b].mNumberChannels != 0) {
      stream = &input->mBuffers[b];
      break;
    }
  }
  if (stream == nullptr) return 0;
  const std::uint32_t channels = stream->mNumberChannels;
  const std::uint64_t frames = stream->mDataByteSize / (4ull * channels);
  const auto* samples = static_cast<const float*>(stream->mData);
  const std::uint64_t at = shared->written.load(std::memory_order_relaxed);
  const std::uint64_t capacity = shared->buffer.size();
  for (std::uint64_t n = 0; n < frames && at + n < capacity; ++n) {
    shared->buffer[at + n] = samples != nullptr ? samples[n * channels] : 0.0f;
  }
  shared->written.store(at + frames, std::memory_order_release);
  return 0;
}

}  // namespace choralink
