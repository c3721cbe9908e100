#include "engine/hal/property_listener.h"

#include <memory>
#include <utility>

namespace choralink {

PropertyListener::PropertyListener(AudioSystem& system, AudioObjectID object,
                                   std::uint32_t selector, std::uint32_t scope, Executor& queue,
                                   std::function<void()> handler)
    : system_(&system), object_(object), addr_{selector, scope, kElementMain}, queue_(&queue) {
  // The platform passes the object and the changed addresses; the owner's
  // handler wants neither.
  block_ = std::make_shared<
      const std::function<void(AudioObjectID, const std::vector<PropertyAddress>&)>>(
      [handler = std::move(handler)](AudioObjectID, const std::vector<PropertyAddress>&) {
        if (handler) handler();
      });
  active_ = system_->addPropertyListener(object_, addr_, *queue_, block_) == kStatusOK;
}

PropertyListener::~PropertyListener() {
  remove();
}

PropertyListener::PropertyListener(PropertyListener&& other) noexcept
    : system_(other.system_),
      object_(other.object_),
      addr_(other.addr_),
      queue_(other.queue_),
      block_(std::move(other.block_)),
      active_(std::exchange(other.active_, false)) {}

PropertyListener& PropertyListener::operator=(PropertyListener&& other) noexcept {
  if (this != &other) {
    remove();
    system_ = other.system_;
    object_ = other.object_;
    addr_ = other.addr_;
    queue_ = other.queue_;
    block_ = std::move(other.block_);
    active_ = std::exchange(other.active_, false);
  }
  return *this;
}

void PropertyListener::remove() {
  if (!active_) return;
  active_ = false;
  (void)system_->removePropertyListener(object_, addr_, *queue_, block_);
}

}  // namespace choralink
