#include "engine/hal/pipewire/pw_aggregate.h"

#include <cstddef>
#include <cstring>
#include <thread>

namespace choralink::pipewire {

namespace {

// The aggregate whose IO procedure this thread is running, if any.
thread_local PwAggregate* tlInProcess = nullptr;

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
  for (auto& p : presentations_) {
    p.outputs.assign(outputCount_, 0);
    p.presented.assign(outputCount_, 0);
    p.inputEnabled.assign(filterSpec.inputs.size(), 0);
  }
  // Everything presented until told otherwise; no data thread runs yet.
  fill(presentations_[0], std::vector<bool>(spec_.subDevices.size(), true),
       std::vector<bool>(filterSpec.inputs.size(), true));
  filter_ = std::make_unique<PwDspFilter>(loop, std::move(filterSpec), &PwAggregate::process, this);
}

PwAggregate::~PwAggregate() {
  stop();
  filter_.reset();
}

void PwAggregate::fill(Presentation& p, std::vector<bool> subDevices, std::vector<bool> inputs) {
  presentedSubDevices_.assign(spec_.subDevices.size(), false);
  for (size_t d = 0; d < subDevices.size() && d < spec_.subDevices.size(); ++d)
    presentedSubDevices_[d] = subDevices[d];
  enabledInputs_.assign(p.inputEnabled.size(), false);
  for (size_t i = 0; i < inputs.size() && i < p.inputEnabled.size(); ++i)
    enabledInputs_[i] = inputs[i];

  uint32_t port = 0;
  uint32_t count = 0;
  for (size_t d = 0; d < spec_.subDevices.size(); ++d) {
    for (size_t c = 0; c < spec_.subDevices[d].channels.size(); ++c, ++port) {
      p.presented[port] = presentedSubDevices_[d] ? 1 : 0;
      if (presentedSubDevices_[d]) p.outputs[count++] = port;
    }
  }
  p.outputCount = count;
  for (size_t i = 0; i < p.inputEnabled.size(); ++i)
    p.inputEnabled[i] = enabledInputs_[i] ? 1 : 0;
}

void PwAggregate::present(std::vector<bool> subDevices, std::vector<bool> inputs) {
  const int next = 1 - current_.load();
  fill(presentations_[next], std::move(subDevices), std::move(inputs));
  current_.store(next);
  // A cycle that began before the switch may still read the old copy; wait it
  // out so that the next present() may rewrite that copy.
  waitForCycleEnd();
}

void PwAggregate::waitForCycleEnd() const {
  while (inProc_.load())
    std::this_thread::yield();
}

std::vector<uint32_t> PwAggregate::inputStreams() const {
  return std::vector<uint32_t>(spec_.captureChannels.size(), 1);
}

std::vector<uint32_t> PwAggregate::outputStreams() const {
  size_t count = 0;
  for (size_t d = 0; d < spec_.subDevices.size(); ++d) {
    if (presentedSubDevices_[d]) count += spec_.subDevices[d].channels.size();
  }
  return std::vector<uint32_t>(count, 1);
}

size_t PwAggregate::firstOutputStream(size_t subDevice) const {
  size_t first = 0;
  for (size_t d = 0; d < subDevice && d < spec_.subDevices.size(); ++d) {
    if (presentedSubDevices_[d]) first += spec_.subDevices[d].channels.size();
  }
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

PwAggregate* PwAggregate::runningOnThisThread() {
  return tlInProcess;
}

void PwAggregate::stop() {
  running_.store(false);
  // From inside the IO procedure: this cycle is ours, the next sees running_.
  if (tlInProcess == this) return;
  // Sequentially consistent pair with process(): either the data thread sees
  // running_ false before calling, or we see it inside and wait it out.
  waitForCycleEnd();
}

void PwAggregate::process(void* user, const PwCycle& cycle, const float* const* inputs,
                          float* const* outputs) {
  auto* self = static_cast<PwAggregate*>(user);
  self->inProc_.store(true);
  const Presentation& p = self->presentations_[self->current_.load()];
  const uint32_t frames = cycle.frames;
  const uint32_t bytes = frames * static_cast<uint32_t>(sizeof(float));
  cl_audio_buffer* in = self->inputList_->mBuffers;
  for (size_t i = 0; i < p.inputEnabled.size(); ++i) {
    // A disabled stream keeps its place in the list but carries no data.
    in[i] = p.inputEnabled[i] ? cl_audio_buffer{1, bytes, const_cast<float*>(inputs[i])}
                              : cl_audio_buffer{1, 0, nullptr};
  }
  for (size_t port = 0; port < self->outputCount_; ++port) {
    if (!p.presented[port]) std::memset(outputs[port], 0, bytes);
  }
  self->outputList_->mNumberBuffers = p.outputCount;
  cl_audio_buffer* out = self->outputList_->mBuffers;
  for (uint32_t i = 0; i < p.outputCount; ++i)
    out[i] = cl_audio_buffer{1, bytes, outputs[p.outputs[i]]};

  // Missed cycles of the same driver lengthen the timeline; a new driver's
  // clock says nothing about what we missed.
  self->timeline_ += cycle.missedFrames;
  const uint64_t sampleTime = self->timeline_;
  self->timeline_ += frames;

  if (self->running_.load()) {
    AudioTimeStamp& stamp = self->stamp_;
    stamp.mSampleTime = static_cast<double>(sampleTime);
    stamp.mHostTime = cycle.nsec;
    stamp.mRateScalar = 1.0;
    stamp.mFlags = kTimeStampSampleTimeValid | kTimeStampHostTimeValid | kTimeStampRateScalarValid;
    const cl_audio_timestamp* time = asRenderTimeStamp(&stamp);
    tlInProcess = self;
    self->proc_(self->device_, time, self->inputList_, time, self->outputList_, time,
                self->clientData_);
    tlInProcess = nullptr;
    self->ioCycles_.fetch_add(1, std::memory_order_relaxed);
    self->ioFrames_.fetch_add(frames, std::memory_order_relaxed);
  } else {
    for (uint32_t i = 0; i < p.outputCount; ++i)
      std::memset(out[i].mData, 0, bytes);
  }
  self->inProc_.store(false);
}

}  // namespace choralink::pipewire
