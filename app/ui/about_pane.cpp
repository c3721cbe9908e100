#include "app/ui/about_pane.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/model/platform_texts.h"
#include "app/ui/brand_mark.h"
#include "app/ui/view_rules.h"
#include "app/ui/widgets.h"
#include "support/app_info.h"

namespace choralink::ui {

AboutPane::AboutPane(AppModel& model, ModelBridge& bridge, QWidget* parent)
    : QWidget(parent), model_(model) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 18, 0, 18);
  column->setSpacing(10);
  column->addWidget(new BrandMark(56, this), 0, Qt::AlignHCenter);
  column->addWidget(titleLabel(qs(PlatformTexts::shown(PlatformTexts::kAboutTitle)), 6, this), 0,
                    Qt::AlignHCenter);
  version_ = secondaryLabel(QStringLiteral("Version ") + qs(AppInfo::version()), this);
  column->addWidget(version_, 0, Qt::AlignHCenter);
  column->addSpacing(6);

  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(10);
  buttons->addStretch(1);
  check_ = new QPushButton(QStringLiteral("Check for Updates…"), this);
  connect(check_, &QPushButton::clicked, this, [this] { model_.updater().checkForUpdates(); });
  feedback_ = new QPushButton(QStringLiteral("Send Feedback…"), this);
  connect(feedback_, &QPushButton::clicked, this, [this] {
    if (model_.openMainWindow()) model_.openMainWindow()();
    model_.setShowFeedback(true);
  });
  for (QPushButton* button : {check_, feedback_})
    button->setMinimumHeight(30);
  buttons->addWidget(check_);
  buttons->addWidget(feedback_);
  buttons->addStretch(1);
  column->addLayout(buttons);
  column->addSpacing(8);

  const QString host = qs(AppInfo::serviceHost());
  QLabel* privacy = secondaryLabel(
      qs(PlatformTexts::shown(PlatformTexts::kPrivacyOpening)) +
          QStringLiteral(" Choralink checks %1 for updates about once a week, sending the app "
                         "and system versions. A report is sent only when you choose Send "
                         "Feedback.")
              .arg(host),
      this, -1);
  privacy->setWordWrap(true);
  privacy->setAlignment(Qt::AlignHCenter);
  privacy->setContentsMargins(24, 0, 24, 0);
  column->addWidget(privacy);

  const QUrl home(QString::fromStdString(homePageURL()), QUrl::StrictMode);
  if (home.isValid() && !home.host().isEmpty()) {
    link_ = new LinkLabel(home.host(), this);
    QFont caption = link_->font();
    caption.setPointSizeF(caption.pointSizeF() - 1);
    caption.setUnderline(true);
    link_->setFont(caption);
    link_->setAccessibleName(home.host());
    connect(static_cast<LinkLabel*>(link_), &LinkLabel::clicked, this,
            [home] { QDesktopServices::openUrl(home); });
    column->addWidget(link_, 0, Qt::AlignHCenter);
  }
  column->addStretch(1);

  connect(&bridge, &ModelBridge::changed, this, &AboutPane::refresh);
  refresh();
}

void AboutPane::refresh() {
  UpdaterControl& updater = model_.updater();
  check_->setEnabled(checkForUpdatesEnabled(updater.hasController(), updater.canCheck()));
}

}  // namespace choralink::ui
