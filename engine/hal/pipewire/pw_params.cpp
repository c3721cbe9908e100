#include "engine/hal/pipewire/pw_params.h"

#include <spa/debug/types.h>
#include <spa/param/audio/raw-types.h>
#include <spa/param/format-utils.h>
#include <spa/param/latency-utils.h>
#include <spa/pod/iter.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

namespace choralink::pipewire {

namespace {

int64_t roundHalfAway(double value) {
  return static_cast<int64_t>(value < 0 ? std::ceil(value - 0.5) : std::floor(value + 0.5));
}

// The int values of a (possibly choice) pod: the default first, then the
// alternatives, with the choice kind.
struct IntChoice {
  uint32_t choice = SPA_CHOICE_None;
  std::vector<int32_t> values;
};

std::optional<IntChoice> intChoice(const spa_pod* pod) {
  uint32_t count = 0;
  IntChoice result;
  const spa_pod* values = spa_pod_get_values(pod, &count, &result.choice);
  if (values == nullptr || values->type != SPA_TYPE_Int || values->size < sizeof(int32_t)) {
    return std::nullopt;
  }
  const auto* body = static_cast<const int32_t*>(SPA_POD_BODY_CONST(values));
  result.values.assign(body, body + count);
  if (result.values.empty()) return std::nullopt;
  return result;
}

std::string channelName(uint32_t id) {
  const char* name = spa_debug_type_find_short_name(spa_type_audio_channel, id);
  return name != nullptr ? name : "UNK";
}

}  // namespace

std::optional<AudioFormat> parseAudioFormat(const spa_pod* param) {
  if (param == nullptr || !spa_pod_is_object(param)) return std::nullopt;
  uint32_t mediaType = 0;
  uint32_t mediaSubtype = 0;
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0) return std::nullopt;
  if (mediaType != SPA_MEDIA_TYPE_audio || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
    return std::nullopt;
  }

  AudioFormat format;
  if (const spa_pod_prop* prop = spa_pod_find_prop(param, nullptr, SPA_FORMAT_AUDIO_rate)) {
    if (auto rate = intChoice(&prop->value)) {
      const auto& v = rate->values;
      format.rate = v[0];
      switch (rate->choice) {
        case SPA_CHOICE_Range:
        case SPA_CHOICE_Step:
          // default, min, max (and step)
          if (v.size() >= 3) {
            format.rates.push_back({static_cast<double>(v[1]), static_cast<double>(v[2])});
          } else {
            format.rates.push_back({format.rate, format.rate});
          }
          break;
        case SPA_CHOICE_Enum:
          // default, then the alternatives (which normally repeat the default)
          for (size_t i = v.size() > 1 ? 1 : 0; i < v.size(); ++i) {
            const double r = v[i];
            if (std::find(format.rates.begin(), format.rates.end(), RateRange{r, r}) ==
                format.rates.end()) {
              format.rates.push_back({r, r});
            }
          }
          break;
        default:
          format.rates.push_back({format.rate, format.rate});
          break;
      }
    }
  }
  if (const spa_pod_prop* prop = spa_pod_find_prop(param, nullptr, SPA_FORMAT_AUDIO_channels)) {
    if (auto channels = intChoice(&prop->value); channels && channels->values[0] > 0) {
      format.channels = static_cast<uint32_t>(channels->values[0]);
    }
  }
  if (const spa_pod_prop* prop = spa_pod_find_prop(param, nullptr, SPA_FORMAT_AUDIO_position)) {
    uint32_t ids[SPA_AUDIO_MAX_CHANNELS];
    const uint32_t n = spa_pod_copy_array(&prop->value, SPA_TYPE_Id, ids, SPA_AUDIO_MAX_CHANNELS);
    for (uint32_t i = 0; i < n; ++i)
      format.positions.push_back(channelName(ids[i]));
  }
  return format;
}

std::optional<LatencyValue> parseLatency(const spa_pod* param) {
  if (param == nullptr || !spa_pod_is_object_type(param, SPA_TYPE_OBJECT_ParamLatency)) {
    return std::nullopt;
  }
  spa_latency_info info{};
  if (spa_latency_parse(param, &info) < 0) return std::nullopt;
  LatencyValue value;
  value.input = info.direction == SPA_DIRECTION_INPUT;
  value.quantum = info.max_quantum;
  value.rate = info.max_rate;
  value.ns = info.max_ns;
  return value;
}

std::optional<LatencyValue> parseProcessLatency(const spa_pod* param) {
  if (param == nullptr || !spa_pod_is_object_type(param, SPA_TYPE_OBJECT_ParamProcessLatency)) {
    return std::nullopt;
  }
  spa_process_latency_info info{};
  if (spa_process_latency_parse(param, &info) < 0) return std::nullopt;
  LatencyValue value;
  value.quantum = info.quantum;
  value.rate = info.rate;
  value.ns = info.ns;
  return value;
}

int64_t latencyFrames(const LatencyValue& value, double quantumFrames, double rate) {
  const double frames = value.quantum * quantumFrames + static_cast<double>(value.rate) +
                        static_cast<double>(value.ns) * rate / 1e9;
  return roundHalfAway(frames);
}

std::vector<std::string> parsePositions(std::string_view text) {
  std::vector<std::string> names;
  std::string current;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '[' || c == ']' || c == '\t' || c == '"') {
      if (!current.empty()) names.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) names.push_back(std::move(current));
  return names;
}

std::optional<int64_t> parseInteger(std::string_view text) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

std::optional<int64_t> parseQuantumFraction(std::string_view text, double rate) {
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const auto num = parseInteger(text.substr(0, slash));
  const auto den = parseInteger(text.substr(slash + 1));
  if (!num || !den || *num <= 0 || *den <= 0 || !(rate > 0)) return std::nullopt;
  return roundHalfAway(static_cast<double>(*num) * rate / static_cast<double>(*den));
}

std::string parseMetadataName(std::string_view json) {
  const auto parsed = nlohmann::json::parse(json, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return {};
  const auto it = parsed.find("name");
  if (it == parsed.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

std::string metadataNameValue(std::string_view name) {
  return nlohmann::json{{"name", std::string(name)}}.dump();
}

}  // namespace choralink::pipewire
