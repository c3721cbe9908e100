#include "engine/hal/pipewire/pw_aggregate.h"

#include <cstddef>
#include <cstring>
#include <thread>

namespace choralink::pipewire {

namespace {

size_t listBytes(size_t buffers) {
  const size_t n = buffers == 0 ? 1 : buffers;
  return offsetof(cl_audio_buffer_list, mBuffers) + n * sizeof(cl_audio_buffer);
}

cl_audio_buffer_list* makeList(std::unique_ptr<std::byte[]>& storage, size_t buffers) {
  // new[] of bytes is suitably aligned for any fundamental type.
  storage = std::make_unique<std::byte[]>(listBytes(buffers));
  auto* list = new (storage.get()) cl_audio_buffer_list{};
  list->mNumberBuffers = static_cast<uint32_t>(buffers);
  cl_audio_buffer* entries = list->mBuffers;
  for (size_t i = 0; i < buffers; ++i)
    entries[i] = cl_audio_buffer{1, 0, nullptr};
  return list;
}

}  // namespace

std::string PwAggregate::capturePortName(const std::string& channel) {
  return "capture_" + channel;
}

std::string PwAggregate::outputPortName(size_t subDevice, const std::string& channel) {
  return "out" + std::to_string(subDevice) + "_" + channel;
}

PwAggregate::PwAggregate(PwThreadLoop& loop, PwAggregateSpec spec) : spec_(std::move(spec)) {
  PwDspFilter::Spec filterSpec;
  filterSpec.nodeName = spec_.nodeName;
  filterSpec.description = spec_.description;
  filterSpec.extraProps = spec_.extraProps;
  for (const auto& channel : spec_.captureChannels)
    filterSpec.inputs.push_back({capturePortName(channel), channel});
  for (size_t d = 0; d < spec_.subDevices.size(); ++d) {
    for (const auto& channel : spec_.subDevices[d].channels)
      filterSpec.outputs.push_back({outputPortName(d, channel), channel});
  }
  outputCount_ = filterSpec.outputs.size();
  inputList_ = makeList(inputStorage_, filterSpec.inputs.size());
  outputList_ = makeList(outputStorage_, outputCount_);
  filter_ = std::make_unique<PwDspFilter>(loop, std::move(filterSpec), &PwAggregate::process, this);
}

PwAggregate::~PwAggregate() {
  stop();
  filter_.reset();
}

std::vector<uint32_t> PwAggregate::inputStreams() const {
  return std::vector<uint32_t>(spec_.captureChannels.size(), 1);
}

std::vector<uint32_t> PwAggregate::outputStreams() const {
  return std::vector<uint32_t>(outputCount_, 1);
}

size_t PwAggregate::firstOutputStream(size_t subDevice) const {
  size_t first = 0;
  for (size_t d = 0; d < subDevice && d < spec_.subDevices.size(); ++d)
    first += spec_.subDevices[d].channels.size();
  return first;
}

bool PwAggregate::setIoProc(cl_ioproc_fn proc, void* clientData, uint32_t device) {
  if (running_.load()) return false;
  proc_ = proc;
  clientData_ = clientData;
  device_ = device;
  return true;
}

void PwAggregate::clearIoProc() {
  stop();
  proc_ = nullptr;
  clientData_ = nullptr;
}

void PwAggregate::start() {
  if (proc_ != nullptr) running_.store(true);
}

void PwAggregate::stop() {
  // Sequentially consistent pair with process(): either the data thread sees
  // running_ false before calling, or we see it inside and wait it out.
  running_.store(false);
  while (inProc_.load())
    std::this_thread::yield();
}

void PwAggregate::process(void* user, const PwCycle& cycle, const float* const* inputs,
                          float* const* outputs) {
  auto* self = static_cast<PwAggregate*>(user);
  const uint32_t frames = cycle.frames;
  const uint32_t bytes = frames * static_cast<uint32_t>(sizeof(float));
  cl_audio_buffer* in = self->inputList_->mBuffers;
  for (uint32_t i = 0; i < self->inputList_->mNumberBuffers; ++i)
    in[i] = cl_audio_buffer{1, bytes, const_cast<float*>(inputs[i])};
  cl_audio_buffer* out = self->outputList_->mBuffers;
  for (uint32_t i = 0; i < self->outputList_->mNumberBuffers; ++i)
    out[i] = cl_audio_buffer{1, bytes, outputs[i]};

  self->inProc_.store(true);
  if (self->running_.load()) {
    self->proc_(self->device_, nullptr, self->inputList_, nullptr, self->outputList_, nullptr,
                self->clientData_);
    self->ioCycles_.fetch_add(1, std::memory_order_relaxed);
    self->ioFrames_.fetch_add(frames, std::memory_order_relaxed);
  } else {
    for (uint32_t i = 0; i < self->outputList_->mNumberBuffers; ++i)
      std::memset(outputs[i], 0, bytes);
  }
  self->inProc_.store(false);
}

}  // namespace choralink::pipewire
