// The render core's one implementation file: state creation, the controls and
// the IO callback. The state is shared with the IO thread only through the
// single-word atomics below; everything else belongs to one side alone.
#include "render/cl_render.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr double kFadeSeconds = 0.02;         // crossfade after a delay change
constexpr double kGainTimeConstant = 0.01;    // one-pole gain smoother
constexpr double kClickSeconds = 0.03;        // length of one test-tone click
constexpr double kClickSpacingSeconds = 0.5;  // distance between click starts
constexpr int64_t kClickCount = 6;
constexpr double kClickHz = 1000.0;
constexpr float kClickAmplitude = 0.5f;
constexpr float kGainSnap = 1e-6f;
constexpr int32_t kMaxDelayLimit = INT32_MAX - CL_MAX_CYCLE_FRAMES - 1;

}  // namespace

// A measurement schedule as the controls publish it: a sequence lock around
// word-sized fields, so the IO thread takes a consistent copy without a lock.
struct cl_probe_schedule {
  std::atomic<uint32_t> sequence;  // odd while being written
  std::atomic<const float*> signal;
  std::atomic<int32_t> length;
  std::atomic<int32_t> count;  // 0: no probe
  std::atomic<int32_t> lead;
  std::atomic<int32_t> spacing;
  std::atomic<int32_t> slots[CL_MAX_SLOTS];
};

// The IO thread's copy of the schedule in force.
struct cl_probe_play {
  uint32_t sequence;
  const float* signal;
  int32_t length;
  int32_t count;
  int32_t lead;
  int32_t spacing;
  int32_t slots[CL_MAX_SLOTS];
};

// Per-slot state. The first four words are shared with the controls; the rest
// belong to the IO thread.
struct cl_slot_state {
  std::atomic<float> gain_target;
  std::atomic<int32_t> delay_target;
  std::atomic<int32_t> enabled;
  std::atomic<float> peak;
  float gain_current;
  int32_t delay_current;
  int32_t delay_previous;
  int32_t fade_step;
};

struct cl_render {
  double sample_rate;
  int32_t slot_count;
  cl_slot_layout layouts[CL_MAX_SLOTS];
  cl_slot_state slots[CL_MAX_SLOTS];
  cl_input_layout input;
  int32_t max_delay_frames;
  int32_t fade_frames;
  float gain_coef;
  float* ring;
  uint32_t ring_frames;
  uint32_t ring_mask;
  uint32_t write_pos;
  std::atomic<int32_t> tone_trigger;
  int64_t tone_pos;
  int64_t tone_total;
  int32_t tone_len;
  int32_t tone_spacing;
  std::atomic<float> input_peak;
  std::atomic<uint64_t> heartbeat;
  std::atomic<uint64_t> silent_frames;
  cl_probe_schedule probe;
  cl_probe_play probe_play;             // IO thread only
  std::atomic<int64_t> probe_position;  // -1: none
  // The device clock position the next cycle should start at; IO thread only.
  double next_sample_time;
  bool clock_known;
  // One cycle's rendered (l, r) pairs of the slot being processed; IO thread only.
  float scratch[2 * CL_MAX_CYCLE_FRAMES];
};

// The platform's timestamp record, as far as the callback reads it.
struct cl_audio_timestamp {
  double mSampleTime;
  uint64_t mHostTime;
  double mRateScalar;
  uint64_t mWordClockTime;
  unsigned char mSMPTETime[24];
  uint32_t mFlags;
  uint32_t mReserved;
};
constexpr uint32_t kSampleTimeValid = 1u << 0;

static_assert(sizeof(cl_audio_timestamp) == 64, "AudioTimeStamp layout");
static_assert(offsetof(cl_audio_timestamp, mFlags) == 56);
static_assert(sizeof(cl_channel_ref) == 12, "cl_channel_ref is three int32");
static_assert(offsetof(cl_channel_ref, channel_offset) == 4);
static_assert(offsetof(cl_channel_ref, buffer_channels) == 8);
static_assert(sizeof(cl_slot_layout) == 3 * 4 + CL_MAX_SLOT_CHANNELS * 12,
              "cl_slot_layout is three int32 and 32 channel refs, unpadded");
