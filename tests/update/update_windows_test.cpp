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

// Each button gives its choice; a scheduled find goes to the tray first and
// its click opens the same window.
TEST_F(UpdateWindowsTest, ButtonsAnswerAndTheTrayLeadsToTheWindow) {
  std::function<void()> clickTray;
  QString trayMessage;
  UpdateWindows windows(QStringLiteral("0.1.0"),
                        [&](const QString&, const QString& message, std::function<void()> clicked) {
                          trayMessage = message;
                          clickTray = std::move(clicked);
                        });
  const std::pair<const char*, UpdateChoice> cases[] = {
      {"Install and Relaunch", UpdateChoice::installAndRelaunch},
      {"Later", UpdateChoice::later},
      {"Skip This Version", UpdateChoice::skipThisVersion}};
  for (const auto& [label, choice] : cases) {
    SCOPED_TRACE(label);
    std::optional<UpdateChoice> chosen;
    windows.notifyUpdateFound(offer, [&](UpdateChoice answer) { chosen = answer; });
    EXPECT_EQ(windows.window(), nullptr);
    EXPECT_EQ(trayMessage, QStringLiteral("Choralink 0.2 <beta> is ready to install."));
    clickTray();
    QMessageBox* box = windows.window();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->informativeText().contains(QStringLiteral("0.2 &lt;beta&gt;")));
    EXPECT_TRUE(box->informativeText().contains(QStringLiteral("https://choralink.app/notes")));
    ASSERT_NE(button(box, label), nullptr);
    button(box, label)->click();
    EXPECT_EQ(chosen, choice);
    delete box;
  }
}

}  // namespace
}  // namespace choralink
