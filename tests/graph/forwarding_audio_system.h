// The seam passed through to another audio system, call for call. Tests
// derive from it to watch or bend one operation and leave the rest alone.
#pragma once

#include <utility>

#include "engine/hal/audio_system.h"

namespace choralink::test {

class ForwardingAudioSystem : public AudioSystem {
 public:
  explicit ForwardingAudioSystem(AudioSystem& inner) : inner_(inner) {}

  HALStatus getPropertyDataSize(AudioObjectID o, const PropertyAddress& a, std::uint32_t qs,
                                const void* q, std::uint32_t& size) override {
    return inner_.getPropertyDataSize(o, a, qs, q, size);
  }
  HALStatus getPropertyData(AudioObjectID o, const PropertyAddress& a, std::uint32_t qs,
                            const void* q, std::uint32_t& size, void* data) override {
    return inner_.getPropertyData(o, a, qs, q, size, data);
  }
  HALStatus setPropertyData(AudioObjectID o, const PropertyAddress& a, std::uint32_t size,
                            const void* data) override {
    return inner_.setPropertyData(o, a, size, data);
  }
  HALStatus addPropertyListener(AudioObjectID o, const PropertyAddress& a, Executor& q,
                                PropertyListenerBlock b) override {
    return inner_.addPropertyListener(o, a, q, std::move(b));
  }
  HALStatus removePropertyListener(AudioObjectID o, const PropertyAddress& a, Executor& q,
                                   const PropertyListenerBlock& b) override {
    return inner_.removePropertyListener(o, a, q, b);
  }
  HALStatus createProcessTap(const TapDescription& d, AudioObjectID& out) override {
    return inner_.createProcessTap(d, out);
  }
  HALStatus destroyProcessTap(AudioObjectID tap) override { return inner_.destroyProcessTap(tap); }
  HALStatus createAggregateDevice(const AggregateDescription& d, AudioObjectID& out) override {
    return inner_.createAggregateDevice(d, out);
  }
  HALStatus destroyAggregateDevice(AudioObjectID device) override {
    return inner_.destroyAggregateDevice(device);
  }
  HALStatus createIOProcID(AudioObjectID device, IOProc proc, void* data, IOProcID& out) override {
    return inner_.createIOProcID(device, proc, data, out);
  }
  HALStatus destroyIOProcID(AudioObjectID device, IOProcID id) override {
    return inner_.destroyIOProcID(device, id);
  }
  HALStatus startDevice(AudioObjectID device, IOProcID id) override {
    return inner_.startDevice(device, id);
  }
  HALStatus stopDevice(AudioObjectID device, IOProcID id) override {
    return inner_.stopDevice(device, id);
  }

 private:
  AudioSystem& inner_;
};

}  // namespace choralink::test
