#include "engine/hal/sim/fault_plan.h"

#include <algorithm>

namespace choralink::sim {

namespace {

// Uses up one time of a rule; answers whether the rule still applies after.
bool consume(int& times) {
  if (times == kAlways) return true;
  --times;
  return times > 0;
}

}  // namespace

void FaultPlan::failOperation(Operation operation, HALStatus status, int times) {
  if (times == 0) return;
  operations_.push_back(OperationFault{operation, status, times});
}

void FaultPlan::failProperty(const PropertyFault& fault) {
  if (fault.times == 0) return;
  properties_.push_back(fault);
}

void FaultPlan::clear() {
  operations_.clear();
  properties_.clear();
}

std::optional<HALStatus> FaultPlan::takeOperation(Operation operation) {
  for (auto it = operations_.begin(); it != operations_.end(); ++it) {
    if (it->operation != operation) continue;
    const HALStatus status = it->status;
    if (!consume(it->times)) operations_.erase(it);
    return status;
  }
  return std::nullopt;
}

std::optional<HALStatus> FaultPlan::takeProperty(AudioObjectID object,
                                                 const PropertyAddress& address, Access access) {
  for (auto it = properties_.begin(); it != properties_.end(); ++it) {
    if (it->object && *it->object != object) continue;
    if (it->selector != address.selector) continue;
    if (it->scope && *it->scope != address.scope) continue;
    if (it->access != Access::any && it->access != access) continue;
    const HALStatus status = it->status;
    if (!consume(it->times)) properties_.erase(it);
    return status;
  }
  return std::nullopt;
}

}  // namespace choralink::sim
