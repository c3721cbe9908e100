// Choosing the audio backend: PipeWire when a daemon answers, the simulated
// machine (with its note) when none does, and CHORALINK_AUDIO_BACKEND forcing
// either — a forced PipeWire without a daemon and a value naming no backend
// are errors, never a quiet fallback.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

#include "engine/control/audio_router.h"
#include "engine/hal/audio_backend.h"
#include "engine/hal/hal.h"
#include "engine/hal/pipewire/pipewire_audio_system.h"
#include "engine/hal/sim/presets.h"
#include "tests/common/log_capture.h"
#include "tests/common/temp_folder.h"
#include "tests/pipewire/pw_daemon.h"

namespace choralink::pipewire::testing {
namespace {

constexpr const char* kNoDaemon = "/nonexistent/choralink/pipewire-0";

std::set<std::string> deviceUIDs(AudioSystem& system) {
  std::set<std::string> uids;
  for (AudioObjectID id :
       HAL::getArray<AudioObjectID>(system, kSystemObject, kPropDevices, kScopeGlobal))
    uids.insert(HAL::getString(system, id, kPropDeviceUID));
  return uids;
}

std::unique_ptr<AudioBackend> open(const char* request, const std::string& remote) {
  AudioBackendOptions options;
  options.request = request;
  options.pipewireRemote = remote;
  return openAudioBackend(options);
}

std::string errorOf(const char* request, const std::string& remote) {
  try {
    open(request, remote);
  } catch (const AudioBackendError& e) {
    return e.what();
  }
  return "(no error)";
}

// The standard machine and the microphone of its room.
const std::set<std::string> kStandardMachine{sim::presets::kSpeakersUID, sim::presets::kAirPodsUID,
                                             sim::presets::kTVUID, sim::presets::kAirPlayUID,
                                             sim::presets::kMicrophoneUID};

TEST(AudioBackendRequest, OnlyPipewireAndSimNameABackend) {
  EXPECT_EQ(parseAudioBackendRequest(nullptr), AudioBackendRequest::automatic);
  EXPECT_EQ(parseAudioBackendRequest(""), AudioBackendRequest::automatic);
  EXPECT_EQ(parseAudioBackendRequest("pipewire"), AudioBackendRequest::pipewire);
  EXPECT_EQ(parseAudioBackendRequest("sim"), AudioBackendRequest::simulated);
  for (const char* bad : {"PipeWire", "sim ", "simulated", "alsa", "auto"}) {
    SCOPED_TRACE(bad);
    try {
      parseAudioBackendRequest(bad);
      ADD_FAILURE() << "accepted";
    } catch (const AudioBackendError& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find(std::string("CHORALINK_AUDIO_BACKEND is \"") + bad + "\""),
                std::string::npos)
          << text;
      EXPECT_NE(text.find("must be \"pipewire\" or \"sim\""), std::string::npos) << text;
    }
  }
}

TEST(AudioBackendSelection, WithoutADaemonOnlyTheAutomaticChoiceFallsBack) {
  const auto automatic = open("", kNoDaemon);
  ASSERT_NE(automatic, nullptr);
  EXPECT_EQ(automatic->kind(), AudioBackendKind::simulated);
  EXPECT_EQ(automatic->note(), kSimulatedNoServerNote);
  EXPECT_EQ(automatic->pipewire(), nullptr);
  EXPECT_EQ(deviceUIDs(automatic->system()), kStandardMachine);

  const std::string error = errorOf("pipewire", kNoDaemon);
  EXPECT_NE(
      error.find("CHORALINK_AUDIO_BACKEND=pipewire, but no PipeWire sound server answered at " +
                 std::string(kNoDaemon)),
      std::string::npos)
      << error;
}

TEST(AudioBackendSelection, TheVariableDecidesWhenNoRequestIsGiven) {
  // No other thread of this program reads the environment here: the test
  // touches no daemon and starts no loop before it is done with it.
  const char* saved = std::getenv(kAudioBackendVariable);
  const std::string previous = saved != nullptr ? saved : "";
  AudioBackendOptions options;
  options.pipewireRemote = kNoDaemon;

  ::setenv(kAudioBackendVariable, "sim", 1);
  EXPECT_EQ(openAudioBackend(options)->note(), kSimulatedForcedNote);
  ::setenv(kAudioBackendVariable, "pipewire", 1);
  EXPECT_THROW(openAudioBackend(options), AudioBackendError);
  ::setenv(kAudioBackendVariable, "jack", 1);
  EXPECT_THROW(openAudioBackend(options), AudioBackendError);
  ::unsetenv(kAudioBackendVariable);
  EXPECT_EQ(openAudioBackend(options)->note(), kSimulatedNoServerNote);
  options.request = "sim";
  ::setenv(kAudioBackendVariable, "jack", 1);
  EXPECT_EQ(openAudioBackend(options)->note(), kSimulatedForcedNote) << "a request wins";

  if (saved != nullptr) {
    ::setenv(kAudioBackendVariable, previous.c_str(), 1);
  } else {
    ::unsetenv(kAudioBackendVariable);
  }
}

using AudioBackendOnDaemonTest = PipeWireTest;

TEST_F(AudioBackendOnDaemonTest, AnsweringDaemonIsChosenAndShowsItsSinks) {
  for (const char* request : {"", "pipewire"}) {
    SCOPED_TRACE(request);
    const auto backend = open(request, daemon_->socketPath());
    ASSERT_NE(backend, nullptr);
    EXPECT_EQ(backend->kind(), AudioBackendKind::pipewire);
    EXPECT_TRUE(backend->note().empty());
    ASSERT_NE(backend->pipewire(), nullptr);
    EXPECT_EQ(deviceUIDs(backend->system()),
              std::set<std::string>(kFakeSinks.begin(), kFakeSinks.end()));
  }
}

TEST_F(AudioBackendOnDaemonTest, ForcedSimulationIgnoresTheDaemonAndCanBroadcast) {
  const auto backend = open("sim", daemon_->socketPath());
  ASSERT_NE(backend, nullptr);
  EXPECT_EQ(backend->kind(), AudioBackendKind::simulated);
  EXPECT_EQ(backend->note(), kSimulatedForcedNote);
  EXPECT_EQ(deviceUIDs(backend->system()), kStandardMachine);

  // The simulated machine runs on its own in real time: a broadcast through
  // the router plays on it.
  choralink::test::TempFolder folder;
  choralink::test::LogCapture logs(folder.path());
  AudioRouter::Environment environment(backend->system());
  environment.log = &logs.log();
  environment.rateJournal = folder.path() / "rate-restore.json";
  environment.isLaptop = true;
  AudioRouter router(environment);
  BroadcastConfig config;
  config.devices = {DeviceConfig{sim::presets::kSpeakersUID, 1.0f, 0, false},
                    DeviceConfig{sim::presets::kTVUID, 1.0f, 0, false}};
  auto started = router.start(config);
  ASSERT_EQ(started.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  started.get();
  EXPECT_TRUE(router.isRunning());
  // Bounded: the first IO cycle follows the joins by a few milliseconds.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!router.callbackHasRun() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(router.callbackHasRun());
  router.shutdownSync(5.0);
}

}  // namespace
}  // namespace choralink::pipewire::testing
