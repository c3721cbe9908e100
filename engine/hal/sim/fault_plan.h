// Injected failures of the simulated audio system: any seam operation, or
// any read or write of one property (of one object or of every object), can
// be made to return a chosen status a number of times or for ever. Rules are
// checked in the order they were added; the first that matches answers and
// uses up one of its times. Not synchronised (the simulator's lock guards it).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/hal/audio_records.h"
#include "engine/hal/hal_codes.h"

namespace choralink::sim {

// The seam's operations, one per AudioSystem method.
enum class Operation {
  getPropertyDataSize,
  getPropertyData,
  setPropertyData,
  addPropertyListener,
  removePropertyListener,
  createProcessTap,
  destroyProcessTap,
  createAggregateDevice,
  destroyAggregateDevice,
  createIOProcID,
  destroyIOProcID,
  startDevice,
  stopDevice,
};

// Which property accesses a property fault hits: size queries, data reads,
// writes, or all three.
enum class Access { size, read, write, any };

inline constexpr int kAlways = -1;

struct PropertyFault {
  std::optional<AudioObjectID> object{};  // none: every object
  std::uint32_t selector = 0;
  std::optional<std::uint32_t> scope{};  // none: every scope
  Access access = Access::any;
  HALStatus status = kStatusUnspecified;
  int times = kAlways;
};

class FaultPlan {
 public:
  void failOperation(Operation operation, HALStatus status, int times = kAlways);
  void failProperty(const PropertyFault& fault);
  void clear();

  // The status to fail this call with, if a rule matches (using it up).
  std::optional<HALStatus> takeOperation(Operation operation);
  std::optional<HALStatus> takeProperty(AudioObjectID object, const PropertyAddress& address,
                                        Access access);

 private:
  struct OperationFault {
    Operation operation;
    HALStatus status;
    int times;
  };
  std::vector<OperationFault> operations_;
  std::vector<PropertyFault> properties_;
};

}  // namespace choralink::sim
