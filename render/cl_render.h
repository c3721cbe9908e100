/* The real-time render core: one render state per broadcast, its controls and
 * the IO callback that the audio system calls once per cycle.
 *
 * Every function tolerates a null render pointer (it then does nothing and
 * returns 0) and slot numbers outside 0..slot_count-1 (ignored). Out-of-range
 * values are clamped, never rejected. Nothing here throws, locks or logs, and
 * nothing but cl_render_create allocates.
 *
 * Threads: cl_ioproc runs on the audio system's real-time IO thread, one cycle
 * at a time. Every other function may be called from any ordinary thread while
 * cycles run; the engine serialises its own control calls. */
#ifndef CHORALINK_RENDER_CL_RENDER_H
#define CHORALINK_RENDER_CL_RENDER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  CL_MAX_SLOTS = 16,         /* output devices per broadcast */
  CL_MAX_SLOT_CHANNELS = 32, /* channels one device may address */
  CL_MAX_CYCLE_FRAMES = 8192 /* frames one IO cycle processes at most */
};

/* The audio system's buffer records, laid out exactly like the platform's
 * AudioBuffer and AudioBufferList: samples are 32-bit floats, interleaved
 * within one buffer. mBuffers is declared with one element and is followed in
 * memory by mNumberBuffers - 1 more. */
typedef struct cl_audio_buffer {
  uint32_t mNumberChannels;
  uint32_t mDataByteSize;
  void* mData;
} cl_audio_buffer;

typedef struct cl_audio_buffer_list {
  uint32_t mNumberBuffers;
  cl_audio_buffer mBuffers[1];
} cl_audio_buffer_list;

/* The platform's timestamp record (AudioTimeStamp); the callback reads only
 * the output time's sample time and flags. */
typedef struct cl_audio_timestamp cl_audio_timestamp;

/* Where one channel of a device lies in the output buffer list. A negative or
 * out-of-list buffer_index means the channel is absent; buffer_channels is the
 * interleaving stride (values below 1 count as 1). */
typedef struct cl_channel_ref {
  int32_t buffer_index;
  int32_t channel_offset;
  int32_t buffer_channels;
} cl_channel_ref;

/* One slot's (output device's) channels, in device order; left and right index
 * into channels. channel_count is clamped to 0..32 on creation. */
typedef struct cl_slot_layout {
  int32_t channel_count;
  int32_t left;
  int32_t right;
  cl_channel_ref channels[CL_MAX_SLOT_CHANNELS];
} cl_slot_layout;

/* Where the captured system audio lies in the input buffer list: both sides
 * interleaved in first_buffer (buffer_count 1), or left in first_buffer and
 * right in the next (buffer_count 2); {-1, 0} when the capture was not found. */
typedef struct cl_input_layout {
  int32_t first_buffer;
  int32_t buffer_count;
} cl_input_layout;

typedef struct cl_render cl_render;

/* Read-only view of a state's derived sizes, for diagnostics and tests. */
typedef struct cl_render_info {
  double sample_rate;
  int32_t slot_count;
  int32_t max_delay_frames;
  int32_t fade_frames;
  float gain_coef;
  uint32_t ring_frames;
  int32_t tone_len;
  int32_t tone_spacing;
  int64_t tone_total;
} cl_render_info;

/* Read-only view of one slot: what the controls asked for and what the IO
 * thread last applied (the applied values are a racy snapshot). */
typedef struct cl_slot_info {
  int32_t channel_count;
  float gain_target;
  int32_t delay_target;
  int32_t enabled;
  float gain_current;
  int32_t delay_current;
} cl_slot_info;

/* Creates a render state for slot_count (0..16) slots described by layouts,
 * with a delay line for delays up to max_delay_frames (0 .. 2^31 - 8194).
 * Returns null on a bad argument or when memory runs out.
 * Any thread; not real-time safe (allocates). */
cl_render* cl_render_create(int32_t slot_count, const cl_slot_layout* layouts,
                            cl_input_layout input, int32_t max_delay_frames, double sample_rate);

/* Frees the delay line, then the state. The IO callback must no longer be able
 * to enter with this state. Any thread; not real-time safe. */
void cl_render_destroy(cl_render* render);

/* Target gain, clamped to 0..1 (negative or NaN gives 0); the callback moves
 * towards it with a 10 ms one-pole smoother. Any thread; real-time safe. */
