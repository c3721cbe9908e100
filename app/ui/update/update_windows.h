// The updater's windows: "update found" with its three choices, "up to date",
// a failed check, and the alert of a build without an updater. A find from a
// scheduled check goes to the tray as a notification instead; clicking it
// opens the same window. Thin by design: every decision is the updater's.
// Lives on the Qt main thread, which is the model's executor.
#pragma once

#include <QtCore/QPointer>
#include <QtCore/QString>
#include <QtWidgets/QMessageBox>
#include <functional>

#include "app/update/update_prompter.h"

class QWidget;

namespace choralink {

class UpdateWindows final : public UpdatePrompter {
 public:
  // Shows a tray message; `clicked` runs when the user clicks it.
  using TrayNotifier =
      std::function<void(const QString& title, const QString& message, std::function<void()>)>;

  UpdateWindows(QString runningVersion, TrayNotifier notifier, QWidget* parent = nullptr);
  ~UpdateWindows() override;

  void showUpdateFound(const UpdateOffer& offer, Answer answer) override;
  void notifyUpdateFound(const UpdateOffer& offer, Answer answer) override;
  void showUpToDate(std::string_view runningVersion) override;
  void showCheckFailed(std::string_view message) override;
  void showUnavailable(std::string_view message, std::string_view informative) override;

  // The window on screen, if any (for tests and for raising it again).
  QMessageBox* window() const { return window_; }

 private:
  QMessageBox* open(const QString& title, const QString& text, const QString& informative);

  QString runningVersion_;
  TrayNotifier notifier_;
  QWidget* parent_;
  QPointer<QMessageBox> window_;
};

}  // namespace choralink
