// The first-run sheet over the main window: welcome, the capture check and
// the choice of speakers, with page dots and the footer's buttons. Only its
// own buttons end it (no Escape, no window close). Draws an OnboardingFlow
// and forwards the button presses to it. Main thread.
#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "app/model/app_model.h"
#include "app/ui/model_bridge.h"
#include "app/ui/onboarding/onboarding_flow.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

namespace choralink::ui {

class MainWindow;

// A row of dots with the current one highlighted: "Step 2 of 3".
class PageDots : public QWidget {
  Q_OBJECT

 public:
  PageDots(int count, QWidget* parent = nullptr);
  void setCurrent(int current);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int count_;
  int current_ = 0;
};

class OnboardingView : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kWidth = 520;

  OnboardingView(AppModel& model, ModelBridge& bridge, QWidget* host);
  ~OnboardingView() override;

  OnboardingFlow& flow() { return flow_; }
  QPushButton* primaryButton() const { return primary_; }
  QPushButton* backButton() const { return back_; }
  QPushButton* skipButton() const { return skip_; }
  QLabel* captureTitle() const { return captureTitle_; }
  QLabel* captureText() const { return captureText_; }
  QWidget* listening() const { return listening_; }

  // Only the flow's buttons end the sheet.
  void reject() override {}

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QWidget* buildWelcome();
  QWidget* buildCapture();
  QWidget* buildDevices();
  void refresh();
  void refreshDevices();

  AppModel& model_;
  OnboardingFlow flow_;
  QStackedWidget* pages_ = nullptr;
  PageDots* dots_ = nullptr;
  QPushButton* back_ = nullptr;
  QPushButton* skip_ = nullptr;
  QPushButton* primary_ = nullptr;
  QLabel* captureSymbol_ = nullptr;
  QLabel* captureTitle_ = nullptr;
  QLabel* captureText_ = nullptr;
  QPushButton* openSettings_ = nullptr;
  QWidget* listening_ = nullptr;
  QVBoxLayout* deviceRows_ = nullptr;
  std::vector<std::string> deviceUIDs_;
};

// Shows the sheet over the main window while the model asks for onboarding
// and takes it away when the model no longer does; a fresh sheet starts at
// the welcome. The frame only constructs it.
class OnboardingController : public QObject {
  Q_OBJECT

 public:
  OnboardingController(AppModel& model, ModelBridge& bridge, MainWindow& window);
  ~OnboardingController() override;

  // The sheet while it shows, else null.
  OnboardingView* view() const { return view_.get(); }

 private:
  void sync();

  AppModel& model_;
  ModelBridge& bridge_;
  MainWindow& window_;
  std::unique_ptr<OnboardingView> view_;
};

}  // namespace choralink::ui
