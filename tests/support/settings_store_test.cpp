#include "support/settings_store.h"

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/log_capture.h"
#include "tests/support/support_fixture.h"

namespace choralink {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::listFolder;
using test::readFile;
using test::TempFolder;
using test::writeFile;

// A store on settings.json in a private folder, reporting to a private log
// whose lines the tests read back.
class SettingsStoreTest : public ::testing::Test {
 protected:
  fs::path file() const { return folder / "settings.json"; }
  fs::path badFile() const { return folder / "settings.json.bad"; }

  std::vector<std::string> logged() { return test::fileMessages(log); }

  json savedFile() { return json::parse(readFile(file())); }

  TempFolder folder;
  TempFolder logFolder;
  Log log{logFolder / "choralink.log", Log::SystemLogSink{}};
  SettingsStore store{file(), log};
};

TEST_F(SettingsStoreTest, MissingFileGivesDefaultsAndNeitherConstructionNorLoadCreatesIt) {
  EXPECT_TRUE(listFolder(folder.path()).empty());
  EXPECT_EQ(store.load(), AppSettings());
  EXPECT_TRUE(listFolder(folder.path()).empty());
  EXPECT_TRUE(logged().empty());
}

// Which members are carried and which retired is SettingsCodecTest's table.
TEST_F(SettingsStoreTest, UnknownMembersSurviveASave) {
  writeFile(file(), R"({"equaliser": {"bands": [3, -2.5, 0], "preset": "warm"}})");
  AppSettings settings = store.load();
  settings.masterVolume = 70;
  store.save(settings);

  json saved = savedFile();
  EXPECT_EQ(saved.at("equaliser"), json::parse(R"({"bands": [3, -2.5, 0], "preset": "warm"})"));
  EXPECT_EQ(saved.at("master_volume"), 70);
  // ...and every later save carries it too.
  store.save(AppSettings());
  EXPECT_TRUE(savedFile().contains("equaliser"));
}

// What a load carried for other versions survives a file that went away, not
// one that turned corrupt.
TEST_F(SettingsStoreTest, WhatWasCarriedOutlivesAMissingFileButNotACorruptOne) {
  for (const bool corrupt : {false, true}) {
    writeFile(file(), R"({"later": 1})");
    store.load();
    corrupt ? (void)writeFile(file(), "{broken") : (void)fs::remove(file());
    store.load();
    store.save(AppSettings());
    EXPECT_EQ(savedFile().contains("later"), !corrupt);
  }
}

TEST_F(SettingsStoreTest, AFolderInPlaceOfTheFileIsUnreadableNotCorrupt) {
  fs::create_directory(file());
  EXPECT_EQ(store.load(), AppSettings());
  EXPECT_TRUE(fs::is_directory(file()));
  EXPECT_FALSE(fs::exists(badFile()));
  EXPECT_TRUE(logged().empty());
}

// The warning names settings.json whatever the file is called.
TEST_F(SettingsStoreTest, CorruptFileIsMovedAsideAndLogged) {
  for (const std::string name : {"settings.json", "preferences.json"}) {
    writeFile(folder / name, "this is not JSON");
    EXPECT_EQ(SettingsStore(folder / name, log).load(), AppSettings());
    EXPECT_FALSE(fs::exists(folder / name));
    EXPECT_EQ(readFile(folder / (name + ".bad")), "this is not JSON") << name;
    const std::string line = logged().back();
    EXPECT_TRUE(line.starts_with("[WARN] settings.json was corrupt; moved to settings.json.bad ("))
        << line;
    EXPECT_TRUE(line.ends_with(")"));
  }
  EXPECT_EQ(logged().size(), 2u);
}

TEST_F(SettingsStoreTest, CorruptFileThatCannotBeMovedAsideIsKeptAndNeverSavedOver) {
  writeFile(file(), "this is not JSON");
  fs::create_directory(badFile());
  writeFile(badFile() / "inside", "someone's");
  EXPECT_EQ(store.load(), AppSettings());
  EXPECT_EQ(readFile(file()), "this is not JSON");
  EXPECT_EQ(readFile(badFile() / "inside"), "someone's");
  const std::vector<std::string> messages = logged();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("could not be moved aside"), std::string::npos) << messages[0];
  EXPECT_NE(messages[0].find("kept at " + file().string()), std::string::npos) << messages[0];
  EXPECT_NE(store.warning().find(file().string()), std::string::npos) << store.warning();

  AppSettings settings;
  settings.onboardingDone = true;
  store.save(settings);
  EXPECT_EQ(readFile(file()), "this is not JSON");
}

TEST_F(SettingsStoreTest, CorruptFileReplacesAnOlderBadFileAndIsNeverOverwritten) {
  writeFile(badFile(), "older corruption");
  writeFile(file(), "[\"top level is an array\"]");
  store.load();
  EXPECT_EQ(readFile(badFile()), "[\"top level is an array\"]");

  AppSettings settings;
  settings.onboardingDone = true;
  store.save(settings);
  EXPECT_EQ(store.load(), settings);
  EXPECT_EQ(readFile(badFile()), "[\"top level is an array\"]");
}

TEST_F(SettingsStoreTest, SaveIntoAnUnwritableFolderIsLoggedNotThrown) {
  writeFile(folder / "not-a-folder", "");
  SettingsStore stranded(folder / "not-a-folder" / "settings.json", log);
  EXPECT_NO_THROW(stranded.save(AppSettings()));
  std::vector<std::string> messages = logged();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0].starts_with("[ERROR] Could not save settings: ")) << messages[0];
}

TEST_F(SettingsStoreTest, ConcurrentLoadsNeverSeeAHalfWrittenFile) {
  // Writers and readers on separate stores of the same file: only the atomic
  // replacement keeps readers from ever meeting a partial file.
  std::vector<AppSettings> versions;
  for (int n = 0; n < 4; ++n) {
    AppSettings settings;
    settings.masterVolume = n * 10;
    for (int d = 0; d < 200; ++d) {
      settings.devices.emplace("device-" + std::to_string(d),
                               DeviceSettings(d % 2 == 0, d % 101, n, false, "name"));
    }
    versions.push_back(settings);
  }
  store.save(versions[0]);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        SettingsStore writer(file(), log);
        for (int n = 0; n < 40; ++n)
          writer.save(versions[(n + t) % versions.size()]);
      });
      threads.emplace_back([&] {
        SettingsStore reader(file(), log);
        for (int n = 0; n < 40; ++n) {
          AppSettings seen = reader.load();
          EXPECT_NE(std::find(versions.begin(), versions.end(), seen), versions.end());
        }
      });
    }
  }
  EXPECT_FALSE(fs::exists(badFile()));
  EXPECT_TRUE(logged().empty());
}

}  // namespace
}  // namespace choralink
