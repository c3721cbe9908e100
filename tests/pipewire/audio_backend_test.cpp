// Choosing the audio backend: PipeWire when a daemon answers, the simulated
// machine (with its note) when none does, and CHORALINK_AUDIO_BACKEND forcing
// either — a forced PipeWire without a daemon and a value naming no backend
// are errors, never a quiet fallback.
#include <gtest/gtest.h>

#include <optional>
#include <set>

#include "engine/hal/audio_backend.h"
#include "engine/hal/hal.h"
#include "engine/hal/pipewire/pipewire_audio_system.h"
#include "engine/hal/sim/presets.h"
#include "tests/common/scoped_env.h"
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

// The standard machine and the microphone of its room.
const std::set<std::string> kStandardMachine{sim::presets::kSpeakersUID, sim::presets::kAirPodsUID,
                                             sim::presets::kTVUID, sim::presets::kAirPlayUID,
                                             sim::presets::kMicrophoneUID};

// Unset, "pipewire" and "sim" are the selection table's; an empty value is
// unset, anything else an error naming it.
TEST(AudioBackendRequest, OnlyPipewireAndSimNameABackend) {
  EXPECT_EQ(parseAudioBackendRequest(""), AudioBackendRequest::automatic);
  for (const char* bad : {"PipeWire", "sim ", "simulated", "alsa", "auto"}) {
    SCOPED_TRACE(bad);
    const std::string says = std::string("CHORALINK_AUDIO_BACKEND is \"") + bad +
                             "\"; it must be \"pipewire\" or \"sim\"";
    try {
      parseAudioBackendRequest(bad);
      ADD_FAILURE() << "accepted";
    } catch (const AudioBackendError& e) {
      EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
    }
  }
}

// Without a daemon only the automatic choice falls back; a forced PipeWire
// says where none answered.
TEST(AudioBackendSelection, TheVariableDecidesWhenNoRequestIsGiven) {
  // No other thread of this program reads the environment here: the test
  // touches no daemon and starts no loop before it is done with it.
  AudioBackendOptions options;
  options.pipewireRemote = kNoDaemon;
  const std::string noAnswer = std::string("no PipeWire sound server answered at ") + kNoDaemon;
  const struct {
    std::optional<std::string> variable;
    const char* request;  // nullptr: none given
    bool opens;
    std::string says;  // the note, or a part of the error
  } cases[] = {{"sim", nullptr, true, kSimulatedForcedNote},
               {"pipewire", nullptr, false, noAnswer},
               {"jack", nullptr, false, "CHORALINK_AUDIO_BACKEND is \"jack\""},
               {std::nullopt, nullptr, true, kSimulatedNoServerNote},
               {std::nullopt, "pipewire", false, noAnswer},
               {"jack", "sim", true, kSimulatedForcedNote}};  // a request wins
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variable.value_or("(unset)") + " / " + (c.request ? c.request : "(none)"));
    choralink::test::ScopedEnv env(kAudioBackendVariable, c.variable);
    options.request = c.request ? std::optional<std::string>(c.request) : std::nullopt;
    try {
      const auto backend = openAudioBackend(options);
      EXPECT_TRUE(c.opens);
      EXPECT_EQ(backend->note(), c.says);
      EXPECT_EQ(deviceUIDs(backend->system()), kStandardMachine);
    } catch (const AudioBackendError& e) {
      EXPECT_FALSE(c.opens);
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    }
  }
}

using AudioBackendOnDaemonTest = PipeWireTest;

TEST_F(AudioBackendOnDaemonTest, AnsweringDaemonIsChosenUnlessTheSimulationIsForced) {
  AudioBackendOptions options;
  options.pipewireRemote = daemon_->socketPath();
  for (const char* request : {"", "pipewire", "sim"}) {
    SCOPED_TRACE(request);
    const bool forced = std::string(request) == "sim";
    options.request = request;
    const auto backend = openAudioBackend(options);
    ASSERT_NE(backend, nullptr);
    EXPECT_EQ(backend->kind(), forced ? AudioBackendKind::simulated : AudioBackendKind::pipewire);
    EXPECT_EQ(backend->note(), forced ? kSimulatedForcedNote : "");
    EXPECT_EQ(backend->pipewire() != nullptr, !forced);
  }
}

}  // namespace
}  // namespace choralink::pipewire::testing
