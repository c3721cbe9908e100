// The calibration sheet's model: it carries a run's outcome to the model's
// thread and applies proposals as the user's own offsets, or nothing. When
// it is enabled, how far a run is and a cancelled run are the sheet's suite (tests/ui).
#include "app/model/calibration_model.h"

#include <gtest/gtest.h>

#include "engine/calibration/calibration_texts.h"
#include "tests/app/app_fixture.h"
#include "tests/app/fake_calibration.h"

namespace choralink::test {
namespace {

class CalibrationModelTest : public AppModelTest {
 protected:
  void SetUp() override {
    buildWith(settingsWith({"spk", "tv"}));
    startRunning({"spk", "tv"});
    sheet = std::make_unique<CalibrationModel>(clock, control, *model);
  }
  void finishWith(CalibrationResult result) {
    control.current.finished(result);
    advance(0);
  }

  FakeCalibration control;
  std::unique_ptr<CalibrationModel> sheet;
};

TEST_F(CalibrationModelTest, StartWithoutAMicrophoneFailsAndStartsNothing) {
  control.mics.clear();
  sheet->refreshMicrophones();
  sheet->start();
  EXPECT_EQ(sheet->phase(), CalibrationModel::Phase::failed);
  EXPECT_EQ(sheet->message(), CalibrationTexts::kNoMicrophone);
  EXPECT_TRUE(control.started.empty());
}

TEST_F(CalibrationModelTest, ApplySetsHeardDevicesOffsetsAndLeavesTheOthers) {
  sheet->start();
  ASSERT_EQ(control.started, std::vector<std::string>{"mic-1"});
  CalibrationResult result;
  result.devices = {{"spk", "Speakers", DeviceCalibrationStatus::heard, 30, 10, 0, 23, ""},
                    {"tv", "TV", DeviceCalibrationStatus::vanished, 0, 0, 0, 99, ""}};
  finishWith(result);
  ASSERT_EQ(sheet->phase(), CalibrationModel::Phase::finished);
  EXPECT_EQ(model->deviceSettings("spk").offsetMs, 0) << "nothing changes before apply";

  EXPECT_TRUE(sheet->apply());
  EXPECT_EQ(model->deviceSettings("spk").offsetMs, 23);
  EXPECT_TRUE(model->deviceSettings("spk").offsetUserSet);
  EXPECT_EQ(model->deviceSettings("tv").offsetMs, 0);
  EXPECT_FALSE(sheet->apply()) << "a result applies once";
}

}  // namespace
}  // namespace choralink::test
