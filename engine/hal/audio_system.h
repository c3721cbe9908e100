// The seam between the engine and the platform's audio layer. One method per
// platform operation, platform-shaped: int32 status codes (hal_codes.h),
// property data as bytes in the platform's layouts (audio_records.h), IO
// procedures with the render core's cl_ioproc_fn signature. A backend
// translates these calls; it makes no decisions of its own. Backends: the
// simulated audio system (engine/hal/sim) and, later, PipeWire.
//
// Every engine object receives the AudioSystem it works on; there is no
// process-wide instance. All methods may be called from any thread except
// where noted; a backend serialises its own state.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/dispatch/executor.h"
#include "engine/hal/aggregate_description.h"
#include "engine/hal/audio_records.h"
#include "engine/hal/hal_codes.h"

namespace choralink {

// A property-change handler: called with the object and the addresses that
// changed. Its identity (the shared pointer) is the registration token:
// removal names the same block.
using PropertyListenerBlock =
    std::shared_ptr<const std::function<void(AudioObjectID, const std::vector<PropertyAddress>&)>>;

class AudioSystem {
 public:
  virtual ~AudioSystem() = default;

  // ---- Properties -------------------------------------------------------

  // Size in bytes of the property's current value. `qualifier` (may be null
  // when `qualifierSize` is 0) narrows some properties ("id2p": a pid).
  virtual HALStatus getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                        std::uint32_t qualifierSize, const void* qualifier,
                                        std::uint32_t& outSize) = 0;

  // Reads the value into `outData`, which has room for `ioSize` bytes; on
  // success `ioSize` becomes the number of bytes written (never more than it
  // was). Fixed-size values need exactly their size ('!siz' otherwise).
  virtual HALStatus getPropertyData(AudioObjectID object, const PropertyAddress& address,
                                    std::uint32_t qualifierSize, const void* qualifier,
                                    std::uint32_t& ioSize, void* outData) = 0;

  // Writes a value; 0 when applied.
  virtual HALStatus setPropertyData(AudioObjectID object, const PropertyAddress& address,
                                    std::uint32_t size, const void* data) = 0;

  // ---- Property listeners -----------------------------------------------

  // Registers `block` for changes of `address` on `object`. After each change
  // the backend posts one call of the block to `queue` (which must outlive
  // the registration). Registering the same block twice for the same object,
  // address and queue is refused.
  virtual HALStatus addPropertyListener(AudioObjectID object, const PropertyAddress& address,
                                        Executor& queue, PropertyListenerBlock block) = 0;

  // Removes the registration made with the same object, address, queue and
  // block. Once this returns, the block is not called for that registration
  // again, even for a change whose delivery was already queued.
  virtual HALStatus removePropertyListener(AudioObjectID object, const PropertyAddress& address,
                                           Executor& queue, const PropertyListenerBlock& block) = 0;

  // ---- Process taps ----------------------------------------------------------

  // Creates a process tap; on success `outTap` is its non-zero object id.
  virtual HALStatus createProcessTap(const TapDescription& description,
                                     AudioObjectID& outTap) = 0;
  virtual HALStatus destroyProcessTap(AudioObjectID tap) = 0;

  // ---- Aggregate devices --------------------------------------------------

  // Creates an aggregate device from its description (aggregate_description.h).
  // Sub-devices join asynchronously after this returns.
  virtual HALStatus createAggregateDevice(const AggregateDescription& description,
                                          AudioObjectID& outDevice) = 0;
  virtual HALStatus destroyAggregateDevice(AudioObjectID device) = 0;

  // ---- IO -------------------------------------------------------------------

  // Registers `proc` with `clientData` on `device`; it is called on the
  // device's IO thread once per cycle while started.
  virtual HALStatus createIOProcID(AudioObjectID device, IOProc proc, void* clientData,
                                   IOProcID& outID) = 0;
  // Removes the registration (stopping it first if it runs).
  virtual HALStatus destroyIOProcID(AudioObjectID device, IOProcID id) = 0;

  // Starts the procedure's cycles on the device (kNoIOProc: the device alone).
  virtual HALStatus startDevice(AudioObjectID device, IOProcID id) = 0;
  // Stops them. Once this returns no further cycle of that procedure runs
  // (called from inside the procedure, it takes effect after that cycle).
  virtual HALStatus stopDevice(AudioObjectID device, IOProcID id) = 0;
};

}  // namespace choralink
