// The settings window's Sync tab: "Reset All Delays" and "Test Sync", the
// latter only while a broadcast runs (not while it starts or rebuilds).
#pragma once

#include <QWidget>

#include "app/model/app_model.h"
#include "app/ui/model_bridge.h"

class QPushButton;

namespace choralink::ui {

class SyncPane : public QWidget {
  Q_OBJECT

 public:
  SyncPane(AppModel& model, ModelBridge& bridge, QWidget* parent = nullptr);

  QPushButton* resetDelays() const { return reset_; }
  QPushButton* testSync() const { return test_; }

 private:
  void refresh();

  AppModel& model_;
  QPushButton* reset_ = nullptr;
  QPushButton* test_ = nullptr;
};

}  // namespace choralink::ui
