#include "app/ui/panel/panel_rules.h"

#include <gtest/gtest.h>

#include "tests/app/app_fixture.h"

namespace choralink::ui {
namespace {

class MenuDeviceRowTest : public test::AppModelTest {};

TEST_F(MenuDeviceRowTest, RowsBySupportModeAndSwitch) {
  AppSettings stored = settingsWith({"spk", "tv", "air"});
  stored.devices.at("tv").volume = 40;
  stored.devices.insert_or_assign("desk", DeviceSettings(false, 70, 0, false, "Desk"));
  storeSettings(stored);
  build();
  publish({device("spk", "Speakers", Transport::builtIn, true), device("tv", "TV", Transport::hdmi),
           device("desk", "Desk", Transport::usb), device("air", "Den", Transport::airPlay)});

  struct Row {
    std::string uid;
    BroadcastMode mode;
    std::string detail;
    bool checkmark, pressable, turnsOn, volumeRow;
    int volume;
    std::string accessible;
  };
  const std::vector<Row> rows{
      {"spk", BroadcastMode::synced, "", true, true, false, true, 100, "Speakers, on"},
      {"tv", BroadcastMode::synced, "", true, true, false, true, 40, "TV, on"},
      {"desk", BroadcastMode::synced, "", false, true, true, false, 70, "Desk, off"},
      {"air", BroadcastMode::synced, "Not supported yet", false, false, false, false, 100,
       "Den, on"},
      {"spk", BroadcastMode::mirror, "Playing directly", false, false, false, false, 100,
       "Speakers, on"},
      {"tv", BroadcastMode::mirror, "", true, true, false, true, 40, "TV, on"},
  };
  for (const Row& expected : rows) {
    SCOPED_TRACE(expected.uid + (expected.mode == BroadcastMode::mirror ? " mirror" : " synced"));
    model->setMode(expected.mode);
    const auto it = std::find_if(model->devices().begin(), model->devices().end(),
                                 [&](const AudioDeviceInfo& d) { return d.uid == expected.uid; });
    const MenuDeviceRowState row = menuDeviceRow(*model, *it);
    EXPECT_EQ(row.name, it->name);
    EXPECT_EQ(row.detail, expected.detail);
    EXPECT_EQ(row.checkmark, expected.checkmark);
    EXPECT_EQ(row.pressable, expected.pressable);
    EXPECT_EQ(row.pressTurnsOn, expected.turnsOn);
    EXPECT_EQ(row.showsVolume, expected.volumeRow);
    EXPECT_EQ(row.volume, expected.volume);
    EXPECT_EQ(row.accessibleName, expected.accessible);
  }
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
