// The rules behind the main window's texts and controls, as tables.
#include "app/ui/view_rules.h"

#include <gtest/gtest.h>

namespace choralink::ui {
namespace {

TEST(DelayCommitTest, KeepsDigitsClampsAndRestoresWhatIsNotANumber) {
  struct Case {
    std::string typed;
    std::int64_t current;
    std::string shows;
    std::optional<std::int64_t> reports;
  };
  const Case cases[] = {
      {"1a2", 40, "12", 12},
      {"900", 40, "500", 500},
      {"", 40, "40", std::nullopt},
      {"ms", 40, "40", std::nullopt},
      {"-20", 40, "20", 20},                                // the sign is not a digit
      {"040", 40, "40", std::nullopt},                      // same value: nothing to report
      {"99999999999999999999999", 40, "40", std::nullopt},  // not a representable integer
      {" 0 ", 5, "0", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    const DelayCommit result = commitDelay(c.typed, c.current);
    EXPECT_EQ(result.text, c.shows);
    EXPECT_EQ(result.value, c.reports);
  }
}

TEST(LevelMeterRulesTest, LitSegmentsFollowTheLevelInDecibels) {
  struct Case {
    float level;
    int count;
    int lit;
  };
  const Case cases[] = {
      {1.0f, 10, 10},    {0.0316f, 10, 4},  // −30 dBFS
      {0.00316f, 10, 0}, {0.0f, 10, 0},     // −50 dBFS and silence
      {0.5f, 10, 8},     {2.0f, 10, 10},    // −6 dBFS; above full scale stays full
      {1.0f, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.level << " on " << c.count);
    EXPECT_EQ(meterLitSegments(c.level, c.count), c.lit);
  }
}

TEST(LevelMeterRulesTest, SegmentsFitTheWidthAndColourByPosition) {
  EXPECT_EQ(meterSegmentCount(176, 14), 10);  // (176 + 4) / 18
  EXPECT_EQ(meterSegmentCount(10, 14), 1);    // always at least one
  EXPECT_DOUBLE_EQ(meterSegmentWidth(176, 10), 14.0);

  using enum SegmentTone;
  std::vector<SegmentTone> tones;
  for (int i = 0; i < 10; ++i)
    tones.push_back(meterSegmentTone(i, 10, 10, false));
  EXPECT_EQ(tones, (std::vector{teal, teal, teal, teal, teal, mint, mint, mint, mint, orange}));
  EXPECT_EQ(meterSegmentTone(0, 1, 1, false), teal);
  EXPECT_EQ(meterSegmentTone(4, 10, 4, false), unlit);
  EXPECT_EQ(meterSegmentTone(4, 10, 4, true), unlitDimmed);
}

TEST(DeviceDetailsTest, RateTransportAndHowTheDefaultOutputPlays) {
  for (const auto& [rate, label] : std::vector<std::pair<double, std::string>>{
           {48000, "48 kHz"}, {44100, "44.1 kHz"}, {88200, "88.2 kHz"}, {192000, "192 kHz"}})
    EXPECT_EQ(rateLabel(rate), label);

  AudioDeviceInfo device;
  device.nominalRate = 44100;
  device.transport = Transport::usb;
  EXPECT_EQ(detailsLine(device, false), "44.1 kHz · USB");
  device.isDefaultOutput = true;
  EXPECT_EQ(detailsLine(device, false), "44.1 kHz · USB · System default");
  EXPECT_EQ(detailsLine(device, true), "44.1 kHz · USB · Playing directly");
  device.transport = Transport::airPlay;
  device.supportStatus = SupportStatus::airPlayUnsupported;
  EXPECT_EQ(detailsLine(device, false), "AirPlay isn't supported yet");
}

std::vector<BannerKind> kinds(const BannerFacts& facts) {
  std::vector<BannerKind> result;
  for (const BannerContent& banner : chooseBanners(facts))
    result.push_back(banner.kind);
  return result;
}

TEST(BannerChoiceTest, EachBannerShowsOnItsConditionInTheFixedOrderAndPrivacyButtonsNeedALink) {
  using enum BannerKind;
  EXPECT_TRUE(kinds({}).empty());

  BannerFacts all;
  all.captureBlocked = true;
  all.captureSilent = true;
  all.running = true;  // as after a blocked stop the engine came back
  all.enabledBluetoothCount = 3;
  all.mirrorMode = true;
  all.bluetoothDefaultOutput = "Buds";
  const std::vector<BannerKind> every{captureBlocked, captureSilent, manyBluetooth,
                                      mirrorBluetoothDefault};
  EXPECT_EQ(kinds(all), every);

  // One condition short: that banner alone goes.
  const std::pair<void (*)(BannerFacts&), BannerKind> missing[] = {
      {[](BannerFacts& f) { f.isSharing = true; }, captureBlocked},
      {[](BannerFacts& f) { f.running = false; }, captureSilent},
      {[](BannerFacts& f) { f.enabledBluetoothCount = 2; }, manyBluetooth},
      {[](BannerFacts& f) { f.mirrorMode = false; }, mirrorBluetoothDefault},
      {[](BannerFacts& f) { f.bluetoothDefaultOutput.reset(); }, mirrorBluetoothDefault},
  };
  for (const auto& [change, absent] : missing) {
    BannerFacts facts = all;
    change(facts);
    std::vector<BannerKind> expected = every;
    std::erase(expected, absent);
    EXPECT_EQ(kinds(facts), expected) << static_cast<int>(absent);
  }

  EXPECT_EQ(chooseBanners(all)[0].actionTitle, "");  // no privacy pane to link to
  EXPECT_EQ(chooseBanners(all)[2].title, "3 Bluetooth devices");
  all.privacySettingsURL = "settings://privacy";
  EXPECT_EQ(chooseBanners(all)[0].action, BannerAction::openPrivacySettings);
  EXPECT_FALSE(chooseBanners(all)[0].actionTitle.empty());
}

TEST(ButtonRulesTest, EnablingAndCounts) {
  const std::pair<EngineState, bool> syncTest[] = {
      {EngineState::running(), true},     {EngineState::starting(), false},
      {EngineState::rebuilding(), false}, {EngineState::off(), false},
      {EngineState::failed("x"), false},
  };
  for (const auto& [state, enabled] : syncTest) {
    EXPECT_EQ(syncTestEnabled(state), enabled) << state;
  }
  EXPECT_FALSE(broadcastButtonEnabled(false, 0));
  EXPECT_TRUE(broadcastButtonEnabled(false, 1));
  EXPECT_TRUE(broadcastButtonEnabled(true, 0));

  EXPECT_EQ(broadcastValue(false, 3), "Off");
  EXPECT_EQ(broadcastValue(true, 1), "1 device");
  EXPECT_EQ(broadcastValue(true, 3), "3 devices");
}

}  // namespace
}  // namespace choralink::ui
