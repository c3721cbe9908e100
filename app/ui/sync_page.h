// The Sync page: the two broadcast modes as cards, the master volume, and
// resetting every delay. Reads the model; each control makes one model call.
#pragma once

#include <QAbstractButton>
#include <QWidget>

#include "app/model/app_model.h"
#include "app/ui/model_bridge.h"

class QLabel;
class QPushButton;

namespace choralink::ui {

class PercentSlider;
class SymbolView;
class SyncTestButton;

class ModeCard : public QAbstractButton {
  Q_OBJECT

 public:
  ModeCard(AppModel& model, ModelBridge& bridge, BroadcastMode mode, const QString& title,
           std::string_view symbol, const QString& detail, QWidget* parent = nullptr);
  BroadcastMode mode() const { return mode_; }
  bool selected() const { return selected_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void refresh();
  AppModel& model_;
  BroadcastMode mode_;
  SymbolView* check_;
  bool selected_ = false;
};

class SyncPage : public QWidget {
  Q_OBJECT

 public:
  SyncPage(AppModel& model, ModelBridge& bridge, QWidget* parent = nullptr);

  ModeCard* modeCard(BroadcastMode mode) const;
  PercentSlider* masterSlider() const { return master_; }
  QLabel* masterText() const { return masterText_; }
  QPushButton* resetButton() const { return reset_; }
  SyncTestButton* syncTestButton() const { return syncTest_; }

 private:
  void refresh();
  AppModel& model_;
  ModeCard* synced_;
  ModeCard* mirror_;
  PercentSlider* master_;
  QLabel* masterText_;
  QPushButton* reset_;
  SyncTestButton* syncTest_;
};

}  // namespace choralink::ui
