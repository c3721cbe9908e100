#include "engine/hal/hal_error.h"

#include <utility>

#include "engine/hal/four_cc.h"

namespace choralink {

HALError::HALError(std::int32_t status, std::string operation)
    : std::runtime_error(operation + " failed: " + fourCC(status)),
      status_(status),
      operation_(std::move(operation)) {}

}  // namespace choralink
