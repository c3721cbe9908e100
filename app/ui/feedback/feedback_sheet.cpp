#include "app/ui/feedback/feedback_sheet.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTextCursor>
#include <QVBoxLayout>

#include "app/ui/icons.h"
#include "app/ui/main_window.h"
#include "app/ui/palette.h"
#include "app/ui/widgets.h"
#include "support/app_info.h"

namespace choralink::ui {
namespace {

QLabel* smallSecondary(const QString& content, QWidget* parent) {
  auto* label = new QLabel(content, parent);
  label->setWordWrap(true);
  QFont small = label->font();
  small.setPointSizeF(small.pointSizeF() * 0.85);
  label->setFont(small);
  QPalette quiet = label->palette();
  quiet.setColor(QPalette::WindowText, secondaryText(schemeOf(*parent)));
  label->setPalette(quiet);
  return label;
}

void colour(QLabel& label, const QColor& color) {
  QPalette p = label.palette();
  p.setColor(QPalette::WindowText, color);
  label.setPalette(p);
}

}  // namespace

std::optional<std::filesystem::path> chooseScreenshot(QWidget* parent) {
  const QString file = QFileDialog::getOpenFileName(
      parent, QStringLiteral("Attach Screenshot"), QString(),
      QStringLiteral("Images (*.png *.jpg *.jpeg *.webp *.PNG *.JPG *.JPEG *.WEBP)"));
  if (file.isEmpty()) return std::nullopt;
  return std::filesystem::path(file.toStdString());
}

FeedbackSheet::FeedbackSheet(Executor& main, FeedbackWorker& worker,
                             FeedbackForm::Services services, ImageChooser chooser, QWidget* host)
    : QDialog(host), form_(main, worker, std::move(services)), chooser_(std::move(chooser)) {
  setObjectName(QStringLiteral("feedback"));
  setWindowTitle(QStringLiteral("Send Feedback"));
  setWindowModality(Qt::WindowModal);
  setFixedWidth(460);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(22, 20, 22, 16);
  column->setSpacing(10);
  auto* heading = new QLabel(QStringLiteral("Send Feedback"), this);
  QFont big = heading->font();
  big.setPointSizeF(big.pointSizeF() * 1.3);
  big.setBold(true);
  heading->setFont(big);
  column->addWidget(heading);

  auto* titleRow = new QHBoxLayout;
  auto* titleLabel = new QLabel(QStringLiteral("Title"), this);
  title_ = new QLineEdit(this);
  title_->setPlaceholderText(QStringLiteral("What happened?"));
  titleLabel->setBuddy(title_);
  titleRow->addWidget(titleLabel);
  titleRow->addWidget(title_, 1);
  column->addLayout(titleRow);

  details_ = new QPlainTextEdit(this);
  details_->setPlaceholderText(QStringLiteral("Details (optional)"));
  details_->setFixedHeight(110);
  details_->setTabChangesFocus(true);
  details_->setStyleSheet(
      QStringLiteral("QPlainTextEdit { border: 1px solid %1; border-radius: 6px; "
                     "padding: 4px; }")
          .arg(hairline(0.2, schemeOf(*this)).name(QColor::HexArgb)));
  column->addWidget(details_);

  auto* shotRow = new QHBoxLayout;
  screenshot_ = new QPushButton(this);
  screenshot_->setAutoDefault(false);
  screenshotName_ = smallSecondary({}, this);
  screenshotName_->setWordWrap(false);
  removeScreenshot_ = new QPushButton(this);
  removeScreenshot_->setAutoDefault(false);
  removeScreenshot_->setFlat(true);
  removeScreenshot_->setAccessibleName(QStringLiteral("Remove screenshot"));
  removeScreenshot_->setIcon(
      QIcon(tintedSymbol("xmark.circle.fill", 16, secondaryText(schemeOf(*this)), 2)));
  shotRow->addWidget(screenshot_);
  shotRow->addWidget(screenshotName_);
  shotRow->addWidget(removeScreenshot_);
  shotRow->addStretch(1);
  column->addLayout(shotRow);

  log_ = new QCheckBox(QStringLiteral("Attach diagnostic log"), this);
  column->addWidget(log_);
  auto* disclosure = smallSecondary(qs(FeedbackClient::disclosure), this);
  disclosure->setContentsMargins(24, 0, 0, 0);
  column->addWidget(disclosure);

  footnote_ = smallSecondary(qs(feedbackFootnote(AppInfo::serviceHost(), AppInfo::arch())), this);
  column->addWidget(footnote_);

  result_ = new QLabel(this);
  result_->setWordWrap(true);
  colour(*result_, QColor(40, 160, 80));
  error_ = new QLabel(this);
  error_->setWordWrap(true);
  colour(*error_, destructiveRed());
  column->addWidget(result_);
  column->addWidget(error_);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  cancel_ = new QPushButton(this);
  cancel_->setAutoDefault(false);
  send_ = new QPushButton(QStringLiteral("Send"), this);
  send_->setDefault(true);
  buttons->addWidget(cancel_);
  buttons->addWidget(send_);
  column->addLayout(buttons);

  connect(title_, &QLineEdit::textEdited, this, &FeedbackSheet::titleEdited);
  connect(details_, &QPlainTextEdit::textChanged, this, &FeedbackSheet::detailsEdited);
  connect(screenshot_, &QPushButton::clicked, this, &FeedbackSheet::pickScreenshot);
  connect(removeScreenshot_, &QPushButton::clicked, this, [this] { form_.removeImage(); });
  connect(log_, &QCheckBox::toggled, this, [this](bool on) { form_.setAttachLog(on); });
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(send_, &QPushButton::clicked, this, [this] { form_.send(); });
  form_.setOnChange([this] { refresh(); });
  refresh();
}

FeedbackSheet::~FeedbackSheet() = default;

void FeedbackSheet::titleEdited(const QString& typed) {
  const QString kept = qs(form_.setTitle(typed.toStdString()));
  if (kept == typed) return;
  // Cut at the limit: the cursor stays where it was, or at the new end.
  const int cursor = std::min(title_->cursorPosition(), int(kept.size()));
  title_->setText(kept);
  title_->setCursorPosition(cursor);
}

void FeedbackSheet::detailsEdited() {
  const QString typed = details_->toPlainText();
  const QString kept = qs(form_.setDetails(typed.toStdString()));
  if (kept == typed) return;
  const int cursor = std::min(details_->textCursor().position(), int(kept.size()));
  const QSignalBlocker quiet(details_);
  details_->setPlainText(kept);
  QTextCursor moved = details_->textCursor();
  moved.setPosition(cursor);
  details_->setTextCursor(moved);
}

void FeedbackSheet::pickScreenshot() {
  if (!chooser_) return;
  if (const auto file = chooser_(this)) form_.attachImage(*file);
}

void FeedbackSheet::refresh() {
  const bool hasImage = form_.image().has_value();
  screenshot_->setText(hasImage ? QStringLiteral("Change Screenshot…")
                                : QStringLiteral("Attach Screenshot…"));
  screenshot_->setMinimumWidth(screenshot_->sizeHint().width() + 16);
  screenshotName_->setText(hasImage ? qs(form_.image()->filename()) : QString());
  screenshotName_->setVisible(hasImage);
  removeScreenshot_->setVisible(hasImage);
  result_->setText(qs(form_.result().value_or("")));
  result_->setVisible(form_.result().has_value());
  error_->setText(qs(form_.error().value_or("")));
  error_->setVisible(form_.error().has_value());
  cancel_->setText(form_.sent() ? QStringLiteral("Close") : QStringLiteral("Cancel"));
  send_->setVisible(form_.showsSend());
  send_->setEnabled(form_.canSend());
  // With "Send" gone, Return closes.
  cancel_->setDefault(form_.sent());
}

FeedbackController::FeedbackController(AppModel& model, ModelBridge& bridge, MainWindow& window,
                                       FeedbackForm::Services services, ImageChooser chooser)
    : model_(model), window_(window), services_(std::move(services)), chooser_(std::move(chooser)) {
  connect(&bridge, &ModelBridge::changed, this, &FeedbackController::sync);
  sync();
}

FeedbackController::~FeedbackController() {
  sheet_.reset();
  worker_.waitIdle();
}

void FeedbackController::sync() {
  if (model_.showFeedback() && !sheet_) {
    sheet_ = std::make_unique<FeedbackSheet>(model_.executor(), worker_, services_, chooser_,
                                             window_.sheetHost());
    connect(sheet_.get(), &QDialog::finished, this, [this] {
      model_.setShowFeedback(false);
      sync();
    });
    sheet_->open();
  } else if (!model_.showFeedback() && sheet_) {
    FeedbackSheet* leaving = sheet_.release();
    leaving->hide();
    leaving->deleteLater();
  }
}

}  // namespace choralink::ui
