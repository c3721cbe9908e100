// The all-or-nothing promise of a broadcast session: a construction that fails
// at any step leaves no tap, aggregate device or IO procedure behind, every
// changed rate is back, and the rate journal holds exactly what it held
// before. And the journal's reason to exist: a run killed mid-broadcast is
// repaired by the next launch.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "engine/graph/broadcast_session.h"
#include "engine/graph/channel_map.h"
#include "tests/graph/graph_fixture.h"

namespace choralink::test {
namespace {

class SessionFailureTest : public GraphTest {
 protected:
  void SetUp() override {
    speakers = plug(presets::builtInSpeakers());
    headset = plug(headsetAt44k());  // the session moves it to 48000
    tv = plug(presets::hdmiTV());
    // A device an earlier, unclean run changed and that is away now.
    RateJournal::save(kEarlierJournal, journal);
  }

  // Builds a session over `devices`, which must fail with `expected`, then
  // checks that nothing the attempt did remains.
  template <class Error>
  void expectUndoneFailure(const std::vector<AudioDeviceInfo>& devices, const Error& expected) {
    expectThrown([&] { BroadcastSession(environment(), devices, /*muted=*/true).teardown(); },
                 expected);
    expectNothingLeft();
    EXPECT_FALSE(sim.systemOutputMuted()) << "the muting tap outlived the failure";
    EXPECT_EQ(rateOf(headset.uid), 44100) << "a changed rate was not restored";
    EXPECT_EQ(rateOf(speakers.uid), 48000);
    EXPECT_EQ(journalEntries(), kEarlierJournal);
  }

  std::vector<AudioDeviceInfo> all() const { return {speakers, headset, tv}; }

  const RateJournal::Entries kEarlierJournal{{"Gone-Device", 96000}};
  AudioDeviceInfo speakers, headset, tv;
};

// Each step of the construction failing on its own.
TEST_F(SessionFailureTest, PlatformCallFails) {
  const struct {
    std::function<void(sim::SimAudioSystem&)> fault;
    HALError expected;
  } cases[] = {
      {[](auto& s) { s.failOperation(sim::Operation::createProcessTap, kStatusPermissions); },
       HALError(kStatusPermissions, "AudioHardwareCreateProcessTap")},
      {[](auto& s) { s.failProperty({.selector = kPropTapUID, .status = kStatusBadObject}); },
       HALError(kStatusBadObject, "get string " + fourCC(kPropTapUID))},
      {[](auto& s) { s.failProperty({.selector = kPropTapFormat, .status = kStatusBadObject}); },
       HALError(kStatusBadObject, "get " + fourCC(kPropTapFormat))},
      {[](auto& s) { s.failOperation(sim::Operation::createIOProcID, kStatusUnspecified); },
       HALError(kStatusUnspecified, "AudioDeviceCreateIOProcID")},
      // After the headset's rate change: that change is undone too.
      {[](auto& s) { s.failOperation(sim::Operation::createAggregateDevice, kStatusUnspecified); },
       HALError(kStatusUnspecified, "AudioHardwareCreateAggregateDevice")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected.what());
    sim.clearFaults();
    c.fault(sim);
    expectUndoneFailure(all(), c.expected);
  }
}

TEST_F(SessionFailureTest, NoDeviceJoinsBeforeTheDeadline) {
  for (const auto& device : all()) {
    sim.modifyDevice(device.uid, [](sim::DeviceSpec& spec) { spec.joinsAggregates = false; });
  }
  expectUndoneFailure(all(), HALError(-1, "No device could join the aggregate"));
  EXPECT_NEAR(clock.now(), BroadcastSession::kJoinTimeout, BroadcastSession::kJoinPollInterval);
}

TEST_F(SessionFailureTest, StreamMismatch) {
  // The headset's own stream list cannot be read, so its channels seem to be
  // missing from the aggregate's.
  sim.failProperty(
      {.object = headset.objectID, .selector = kPropStreamConfiguration, .scope = kScopeOutput});
  expectUndoneFailure(all(), ChannelMap::MapError::streamMismatch({2, 2}, {2, 2, 2}));
}

TEST_F(SessionFailureTest, RenderCreation) {
  // The render core drives at most 16 devices: a 17th makes it refuse.
  std::vector<AudioDeviceInfo> many = all();
  for (int i = 0; many.size() < CL_MAX_SLOTS + 1; ++i) {
    sim::DeviceSpec spec = presets::displayPortMonitor();
    spec.uid = "DP-" + std::to_string(i);
    many.push_back(plug(spec));
  }
  expectUndoneFailure(many, HALError(-1, "cl_render_create"));
}

TEST_F(SessionFailureTest, DeviceUnreachableDuringCleanupStaysJournalledForTheNextLaunch) {
  // With the device list unreadable, the cleanup cannot find the headset to
  // set it back (the change itself goes to the device record's object).
  sim.failProperty({.object = kSystemObject, .selector = kPropDevices});
  sim.failOperation(sim::Operation::createIOProcID, kStatusUnspecified);
  EXPECT_THROW(BroadcastSession(environment(), all(), true), HALError);

  expectNothingLeft();
  EXPECT_EQ(rateOf(headset.uid), 48000);
  EXPECT_TRUE(logs.contains(LogLevel::warn, "Could not restore sample rate on " + headset.uid +
                                                ": device is gone (kept in journal)"));
  // The next launch's repair of it is CrashRecoveryTest's.
  RateJournal::Entries expected = kEarlierJournal;
  expected[headset.uid] = 44100;
  EXPECT_EQ(journalEntries(), expected);
}

// A run killed mid-broadcast. Parent and child each build the same simulated
// machine; the child builds a session (journalling the headset's 44100 on
// disk), reports the headset's rate and its aggregate through a pipe and is
// killed with SIGKILL. The parent applies that report to its machine, as a
// real audio system would keep it, and runs the start-up repair against it.
class CrashRecoveryTest : public GraphTest {
 protected:
  static void buildMachine(sim::SimAudioSystem& system) {
    system.addDevice(presets::builtInSpeakers());
    system.addDevice(headsetAt44k());
  }

