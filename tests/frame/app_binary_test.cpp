// The application binary end to end, offscreen on the simulated machine:
// what a user (or the session) does to the process from outside — starting
// it, snapshots, the development autostart, a termination signal, a second
// launch, sleep and wake from logind, and a start without any display.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QColor>
#include <QImage>

#include <cstdio>
#include <set>
#include <string>

#include "app/ui/main_window.h"
#include "tests/common/temp_folder.h"
#include "tests/frame/app_process.h"

namespace choralink::test {
namespace {

constexpr double kStartTimeout = 15.0;
// Autostart waits 2 s, then the engine starts.
constexpr double kBroadcastTimeout = 15.0;
constexpr double kQuitTimeout = 10.0;

void storeSettings(const AppHome& home, const std::string& json) {
  std::filesystem::create_directories(home.settingsFile().parent_path());
  writeFile(home.settingsFile(), json);
}

// Ends the process the way the session does and expects the orderly way out.
void terminate(AppProcess& app, const AppHome& home) {
  app.signal(SIGTERM);
  EXPECT_EQ(app.waitForExit(kQuitTimeout), 0) << app.output();
  EXPECT_NE(home.log().find("Choralink quit"), std::string::npos) << home.log();
}

struct Snapshot {
  QImage image;
  double meanLightness = 0;
  std::size_t colours = 0;
};

// The main window's snapshot, once it is completely written.
std::optional<Snapshot> mainSnapshot(const std::filesystem::path& folder) {
  std::optional<Snapshot> found;
  waitUntil(
      [&] {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
          const std::string name = entry.path().filename().string();
          if (name.size() < 9 || name.substr(name.size() - 9) != "-main.png") continue;
          QImage image(QString::fromStdString(entry.path().string()));
          if (image.isNull()) continue;
          Snapshot snapshot{image, 0, 0};
          std::set<QRgb> colours;
          double lightness = 0;
          for (int y = 0; y < image.height(); y += 4) {
            for (int x = 0; x < image.width(); x += 4) {
              const QRgb pixel = image.pixel(x, y);
              colours.insert(pixel);
              lightness += QColor(pixel).lightnessF();
            }
          }
          snapshot.colours = colours.size();
          snapshot.meanLightness =
              lightness / (((image.height() + 3) / 4) * ((image.width() + 3) / 4));
          found = snapshot;
          return true;
        }
        return false;
      },
      kStartTimeout);
  return found;
}

TEST(AppBinary, SnapshotsShowTheMainWindowInLightAndDark) {
  std::map<std::string, double> lightness;
  for (const std::string appearance : {"light", "dark"}) {
    SCOPED_TRACE(appearance);
    AppHome home;
    storeSettings(home, R"({"onboarding_done": true, "appearance": ")" + appearance + "\"}");
    const auto shots = home.path() / "shots";
    AppProcess app(home.environment(
        {{"CHORALINK_SNAPSHOT_DIR", shots.string()}, {"CHORALINK_SNAPSHOT_DELAY", "0.3"}}));
    const auto snapshot = mainSnapshot(shots);
    ASSERT_TRUE(snapshot) << app.output();
    EXPECT_EQ(snapshot->image.width(), ui::MainWindow::kDefaultWidth);
    EXPECT_EQ(snapshot->image.height(), ui::MainWindow::kDefaultHeight);
    EXPECT_GT(snapshot->colours, 16u) << "a blank or flat image";
    lightness[appearance] = snapshot->meanLightness;
    terminate(app, home);
  }
  EXPECT_GT(lightness["light"], lightness["dark"] + 0.2) << "the stored appearance is applied";
}

TEST(AppBinary, AutostartBroadcastsAndSigtermQuitsWithSettingsSaved) {
  AppHome home;
  AppProcess app(home.environment({{"CHORALINK_DEV_AUTOSTART", "1"}}));
  ASSERT_TRUE(home.waitForLog("Broadcast start (", kBroadcastTimeout))
      << home.log() << app.output();
  EXPECT_NE(home.log().find("No system bus: sleep and wake are not followed"), std::string::npos);
  terminate(app, home);
  // The first device list switched the default output on; quitting kept it.
  EXPECT_NE(readFile(home.settingsFile()).find("\"enabled\": true"), std::string::npos)
      << readFile(home.settingsFile());
}

TEST(AppBinary, SecondLaunchHandsOverToTheRunningOneAndExits) {
  AppHome home;
  AppProcess first(home.environment({}));
  ASSERT_TRUE(home.waitForLog(" starting on ", kStartTimeout)) << first.output();
  AppProcess second(home.environment({}));
  EXPECT_EQ(second.waitForExit(kStartTimeout), 0) << second.output();
  EXPECT_FALSE(first.waitForExit(0.2)) << "the running instance stays";
  const std::string log = home.log();
  EXPECT_EQ(log.find(" starting on "), log.rfind(" starting on ")) << "one engine only\n" << log;
  terminate(first, home);
}

// A private dbus-daemon standing in for the system bus, ended by its PID.
class PrivateBus {
 public:
  PrivateBus() {
    const std::string out = (folder_ / "address").string();
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd >= 0) ::dup2(fd, STDOUT_FILENO);
      ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--print-address=1",
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~PrivateBus() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  // The bus's address once the daemon printed it; empty when it did not.
  std::string address() const {
    std::string address;
    waitUntil(
        [&] {
          address = readFile(folder_ / "address");
          return !address.empty() && address.back() == '\n';
        },
        5.0);
    if (!address.empty() && address.back() == '\n') address.pop_back();
    return address;
  }

 private:
  TempFolder folder_;
  int pid_ = -1;
};

TEST(AppBinary, SleepAndWakeFromLogindStopAndRestartTheBroadcast) {
  AppHome home;
  PrivateBus bus;
  const std::string address = bus.address();
  ASSERT_FALSE(address.empty()) << "dbus-daemon did not start";
  const auto prepareForSleep = [&](bool sleeping) {
    const std::string send = "dbus-send --bus='" + address +
                             "' --type=signal /org/freedesktop/login1 "
                             "org.freedesktop.login1.Manager.PrepareForSleep boolean:" +
                             (sleeping ? "true" : "false");
    return std::system(send.c_str());
  };

  AppProcess app(
      home.environment({{"CHORALINK_DEV_AUTOSTART", "1"}, {"DBUS_SYSTEM_BUS_ADDRESS", address}}));
  EXPECT_TRUE(home.waitForLog("Broadcast start (", kBroadcastTimeout)) << home.log();
  EXPECT_EQ(prepareForSleep(true), 0);
  EXPECT_TRUE(home.waitForLog("Sleep: stopping broadcast")) << home.log();
  EXPECT_EQ(prepareForSleep(false), 0);
  EXPECT_TRUE(home.waitForLog("Wake: restarting broadcast")) << home.log();
  terminate(app, home);
}

TEST(AppBinary, WithoutADisplayItSaysSoAndExitsWithTwo) {
  AppHome home;
  auto env = home.environment({});
  env.erase("QT_QPA_PLATFORM");
  env.erase("DISPLAY");
  env.erase("WAYLAND_DISPLAY");
  AppProcess app(env);
  EXPECT_EQ(app.waitForExit(kStartTimeout), 2);
  EXPECT_NE(app.output().find("no display was found"), std::string::npos) << app.output();
  EXPECT_FALSE(std::filesystem::exists(home.logFile())) << "nothing started";
}

}  // namespace
}  // namespace choralink::test
