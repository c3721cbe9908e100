// The application binary from outside, offscreen on the simulated machine:
// snapshots, the development autostart, SIGTERM, a second launch, logind's
// sleep and wake, and the install our package is made of (also started
// without any display).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QColor>
#include <QImage>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "engine/hal/sim/presets.h"
#include "tests/frame/app_process.h"

namespace choralink::test {
namespace {

// The orderly way out that the session's SIGTERM takes.
void terminate(AppProcess& app, const std::filesystem::path& home) {
  app.signal(SIGTERM);
  EXPECT_EQ(app.waitForExit(10), 0) << app.output();
  const std::string log = appLog(home);
  EXPECT_NE(log.find("Choralink quit"), std::string::npos) << log;
  EXPECT_EQ(log.find("Choralink quit"), log.rfind("Choralink quit")) << "one way out, taken once";
}

// A private dbus-daemon standing in for the system bus, ended by its PID.
class PrivateBus {
 public:
  PrivateBus() {
    const std::string out = (folder_ / "address").string();
    if ((pid_ = ::fork()) == 0) {
      ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
      ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--print-address=1",
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    waitUntil([&] { return readFile(out).find('\n') != std::string::npos; }, 5);
    address_ = readFile(out).substr(0, readFile(out).find('\n'));
  }
  ~PrivateBus() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  const std::string& address() const { return address_; }
  int emitPrepareForSleep(bool sleeping) const {
    return std::system(("dbus-send --bus='" + address_ +
                        "' --type=signal /org/freedesktop/login1 "
                        "org.freedesktop.login1.Manager.PrepareForSleep boolean:" +
                        (sleeping ? "true" : "false"))
                           .c_str());
  }

 private:
  TempFolder folder_;
  pid_t pid_ = -1;
  std::string address_;
};

// What a sparse grid of an image's pixels shows: how many distinct colours
// (a blank or flat image has few) and their mean lightness.
struct Look {
  std::size_t colours = 0;
  double lightness = 0;
};
Look lookOf(const QImage& image) {
  std::set<QRgb> colours;
  double lightness = 0;
  int samples = 0;
  for (int y = 0; y < image.height(); y += 4) {
    for (int x = 0; x < image.width(); x += 4, ++samples) {
      colours.insert(image.pixel(x, y));
      lightness += QColor(image.pixel(x, y)).lightnessF();
    }
  }
  return {colours.size(), samples > 0 ? lightness / samples : 0};
}

// The snapshot written for the window `identifier`, whatever its number.
std::optional<QImage> snapshotOf(const std::filesystem::path& folder,
                                 const std::string& identifier) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.ends_with("-" + identifier + ".png")) {
      QImage image;
      if (image.load(QString::fromStdString(entry.path().string()))) return image;
    }
  }
  return std::nullopt;
}

// How the open list is read is the frame rules' table, the pictures' sizes
// SnapshotsTest's, and a first launch's onboarding sheet is pictured at each
// step of the autopilot's run.
TEST(AppBinary, SnapshotsHoldTheWindowsAskedForInTheStoredAppearance) {
  TempFolder home;
  storeSettings(home.path(), R"({"onboarding_done": true, "appearance": "dark"})");
  AppProcess app(home.path(), {{"CHORALINK_SNAPSHOT_DIR", (home / "shots").string()},
                               {"CHORALINK_SNAPSHOT_DELAY", "0.5"},
                               {"CHORALINK_SNAPSHOT_OPEN", "panel,settings"}});
  ASSERT_TRUE(waitUntil([&] { return snapshotOf(home / "shots", "main").has_value(); }, 15))
      << app.output();
  waitUntil([] { return false; }, 0.5);  // the rest of the files of the same pass
  for (const char* identifier : {"main", "menuBarPanel", "settings"}) {
    const std::optional<QImage> image = snapshotOf(home / "shots", identifier);
    ASSERT_TRUE(image) << identifier;
    EXPECT_GT(lookOf(*image).colours, 8u) << identifier << ": a blank or flat image";
  }
  // Light, the main window's mean lightness is about 0.95; dark, 0.17.
  EXPECT_LT(lookOf(*snapshotOf(home / "shots", "main")).lightness, 0.5)
      << "the stored appearance is applied";
  terminate(app, home.path());
  EXPECT_NE(appLog(home.path()).find("No system bus: sleep and wake are not followed"),
            std::string::npos);
}

