// The pieces every window builds on: the bridge's refresh signal, the
// appearance and taskbar choices, and the icon table's artwork.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMainWindow>
#include <QSignalSpy>
#include <QStyle>

#include "app/ui/brand_mark.h"
#include "app/ui/icons.h"
#include "app/ui/palette.h"
#include "tests/ui/ui_fixture.h"

namespace choralink::test {
namespace {

TEST_F(UiTest, BridgeSignalsEveryFieldButRefreshesViewsOncePerLoopTurn) {
  build();
  ui::ModelBridge bridge(*model);
  QSignalSpy fields(&bridge, &ui::ModelBridge::fieldChanged);
  QSignalSpy refreshes(&bridge, &ui::ModelBridge::changed);
  model->setSection(AppSection::sync);
  model->setShowFeedback(true);
  model->setMasterVolume(40);
  EXPECT_EQ(fields.count(), 3);
  EXPECT_EQ(refreshes.count(), 0);  // not in the middle of the operations
  settle();
  EXPECT_EQ(refreshes.count(), 1);
  model->setSection(AppSection::about);
  settle();
  EXPECT_EQ(refreshes.count(), 2);
}

TEST_F(UiTest, AppearanceForcesTheSchemeAndTaskbarChoiceKeepsWindowsShown) {
  ui::QtAppPresence presence;
  const QPalette before = QApplication::palette();
  presence.setAppearance(AppearanceMode::dark);
  EXPECT_EQ(ui::currentScheme(), ui::Scheme::dark);
  EXPECT_EQ(QApplication::style()->name().toLower(), QStringLiteral("fusion"));
  presence.setAppearance(AppearanceMode::light);
  EXPECT_EQ(ui::currentScheme(), ui::Scheme::light);

  QMainWindow window;
  window.show();
  presence.setShowInTaskbar(false);
  EXPECT_TRUE(window.windowFlags().testFlag(Qt::Tool));
  EXPECT_TRUE(window.isVisible());
  presence.setShowInTaskbar(true);
  EXPECT_FALSE(window.windowFlags().testFlag(Qt::Tool));
  EXPECT_TRUE(window.isVisible());
  QApplication::setPalette(before);
}

TEST_F(UiTest, EverySymbolTheViewsNameHasArtwork) {
  std::vector<std::string_view> symbols;
  for (DeviceKind kind : kAllDeviceKinds)
    symbols.push_back(symbol(kind));
  for (const ui::SymbolIcon& entry : ui::symbolTable())
    symbols.push_back(entry.symbol);
  for (std::string_view name : symbols) {
    SCOPED_TRACE(std::string(name));
    EXPECT_FALSE(ui::icon(name).isNull());
    // Our own drawing shows in the symbol's colour somewhere.
    const QImage drawn = ui::tintedSymbol(name, 24, Qt::red).toImage();
    bool inked = false;
    for (int y = 0; y < drawn.height() && !inked; ++y) {
      for (int x = 0; x < drawn.width() && !inked; ++x)
        inked = qAlpha(drawn.pixel(x, y)) > 128;
    }
    EXPECT_TRUE(inked);
  }
  for (bool on : {true, false}) {
    for (bool dark : {true, false})
      EXPECT_FALSE(ui::trayIcon(on, dark).pixmap(22).isNull());
  }
  EXPECT_TRUE(ui::BrandMark::logoLoaded());
}

}  // namespace
}  // namespace choralink::test
