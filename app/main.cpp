// Choralink, the desktop application: the composition root. It opens the
// audio backend and builds router and model (AppWiring), the views, the tray
// icon, the single-instance hand-over, sleep and wake, and the one
// will-terminate path that quitting, signals and logout all take.
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QIcon>
#include <QLabel>
#include <QProcess>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "app/single_instance.h"
#include "app/sleep_watch.h"
#include "app/ui/feedback/feedback_sheet.h"
#include "app/ui/main_window.h"
#include "app/ui/model_bridge.h"
#include "app/ui/onboarding/onboarding_autopilot.h"
#include "app/ui/onboarding/onboarding_view.h"
#include "app/ui/palette.h"
#include "app/ui/panel/menu_bar_panel.h"
#include "app/ui/qt_executor.h"
#include "app/ui/settings/settings_window.h"
#include "app/ui/tray_icon.h"
#include "app/ui/update/update_windows.h"
#include "app/update/app_updater.h"
#include "app/window_snapshots.h"
#include "app/wiring/app_wiring.h"
#include "app/wiring/frame_rules.h"
#include "support/app_info.h"
#include "support/feedback/http_client.h"
#include "support/log.h"
#include "support/termination_signals.h"

namespace {

using namespace choralink;

constexpr int kExitNoDisplay = 2;
constexpr int kExitBackendUnavailable = 1;
constexpr const char* kApplicationId = "app.choralink.Choralink";
constexpr const char* kNoDisplayMessage =
    "Choralink needs a graphical desktop session, but no display was found. Start it from "
    "your desktop, or set WAYLAND_DISPLAY or DISPLAY (QT_QPA_PLATFORM=offscreen runs it "
    "without one).\n";
constexpr const char* kDisplayUnreachableMessage =
    "Choralink needs a graphical desktop session, but the display could not be opened. Start "
    "it from your desktop, or check WAYLAND_DISPLAY and DISPLAY (QT_QPA_PLATFORM=offscreen "
    "runs it without one).\n";

bool isSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Without any display the toolkit would abort in its constructor; say why
// instead.
bool displayAvailable() {
  return isSet("QT_QPA_PLATFORM") || isSet("WAYLAND_DISPLAY") || isSet("DISPLAY");
}

// A display that is named but cannot be reached ends in the toolkit's fatal
// message while the application object is built; that, too, becomes the
// clear message and its exit code rather than a crash.
bool constructingApplication = false;
void startupMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtFatalMsg && constructingApplication) {
    std::fputs(kDisplayUnreachableMessage, stderr);
    std::_Exit(kExitNoDisplay);
  }
  if (type == QtFatalMsg) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::abort();
  }
  (void)context;
  std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

// Every way out ends the event loop directly. QCoreApplication::quit() would
// first ask each window to close and give up when one refuses, which the
// onboarding sheet does while it shows: quitting then did nothing at all.
void quitApplication() {
  QCoreApplication::exit(0);
}

// CHORALINK_BENCH=1: the moment of the main window's first paint, as Unix
// time, for bench/app_startup_bench.sh to subtract its own start from.
class FirstPaintProbe final : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      const auto now = std::chrono::system_clock::now().time_since_epoch();
      std::printf("choralink-bench first-paint %.6f\n", std::chrono::duration<double>(now).count());
      std::fflush(stdout);
      watched->removeEventFilter(this);
    }
    return false;
  }
};

// Where the desktop has no tray, the main window is the only way to reach
// the application: closing it quits, unless a broadcast is running (a second
// launch brings the window back then).
class CloseQuitsWithoutTray final : public QObject {
 public:
  CloseQuitsWithoutTray(AppModel& model, QObject* parent) : QObject(parent), model_(model) {}
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Close && !model_.isSharing()) {
      QTimer::singleShot(0, qApp, &quitApplication);
    }
    return false;
  }

 private:
  AppModel& model_;
};

// A minimized window is not on screen: a reopen brings it back.
bool anyWindowOnScreen() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    const Qt::WindowType type = widget->windowType();
    if (widget->isVisible() && !widget->isMinimized() && (type == Qt::Window || type == Qt::Dialog))
      return true;
  }
  return false;
}

// "--version" answers without a display, so scripts and the updater's checks
// can ask an installed binary what it is.
bool versionRequested(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) return true;
  }
  return false;
}

