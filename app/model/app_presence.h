// How the application shows itself on the desktop: whether it keeps a
// taskbar entry, and its colour scheme. The Qt user interface implements
// these; the model only says what it wants, on the main thread.
#pragma once

#include "support/settings.h"

namespace choralink {

class AppPresence {
 public:
  virtual ~AppPresence() = default;
  // true: a normal taskbar entry; false: the tray icon only.
  virtual void setShowInTaskbar(bool show) = 0;
  // system: follow the desktop's scheme; light or dark: force that palette.
  virtual void setAppearance(AppearanceMode mode) = 0;
};

// For a model without a user interface (tests, tools): changes nothing.
class NoAppPresence final : public AppPresence {
 public:
  void setShowInTaskbar(bool) override {}
  void setAppearance(AppearanceMode) override {}
};

}  // namespace choralink