TEST(AppBinary, OnboardingAutopilotHearsTheChimePicksTheSpeakersAndBroadcasts) {
  TempFolder home;
  AppProcess app(home.path(), {{"CHORALINK_AUTOPILOT", "onboarding"},
                               {"CHORALINK_SNAPSHOT_DIR", (home / "shots").string()}});
  ASSERT_TRUE(waitForLog(home.path(), "Autopilot: onboarding finished"))
      << appLog(home.path()) << app.output();
  ASSERT_TRUE(waitForLog(home.path(), "Broadcast start (")) << appLog(home.path());
  const std::string log = appLog(home.path());
  EXPECT_LT(log.find("Capture probe: sound detected"),
            log.find("Autopilot: pressing \"Continue\" (heard)"))
      << log;

  std::optional<QImage> previous;
  for (const char* step : {"welcome", "capture", "heard", "speakers"}) {
    const auto image =
        snapshotOf(home / "shots" / ("onboarding-" + std::string(step)), "onboarding");
    ASSERT_TRUE(image) << step;
    EXPECT_GT(lookOf(*image).colours, 8u) << step << ": a blank or flat image";
    if (previous) {
      EXPECT_NE(*image, *previous) << step << " shows the step before";
    }
    previous = image;
  }
  terminate(app, home.path());
  const StoredChoices stored = storedChoices(home.path());
  EXPECT_TRUE(stored.onboardingDone);
  EXPECT_EQ(stored.enabled,
            (std::set<std::string>{sim::presets::kSpeakersUID, sim::presets::kAirPodsUID,
                                   sim::presets::kTVUID}));
}

TEST(AppBinary, AutostartHandOverSleepWakeAndSigtermQuit) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
  TempFolder home;
  AppProcess app(home.path(),
                 {{"CHORALINK_DEV_AUTOSTART", "1"}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
  ASSERT_TRUE(waitForLog(home.path(), "Broadcast start (")) << appLog(home.path()) << app.output();
  AppProcess second(home.path());
  EXPECT_EQ(second.waitForExit(15), 0) << second.output();
  EXPECT_FALSE(app.waitForExit(0.2)) << "the running instance stays";
  const std::string log = appLog(home.path());
  EXPECT_EQ(log.find(" starting on "), log.rfind(" starting on ")) << "one engine only\n" << log;

  EXPECT_EQ(bus.emitPrepareForSleep(true), 0);
  EXPECT_TRUE(waitForLog(home.path(), "Sleep: stopping broadcast")) << appLog(home.path());
  EXPECT_EQ(bus.emitPrepareForSleep(false), 0);
  EXPECT_TRUE(waitForLog(home.path(), "Wake: restarting broadcast")) << appLog(home.path());
  terminate(app, home.path());
}

// What `make package` packs: `cmake --install` into versions/<version> of
// a tree. The binary found there reports its version without a display, else
// says a display is missing and exits with 2. (That the install starts and
// updates is UpdateEndToEnd's; that an unsigned build has no updater
// InstallTest.WithoutKeyOrPackageThereIsNoController.)
TEST(AppBinary, PackagedInstallHoldsTheDesktopFilesAndReportsItsVersion) {
  const std::string version = CHORALINK_VERSION_UNDER_TEST;
  TempFolder root;
  const std::filesystem::path prefix = root / "versions" / version;
  ASSERT_EQ(std::system(("cmake --install '" CHORALINK_BUILD_DIR "' --prefix '" + prefix.string() +
                         "' >/dev/null")
                            .c_str()),
            0);
  EXPECT_EQ(std::filesystem::read_symlink(root / "current"), "versions/" + version);
  EXPECT_EQ(readFile(prefix / "choralink-package"), version + "\n");
  for (const char* file : {"bin/choralink", "share/applications/app.choralink.Choralink.desktop",
                           "share/metainfo/app.choralink.Choralink.metainfo.xml",
                           "share/icons/hicolor/scalable/apps/app.choralink.Choralink.svg"}) {
    EXPECT_TRUE(std::filesystem::is_regular_file(root / "current" / file)) << file;
  }

  const std::string program = (root / "current/bin/choralink").string();
  TempFolder home;
  const std::map<std::string, std::string> noDisplay{
      {"QT_QPA_PLATFORM", ""}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
  AppProcess asked(home.path(), noDisplay, {program, "--version"});
  EXPECT_EQ(asked.waitForExit(10), 0);
  EXPECT_EQ(asked.output(), "Choralink " + version + "\n");
  AppProcess headless(home.path(), noDisplay, {program});
  EXPECT_EQ(headless.waitForExit(15), 2);
  EXPECT_NE(headless.output().find("no display was found"), std::string::npos) << headless.output();
  EXPECT_TRUE(appLog(home.path()).empty()) << "nothing started";
}

}  // namespace
}  // namespace choralink::test
