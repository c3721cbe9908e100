// One owned registration of a change handler for one property of one audio
// object. The handler runs on the given queue with no arguments after each
// change. A refused registration leaves the listener inactive, silently;
// remove() and destruction then do nothing. Once remove() returns (or the
// listener is destroyed) the handler is not called again.
//
// Lives on the owner's queue: construct, remove and destroy it there. Movable
// so owners can keep listeners in vectors; a moved-from listener is inactive.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/dispatch/executor.h"
#include "engine/hal/audio_records.h"
#include "engine/hal/audio_system.h"

namespace choralink {

class PropertyListener {
 public:
  PropertyListener(AudioSystem& system, AudioObjectID object, std::uint32_t selector,
                   std::uint32_t scope, Executor& queue, std::function<void()> handler);
  ~PropertyListener();

  PropertyListener(PropertyListener&& other) noexcept;
  PropertyListener& operator=(PropertyListener&& other) noexcept;
  PropertyListener(const PropertyListener&) = delete;
  PropertyListener& operator=(const PropertyListener&) = delete;

  // Unregisters exactly the registration made at construction when active,
  // ignoring the platform's status, then becomes inactive.
  void remove();

  AudioObjectID object() const { return object_; }
  const PropertyAddress& addr() const { return addr_; }
  Executor* queue() const { return queue_; }
  const PropertyListenerBlock& block() const { return block_; }
  bool active() const { return active_; }

 private:
  AudioSystem* system_ = nullptr;
  AudioObjectID object_ = kUnknownObject;
  PropertyAddress addr_;
  Executor* queue_ = nullptr;
  PropertyListenerBlock block_;
  bool active_ = false;
};

}  // namespace choralink
