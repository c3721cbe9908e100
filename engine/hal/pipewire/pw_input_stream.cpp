#include "engine/hal/pipewire/pw_input_stream.h"

#include <algorithm>
#include <cstddef>
#include <thread>

#include "engine/hal/pipewire/pw_ports.h"
#include "engine/hal/pipewire/pw_virtual_sink.h"

namespace choralink::pipewire {

namespace {

thread_local PwInputStream* tlInProcess = nullptr;

cl_audio_buffer_list* makeList(std::unique_ptr<std::byte[]>& storage, size_t buffers) {
  const size_t room = std::max<size_t>(buffers, 1);
  storage = std::make_unique<std::byte[]>(offsetof(cl_audio_buffer_list, mBuffers) +
                                          room * sizeof(cl_audio_buffer));
  auto* list = new (storage.get()) cl_audio_buffer_list{};
  list->mNumberBuffers = static_cast<uint32_t>(buffers);
  for (size_t i = 0; i < buffers; ++i)
    list->mBuffers[i] = cl_audio_buffer{1, 0, nullptr};
  return list;
}

// The ports a source delivers its capture on: its outputs. A virtual source
// (a null sink of class Audio/Source/Virtual) has only its monitor ports
// ("capture_FL", marked as monitor); a device's source has plain ones, and
// those are what it captures should it have both.
std::vector<PwPort> capturePorts(const std::vector<PwPort>& ports) {
  std::vector<PwPort> plain, monitors;
  for (const PwPort& port : outputPorts(ports))
    (port.monitor ? monitors : plain).push_back(port);
  return plain.empty() ? monitors : plain;
}

}  // namespace

PwInputStream::PwInputStream(PwThreadLoop& loop, Spec spec, cl_ioproc_fn proc, void* clientData,
                             uint32_t device)
    : spec_(std::move(spec)), proc_(proc), clientData_(clientData), device_(device) {
  PwDspFilter::Spec filterSpec;
  filterSpec.nodeName = spec_.nodeName;
  filterSpec.description = spec_.description;
  filterSpec.extraProps = spec_.extraProps;
  filterSpec.extraProps[kOwnedNodeProperty] = "true";
  for (const auto& channel : spec_.channels)
    filterSpec.inputs.push_back({"input_" + channel, channel});
  inputList_ = makeList(inputStorage_, filterSpec.inputs.size());
  silence_.assign(PwDspFilter::kMaxFrames, 0.0f);
  silent_.assign(filterSpec.inputs.size(), silence_.data());
  outputList_ = makeList(outputStorage_, 0);
  filter_ =
      std::make_unique<PwDspFilter>(loop, std::move(filterSpec), &PwInputStream::process, this);
}

PwInputStream::~PwInputStream() {
  stop();
  filter_.reset();
}

PwInputStream* PwInputStream::runningOnThisThread() {
  return tlInProcess;
}

void PwInputStream::stop() {
  running_.store(false);
  if (tlInProcess == this) return;
  // Sequentially consistent pair with process(): either the data thread sees
  // running_ false before calling, or we see it inside and wait it out.
  while (inProc_.load())
    std::this_thread::yield();
}

void PwInputStream::process(void* user, const PwCycle& cycle, const float* const* inputs,
                            float* const* /*outputs*/) {
  auto* self = static_cast<PwInputStream*>(user);
  self->inProc_.store(true);
  if (self->running_.load()) {
    // A gap on the same driver's clock: the cycles between were missed.
    if (self->wasRunning_ && cycle.missedFrames > 0 && cycle.missedFrames <= kMaxGapFrames) {
      for (uint64_t at = cycle.position - cycle.missedFrames; at < cycle.position;) {
        const auto n =
            static_cast<uint32_t>(std::min<uint64_t>(cycle.position - at, PwDspFilter::kMaxFrames));
        self->call(at, cycle.nsec, n, self->silent_.data());
        at += n;
      }
    }
    self->call(cycle.position, cycle.nsec, cycle.frames, inputs);
    self->wasRunning_ = true;
  } else {
    self->wasRunning_ = false;
  }
  self->inProc_.store(false);
}

void PwInputStream::call(uint64_t position, uint64_t nsec, uint32_t frames,
                         const float* const* inputs) {
  const uint32_t bytes = frames * static_cast<uint32_t>(sizeof(float));
  for (uint32_t i = 0; i < inputList_->mNumberBuffers; ++i)
    inputList_->mBuffers[i] = cl_audio_buffer{1, bytes, const_cast<float*>(inputs[i])};
  stamp_.mSampleTime = static_cast<double>(position);
  stamp_.mHostTime = nsec;
  stamp_.mRateScalar = 1.0;
  stamp_.mFlags = kTimeStampSampleTimeValid | kTimeStampHostTimeValid | kTimeStampRateScalarValid;
  const cl_audio_timestamp* time = asRenderTimeStamp(&stamp_);
  tlInProcess = this;
  proc_(device_, time, inputList_, time, outputList_, time, clientData_);
  tlInProcess = nullptr;
  ioCycles_.fetch_add(1, std::memory_order_relaxed);
}

// ---- PwInputCaptures ----------------------------------------------------------

PwInputCaptures::PwInputCaptures(PwThreadLoop& loop, PwGraph& graph, double timeoutSeconds)
    : loop_(loop), graph_(graph), timeout_(timeoutSeconds) {}

PwInputCaptures::~PwInputCaptures() {
  clear();
}

HALStatus PwInputCaptures::create(uint32_t device, const std::string& sourceName,
                                  const std::vector<std::string>& positions, cl_ioproc_fn proc,
                                  void* clientData, IOProcID id) {
  if (proc == nullptr || positions.empty()) return kStatusIllegalOperation;
  if (has(device)) return kStatusIllegalOperation;
  auto capture = std::make_unique<Capture>();
  capture->id = id;
  capture->sourceName = sourceName;
  PwInputStream::Spec spec;
  spec.channels = positions;
  try {
    capture->stream = std::make_unique<PwInputStream>(loop_, spec, proc, clientData, device);
  } catch (const PwError&) {
    return kStatusUnspecified;
  }
  // Our node's ports must be in the graph model before they can be linked.
  PwDspFilter& filter = capture->stream->filter();
  const bool ready = loop_.waitUntil(
      [&] {
        if (filter.state() == PwFilterState::error || !loop_.connected()) return true;
        const uint32_t node = filter.nodeId();
        return node != 0 && inputPorts(graph_.ports(node)).size() == positions.size();
      },
      timeout_);
  if (!ready || filter.state() == PwFilterState::error || !loop_.connected() || !link(*capture)) {
    return kStatusUnspecified;
  }
  captures_.emplace(device, std::move(capture));
  return kStatusOK;
}

bool PwInputCaptures::link(Capture& capture) {
  if (!capture.links.empty()) return true;
  const auto source = graph_.nodeByName(capture.sourceName);
  const uint32_t self = capture.stream->filter().nodeId();
  if (!source || self == 0) return false;
  const auto outputs = capturePorts(graph_.ports(source->id));
  const auto inputs = inputPorts(graph_.ports(self));
  if (outputs.empty() || inputs.empty()) return false;
  capture.links = linkPairs(loop_, pairPorts(outputs, inputs));
  return !capture.links.empty();
}

HALStatus PwInputCaptures::destroy(uint32_t device, IOProcID id) {
  const auto it = captures_.find(device);
  if (it == captures_.end() || id == kNoIOProc || it->second->id != id) return kStatusBadObject;
  it->second->stream->stop();
  captures_.erase(it);
  return kStatusOK;
}

HALStatus PwInputCaptures::setRunning(uint32_t device, IOProcID id, bool run) {
  const auto it = captures_.find(device);
  if (it == captures_.end() || id == kNoIOProc || it->second->id != id) return kStatusBadObject;
  Capture& capture = *it->second;
  if (!run) {
    capture.stream->stop();
    return kStatusOK;
  }
  if (capture.sourceGone) return kStatusBadDevice;
  const bool active = loop_.waitUntil(
      [&] { return allActive(capture.links) || anyFailed(capture.links) || !loop_.connected(); },
      timeout_);
  if (!active || capture.links.empty() || !allActive(capture.links)) return kStatusUnspecified;
  capture.stream->start();
  return kStatusOK;
}

bool PwInputCaptures::stopFromProcedure(uint32_t device, IOProcID id) {
  PwInputStream* running = PwInputStream::runningOnThisThread();
  if (running == nullptr || running->device() != device || id == kNoIOProc) return false;
  running->stop();
  return true;
}

void PwInputCaptures::update() {
  for (auto& [device, capture] : captures_) {
    if (capture->sourceGone) continue;
    if (!graph_.nodeByName(capture->sourceName)) {
      // A source that comes back under the same name is another device to
      // the caller: this procedure has ended.
      capture->sourceGone = true;
      capture->stream->stop();
      capture->links.clear();
      continue;
    }
    if (!capture->links.empty() && anyFailed(capture->links)) capture->links.clear();
    link(*capture);
  }
}

}  // namespace choralink::pipewire
