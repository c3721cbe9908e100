// The updater the app model owns: the operations the application's frame
// calls through the model. The updater itself (feed checks, the download
// veto, installation) lives in its own component; the model only keeps it
// alive for the life of the process.
#pragma once

namespace choralink {

class UpdaterControl {
 public:
  virtual ~UpdaterControl() = default;
  // Called once when launching has finished.
  virtual void start() = 0;
  // A check the user asked for.
  virtual void checkForUpdates() = 0;
};

// A build without an updater.
class NoUpdater final : public UpdaterControl {
 public:
  void start() override {}
  void checkForUpdates() override {}
};

}  // namespace choralink
