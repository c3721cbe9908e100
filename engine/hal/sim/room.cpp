// The microphone of the simulated room: the sum of every speaker's direct
// and reflected sound, taken from the devices' recordings (which already
// carry each device's reported output latency), plus noise.
#include <cmath>

#include "engine/hal/sim/sim_impl.h"

namespace choralink::sim {

namespace {

constexpr double kMinDistance = 0.1;  // closer than this counts as touching

// The mean of a recording's channels at one frame.
float monoAt(const Recording& heard, std::int64_t frame) {
  const std::uint32_t channels = heard.channels();
  if (channels == 0) return 0.0f;
  float sum = 0.0f;
  for (std::uint32_t c = 0; c < channels; ++c)
    sum += heard.sample(frame, c);
  return sum / static_cast<float>(channels);
}

}  // namespace

void SimAudioSystem::setRoom(Room room) {
  std::lock_guard lock(impl_->mutex);
  impl_->roomNoise.seed(room.noiseSeed);
  impl_->room = std::move(room);
}

void SimAudioSystem::clearRoom() {
  std::lock_guard lock(impl_->mutex);
  impl_->room.reset();
}

void SimAudioSystem::Impl::renderMicrophone(DeviceRun& run, double period) {
  auto device = devices.find(run.device);
  if (device == devices.end() || device->second.spec.uid != room->microphoneUID) return;
  // The default output's direct playback is otherwise rendered at the end
  // of a pass; the room must hear it as it happens.
  renderDirect(run.cycleStart + period);
  const std::uint32_t frames = run.layout.frames;
  const double step = period / frames;
  const double inputLatency = device->second.spec.inputLatencyFrames / run.layout.rate;
  const double t0 = run.cycleStart - inputLatency;  // when frame 0's sound reached the capsule

  std::vector<float> heard(frames, 0.0f);
  if (!room->microphoneMuted) {
    for (const RoomSpeaker& speaker : room->speakers) {
      auto recorder = recorders.find(speaker.uid);
      if (recorder == recorders.end()) continue;
      const double rate = recorder->second->rate();
      std::vector<Reflection> paths{{0.0, 1.0}};
      paths.insert(paths.end(), room->reflections.begin(), room->reflections.end());
      for (const Reflection& path : paths) {
        const double meters = std::max(speaker.distanceMeters, kMinDistance) + path.extraMeters;
        const double delay = room->extraSeconds(speaker) + path.extraMeters / kSpeedOfSound;
        const auto gain = static_cast<float>(speaker.gain * path.gain / meters);
        const std::int64_t first = std::llround((t0 - delay) * rate);
        const std::int64_t last = std::llround((t0 + frames * step - delay) * rate) + 1;
        const Recording played = recorder->second->snapshot(first, last + 1);
        for (std::uint32_t n = 0; n < frames; ++n) {
          const std::int64_t frame = std::llround((t0 + n * step - delay) * rate);
          heard[n] += gain * monoAt(played, frame);
        }
      }
    }
    if (room->noiseRms > 0) {
      std::normal_distribution<float> noise(0.0f, static_cast<float>(room->noiseRms));
      for (float& v : heard)
        v += noise(roomNoise);
    }
  }
  for (std::size_t s = 0; s < run.layout.inputStreams.size(); ++s) {
    const std::uint32_t channels = run.layout.inputStreams[s];
    float* stream = run.input.data() + run.inputOffsets[s];
    for (std::uint32_t n = 0; n < frames; ++n) {
      for (std::uint32_t c = 0; c < channels; ++c)
        stream[std::size_t{n} * channels + c] = heard[n];
    }
  }
}

}  // namespace choralink::sim
