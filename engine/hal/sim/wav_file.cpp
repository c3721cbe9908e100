#include "engine/hal/sim/wav_file.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace choralink::sim {

namespace {

constexpr std::uint16_t kFormatPCM = 1;
constexpr std::uint16_t kFormatFloat = 3;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;

std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
std::uint16_t le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// One sample of `bits` at p in `format`, scaled to -1..1.
float decodeSample(const std::uint8_t* p, std::uint16_t format, std::uint16_t bits) {
  if (format == kFormatFloat) {
    if (bits == 32) {
      float v;
      std::memcpy(&v, p, 4);
      return v;
    }
    double v;
    std::memcpy(&v, p, 8);
    return static_cast<float>(v);
  }
  switch (bits) {
    case 8:
      return (static_cast<float>(p[0]) - 128.0f) / 128.0f;
    case 16:
      return static_cast<float>(static_cast<std::int16_t>(le16(p))) / 32768.0f;
    case 24: {
      std::int32_t v = static_cast<std::int32_t>(
          (std::uint32_t{p[0]} << 8) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 24));
      return static_cast<float>(v >> 8) / 8388608.0f;
    }
    default:
      return static_cast<float>(static_cast<std::int32_t>(le32(p))) / 2147483648.0f;
  }
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

}  // namespace

std::optional<WavData> parseWav(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    return std::nullopt;
  }
  std::uint16_t format = 0, channels = 0, bits = 0, blockAlign = 0;
  std::uint32_t rate = 0;
  bool haveFormat = false;
  std::size_t pos = 12;
  while (pos + 8 <= bytes.size()) {
    const std::uint8_t* chunk = bytes.data() + pos;
    const std::uint32_t size = le32(chunk + 4);
    const std::size_t body = pos + 8;
    if (size > bytes.size() - body) {
      // A truncated data chunk still yields the frames that are present.
      if (std::memcmp(chunk, "data", 4) != 0) return std::nullopt;
    }
    const std::size_t available = std::min<std::size_t>(size, bytes.size() - body);
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (available < 16) return std::nullopt;
      format = le16(bytes.data() + body);
      channels = le16(bytes.data() + body + 2);
      rate = le32(bytes.data() + body + 4);
      blockAlign = le16(bytes.data() + body + 12);
      bits = le16(bytes.data() + body + 14);
      if (format == kFormatExtensible && available >= 26) {
        format = le16(bytes.data() + body + 24);  // first two bytes of the sub-format GUID
      }
      haveFormat = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFormat || channels == 0 || rate == 0) return std::nullopt;
      const bool pcm =
          format == kFormatPCM && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
      const bool flt = format == kFormatFloat && (bits == 32 || bits == 64);
      if (!pcm && !flt) return std::nullopt;
      const std::size_t sampleBytes = bits / 8;
      if (blockAlign < sampleBytes * channels) return std::nullopt;
      WavData data;
      data.rate = rate;
      data.channels = channels;
      const std::size_t frames = available / blockAlign;
      data.samples.reserve(frames * channels);
      for (std::size_t f = 0; f < frames; ++f) {
        const std::uint8_t* frame = bytes.data() + body + f * blockAlign;
        for (std::size_t c = 0; c < channels; ++c) {
          data.samples.push_back(decodeSample(frame + c * sampleBytes, format, bits));
        }
      }
      return data;
    }
    pos = body + size + (size & 1u);
  }
  return std::nullopt;
}

std::optional<WavData> readWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  return parseWav(bytes);
}

bool writeWav(const std::string& path, const WavData& data) {
  if (data.channels == 0 || data.rate <= 0) return false;
  const auto dataBytes = static_cast<std::uint32_t>(data.samples.size() * 4);
  std::vector<std::uint8_t> out;
  out.reserve(44 + dataBytes);
  out.insert(out.end(), {'R', 'I', 'F', 'F'});
  put32(out, 36 + dataBytes);
  out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  put32(out, 16);
  put16(out, kFormatFloat);
  put16(out, static_cast<std::uint16_t>(data.channels));
  put32(out, static_cast<std::uint32_t>(data.rate));
  put32(out, static_cast<std::uint32_t>(data.rate) * data.channels * 4);
  put16(out, static_cast<std::uint16_t>(data.channels * 4));
  put16(out, 32);
  out.insert(out.end(), {'d', 'a', 't', 'a'});
  put32(out, dataBytes);
  const auto* raw = reinterpret_cast<const std::uint8_t*>(data.samples.data());
  out.insert(out.end(), raw, raw + dataBytes);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) return false;
  file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  return static_cast<bool>(file);
}

}  // namespace choralink::sim
