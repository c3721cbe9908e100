#include "app/ui/main_window.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QStackedWidget>

namespace choralink::ui {

MainWindow::MainWindow(AppModel& model, ModelBridge& bridge, QWidget* parent)
    : QMainWindow(parent), model_(model), bridge_(bridge) {
  setObjectName(QStringLiteral("main"));
  setWindowTitle(QStringLiteral("Choralink"));
  resize(kDefaultWidth, kDefaultHeight);
  auto* central = new QWidget(this);
  auto* row = new QHBoxLayout(central);
  pages_ = new QStackedWidget(central);
  row->addWidget(pages_);
  setCentralWidget(central);
  buildMenus();
  connect(&bridge_, &ModelBridge::changed, this, &MainWindow::refresh);
  refresh();
}

QWidget* MainWindow::currentPage() const {
  return pages_->currentWidget();
}

QWidget* MainWindow::page(AppSection) const {
  return pages_->currentWidget();
}

void MainWindow::buildMenus() {
  QMenu* app = menuBar()->addMenu(QStringLiteral("Choralink"));
  QAction* about = app->addAction(QStringLiteral("About Choralink"));
  connect(about, &QAction::triggered, this, &MainWindow::aboutRequested);
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
  settings->setShortcut(QKeySequence::Preferences);
  connect(settings, &QAction::triggered, this, &MainWindow::settingsRequested);
  app->addSeparator();
  QAction* quit = app->addAction(QStringLiteral("Quit Choralink"));
  quit->setShortcut(QKeySequence::Quit);
  connect(quit, &QAction::triggered, this, &MainWindow::quitRequested);
}

void MainWindow::refresh() {}

}  // namespace choralink::ui