// For the end-to-end test of an install: CHORALINK_DEV_UPDATE_PORT and
// CHORALINK_DEV_UPDATE_CA (a PEM file) send the updater's requests for the
// service host to that port on 127.0.0.1 and trust only that certificate. The
// host name, the download veto and the signature check stay as they are, so
// an update still has to be signed with the build's key. Null: the default.
std::shared_ptr<HTTPClient> developmentUpdateClient() {
  const char* port = std::getenv("CHORALINK_DEV_UPDATE_PORT");
  const char* caFile = std::getenv("CHORALINK_DEV_UPDATE_CA");
  if (port == nullptr || caFile == nullptr || *port == '\0') return nullptr;
  std::ifstream in(caFile);
  CurlHTTPClient::Transport transport;
  transport.trustedCertificatesPEM.assign(std::istreambuf_iterator<char>(in), {});
  if (transport.trustedCertificatesPEM.empty()) return nullptr;
  const std::string host(AppInfo::serviceHost());
  transport.connectTo.push_back(host + ":443:127.0.0.1:" + port);
  transport.direct = true;
  return std::make_shared<CurlHTTPClient>(std::set<std::string>{host}, std::move(transport));
}

}  // namespace

int main(int argc, char** argv) {
  if (versionRequested(argc, argv)) {
    std::printf("Choralink %s\n", std::string(AppInfo::version()).c_str());
    return 0;
  }
  if (!displayAvailable()) {
    std::fputs(kNoDisplayMessage, stderr);
    return kExitNoDisplay;
  }
  qInstallMessageHandler(startupMessageHandler);
  constructingApplication = true;
  QApplication app(argc, argv);
  constructingApplication = false;
  qInstallMessageHandler(nullptr);

  QApplication::setApplicationName(QStringLiteral("Choralink"));
  QApplication::setDesktopFileName(QString::fromLatin1(kApplicationId));
  // The installed theme icon, else the same artwork from the binary itself.
  QApplication::setWindowIcon(QIcon::fromTheme(QString::fromLatin1(kApplicationId),
                                               QIcon(QStringLiteral(":/icons/LogoMark.svg"))));
  // A tray application: closing its last window is not quitting.
  QApplication::setQuitOnLastWindowClosed(false);

  SingleInstance instance(
      QString::fromStdString(instanceSocketName(std::getenv("XDG_RUNTIME_DIR"), ::getuid())));
  if (instance.handOver()) return 0;

  const bool listening = instance.listen();
  if (!listening && instance.handOver()) return 0;
  Log& log = Log::shared();
  if (!listening) {
    log.warn("A second launch cannot reach this instance: " + instance.errorString().toStdString());
  }
  // Installed before the engine starts, so a signal during start-up already
  // takes the normal way out.
  TerminationSignals termination;

  ui::QtExecutor mainQueue("app.choralink.main");

  // A find from a scheduled check is a tray message; clicking it opens the
  // update window. The tray exists only once the model does, hence the late
  // binding.
  ui::TrayIcon* trayForUpdates = nullptr;
  std::function<void()> updateMessageClicked;
  UpdateWindows updateWindows(
      QString::fromUtf8(AppInfo::version().data(),
                        static_cast<qsizetype>(AppInfo::version().size())),
      [&](const QString& title, const QString& message, std::function<void()> clicked) {
        if (trayForUpdates == nullptr || !trayForUpdates->available()) {
          clicked();
          return;
        }
        updateMessageClicked = std::move(clicked);
        trayForUpdates->systemTrayIcon().showMessage(title, message);
      });
  // "Install and Relaunch": the new version starts only after this one has
  // shut its engine down and given the output back.
  std::optional<std::filesystem::path> relaunchProgram;

  std::unique_ptr<AppWiring> wiring;
  try {
    AppWiring::Parts parts;
    parts.presence = std::make_unique<ui::QtAppPresence>();
    parts.updater = std::make_unique<AppUpdater>(AppUpdater::Setup{
        .executor = mainQueue,
        .prompter = updateWindows,
        .http = developmentUpdateClient(),
        .relaunch =
            [&relaunchProgram](const std::filesystem::path& program) {
              relaunchProgram = program;
              QTimer::singleShot(0, qApp, &quitApplication);
            },
    });
    wiring = std::make_unique<AppWiring>(mainQueue, std::move(parts));
  } catch (const AudioBackendError& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    log.error(failure.what());
    log.flush();
    return kExitBackendUnavailable;
  }
  AppModel& model = wiring->model();

  ui::ModelBridge bridge(model);
  ui::MainWindow window(model, bridge);
  ui::TrayIcon tray(model, bridge);
  trayForUpdates = &tray;
  QObject::connect(&tray.systemTrayIcon(), &QSystemTrayIcon::messageClicked, &app, [&] {
    if (auto clicked = std::exchange(updateMessageClicked, nullptr)) clicked();
  });
  ui::MenuBarPanel panel(model, bridge);
  ui::SettingsWindow settingsWindow(model, bridge);
  ui::OnboardingController onboarding(model, bridge, window);
  ui::FeedbackController feedback(model, bridge, window);
  // Calibration by microphone from the Sync page.
  window.setCalibration(&wiring->calibration());

  const auto openMainWindow = [&window] {
    window.show();
    window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.raise();
    window.activateWindow();
  };
  model.setOpenMainWindow(openMainWindow);
  const auto openSection = [&model](AppSection section) {
    model.setSection(section);
    if (model.openMainWindow()) model.openMainWindow()();
  };
  const auto openSettings = [&settingsWindow] { settingsWindow.present(); };
  // The reopen rule: with a window on screen nothing happens; otherwise the
  // main window comes up.
  QObject::connect(&instance, &SingleInstance::reopenRequested, &app, [&model] {
    if (anyWindowOnScreen()) return;
    if (model.openMainWindow()) model.openMainWindow()();
  });

  QObject::connect(&tray, &ui::TrayIcon::panelRequested, &panel, &ui::MenuBarPanel::showAt);
  QObject::connect(&tray, &ui::TrayIcon::settingsRequested, &app, openSettings);
  QObject::connect(&tray, &ui::TrayIcon::quitRequested, &app, &quitApplication);
  QObject::connect(&panel, &ui::MenuBarPanel::settingsRequested, &app, openSettings);
  QObject::connect(&panel, &ui::MenuBarPanel::quitRequested, &app, &quitApplication);
  QObject::connect(&window, &ui::MainWindow::settingsRequested, &app, openSettings);
  QObject::connect(&window, &ui::MainWindow::aboutRequested, &app,
                   [&] { openSection(AppSection::about); });
  QObject::connect(&window, &ui::MainWindow::quitRequested, &app, &quitApplication);

  // Simulated devices must never pass for real ones: the note stays in view.
  if (!wiring->backendNote().empty()) {
    window.statusBar()->addWidget(new QLabel(QString::fromStdString(wiring->backendNote())));
  }

  if (tray.available()) {
    tray.show();
  } else {
    log.info(
        "No system tray: the main window stays the way to Choralink, and closing it quits "
        "unless broadcasting");
    window.installEventFilter(new CloseQuitsWithoutTray(model, &window));
  }

  // Quit from the tray or the menu, a termination signal, and the session's
  // logout all end here.
  QSocketNotifier signalNotifier(termination.fd(), QSocketNotifier::Read);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
    if (const auto signal = termination.received()) {
      log.info("Signal " + std::string(strsignal(*signal)) + " received: quitting");
    }
    quitApplication();
  });
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, [&](QSessionManager&) {
    wiring->willTerminate();
    quitApplication();
  });
  QObject::connect(&app, &QCoreApplication::aboutToQuit, &app, [&] { wiring->willTerminate(); });

  if (isSet("CHORALINK_BENCH") && std::strcmp(std::getenv("CHORALINK_BENCH"), "1") == 0) {
    window.installEventFilter(new FirstPaintProbe(&window));
  }
  // Launching finished before the window first shows, so that its first
  // frame already has the stored appearance.
  SleepWatch sleepWatch(model.router(), log);
  const DevelopmentRequests requests =
      readDevelopmentRequests([](const char* name) { return std::getenv(name); });
  wiring->launchFinished(
      requests,
      [&](const SnapshotRequest& request) {
        // The panel last: it closes when another window takes the focus.
        if (request.openSettings) QTimer::singleShot(0, &settingsWindow, openSettings);
        if (request.openPanel) {
          QTimer::singleShot(0, &panel, [&panel] { panel.showAt(QRect()); });
        }
        scheduleWindowSnapshots(request);
      },
      [&sleepWatch] { sleepWatch.start(); });
  std::optional<ui::OnboardingAutopilot> autopilot;
  if (requests.onboardingAutopilot) {
    // Each step's snapshots go into a folder of their own: the windows, and
    // so the files' names, are the same at every step.
    autopilot.emplace(onboarding, log, [&requests](std::string_view step) {
      if (!requests.snapshots) return;
      writeWindowSnapshots(requests.snapshots->folder / ("onboarding-" + std::string(step)));
    });
  }
  window.show();

  const int status = QApplication::exec();
  wiring->willTerminate();
  if (relaunchProgram) {
    instance.close();
    const QString program = QString::fromStdString(relaunchProgram->string());
    if (QProcess::startDetached(program, {})) {
      log.info("Updates: relaunching " + relaunchProgram->string());
    } else {
      log.error("Updates: could not start " + relaunchProgram->string());
    }
    log.flush();
  }
  return status;
}
