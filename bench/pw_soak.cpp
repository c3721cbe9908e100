// pw_soak: a synced broadcast on a private daemon of its own while, at
// random, a USB-like sink is plugged and unplugged, the user picks another
// default output and back, the process stalls for 0.1 s (SIGSTOP/SIGCONT from
// a helper process) and the daemon is killed and started again on the same
// socket (the engine must report the loss within a second; the one backend of
// the run must pick the daemon up again, and the user starts the broadcast
// anew, as in the application). At the end: the broadcast plays sample-exact on the
// monitors, and once stopped nothing of ours is left and the default output
// is as at the start. Runs CHORALINK_SOAK_SECONDS (default 60) and prints
// its figures.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <random>
#include <thread>

#include "engine/control/audio_router.h"
#include "engine/hal/audio_backend.h"
#include "engine/hal/hal.h"
#include "engine/hal/pipewire/pipewire_audio_system.h"
#include "tests/common/log_capture.h"
#include "tests/common/temp_folder.h"
#include "tests/pipewire/pulse_probe.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

constexpr double kTimeout = 5.0;
constexpr const char* kPlugged = "soak_usb";

double seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// SIGSTOP, 0.1 s, SIGCONT for this process, from a child (which only calls
// async-signal-safe functions).
void stallThisProcess() {
  const pid_t self = ::getpid();
  const pid_t helper = ::fork();
  if (helper == 0) {
    ::kill(self, SIGSTOP);
    const timespec pause{0, 100'000'000};
    ::nanosleep(&pause, nullptr);
    ::kill(self, SIGCONT);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(helper, &status, 0);
}

class Soak {
 public:
  Soak() { bringUp(); }
  // The daemon, the user's connection and default output, the engine and
  // its broadcast, as at start.
  void bringUp() {
    daemon_ = std::make_unique<PipeWireDaemon>();
    connectUser();
    if (::testing::Test::HasFatalFailure()) return;
    ASSERT_TRUE(setDefaultOutput(*graph_, kSpeakers));
    ASSERT_TRUE(graph_->waitFor([&] { return graph_->defaultSinkName() == kSpeakers; }, kTimeout));
    baseline_ = saveDefaultOutput(*graph_);
    linksBefore_ = graph_->links().size();
    openEngine();
    startBroadcast();
  }
  ~Soak() {
    if (router_) router_->shutdownSync(kTimeout);
    router_.reset();
    backend_.reset();
    plugged_.reset();
    graph_.reset();
    loop_.reset();
    daemon_.reset();
  }

  // The user's own connection, which also stands in for a session manager:
  // it forces the roomy quantum on every daemon it meets.
  void connectUser() {
    PwThreadLoop::Options options;
    options.remoteName = daemon_->socketPath();
    options.clientName = "soak-user";
    loop_ = std::make_unique<PwThreadLoop>(options);
    graph_ = std::make_unique<PwGraph>(*loop_);
    ASSERT_TRUE(graph_->settle(kTimeout));
    ASSERT_TRUE(forceQuantum(*graph_, kRoomyQuantum));
  }

  // The application's backend and router, opened once for the whole run.
  void openEngine() {
    AudioBackendOptions options;
    options.request = "pipewire";
    options.pipewireRemote = daemon_->socketPath();
    options.defaultJournalPath = (folder_ / "default-output.json").string();
    backend_ = openAudioBackend(options);
    AudioRouter::Environment environment(backend_->system());
    environment.log = &logs_.log();
    environment.rateJournal = folder_ / "rate-restore.json";
    environment.isLaptop = false;
    router_ = std::make_unique<AudioRouter>(environment);
  }

  // The user presses start once the device list shows the sinks (after a
  // daemon's return: its devices, under new ids).
  void startBroadcast() {
    std::vector<AudioDeviceInfo> shown;
    const double until = seconds() + kTimeout;
    auto listed = [&](const char* uid) {
      return std::any_of(shown.begin(), shown.end(),
                         [&](const AudioDeviceInfo& d) { return d.uid == uid; });
    };
    while (seconds() < until && !(listed(kSpeakers) && listed(kHdmi) && listed(kUsb))) {
      for (auto& list : router_->deviceSnapshots().takeBuffered())
        shown = std::move(list);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(listed(kSpeakers) && listed(kHdmi) && listed(kUsb))
        << "the device list does not show the sinks";
    BroadcastConfig config;
    for (const char* uid : {kSpeakers, kHdmi, kUsb, kPlugged})
      config.devices.push_back(DeviceConfig{uid, 1.0f, 0, false});
    auto started = router_->start(config);
    ASSERT_EQ(started.wait_for(std::chrono::duration<double>(kTimeout)), std::future_status::ready);
    started.get();
    ASSERT_TRUE(router_->isRunning());
    router_->events().takeBuffered();
  }

  void togglePlugged() {
    if (plugged_) {
      plugged_.reset();
      return;
    }
    PwVirtualSink::Spec spec;
    spec.name = kPlugged;
    spec.markOwned = false;
    spec.isVirtual = false;
    spec.extraProps = {{"device.api", "fake"}, {"device.bus", "usb"}};
    plugged_ = std::make_unique<PwVirtualSink>(*loop_, spec);
  }

  // The user picks HDMI, and a moment later their own output again. (Not
  // the keys as they were, which name our sink while the broadcast holds the
  // default: no user picks that, and a rebuild meanwhile rightly keeps HDMI
  // as the user's choice.)
  void pickAnotherDefaultAndBack() {
    setDefaultOutput(*graph_, kHdmi);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    restoreDefaultOutput(*graph_, baseline_);
    graph_->waitFor([&] { return defaultOutputIs(*graph_, baseline_); }, kTimeout);
  }

  struct Restart {
    double lossReported = -1;      // seconds until the engine said so; -1: it did not
    double back = -1;              // seconds from the new daemon's start to "srvl" 1
    bool defaultRestored = false;  // the backend put the user's default back itself
  };

  // Kills the daemon under the broadcast and starts it again on the same
  // socket: the backend must notice both, the device list come back, and a
  // new broadcast start.
  Restart restartDaemon() {
    Restart r;
    const double killed = seconds();
    daemon_->stop();
    while (seconds() - killed < kTimeout && r.lossReported < 0) {
      for (const EngineEvent& e : router_->events().takeBuffered()) {
        const auto* stopped = e.as<EngineEvent::Stopped>();
        if (stopped && stopped->reason.kind() == StopReason::Kind::serviceGone) {
          r.lossReported = seconds() - killed;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    plugged_.reset();
    graph_.reset();
    loop_.reset();
    daemon_->restart();
    const double started = seconds();
    connectUser();
    if (::testing::Test::HasFatalFailure()) return r;
    AudioSystem& system = backend_->system();
    while (seconds() - started < kTimeout) {
      if (HAL::get<std::uint32_t>(system, kSystemObject, kPropServiceIsAlive, kScopeGlobal, 1)) {
        r.back = seconds() - started;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The new daemon knows no default; the backend's journal has the user's
    // choice when our tap held the default as the daemon went. Otherwise the
    // user's session manager would put it back: so does this connection.
    r.defaultRestored = graph_->waitFor([&] { return defaultOutputIs(*graph_, baseline_); }, 2.0);
    if (!r.defaultRestored) {
      restoreDefaultOutput(*graph_, baseline_);
      graph_->waitFor([&] { return defaultOutputIs(*graph_, baseline_); }, kTimeout);
    }
    if (r.back >= 0) startBroadcast();
    return r;
  }

  // Stops that the faults did not call for (anything but serviceGone).
  int unexpectedStops() {
    int count = 0;
    for (const EngineEvent& e : router_->events().takeBuffered()) {
      if (e.kind() == EngineEvent::Kind::stopped) {
        std::fprintf(stderr, "soak: unexpected %s\n", describe(e).c_str());
        ++count;
      }
    }
    return count;
  }

  // Waits for the broadcast to run again (every configured sink present
  // playing), then plays the pulse: the frames by which the sinks' arrivals,
  // each less its delay, differ (0: sample-exact; -1: not measured).
  long spreadOnMonitors() {
    std::vector<std::string> expected{kSpeakers, kHdmi, kUsb};
    if (plugged_) expected.push_back(kPlugged);
    std::map<std::string, LatencyModel::Output> delays;
    const double until = seconds() + kTimeout;
    while (seconds() < until) {
      delays = router_->delayBreakdown();
      if (delays.size() == expected.size()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (delays.size() != expected.size()) return -1;
    // A quarter second of cycles lets a rebuilt session's gains ramp up.
    const uint64_t target = router_->heartbeat() + 12000 / kRoomyQuantum + 2;
    graph_->waitFor([&] { return router_->heartbeat() >= target; }, kTimeout);
    const auto heard = measurePulse(*loop_, *graph_, "Choralink", expected, 24000);
    long lo = LONG_MAX;
    long hi = LONG_MIN;
    for (const auto& uid : expected) {
      const auto it = heard.find(uid);
      if (it == heard.end() || it->second.left < 0) return -1;
      const long base = it->second.left - static_cast<long>(delays.at(uid).totalFrames);
      lo = std::min(lo, base);
      hi = std::max(hi, base);
    }
    return hi - lo;
  }

  // After the broadcast stopped: nothing of ours, the default as at start.
  // Whether a lost daemon's connection was still open at the end.
  bool retiredLeft() const { return retiredLeft_; }

  bool graphAsAtStart() {
    router_->shutdownSync(kTimeout);
    router_.reset();
    // The connections of daemons gone before are closed once nothing of
    // ours is left on them.
    PwThreadLoop& backendLoop = backend_->pipewire()->loop();
    {
      PwLock lock(backendLoop);
      retiredLeft_ =
          !backendLoop.waitUntil([&] { return backendLoop.retiredCount() == 0; }, kTimeout);
    }
    backend_.reset();
    plugged_.reset();
    PwGraph& g = *graph_;
    const bool clean = g.waitFor(
        [&] {
          return !g.nodeByName("Choralink") && !g.nodeByName("choralink.aggregate") &&
                 g.links().size() == linksBefore_ && defaultOutputIs(g, baseline_);
        },
        kTimeout);
    if (!clean) {
      PwLock lock(*loop_);
      std::printf(
          "soak: left: sink %d, aggregate %d, %zu links (%zu before), default %s (%s before)\n",
          g.nodeByName("Choralink").has_value(), g.nodeByName("choralink.aggregate").has_value(),
          g.links().size(), linksBefore_, g.defaultSinkName().c_str(),
          baseline_.current.value_or("none").c_str());
    }
    return clean;
  }

 private:
  choralink::test::TempFolder folder_;
  choralink::test::LogCapture logs_{folder_.path()};
  std::unique_ptr<PipeWireDaemon> daemon_;
  std::unique_ptr<PwThreadLoop> loop_;
  std::unique_ptr<PwGraph> graph_;
  std::unique_ptr<AudioBackend> backend_;
  std::unique_ptr<AudioRouter> router_;
  std::unique_ptr<PwVirtualSink> plugged_;
  SavedDefaultOutput baseline_;
  size_t linksBefore_ = 0;
  bool retiredLeft_ = false;
};

TEST(PipeWireSoak, BroadcastSurvivesFaultsAndLeavesTheSystemAsItWas) {
  if (PipeWireDaemon::findProgram().empty()) GTEST_SKIP() << "PipeWire is not installed";
  const char* wanted = std::getenv("CHORALINK_SOAK_SECONDS");
  const double duration = wanted != nullptr ? std::atof(wanted) : 60.0;
  const unsigned seed = static_cast<unsigned>(::getpid());
  std::mt19937 random(seed);
  Soak soak;
  if (::testing::Test::HasFatalFailure()) return;

  std::map<std::string, int> faults;
  int unexpected = 0;
  int lateLossReports = 0;
  double slowestLossReport = 0;
  int notBack = 0;
  double slowestReturn = 0;
  int defaultsRestored = 0;
  std::vector<long> stallSpreads;
  double lastPlug = 0;
  const double end = seconds() + duration;
  while (seconds() < end) {
    const int fault = std::uniform_int_distribution<int>(0, 9)(random);
    // Each plug or unplug rebuilds the broadcast, and a ninth automatic
    // rebuild within a minute rightly ends it: at most one per 8 s.
    if (fault < 4 && seconds() - lastPlug >= 8.0) {
      soak.togglePlugged();
      lastPlug = seconds();
      ++faults["plug/unplug"];
    } else if (fault < 4) {
      continue;
    } else if (fault < 6) {
      soak.pickAnotherDefaultAndBack();
      ++faults["default change"];
    } else if (fault < 9) {
      stallThisProcess();
      ++faults["stall"];
      // Whether the sound (not only a measurement) came back in step.
      if (faults["stall"] % 5 == 1) stallSpreads.push_back(soak.spreadOnMonitors());
    } else {
      const Soak::Restart r = soak.restartDaemon();
      if (::testing::Test::HasFatalFailure()) return;
      ++faults["daemon restart"];
      slowestLossReport = std::max(slowestLossReport, r.lossReported);
      if (r.lossReported < 0 || r.lossReported > 1.0) ++lateLossReports;
      slowestReturn = std::max(slowestReturn, r.back);
      if (r.back < 0) ++notBack;
      defaultsRestored += r.defaultRestored ? 1 : 0;
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(200, 1500)(random)));
    unexpected += soak.unexpectedStops();
  }
  const long spread = soak.spreadOnMonitors();
  const bool clean = soak.graphAsAtStart();

  int total = 0;
  std::printf("soak: seed %u, %.0f s\n", seed, duration);
  for (const auto& [name, count] : faults) {
    std::printf("soak: %-15s %d\n", name.c_str(), count);
    total += count;
  }
  std::printf("soak: %d faults, slowest loss report %.3f s, %d unexpected stops\n", total,
              slowestLossReport, unexpected);
  std::printf(
      "soak: daemon back: slowest %.3f s after its start, %d restarts not picked up, "
      "default put back by the journal after %d of %d restarts\n",
      slowestReturn, notBack, defaultsRestored, faults["daemon restart"]);
  int stallsOff = 0;
  for (long s : stallSpreads)
    stallsOff += s != 0 ? 1 : 0;
  std::printf("soak: after stalls, %d of %zu measured broadcasts not sample-exact\n", stallsOff,
              stallSpreads.size());
  std::printf("soak: final spread on the monitors %ld frames; graph as at start: %s\n", spread,
              clean ? "yes" : "no");
  EXPECT_EQ(unexpected, 0);
  EXPECT_EQ(lateLossReports, 0) << "slowest " << slowestLossReport << " s";
  EXPECT_EQ(notBack, 0) << "the backend did not pick the daemon up again";
  EXPECT_EQ(stallsOff, 0);
  EXPECT_EQ(spread, 0) << "the broadcast is not back in step";
  EXPECT_TRUE(clean) << "something of ours is left, or the default output changed";
  EXPECT_FALSE(soak.retiredLeft()) << "a lost daemon's connection was never closed";
}

}  // namespace
}  // namespace choralink::pipewire::testing
