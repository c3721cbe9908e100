// The system-audio capture: what it asks the platform for, what it reads back,
// and that a failed construction leaves no tap behind.
#include "engine/graph/system_audio_tap.h"

#include <gtest/gtest.h>

#include <regex>

#include "tests/graph/graph_fixture.h"

namespace choralink::test {
namespace {

class SystemAudioTapTest : public GraphTest {
 protected:
  AudioObjectID ownProcess() { return *SystemAudioTap::ownProcessObject(sim); }
};

TEST_F(SystemAudioTapTest, CapturesAPrivateStereoMixOfEveryoneButUs) {
  SystemAudioTap tap(sim, logs.log(), /*muted=*/false);

  const auto description = sim.tapDescription(tap.tapID());
  ASSERT_TRUE(description);
  EXPECT_EQ(description->processes, std::vector<AudioObjectID>{ownProcess()});
  EXPECT_TRUE(description->exclusive);
  EXPECT_FALSE(description->mono);
  EXPECT_TRUE(description->isPrivate);
  EXPECT_EQ(description->name, "Choralink");
  EXPECT_EQ(description->muteBehavior, TapMuteBehavior::unmuted);
  EXPECT_TRUE(std::regex_match(description->uuid,
                               std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                                          "[0-9A-F]{12}")))
      << description->uuid;
  EXPECT_EQ(tap.uid(), description->uuid);
  EXPECT_EQ(logs.messages(), std::vector<std::string>{"Tap created (unmuted, 48000 Hz, 2 ch)"});
  EXPECT_FALSE(sim.systemOutputMuted());

  SystemAudioTap second(sim, logs.log(), false);
  EXPECT_NE(second.uid(), tap.uid()) << "every tap gets its own UID";
  tap.destroy();
  second.destroy();
  EXPECT_EQ(sim.liveObjects().taps, 0u);
}

TEST_F(SystemAudioTapTest, WithoutOurOwnProcessObjectNoTapIsCreated) {
  sim.removeProcess(sim.ownPid());
  EXPECT_EQ(SystemAudioTap::ownProcessObject(sim), std::nullopt);
  expectThrown([&] { SystemAudioTap(sim, logs.log(), false); },
               HALError(-1, "Could not find Choralink's own audio process object"));
  EXPECT_EQ(sim.liveObjects().taps, 0u);
}

TEST_F(SystemAudioTapTest, SecondDestroyAsksThePlatformAgainAndLogsItsRefusal) {
  SystemAudioTap tap(sim, logs.log(), false);
  tap.destroy();
  tap.destroy();
  EXPECT_EQ(
      logs.startingWith("AudioHardwareDestroyProcessTap: "),
      std::vector<std::string>{"AudioHardwareDestroyProcessTap: " + fourCC(kStatusBadObject)});
}

}  // namespace
}  // namespace choralink::test
