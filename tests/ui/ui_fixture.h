// Views on a real app model: the app model's test bench (fake router,
// virtual-time model executor) plus the Qt bridge and the main window.
// settle() lets both the model's executor and the Qt event loop run what
// is due, so a test reads the widgets as a user would see them next.
#pragma once

#include <QAbstractButton>
#include <QString>
#include <QUrl>
#include <memory>
#include <vector>

#include "app/ui/main_window.h"
#include "app/ui/model_bridge.h"
#include "tests/app/app_fixture.h"

namespace choralink::test {

// An updater whose state the test sets.
class FakeUpdater final : public UpdaterControl {
 public:
  void start() override {}
  void checkForUpdates() override { ++checks; }
  bool hasController() const override { return controller; }
  bool canCheck() const override { return can; }
  bool automaticallyChecks() const override { return automatic; }
  void setAutomaticallyChecks(bool value) override { automatic = value; }
  void set(bool hasController, bool canCheck) {
    controller = hasController;
    can = canCheck;
    notifyChanged();
  }
  bool controller = false;
  bool can = false;
  bool automatic = false;
  int checks = 0;
};

// Collects the URLs the views ask the desktop to open.
class UrlCatcher : public QObject {
  Q_OBJECT

 public:
  UrlCatcher();
  ~UrlCatcher() override;
  std::vector<QUrl> opened;

 public Q_SLOTS:
  void open(const QUrl& url) { opened.push_back(url); }
};

class UiTest : public AppModelTest {
 protected:
  // The model on `settings` with these devices, and the window over it.
  ui::MainWindow& show(const AppSettings& settings, std::vector<AudioDeviceInfo> devices);
  void settle();
  // Clicks `button` and settles.
  void click(QAbstractButton* button);

  // The first widget under `root` of type T whose accessible name is `name`.
  template <class T>
  T* named(const QString& name, QWidget* root = nullptr) {
    root = root ? root : window.get();
    for (T* widget : root->findChildren<T*>()) {
      if (widget->accessibleName() == name) return widget;
    }
    return nullptr;
  }

  FakeUpdater* updater = nullptr;
  UrlCatcher urls;
  std::unique_ptr<ui::ModelBridge> bridge;
  std::unique_ptr<ui::MainWindow> window;

  void TearDown() override;
};

}  // namespace choralink::test
