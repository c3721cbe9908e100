#include "app/ui/sync_page.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/model/platform_texts.h"
#include "app/ui/devices_page.h"
#include "app/ui/palette.h"
#include "app/ui/widgets.h"

namespace choralink::ui {

ModeCard::ModeCard(AppModel& model, ModelBridge& bridge, BroadcastMode mode, const QString& title,
                   std::string_view symbol, const QString& detail, QWidget* parent)
    : QAbstractButton(parent), model_(model), mode_(mode) {
  setText(title);
  setAccessibleName(title);
  setAccessibleDescription(detail);
  setCursor(Qt::PointingHandCursor);
  setCheckable(false);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(16, 14, 16, 16);
  column->setSpacing(8);
  auto* top = new QHBoxLayout;
  auto* glyph = new SymbolView(symbol, 22, this);
  glyph->setSymbol(symbol, brandAccent(schemeOf(*this)));
  top->addWidget(glyph);
  top->addStretch(1);
  check_ = new SymbolView("checkmark.circle.fill", 18, this);
  top->addWidget(check_);
  column->addLayout(top);
  QLabel* titleText = titleLabel(title, 1, this);
  QLabel* detailText = secondaryLabel(detail, this);
  detailText->setWordWrap(true);
  for (QLabel* label : {titleText, detailText}) {
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    column->addWidget(label);
  }
  column->addStretch(1);
  connect(this, &QAbstractButton::clicked, this, [this] { model_.setMode(mode_); });
  connect(&bridge, &ModelBridge::changed, this, &ModeCard::refresh);
  refresh();
}

QSize ModeCard::sizeHint() const {
  return {300, 132};
}

void ModeCard::refresh() {
  const bool selected = model_.settings().mode == mode_;
  check_->setVisible(selected);
  check_->setSymbol("checkmark.circle.fill", brandAccent(schemeOf(*this)));
  if (selected != selected_) {
    selected_ = selected;
    update();
  }
}

void ModeCard::paintEvent(QPaintEvent*) {
  const Scheme scheme = schemeOf(*this);
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF shape = QRectF(rect()).adjusted(1, 1, -1, -1);
  painter.setBrush(cardBackground(scheme));
  painter.setPen(selected_ ? QPen(brandAccent(scheme), 2) : QPen(hairline(0.1, scheme), 1));
  painter.drawRoundedRect(shape, 12, 12);
}

SyncPage::SyncPage(AppModel& model, ModelBridge& bridge, QWidget* parent)
    : QWidget(parent), model_(model) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(28, 24, 28, 24);
  column->setSpacing(10);
  auto* header =
      new PageHeader(QStringLiteral("Sync"), QStringLiteral("How devices are kept together"), this);
  syncTest_ = new SyncTestButton(model, bridge, header);
  header->trailing()->addWidget(syncTest_);
  column->addWidget(header);
  column->addSpacing(14);

  column->addWidget(sectionCaption(QStringLiteral("MODE"), this));
  auto* modes = new QHBoxLayout;
  modes->setSpacing(12);
  synced_ = new ModeCard(model, bridge, BroadcastMode::synced, QStringLiteral("Synced"),
                         "arrow.triangle.2.circlepath",
                         qs(PlatformTexts::shown(PlatformTexts::kSyncedModeDetail)), this);
  mirror_ = new ModeCard(
      model, bridge, BroadcastMode::mirror,
      qs(PlatformTexts::shown(PlatformTexts::kMirrorModeTitle)), "laptopcomputer",
      QStringLiteral(
          "Your current output plays as usual; other devices get a copy and lag slightly behind."),
      this);
  modes->addWidget(synced_, 1);
  modes->addWidget(mirror_, 1);
  column->addLayout(modes);
  column->addSpacing(16);

  column->addWidget(sectionCaption(QStringLiteral("VOLUME & DELAYS"), this));
  auto* card = new Card(this);
  auto* rows = new QVBoxLayout(card);
  rows->setContentsMargins(16, 12, 16, 12);
  rows->setSpacing(12);
  auto* volumeRow = new QHBoxLayout;
  volumeRow->setSpacing(10);
  volumeRow->addWidget(new SymbolView("speaker.fill", 16, card));
  volumeRow->addWidget(new QLabel(QStringLiteral("Master volume"), card));
  volumeRow->addStretch(1);
  master_ = new PercentSlider(card);
  master_->setFixedWidth(200);
  master_->setAccessibleName(QStringLiteral("Master volume"));
  connect(master_, &QSlider::valueChanged, this,
          [this](int value) { model_.setMasterVolume(value); });
  masterText_ = secondaryLabel({}, card);
  masterText_->setFixedWidth(40);
  volumeRow->addWidget(master_);
  volumeRow->addWidget(masterText_);
  rows->addLayout(volumeRow);
  rows->addWidget(new HairlineRule(card));
  auto* resetRow = new QHBoxLayout;
  auto* resetTexts = new QVBoxLayout;
  resetTexts->setSpacing(2);
  resetTexts->addWidget(new QLabel(QStringLiteral("Reset all delays"), card));
  resetTexts->addWidget(
      secondaryLabel(QStringLiteral("Sets every device's delay back to 0 ms."), card, -1));
  resetRow->addLayout(resetTexts, 1);
  reset_ = new QPushButton(QStringLiteral("Reset"), card);
  connect(reset_, &QPushButton::clicked, this, [this] { model_.resetDelays(); });
  resetRow->addWidget(reset_);
  rows->addLayout(resetRow);
  column->addWidget(card);
  column->addStretch(1);

  connect(&bridge, &ModelBridge::changed, this, &SyncPage::refresh);
  refresh();
}

ModeCard* SyncPage::modeCard(BroadcastMode mode) const {
  return mode == BroadcastMode::synced ? synced_ : mirror_;
}

void SyncPage::refresh() {
  const auto volume = static_cast<int>(model_.settings().masterVolume);
  master_->display(volume);
  masterText_->setText(QString::number(volume) + QStringLiteral("%"));
}

}  // namespace choralink::ui
