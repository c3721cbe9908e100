#include "app/ui/update/update_windows.h"

#include <gtest/gtest.h>

#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>
#include <cstdlib>
#include <optional>

namespace choralink {
namespace {

struct UpdateWindowsTest : ::testing::Test {
  static void SetUpTestSuite() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "updater_ui_tests";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
  }

  QAbstractButton* button(QMessageBox* box, const char* label) {
    for (QAbstractButton* candidate : box->buttons()) {
      if (candidate->text() == QString::fromUtf8(label)) return candidate;
    }
    return nullptr;
  }

  const UpdateOffer offer{"0.2.0", "0.2 <beta>", "https://choralink.app/notes"};
};

TEST_F(UpdateWindowsTest, EachButtonGivesItsChoice) {
  UpdateWindows windows(QStringLiteral("0.1.0"), {});
  struct Case {
    const char* label;
    UpdateChoice choice;
  };
  for (const Case& c : {Case{"Install and Relaunch", UpdateChoice::installAndRelaunch},
                        Case{"Later", UpdateChoice::later},
                        Case{"Skip This Version", UpdateChoice::skipThisVersion}}) {
    SCOPED_TRACE(c.label);
    std::optional<UpdateChoice> chosen;
    windows.showUpdateFound(offer, [&](UpdateChoice choice) { chosen = choice; });
    QMessageBox* box = windows.window();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->informativeText().contains(QStringLiteral("0.2 &lt;beta&gt;")));
    EXPECT_TRUE(box->informativeText().contains(QStringLiteral("https://choralink.app/notes")));
    ASSERT_NE(button(box, c.label), nullptr);
    button(box, c.label)->click();
    EXPECT_EQ(chosen, c.choice);
  }
}

TEST_F(UpdateWindowsTest, ScheduledFindGoesToTheTrayAndItsClickOpensTheWindow) {
  std::function<void()> clickTray;
  QString shown;
  UpdateWindows windows(QStringLiteral("0.1.0"),
                        [&](const QString&, const QString& message, std::function<void()> clicked) {
                          shown = message;
                          clickTray = std::move(clicked);
                        });
  std::optional<UpdateChoice> chosen;
  windows.notifyUpdateFound(offer, [&](UpdateChoice choice) { chosen = choice; });
  EXPECT_EQ(windows.window(), nullptr);
  EXPECT_EQ(shown, QStringLiteral("Choralink 0.2 <beta> is ready to install."));
  ASSERT_TRUE(clickTray);
  clickTray();
  ASSERT_NE(windows.window(), nullptr);
  button(windows.window(), "Skip This Version")->click();
  EXPECT_EQ(chosen, UpdateChoice::skipThisVersion);
}

}  // namespace
}  // namespace choralink
