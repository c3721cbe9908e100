// A private PipeWire daemon for one test program: its own runtime folder in a
// fresh temporary directory, no D-Bus, no inherited PIPEWIRE_REMOTE, and a
// configuration from this repository. Clients reach it only through the
// absolute socket path, so a test can never touch the user's own session.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/hal/pipewire/pipewire_audio_system.h"
#include "engine/hal/pipewire/pw_default_output.h"
#include "engine/hal/pipewire/pw_graph.h"
#include "engine/hal/pipewire/pw_link.h"
#include "engine/hal/pipewire/pw_runtime.h"
#include "engine/hal/pipewire/pw_virtual_sink.h"

namespace choralink::pipewire::testing {

// The fake output devices of headless.conf.
inline constexpr const char* kSpeakers = "fake_speakers";  // pci speaker, 2 ch, 48 kHz
inline constexpr const char* kBluetooth = "fake_bt";       // bluetooth, 2 ch, 44.1 kHz
inline constexpr const char* kHdmi = "fake_hdmi";          // hdmi, 6 ch, 48 kHz
inline constexpr const char* kUsb = "fake_usb";            // usb, 2 ch, 48 kHz
inline constexpr const char* kVirtualMix = "virtual_mix";  // no bus: the system mix stand-in
inline const std::vector<std::string> kFakeSinks{kSpeakers, kBluetooth, kHdmi, kUsb, kVirtualMix};

// A quantum long enough (43 ms at 48 kHz) that every node keeps its deadline
// even in sanitizer builds on a loaded machine: tests that check sample
// positions force it, since a missed cycle would drop the very samples they
// look for.
inline constexpr uint32_t kRoomyQuantum = 2048;

// Counts how often a listener block ran.
struct ListenerCount {
  std::shared_ptr<int> count = std::make_shared<int>(0);
  PropertyListenerBlock block = std::make_shared<PropertyListenerBlock::element_type>(
      [c = count](AudioObjectID, const std::vector<PropertyAddress>&) { ++*c; });
};

// The muted global tap a broadcast asks for, excluding only this process.
TapDescription mutedTap();

// A seam on the daemon at `socket`, its default-output journal `folder`/
// default-output.json (none when `folder` is empty).
std::unique_ptr<PipeWireAudioSystem> openSystem(const std::string& socket,
                                                const std::filesystem::path& folder = {});

// The engine's description of an aggregate of `uids` (the first one the
// clock) and, unless empty, the tap `tapUID`.
AggregateDescription aggregateDescription(const std::vector<std::string>& uids,
                                          const std::string& tapUID);

// Polls `done` every few milliseconds, on real time, until it holds or
// `seconds` have passed: for what no graph event announces.
bool pollFor(double seconds, const std::function<bool()>& done);

// Waits up to `seconds` for the child `pid` to end, killing it when it has
// not: its exit code, 128 + the signal that ended it, or -1 when killed.
int waitForExit(pid_t pid, double seconds);

// Forces the graph's quantum through the "settings" metadata (0 lifts the
// force) and waits until the daemon confirms. False on timeout.
bool forceQuantum(PwGraph& graph, uint32_t frames);

class PipeWireDaemon {
 public:
  // The `pipewire` program on PATH; empty when it is not installed.
  static std::string findProgram();
  // The repository's headless configuration.
  static std::string defaultConfig();

  // Starts the daemon and waits (bounded) until its socket accepts
  // connections. Throws std::runtime_error, with the daemon's log, when it
  // does not come up.
  explicit PipeWireDaemon(const std::string& configPath = defaultConfig());
  ~PipeWireDaemon();
  PipeWireDaemon(const PipeWireDaemon&) = delete;
  PipeWireDaemon& operator=(const PipeWireDaemon&) = delete;

  // Terminates the daemon by its PID and waits for it (killing it if it does
  // not end within a few seconds). Idempotent.
  void stop();
  // Stops the daemon and starts it again on the same socket path (its log
  // goes on in the same file), as a sound server restarted under its
  // clients. Throws as the constructor does.
  void restart();
  bool running() const { return pid_ > 0; }
  const std::string& socketPath() const { return socket_; }
  // The daemon's private folder (removed with it).
  const std::string& folder() const { return dir_; }
  std::string log() const;

 private:
  void launch(int logMode);

  std::string program_;
  std::string dir_;
  std::string config_;
  std::string socket_;
  std::string logPath_;
  pid_t pid_ = -1;
};

// Base fixture: one daemon per test program (started with the first test),
// and a fresh connection and graph model per test. XDG_CONFIG_HOME and
// XDG_STATE_HOME point into the daemon's folder, so the default-output and
// rate journals of everything the tests open (and of the tools they run) stay
// away from the user's own. Reports the test as
// skipped when PipeWire is not installed, and fails it when the daemon is
// installed but does not come up.
class PipeWireTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  PwThreadLoop& loop() { return *loop_; }
  PwGraph& graph() { return *graph_; }
  // The id of a sink by node name; fails the test when absent.
  uint32_t sinkId(const std::string& name);
  // Points the default output at `name` from the test's own connection and
  // waits until it and `other` have heard both keys.
  void setDefaultSeenBy(const char* name, const PwGraph& other);
  // A sink that reads as a USB device (not one of ours), present while the
  // returned object lives. An empty description keeps the sink's default.
  std::unique_ptr<PwVirtualSink> plugUsbSink(const std::string& name,
                                             const std::string& description = {});
  // Links the monitor of `sink` by channel to the inputs of `node` named
  // `prefix`…, adding the links to `links`.
  void linkMonitor(PwLinks& links, const std::string& sink, uint32_t node,
                   const std::string& prefix = {});
  // Nothing of ours is left: no "Choralink" sink, no aggregate node, as many
  // links as `linksBefore`, and the default output as `before` saved it.
  void expectGraphAsBefore(size_t linksBefore, const SavedDefaultOutput& before);
  // Every node with what is known of it, for failure messages.
  std::string describeGraph() const;

  static std::unique_ptr<PipeWireDaemon> daemon_;
  static std::string skipReason_;
  static std::string startError_;
  std::unique_ptr<PwThreadLoop> loop_;
  std::unique_ptr<PwGraph> graph_;
};

}  // namespace choralink::pipewire::testing
