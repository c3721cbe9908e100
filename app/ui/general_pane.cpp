#include "app/ui/general_pane.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "app/model/platform_texts.h"
#include "app/ui/devices_page.h"
#include "app/ui/palette.h"
#include "app/ui/widgets.h"

namespace choralink::ui {
namespace {

// One labelled row of a settings card; returns the row.
QWidget* addRow(QVBoxLayout& rows, QWidget* card, const QString& label, QWidget* control,
                const QString& explanation = {}) {
  auto* row = new QWidget(card);
  auto* line = new QHBoxLayout(row);
  line->setContentsMargins(0, 2, 0, 2);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  texts->addWidget(new QLabel(label, row));
  if (!explanation.isEmpty()) {
    QLabel* text = secondaryLabel(explanation, row, -1);
    text->setWordWrap(true);
    texts->addWidget(text);
  }
  line->addLayout(texts, 1);
  control->setParent(row);
  line->addWidget(control, 0, Qt::AlignVCenter);
  control->setAccessibleName(label);
  rows.addWidget(row);
  return row;
}

Card* section(QVBoxLayout& column, QWidget* parent, QVBoxLayout*& rows) {
  auto* card = new Card(parent);
  rows = new QVBoxLayout(card);
  rows->setContentsMargins(16, 10, 16, 10);
  rows->setSpacing(8);
  column.addWidget(card);
  return card;
}

// One segment of a segmented picker, drawn from the current palette: the
// chosen one in the accent colour.
class Segment : public QPushButton {
 public:
  Segment(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
  }
  QSize sizeHint() const override { return {fontMetrics().horizontalAdvance(text()) + 28, 26}; }

 protected:
  void paintEvent(QPaintEvent*) override {
    const Scheme scheme = schemeOf(*this);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF shape = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(isChecked() ? brandAccent(scheme) : hairline(0.15, scheme), 1));
    painter.setBrush(isChecked() ? brandAccent(scheme) : palette().color(QPalette::Button));
    painter.drawRoundedRect(shape, 5, 5);
    painter.setPen(isChecked() ? QColor(Qt::white) : palette().color(QPalette::ButtonText));
    painter.drawText(rect(), Qt::AlignCenter, text());
  }
};

constexpr std::array<const char*, 3> kAppearanceLabels{"System", "Light", "Dark"};

}  // namespace

GeneralPane::GeneralPane(AppModel& model, ModelBridge& bridge, QWidget* parent)
    : QWidget(parent), model_(model) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(14);

  QVBoxLayout* rows = nullptr;
  Card* general = section(*column, this, rows);
  launch_ = new ToggleSwitch;
  addRow(*rows, general, QStringLiteral("Launch at login"), launch_);
  connect(launch_, &ToggleSwitch::clicked, this, [this](bool on) { model_.setLaunchAtLogin(on); });
  taskbar_ = new ToggleSwitch;
  addRow(*rows, general, qs(PlatformTexts::shown(PlatformTexts::kShowInDock)), taskbar_);
  connect(taskbar_, &ToggleSwitch::clicked, this, [this](bool on) { model_.setShowInDock(on); });
  updates_ = new ToggleSwitch;
  updatesRow_ = addRow(*rows, general, QStringLiteral("Automatically check for updates"), updates_);
  connect(updates_, &ToggleSwitch::clicked, this,
          [this](bool on) { model_.updater().setAutomaticallyChecks(on); });

  auto* picker = new QWidget;
  auto* segments = new QHBoxLayout(picker);
  segments->setContentsMargins(0, 0, 0, 0);
  segments->setSpacing(2);
  auto* group = new QButtonGroup(picker);
  for (std::size_t i = 0; i < kAllAppearanceModes.size(); ++i) {
    auto* segment = new Segment(QString::fromLatin1(kAppearanceLabels[i]), picker);
    segment->setCheckable(true);
    segment->setAccessibleName(QString::fromLatin1(kAppearanceLabels[i]));
    group->addButton(segment);
    segments->addWidget(segment);
    connect(segment, &QPushButton::clicked, this, [this, mode = kAllAppearanceModes[i]] {
      if (model_.settings().appearance != mode) model_.setAppearance(mode);
    });
    segments_[i] = segment;
  }
  addRow(*rows, general, QStringLiteral("Appearance"), picker);

  Card* volume = section(*column, this, rows);
  auto* masterBox = new QWidget;
  auto* masterLine = new QHBoxLayout(masterBox);
  masterLine->setContentsMargins(0, 0, 0, 0);
  master_ = new PercentSlider(masterBox);
  master_->setFixedWidth(220);
  masterText_ = secondaryLabel({}, masterBox);
  masterText_->setFixedWidth(40);
  masterLine->addWidget(master_);
  masterLine->addWidget(masterText_);
  addRow(*rows, volume, QStringLiteral("Master volume"), masterBox);
  master_->setAccessibleName(QStringLiteral("Master volume"));
  connect(master_, &QSlider::valueChanged, this,
          [this](int value) { model_.setMasterVolume(value); });

  Card* mode = section(*column, this, rows);
  mirror_ = new ToggleSwitch;
  addRow(*rows, mode, qs(PlatformTexts::shown(PlatformTexts::kMirrorModeSwitch)), mirror_,
         QStringLiteral("Your current output plays as usual and Choralink copies the sound to the "
                        "other devices. They'll lag slightly behind — use Synced mode (off) for "
                        "perfect alignment."));
  connect(mirror_, &ToggleSwitch::clicked, this,
          [this](bool on) { model_.setMode(on ? BroadcastMode::mirror : BroadcastMode::synced); });
  column->addStretch(1);

  connect(&bridge, &ModelBridge::changed, this, &GeneralPane::refresh);
  refresh();
}

QPushButton* GeneralPane::appearanceSegment(AppearanceMode mode) const {
  return segments_[static_cast<std::size_t>(mode)];
}

void GeneralPane::refresh() {
  const AppSettings& settings = model_.settings();
  UpdaterControl& updater = model_.updater();
  auto show = [](ToggleSwitch* toggle, bool on) {
    const QSignalBlocker quiet(toggle);
    toggle->setChecked(on);
  };
  show(launch_, settings.launchAtLogin);
  show(taskbar_, settings.showInDock);
  updatesRow_->setVisible(updater.hasController());
  show(updates_, updater.automaticallyChecks());
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    const QSignalBlocker quiet(segments_[i]);
    segments_[i]->setChecked(settings.appearance == kAllAppearanceModes[i]);
  }
  master_->display(static_cast<int>(settings.masterVolume));
  masterText_->setText(QString::number(settings.masterVolume) + QStringLiteral("%"));
  show(mirror_, settings.mode == BroadcastMode::mirror);
}

}  // namespace choralink::ui
