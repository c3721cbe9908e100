// The on-disk record of changed sample rates, and the launch-time repair.
#include "engine/graph/rate_journal.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/graph/graph_fixture.h"

namespace choralink::test {
namespace {

using sim::presets::builtInSpeakers;
using sim::presets::kSpeakersUID;

class RateJournalTest : public GraphTest {};

TEST_F(RateJournalTest, SavesACompactObjectOfNumbersAndDeletesTheFileWhenEmpty) {
  RateJournal::save({{"BuiltIn", 44100}, {"USB-1", 96000.5}}, journal);
  const std::string text = readFile(journal);
  EXPECT_EQ(text.find(' '), std::string::npos) << text;
  EXPECT_EQ(nlohmann::json::parse(text), (nlohmann::json{{"BuiltIn", 44100}, {"USB-1", 96000.5}}));

  RateJournal::save({}, journal);
  EXPECT_FALSE(fs::exists(journal));
  RateJournal::save({}, journal);  // deleting a missing file is no failure
  EXPECT_FALSE(fs::exists(journal));
}

TEST_F(RateJournalTest, AnythingButAnObjectOfNumbersIsEmptyAndOverwrittenAtTheNextSave) {
  fs::create_directories(journal.parent_path());
  for (const char* bad : {"", "not json", "[44100]", "{\"A\": \"44100\"}",
                          "{\"A\": 44100, \"B\": null}", "{\"A\": 44100"}) {
    writeFile(journal, bad);
    EXPECT_TRUE(journalEntries().empty()) << bad;
  }
  EXPECT_TRUE(RateJournal::load(folder / "missing.json").empty());

  EXPECT_TRUE(RateJournal::record("X", 44100, journal));
  EXPECT_EQ(nlohmann::json::parse(readFile(journal)), (nlohmann::json{{"X", 44100}}));
}

TEST_F(RateJournalTest, RecordKeepsARateFromAnEarlierRunAndForgetSavesOnlyOnChange) {
  EXPECT_TRUE(RateJournal::record("X", 44100, journal));
  EXPECT_FALSE(RateJournal::record("X", 48000, journal));
  EXPECT_EQ(journalEntries(), (RateJournal::Entries{{"X", 44100}}));

  const auto written = fs::last_write_time(journal);
  RateJournal::forget("Y", journal);
  EXPECT_EQ(fs::last_write_time(journal), written);
  RateJournal::forget("X", journal);
  EXPECT_FALSE(fs::exists(journal));
}

TEST_F(RateJournalTest, RatesThatJsonCannotHoldAreNotWrittenSoTheOthersSurvive) {
  RateJournal::save({{"A", 44100}, {"B", std::numeric_limits<double>::infinity()}}, journal);
  EXPECT_EQ(journalEntries(), (RateJournal::Entries{{"A", 44100}}));
}

TEST_F(RateJournalTest, FailuresToWriteOrDeleteAreIgnored) {
  const fs::path blocked = folder / "not-a-folder" / "rate-restore.json";
  writeFile(folder / "not-a-folder", "a file where the folder should be");
  EXPECT_NO_THROW(RateJournal::save({{"A", 44100}}, blocked));
  EXPECT_NO_THROW(RateJournal::save({}, blocked));
  EXPECT_NO_THROW(RateJournal::record("A", 44100, blocked));
  EXPECT_FALSE(fs::exists(blocked));
}

TEST_F(RateJournalTest, RestoreAllKeepsAbsentAndRefusingDevicesForTheNextLaunch) {
  auto speakers = builtInSpeakers();
  speakers.rateSettable = false;
  plug(speakers);
  RateJournal::save({{kSpeakersUID, 44100.7}, {"Gone-Headphones", 96000}}, journal);
  const std::string before = readFile(journal);

  RateJournal::restoreAll(sim, logs.log(), journal);

  EXPECT_TRUE(logs.contains(LogLevel::warn,
                            "Rate journal: device Gone-Headphones not present; will retry next "
                            "launch"));
  EXPECT_TRUE(logs.contains(LogLevel::warn, std::string("Rate journal: could not restore ") +
                                                kSpeakersUID +
                                                ": set 'nsrt' (1853059700) failed: 'nope' "
                                                "(1852797029)"));
  EXPECT_EQ(readFile(journal), before);
  EXPECT_EQ(rateOf(kSpeakersUID), 48000);
}

// An empty journal is no work and no log line.
TEST_F(RateJournalTest, RestoreAllPassesOverUnreadableDevicesAndToleratesAnUnreadableList) {
  const auto speakers = plug(builtInSpeakers());
  plug(sim::presets::hdmiTV());
  RateJournal::restoreAll(sim, logs.log(), journal);
  EXPECT_TRUE(logs.lines().empty());
  EXPECT_FALSE(fs::exists(journal));
  RateJournal::save({{sim::presets::kTVUID, 44100}}, journal);
  sim.failProperty({.object = speakers.objectID, .selector = kPropDeviceUID});
  RateJournal::restoreAll(sim, logs.log(), journal);
  EXPECT_EQ(rateOf(sim::presets::kTVUID), 44100);
  EXPECT_FALSE(fs::exists(journal));

  RateJournal::save({{sim::presets::kTVUID, 32000}}, journal);
  sim.failProperty({.object = kSystemObject, .selector = kPropDevices});
  RateJournal::restoreAll(sim, logs.log(), journal);
  EXPECT_EQ(journalEntries(), (RateJournal::Entries{{sim::presets::kTVUID, 32000}}));
}

}  // namespace
}  // namespace choralink::test
