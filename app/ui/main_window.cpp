#include "app/ui/main_window.h"

#include <QHBoxLayout>
#include <QMenuBar>
#include <QPainter>
#include <QScreen>
#include <QStackedWidget>

#include "app/ui/about_pane.h"
#include "app/ui/devices_page.h"
#include "app/ui/general_pane.h"
#include "app/ui/palette.h"
#include "app/ui/sidebar.h"
#include "app/ui/sync_page.h"
#include "app/ui/view_rules.h"
#include "app/ui/widgets.h"

namespace choralink::ui {
namespace {

// The detail area's smallest size; the sidebar is beside it.
constexpr QSize kMinimumDetail{780, 540};

// Index of each section's page in the stack. "How to Use" has none: it
// opens the web guide, and a model that names it shows the devices.
int pageIndex(AppSection section) {
  switch (section) {
    case AppSection::sync:
      return 1;
    case AppSection::settings:
      return 2;
    case AppSection::about:
      return 3;
    case AppSection::devices:
    case AppSection::howTo:
      break;
  }
  return 0;
}

class PageBackground : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(rect(), pageBackground(schemeOf(*this)));
  }
};

}  // namespace

MainWindow::MainWindow(AppModel& model, ModelBridge& bridge, QWidget* parent)
    : QMainWindow(parent), model_(model), bridge_(bridge) {
  setObjectName(QStringLiteral("main"));
  setWindowTitle(QStringLiteral("Choralink"));

  auto* central = new PageBackground(this);
  auto* row = new QHBoxLayout(central);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);
  sidebar_ = new Sidebar(model, bridge, central);
  row->addWidget(sidebar_);
  pages_ = new QStackedWidget(central);
  pages_->setMinimumSize(kMinimumDetail);
  pages_->addWidget(new DevicesPage(model, bridge, pages_));
  pages_->addWidget(new SyncPage(model, bridge, pages_));
  pages_->addWidget(new PageScaffold(QStringLiteral("Settings"),
                                     QStringLiteral("How Choralink starts and appears"),
                                     new GeneralPane(model, bridge), pages_));
  pages_->addWidget(new PageScaffold(QStringLiteral("About"),
                                     QStringLiteral("Version, updates and feedback"),
                                     new AboutPane(model, bridge), pages_));
  row->addWidget(pages_, 1);
  setCentralWidget(central);

  buildMenus();
  resize(kDefaultWidth, kDefaultHeight);
  connect(&bridge_, &ModelBridge::changed, this, &MainWindow::refresh);
  refresh();
}

void MainWindow::setCalibration(CalibrationModel* calibration) {
  static_cast<SyncPage*>(page(AppSection::sync))->setCalibration(calibration);
}

QWidget* MainWindow::currentPage() const {
  return pages_->currentWidget();
}

QWidget* MainWindow::page(AppSection section) const {
  return pages_->widget(pageIndex(section));
}

void MainWindow::showEvent(QShowEvent* event) {
  if (!placed_) {
    placed_ = true;
    resize(kDefaultWidth, kDefaultHeight);
    if (QScreen* shownOn = screen()) {
      QRect frame = frameGeometry();
      frame.moveCenter(shownOn->availableGeometry().center());
      move(frame.topLeft());
    }
  }
  QMainWindow::showEvent(event);
}

void MainWindow::buildMenus() {
  QMenu* app = menuBar()->addMenu(QStringLiteral("&Choralink"));
  QAction* about = app->addAction(QStringLiteral("About Choralink"));
  connect(about, &QAction::triggered, this, [this] {
    model_.setSection(AppSection::about);
    Q_EMIT aboutRequested();
  });
  checkForUpdates_ = app->addAction(QStringLiteral("Check for Updates…"));
  connect(checkForUpdates_, &QAction::triggered, this,
          [this] { model_.updater().checkForUpdates(); });
  QAction* feedback = app->addAction(QStringLiteral("Send Feedback…"));
  connect(feedback, &QAction::triggered, this, [this] {
    if (model_.openMainWindow()) model_.openMainWindow()();
    model_.setShowFeedback(true);
  });
  app->addSeparator();
  QAction* settings = app->addAction(QStringLiteral("Settings…"));
  settings->setShortcut(QKeySequence(QStringLiteral("Ctrl+,")));
  connect(settings, &QAction::triggered, this, &MainWindow::settingsRequested);
  app->addSeparator();
  QAction* quit = app->addAction(QStringLiteral("Quit Choralink"));
  quit->setShortcut(QKeySequence::Quit);
  connect(quit, &QAction::triggered, this, &MainWindow::quitRequested);
}

QAction* MainWindow::action(const QString& text) const {
  for (QAction* menu : menuBar()->actions()) {
    if (!menu->menu()) continue;
    for (QAction* entry : menu->menu()->actions()) {
      if (entry->text() == text) return entry;
    }
  }
  return nullptr;
}

void MainWindow::refresh() {
  pages_->setCurrentIndex(pageIndex(model_.section()));
  UpdaterControl& updater = model_.updater();
  checkForUpdates_->setEnabled(checkForUpdatesEnabled(updater.hasController(), updater.canCheck()));
}

}  // namespace choralink::ui
