// What a simulated device played, as heard at the device: every output
// channel, at the recording's rate, on the simulator's IO timeline (frame f
// sounds at IO time f / rate seconds), after the device's own output latency.
// A Recording is a snapshot copy; the simulator keeps a sliding window of the
// most recent seconds per device (older frames read as silence).
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace choralink::sim {

class Recording {
 public:
  Recording() = default;
  Recording(double rate, std::uint32_t channels, std::int64_t firstFrame,
            std::vector<float> interleaved);

  double rate() const { return rate_; }
  std::uint32_t channels() const { return channels_; }
  // Frames [firstFrame, endFrame) are held; everything else reads as 0.
  std::int64_t firstFrame() const { return first_; }
  std::int64_t endFrame() const { return first_ + frames(); }
  std::int64_t frames() const;
  double endTime() const { return rate_ > 0 ? static_cast<double>(endFrame()) / rate_ : 0; }

  float sample(std::int64_t frame, std::uint32_t channel) const;
  // One channel's samples for frames [from, to).
  std::vector<float> channel(std::uint32_t channel, std::int64_t from, std::int64_t to) const;

  // First frame at or after `from` where |sample| >= threshold on `channel`
  // (any channel when none).
  std::optional<std::int64_t> findOnset(float threshold, std::int64_t from = 0,
                                        std::optional<std::uint32_t> channel = std::nullopt) const;
  // The same in seconds on the IO timeline.
  std::optional<double> onsetTime(float threshold, double fromSeconds = 0,
                                  std::optional<std::uint32_t> channel = std::nullopt) const;
  // Every onset: frames where the signal rises to the threshold after at
  // least `gapFrames` frames below it.
  std::vector<std::int64_t> onsets(float threshold, std::int64_t gapFrames,
                                   std::int64_t from = 0) const;
  // Largest |sample| over frames [from, to) on all channels.
  float peak(std::int64_t from, std::int64_t to) const;
  bool isSilent() const;

  bool writeWav(const std::string& path) const;

 private:
  double rate_ = 0;
  std::uint32_t channels_ = 0;
  std::int64_t first_ = 0;
  std::vector<float> samples_;
};

// The simulator's writer behind a Recording: a ring of the newest frames that
// many sources mix into (sum). Not synchronised.
class Recorder {
 public:
  Recorder(double rate, std::uint32_t channels, double windowSeconds);

  double rate() const { return rate_; }
  std::uint32_t channels() const { return channels_; }

  // Adds `value` into frame `frame` of `channel`. Frames before the window
  // (or before 0) are dropped; writing past the end extends it with silence.
  void add(std::int64_t frame, std::uint32_t channel, float value);
  // Adds `frames` interleaved frames of `channels` samples from frame `first`
  // on (channels beyond the recording's are ignored).
  void addFrames(std::int64_t first, const float* interleaved, std::uint32_t frames,
                 std::uint32_t channels);
  // Extends the recording with silence up to `frame` (exclusive).
  void extendTo(std::int64_t frame);
  void clear();

  // A copy of frames [from, to) of the window.
  Recording snapshot(std::int64_t from = std::numeric_limits<std::int64_t>::min(),
                     std::int64_t to = std::numeric_limits<std::int64_t>::max()) const;

 private:
  double rate_;
  std::uint32_t channels_;
  std::int64_t capacity_;
  std::int64_t begin_ = 0;  // oldest frame held
  std::int64_t end_ = 0;    // one past the newest frame held
  std::vector<float> ring_;
};

}  // namespace choralink::sim
