#include "engine/hal/audio_records.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace choralink {

namespace {

constexpr std::size_t kBufferListHeaderBytes = offsetof(cl_audio_buffer_list, mBuffers);
constexpr std::size_t kBufferBytes = sizeof(cl_audio_buffer);
static_assert(kBufferListHeaderBytes == 8 && kBufferBytes == 16);
static_assert(sizeof(IOProcID) == 8, "the stream-usage record assumes a 64-bit platform");

}  // namespace

StreamFormat StreamFormat::float32(double rate, std::uint32_t channels) {
  StreamFormat f;
  f.mSampleRate = rate;
  f.mFormatID = kFormatLinearPCM;
  f.mFormatFlags = kFormatFlagIsFloat | kFormatFlagIsPacked;
  f.mBytesPerPacket = 4 * channels;
  f.mFramesPerPacket = 1;
  f.mBytesPerFrame = 4 * channels;
  f.mChannelsPerFrame = channels;
  f.mBitsPerChannel = 32;
  return f;
}

std::vector<std::byte> encodeStreamUsage(IOProcID proc, const std::vector<std::uint32_t>& flags) {
  std::vector<std::byte> out(kStreamUsageHeaderBytes + 4 * flags.size());
  const auto count = static_cast<std::uint32_t>(flags.size());
  std::memcpy(out.data(), &proc, sizeof proc);
  std::memcpy(out.data() + 8, &count, 4);
  if (!flags.empty())
    std::memcpy(out.data() + kStreamUsageHeaderBytes, flags.data(), 4 * flags.size());
  return out;
}

std::optional<StreamUsage> decodeStreamUsage(const void* data, std::size_t size) {
  if (data == nullptr || size < kStreamUsageHeaderBytes) return std::nullopt;
  const auto* bytes = static_cast<const std::byte*>(data);
  StreamUsage usage;
  std::uint32_t count = 0;
  std::memcpy(&usage.proc, bytes, sizeof usage.proc);
  std::memcpy(&count, bytes + 8, 4);
  if ((size - kStreamUsageHeaderBytes) / 4 < count) return std::nullopt;
  usage.flags.resize(count);
  if (count > 0)
    std::memcpy(usage.flags.data(), bytes + kStreamUsageHeaderBytes, 4 * std::size_t{count});
  return usage;
}

std::vector<std::byte> encodeStreamConfiguration(const std::vector<std::uint32_t>& channels) {
  std::vector<std::byte> out(kBufferListHeaderBytes + kBufferBytes * channels.size());
  const auto count = static_cast<std::uint32_t>(channels.size());
  std::memcpy(out.data(), &count, 4);
  for (std::size_t i = 0; i < channels.size(); ++i) {
    cl_audio_buffer buffer{channels[i], 0, nullptr};
    std::memcpy(out.data() + kBufferListHeaderBytes + i * kBufferBytes, &buffer, kBufferBytes);
  }
  return out;
}

std::vector<std::uint32_t> decodeStreamConfiguration(const void* data, std::size_t size) {
  if (data == nullptr || size < 4) return {};
  const auto* bytes = static_cast<const std::byte*>(data);
  std::uint32_t count = 0;
  std::memcpy(&count, bytes, 4);
  const std::size_t present =
      size < kBufferListHeaderBytes ? 0 : (size - kBufferListHeaderBytes) / kBufferBytes;
  const std::size_t n = std::min<std::size_t>(count, present);
  std::vector<std::uint32_t> channels(n);
  for (std::size_t i = 0; i < n; ++i) {
    // mNumberChannels is the buffer's first field.
    std::memcpy(&channels[i], bytes + kBufferListHeaderBytes + i * kBufferBytes, 4);
  }
  return channels;
}

void writeStringRef(void* out, std::optional<std::string_view> text) {
  std::string* ref = text ? new std::string(*text) : nullptr;
  std::memcpy(out, &ref, sizeof ref);
}

std::unique_ptr<std::string> takeStringRef(const void* data) {
  std::string* ref = nullptr;
  std::memcpy(&ref, data, sizeof ref);
  return std::unique_ptr<std::string>(ref);
}

TapDescription TapDescription::stereoGlobalTapButExcludeProcesses(
    std::vector<AudioObjectID> excluded) {
  TapDescription d;
  d.processes = std::move(excluded);
  d.exclusive = true;
  d.mono = false;
  return d;
}

}  // namespace choralink
