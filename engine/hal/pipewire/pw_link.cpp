#include "engine/hal/pipewire/pw_link.h"

#include <pipewire/link.h>
#include <pipewire/pipewire.h>

#include <string>

namespace choralink::pipewire {

struct PwLink::Callbacks {
  static void info(void* data, const pw_link_info* info) {
    auto* self = static_cast<PwLink*>(data);
    if (!(info->change_mask & PW_LINK_CHANGE_MASK_STATE)) return;
    PwLinkState state = PwLinkState::error;
    switch (info->state) {
      case PW_LINK_STATE_ERROR:
        state = PwLinkState::error;
        break;
      case PW_LINK_STATE_UNLINKED:
        state = PwLinkState::unlinked;
        break;
      case PW_LINK_STATE_INIT:
        state = PwLinkState::init;
        break;
      case PW_LINK_STATE_NEGOTIATING:
        state = PwLinkState::negotiating;
        break;
      case PW_LINK_STATE_ALLOCATING:
        state = PwLinkState::allocating;
        break;
      case PW_LINK_STATE_PAUSED:
        state = PwLinkState::paused;
        break;
      case PW_LINK_STATE_ACTIVE:
        state = PwLinkState::active;
        break;
    }
    if (info->error != nullptr) self->error_ = info->error;
    self->state_.store(state, std::memory_order_release);
    self->changed();
  }

  static void bound(void* data, uint32_t globalId) {
    auto* self = static_cast<PwLink*>(data);
    self->globalId_.store(globalId, std::memory_order_release);
    self->loop_.signal();
  }

  static void removed(void* data) {
    auto* self = static_cast<PwLink*>(data);
    self->state_.store(PwLinkState::gone, std::memory_order_release);
    self->changed();
  }

  static void error(void* data, int /*seq*/, int res, const char* message) {
    auto* self = static_cast<PwLink*>(data);
    self->error_ = message != nullptr ? message : "link error " + std::to_string(res);
    self->state_.store(PwLinkState::error, std::memory_order_release);
    self->changed();
  }
};

PwLink::PwLink(PwThreadLoop& loop, uint32_t outputNode, uint32_t outputPort, uint32_t inputNode,
               uint32_t inputPort)
    : loop_(loop),
      outputNode_(outputNode),
      outputPort_(outputPort),
      inputNode_(inputNode),
      inputPort_(inputPort) {
  static const pw_link_events kLinkEvents = [] {
    pw_link_events events{};
    events.version = PW_VERSION_LINK_EVENTS;
    events.info = &Callbacks::info;
    return events;
  }();
  static const pw_proxy_events kProxyEvents = [] {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    events.bound = &Callbacks::bound;
    events.removed = &Callbacks::removed;
    events.error = &Callbacks::error;
    return events;
  }();

  PwLock lock(loop_);
  pw_properties* props = pw_properties_new(nullptr, nullptr);
  pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", outputNode);
  pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", outputPort);
  pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", inputNode);
  pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", inputPort);
  pw_properties_set(props, PW_KEY_OBJECT_LINGER, "false");
  proxy_ = static_cast<pw_proxy*>(pw_core_create_object(
      loop_.core(), "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
  pw_properties_free(props);
  if (proxy_ == nullptr) throw PwError("create link", -errno);
  linkListener_ = new spa_hook{};
  proxyListener_ = new spa_hook{};
  pw_proxy_add_object_listener(proxy_, linkListener_, &kLinkEvents, this);
  pw_proxy_add_listener(proxy_, proxyListener_, &kProxyEvents, this);
}

void PwLink::changed() {
  loop_.signal();
  if (stateHandler_) stateHandler_();
}

PwLink::~PwLink() {
  {
    PwLock lock(loop_);
    spa_hook_remove(linkListener_);
    spa_hook_remove(proxyListener_);
    // Destroying our proxy destroys the daemon's link: it was created by us
    // and does not linger.
    pw_proxy_destroy(proxy_);
  }
  delete linkListener_;
  delete proxyListener_;
}

PwLinks linkPairs(PwThreadLoop& loop, const std::vector<PortPair>& pairs) {
  PwLinks links;
  for (const auto& pair : pairs) {
    links.push_back(std::make_unique<PwLink>(loop, pair.output.nodeId, pair.output.id,
                                             pair.input.nodeId, pair.input.id));
  }
  return links;
}

bool allActive(const PwLinks& links) {
  for (const auto& link : links) {
    if (!link->active()) return false;
  }
  return true;
}

bool anyFailed(const PwLinks& links) {
  for (const auto& link : links) {
    if (link->failed()) return true;
  }
  return false;
}

bool waitActive(PwThreadLoop& loop, const PwLinks& links, double timeoutSeconds) {
  PwLock lock(loop);
  loop.waitUntil([&] { return allActive(links) || anyFailed(links) || !loop.connected(); },
                 timeoutSeconds);
  return allActive(links);
}

}  // namespace choralink::pipewire
