// Calibration by microphone from the Sync page: the button and its reasons,
// the delays in use, a run followed to its result and applied, every way out
// leaving the delays alone, and a failure in words.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "app/ui/sync_page.h"
#include "engine/calibration/calibration_texts.h"
#include "tests/app/fake_calibration.h"
#include "tests/ui/ui_fixture.h"

namespace choralink::test {
namespace {

using namespace Qt::StringLiterals;
using Status = DeviceCalibrationStatus;

CalibrationResult typicalResult() {
  CalibrationResult result{{{"spk", "Speakers", Status::heard, 31, 38.4, 0, 38, ""},
                            {"tv", "Living Room TV", Status::notHeard, 6, 0, 0, 0,
                             std::string("Living Room TV") + CalibrationTexts::kDeviceNotHeard}},
                           38.4,
                           0.4};
  return result;
}

class CalibrationSheetTest : public UiTest {
 protected:
  void SetUp() override {
    AudioDeviceInfo roomTV = device("tv", "Living Room TV", Transport::hdmi);
    roomTV.latencyFrames = 4800;  // 100 ms against the speakers' 10
    show(settingsWith({"spk", "tv"}), {device("spk", "Speakers"), roomTV});
    router->breakdown = {{"spk", {}}, {"tv", {}}};
    calibration = std::make_unique<CalibrationModel>(clock, control, *model);
    window->setCalibration(calibration.get());
    model->setSection(AppSection::sync);
  }
  void TearDown() override {
    UiTest::TearDown();
    calibration.reset();
  }
  ui::SyncPage& page() { return *static_cast<ui::SyncPage*>(window->page(AppSection::sync)); }
  void broadcast() {
    startRunning({"spk", "tv"});
    settle();
  }
  ui::CalibrationSheet& openAndStart() {
    page().calibrateButton()->click();
    page().calibrationSheet()->startButton()->click();
    settle();
    return *page().calibrationSheet();
  }
  void deliver(const std::function<void(CalibrationCallbacks&)>& engine) {
    engine(control.current);
    settle();
  }

