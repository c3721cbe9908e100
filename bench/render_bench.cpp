// One IO cycle of the render core: 1, 4 and 16 stereo slots at 128, 512 and
// 4096 frames, settled and with delay changes and gain ramps in flight, next to
// a plain memcpy of the same output bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "render/cl_render.h"

namespace {

// Input: one stereo buffer. Output: one stereo buffer per slot, as an
// aggregate device of stereo devices presents them.
struct Cycle {
  Cycle(int slots, int frames) : frames(frames) {
    in.assign(2 * static_cast<size_t>(frames), 0.0f);
    for (size_t i = 0; i < in.size(); ++i)
      in[i] = static_cast<float>(i % 113) / 113.0f - 0.5f;
    out.assign(static_cast<size_t>(slots), std::vector<float>(2 * static_cast<size_t>(frames)));
    inList = makeList(1);
    outList = makeList(slots);
    buffers(inList)[0] = {2, static_cast<uint32_t>(in.size() * 4), in.data()};
    std::vector<cl_slot_layout> layouts(static_cast<size_t>(slots));
    for (int s = 0; s < slots; ++s) {
      buffers(outList)[s] = {2, static_cast<uint32_t>(frames * 8),
                             out[static_cast<size_t>(s)].data()};
      cl_slot_layout& y = layouts[static_cast<size_t>(s)];
      y = cl_slot_layout{};
      y.channel_count = 2;
      y.left = 0;
      y.right = 1;
      y.channels[0] = {s, 0, 2};
      y.channels[1] = {s, 1, 2};
    }
    render = cl_render_create(slots, layouts.data(), cl_input_layout{0, 1}, 48000, 48000.0);
    for (int s = 0; s < slots; ++s)
      cl_render_set_delay_frames(render, s, 1000 * s + 17);
  }
  ~Cycle() { cl_render_destroy(render); }

  static std::vector<unsigned char> makeList(int count) {
    std::vector<unsigned char> raw(sizeof(cl_audio_buffer_list) +
                                   static_cast<size_t>(count - 1) * sizeof(cl_audio_buffer));
    reinterpret_cast<cl_audio_buffer_list*>(raw.data())->mNumberBuffers =
        static_cast<uint32_t>(count);
    return raw;
  }
  static cl_audio_buffer* buffers(std::vector<unsigned char>& raw) {
    return reinterpret_cast<cl_audio_buffer_list*>(raw.data())->mBuffers;
  }
  void run() {
    cl_ioproc(0, nullptr, reinterpret_cast<cl_audio_buffer_list*>(inList.data()), nullptr,
              reinterpret_cast<cl_audio_buffer_list*>(outList.data()), nullptr, render);
  }

  int frames;
  std::vector<float> in;
  std::vector<std::vector<float>> out;
  std::vector<unsigned char> inList;
  std::vector<unsigned char> outList;
  cl_render* render = nullptr;
};

void report(benchmark::State& state, int slots, int frames) {
  const double slotFrames = static_cast<double>(slots) * frames;
  state.counters["ns_per_frame_slot"] =
      benchmark::Counter(slotFrames * static_cast<double>(state.iterations()) / 1e9,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  // Bytes touched per cycle: input read, ring write, per slot ring read, output
  // clear and output write.
  const double bytes = 8.0 * frames * 2 + slots * 8.0 * frames * 3;
  state.SetBytesProcessed(static_cast<int64_t>(bytes * static_cast<double>(state.iterations())));
}

void BM_CycleSettled(benchmark::State& state) {
  const int slots = static_cast<int>(state.range(0));
  const int frames = static_cast<int>(state.range(1));
  Cycle c(slots, frames);
  for (int i = 0; i < 200; ++i)
    c.run();  // gains reach their targets
  for (auto _ : state) {
    c.run();
    benchmark::ClobberMemory();
  }
  report(state, slots, frames);
}

void BM_CycleRamping(benchmark::State& state) {
  const int slots = static_cast<int>(state.range(0));
  const int frames = static_cast<int>(state.range(1));
  Cycle c(slots, frames);
  int flip = 0;
  for (auto _ : state) {
    // Every cycle a new delay and gain per slot, so crossfades and ramps run.
    ++flip;
    for (int s = 0; s < slots; ++s) {
      cl_render_set_delay_frames(c.render, s, (flip & 1) ? 500 + s : 2000 + s);
      cl_render_set_gain(c.render, s, (flip & 1) ? 0.25f : 0.9f);
    }
    c.run();
    benchmark::ClobberMemory();
  }
  report(state, slots, frames);
}

// The floor: copying the bytes the cycle writes to its outputs.
void BM_MemcpyOutputs(benchmark::State& state) {
  const int slots = static_cast<int>(state.range(0));
  const int frames = static_cast<int>(state.range(1));
  Cycle c(slots, frames);
  for (auto _ : state) {
    for (int s = 0; s < slots; ++s) {
      std::memcpy(c.out[static_cast<size_t>(s)].data(), c.in.data(),
                  static_cast<size_t>(frames) * 8);
    }
    benchmark::ClobberMemory();
  }
  report(state, slots, frames);
}

void shapes(benchmark::internal::Benchmark* b) {
  for (int slots : {1, 4, 16}) {
    for (int frames : {128, 512, 4096})
      b->Args({slots, frames});
  }
}

BENCHMARK(BM_CycleSettled)->Apply(shapes);
BENCHMARK(BM_CycleRamping)->Apply(shapes);
BENCHMARK(BM_MemcpyOutputs)->Apply(shapes);

}  // namespace

BENCHMARK_MAIN();
