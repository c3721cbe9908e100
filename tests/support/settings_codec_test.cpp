#include "support/settings_codec.h"

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace choralink {
namespace {

using nlohmann::json;

AppSettings decodeSettings(const std::string& text) {
  return SettingsCodec::decode(text).settings;
}

// A file holding one top-level member.
AppSettings withMember(const std::string& key, const std::string& valueText) {
  return decodeSettings("{\"" + key + "\": " + valueText + "}");
}

TEST(SettingsCodecTest, OutOfRangeNumbersAreClamped) {
  AppSettings settings = decodeSettings(
      R"({"master_volume": 250, "devices": {"usb": {"volume": -3, "offset_ms": 900}}})");
  EXPECT_EQ(settings.masterVolume, 100);
  ASSERT_EQ(settings.devices.size(), 1u);
  EXPECT_EQ(settings.devices.at("usb"), DeviceSettings(false, 0, 500, false, ""));
}

TEST(SettingsCodecTest, UnknownModeOrAppearanceTakesTheDefault) {
  EXPECT_EQ(withMember("mode", "\"mirror\"").mode, BroadcastMode::mirror);
  EXPECT_EQ(withMember("mode", "\"Mirror\"").mode, BroadcastMode::synced);
  EXPECT_EQ(withMember("mode", "\"broadcast\"").mode, BroadcastMode::synced);
  EXPECT_EQ(withMember("appearance", "\"light\"").appearance, AppearanceMode::light);
  EXPECT_EQ(withMember("appearance", "\"sepia\"").appearance, AppearanceMode::system);
}

TEST(SettingsCodecTest, WrongTypeTakesTheDefaultAndSparesTheOtherMembers) {
  // Each member given as every JSON type it is not; the neighbours must load.
  const std::vector<std::pair<std::string, std::vector<std::string>>> wrongValues = {
      {"schema", {"\"7\"", "true", "null", "[7]", "{}"}},
      {"mode", {"1", "true", "null", "[\"mirror\"]", "{}"}},
      {"master_volume", {"\"50\"", "false", "null", "[50]", "{}"}},
      {"launch_at_login", {"\"yes\"", "1", "null", "[true]", "{}"}},
      {"show_in_dock", {"\"no\"", "0", "null", "[false]", "{}"}},
      {"onboarding_done", {"\"true\"", "1", "null", "[]", "{}"}},
      {"appearance", {"1", "true", "null", "[\"dark\"]", "{}"}},
      {"devices", {"\"x\"", "1", "true", "null", "[]", "[{}]"}},
  };
  const json fileOfNeighbours = {
      {"master_volume", 40}, {"launch_at_login", true}, {"onboarding_done", true},
      {"mode", "mirror"},    {"appearance", "light"},   {"show_in_dock", false},
      {"schema", 5}};
  // A wrong type reads as if the member were absent.
  for (const auto& [key, values] : wrongValues) {
    json absent = fileOfNeighbours;
    absent.erase(key);
    const AppSettings expected = decodeSettings(absent.dump());
    for (const std::string& value : values) {
      SCOPED_TRACE(key + " = " + value);
      json file = fileOfNeighbours;
      file[key] = json::parse(value);
      EXPECT_EQ(decodeSettings(file.dump()), expected);
    }
  }
  EXPECT_EQ(decodeSettings(fileOfNeighbours.dump()).masterVolume, 40);
}

TEST(SettingsCodecTest, NumbersCountOnlyAsWholeSixtyFourBitValues) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  const std::pair<const char*, std::int64_t> schemas[] = {{"1", 3},
                                                          {"-40", 3},
                                                          {"7", 7},
                                                          {"7.0", 7},
                                                          {"7e0", 7},
                                                          {"0.7e1", 7},
                                                          {"700e-2", 7},
                                                          {"70e-1", 7},
                                                          {"1E18", 1'000'000'000'000'000'000},
                                                          {"7.5", 3},
                                                          {"75e-1", 3},
                                                          {"9223372036854775807", kMax},
                                                          {"9223372036854775807.0", kMax},
                                                          {"9223372036854775808", 3},
                                                          {"18446744073709551615", 3},
                                                          {"18446744073709551616", 3},
                                                          {"1e19", 3},
                                                          {"123456789012345678901234567890", 3}};
  for (const auto& [text, schema] : schemas)
    EXPECT_EQ(withMember("schema", text).schema, schema) << text;
  const std::pair<const char*, std::int64_t> volumes[] = {
      {"-1", 0},
      {"50.000", 50},
      {"-0.0", 0},
      {"0e999999999999", 0},
      {"50.5", 100},
      {"0.5", 100},
      {"1e-400", 100},
      {"50.0000000000000000000001", 100},  // a double would round this to 50
      {"-9223372036854775808", 0},
      {"-9223372036854775808.0", 0},
      {"-9223372036854775809", 100},
      {"-1e19", 100}};
  for (const auto& [text, volume] : volumes)
    EXPECT_EQ(withMember("master_volume", text).masterVolume, volume) << text;
}

TEST(SettingsCodecTest, DeviceMembersAreReadOneByOne) {
  AppSettings settings = decodeSettings(R"({"devices": {
      "a": {"enabled": "yes", "volume": 55, "offset_ms": 12.5, "offset_user_set": 1,
            "last_name": 7, "colour": "red"},
      "b": {},
      "c": {"enabled": true, "volume": null, "offset_ms": 30, "offset_user_set": true,
            "last_name": "Desk"}}})");
  ASSERT_EQ(settings.devices.size(), 3u);
  EXPECT_EQ(settings.devices.at("a"), DeviceSettings(false, 55, 0, false, ""));
  EXPECT_EQ(settings.devices.at("b"), DeviceSettings(false, 100, 0, false, ""));
  EXPECT_EQ(settings.devices.at("c"), DeviceSettings(true, 100, 30, true, "Desk"));
}