  FakeCalibration control;
  std::unique_ptr<CalibrationModel> calibration;
};

TEST_F(CalibrationSheetTest, ButtonNeedsABroadcastAndAMicrophoneAndSaysWhich) {
  QPushButton& button = *page().calibrateButton();
  settle();
  EXPECT_FALSE(button.isEnabled());
  EXPECT_EQ(button.toolTip(), QString::fromUtf8(CalibrationTexts::kNotBroadcasting));
  broadcast();
  EXPECT_TRUE(button.isEnabled());
  control.mics.clear();  // as on a sound server that lists no sources
  calibration->refreshMicrophones();
  settle();
  EXPECT_FALSE(button.isEnabled());
  EXPECT_EQ(button.toolTip(), QString::fromUtf8(CalibrationTexts::kNoMicrophone));
}

TEST_F(CalibrationSheetTest, DelaysInUseShowEachDevicesParts) {
  model->setOffset(model->devices()[0], 25);
  broadcast();
  const auto line = [&](const QString& name) {
    return named<QLabel>(name + u" delay in use"_s, page().delaysCard())->text();
  };
  EXPECT_EQ(line(u"Speakers"_s), u"10 ms reported · 90 ms pad · 25 ms yours"_s);
  EXPECT_EQ(line(u"Living Room TV"_s), u"100 ms reported · 0 ms pad · 0 ms yours"_s);
}

TEST_F(CalibrationSheetTest, ARunShowsItsStepsAndResultAndApplyStoresTheOffsets) {
  control.mics.push_back({8, "mic-2", "Headset Mic", 1, 0, 48000});
  broadcast();
  page().calibrateButton()->click();
  ui::CalibrationSheet& sheet = *page().calibrationSheet();
  Q_EMIT sheet.microphoneChooser()->activated(1);
  click(sheet.startButton());
  EXPECT_EQ(control.started, std::vector<std::string>{"mic-2"});
  EXPECT_FALSE(sheet.startButton()->isEnabled());

  using Phase = CalibrationProgress::Phase;
  const std::tuple<Phase, double, const char*> steps[] = {
      {Phase::measuring, 0.1, "Measuring device 1 of 2…"},
      {Phase::measuring, 0.3, "Measuring device 2 of 2…"},
      {Phase::verifying, 1.0, "Checking device 2 of 2…"}};
  for (const auto& [phase, fraction, step] : steps) {
    deliver([&](CalibrationCallbacks& c) { c.progress({phase, fraction}); });
    EXPECT_EQ(sheet.stepText()->text(), QString::fromUtf8(step)) << fraction;
    EXPECT_EQ(sheet.progressBar()->value(), qRound(fraction * 100));
  }
  EXPECT_FALSE(sheet.applyButton()->isEnabled());

  deliver([](CalibrationCallbacks& c) { c.finished(typicalResult()); });
  const QStringList expected[] = {{u"Speakers"_s, u"38.4 ms"_s, u"31 dB"_s, u"0 → 38 ms"_s},
                                  {u"Living Room TV"_s, u"—"_s, u"6 dB"_s, u"Not heard"_s}};
  for (int row = 1; row <= 2; ++row) {
    QStringList cells;
    for (int c = 0; c < 4; ++c)
      cells << static_cast<QLabel*>(sheet.resultRows()->itemAtPosition(row, c)->widget())->text();
    EXPECT_EQ(cells, expected[row - 1]);
  }
  EXPECT_TRUE(sheet.spreadText()->text().startsWith(u"Spread after calibration: 0.4 ms"_s));

  // Which offsets an apply stores is CalibrationModelTest's; the button applies.
  click(sheet.applyButton());
  EXPECT_EQ(model->deviceSettings("spk").offsetMs, 38);
  EXPECT_EQ(page().calibrationSheet(), nullptr);
}

TEST_F(CalibrationSheetTest, EveryWayOutWithoutApplyLeavesTheDelaysAlone) {
  model->setOffset(model->devices()[0], 12);
  broadcast();
  const auto cancel = [](ui::CalibrationSheet& s) { s.cancelButton()->click(); };
  const auto close = [](ui::CalibrationSheet& s) { s.close(); };
  const std::tuple<const char*, bool, std::function<void(ui::CalibrationSheet&)>> ways[] = {
      {"Cancel during the run", false, cancel},
      {"closing during the run", false, close},
      {"Cancel after the result", true, cancel},
      {"closing after the result", true, close}};
  for (const auto& [way, finishFirst, leave] : ways) {
    control.cancels = 0;
    ui::CalibrationSheet& sheet = openAndStart();
    const CalibrationCallbacks run = control.current;
    if (finishFirst) deliver([&](CalibrationCallbacks&) { run.finished(typicalResult()); });
    leave(sheet);
    settle();
    EXPECT_EQ(control.cancels, finishFirst ? 0 : 1) << way << ": the run itself is stopped";
    EXPECT_EQ(page().calibrationSheet(), nullptr) << way;
    run.finished(typicalResult());  // late
    settle();
    EXPECT_EQ(calibration->phase(), CalibrationModel::Phase::idle) << way;
    EXPECT_EQ(model->deviceSettings("spk").offsetMs, 12) << way;
  }
}

TEST_F(CalibrationSheetTest, AFailureSaysWhatToDoAndAllowsAnotherTry) {
  broadcast();
  ui::CalibrationSheet& sheet = openAndStart();
  deliver([](CalibrationCallbacks& c) { c.failed(CalibrationTexts::kTooNoisy); });
  EXPECT_TRUE(sheet.messageText()->isVisible());
  EXPECT_EQ(sheet.messageText()->text(), QString::fromUtf8(CalibrationTexts::kTooNoisy));
  EXPECT_FALSE(sheet.applyButton()->isEnabled());
  click(sheet.startButton());
  EXPECT_EQ(control.started.size(), 2u);
  EXPECT_FALSE(sheet.messageText()->isVisible());

  deliver([](CalibrationCallbacks& c) { c.failed(CalibrationTexts::kBroadcastStopped); });
  send(EngineEvent::stopped(StopReason::user()));
  settle();
  EXPECT_FALSE(sheet.startButton()->isEnabled()) << "another try needs the broadcast";
}

}  // namespace
}  // namespace choralink::test
