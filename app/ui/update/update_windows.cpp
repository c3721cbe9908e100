#include "app/ui/update/update_windows.h"

#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

namespace choralink {
namespace {

QString text(std::string_view value) {
  return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

}  // namespace

UpdateWindows::UpdateWindows(QString runningVersion, TrayNotifier notifier, QWidget* parent)
    : runningVersion_(std::move(runningVersion)), notifier_(std::move(notifier)), parent_(parent) {}

UpdateWindows::~UpdateWindows() {
  delete window_.data();
}

QMessageBox* UpdateWindows::open(const QString& title, const QString& message,
                                 const QString& informative) {
  delete window_.data();  // one updater window at a time, the newest
  window_ = new QMessageBox(parent_);
  window_->setAttribute(Qt::WA_DeleteOnClose);
  window_->setWindowTitle(title);
  window_->setText(message);
  window_->setInformativeText(informative);
  return window_;
}

void UpdateWindows::showUpdateFound(const UpdateOffer& offer, Answer answer) {
  const QString display = QString::fromStdString(offer.displayVersion);
  QString informative = QStringLiteral("Choralink %1 is ready to install; you have %2.")
                            .arg(display.toHtmlEscaped(), runningVersion_.toHtmlEscaped());
  if (!offer.releaseNotesURL.empty()) {
    informative += QStringLiteral("<br><a href=\"%1\">Release notes</a>")
                       .arg(QString::fromStdString(offer.releaseNotesURL).toHtmlEscaped());
  }
  QMessageBox* box = open(QStringLiteral("Software Update"),
                          QStringLiteral("A new version of Choralink is available"), informative);
  box->setIcon(QMessageBox::Information);
  box->setTextFormat(Qt::RichText);
  box->setTextInteractionFlags(Qt::TextBrowserInteraction);
  const auto add = [box](const char* label, QMessageBox::ButtonRole role) {
    return box->addButton(QString::fromUtf8(label), role);
  };
  QPushButton* install = add("Install and Relaunch", QMessageBox::AcceptRole);
  QPushButton* later = add("Later", QMessageBox::RejectRole);
  QPushButton* skip = add("Skip This Version", QMessageBox::DestructiveRole);
  box->setDefaultButton(install);
  box->setEscapeButton(later);
  QObject::connect(box, &QMessageBox::buttonClicked, box,
                   [answer = std::move(answer), install, skip](QAbstractButton* clicked) {
                     if (clicked == install) return answer(UpdateChoice::installAndRelaunch);
                     if (clicked == skip) return answer(UpdateChoice::skipThisVersion);
                     answer(UpdateChoice::later);
                   });
  box->show();
  box->raise();
  box->activateWindow();
}

void UpdateWindows::notifyUpdateFound(const UpdateOffer& offer, Answer answer) {
  if (!notifier_) return showUpdateFound(offer, std::move(answer));
  notifier_(QStringLiteral("Choralink update available"),
            QStringLiteral("Choralink %1 is ready to install.")
                .arg(QString::fromStdString(offer.displayVersion)),
            [this, offer, answer = std::move(answer)] { showUpdateFound(offer, answer); });
}

void UpdateWindows::showUpToDate(std::string_view runningVersion) {
  QMessageBox* box =
      open(QStringLiteral("Software Update"), QStringLiteral("You're up to date"),
           QStringLiteral("Choralink %1 is the newest version.").arg(text(runningVersion)));
  box->setIcon(QMessageBox::Information);
  box->show();
}

void UpdateWindows::showCheckFailed(std::string_view message) {
  QMessageBox* box = open(QStringLiteral("Software Update"),
                          QStringLiteral("The update check didn't finish"), text(message));
  box->setIcon(QMessageBox::Warning);
  box->show();
}

void UpdateWindows::showUnavailable(std::string_view message, std::string_view informative) {
  QMessageBox* box = open(QStringLiteral("Software Update"), text(message), text(informative));
  box->setIcon(QMessageBox::Information);
  // Modal like the original alert, but without a nested event loop: the
  // model's tasks keep running in order on the main loop.
  box->setWindowModality(Qt::ApplicationModal);
  box->show();
}

}  // namespace choralink