TEST(SettingsCodecTest, OneDeviceEntryThatIsNotAnObjectEmptiesTheMap) {
  AppSettings settings = decodeSettings(R"({"master_volume": 20, "devices": {
      "good": {"enabled": true, "volume": 80, "offset_ms": 0, "offset_user_set": false,
               "last_name": "Speakers"},
      "bad": 5}})");
  EXPECT_TRUE(settings.devices.empty());
  EXPECT_EQ(settings.masterVolume, 20);
  EXPECT_TRUE(withMember("devices", R"({"a": {}, "b": null})").devices.empty());
  EXPECT_TRUE(withMember("devices", R"({"a": {}, "b": []})").devices.empty());
}

TEST(SettingsCodecTest, UnknownMembersAreKeptAndRetiredOnesDropped) {
  SettingsCodec::Decoded decoded = SettingsCodec::decode(R"({
      "mode": "mirror", "auto_bt_ms": 40, "auto_bt_compensation": true,
      "future_feature": {"nested": [1, 2.5, {"deep": null}], "flag": false},
      "note": "kept", "big": 18446744073709551615, "ratio": 0.1})");
  EXPECT_EQ(decoded.settings.mode, BroadcastMode::mirror);
  json expected = {{"future_feature", {{"nested", {1, 2.5, {{"deep", nullptr}}}}, {"flag", false}}},
                   {"note", "kept"},
                   {"big", 18446744073709551615ull},
                   {"ratio", 0.1}};
  EXPECT_EQ(decoded.extra, expected);
}

TEST(SettingsCodecTest, CarriedNumbersKeepTheirOwnForm) {
  // Our own keys read 2.0 as 2, but a member carried for another version
  // keeps the form it was written in.
  SettingsCodec::Decoded decoded = SettingsCodec::decode(R"({"schema": 4.0, "other": 4.0})");
  EXPECT_EQ(decoded.settings.schema, 4);
  EXPECT_TRUE(decoded.extra.at("other").is_number_float());
  EXPECT_NE(SettingsCodec::encode(decoded.settings, decoded.extra).find("\"other\": 4.0"),
            std::string::npos);
}

