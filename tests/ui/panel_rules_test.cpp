#include "app/ui/panel/panel_rules.h"

#include <gtest/gtest.h>

#include "tests/app/app_fixture.h"

namespace choralink::ui {
namespace {

class MenuDeviceRowTest : public test::AppModelTest {};

TEST_F(MenuDeviceRowTest, RowsBySupportModeAndSwitch) {
  AppSettings stored = settingsWith({"spk", "tv", "air"});
  stored.devices.at("tv").volume = 40;
  stored.devices.insert_or_assign("desk", DeviceSettings(false, 70, 0, false, "Desk Speaker"));
  buildWith(stored);

  // What each row shows: detail, checkmark, whether pressing it works and what
  // it asks for, and the volume row.
  auto describe = [&](const AudioDeviceInfo& shown) {
    const MenuDeviceRowState row = menuDeviceRow(*model, shown);
    return row.accessibleName + " [" + row.detail + "]" + (row.checkmark ? " check" : "") +
           (row.pressable ? (row.pressTurnsOn ? " press:on" : " press:off") : "") +
           (row.showsVolume ? " volume " + std::to_string(row.volume) : "");
  };
  EXPECT_EQ(describe(spk), "Speakers, on [] check press:off volume 100");
  EXPECT_EQ(describe(tv), "TV, on [] check press:off volume 40");
  EXPECT_EQ(describe(desk), "Desk Speaker, off [] press:on");
  EXPECT_EQ(describe(air), "Apple TV, on [Not supported yet]");
  model->setMode(BroadcastMode::mirror);
  EXPECT_EQ(describe(spk), "Speakers, on [Playing directly]");
  EXPECT_EQ(describe(tv), "TV, on [] check press:off volume 40");
}

TEST(PanelPlacementTest, NextToTheIconOrPointerAndOnScreen) {
  const QRect screen(0, 0, 1920, 1080);
  const QRect available(0, 32, 1920, 1048);  // a desktop panel along the top
  const QSize size(300, 400);
  struct Case {
    const char* what;
    QRect icon;
    QPoint pointer;
    QRect available;
    QPoint expected;
  };
  const Case cases[] = {
      {"icon in a top panel: below it", QRect(1500, 4, 24, 24), {}, available, {1500, 32}},
      {"icon at the right edge: pulled left", QRect(1896, 4, 24, 24), {}, available, {1620, 32}},
      {"icon in a bottom panel: above it", QRect(40, 1052, 24, 24), {}, screen, {40, 652}},
      {"no icon place: at the pointer", QRect(), QPoint(700, 300), available, {700, 301}},
      {"pointer in the bottom corner", QRect(), QPoint(1910, 1075), available, {1620, 675}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const QRect placed = panelPlacement(c.icon, c.pointer, size, c.available);
    EXPECT_EQ(placed.topLeft(), c.expected);
    EXPECT_EQ(placed.size(), size);
    EXPECT_TRUE(c.available.contains(placed));
  }
  // Taller than the screen: the header stays visible.
  EXPECT_EQ(panelPlacement(QRect(10, 4, 24, 24), {}, QSize(300, 2000), available).top(), 32);
}

}  // namespace
}  // namespace choralink::ui