  // Runs in the forked child only: never returns.
  [[noreturn]] void runChild(int reportFd) {
    VirtualExecutor childClock("app.choralink.engine");
    sim::SimAudioSystem childSim(childClock);
    buildMachine(childSim);
    Log childLog(folder / "child.log", {});
    try {
      BroadcastSession session(
          BroadcastSession::Environment{childSim, childClock, childLog, journal},
          {describe(childSim, presets::kSpeakersUID), describe(childSim, presets::kUSBHeadsetUID)},
          true);
      childSim.startDevice(session.aggregateID(), *session.procID());
      childSim.stepIO(0.5);
      char report[512];
      const int n = std::snprintf(report, sizeof report, "%.1f %s\n",
                                  childSim.device(presets::kUSBHeadsetUID)->nominalRate,
                                  session.aggregateUID().c_str());
      if (::write(reportFd, report, static_cast<std::size_t>(n)) != n) ::_exit(3);
    } catch (...) {
      ::_exit(2);
    }
    for (;;)
      ::pause();  // waits for SIGKILL with the session alive
  }
};

TEST_F(CrashRecoveryTest, RunKilledMidBroadcastIsRepairedAtTheNextLaunch) {
  buildMachine(sim);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    runChild(fds[1]);
  }
  ::close(fds[1]);
  std::string report;
  char buffer[256];
  for (ssize_t n;
       report.find('\n') == std::string::npos && (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
    report.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);

  // While the child still runs its broadcast, the journal names the old rate.
  EXPECT_EQ(journalEntries(), (RateJournal::Entries{{presets::kUSBHeadsetUID, 44100}}));
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGKILL);

  double leftRate = 0;
  char aggregateUID[256] = {};
  ASSERT_EQ(std::sscanf(report.c_str(), "%lf %255s", &leftRate, aggregateUID), 2) << report;
  EXPECT_EQ(leftRate, 48000);
  EXPECT_EQ(journalEntries(), (RateJournal::Entries{{presets::kUSBHeadsetUID, 44100}}));

  // The machine as the dead run left it.
  sim.setNominalRate(presets::kUSBHeadsetUID, leftRate);
  leaveAggregate(aggregateUID);

  // The next launch's start-up: restore the journal, then sweep leftovers.
  RateJournal::restoreAll(sim, logs.log(), journal);
  BroadcastSession::destroyLeftoverAggregates(sim, logs.log());

  EXPECT_EQ(rateOf(presets::kUSBHeadsetUID), 44100);
  EXPECT_FALSE(fs::exists(journal));
  EXPECT_EQ(logs.messages(), (std::vector<std::string>{
                                 std::string("Rate journal: restored ") + presets::kUSBHeadsetUID +
                                     " to 44100 Hz after an unclean exit",
                                 std::string("Destroying leftover aggregate ") + aggregateUID}));
  expectNothingLeft();
}

}  // namespace
}  // namespace choralink::test
