#include "engine/hal/pipewire/pw_dsp_filter.h"

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace choralink::pipewire {

struct PwDspFilter::Callbacks {
  static void process(void* data, spa_io_position* position) {
    auto* self = static_cast<PwDspFilter*>(data);
    // Sequentially consistent pair with the destructor: either it sees us
    // inside and waits, or we see it closing and leave.
    self->inProcess_.store(true);
    if (self->closing_.load()) {
      self->inProcess_.store(false);
      return;
    }
    PwCycle cycle;
    if (position != nullptr) {
      cycle.frames = static_cast<uint32_t>(position->clock.duration);
      cycle.position = position->clock.position;
      cycle.nsec = position->clock.nsec;
      cycle.rate = position->clock.rate.denom;
      cycle.driverId = position->clock.id;
      // A new driver brings its own clock: that is a new timeline, not a gap.
      if (self->havePosition_ &&
          cycle.driverId == self->lastDriver_.load(std::memory_order_relaxed) &&
          cycle.position != self->expectedPosition_) {
        cycle.discontinuity = true;
        if (cycle.position > self->expectedPosition_)
          cycle.missedFrames = cycle.position - self->expectedPosition_;
        self->discontinuities_.fetch_add(1, std::memory_order_relaxed);
      }
      self->expectedPosition_ = cycle.position + position->clock.duration;
      self->havePosition_ = true;
      self->lastDriver_.store(cycle.driverId, std::memory_order_relaxed);
    }
    if (cycle.frames > kMaxFrames) {
      self->oversized_.fetch_add(1, std::memory_order_relaxed);
      cycle.frames = kMaxFrames;
    }
    const uint32_t frames = cycle.frames;
    for (size_t i = 0; i < self->inputPorts_.size(); ++i) {
      auto* data =
          static_cast<const float*>(pw_filter_get_dsp_buffer(self->inputPorts_[i], frames));
      self->inputData_[i] = data != nullptr ? data : self->silence_.data();
    }
    for (size_t i = 0; i < self->outputPorts_.size(); ++i) {
      auto* data = static_cast<float*>(pw_filter_get_dsp_buffer(self->outputPorts_[i], frames));
      self->outputData_[i] = data != nullptr ? data : self->scratch_.data();
    }
    self->process_(self->user_, cycle, self->inputData_.data(), self->outputData_.data());
    self->lastFrames_.store(frames, std::memory_order_relaxed);
    self->cycles_.fetch_add(1, std::memory_order_relaxed);
    self->inProcess_.store(false);
  }

  static void stateChanged(void* data, pw_filter_state /*old*/, pw_filter_state state,
                           const char* /*error*/) {
    auto* self = static_cast<PwDspFilter*>(data);
    PwFilterState mapped = PwFilterState::error;
    switch (state) {
      case PW_FILTER_STATE_ERROR:
        mapped = PwFilterState::error;
        break;
      case PW_FILTER_STATE_UNCONNECTED:
        mapped = PwFilterState::unconnected;
        break;
      case PW_FILTER_STATE_CONNECTING:
        mapped = PwFilterState::connecting;
        break;
      case PW_FILTER_STATE_PAUSED:
        mapped = PwFilterState::paused;
        break;
      case PW_FILTER_STATE_STREAMING:
        mapped = PwFilterState::streaming;
        break;
    }
    self->state_.store(mapped, std::memory_order_release);
    const uint32_t id = pw_filter_get_node_id(self->filter_);
    if (id != SPA_ID_INVALID && self->nodeId_.load(std::memory_order_relaxed) == 0) {
      self->nodeId_.store(id, std::memory_order_release);
    }
    self->loop_.signal();
  }
};

PwDspFilter::PwDspFilter(PwThreadLoop& loop, Spec spec, ProcessFn process, void* user)
    : loop_(loop), spec_(std::move(spec)), process_(process), user_(user) {
  static const pw_filter_events kEvents = [] {
    pw_filter_events events{};
    events.version = PW_VERSION_FILTER_EVENTS;
    events.state_changed = &Callbacks::stateChanged;
    events.process = &Callbacks::process;
    return events;
  }();

  inputData_.assign(spec_.inputs.size(), nullptr);
  outputData_.assign(spec_.outputs.size(), nullptr);
  silence_.assign(kMaxFrames, 0.0f);
  scratch_.assign(kMaxFrames, 0.0f);

  PwLock lock(loop_);
  pw_properties* props = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Filter", PW_KEY_MEDIA_ROLE, "DSP",
      PW_KEY_NODE_NAME, spec_.nodeName.c_str(), PW_KEY_NODE_DESCRIPTION,
      spec_.description.empty() ? spec_.nodeName.c_str() : spec_.description.c_str(),
      // Runs every cycle even while an input is not linked yet, so the owner
      // sees a steady clock (and writes silence where it has nothing).
      "node.always-process", "true", PW_KEY_NODE_WANT_DRIVER, "true", nullptr);
  for (const auto& [key, value] : spec_.extraProps)
    pw_properties_set(props, key.c_str(), value.c_str());
  filter_ = pw_filter_new(loop_.core(), spec_.nodeName.c_str(), props);
  if (filter_ == nullptr) throw PwError("pw_filter_new", -errno);
  listener_ = new spa_hook{};
  pw_filter_add_listener(filter_, listener_, &kEvents, this);

  auto addPort = [&](pw_direction direction, const PwDspPort& port) {
    pw_properties* portProps = pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                                 PW_KEY_PORT_NAME, port.name.c_str(), nullptr);
    if (!port.channel.empty())
      pw_properties_set(portProps, PW_KEY_AUDIO_CHANNEL, port.channel.c_str());
    void* data = pw_filter_add_port(filter_, direction, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                                    portProps, nullptr, 0);
    if (data == nullptr) throw PwError("pw_filter_add_port " + port.name, -errno);
    return data;
  };
  try {
    for (const auto& port : spec_.inputs)
      inputPorts_.push_back(addPort(PW_DIRECTION_INPUT, port));
    for (const auto& port : spec_.outputs)
      outputPorts_.push_back(addPort(PW_DIRECTION_OUTPUT, port));
    const int res = pw_filter_connect(filter_, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0);
    if (res < 0) throw PwError("pw_filter_connect", res);
  } catch (...) {
    spa_hook_remove(listener_);
    pw_filter_destroy(filter_);
    delete listener_;
    throw;
  }
}

PwDspFilter::~PwDspFilter() {
  closing_.store(true);
  while (inProcess_.load())
    std::this_thread::yield();
  {
    PwLock lock(loop_);
    spa_hook_remove(listener_);
    // Destroying the filter disconnects it, which removes the node from the
    // data loop synchronously: no process call can follow.
    pw_filter_destroy(filter_);
  }
  delete listener_;
}

bool PwDspFilter::waitForNode(double timeoutSeconds) const {
  PwLock lock(loop_);
  return loop_.waitUntil(
             [&] { return nodeId() != 0 || state() == PwFilterState::error || !loop_.connected(); },
             timeoutSeconds) &&
         nodeId() != 0 && state() != PwFilterState::error;
}

}  // namespace choralink::pipewire
