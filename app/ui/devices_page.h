// The Devices page: header with the Bluetooth chip and "Play Sync Test",
// the banners, the hint to connect more speakers, one card per device, and
// the broadcast bar with the main button. Everything shown is read from the
// model on each change; every control makes one model call.
#pragma once

#include <QPushButton>
#include <QSlider>
#include <QWidget>
#include <map>
#include <string>
#include <vector>

#include "app/model/app_model.h"
#include "app/ui/model_bridge.h"
#include "app/ui/view_rules.h"

class QLabel;
class QVBoxLayout;
class QGridLayout;

namespace choralink::ui {

class Banner;
class BrandButton;
class Card;
class Chip;
class DelayField;
class DeviceIcon;
class LevelMeter;
class SymbolView;
class ToggleSwitch;

// "Play Sync Test": enabled only while a broadcast runs; plays the clicks.
class SyncTestButton : public QPushButton {
  Q_OBJECT

 public:
  SyncTestButton(AppModel& model, ModelBridge& bridge, QWidget* parent = nullptr);

 private:
  void refresh();
  AppModel& model_;
};

// A 0…100 slider that assistive technology reads as "N percent".
class PercentSlider : public QSlider {
  Q_OBJECT

 public:
  explicit PercentSlider(QWidget* parent = nullptr);
  // Sets the shown value without reporting it as a user's move.
  void display(int value);
};

class DeviceCard : public QWidget {
  Q_OBJECT

 public:
  DeviceCard(AppModel& model, AudioDeviceInfo device, QWidget* parent = nullptr);

  const AudioDeviceInfo& device() const { return device_; }
  void setDevice(AudioDeviceInfo device);
  void refresh();

  ToggleSwitch* toggle() const { return toggle_; }
  QLabel* nameLabel() const { return name_; }
  QLabel* detailsLabel() const { return details_; }
  LevelMeter* meter() const { return meter_; }
  PercentSlider* volumeSlider() const { return volume_; }
  QLabel* volumeText() const { return volumeText_; }
  DelayField* delayField() const { return delay_; }
  QWidget* controls() const { return controls_; }
  QLabel* problemLabel() const { return problem_; }
  // Whether identity and controls share one row (the card is wide enough).
  bool singleRow() const { return singleRow_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void arrange(bool singleRow);

  AppModel& model_;
  AudioDeviceInfo device_;
  QGridLayout* grid_;
  QWidget* identity_;
  QWidget* controls_;
  QWidget* switchSpace_;
  ToggleSwitch* toggle_;
  DeviceIcon* icon_;
  QLabel* name_;
  QLabel* details_;
  LevelMeter* meter_;
  SymbolView* volumeIcon_;
  PercentSlider* volume_;
  QLabel* volumeText_;
  DelayField* delay_;
  QWidget* problemRow_;
  SymbolView* problemIcon_;
  QLabel* problem_;
  bool singleRow_ = true;
};

class Banners : public QWidget {
  Q_OBJECT

 public:
  Banners(AppModel& model, ModelBridge& bridge, QWidget* parent = nullptr);
  const std::vector<BannerContent>& shown() const { return shown_; }
  Banner* banner(std::size_t index) const { return widgets_.at(index); }

 private:
  void refresh();
  void act(BannerAction action);

  AppModel& model_;
  QVBoxLayout* column_;
  std::vector<BannerContent> shown_;
  std::vector<Banner*> widgets_;
};

class BroadcastBar : public QWidget {
  Q_OBJECT

 public:
  BroadcastBar(AppModel& model, ModelBridge& bridge, QWidget* parent = nullptr);

  QLabel* selectedText() const { return selected_; }
  QLabel* statusText() const { return status_; }
  BrandButton* mainButton() const { return button_; }
  QWidget* spinner() const { return spinner_; }
  // The main button's action (also the Return key's).
  void press();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void refresh();

  AppModel& model_;
  QLabel* selected_;
  QLabel* status_;
  QWidget* spinner_;
  BrandButton* button_;
};

class DevicesPage : public QWidget {
  Q_OBJECT

 public:
  DevicesPage(AppModel& model, ModelBridge& bridge, QWidget* parent = nullptr);

  Chip* bluetoothChip() const { return chip_; }
  SyncTestButton* syncTestButton() const { return syncTest_; }
  Banners* banners() const { return banners_; }
  QWidget* emptyHint() const { return hint_; }
  std::vector<DeviceCard*> cards() const { return cards_; }
  BroadcastBar* broadcastBar() const { return bar_; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void refresh();
  void rebuildCards();

  AppModel& model_;
  Chip* chip_;
  SyncTestButton* syncTest_;
  Banners* banners_;
  QWidget* hint_;
  QVBoxLayout* cardColumn_;
  std::vector<DeviceCard*> cards_;
  std::vector<std::string> cardUIDs_;
  BroadcastBar* bar_;
};

}  // namespace choralink::ui
