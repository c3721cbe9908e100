/* Compiled as C: proves the render header is plain C and usable from it. */
#include "render/cl_render.h"

#include <stddef.h>

int cl_header_compiles_as_c(void);

int cl_header_compiles_as_c(void) {
  cl_slot_layout layout = {
      .channel_count = 2, .left = 0, .right = 1, .channels = {{0, 0, 2}, {0, 1, 2}}};
  cl_input_layout input = {0, 1};
  cl_render* r = cl_render_create(1, &layout, input, 480, 48000.0);
  if (r == NULL) return 0;

  float samples[2 * 64] = {0};
  cl_audio_buffer_list list = {1, {{2, sizeof samples, samples}}};
  cl_ioproc_fn fn = cl_ioproc_ptr;
  fn(0, NULL, &list, NULL, &list, NULL, r);
  int ok = cl_render_heartbeat(r) == 1 && cl_render_silent_frames(r) == 64;
  cl_render_destroy(r);
  return ok;
}
