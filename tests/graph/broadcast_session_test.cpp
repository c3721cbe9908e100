// What a broadcast session builds in the audio system, how it aligns sample
// rates, what it reports, and how it takes everything down again.
#include "engine/graph/broadcast_session.h"

#include <gtest/gtest.h>

#include <regex>

#include "engine/graph/channel_map.h"
#include "tests/graph/graph_fixture.h"

namespace choralink::test {
namespace {

class BroadcastSessionTest : public GraphTest {};

TEST_F(BroadcastSessionTest, BuildsOnePrivateAggregateClockedByTheSteadiestDevice) {
  const auto tv = plug(presets::hdmiTV());
  const auto speakers = plug(presets::builtInSpeakers());
  const auto usb = plug(presets::usbInterface());

  BroadcastSession session(environment(), {tv, speakers, usb}, /*muted=*/true);

  const auto description = sim.aggregateDescription(session.aggregateID());
  ASSERT_TRUE(description);
  const std::string uid = (*description)["uid"];
  EXPECT_TRUE(std::regex_match(uid, std::regex("app\\.choralink\\.agg\\.[0-9A-F]{8}-[0-9A-F]{4}-"
                                               "[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
      << uid;
  const nlohmann::json expected = {{"name", "Choralink"},
                                   {"uid", uid},
                                   {"private", 1},
                                   {"stacked", 0},
                                   {"master", presets::kSpeakersUID},
                                   {"subdevices",
                                    {{{"uid", presets::kTVUID}, {"drift", 1}},
                                     {{"uid", presets::kSpeakersUID}, {"drift", 0}},
                                     {{"uid", presets::kUSBInterfaceUID}, {"drift", 1}}}},
                                   {"taps", {{{"uid", session.tap().uid()}, {"drift", 1}}}},
                                   {"tapautostart", 1}};
  EXPECT_EQ(*description, expected);
  EXPECT_TRUE(sim.systemOutputMuted());

  EXPECT_EQ(session.rate(), 48000);
  EXPECT_EQ(session.maxDelayFrames(), 48000);
  EXPECT_EQ(session.slots(), (std::vector<SlotInfo>{{presets::kTVUID, 0, tv},
                                                    {presets::kSpeakersUID, 1, speakers},
                                                    {presets::kUSBInterfaceUID, 2, usb}}));

  // The joins took as long as the slowest device (0.15 s) on the queue's clock.
  EXPECT_GE(clock.now(), 0.15);
  EXPECT_LT(clock.now(), 0.25);

  // Only the tap's stream (after the interface's microphone input) reaches
  // the IO procedure.
  ASSERT_TRUE(session.procID());
  EXPECT_EQ(streamUsage(session.aggregateID(), *session.procID(), 2),
            (std::vector<std::uint32_t>{0, 1}));
  EXPECT_TRUE(logs.contains(LogLevel::info,
                            "Aggregate 48000 Hz, clock=MacBook Pro Speakers, out=[2, 2, 2, 2], "
                            "in=[2, 2], tap buffer=1x1"));
  EXPECT_EQ(sim.liveObjects(), (sim::ObjectCounts{1, 1, 1, 0}));

  // Registered, not started: the owner starts the IO.
  EXPECT_FALSE(sim.isRunning(session.aggregateID()));
  ASSERT_EQ(sim.startDevice(session.aggregateID(), *session.procID()), kStatusOK);
  sim.stepIO(0.1);
  EXPECT_GT(cl_render_heartbeat(session.render()), 0u);

  session.teardown();
  EXPECT_TRUE(session.isTornDown());
  EXPECT_EQ(session.render(), nullptr);
  expectNothingLeft();
  EXPECT_FALSE(sim.systemOutputMuted());
}

TEST_F(BroadcastSessionTest, NoDevicesIsAnErrorBeforeAnythingIsCreated) {
  expectThrown([&] { BroadcastSession(environment(), {}, false); },
               HALError(-1, "No output devices selected"));
  expectNothingLeft();
}

// The broadcast runs at the tap's rate (48 kHz when it names none); a device
// off it by more than half a hertz is moved for the broadcast, journalled, and
// put back by the teardown. An unreadable current rate falls back to the
// device record's.
TEST_F(BroadcastSessionTest, ChangesADevicesRateForTheBroadcastAndPutsItBack) {
  const struct {
    double nominal;
    double tapRate;
    bool currentUnreadable;
  } cases[] = {
      {44100, 48000, false}, {44100, 0, false}, {44100, 48000, true}, {48000.3, 48000, false}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(++n);
    sim.setTapFormat({c.tapRate, 2, false});
    sim::DeviceSpec spec = presets::usbHeadset();
    spec.nominalRate = c.nominal;
    spec.uid += std::to_string(n);
    const auto headset = plug(spec);
    if (c.currentUnreadable)
      sim.failProperty({.object = headset.objectID,
                        .selector = kPropNominalSampleRate,
                        .access = sim::Access::read,
                        .times = 1});
    logs.clear();
    BroadcastSession session(environment(), {headset}, false);
    if (c.nominal == 48000.3) {
      EXPECT_EQ(rateOf(headset.uid), 48000.3);
      EXPECT_TRUE(session.restoreRates().empty());
      EXPECT_TRUE(logs.startingWith("Set ").empty());
      EXPECT_FALSE(fs::exists(journal));
      session.teardown();
      continue;
    }
    EXPECT_EQ(session.rate(), 48000);
    EXPECT_EQ(rateOf(headset.uid), 48000);
    EXPECT_EQ(journalEntries(), (RateJournal::Entries{{headset.uid, 44100}}));
    EXPECT_EQ(session.restoreRates(), (std::vector<RateChange>{{headset.uid, 44100, true}}));
    EXPECT_TRUE(logs.contains(LogLevel::info, "Set USB Headset to 48000 Hz (was 44100)"));
    session.teardown();
    EXPECT_EQ(rateOf(headset.uid), 44100);
    EXPECT_FALSE(fs::exists(journal));
    EXPECT_TRUE(session.restoreRates().empty());
  }
}

TEST_F(BroadcastSessionTest, RateFromAnEarlierUncleanRunStaysInTheJournal) {
  // An earlier run changed the interface from 44100 to 96000 and died; the
  // interface was absent at launch, so the journal still names 44100.
  auto spec = presets::usbInterface();
  spec.nominalRate = 96000;
  const auto usb = plug(spec);
  RateJournal::save({{usb.uid, 44100}}, journal);

  BroadcastSession session(environment(), {usb}, false);
  EXPECT_EQ(journalEntries(), (RateJournal::Entries{{usb.uid, 44100}}));
  EXPECT_EQ(session.restoreRates(), (std::vector<RateChange>{{usb.uid, 96000, false}}));

  // The next launch's repair (CrashRecoveryTest) still finds 44100.
  session.teardown();
  EXPECT_EQ(rateOf(usb.uid), 96000);
  EXPECT_EQ(journalEntries(), (RateJournal::Entries{{usb.uid, 44100}}));
}

// A device that cannot run at the broadcast's rate, or refuses the change,
// keeps its own rate and still plays, resampled; a refused change leaves the
// journal as it was.
TEST_F(BroadcastSessionTest, ADeviceThatKeepsItsRateIsResampledAndNotJournalled) {
  RateJournal::save({{"Gone-Device", 96000}}, journal);
  const auto speakers = plug(presets::builtInSpeakers());
  const auto airPods = plug(presets::airPods());  // 44.1 kHz only
  const auto headset = plug(headsetAt44k());
  sim.failProperty({.object = headset.objectID,
                    .selector = kPropNominalSampleRate,
                    .access = sim::Access::write});
  const struct {
    AudioDeviceInfo device;
    std::string warning;
  } cases[] = {{airPods, "AirPods Pro does not support 48000 Hz; relying on aggregate resampling"},
               {headset,
                "Could not set USB Headset to 48000 Hz: set 'nsrt' (1853059700) failed: 'what' "
                "(2003329396); relying on aggregate resampling"}};
  for (const auto& c : cases) {
    BroadcastSession session(environment(), {c.device, speakers}, false);
    EXPECT_EQ(rateOf(c.device.uid), 44100);
    EXPECT_TRUE(logs.contains(LogLevel::warn, c.warning));
    EXPECT_EQ(journalEntries(), (RateJournal::Entries{{"Gone-Device", 96000}}));
    EXPECT_TRUE(session.restoreRates().empty());
    ASSERT_EQ(session.slots().size(), 2u);
    EXPECT_EQ(session.slots()[0].uid, c.device.uid);
    session.teardown();
  }
  expectNothingLeft();
}

// The clock device not joining either, the aggregate log names it by its UID.
TEST_F(BroadcastSessionTest, DevicesThatNeverJoinAreSkippedWithTheirReasonAfterTwoSeconds) {
  auto speakersSpec = presets::builtInSpeakers(), tvSpec = presets::hdmiTV();
  speakersSpec.joinsAggregates = tvSpec.joinsAggregates = false;
  const auto speakers = plug(speakersSpec);
  const auto tv = plug(tvSpec);
  const auto usb = plug(presets::usbInterface());

  BroadcastSession session(environment(), {speakers, tv, usb}, false);

  EXPECT_NEAR(clock.now(), 2.0, BroadcastSession::kJoinPollInterval);
  EXPECT_EQ(session.slots(), (std::vector<SlotInfo>{{usb.uid, 0, usb}}));
  EXPECT_EQ(session.skipped(),
            (std::vector<SkippedDevice>{
                {speakers.uid, "MacBook Pro Speakers couldn't join the broadcast"},
                {tv.uid, "Living Room TV couldn't join the broadcast"}}));
  EXPECT_EQ(
      logs.startingWith("Aggregate "),
      std::vector<std::string>{std::string("Aggregate 48000 Hz, clock=") + presets::kSpeakersUID +
                               ", out=[2, 2], in=[2, 2], tap buffer=1x1"});
  session.teardown();
  expectNothingLeft();
}

TEST_F(BroadcastSessionTest, TeardownLogsARefusedDestructionCarriesOnAndRunsOnce) {
  const auto headset = plug(headsetAt44k());
  BroadcastSession session(environment(), {headset}, false);
  ASSERT_EQ(sim.startDevice(session.aggregateID(), *session.procID()), kStatusOK);
  sim.stepIO(0.05);
  sim.failOperation(sim::Operation::destroyAggregateDevice, kStatusUnspecified, 1);

  session.teardown();

  EXPECT_TRUE(logs.contains(LogLevel::warn,
                            "AudioHardwareDestroyAggregateDevice: " + fourCC(kStatusUnspecified)));
  EXPECT_EQ(sim.liveObjects().taps, 0u);
  EXPECT_EQ(sim.liveObjects().ioProcs, 0u);
  EXPECT_EQ(rateOf(headset.uid), 44100);
  EXPECT_FALSE(fs::exists(journal));
  sim.stepIO(0.05);  // the IO was stopped: the freed render state is not entered
  EXPECT_EQ(sim.destroyAggregateDevice(session.aggregateID()), kStatusOK);

  // It runs once: a second teardown reaching the platform would log refusals.
  logs.clear();
  sim.failOperation(sim::Operation::destroyProcessTap, kStatusBadObject);
  session.teardown();
  EXPECT_TRUE(logs.lines().empty());
}

TEST_F(BroadcastSessionTest, RenderStateOutlivesATeardownThatCouldNotStopTheIO) {
  const auto speakers = plug(presets::builtInSpeakers());
  BroadcastSession session(environment(), {speakers}, false);
  const AudioObjectID aggregate = session.aggregateID();
  const IOProcID proc = *session.procID();
  cl_render* render = session.render();
  ASSERT_EQ(sim.startDevice(aggregate, proc), kStatusOK);
  sim.failOperation(sim::Operation::stopDevice, kStatusUnspecified);
  sim.failOperation(sim::Operation::destroyIOProcID, kStatusUnspecified);
  sim.failOperation(sim::Operation::destroyAggregateDevice, kStatusUnspecified);

  session.teardown();

  EXPECT_TRUE(
      logs.contains(LogLevel::warn, "Render state kept: the broadcast's IO could not be stopped"));
  // The IO still runs into the render state, which must still be there.
  const std::uint64_t beats = cl_render_heartbeat(render);
  sim.stepIO(0.05);
  EXPECT_GT(cl_render_heartbeat(render), beats);

  sim.clearFaults();
  EXPECT_EQ(sim.destroyAggregateDevice(aggregate), kStatusOK);
  cl_render_destroy(render);
}

TEST_F(BroadcastSessionTest, LeftoverAggregatesOfOursAreDestroyedAndOthersLeftAlone) {
  const auto speakers = plug(presets::builtInSpeakers());
  sim.addDevice(presets::userAggregate());
  leaveAggregate("app.choralink.agg.11111111-2222-3333-4444-555555555555");
  const AudioObjectID foreign = leaveAggregate("com.example.agg.1");
  const AudioObjectID lookalike = leaveAggregate("app.choralink.aggregate");
  ASSERT_EQ(sim.aggregateIDs().size(), 3u);

  BroadcastSession::destroyLeftoverAggregates(sim, logs.log());

  EXPECT_EQ(sim.aggregateIDs(), (std::vector<AudioObjectID>{foreign, lookalike}));
  EXPECT_EQ(logs.messages(),
            std::vector<std::string>{
                "Destroying leftover aggregate app.choralink.agg.11111111-2222-3333-4444-"
                "555555555555"});
  EXPECT_TRUE(sim.device(presets::kUserAggregateUID).has_value());

  // A session clears leftovers before it builds its own.
  leaveAggregate("app.choralink.agg.OLD");
  BroadcastSession session(environment(), {speakers}, false);
  auto ids = sim.aggregateIDs();
  EXPECT_EQ(ids.size(), 3u);
  EXPECT_TRUE(logs.contains(LogLevel::warn, "Destroying leftover aggregate app.choralink.agg.OLD"));
  session.teardown();
  EXPECT_EQ(sim.aggregateIDs(), (std::vector<AudioObjectID>{foreign, lookalike}));
  sim.destroyAggregateDevice(foreign);
  sim.destroyAggregateDevice(lookalike);

  // An unreadable device or device list ends the sweep quietly.
  logs.clear();
  sim.failProperty({.object = speakers.objectID, .selector = kPropDeviceUID});
  BroadcastSession::destroyLeftoverAggregates(sim, logs.log());
  sim.clearFaults();
  sim.failProperty({.object = kSystemObject, .selector = kPropDevices});
  BroadcastSession::destroyLeftoverAggregates(sim, logs.log());
  EXPECT_TRUE(logs.lines().empty());
}

TEST_F(BroadcastSessionTest, RestoreKeepsJournalEntriesOfDevicesItCannotReach) {
  auto refusing = presets::usbHeadset();
  refusing.rateSettable = false;
  plug(refusing);
  const auto tv = plug(presets::hdmiTV());
  RateJournal::save({{refusing.uid, 44100}, {tv.uid, 44100}}, journal);

  // An absent device: SessionFailureTest.DeviceUnreachableDuringCleanup….
  BroadcastSession::restore({{refusing.uid, 44100, true}, {tv.uid, 44100, true}}, sim, logs.log(),
                            journal);

  EXPECT_EQ(rateOf(tv.uid), 44100);
  EXPECT_EQ(journalEntries(), (RateJournal::Entries{{refusing.uid, 44100}}));
  EXPECT_EQ(logs.messages(),
            (std::vector<std::string>{"Could not restore sample rate on " + refusing.uid +
                                      ": set 'nsrt' (1853059700) failed: 'nope' (1852797029)"}));
}

TEST_F(BroadcastSessionTest, StreamUsageKeepsExactlyTheTapsStreams) {
  const auto usb = plug(presets::usbInterface());
  BroadcastSession session(environment(), {usb}, false);
  const AudioObjectID aggregate = session.aggregateID();
  const IOProcID proc = *session.procID();

  BroadcastSession::disableInputsExcept(sim, logs.log(), aggregate, proc, 2, {-1, 0});
  EXPECT_EQ(streamUsage(aggregate, proc, 2), (std::vector<std::uint32_t>{0, 0}));
  BroadcastSession::disableInputsExcept(sim, logs.log(), aggregate, proc, 2, {0, 2});
  EXPECT_EQ(streamUsage(aggregate, proc, 2), (std::vector<std::uint32_t>{1, 1}));

  // A procedure the aggregate does not know is refused, and that is logged.
  BroadcastSession::disableInputsExcept(sim, logs.log(), aggregate, proc + 1, 2, {1, 1});
  EXPECT_EQ(logs.startingWith("IOProcStreamUsage"),
            std::vector<std::string>{"IOProcStreamUsage (input) failed: " +
                                     fourCC(kStatusIllegalOperation)});
  session.teardown();
}

}  // namespace
}  // namespace choralink::test
