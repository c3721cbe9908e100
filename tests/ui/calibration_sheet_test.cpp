// Calibration by microphone from the Sync page: the button's enabling and
// its reasons, a run followed to its result and applied, every way out of
// a run leaving the delays alone, failures in words, the delays in use, and
// pictures of the sheet's states in light and dark.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QGridLayout>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <set>

#include "app/model/calibration_model.h"
#include "app/ui/calibration/calibration_sheet.h"
#include "app/ui/palette.h"
#include "app/ui/sync_page.h"
#include "engine/calibration/calibration_texts.h"
#include "tests/app/fake_calibration.h"
#include "tests/ui/ui_fixture.h"

namespace choralink::test {
namespace {

using namespace Qt::StringLiterals;

DeviceCalibration heard(const std::string& uid, const std::string& name, double aheadMs,
                        double confidenceDb, std::int64_t newMs) {
  DeviceCalibration d;
  d.uid = uid;
  d.name = name;
  d.status = DeviceCalibrationStatus::heard;
  d.measuredOffsetMs = aheadMs;
  d.confidenceDb = confidenceDb;
  d.newOffsetMs = newMs;
  return d;
}

DeviceCalibration leftAlone(const std::string& uid, const std::string& name,
                            DeviceCalibrationStatus status, const char* note) {
  DeviceCalibration d;
  d.uid = uid;
  d.name = name;
  d.status = status;
  d.confidenceDb = 6;
  d.note = name + note;
  return d;
}

CalibrationResult typicalResult() {
  CalibrationResult result;
  result.devices = {heard("spk", "Speakers", 38.4, 31, 38),
                    leftAlone("tv", "Living Room TV", DeviceCalibrationStatus::notHeard,
                              CalibrationTexts::kDeviceNotHeard)};
  result.spreadBeforeMs = 38.4;
  result.spreadAfterMs = 0.4;
  return result;
}

// The texts of a grid's cells, row by row.
std::vector<QStringList> cells(QGridLayout& grid) {
  std::vector<QStringList> rows(static_cast<std::size_t>(grid.rowCount()));
  for (int r = 0; r < grid.rowCount(); ++r) {
    for (int c = 0; c < grid.columnCount(); ++c) {
      QLayoutItem* item = grid.itemAtPosition(r, c);
      auto* label = item ? qobject_cast<QLabel*>(item->widget()) : nullptr;
      rows[static_cast<std::size_t>(r)] << (label ? label->text() : QString());
    }
  }
  return rows;
}

class CalibrationSheetTest : public UiTest {
 protected:
  void SetUp() override {
    AudioDeviceInfo tv = device("tv", "Living Room TV", Transport::hdmi);
    tv.latencyFrames = 4800;  // 100 ms against the speakers' 10
    show(settingsWith({"spk", "tv"}), {device("spk", "Speakers"), tv});
    router->breakdown = {{"spk", {0, 0}}, {"tv", {0, 0}}};
    calibration = std::make_unique<CalibrationModel>(clock, control, *model);
    window->setCalibration(calibration.get());
    model->setSection(AppSection::sync);
    settle();
  }
  void TearDown() override {
    UiTest::TearDown();
    calibration.reset();
  }

