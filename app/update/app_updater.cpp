#include "app/update/app_updater.h"

#include <chrono>
#include <fstream>
#include <set>
#include <system_error>
#include <utility>

#include "app/model/platform_texts.h"
#include "app/update/build_key.h"
#include "app/update/update_signature.h"
#include "engine/dispatch/serial_queue.h"
#include "support/app_info.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/update_policy.h"

namespace choralink {
namespace {

namespace fs = std::filesystem;

constexpr const char* kWorkerLabel = "app.choralink.update";
constexpr std::string_view kUnavailableMessage = "Updates aren't available in this build";
constexpr std::string_view kPackageManagerText =
    "This copy of Choralink was installed by your system's package manager, which also brings "
    "its updates.";

// A copy of everything the worker needs, so that its tasks never touch the
// updater, which may be gone by the time they run.
struct DownloadJob {
  AppcastItem item;
  std::shared_ptr<HTTPClient> http;
  fs::path downloads;
  std::string publicKey;
  InstallLayout layout;
  std::shared_ptr<const std::atomic<bool>> abort;
};

struct DownloadResult {
  std::string error;  // empty: staged
  bool badSignature = false;
};

DownloadResult downloadAndStage(const DownloadJob& job) {
  const AppcastEnclosure& file = job.item.file;
  if (file.edSignature.empty()) return {"The update isn't signed", true};
  if (file.length == 0) return {"The update's size isn't given", false};
  HTTPResponse response;
  try {
    response = job.http->get(*file.url, AppUpdater::kDownloadTimeout, file.length, job.abort.get());
  } catch (const HTTPError& failure) {
    return {std::string("The download failed: ") + failure.what(), false};
  }
  if (response.status != 200) {
    return {"The download answered HTTP " + std::to_string(response.status), false};
  }
  if (response.body.size() != file.length) return {"The download is shorter than announced", false};

  const fs::path archive = job.downloads / ("Choralink-" + job.item.version + ".tar.gz");
  try {
    Paths::writeAtomically(archive, response.body);
  } catch (const fs::filesystem_error& failure) {
    return {std::string("The download could not be saved: ") + failure.what(), false};
  }
  const auto removeArchive = [&] {
    std::error_code ignored;
    fs::remove(archive, ignored);
  };
  if (!UpdateSignature::verify(response.body, file.edSignature, job.publicKey)) {
    removeArchive();
    return {"The update's signature isn't valid", true};
  }
  try {
    job.layout.stage(archive, job.item.version);
  } catch (const InstallError& failure) {
    removeArchive();
    return {failure.what(), false};
  }
  removeArchive();  // unpacked; the archive has served its purpose
  return {};
}

UpdateOffer offerOf(const AppcastItem& item) {
  return {item.version, item.displayVersion, item.releaseNotesURL};
}

fs::path runningExecutable() {
  std::error_code error;
  fs::path exe = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : exe;
}

}  // namespace

AppUpdater::AppUpdater(Setup setup) : setup_(std::move(setup)) {
  if (!setup_.http) {
    setup_.http = std::make_shared<CurlHTTPClient>(
        std::set<std::string>{std::string(AppInfo::serviceHost())});
  }
  if (!setup_.publicKey) setup_.publicKey = std::string(buildUpdatePublicKey());
  if (setup_.executable.empty()) setup_.executable = runningExecutable();
  if (setup_.runningVersion.empty()) setup_.runningVersion = AppInfo::version();
  if (setup_.feedURL.empty()) setup_.feedURL = UpdatePolicy::feedURL();
}

AppUpdater::~AppUpdater() {
  scheduled_.cancel();
  alive_.reset();
  // Quitting must not wait for a download: the request in flight ends at
  // once, the own worker drops what has not started. The tasks hold copies
  // of what they use, never this object.
  abort_->store(true);
  ownWorker_.reset();
}

std::string AppUpdater::refusalText() {
  return "This update isn't hosted on " + std::string(AppInfo::serviceHost()) +
         ", so Choralink won't install it.";
}

void AppUpdater::start() {
  if (started_) return;
  started_ = true;
  if (UpdateSignature::isPublicKey(*setup_.publicKey))
    layout_ = InstallLayout::of(setup_.executable);
  if (!layout_) {
    log().info(PlatformTexts::shown(PlatformTexts::kUpdatesDisabledLine));
    return;
  }
  if (setup_.worker == nullptr) {  // a thread only in a build that updates itself
    ownWorker_ = std::make_unique<SerialQueue>(kWorkerLabel);
    setup_.worker = ownWorker_.get();
  }
  setup_.downloads =
      setup_.downloads.empty() ? Paths::updateDownloads() : Paths::ensure(setup_.downloads);
  if (setup_.stateFile.empty()) setup_.stateFile = Paths::updaterStateFile();
  state_ = UpdaterState::load(setup_.stateFile);
  // This version has started: what an earlier update left behind can go.
  setup_.worker->post([layout = *layout_] { layout.removeLeftovers(); });
  schedule();
  notifyChanged();
}

void AppUpdater::checkForUpdates() {
  runCheck(true);
}

void AppUpdater::setAutomaticallyChecks(bool value) {
  if (!layout_ || state_.automaticallyChecks == value) return;
  state_.automaticallyChecks = value;
  saveState();
  schedule();
  notifyChanged();
}

void AppUpdater::applicationWillTerminate() {
  if (!staged_ || !layout_) return;
  try {
    layout_->switchTo(staged_->version);
    log().info("Updates: installed " + staged_->displayVersion + "; it starts next time");
  } catch (const InstallError& failure) {
    log().warn(std::string("Updates: install failed: ") + failure.what());
  }
  staged_.reset();
}

void AppUpdater::runCheck(bool userInitiated) {
  if (!layout_) {
    if (userInitiated) {
      const bool systemPackage = setup_.executable.string().starts_with("/usr/");
      const std::string informative =
          systemPackage ? std::string(kPackageManagerText)
                        : std::string(PlatformTexts::shown(PlatformTexts::kUpdatesDownloadHint)) +
                              std::string(AppInfo::serviceHost()) + ".";
      setup_.prompter.showUnavailable(kUnavailableMessage, informative);
    }
    return;
  }
  if (busy_) return;
  busy_ = true;
  notifyChanged();
  setup_.worker->post(
      [back = back(), http = setup_.http, url = setup_.feedURL, abort = abort_, userInitiated] {
        std::vector<AppcastItem> items;
        std::string error;
        try {
          const HTTPResponse response = http->get(url, kFeedTimeout, kMaxFeedBytes, abort.get());
          if (response.status != 200) {
            error = "The update feed answered HTTP " + std::to_string(response.status);
          } else {
            items = parseAppcast(response.body);
          }
        } catch (const std::exception& failure) {
          error = failure.what();
        }
        back.post([items = std::move(items), error, userInitiated](AppUpdater& self) {
          self.onFeed(items, error, userInitiated);
        });
      });
}

void AppUpdater::onFeed(const std::vector<AppcastItem>& items, const std::string& error,
                        bool userInitiated) {
  if (!error.empty()) return endCheck(error, userInitiated);
  std::optional<AppcastItem> offer = newestOffer(items, setup_.runningVersion);
  if (offer && !userInitiated && offer->version == state_.skippedVersion) offer.reset();
  if (!offer) {
    // Nothing newer is the normal outcome of a check, not worth a log line.
    if (userInitiated) setup_.prompter.showUpToDate(setup_.runningVersion);
    return finishCheck();
  }
  if (!approve(*offer)) return endCheck(refusalText(), userInitiated);
  log().info("Updates: found " + offer->displayVersion);
  if (staged_ && staged_->version == offer->version) {
    finishCheck();
    return prompt(*offer, userInitiated);
  }
  DownloadJob job{*offer, setup_.http, setup_.downloads, *setup_.publicKey, *layout_, abort_};
  setup_.worker->post([back = back(), job = std::move(job), userInitiated] {
    const DownloadResult result = downloadAndStage(job);
    back.post([item = job.item, result, userInitiated](AppUpdater& self) {
      if (result.badSignature) {
        self.log().warn("Updates: signature check failed for " + item.displayVersion +
                        "; nothing was installed");
      }
      self.onStaged(item, result.error, userInitiated);
    });
  });
}

void AppUpdater::onStaged(const AppcastItem& item, const std::string& error, bool userInitiated) {
  if (!error.empty()) return endCheck(error, userInitiated);
  staged_ = item;
  log().info("Updates: " + item.displayVersion + " is ready to install");
  finishCheck();
  prompt(item, userInitiated);
}

bool AppUpdater::approve(const AppcastItem& item) {
  bool allowed = UpdatePolicy::isAllowedDownload(item.file.url);
  for (const AppcastEnclosure& delta : item.deltas) {
    if (delta.url && !UpdatePolicy::isAllowedDownload(delta.url)) allowed = false;
  }
  if (!allowed) {
    log().warn("Updates: rejected update " + item.displayVersion + " from " +
               item.file.url.value_or("no URL"));
  }
  return allowed;
}

void AppUpdater::endCheck(const std::string& why, bool userInitiated) {
  log().info("Updates: check ended: " + why);
  if (userInitiated) setup_.prompter.showCheckFailed(why);
  finishCheck();
}

void AppUpdater::finishCheck() {
  busy_ = false;
  state_.lastCheck = wallNow();
  saveState();
  schedule();
  notifyChanged();
}

void AppUpdater::prompt(const AppcastItem& item, bool userInitiated) {
  auto reply = [weak = std::weak_ptr<Alive>(alive_), this, item](UpdateChoice choice) {
    if (!weak.expired()) answer(item, choice);
  };
  if (userInitiated) {
    setup_.prompter.showUpdateFound(offerOf(item), reply);
  } else {
    setup_.prompter.notifyUpdateFound(offerOf(item), reply);
  }
}

void AppUpdater::answer(const AppcastItem& item, UpdateChoice choice) {
  if (!staged_ || staged_->version != item.version) return;  // answered already
  switch (choice) {
    case UpdateChoice::later:
      return;  // switched in by applicationWillTerminate
    case UpdateChoice::skipThisVersion:
      state_.skippedVersion = item.version;
      saveState();
      staged_.reset();
      setup_.worker->post([layout = *layout_, version = item.version] { layout.discard(version); });
      return;
    case UpdateChoice::installAndRelaunch:
      applicationWillTerminate();
      if (setup_.relaunch && layout_->currentVersion() == item.version) {
        setup_.relaunch(layout_->launcher());
      }
      return;
  }
}

void AppUpdater::schedule() {
  scheduled_.cancel();
  if (!automaticallyChecks()) return;
  const double delay =
      state_.lastCheck ? *state_.lastCheck + kCheckInterval - wallNow() : kFirstCheckDelay;
  scheduled_ = setup_.executor.postAfter(delay, [this, weak = std::weak_ptr<Alive>(alive_)] {
    if (!weak.expired()) runCheck(false);
  });
}

void AppUpdater::saveState() {
  try {
    state_.save(setup_.stateFile);
  } catch (const fs::filesystem_error& failure) {
    log().warn(std::string("Updates: could not save the updater's state: ") + failure.what());
  }
}

double AppUpdater::wallNow() const {
  if (setup_.wallClock) return setup_.wallClock();
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Log& AppUpdater::log() const {
  return setup_.log != nullptr ? *setup_.log : Log::shared();
}

AppUpdater::Back AppUpdater::back() {
  return Back{&setup_.executor, this, alive_};
}

void AppUpdater::Back::post(std::function<void(AppUpdater&)> then) const {
  executor->post([self = self, weak = weak, then = std::move(then)] {
    if (!weak.expired()) then(*self);
  });
}

}  // namespace choralink