static_assert(offsetof(cl_slot_layout, channels) == 12);
static_assert(sizeof(cl_input_layout) == 8);
static_assert(sizeof(cl_audio_buffer) == 16, "AudioBuffer layout");
static_assert(offsetof(cl_audio_buffer, mDataByteSize) == 4);
static_assert(offsetof(cl_audio_buffer, mData) == 8);
static_assert(offsetof(cl_audio_buffer_list, mBuffers) == 8, "AudioBufferList layout");
static_assert(sizeof(cl_slot_state) == 8 * 4, "eight 32-bit words per slot");
static_assert(std::atomic<float>::is_always_lock_free);
static_assert(std::atomic<int32_t>::is_always_lock_free);
static_assert(std::atomic<uint64_t>::is_always_lock_free);

namespace {

inline bool slotInRange(const cl_render* r, int32_t slot) {
  return r != nullptr && slot >= 0 && slot < r->slot_count;
}

// One test-tone sample at sequence position p.
float toneSample(const cl_render* r, int64_t p) {
  const int64_t k = p / r->tone_spacing;
  if (k >= kClickCount) return 0.0f;
  const int64_t m = p - k * r->tone_spacing;
  if (m >= r->tone_len) return 0.0f;
  const double pi2 = 2.0 * M_PI;
  const double w = 0.5 - 0.5 * std::cos(pi2 * static_cast<double>(m) / (r->tone_len - 1));
  const double v = std::sin((static_cast<double>(m) / r->sample_rate) * pi2 * kClickHz);
  return static_cast<float>(w * v) * kClickAmplitude;
}

// Frames the device clock moved on since the previous cycle ended without
// this callback being called (missed cycles), read from the output time; 0
// when the time carries no sample position, on the first cycle, and when the
// clock went back (a new timeline).
int64_t missedFrames(cl_render* r, const cl_audio_timestamp* time, int32_t frames) {
  if (time == nullptr || (time->mFlags & kSampleTimeValid) == 0 ||
      !std::isfinite(time->mSampleTime)) {
    r->clock_known = false;
    return 0;
  }
  const double now = time->mSampleTime;
  const double gap = r->clock_known ? now - r->next_sample_time : 0.0;
  r->next_sample_time = now + frames;
  r->clock_known = true;
  if (!(gap >= 1.0)) return 0;
  return gap > 9.0e15 ? static_cast<int64_t>(9.0e15) : static_cast<int64_t>(gap);
}

// Moves every timeline on by `gap` frames that were never rendered: the
// delay line gets silence for them and the test tone and probe skip them, so
// that what each slot plays stays where the device clock says it belongs.
// Without this, every slot's delay would still hold but in rendered frames:
// content that was in the delay line across the gap would reach the
// less-delayed slots the gap's length sooner than the others.
void skipFrames(cl_render* r, int64_t gap) {
  const uint32_t mask = r->ring_mask;
  const uint32_t cleared =
      gap >= static_cast<int64_t>(r->ring_frames) ? r->ring_frames : static_cast<uint32_t>(gap);
  const uint32_t start = r->write_pos;
  const uint32_t firstRun = cleared < r->ring_frames - start ? cleared : r->ring_frames - start;
  std::memset(r->ring + 2 * static_cast<size_t>(start), 0, 2 * sizeof(float) * firstRun);
  std::memset(r->ring, 0, 2 * sizeof(float) * (cleared - firstRun));
  r->write_pos = static_cast<uint32_t>((start + static_cast<uint64_t>(gap)) & mask);
  if (r->tone_pos >= 0) r->tone_pos = gap < r->tone_total - r->tone_pos ? r->tone_pos + gap : -1;
  const int64_t probe = r->probe_position.load(std::memory_order_relaxed);
  if (probe >= 0) r->probe_position.store(probe + gap, std::memory_order_relaxed);
}

// Where a channel reference may be written this cycle: frames [first, end) of
// the buffer, at sample offset + n * stride.
struct ChannelSpan {
  float* data = nullptr;
  int64_t offset = 0;
  int64_t stride = 1;
  int32_t first = 0;
  int32_t end = 0;
};

// Resolves a channel reference against the output list for frames 0..frames-1;
// positions outside the list or the buffer's byte size give an empty span.
ChannelSpan resolve(const cl_audio_buffer_list* out, const cl_channel_ref& ref, int32_t frames) {
  ChannelSpan span;
  if (ref.buffer_index < 0 || static_cast<uint32_t>(ref.buffer_index) >= out->mNumberBuffers) {
    return span;
  }
  const cl_audio_buffer* buffers = out->mBuffers;
  const cl_audio_buffer& buf = buffers[ref.buffer_index];
  if (buf.mData == nullptr) return span;
  const int64_t capacity = buf.mDataByteSize / 4;  // samples
  span.data = static_cast<float*>(buf.mData);
  span.stride = ref.buffer_channels < 1 ? 1 : ref.buffer_channels;
  span.offset = ref.channel_offset;
  // 0 <= offset + n * stride < capacity
  int64_t first = 0;
  if (span.offset < 0) first = (-span.offset + span.stride - 1) / span.stride;
  int64_t end = 0;
  if (capacity - 1 - span.offset >= 0) end = (capacity - 1 - span.offset) / span.stride + 1;
  if (end > frames) end = frames;
  if (first > end) first = end;
  span.first = static_cast<int32_t>(first);
  span.end = static_cast<int32_t>(end);
  return span;
}

// Writes values[n * step] through a resolved span.
void writeSpan(const ChannelSpan& span, const float* values, int step) {
  if (span.data == nullptr) return;
  float* dst = span.data + span.offset;
  for (int64_t n = span.first; n < span.end; ++n)
    dst[n * span.stride] = values[n * step];
}

// The block kernels below are built twice on x86-64, for AVX2 and for the
// baseline, and the loader picks one once at start-up, never on the IO path.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
#define CL_BLOCK_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define CL_BLOCK_KERNEL
#endif

struct BlockStats {
  float peak = 0.0f;     // largest |sample|; NaN counts as 0, as a failed comparison would
  bool nonzero = false;  // some source sample was not equal to 0.0
};

// dst[i] = gain * src[i] for i < count, measuring the source and the result on
// the way. Peaks are compared as bit patterns (order-preserving for |x|) so
// that the loop vectorises without fast-math.
CL_BLOCK_KERNEL BlockStats scaleBlock(const float* src, float* dst, int32_t count, float gain) {
  int32_t best = 0;
  int32_t nonzero = 0;
  for (int32_t i = 0; i < count; ++i) {
    const float x = src[i];
    const float y = gain * x;
    dst[i] = y;
    nonzero |= x != 0.0f;
    int32_t bits;
    std::memcpy(&bits, &y, 4);
    bits &= 0x7fffffff;
    bits = bits > 0x7f800000 ? 0 : bits;
    best = bits > best ? bits : best;
  }
  BlockStats stats;
  std::memcpy(&stats.peak, &best, 4);
  stats.nonzero = nonzero != 0;
  return stats;
}

float blockPeak(float* v, int32_t count) {
  return scaleBlock(v, v, count, 1.0f).peak;
}

// Copies count stereo frames of the ring starting at frame `from`, scaled by
// gain, into dst (interleaved pairs); returns the peak of what it wrote.
// Handles the ring's wrap-around.
float scaledRingCopy(const cl_render* r, uint32_t from, int32_t count, float gain, float* dst) {
  float peak = 0.0f;
  int32_t done = 0;
  while (done < count) {
    const uint32_t start = (from + static_cast<uint32_t>(done)) & r->ring_mask;
    int32_t run = static_cast<int32_t>(r->ring_frames - start);
    if (run > count - done) run = count - done;
    const float p = scaleBlock(r->ring + 2 * static_cast<size_t>(start),
                               dst + 2 * static_cast<size_t>(done), 2 * run, gain)
                        .peak;
    if (p > peak) peak = p;
    done += run;
  }
  return peak;
}

// The general per-frame path: crossfade and/or gain ramp in flight. Leaves the
// slot's (l, r) pairs in scratch.
void renderRamping(cl_render* r, cl_slot_state& s, uint32_t writeStart, int32_t frames,
                   float target) {
  const float* ring = r->ring;
  const uint32_t mask = r->ring_mask;
  const float coef = r->gain_coef;
  const float fadeFrames = static_cast<float>(r->fade_frames);
  float g = s.gain_current;
  float* out = r->scratch;
  for (int32_t n = 0; n < frames; ++n) {
    const uint32_t un = static_cast<uint32_t>(n);
    const uint32_t k = (writeStart - static_cast<uint32_t>(s.delay_current) + un) & mask;
    float a = ring[2 * k];
    float b = ring[2 * k + 1];
    if (s.fade_step >= 1) {
      const float t = static_cast<float>(s.fade_step) / fadeFrames;
      const uint32_t p = (writeStart + un - static_cast<uint32_t>(s.delay_previous)) & mask;
      const float c = ring[2 * p];
      const float d = ring[2 * p + 1];
      a = c * (1.0f - t) + a * t;
      b = d * (1.0f - t) + b * t;
      s.fade_step = s.fade_step >= r->fade_frames ? 0 : s.fade_step + 1;
    }
    const float next = g + (target - g) * coef;
    // In single precision the step can fall below half a float step short of
    // the target, where the value would stall for ever: snap then.
    g = (std::fabs(target - next) < kGainSnap || next == g) ? target : next;
    out[2 * n] = g * a;
    out[2 * n + 1] = g * b;
  }
  s.gain_current = g;
}

void renderSlot(cl_render* r, int32_t index, cl_audio_buffer_list* output, uint32_t writeStart,
                int32_t frames) {
  cl_slot_state& s = r->slots[index];
  const cl_slot_layout& y = r->layouts[index];
  if (s.enabled.load(std::memory_order_relaxed) == 0 || y.channel_count <= 0) {
    s.gain_current = 0.0f;
    return;
  }
  const float target = s.gain_target.load(std::memory_order_relaxed);
  const int32_t wanted = s.delay_target.load(std::memory_order_relaxed);
  if (s.fade_step == 0 && wanted != s.delay_current) {
    s.delay_previous = s.delay_current;
    s.delay_current = wanted;
    s.fade_step = 1;
  }

  const bool settled = s.fade_step == 0 && s.gain_current == target;
  const uint32_t readStart = writeStart - static_cast<uint32_t>(s.delay_current);
  float cyclePeak = 0.0f;

  if (y.channel_count == 1) {
    if (settled) {
      scaledRingCopy(r, readStart, frames, target, r->scratch);
    } else {
      renderRamping(r, s, writeStart, frames, target);
    }
    // Mono device: the mean of both sides, computed in place in the scratch.
    float* v = r->scratch;
    for (int32_t n = 0; n < frames; ++n)
      v[n] = (v[2 * n] + v[2 * n + 1]) * 0.5f;
    cyclePeak = blockPeak(v, frames);
    writeSpan(resolve(output, y.channels[0], frames), v, 1);
  } else {
    const bool hasLeft = y.left >= 0 && y.left < y.channel_count;
    const bool hasRight = y.right >= 0 && y.right < y.channel_count && y.right != y.left;
    const ChannelSpan left = hasLeft ? resolve(output, y.channels[y.left], frames) : ChannelSpan{};
    const ChannelSpan right =
        hasRight ? resolve(output, y.channels[y.right], frames) : ChannelSpan{};
    const bool interleavedPair = settled && left.data != nullptr && left.data == right.data &&
                                 left.stride == 2 && right.offset == left.offset + 1 &&
                                 left.first == 0 && right.first == 0 && left.end == frames &&
                                 right.end == frames;
    if (interleavedPair) {
      // The common case: a settled slot writing a stereo pair that lies
      // interleaved in one buffer is one scaled block copy out of the ring.
      cyclePeak = scaledRingCopy(r, readStart, frames, target, left.data + left.offset);
    } else {
      if (settled) {
        cyclePeak = scaledRingCopy(r, readStart, frames, target, r->scratch);
      } else {
        renderRamping(r, s, writeStart, frames, target);
        cyclePeak = blockPeak(r->scratch, 2 * frames);
      }
      writeSpan(left, r->scratch, 2);
      writeSpan(right, r->scratch + 1, 2);
    }
  }
  if (cyclePeak > s.peak.load(std::memory_order_relaxed)) {
    s.peak.store(cyclePeak, std::memory_order_relaxed);
  }
}

void publishProbe(cl_render* r, const float* signal, int32_t length, const int32_t* slots,
                  int32_t count, int32_t lead, int32_t spacing) {
  cl_probe_schedule& p = r->probe;
  const uint32_t seq = p.sequence.load(std::memory_order_relaxed);
  // A sequence lock without fences (ThreadSanitizer does not model them):
  // every field is stored with release and loaded with acquire, so a reader
  // that sees any new field also sees the odd sequence before it.
  p.sequence.store(seq + 1, std::memory_order_relaxed);
  p.signal.store(signal, std::memory_order_release);
  p.length.store(length < 0 ? 0 : length, std::memory_order_release);
  if (count < 0) count = 0;
  if (count > CL_MAX_SLOTS) count = CL_MAX_SLOTS;
  if (slots == nullptr || signal == nullptr) count = 0;
  for (int32_t k = 0; k < count; ++k)
    p.slots[k].store(slots[k], std::memory_order_release);
  p.count.store(count, std::memory_order_release);
  p.lead.store(lead < 0 ? 0 : lead, std::memory_order_release);
  p.spacing.store(spacing < 0 ? 0 : spacing, std::memory_order_release);
  p.sequence.store(seq + 2, std::memory_order_release);
}

// Takes a newly published schedule; false while none is in force.
bool followProbe(cl_render* r, bool active) {
  cl_probe_schedule& p = r->probe;
  cl_probe_play& q = r->probe_play;
  const uint32_t before = p.sequence.load(std::memory_order_acquire);
  if (before == q.sequence || (before & 1u) != 0) return active;
  cl_probe_play copy;
  copy.sequence = before;
  copy.signal = p.signal.load(std::memory_order_acquire);
  copy.length = p.length.load(std::memory_order_acquire);
  copy.count = p.count.load(std::memory_order_acquire);
  copy.lead = p.lead.load(std::memory_order_acquire);
  copy.spacing = p.spacing.load(std::memory_order_acquire);
  for (int32_t k = 0; k < copy.count && k < CL_MAX_SLOTS; ++k)
    copy.slots[k] = p.slots[k].load(std::memory_order_acquire);
  if (p.sequence.load(std::memory_order_relaxed) != before) return active;  // torn: next cycle
  q = copy;
  // The sequence starts at 0 with no schedule, so a first "end" is a no-op.
  r->probe_position.store(q.count > 0 ? 0 : -1, std::memory_order_relaxed);
  return q.count > 0;
}

// Writes this cycle's part of the schedule: the signal on each scheduled
// slot's stereo pair (its one channel for a mono device).
void renderProbe(cl_render* r, cl_audio_buffer_list* output, int32_t frames) {
  const cl_probe_play& q = r->probe_play;
  const int64_t position = r->probe_position.load(std::memory_order_relaxed);
  for (int32_t k = 0; k < q.count; ++k) {
    const int32_t slot = q.slots[k];
    if (!slotInRange(r, slot)) continue;
    const int64_t start = q.lead + static_cast<int64_t>(k) * q.spacing - position;
    if (start >= frames || start + q.length <= 0) continue;
    float* v = r->scratch;
    for (int32_t n = 0; n < frames; ++n) {
      const int64_t i = n - start;
      v[n] = i >= 0 && i < q.length ? q.signal[i] : 0.0f;
    }
    const cl_slot_layout& y = r->layouts[slot];
    if (y.channel_count <= 0) continue;
    if (y.channel_count == 1) {
      writeSpan(resolve(output, y.channels[0], frames), v, 1);
      continue;
    }
    if (y.left >= 0 && y.left < y.channel_count)
      writeSpan(resolve(output, y.channels[y.left], frames), v, 1);
    if (y.right >= 0 && y.right < y.channel_count && y.right != y.left)
      writeSpan(resolve(output, y.channels[y.right], frames), v, 1);
  }
  r->probe_position.store(position + frames, std::memory_order_relaxed);
}

// Number of leading frames of `frames` for which sample n * stride + lane lies
// inside the buffer.
int32_t readableFrames(const cl_audio_buffer& buf, int64_t stride, int64_t lane, int32_t frames) {
  if (buf.mData == nullptr) return 0;
  const int64_t capacity = buf.mDataByteSize / 4;
  if (capacity - 1 - lane < 0) return 0;
  const int64_t n = (capacity - 1 - lane) / stride + 1;
  return n < frames ? static_cast<int32_t>(n) : frames;
}

}  // namespace

