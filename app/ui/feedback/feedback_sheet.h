// The feedback form as a window-modal sheet over the main window: title,
// details, screenshot, the log option, the footnote, the outcome and the
// buttons. Draws a FeedbackForm and forwards every edit to it; Escape closes,
// Return sends. Main thread.
#pragma once

#include <QDialog>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "app/model/app_model.h"
#include "app/ui/feedback/feedback_form.h"
#include "app/ui/model_bridge.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace choralink::ui {

class MainWindow;

// Asks the user for one screenshot file; nothing when cancelled.
using ImageChooser = std::function<std::optional<std::filesystem::path>(QWidget* parent)>;

// The desktop's file dialog (through its portal where there is one), for
// PNG, JPEG and WebP files.
std::optional<std::filesystem::path> chooseScreenshot(QWidget* parent);

class FeedbackSheet : public QDialog {
  Q_OBJECT

 public:
  FeedbackSheet(Executor& main, FeedbackWorker& worker, FeedbackForm::Services services,
                ImageChooser chooser, QWidget* host);
  ~FeedbackSheet() override;

  FeedbackForm& form() { return form_; }
  QLineEdit* titleField() const { return title_; }
  QPlainTextEdit* detailsEditor() const { return details_; }
  QPushButton* screenshotButton() const { return screenshot_; }
  QPushButton* removeScreenshotButton() const { return removeScreenshot_; }
  QLabel* screenshotName() const { return screenshotName_; }
  QCheckBox* logSwitch() const { return log_; }
  QLabel* footnote() const { return footnote_; }
  QLabel* resultText() const { return result_; }
  QLabel* errorText() const { return error_; }
  QPushButton* cancelButton() const { return cancel_; }
  QPushButton* sendButton() const { return send_; }

 private:
  void titleEdited(const QString& text);
  void detailsEdited();
  void pickScreenshot();
  void refresh();

  FeedbackForm form_;
  ImageChooser chooser_;
  QLineEdit* title_ = nullptr;
  QPlainTextEdit* details_ = nullptr;
  QPushButton* screenshot_ = nullptr;
  QPushButton* removeScreenshot_ = nullptr;
  QLabel* screenshotName_ = nullptr;
  QCheckBox* log_ = nullptr;
  QLabel* footnote_ = nullptr;
  QLabel* result_ = nullptr;
  QLabel* error_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QPushButton* send_ = nullptr;
};

// Shows a fresh sheet over the main window while the model's showFeedback
// is set, and clears the flag when the sheet is closed in any way. Owns the
// worker the sends run on. The frame only constructs it.
class FeedbackController : public QObject {
  Q_OBJECT

 public:
  FeedbackController(AppModel& model, ModelBridge& bridge, MainWindow& window,
                     FeedbackForm::Services services = FeedbackForm::Services::standard(),
                     ImageChooser chooser = chooseScreenshot);
  // Waits for a send still running (at most the feedback time limit).
  ~FeedbackController() override;

  // The sheet while it shows, else null.
  FeedbackSheet* sheet() const { return sheet_.get(); }

 private:
  void sync();

  AppModel& model_;
  MainWindow& window_;
  FeedbackForm::Services services_;
  ImageChooser chooser_;
  FeedbackWorker worker_;                 // outlives every sheet's sends
  std::unique_ptr<FeedbackSheet> sheet_;  // goes first
};

}  // namespace choralink::ui
