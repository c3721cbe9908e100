#include "engine/hal/pipewire/pw_virtual_sink.h"

#include <pipewire/pipewire.h>

namespace choralink::pipewire {

struct PwVirtualSink::Callbacks {
  static void bound(void* data, uint32_t globalId) {
    auto* self = static_cast<PwVirtualSink*>(data);
    self->nodeId_.store(globalId, std::memory_order_release);
    self->loop_.signal();
  }
  static void removed(void* data) {
    auto* self = static_cast<PwVirtualSink*>(data);
    self->failed_.store(true, std::memory_order_release);
    self->loop_.signal();
  }
  static void error(void* data, int /*seq*/, int /*res*/, const char* /*message*/) {
    removed(data);
  }
};

PwVirtualSink::PwVirtualSink(PwThreadLoop& loop, Spec spec) : loop_(loop), spec_(std::move(spec)) {
  static const pw_proxy_events kEvents = [] {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    events.bound = &Callbacks::bound;
    events.removed = &Callbacks::removed;
    events.error = &Callbacks::error;
    return events;
  }();

  std::string positions;
  for (const auto& p : spec_.positions)
    positions += (positions.empty() ? "" : ",") + p;

  PwLock lock(loop_);
  pw_properties* props = pw_properties_new(
      "factory.name", "support.null-audio-sink", PW_KEY_NODE_NAME, spec_.name.c_str(),
      PW_KEY_NODE_DESCRIPTION, spec_.description.c_str(), PW_KEY_MEDIA_CLASS, "Audio/Sink",
      "audio.position", positions.c_str(), PW_KEY_NODE_VIRTUAL, spec_.isVirtual ? "true" : "false",
      PW_KEY_OBJECT_LINGER, "false",
      // Real devices drive the graph whenever one is linked; this sink only
      // drives when nothing else does.
      PW_KEY_PRIORITY_DRIVER, "1", "adapter.auto-port-config",
      "{ mode = dsp monitor = true position = preserve }", nullptr);
  pw_properties_setf(props, PW_KEY_AUDIO_CHANNELS, "%zu", spec_.positions.size());
  if (spec_.markOwned) pw_properties_set(props, kOwnedNodeProperty, "true");
  for (const auto& [key, value] : spec_.extraProps)
    pw_properties_set(props, key.c_str(), value.c_str());
  if (spec_.rate > 0) pw_properties_setf(props, PW_KEY_AUDIO_RATE, "%u", spec_.rate);
  proxy_ = static_cast<pw_proxy*>(pw_core_create_object(
      loop_.core(), "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &props->dict, 0));
  pw_properties_free(props);
  if (proxy_ == nullptr) throw PwError("create virtual sink", -errno);
  listener_ = new spa_hook{};
  pw_proxy_add_listener(proxy_, listener_, &kEvents, this);
}

PwVirtualSink::~PwVirtualSink() {
  {
    PwLock lock(loop_);
    spa_hook_remove(listener_);
    pw_proxy_destroy(proxy_);
  }
  delete listener_;
}

bool PwVirtualSink::waitForNode(double timeoutSeconds) const {
  PwLock lock(loop_);
  loop_.waitUntil([&] { return nodeId() != 0 || failed() || !loop_.connected(); }, timeoutSeconds);
  return nodeId() != 0 && !failed();
}

}  // namespace choralink::pipewire