extern "C" {

cl_render* cl_render_create(int32_t slot_count, const cl_slot_layout* layouts,
                            cl_input_layout input, int32_t max_delay_frames, double sample_rate) {
  if (!(sample_rate > 0.0) || !std::isfinite(sample_rate)) return nullptr;
  if (static_cast<uint32_t>(slot_count) > CL_MAX_SLOTS) return nullptr;
  if (max_delay_frames < 0 || max_delay_frames > kMaxDelayLimit) return nullptr;
  if (slot_count > 0 && layouts == nullptr) return nullptr;

  void* memory = std::calloc(1, sizeof(cl_render));
  if (memory == nullptr) return nullptr;
  cl_render* r = new (memory) cl_render();

  r->sample_rate = sample_rate;
  r->slot_count = slot_count;
  for (int32_t i = 0; i < slot_count; ++i) {
    r->layouts[i] = layouts[i];
    int32_t& count = r->layouts[i].channel_count;
    if (count < 0) count = 0;
    if (count > CL_MAX_SLOT_CHANNELS) count = CL_MAX_SLOT_CHANNELS;
    r->slots[i].gain_target.store(1.0f, std::memory_order_relaxed);
    r->slots[i].enabled.store(1, std::memory_order_relaxed);
  }
  r->input = input;
  r->max_delay_frames = max_delay_frames;

  const double fade = std::trunc(sample_rate * kFadeSeconds);
  r->fade_frames = fade < 1.0 ? 1 : static_cast<int32_t>(fade);
  r->gain_coef = static_cast<float>(1.0 - std::exp(-1.0 / (sample_rate * kGainTimeConstant)));

  const uint32_t needed = static_cast<uint32_t>(max_delay_frames) + CL_MAX_CYCLE_FRAMES + 1;
  uint32_t frames = 1;
  while (frames < needed)
    frames *= 2;
  r->ring_frames = frames;
  r->ring_mask = frames - 1;
  r->ring = static_cast<float*>(std::calloc(static_cast<size_t>(frames) * 2, sizeof(float)));
  if (r->ring == nullptr) {
    r->~cl_render();
    std::free(memory);
    return nullptr;
  }

  // Clamp absurd rates so the tone lengths stay representable; real rates are
  // far below this.
  const double toneRate = sample_rate > 1e8 ? 1e8 : sample_rate;
  r->tone_len = static_cast<int32_t>(std::trunc(toneRate * kClickSeconds));
  r->tone_spacing = static_cast<int32_t>(std::trunc(toneRate * kClickSpacingSeconds));
  r->tone_total = (kClickCount - 1) * static_cast<int64_t>(r->tone_spacing) + r->tone_len;
  r->tone_pos = -1;
  r->probe_position.store(-1, std::memory_order_relaxed);
  r->next_sample_time = 0.0;
  r->clock_known = false;
  return r;
}

void cl_render_destroy(cl_render* render) {
  if (render == nullptr) return;
  std::free(render->ring);
  render->~cl_render();
  std::free(render);
}

void cl_render_set_gain(cl_render* render, int32_t slot, float gain) {
  if (!slotInRange(render, slot)) return;
  float g = gain;
  if (!(g > 0.0f)) g = 0.0f;  // negative and NaN
  if (g > 1.0f) g = 1.0f;
  render->slots[slot].gain_target.store(g, std::memory_order_relaxed);
}

void cl_render_set_delay_frames(cl_render* render, int32_t slot, int32_t frames) {
  if (!slotInRange(render, slot)) return;
  int32_t d = frames < 0 ? 0 : frames;
  if (d > render->max_delay_frames) d = render->max_delay_frames;
  render->slots[slot].delay_target.store(d, std::memory_order_relaxed);
}

void cl_render_set_enabled(cl_render* render, int32_t slot, int32_t flag) {
  if (!slotInRange(render, slot)) return;
  render->slots[slot].enabled.store(flag != 0 ? 1 : 0, std::memory_order_relaxed);
}

void cl_render_trigger_test_tone(cl_render* render) {
  if (render == nullptr) return;
  render->tone_trigger.store(1, std::memory_order_release);
}

void cl_render_start_probe(cl_render* render, const float* signal, int32_t length,
                           const int32_t* slots, int32_t count, int32_t lead, int32_t spacing) {
  if (render == nullptr) return;
  publishProbe(render, signal, length, slots, count, lead, spacing);
}

void cl_render_end_probe(cl_render* render) {
  if (render == nullptr) return;
  publishProbe(render, nullptr, 0, nullptr, 0, 0, 0);
}

int64_t cl_render_probe_position(const cl_render* render) {
  return render == nullptr ? 0 : render->probe_position.load(std::memory_order_relaxed);
}

float cl_render_take_peak(cl_render* render, int32_t slot) {
  if (!slotInRange(render, slot)) return 0.0f;
  return render->slots[slot].peak.exchange(0.0f, std::memory_order_relaxed);
}

float cl_render_take_input_peak(cl_render* render) {
  if (render == nullptr) return 0.0f;
  return render->input_peak.exchange(0.0f, std::memory_order_relaxed);
}

uint64_t cl_render_heartbeat(const cl_render* render) {
  if (render == nullptr) return 0;
  return render->heartbeat.load(std::memory_order_relaxed);
}

uint64_t cl_render_silent_frames(const cl_render* render) {
  if (render == nullptr) return 0;
  return render->silent_frames.load(std::memory_order_relaxed);
}

int32_t cl_render_get_info(const cl_render* render, cl_render_info* info) {
  if (render == nullptr || info == nullptr) return 0;
  info->sample_rate = render->sample_rate;
  info->slot_count = render->slot_count;
  info->max_delay_frames = render->max_delay_frames;
  info->fade_frames = render->fade_frames;
  info->gain_coef = render->gain_coef;
  info->ring_frames = render->ring_frames;
  info->tone_len = render->tone_len;
  info->tone_spacing = render->tone_spacing;
  info->tone_total = render->tone_total;
  return 1;
}

int32_t cl_render_get_slot_info(const cl_render* render, int32_t slot, cl_slot_info* info) {
  if (!slotInRange(render, slot) || info == nullptr) return 0;
  const cl_slot_state& s = render->slots[slot];
  info->channel_count = render->layouts[slot].channel_count;
  info->gain_target = s.gain_target.load(std::memory_order_relaxed);
  info->delay_target = s.delay_target.load(std::memory_order_relaxed);
  info->enabled = s.enabled.load(std::memory_order_relaxed);
  // The applied values belong to the IO thread; this is a diagnostic snapshot
  // taken through relaxed atomic views so that it is not a data race.
  info->gain_current = std::atomic_ref<const float>(s.gain_current).load(std::memory_order_relaxed);
  info->delay_current =
      std::atomic_ref<const int32_t>(s.delay_current).load(std::memory_order_relaxed);
  return 1;
}

int32_t cl_ioproc(uint32_t /*device*/, const cl_audio_timestamp* /*now*/,
                  const cl_audio_buffer_list* input, const cl_audio_timestamp* /*input_time*/,
                  cl_audio_buffer_list* output, const cl_audio_timestamp* output_time,
                  void* client_data) {
  cl_render* r = static_cast<cl_render*>(client_data);
  if (r == nullptr) return 0;
  r->heartbeat.fetch_add(1, std::memory_order_relaxed);
  if (output == nullptr) return 0;

  cl_audio_buffer* outBuffers = output->mBuffers;
  for (uint32_t b = 0; b < output->mNumberBuffers; ++b) {
    if (outBuffers[b].mData != nullptr)
      std::memset(outBuffers[b].mData, 0, outBuffers[b].mDataByteSize);
  }

  // Frame count: from the capture buffer, else from the first usable output.
  const int32_t first = r->input.first_buffer;
  const cl_audio_buffer* inBuffers = input != nullptr ? input->mBuffers : nullptr;
  int64_t frames = 0;
  if (input != nullptr && first >= 0 && static_cast<uint32_t>(first) < input->mNumberBuffers &&
      inBuffers[first].mNumberChannels != 0) {
    const cl_audio_buffer& in = inBuffers[first];
    const uint64_t frameBytes = 4ull * in.mNumberChannels;
    if (frameBytes > in.mDataByteSize) return 0;
    frames = in.mDataByteSize / frameBytes;
  } else {
    const cl_audio_buffer* usable = nullptr;
    for (uint32_t b = 0; b < output->mNumberBuffers; ++b) {
      if (outBuffers[b].mNumberChannels != 0 && outBuffers[b].mDataByteSize != 0) {
        usable = &outBuffers[b];
        break;
      }
    }
    if (usable == nullptr) return 0;
    const uint64_t frameBytes = 4ull * usable->mNumberChannels;
    if (frameBytes > usable->mDataByteSize) return 0;
    frames = usable->mDataByteSize / frameBytes;
  }
  const int32_t F =
      frames > CL_MAX_CYCLE_FRAMES ? CL_MAX_CYCLE_FRAMES : static_cast<int32_t>(frames);
  if (const int64_t gap = missedFrames(r, output_time, F)) skipFrames(r, gap);

  // Capture pointers. Reads past a buffer's byte size (possible for the second
  // buffer of a two-buffer capture) give silence.
  const float* left = nullptr;
  const float* right = nullptr;
  int64_t stride = 1;
  int32_t leftFrames = 0;
  int32_t rightFrames = 0;
  const bool present = input != nullptr && first >= 0;
  if (present && r->input.buffer_count >= 2 &&
      static_cast<uint64_t>(first) + 1 < input->mNumberBuffers) {
    const cl_audio_buffer& lb = inBuffers[first];
    const cl_audio_buffer& rb = inBuffers[first + 1];
    stride = lb.mNumberChannels < 1 ? 1 : lb.mNumberChannels;
    left = static_cast<const float*>(lb.mData);
    right = static_cast<const float*>(rb.mData);
    leftFrames = readableFrames(lb, stride, 0, F);
    rightFrames = readableFrames(rb, stride, 0, F);
  } else if (present && static_cast<uint32_t>(first) < input->mNumberBuffers) {
    const cl_audio_buffer& lb = inBuffers[first];
    stride = lb.mNumberChannels < 1 ? 1 : lb.mNumberChannels;
    left = static_cast<const float*>(lb.mData);
    leftFrames = readableFrames(lb, stride, 0, F);
    if (lb.mNumberChannels > 1) {
      right = left != nullptr ? left + 1 : nullptr;
      rightFrames = readableFrames(lb, stride, 1, F);
    } else {
      right = left;
      rightFrames = leftFrames;
    }
  }

  bool toneActive;
  if (r->tone_trigger.exchange(0, std::memory_order_acquire) != 0) {
    r->tone_pos = 0;
    toneActive = true;
  } else {
    toneActive = r->tone_pos >= 0;
  }

  const uint32_t writeStart = r->write_pos;
  const uint32_t mask = r->ring_mask;
  float* ring = r->ring;
  bool silent = true;
  float inPeak = 0.0f;
  const bool interleavedCapture = !toneActive && left != nullptr && right == left + 1 &&
                                  stride == 2 && leftFrames == F && rightFrames == F;
  if (interleavedCapture) {
    // The common case: a stereo capture interleaved in one buffer is a block
    // copy into the ring (one or two runs around its end).
    int32_t done = 0;
    while (done < F) {
      const uint32_t start = (writeStart + static_cast<uint32_t>(done)) & mask;
      int32_t run = static_cast<int32_t>(r->ring_frames - start);
      if (run > F - done) run = F - done;
      const BlockStats stats = scaleBlock(left + 2 * static_cast<size_t>(done),
                                          ring + 2 * static_cast<size_t>(start), 2 * run, 1.0f);
      if (stats.nonzero) silent = false;
      if (stats.peak > inPeak) inPeak = stats.peak;
      done += run;
    }
  }
  for (int32_t n = 0; n < (interleavedCapture ? 0 : F); ++n) {
    float L = n < leftFrames ? left[n * stride] : 0.0f;
    float R = n < rightFrames ? right[n * stride] : 0.0f;
    if (L != 0.0f || R != 0.0f) silent = false;
    const float aL = std::fabs(L);
    const float aR = std::fabs(R);
    if (aL > inPeak) inPeak = aL;
    if (aR > inPeak) inPeak = aR;
    if (toneActive) {
      const float s = toneSample(r, r->tone_pos);
      L += s;
      R += s;
      if (r->tone_pos + 1 < r->tone_total) {
        ++r->tone_pos;
      } else {
        r->tone_pos = -1;
        toneActive = false;
      }
    }
    const uint32_t k = (writeStart + static_cast<uint32_t>(n)) & mask;
    ring[2 * k] = L;
    ring[2 * k + 1] = R;
  }
  if (inPeak > r->input_peak.load(std::memory_order_relaxed)) {
    r->input_peak.store(inPeak, std::memory_order_relaxed);
  }
  if (silent) {
    r->silent_frames.fetch_add(static_cast<uint64_t>(F), std::memory_order_relaxed);
  } else {
    r->silent_frames.store(0, std::memory_order_relaxed);
  }

  if (followProbe(r, r->probe_position.load(std::memory_order_relaxed) >= 0)) {
    renderProbe(r, output, F);
  } else {
    for (int32_t i = 0; i < r->slot_count; ++i)
      renderSlot(r, i, output, writeStart, F);
  }

  r->write_pos = (writeStart + static_cast<uint32_t>(F)) & mask;
  return 0;
}

const cl_ioproc_fn cl_ioproc_ptr = &cl_ioproc;

}  // extern "C"
