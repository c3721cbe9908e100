/* Compiled as C: proves the render header is plain C and usable from it. */
#include "render/cl_render.h"

#include <stddef.h>

int cl_header_compiles_as_c(void);

int cl_header_compiles_as_c(void) {
  cl_slot_layout layout = {0};
  layout.channel_count = 2;
  layout.right = 1;
  layout.channels[0].buffer_channels = 2;
  layout.channels[1].channel_offset = 1;
  layout.channels[1].buffer_channels = 2;
  cl_input_layout input = {0, 1};
  cl_render* r = cl_render_create(1, &layout, input, 480, 48000.0);
  if (r == NULL) return 0;

  float samples[2 * 64] = {0};
  cl_audio_buffer_list list;
  list.mNumberBuffers = 1;
  list.mBuffers[0].mNumberChannels = 2;
  list.mBuffers[0].mDataByteSize = sizeof samples;
  list.mBuffers[0].mData = samples;
  cl_ioproc_fn fn = cl_ioproc_ptr;
  fn(0, NULL, &list, NULL, &list, NULL, r);
  int ok = cl_render_heartbeat(r) == 1 && cl_render_silent_frames(r) == 64;
  cl_render_destroy(r);
  return ok;
}
