// The byte layouts in which property data and IO cross the seam. They are the
// platform's own records (AudioObjectPropertyAddress, AudioStreamBasicDescription,
// AudioValueRange, AudioTimeStamp, AudioHardwareIOProcStreamUsage, the buffer
// list of render/cl_render.h), declared here so that backends and the engine
// agree on every byte, plus small codecs so nobody hand-rolls offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/hal/hal_codes.h"
#include "render/cl_render.h"

namespace choralink {

// Which property of an object: three uint32, always element 0 in the engine.
struct PropertyAddress {
  std::uint32_t selector = 0;
  std::uint32_t scope = kScopeGlobal;
  std::uint32_t element = kElementMain;

  friend bool operator==(const PropertyAddress&, const PropertyAddress&) = default;
};
static_assert(sizeof(PropertyAddress) == 12);

// The 40-byte stream format record ("tfmt").
struct StreamFormat {
  double mSampleRate = 0;
  std::uint32_t mFormatID = 0;
  std::uint32_t mFormatFlags = 0;
  std::uint32_t mBytesPerPacket = 0;
  std::uint32_t mFramesPerPacket = 0;
  std::uint32_t mBytesPerFrame = 0;
  std::uint32_t mChannelsPerFrame = 0;
  std::uint32_t mBitsPerChannel = 0;
  std::uint32_t mReserved = 0;

  // Interleaved packed 32-bit float at `rate` with `channels` channels.
  static StreamFormat float32(double rate, std::uint32_t channels);
};
static_assert(sizeof(StreamFormat) == 40);
static_assert(offsetof(StreamFormat, mFormatID) == 8 &&
              offsetof(StreamFormat, mChannelsPerFrame) == 28 &&
              offsetof(StreamFormat, mBitsPerChannel) == 32);

// One entry of "nsr#": a closed range of nominal rates.
struct ValueRange {
  double mMinimum = 0;
  double mMaximum = 0;

  friend bool operator==(const ValueRange&, const ValueRange&) = default;
};
static_assert(sizeof(ValueRange) == 16);

// The platform's SMPTE time record, part of AudioTimeStamp; never filled here.
struct SMPTETime {
  std::int16_t mSubframes = 0;
  std::int16_t mSubframeDivisor = 0;
  std::uint32_t mCounter = 0;
  std::uint32_t mType = 0;
  std::uint32_t mFlags = 0;
  std::int16_t mHours = 0;
  std::int16_t mMinutes = 0;
  std::int16_t mSeconds = 0;
  std::int16_t mFrames = 0;
};
static_assert(sizeof(SMPTETime) == 24);

// The timestamp handed to an IO procedure (cl_audio_timestamp on the render
// side, which keeps it opaque).
struct AudioTimeStamp {
  double mSampleTime = 0;
  std::uint64_t mHostTime = 0;  // nanoseconds on the backend's IO timeline
  double mRateScalar = 1;
  std::uint64_t mWordClockTime = 0;
  SMPTETime mSMPTETime;
  std::uint32_t mFlags = 0;
  std::uint32_t mReserved = 0;
};
static_assert(sizeof(AudioTimeStamp) == 64);
static_assert(offsetof(AudioTimeStamp, mHostTime) == 8 &&
              offsetof(AudioTimeStamp, mSMPTETime) == 32 && offsetof(AudioTimeStamp, mFlags) == 56);
inline constexpr std::uint32_t kTimeStampSampleTimeValid = 1u << 0;
inline constexpr std::uint32_t kTimeStampHostTimeValid = 1u << 1;
inline constexpr std::uint32_t kTimeStampRateScalarValid = 1u << 2;

inline const cl_audio_timestamp* asRenderTimeStamp(const AudioTimeStamp* stamp) {
  return reinterpret_cast<const cl_audio_timestamp*>(stamp);
}

// ---- IO procedures -------------------------------------------------------

// The IO procedure signature, exactly the render core's cl_ioproc_fn.
using IOProc = cl_ioproc_fn;
// A registration of an IO procedure on a device; 0 is no registration. It is
// pointer-sized, like the platform's, and fills the first field of the
// stream-usage record.
using IOProcID = std::uintptr_t;
inline constexpr IOProcID kNoIOProc = 0;

// "suse" (input scope of an aggregate): an IOProcID, a stream count n and n
// uint32 on/off flags, laid out as the platform's record:
// 8-byte id, uint32 count, then the flags from byte 12.
inline constexpr std::size_t kStreamUsageHeaderBytes = 12;
std::vector<std::byte> encodeStreamUsage(IOProcID proc, const std::vector<std::uint32_t>& flags);
struct StreamUsage {
  IOProcID proc = kNoIOProc;
  std::vector<std::uint32_t> flags;
};
// Parses a record of `size` bytes; none when it is shorter than its header or
// than the flags its count announces.
std::optional<StreamUsage> decodeStreamUsage(const void* data, std::size_t size);

// ---- Stream configuration ("slay") ---------------------------------------

// A buffer list with one buffer per stream, mNumberChannels set, mData null
// and mDataByteSize 0: 8 bytes of header, then 16 bytes per buffer.
std::vector<std::byte> encodeStreamConfiguration(const std::vector<std::uint32_t>& channels);
// The channel count of each buffer in a list of `size` bytes; a list whose
// count claims more buffers than the bytes hold is cut to the buffers present.
std::vector<std::uint32_t> decodeStreamConfiguration(const void* data, std::size_t size);

// ---- Strings ----------------------------------------------------------------

// String properties cross the seam as one pointer-sized reference to a string
// the reader then owns (the platform's "copy" rule); a null reference means
// no string. Backends write with writeStringRef, readers take ownership with
// takeStringRef, so nothing leaks.
inline constexpr std::uint32_t kStringRefSize = sizeof(void*);
void writeStringRef(void* out, std::optional<std::string_view> text);
std::unique_ptr<std::string> takeStringRef(const void* data);

// ---- Process taps ------------------------------------------------------------

enum class TapMuteBehavior { unmuted, muted, mutedWhenTapped };

// What a process tap captures (the platform's tap description).
struct TapDescription {
  // The listed process objects: the only ones tapped, or (exclusive) every
  // process except them.
  std::vector<AudioObjectID> processes;
  bool exclusive = true;
  bool mono = false;  // false: a stereo mix
  std::string name;
  std::string uuid;  // becomes the tap's UID ("tuid")
  bool isPrivate = true;
  TapMuteBehavior muteBehavior = TapMuteBehavior::unmuted;

  // A stereo mix of every process except `excluded`.
  static TapDescription stereoGlobalTapButExcludeProcesses(std::vector<AudioObjectID> excluded);
};

}  // namespace choralink
