// The application's updater on Linux: checks the signed appcast feed on a
// schedule or when asked, vetoes every download URL through UpdatePolicy,
// downloads and verifies the archive, unpacks it beside the running version
// and switches it in when the application quits (or at once, relaunching).
//
// Lives on the model's executor: every public call and every state change
// happens there. The feed request, the download, the signature check and the
// unpacking run on a worker executor; their results are posted back. Only a
// build with a public key running from our own package install has a
// controller; any other build logs why and explains it when asked to check.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/model/updater_control.h"
#include "app/update/appcast.h"
#include "app/update/install_layout.h"
#include "app/update/update_prompter.h"
#include "app/update/updater_state.h"
#include "engine/dispatch/executor.h"
#include "support/feedback/http_client.h"

namespace choralink {

class Log;

class AppUpdater final : public UpdaterControl {
 public:
  // Scheduled checks run about this often while automaticallyChecks is on.
  static constexpr double kCheckInterval = 7 * 24 * 3600.0;
  // The first scheduled check of an install that never checked waits this
  // long after start, so it stays out of the way of launching.
  static constexpr double kFirstCheckDelay = 60.0;
  static constexpr double kFeedTimeout = 30.0;
  static constexpr double kDownloadTimeout = 600.0;
  static constexpr std::size_t kMaxFeedBytes = 1048576;

  struct Setup {
    // The model's executor.
    Executor& executor;
    UpdatePrompter& prompter;
    // Where the network and file work runs; null: a queue of the updater's own,
    // "app.choralink.update", made by start() in a build that updates itself.
    Executor* worker = nullptr;
    // Null: HTTPS to the product's web service only.
    std::shared_ptr<HTTPClient> http{};
    // The Ed25519 public key (base64) updates must carry a signature of;
    // nullopt: the build's own (buildUpdatePublicKey(), empty when unsigned).
    std::optional<std::string> publicKey{};
    // The running program; empty: /proc/self/exe.
    std::filesystem::path executable{};
    // Empty: AppInfo::version().
    std::string runningVersion{};
    // Empty: UpdatePolicy::feedURL().
    std::string feedURL{};
    // Empty: Paths::updateDownloads() and Paths::updaterStateFile().
    std::filesystem::path downloads{};
    std::filesystem::path stateFile{};
    // Seconds since the Unix epoch; null: the system clock.
    std::function<double()> wallClock{};
    // Starts the program at the given path once the application has quit; null:
    // "Install and Relaunch" only switches.
    std::function<void(const std::filesystem::path&)> relaunch{};
    // Null: Log::shared().
    Log* log = nullptr;
  };

  explicit AppUpdater(Setup setup);
  ~AppUpdater() override;

  void start() override;
  void checkForUpdates() override;
  bool hasController() const override { return layout_.has_value(); }
  bool canCheck() const override { return layout_.has_value() && !busy_; }
  bool automaticallyChecks() const override { return layout_ && state_.automaticallyChecks; }
  void setAutomaticallyChecks(bool value) override;

  // The application is quitting: a verified update waiting for it is
  // switched in now, to start next time.
  void applicationWillTerminate() override;

  // The refusal text for an update from elsewhere.
  static std::string refusalText();

 private:
  struct Alive {};
  struct Outcome;

  void runCheck(bool userInitiated);
  void onFeed(const std::vector<AppcastItem>& items, const std::string& error, bool userInitiated);
  void onStaged(const AppcastItem& item, const std::string& error, bool userInitiated);
  void finishCheck();
  void endCheck(const std::string& why, bool userInitiated);
  bool approve(const AppcastItem& item);
  void prompt(const AppcastItem& item, bool userInitiated);
  void answer(const AppcastItem& item, UpdateChoice choice);
  void schedule();
  void saveState();
  double wallNow() const;
  Log& log() const;
  // The way back from the worker: runs `then` on the executor if the updater
  // still exists by then. Copyable into worker tasks, which must not touch
  // the updater themselves.
  struct Back {
    Executor* executor;
    AppUpdater* self;
    std::weak_ptr<Alive> weak;
    void post(std::function<void(AppUpdater&)> then) const;
  };
  Back back();

  Setup setup_;
  std::unique_ptr<Executor> ownWorker_;
  std::shared_ptr<Alive> alive_ = std::make_shared<Alive>();
  std::shared_ptr<std::atomic<bool>> abort_ = std::make_shared<std::atomic<bool>>(false);
  bool started_ = false;
  std::optional<InstallLayout> layout_;
  UpdaterState state_;
  bool busy_ = false;
  std::optional<AppcastItem> staged_;
  TaskHandle scheduled_;
};

}  // namespace choralink
