// Pictures of the panel, each settings tab and the feedback sheet's states,
// light and dark, each checked for its size and for not being blank (the
// onboarding sheet is pictured by the application binary's own snapshots). Written to
// CHORALINK_SNAPSHOT_DIR when that is set (for looking at them), else to a temporary folder.
#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <set>

#include "app/ui/feedback/feedback_sheet.h"
#include "app/ui/palette.h"
#include "app/ui/panel/menu_bar_panel.h"
#include "app/ui/settings/settings_window.h"
#include "tests/ui/feedback_fixture.h"
#include "tests/ui/ui_fixture.h"

namespace choralink::test {
namespace {

using namespace Qt::StringLiterals;

class SnapshotsTest : public UiTest, public ::testing::WithParamInterface<AppearanceMode> {
 protected:
  void SetUp() override {
    const QByteArray dir = qgetenv("CHORALINK_SNAPSHOT_DIR");
    folder = dir.isEmpty() ? temp.path() : std::filesystem::path(dir.toStdString());
    std::filesystem::create_directories(folder);
    presence.setAppearance(GetParam());
  }
  void TearDown() override {
    presence.setAppearance(AppearanceMode::light);
    UiTest::TearDown();
  }

  void launch() {
    AppSettings settings = settingsWith({"spk", "tv"});
    settings.devices.at("tv").volume = 60;
    show(settings, {spk, tv, buds, air});
  }

  // Saves `widget` as <name>-<light|dark>.png and checks the picture.
  void snap(QWidget& widget, const std::string& name, QSize atLeast) {
    settle();
    const QImage image = widget.grab().toImage();
    const std::string file =
        name + (GetParam() == AppearanceMode::dark ? "-dark.png" : "-light.png");
    ASSERT_TRUE(image.save(QString::fromStdString((folder / file).string()))) << file;
    EXPECT_GE(image.width(), atLeast.width()) << file;
    EXPECT_GE(image.height(), atLeast.height()) << file;
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3) {
      for (int x = 0; x < image.width(); x += 3)
        colours.insert(image.pixel(x, y));
    }
    EXPECT_GT(colours.size(), 20u) << file << " looks blank";
  }

  ui::QtAppPresence presence;
  TempFolder temp;
  std::filesystem::path folder;
};

TEST_P(SnapshotsTest, PanelAndSettingsTabs) {
  launch();
  startRunning({"spk", "tv"});
  ui::MenuBarPanel panel(*model, *bridge);
  panel.showAt(QRect(1500, 4, 24, 24));
  snap(panel, "panel", {ui::MenuBarPanel::kWidth, 200});
  panel.hide();

  ui::SettingsWindow settings(*model, *bridge);
  settings.present();
  const char* tabs[] = {"settings-general", "settings-sync", "settings-about"};
  for (int i = 0; i < 3; ++i) {
    settings.view()->tabs()->setCurrentIndex(i);
    snap(settings, tabs[i], {ui::SettingsView::kWidth, 150});
  }
}

TEST_P(SnapshotsTest, FeedbackSheetStates) {
  ui::test::FeedbackServiceFixture service;
  launch();
  std::optional<std::filesystem::path> chosen;
  ui::FeedbackController controller(*model, *bridge, *window, service.services(),
                                    [&](QWidget*) { return chosen; });
  model->setShowFeedback(true);
  settle();
  ui::FeedbackSheet& sheet = *controller.sheet();
  snap(sheet, "feedback-empty", {400, 300});

  QTest::keyClicks(sheet.titleField(), u"The TV lags behind"_s);
  chosen = service.pngFile("screenshot.png", 200);
  sheet.screenshotButton()->click();
  chosen = service.pngFile("huge.png", 2 * 1024 * 1024);
  sheet.screenshotButton()->click();
  snap(sheet, "feedback-error", {400, 300});

  sheet.sendButton()->click();
  ASSERT_TRUE(ui::test::runUntilAnswered(clock, [&] { return sheet.form().sent(); }));
  snap(sheet, "feedback-sent", {400, 300});
}

INSTANTIATE_TEST_SUITE_P(Appearance, SnapshotsTest,
                         ::testing::Values(AppearanceMode::light, AppearanceMode::dark),
                         [](const auto& info) {
                           return info.param == AppearanceMode::dark ? "Dark" : "Light";
                         });

}  // namespace
}  // namespace choralink::test
