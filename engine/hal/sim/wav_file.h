// Minimal RIFF/WAVE reading and writing for the simulator: sound files as the
// system mix, recordings written out for listening. Reads PCM 8/16/24/32-bit
// and IEEE float 32/64-bit, any channel count; writes 32-bit float.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace choralink::sim {

struct WavData {
  double rate = 0;
  std::uint32_t channels = 0;
  std::vector<float> samples;  // interleaved, frames × channels

  std::size_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
};

// None when the file cannot be read or is not a WAV file this reader knows.
std::optional<WavData> readWav(const std::string& path);
// Parses a WAV file held in memory.
std::optional<WavData> parseWav(const std::vector<std::uint8_t>& bytes);

// Writes 32-bit float WAV; false on any I/O failure.
bool writeWav(const std::string& path, const WavData& data);

}  // namespace choralink::sim
