// The render core doing its job, in one screen of code: a generated signal
// (a click every half second over a quiet tone) goes through one render state
// with three outputs at different delays and gains. Each output is written to
// a WAV file, and the lag of its first click is measured and printed.
//
// Usage: render_demo [output-folder]   (default: out/render-demo)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "render/cl_render.h"

namespace {

constexpr double kRate = 48000.0;
constexpr int kCycleFrames = 512;
constexpr int kSeconds = 3;
constexpr int kFirstClickFrame = 4800;  // 0.1 s: the outputs' gains have faded in by then
constexpr float kClickThreshold = 0.25f;

struct Output {
  const char* name;
  double delayMs;
  float gain;
};

// 16-bit stereo PCM WAV.
bool writeWav(const std::filesystem::path& path, const std::vector<float>& interleaved) {
  std::ofstream f(path, std::ios::binary);
  if (!f) return false;
  auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
  const uint32_t dataBytes = static_cast<uint32_t>(interleaved.size() * 2);
  f.write("RIFF", 4);
  u32(36 + dataBytes);
  f.write("WAVEfmt ", 8);
  u32(16);
  u16(1);  // PCM
  u16(2);
  u32(static_cast<uint32_t>(kRate));
  u32(static_cast<uint32_t>(kRate) * 4);
  u16(4);
  u16(16);
  f.write("data", 4);
  u32(dataBytes);
  for (float x : interleaved) {
    const float c = x > 1.0f ? 1.0f : (x < -1.0f ? -1.0f : x);
    u16(static_cast<uint16_t>(static_cast<int16_t>(std::lround(c * 32767.0f))));
  }
  return static_cast<bool>(f);
}

float inputSample(int64_t t) {
  const double tone = 0.05 * std::sin(2.0 * M_PI * 220.0 * static_cast<double>(t) / kRate);
  const int64_t sinceClick = (t - kFirstClickFrame) % static_cast<int64_t>(kRate / 2);
  const bool click = t >= kFirstClickFrame && sinceClick < 48;  // 1 ms
  return static_cast<float>(click ? 0.8 : tone);
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path folder = argc > 1 ? argv[1] : "out/render-demo";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    std::fprintf(stderr, "render_demo: cannot create %s: %s\n", folder.c_str(),
                 ec.message().c_str());
    return 1;
  }

  const Output outputs[] = {
      {"built-in", 180.0, 1.0f}, {"hdmi", 150.0, 0.8f}, {"bluetooth", 0.0, 0.6f}};
  constexpr int kOutputs = 3;

  // The aggregate device's output: one interleaved stereo buffer per output.
  std::vector<cl_slot_layout> layouts(kOutputs);
  for (int i = 0; i < kOutputs; ++i) {
    layouts[i] = cl_slot_layout{};
    layouts[i].channel_count = 2;
    layouts[i].left = 0;
    layouts[i].right = 1;
    layouts[i].channels[0] = {i, 0, 2};
    layouts[i].channels[1] = {i, 1, 2};
  }
  cl_render* render = cl_render_create(kOutputs, layouts.data(), cl_input_layout{0, 1},
                                       static_cast<int32_t>(kRate), kRate);
  if (render == nullptr) {
    std::fprintf(stderr, "render_demo: cl_render_create failed\n");
    return 1;
  }
  int32_t delays[kOutputs];
  for (int i = 0; i < kOutputs; ++i) {
    delays[i] = static_cast<int32_t>(std::lround(outputs[i].delayMs * kRate / 1000.0));
    cl_render_set_delay_frames(render, i, delays[i]);
    cl_render_set_gain(render, i, outputs[i].gain);
  }

  std::vector<float> in(2 * kCycleFrames);
  std::vector<std::vector<float>> out(kOutputs, std::vector<float>(2 * kCycleFrames));
  std::vector<std::vector<float>> recorded(kOutputs);
  std::vector<unsigned char> inRaw(sizeof(cl_audio_buffer_list));
  std::vector<unsigned char> outRaw(sizeof(cl_audio_buffer_list) +
                                    (kOutputs - 1) * sizeof(cl_audio_buffer));
  auto* inList = reinterpret_cast<cl_audio_buffer_list*>(inRaw.data());
  auto* outList = reinterpret_cast<cl_audio_buffer_list*>(outRaw.data());
  inList->mNumberBuffers = 1;
  inList->mBuffers[0] = {2, static_cast<uint32_t>(in.size() * 4), in.data()};
  outList->mNumberBuffers = kOutputs;
  cl_audio_buffer* outBuffers = outList->mBuffers;
  for (int i = 0; i < kOutputs; ++i) {
    outBuffers[i] = {2, static_cast<uint32_t>(out[i].size() * 4), out[i].data()};
  }

  const int64_t total = static_cast<int64_t>(kRate) * kSeconds;
  for (int64_t t0 = 0; t0 < total; t0 += kCycleFrames) {
    for (int n = 0; n < kCycleFrames; ++n) {
      in[2 * n] = in[2 * n + 1] = inputSample(t0 + n);
    }
    cl_ioproc(0, nullptr, inList, nullptr, outList, nullptr, render);
    for (int i = 0; i < kOutputs; ++i)
      recorded[i].insert(recorded[i].end(), out[i].begin(), out[i].end());
  }
  cl_render_destroy(render);

  int failures = 0;
  for (int i = 0; i < kOutputs; ++i) {
    int64_t first = -1;
    for (size_t k = 0; k < recorded[i].size(); k += 2) {
      if (std::fabs(recorded[i][k]) > kClickThreshold * outputs[i].gain) {
        first = static_cast<int64_t>(k / 2);
        break;
      }
    }
    const std::filesystem::path file = folder / (std::string(outputs[i].name) + ".wav");
    if (!writeWav(file, recorded[i])) {
      std::fprintf(stderr, "render_demo: cannot write %s\n", file.c_str());
      ++failures;
    }
    const int64_t lag = first < 0 ? -1 : first - kFirstClickFrame;
    std::printf("%-10s delay %5d frames (%5.1f ms)  gain %.2f  first click lag %5lld frames  %s\n",
                outputs[i].name, delays[i], outputs[i].delayMs, outputs[i].gain,
                static_cast<long long>(lag), file.c_str());
    if (lag != delays[i]) ++failures;
  }
  return failures == 0 ? 0 : 2;
}
