#include "app/ui/calibration/calibration_sheet.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/ui/palette.h"
#include "app/ui/widgets.h"

namespace choralink::ui {
namespace {

void colour(QLabel& label, const QColor& color) {
  QPalette p = label.palette();
  p.setColor(QPalette::WindowText, color);
  label.setPalette(p);
}

QString milliseconds(double ms) {
  return QString::number(ms, 'f', 1) + QStringLiteral(" ms");
}

QString statusText(const DeviceCalibration& device) {
  switch (device.status) {
    case DeviceCalibrationStatus::heard:
      if (device.newOffsetMs == device.currentOffsetMs)
        return QStringLiteral("Keeps %1 ms").arg(device.newOffsetMs);
      return QStringLiteral("%1 → %2 ms").arg(device.currentOffsetMs).arg(device.newOffsetMs);
    case DeviceCalibrationStatus::notHeard:
      return QStringLiteral("Not heard");
    case DeviceCalibrationStatus::vanished:
      return QStringLiteral("Disappeared");
  }
  return {};
}

}  // namespace

CalibrationBridge::CalibrationBridge(CalibrationModel& calibration, QObject* parent)
    : QObject(parent), calibration_(calibration) {
  calibration_.setOnChange([this] { Q_EMIT changed(); });
}

CalibrationBridge::~CalibrationBridge() {
  calibration_.setOnChange({});
}

QString calibrationStepText(bool verifying, double fraction, int devices) {
  const QString what = verifying ? QStringLiteral("Checking") : QStringLiteral("Measuring");
  if (devices <= 0) return what + QStringLiteral("…");
  const double within = std::clamp((fraction - (verifying ? 0.5 : 0.0)) * 2.0, 0.0, 1.0);
  const int step = std::min(devices, 1 + static_cast<int>(std::floor(within * devices)));
  return QStringLiteral("%1 device %2 of %3…").arg(what).arg(step).arg(devices);
}

CalibrationSheet::CalibrationSheet(AppModel& model, ModelBridge& modelBridge,
                                   CalibrationBridge& bridge, QWidget* host)
    : QDialog(host), model_(model), calibration_(bridge.calibration()) {
  setObjectName(QStringLiteral("calibration"));
  setWindowTitle(QStringLiteral("Calibrate with Microphone"));
  setWindowModality(Qt::WindowModal);
  setFixedWidth(540);
  if (calibration_.phase() != CalibrationModel::Phase::running) calibration_.cancel();

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(22, 20, 22, 16);
  column->setSpacing(10);
  column->addWidget(titleLabel(QStringLiteral("Calibrate with Microphone"), 4, this));
  QLabel* place = secondaryLabel(
      QStringLiteral("Put the microphone where you usually listen and keep the room quiet. Each "
                     "device plays a short sweep in turn, then once more to check the new delays."),
      this);
  place->setWordWrap(true);
  column->addWidget(place);

  auto* micRow = new QHBoxLayout;
  auto* micLabel = new QLabel(QStringLiteral("Microphone"), this);
  microphones_ = new QComboBox(this);
  microphones_->setAccessibleName(QStringLiteral("Microphone"));
  micLabel->setBuddy(microphones_);
  micRow->addWidget(micLabel);
  micRow->addWidget(microphones_, 1);
  column->addLayout(micRow);
  connect(microphones_, &QComboBox::activated, this, [this](int index) {
    calibration_.chooseMicrophone(microphones_->itemData(index).toString().toStdString());
  });

  step_ = secondaryLabel({}, this);
  progress_ = new QProgressBar(this);
  progress_->setRange(0, 100);
  progress_->setTextVisible(false);
  progress_->setFixedHeight(6);
  column->addWidget(step_);
  column->addWidget(progress_);

  results_ = new Card(this);
  auto* resultColumn = new QVBoxLayout(results_);
  resultColumn->setContentsMargins(14, 10, 14, 12);
  rows_ = new QGridLayout;
  rows_->setHorizontalSpacing(16);
  rows_->setVerticalSpacing(6);
  rows_->setColumnStretch(0, 1);
  resultColumn->addLayout(rows_);
  resultColumn->addWidget(new HairlineRule(results_));
  spread_ = new QLabel(results_);
  resultColumn->addWidget(spread_);
  notes_ = new QVBoxLayout;
  resultColumn->addLayout(notes_);
  column->addWidget(results_);

  message_ = new QLabel(this);
  message_->setWordWrap(true);
  colour(*message_, destructiveRed());
  column->addWidget(message_);
  column->addStretch(1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
  start_ = new QPushButton(QStringLiteral("Start"), this);
  apply_ = new QPushButton(QStringLiteral("Apply"), this);
  apply_->setDefault(true);
  for (QPushButton* button : {cancel_, start_, apply_}) {
    button->setAutoDefault(false);
    buttons->addWidget(button);
  }
  column->addLayout(buttons);
  connect(cancel_, &QPushButton::clicked, this, &CalibrationSheet::reject);
  connect(start_, &QPushButton::clicked, this, [this] { calibration_.start(); });
  connect(apply_, &QPushButton::clicked, this, [this] {
    if (calibration_.apply()) accept();
  });

  connect(&bridge, &CalibrationBridge::changed, this, &CalibrationSheet::refresh);
  connect(&modelBridge, &ModelBridge::changed, this, &CalibrationSheet::refresh);
  refresh();
}

void CalibrationSheet::reject() {
  calibration_.cancel();
  QDialog::reject();
}

void CalibrationSheet::refresh() {
  using Phase = CalibrationModel::Phase;
  const Phase phase = calibration_.phase();
  const bool running = phase == Phase::running;

  {
    const QSignalBlocker quiet(microphones_);
    microphones_->clear();
    for (const InputDeviceInfo& mic : calibration_.microphones())
      microphones_->addItem(QString::fromStdString(mic.name), QString::fromStdString(mic.uid));
    microphones_->setCurrentIndex(
        microphones_->findData(QString::fromStdString(calibration_.microphoneUID())));
  }
  microphones_->setEnabled(!running && microphones_->count() > 0);

  step_->setVisible(running);
  progress_->setVisible(running);
  if (running) {
    step_->setText(calibrationStepText(calibration_.verifying(), calibration_.progress(),
                                       static_cast<int>(model_.delays().size())));
    progress_->setValue(static_cast<int>(std::lround(calibration_.progress() * 100)));
  }

  const bool finished = phase == Phase::finished && calibration_.result();
  if (finished && !resultShown_) showResult();
  resultShown_ = finished;
  results_->setVisible(finished);

  message_->setVisible(phase == Phase::failed);
  message_->setText(QString::fromStdString(calibration_.message()));

  start_->setText(phase == Phase::idle || running ? QStringLiteral("Start")
                                                  : QStringLiteral("Start Again"));
  start_->setEnabled(calibration_.canCalibrate());
  apply_->setEnabled(finished && std::any_of(calibration_.result()->devices.begin(),
                                             calibration_.result()->devices.end(),
                                             [](const DeviceCalibration& d) {
                                               return d.status == DeviceCalibrationStatus::heard;
                                             }));
  if (phase != shownPhase_) adjustSize();
  shownPhase_ = phase;
}

void CalibrationSheet::showResult() {
  for (QLayout* layout : {static_cast<QLayout*>(rows_), static_cast<QLayout*>(notes_)}) {
    while (QLayoutItem* item = layout->takeAt(0)) {
      delete item->widget();
      delete item;
    }
  }
  const CalibrationResult& result = *calibration_.result();
  const QStringList heads{QStringLiteral("DEVICE"), QStringLiteral("AHEAD BY"),
                          QStringLiteral("CONFIDENCE"), QStringLiteral("DELAY")};
  for (int c = 0; c < heads.size(); ++c)
    rows_->addWidget(sectionCaption(heads[c], results_), 0, c);
  int row = 1;
  for (const DeviceCalibration& device : result.devices) {
    const bool heard = device.status == DeviceCalibrationStatus::heard;
    const QString cells[] = {
        QString::fromStdString(device.name),
        heard ? milliseconds(device.measuredOffsetMs) : QStringLiteral("—"),
        device.status == DeviceCalibrationStatus::vanished
            ? QStringLiteral("—")
            : QString::number(device.confidenceDb, 'f', 0) + QStringLiteral(" dB"),
        statusText(device)};
    for (int c = 0; c < 4; ++c) {
      auto* cell = new QLabel(cells[c], results_);
      if (c > 0) cell->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
      if (c == 3 && !heard) colour(*cell, warningOrange(schemeOf(*this)));
      rows_->addWidget(cell, row, c);
    }
    ++row;
    if (!device.note.empty()) {
      auto* note = secondaryLabel(QString::fromStdString(device.note), results_, -1);
      note->setWordWrap(true);
      notes_->addWidget(note);
    }
  }
  spread_->setText(
      QStringLiteral("Spread after calibration: %1 (before: %2)")
          .arg(milliseconds(result.spreadAfterMs), milliseconds(result.spreadBeforeMs)));
}

}  // namespace choralink::ui