  ui::SyncPage& page() { return *static_cast<ui::SyncPage*>(window->page(AppSection::sync)); }
  ui::CalibrationSheet& openSheet() {
    page().calibrateButton()->click();
    settle();
    EXPECT_NE(page().calibrationSheet(), nullptr);
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
  EXPECT_FALSE(button.isEnabled());
  EXPECT_EQ(button.toolTip(), QString::fromUtf8(CalibrationTexts::kNotBroadcasting));

  startRunning({"spk", "tv"});
  settle();
  EXPECT_TRUE(button.isEnabled());

  control.mics.clear();  // as on a sound server that lists no sources
  calibration->refreshMicrophones();
  settle();
  EXPECT_FALSE(button.isEnabled());
  EXPECT_EQ(button.toolTip(), QString::fromUtf8(CalibrationTexts::kNoMicrophone));
}

TEST_F(CalibrationSheetTest, DelaysInUseShowEachDevicesPartsWhileBroadcasting) {
  model->setOffset(model->devices()[0], 25);
  startRunning({"spk", "tv"});
  settle();
  const auto line = [&](const char* name) {
    auto* label = named<QLabel>(QString::fromUtf8(name) + u" delay in use"_s, page().delaysCard());
    return label ? label->text() : QString();
  };
  EXPECT_EQ(line("Speakers"), u"10 ms reported · 90 ms pad · 25 ms yours"_s);
  EXPECT_EQ(line("Living Room TV"), u"100 ms reported · 0 ms pad · 0 ms yours"_s);
}

TEST_F(CalibrationSheetTest, ARunShowsItsStepsAndResultAndApplyStoresTheOffsets) {
  control.mics.push_back({8, "mic-2", "Headset Mic", 1, 0, 48000});
  startRunning({"spk", "tv"});
  settle();
  ui::CalibrationSheet& sheet = openSheet();
  ASSERT_EQ(sheet.microphoneChooser()->count(), 2);
  sheet.microphoneChooser()->setCurrentIndex(1);
  Q_EMIT sheet.microphoneChooser()->activated(1);
  sheet.startButton()->click();
  settle();
  EXPECT_EQ(control.started, std::vector<std::string>{"mic-2"});
  EXPECT_FALSE(sheet.startButton()->isEnabled());
  EXPECT_FALSE(sheet.microphoneChooser()->isEnabled());

  const struct {
    CalibrationProgress::Phase phase;
    double fraction;
    const char* step;
  } steps[] = {{CalibrationProgress::Phase::measuring, 0.1, "Measuring device 1 of 2…"},
               {CalibrationProgress::Phase::measuring, 0.3, "Measuring device 2 of 2…"},
               {CalibrationProgress::Phase::verifying, 0.5, "Checking device 1 of 2…"},
               {CalibrationProgress::Phase::verifying, 1.0, "Checking device 2 of 2…"}};
  for (const auto& s : steps) {
    deliver([&](CalibrationCallbacks& c) { c.progress({s.phase, s.fraction}); });
    EXPECT_EQ(sheet.stepText()->text(), QString::fromUtf8(s.step)) << s.fraction;
    EXPECT_EQ(sheet.progressBar()->value(), qRound(s.fraction * 100));
  }
  EXPECT_FALSE(sheet.applyButton()->isEnabled());

  deliver([](CalibrationCallbacks& c) { c.finished(typicalResult()); });
  const std::vector<QStringList> rows = cells(*sheet.resultRows());
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1], (QStringList{u"Speakers"_s, u"38.4 ms"_s, u"31 dB"_s, u"0 → 38 ms"_s}));
  EXPECT_EQ(rows[2], (QStringList{u"Living Room TV"_s, u"—"_s, u"6 dB"_s, u"Not heard"_s}));
  EXPECT_TRUE(sheet.spreadText()->text().contains(u"0.4 ms"_s))
      << sheet.spreadText()->text().toStdString();
  bool noteShown = false;
  for (QLabel* label : sheet.findChildren<QLabel*>())
    noteShown |= label->isVisible() &&
                 label->text().endsWith(QString::fromUtf8(CalibrationTexts::kDeviceNotHeard));
  EXPECT_TRUE(noteShown);
  EXPECT_EQ(model->deviceSettings("spk").offsetMs, 0) << "nothing changes before Apply";

