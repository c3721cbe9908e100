// Starting the application when the user logs in: the platform's login-item
// service behind a small interface, so the model's rules (the system's state
// wins over the stored flag) are testable without touching the user's
// session. XdgAutostartEntry is the Linux implementation.
#pragma once

#include <stdexcept>
#include <string>

namespace choralink {

// A registration change the system did not accept; what() says why.
class LoginItemError : public std::runtime_error {
 public:
  explicit LoginItemError(const std::string& message) : std::runtime_error(message) {}
};

class LoginItemService {
 public:
  virtual ~LoginItemService() = default;

  // Makes the application start at login. Throws LoginItemError.
  virtual void registerItem() = 0;
  // Stops it starting at login; harmless when it was not registered. Throws
  // LoginItemError.
  virtual void unregisterItem() = 0;
  // Whether the system will start the application at login, read from the
  // system each time. An unreadable state counts as not registered.
  virtual bool isEnabled() const noexcept = 0;
};

}  // namespace choralink