TEST(SettingsCodecTest, UnreadableBytesFail) {
  const std::vector<std::string> corrupt = {
      "",
      "not json",
      "{\"mode\": \"mirror\"",
      "{\"mode\": \"mirror\"} trailing",
      "[1, 2]",
      "\"text\"",
      "42",
      "null",
      "{\"a\": \"\xFF\"}",  // not UTF-8
      "{\"a\": 1,}",
      "{'a': 1}",
      "{\"a\": NaN}",
      "{\"a\": 01}",
      // Beyond what a double holds: the JSON library refuses the whole text.
      "{\"schema\": 1e400}",
      "{\"other\": -1e400}",
  };
  for (const std::string& bytes : corrupt) {
    SCOPED_TRACE(bytes);
    try {
      SettingsCodec::decode(bytes);
      ADD_FAILURE() << "decoded";
    } catch (const SettingsDecodeError& error) {
      EXPECT_STRNE(error.what(), "");
    }
  }
}

TEST(SettingsCodecTest, NestingIsBounded) {
  auto nested = [](std::size_t depth) {
    return "{\"deep\": " + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
  };
  EXPECT_NO_THROW(SettingsCodec::decode(nested(SettingsCodec::maxNestingDepth)));
  EXPECT_THROW(SettingsCodec::decode(nested(SettingsCodec::maxNestingDepth + 1)),
               SettingsDecodeError);
  EXPECT_THROW(SettingsCodec::decode(std::string(1'000'000, '[')), SettingsDecodeError);
}

TEST(SettingsCodecTest, EncodesAllKeysPrettyAndSorted) {
  AppSettings settings;
  settings.devices.emplace("b-uid", DeviceSettings(true, 80, 40, true, "Desk"));
  EXPECT_EQ(SettingsCodec::encode(settings, {{"zz", 1}, {"aa", {{"y", 2}, {"x", 1}}}}),
            R"({
  "aa": {
    "x": 1,
    "y": 2
  },
  "appearance": "system",
  "devices": {
    "b-uid": {
      "enabled": true,
      "last_name": "Desk",
      "offset_ms": 40,
      "offset_user_set": true,
      "volume": 80
    }
  },
  "launch_at_login": false,
  "master_volume": 100,
  "mode": "synced",
  "onboarding_done": false,
  "schema": 3,
  "show_in_dock": true,
  "zz": 1
}
)");
}

TEST(SettingsCodecTest, EncodingWritesValuesAsGivenAndOurKeysWin) {
  AppSettings settings;
  settings.masterVolume = 150;  // no clamping on writing
  settings.mode = BroadcastMode::mirror;
  json file = json::parse(SettingsCodec::encode(
      settings, {{"mode", "synced"}, {"auto_bt_ms", 40}, {"devices", 1}, {"kept", true}}));
  EXPECT_EQ(file.at("master_volume"), 150);
  EXPECT_EQ(file.at("mode"), "mirror");
  EXPECT_EQ(file.at("devices"), json::object());
  EXPECT_EQ(file.at("kept"), true);
  EXPECT_EQ(file.size(), 9u);  // our eight and "kept": the retired key is gone
}

TEST(SettingsCodecTest, InvalidUtf8InANameIsReplacedNotFatal) {
  AppSettings settings;
  settings.devices.emplace("uid-\xFE", DeviceSettings(true, 50, 0, false, "Card \xC3"));
  AppSettings reread = decodeSettings(SettingsCodec::encode(settings));
  ASSERT_EQ(reread.devices.size(), 1u);
  EXPECT_EQ(reread.devices.begin()->first, "uid-\xEF\xBF\xBD");
  EXPECT_EQ(reread.devices.begin()->second.lastName, "Card \xEF\xBF\xBD");
}

TEST(SettingsCodecTest, EncodedSettingsDecodeToTheSameValues) {
  AppSettings settings;
  settings.schema = 9;
  settings.mode = BroadcastMode::mirror;
  settings.masterVolume = 0;
  settings.launchAtLogin = true;
  settings.showInDock = false;
  settings.onboardingDone = true;
  settings.appearance = AppearanceMode::dark;
  settings.devices.emplace("usb:1", DeviceSettings(true, 0, 500, true, "Scarlett \"2i2\""));
  settings.devices.emplace("bt:aa", DeviceSettings(false, 100, 0, false, "Kopfhörer ♪"));
  json extra = {{"later", {{"list", {1, "two", nullptr}}}}};
  SettingsCodec::Decoded again = SettingsCodec::decode(SettingsCodec::encode(settings, extra));
  EXPECT_EQ(again.settings, settings);
  EXPECT_EQ(again.extra, extra);
}

}  // namespace
}  // namespace choralink