  ASSERT_TRUE(sheet.applyButton()->isEnabled());
  sheet.applyButton()->click();
  settle();
  EXPECT_EQ(model->deviceSettings("spk").offsetMs, 38);
  EXPECT_EQ(model->deviceSettings("tv").offsetMs, 0);
  EXPECT_EQ(page().calibrationSheet(), nullptr);
}

TEST_F(CalibrationSheetTest, EveryWayOutWithoutApplyLeavesTheDelaysAlone) {
  model->setOffset(model->devices()[0], 12);
  startRunning({"spk", "tv"});
  settle();
  const struct {
    const char* name;
    bool finishFirst;
    std::function<void(ui::CalibrationSheet&)> leave;
    int cancels;  // of the run itself
  } ways[] = {
      {"Cancel during the run", false, [](ui::CalibrationSheet& s) { s.cancelButton()->click(); },
       1},
      {"closing during the run", false, [](ui::CalibrationSheet& s) { s.close(); }, 1},
      {"Cancel after the result", true, [](ui::CalibrationSheet& s) { s.cancelButton()->click(); },
       0},
      {"closing after the result", true, [](ui::CalibrationSheet& s) { s.close(); }, 0},
  };
  for (const auto& way : ways) {
    control.cancels = 0;
    ui::CalibrationSheet& sheet = openSheet();
    sheet.startButton()->click();
    settle();
    CalibrationCallbacks run = control.current;
    if (way.finishFirst) deliver([&](CalibrationCallbacks&) { run.finished(typicalResult()); });
    way.leave(sheet);
    settle();
    EXPECT_EQ(control.cancels, way.cancels) << way.name;
    EXPECT_EQ(page().calibrationSheet(), nullptr) << way.name;
    run.finished(typicalResult());  // a late result of the cancelled run
    settle();
    EXPECT_EQ(calibration->phase(), CalibrationModel::Phase::idle) << way.name;
    EXPECT_EQ(model->deviceSettings("spk").offsetMs, 12) << way.name;
  }
}

TEST_F(CalibrationSheetTest, AFailureSaysWhatToDoAndAllowsAnotherTry) {
  startRunning({"spk", "tv"});
  settle();
  ui::CalibrationSheet& sheet = openSheet();
  sheet.startButton()->click();
  settle();
  deliver([](CalibrationCallbacks& c) { c.failed(CalibrationTexts::kTooNoisy); });
  EXPECT_TRUE(sheet.messageText()->isVisible());
  EXPECT_EQ(sheet.messageText()->text(), QString::fromUtf8(CalibrationTexts::kTooNoisy));
  EXPECT_FALSE(sheet.applyButton()->isEnabled());
  EXPECT_TRUE(sheet.startButton()->isEnabled());
  sheet.startButton()->click();
  settle();
  EXPECT_EQ(control.started.size(), 2u);
  EXPECT_FALSE(sheet.messageText()->isVisible());
}

// Each state of the sheet as <state>-<light|dark>.png in
// CHORALINK_SNAPSHOT_DIR (else a temporary folder), checked for not being
// blank.
class CalibrationSnapshots : public CalibrationSheetTest,
                             public ::testing::WithParamInterface<AppearanceMode> {};

TEST_P(CalibrationSnapshots, SheetStates) {
  ui::QtAppPresence presence;
  presence.setAppearance(GetParam());
  TempFolder temp;
  const QByteArray dir = qgetenv("CHORALINK_SNAPSHOT_DIR");
  const std::filesystem::path folder =
      dir.isEmpty() ? temp.path() : std::filesystem::path(dir.toStdString());
  std::filesystem::create_directories(folder);
  startRunning({"spk", "tv"});
  settle();
  ui::CalibrationSheet& sheet = openSheet();
  const auto snapWidget = [&](QWidget& widget, const std::string& state) {
    settle();
    const QImage image = widget.grab().toImage();
    const std::string file =
        "calibration-" + state + (GetParam() == AppearanceMode::dark ? "-dark.png" : "-light.png");
    ASSERT_TRUE(image.save(QString::fromStdString((folder / file).string()))) << file;
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3)
      for (int x = 0; x < image.width(); x += 3)
        colours.insert(image.pixel(x, y));
    EXPECT_GT(colours.size(), 20u) << file << " looks blank";
  };
  const auto snap = [&](const std::string& state) { snapWidget(sheet, state); };
  snap("0-ready");
  sheet.startButton()->click();
  deliver([](CalibrationCallbacks& c) {
    c.progress({CalibrationProgress::Phase::measuring, 0.3});
  });
  snap("1-running");
  deliver([](CalibrationCallbacks& c) { c.finished(typicalResult()); });
  snap("2-result");
  sheet.startButton()->click();
  deliver([](CalibrationCallbacks& c) { c.failed(CalibrationTexts::kTooQuiet); });
  snap("3-failed");
  sheet.close();
  snapWidget(*window, "sync-page");
  presence.setAppearance(AppearanceMode::light);
}

INSTANTIATE_TEST_SUITE_P(Appearances, CalibrationSnapshots,
                         ::testing::Values(AppearanceMode::light, AppearanceMode::dark));

}  // namespace
}  // namespace choralink::test
