// What the updater asks the user and tells them, as a toolkit-free interface:
// the views' update windows and the tray implement it, tests record it. Every
// call is made on the model's thread; an Answer must be called there too, at
// most once (never calling it is the same as "Later").
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace choralink {

// A verified update, unpacked beside the running version and ready to switch in.
struct UpdateOffer {
  std::string version;
  std::string displayVersion;
  std::string releaseNotesURL;  // may be empty
};

enum class UpdateChoice {
  installAndRelaunch,  // switch now and start the new version
  later,               // switch when the application quits
  skipThisVersion,     // throw it away; scheduled checks stay quiet about it
};

class UpdatePrompter {
 public:
  using Answer = std::function<void(UpdateChoice)>;
  virtual ~UpdatePrompter() = default;

  // After a check the user asked for: the "update found" window.
  virtual void showUpdateFound(const UpdateOffer& offer, Answer answer) = 0;
  // After a scheduled check: a tray notification that leads to the same choice.
  virtual void notifyUpdateFound(const UpdateOffer& offer, Answer answer) = 0;
  // A check the user asked for found nothing newer.
  virtual void showUpToDate(std::string_view runningVersion) = 0;
  // A check the user asked for ended without an update (feed unreachable,
  // update refused, bad signature); `message` says why.
  virtual void showCheckFailed(std::string_view message) = 0;
  // "Check for Updates…" in a build without an updater.
  virtual void showUnavailable(std::string_view message, std::string_view informative) = 0;
};

}  // namespace choralink
