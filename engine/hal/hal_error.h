// The engine's one error type for platform and session failures: the
// platform's status (or -1 for failures the engine detects itself) and a text
// naming the operation, e.g. "get 'nsrt' (1853059700)". The readable message
// (what()) is that text, " failed: ", then fourCC(status).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace choralink {

class HALError : public std::runtime_error {
 public:
  HALError(std::int32_t status, std::string operation);

  // The platform's result code, or -1.
  std::int32_t status() const noexcept { return status_; }
  // The operation text (the error's "what" field); what() is the description.
  const std::string& operation() const noexcept { return operation_; }
  // Same as what(), as a string.
  std::string description() const { return what(); }

  friend bool operator==(const HALError& a, const HALError& b) {
    return a.status_ == b.status_ && a.operation_ == b.operation_;
  }

 private:
  std::int32_t status_;
  std::string operation_;
};

}  // namespace choralink
