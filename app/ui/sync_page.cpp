#include "app/ui/sync_page.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/model/platform_texts.h"
#include "app/ui/calibration/calibration_sheet.h"
#include "app/ui/devices_page.h"
#include "app/ui/icons.h"
#include "app/ui/palette.h"
#include "app/ui/widgets.h"
#include "engine/calibration/calibration_texts.h"

namespace choralink::ui {

namespace {

constexpr const char* kCalibrateHelp =
    "Listens with a microphone where you sit and sets every device's delay so they sound as one";

QString ms(double value) {
  return QString::number(std::lround(value)) + QStringLiteral(" ms");
}

}  // namespace

QString engineDelayText(double reportedMs, double padMs, std::int64_t userMs) {
  return ms(reportedMs) + QStringLiteral(" reported · ") + ms(padMs) + QStringLiteral(" pad · ") +
         ms(static_cast<double>(userMs)) + QStringLiteral(" yours");
}

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
    : QWidget(parent), model_(model), bridge_(bridge) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(28, 24, 28, 24);
  column->setSpacing(10);
  auto* header =
      new PageHeader(QStringLiteral("Sync"), QStringLiteral("How devices are kept together"), this);
  calibrate_ = new QPushButton(QStringLiteral("Calibrate with Microphone…"), header);
  calibrate_->setAccessibleName(QStringLiteral("Calibrate with Microphone…"));
  calibrate_->setIcon(icon("waveform.badge.mic"));
  calibrate_->setIconSize({16, 16});
  calibrate_->setMinimumHeight(34);
  connect(calibrate_, &QPushButton::clicked, this, &SyncPage::openCalibration);
  header->trailing()->addWidget(calibrate_);
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
  column->addSpacing(16);

  column->addWidget(sectionCaption(QStringLiteral("DELAYS IN USE"), this));
  delays_ = new Card(this);
  auto* delayRows = new QGridLayout(delays_);
  delayRows->setContentsMargins(16, 10, 16, 10);
  delayRows->setVerticalSpacing(6);
  delayRows->setColumnStretch(0, 1);
  column->addWidget(delays_);
  column->addStretch(1);

  connect(&bridge, &ModelBridge::changed, this, &SyncPage::refresh);
  refresh();
}

void SyncPage::setCalibration(CalibrationModel* calibration) {
  delete calibration_;
  calibration_ = calibration ? new CalibrationBridge(*calibration, this) : nullptr;
  if (calibration_) {
    connect(calibration_, &CalibrationBridge::changed, this, &SyncPage::refreshCalibrate);
  }
  refreshCalibrate();
}

void SyncPage::openCalibration() {
  if (!calibration_ || sheet_) return;
  calibration_->calibration().refreshMicrophones();
  sheet_ = new CalibrationSheet(model_, bridge_, *calibration_, window());
  sheet_->setAttribute(Qt::WA_DeleteOnClose);
  sheet_->open();
}

void SyncPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (calibration_ && !sheet_) calibration_->calibration().refreshMicrophones();
}

void SyncPage::refreshCalibrate() {
  const bool can = calibration_ && calibration_->calibration().canCalibrate();
  calibrate_->setEnabled(can);
  if (!calibration_ || calibration_->calibration().microphones().empty()) {
    calibrate_->setToolTip(QString::fromUtf8(CalibrationTexts::kNoMicrophone));
  } else if (!model_.engineState().is(EngineState::Kind::running)) {
    calibrate_->setToolTip(QString::fromUtf8(CalibrationTexts::kNotBroadcasting));
  } else {
    calibrate_->setToolTip(QString::fromUtf8(kCalibrateHelp));
  }
}

void SyncPage::refreshDelays() {
  // The pad is what the slowest device's reported latency adds over this
  // one's: the engine counts it in frames at the broadcast's rate, which the
  // model does not carry, so it is taken from the same latencies in ms.
  double slowest = 0;
  for (const AudioDeviceInfo& device : model_.devices()) {
    if (model_.delays().contains(device.uid)) slowest = std::max(slowest, device.latencyMs());
  }
  QStringList lines;  // name, text, name, text, …
  for (const AudioDeviceInfo& device : model_.devices()) {
    if (!model_.delays().contains(device.uid)) continue;
    lines << QString::fromStdString(device.name)
          << engineDelayText(device.latencyMs(), slowest - device.latencyMs(),
                             model_.deviceSettings(device.uid).offsetMs);
  }
  if (lines == delayLines_ && delays_->layout()->count() > 0) return;
  delayLines_ = lines;
  auto* rows = static_cast<QGridLayout*>(delays_->layout());
  while (QLayoutItem* item = rows->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  if (lines.isEmpty()) {
    rows->addWidget(secondaryLabel(QStringLiteral("Shown while broadcasting."), delays_), 0, 0);
    return;
  }
  for (int row = 0; row < lines.size() / 2; ++row) {
    rows->addWidget(new QLabel(lines[2 * row], delays_), row, 0);
    QLabel* line = secondaryLabel(lines[2 * row + 1], delays_);
    line->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    line->setAccessibleName(lines[2 * row] + QStringLiteral(" delay in use"));
    rows->addWidget(line, row, 1);
  }
}

ModeCard* SyncPage::modeCard(BroadcastMode mode) const {
  return mode == BroadcastMode::synced ? synced_ : mirror_;
}

void SyncPage::refresh() {
  const auto volume = static_cast<int>(model_.settings().masterVolume);
  master_->display(volume);
  masterText_->setText(QString::number(volume) + QStringLiteral("%"));
  refreshCalibrate();
  refreshDelays();
}

}  // namespace choralink::ui