void cl_render_set_gain(cl_render* render, int32_t slot, float gain);

/* Target delay, clamped to 0..max_delay_frames; the callback crossfades to it
 * over 20 ms. Any thread; real-time safe. */
void cl_render_set_delay_frames(cl_render* render, int32_t slot, int32_t frames);

/* Enables (flag != 0) or silences a slot. Any thread; real-time safe. */
void cl_render_set_enabled(cl_render* render, int32_t slot, int32_t flag);

/* Starts the six-click test tone at the next cycle, restarting it when one is
 * already playing. Any thread; real-time safe. */
void cl_render_trigger_test_tone(cl_render* render);

/* A measurement signal played on one slot at a time: from the cycle after
 * this call on, every slot is silent except that slots[k] (k < count, at most
 * CL_MAX_SLOTS) plays signal[0..length) once, starting at frame
 * lead + k * spacing of the probe's own timeline, which begins at 0 in the
 * first cycle that sees the call. The signal bypasses the delay line, gain
 * and enable flag: it measures the device, not the settings. The delay line
 * keeps being fed, so the program resumes seamlessly after
 * cl_render_end_probe. Starting again replaces the schedule.
 * `signal` must stay readable until the render state is destroyed (the IO
 * thread may still be inside a cycle when a later call returns). Negative
 * lengths, leads and spacings count as 0.
 * Any thread, one caller at a time; real-time safe. */
void cl_render_start_probe(cl_render* render, const float* signal, int32_t length,
                           const int32_t* slots, int32_t count, int32_t lead, int32_t spacing);

/* Ends the measurement signal from the next cycle on; the program plays
 * again. Any thread, one caller at a time; real-time safe. */
void cl_render_end_probe(cl_render* render);

/* Frames of the probe timeline played so far, or -1 when no probe plays.
 * Any thread; real-time safe. */
int64_t cl_render_probe_position(const cl_render* render);

/* Largest absolute output sample of a slot since the previous take; resets it.
 * Any thread; real-time safe. */
float cl_render_take_peak(cl_render* render, int32_t slot);

/* Largest absolute captured sample since the previous take; resets it.
 * Any thread; real-time safe. */
float cl_render_take_input_peak(cl_render* render);

/* Number of IO callbacks entered since creation. Any thread; real-time safe. */
uint64_t cl_render_heartbeat(const cl_render* render);

/* Consecutive captured frames that were exact zeros. Any thread; real-time safe. */
uint64_t cl_render_silent_frames(const cl_render* render);

/* Fills *info; a null render or info leaves it untouched and returns 0, else 1.
 * Any thread; real-time safe. */
int32_t cl_render_get_info(const cl_render* render, cl_render_info* info);

/* Fills *info for one slot; returns 0 (untouched) for a null render, null info
 * or a slot out of range, else 1. Any thread; real-time safe. */
int32_t cl_render_get_slot_info(const cl_render* render, int32_t slot, cl_slot_info* info);

/* The IO procedure, with the platform's device IO procedure signature. Reads
 * the captured input, feeds the delay line and writes every slot's delayed,
 * gain-smoothed copy into its output channels. Uses input, output,
 * client_data (the cl_render) and output_time; always returns 0.
 * When output_time carries a valid sample time that lies ahead of where the
 * previous cycle ended (cycles the device ran without calling us), the
 * missed frames count as silence: the delay line, the test tone and the
 * probe move on by them, so every slot stays on the device clock. A null
 * time, one without a valid sample time, or a clock that went back resets
 * nothing and skips nothing.
 * IO thread only; real-time safe (no lock, allocation or system call). */
int32_t cl_ioproc(uint32_t device, const cl_audio_timestamp* now, const cl_audio_buffer_list* input,
                  const cl_audio_timestamp* input_time, cl_audio_buffer_list* output,
                  const cl_audio_timestamp* output_time, void* client_data);

typedef int32_t (*cl_ioproc_fn)(uint32_t, const cl_audio_timestamp*, const cl_audio_buffer_list*,
                                const cl_audio_timestamp*, cl_audio_buffer_list*,
                                const cl_audio_timestamp*, void*);

/* The address of cl_ioproc, for hosts that hand the callback over as a value. */
extern const cl_ioproc_fn cl_ioproc_ptr;

#ifdef __cplusplus
}
#endif

#endif
