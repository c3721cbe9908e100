// Pure translations of what PipeWire reports about a node into plain values:
// audio format params (EnumFormat, Format), latency params (Latency,
// ProcessLatency) and the text forms of a few node properties. No connection
// and no lock involved; every function is safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct spa_pod;

namespace choralink::pipewire {

// One range of sample rates in Hz; a single rate has min == max.
struct RateRange {
  double min = 0;
  double max = 0;
  bool operator==(const RateRange&) const = default;
};

// What an audio/raw format param offers or holds.
struct AudioFormat {
  double rate = 0;                     // the default (or fixed) rate; 0 when absent
  std::vector<RateRange> rates;        // every offered rate, in the param's order
  uint32_t channels = 0;               // 0 when absent
  std::vector<std::string> positions;  // channel position names ("FL", "FR", ...)
  bool operator==(const AudioFormat&) const = default;
};

// The audio/raw part of an EnumFormat or Format object; none for any other
// pod (video, compressed audio, not an object).
std::optional<AudioFormat> parseAudioFormat(const spa_pod* param);

// A Latency param: the latency between this node and the end of the graph in
// one direction, in three units that add up (quanta, frames at the graph
// rate, nanoseconds). Values are the maxima.
struct LatencyValue {
  bool input = false;  // direction: true for the input side (what a sink reports)
  double quantum = 0;
  uint32_t rate = 0;
  uint64_t ns = 0;
  bool operator==(const LatencyValue&) const = default;
};
std::optional<LatencyValue> parseLatency(const spa_pod* param);
// A ProcessLatency param (the node's own processing delay); `input` unused.
std::optional<LatencyValue> parseProcessLatency(const spa_pod* param);

// Frames that a latency value amounts to at `rate` Hz with a quantum of
// `quantum` frames, rounded half away from zero.
int64_t latencyFrames(const LatencyValue& value, double quantumFrames, double rate);

// "FL,FR", "[ FL FR ]", "FL FR" → {"FL", "FR"}. Empty text gives none.
std::vector<std::string> parsePositions(std::string_view text);

// "1024/48000" → frames at `rate` Hz (1024 at 48000, 1115 for 1024/44100 at
// 48000, half away from zero). None for anything else.
std::optional<int64_t> parseQuantumFraction(std::string_view text, double rate);

// The "name" of a metadata JSON value such as { "name": "alsa_output.x" };
// empty for anything else (a removed key, broken JSON).
std::string parseMetadataName(std::string_view json);
// The JSON value that names `name` in the form the default metadata uses.
std::string metadataNameValue(std::string_view name);

// A decimal integer property; none when absent or not a number.
std::optional<int64_t> parseInteger(std::string_view text);

}  // namespace choralink::pipewire
