// The About pane: logo, name and version, "Check for Updates…" and
// "Send Feedback…", the privacy note and the link to the product's web
// site. Shown in the main window's About page and the settings window.
#pragma once

#include <QWidget>

#include "app/model/app_model.h"
#include "app/ui/model_bridge.h"

class QLabel;
class QPushButton;

namespace choralink::ui {

class AboutPane : public QWidget {
  Q_OBJECT

 public:
  AboutPane(AppModel& model, ModelBridge& bridge, QWidget* parent = nullptr);

  QPushButton* checkForUpdates() const { return check_; }
  QPushButton* sendFeedback() const { return feedback_; }
  QLabel* versionText() const { return version_; }
  // The web site's link; null when the address does not parse.
  QLabel* link() const { return link_; }

 private:
  void refresh();
  AppModel& model_;
  QLabel* version_;
  QPushButton* check_;
  QPushButton* feedback_;
  QLabel* link_ = nullptr;
};

}  // namespace choralink::ui
