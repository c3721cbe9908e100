// Records one input device through the seam: an IO procedure registered on
// the device and started, writing the first channel of its first input
// stream into a buffer allocated up front. The IO thread and the owner share
// only the buffer and an atomic frame count: the IO side writes past the
// count and then publishes it, the owner reads below it.
//
// Lives on the thread that created it (the engine's queue); stop() (or
// destruction) ends the IO before the buffer goes away.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/calibration/input_devices.h"
#include "engine/hal/audio_system.h"

namespace choralink {

class MicrophoneCapture {
 public:
  // Registers and starts the IO procedure; throws HALError
  // ("AudioDeviceCreateIOProcID", "AudioDeviceStart") and leaves nothing
  // behind. Frames beyond `capacityFrames` are dropped.
  MicrophoneCapture(AudioSystem& system, const InputDeviceInfo& device, std::size_t capacityFrames);
  ~MicrophoneCapture();
  MicrophoneCapture(const MicrophoneCapture&) = delete;
  MicrophoneCapture& operator=(const MicrophoneCapture&) = delete;

  // Frames captured so far (including dropped ones). Any thread.
  std::uint64_t frames() const;
  // Ends the IO; idempotent.
  void stop();
  // The captured samples: the first min(frames(), capacity) frames.
  std::vector<float> samples() const;

 private:
  struct Shared {
    std::vector<float> buffer;
    std::atomic<std::uint64_t> written{0};
  };
  static std::int32_t ioProc(std::uint32_t device, const cl_audio_timestamp* now,
                             const cl_audio_buffer_list* input, const cl_audio_timestamp* inputTime,
                             cl_audio_buffer_list* output, const cl_audio_timestamp* outputTime,
                             void* clientData);

  AudioSystem& system_;
  AudioObjectID device_;
  IOProcID proc_ = kNoIOProc;
  std::unique_ptr<Shared> shared_;
};

}  // namespace choralink
