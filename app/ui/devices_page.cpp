#include "app/ui/devices_page.h"

#include <QDesktopServices>
#include <QGraphicsOpacityEffect>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <cmath>

#include "app/model/platform_texts.h"
#include "app/ui/accessibility.h"
#include "app/ui/delay_field.h"
#include "app/ui/device_icon.h"
#include "app/ui/icons.h"
#include "app/ui/level_meter.h"
#include "app/ui/palette.h"
#include "app/ui/widgets.h"

namespace choralink::ui {
namespace {

// Below this width a card puts its controls under the device's name.
constexpr int kSingleRowWidth = 640;

// The small activity indicator of the broadcast bar; it animates only while
// it is shown, so an idle window runs no timer.
class Spinner : public QWidget {
 public:
  explicit Spinner(QWidget* parent) : QWidget(parent) {
    setFixedSize(14, 14);
    timer_.setInterval(80);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
      angle_ = (angle_ + 30) % 360;
      update();
    });
  }

 protected:
  void showEvent(QShowEvent*) override { timer_.start(); }
  void hideEvent(QHideEvent*) override { timer_.stop(); }
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(brandTeal(schemeOf(*this)), 2, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(QRectF(rect()).adjusted(2, 2, -2, -2), -angle_ * 16, 270 * 16);
  }

 private:
  QTimer timer_;
  int angle_ = 0;
};

// Only a changed colour touches the palette: refreshes come 30 times a
// second while meters move, and each palette change repaints.
void setTextColour(QLabel& label, const QColor& colour) {
  if (label.palette().color(QPalette::WindowText) == colour) return;
  QPalette palette = label.palette();
  palette.setColor(QPalette::WindowText, colour);
  label.setPalette(palette);
}

}  // namespace

SyncTestButton::SyncTestButton(AppModel& model, ModelBridge& bridge, QWidget* parent)
    : QPushButton(QStringLiteral("Play Sync Test"), parent), model_(model) {
  setIcon(ui::icon("metronome"));
  setIconSize({16, 16});
  setMinimumHeight(34);
  setToolTip(QStringLiteral(
      "Plays six clicks on every device at once — adjust delays until they sound like one"));
  connect(this, &QPushButton::clicked, this, [this] { model_.router().playTestTone(); });
  connect(&bridge, &ModelBridge::changed, this, &SyncTestButton::refresh);
  refresh();
}

void SyncTestButton::refresh() {
  setEnabled(syncTestEnabled(model_.engineState()));
}

PercentSlider::PercentSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
  installAccessibleInterfaces();
  setRange(0, 100);
}

void PercentSlider::display(int value) {
  if (isSliderDown() || this->value() == value) return;
  const QSignalBlocker quiet(this);
  setValue(value);
}

DeviceCard::DeviceCard(AppModel& model, AudioDeviceInfo device, QWidget* parent)
    : QWidget(parent), model_(model), device_(std::move(device)) {
  grid_ = new QGridLayout(this);
  grid_->setContentsMargins(14, 12, 16, 12);
  grid_->setHorizontalSpacing(18);
  grid_->setVerticalSpacing(8);

  identity_ = new QWidget(this);
  auto* identityRow = new QHBoxLayout(identity_);
  identityRow->setContentsMargins(0, 0, 0, 0);
  identityRow->setSpacing(12);
  switchSpace_ = new QWidget(identity_);
  switchSpace_->setFixedWidth(40);
  auto* switchColumn = new QVBoxLayout(switchSpace_);
  switchColumn->setContentsMargins(0, 0, 0, 0);
  toggle_ = new ToggleSwitch(switchSpace_);
  switchColumn->addWidget(toggle_, 0, Qt::AlignCenter);
  connect(toggle_, &ToggleSwitch::clicked, this,
          [this](bool on) { model_.setEnabled(device_, on); });
  identityRow->addWidget(switchSpace_);
  icon_ = new DeviceIcon(identity_);
  identityRow->addWidget(icon_);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(3);
  name_ = titleLabel({}, 0, identity_);
  details_ = secondaryLabel({}, identity_, -1);
  meter_ = new LevelMeter(14, identity_);
  texts->addWidget(name_);
  texts->addWidget(details_);
  texts->addSpacing(2);
  texts->addWidget(meter_);
  identityRow->addLayout(texts, 1);

  controls_ = new QWidget(this);
  auto* controlsRow = new QHBoxLayout(controls_);
  controlsRow->setContentsMargins(0, 0, 0, 0);
  controlsRow->setSpacing(8);
  volumeIcon_ = new SymbolView("speaker.wave.1.fill", 14, controls_);
  volume_ = new PercentSlider(controls_);
  volume_->setFixedWidth(110);
  connect(volume_, &QSlider::valueChanged, this,
          [this](int value) { model_.setVolume(device_, value); });
  volumeText_ = secondaryLabel({}, controls_, -1);
  volumeText_->setFixedWidth(36);
  controlsRow->addWidget(volumeIcon_);
  controlsRow->addWidget(volume_);
  controlsRow->addWidget(volumeText_);
  controlsRow->addSpacing(12);
  controlsRow->addWidget(sectionCaption(QStringLiteral("DELAY"), controls_));
  delay_ = new DelayField(controls_);
  connect(delay_, &DelayField::changed, this,
          [this](std::int64_t ms) { model_.setOffset(device_, ms); });
  controlsRow->addWidget(delay_);

  problemRow_ = new QWidget(this);
  auto* problemLine = new QHBoxLayout(problemRow_);
  problemLine->setContentsMargins(52, 0, 0, 0);
  problemLine->setSpacing(6);
  problemIcon_ = new SymbolView("exclamationmark.triangle.fill", 12, problemRow_);
  problem_ = new QLabel(problemRow_);
  problem_->setWordWrap(true);
  QFont caption = problem_->font();
  caption.setPointSizeF(caption.pointSizeF() - 1);
  problem_->setFont(caption);
  problemLine->addWidget(problemIcon_);
  problemLine->addWidget(problem_, 1);

  arrange(true);
  refresh();
}

void DeviceCard::setDevice(AudioDeviceInfo device) {
  device_ = std::move(device);
  refresh();
}

void DeviceCard::arrange(bool singleRow) {
  singleRow_ = singleRow;
  grid_->removeWidget(identity_);
  grid_->removeWidget(controls_);
  grid_->removeWidget(problemRow_);
  grid_->addWidget(identity_, 0, 0);
  if (singleRow) {
    grid_->addWidget(controls_, 0, 1, Qt::AlignRight | Qt::AlignVCenter);
    grid_->addWidget(problemRow_, 1, 0, 1, 2);
  } else {
    grid_->addWidget(controls_, 1, 0, Qt::AlignLeft);
    grid_->addWidget(problemRow_, 2, 0);
  }
}

void DeviceCard::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const bool wide = width() >= kSingleRowWidth;
  if (wide != singleRow_) arrange(wide);
}

void DeviceCard::refresh() {
  const DeviceCardState state = deviceCardState(model_, device_);
  const QString name = qs(device_.name);

  toggle_->setVisible(state.showSwitch);
  {
    const QSignalBlocker quiet(toggle_);
    toggle_->setChecked(model_.deviceSettings(device_.uid).enabled);
  }
  toggle_->setAccessibleName(QStringLiteral("Play on ") + name);
  icon_->setDevice(device_.kind, state.active);
  name_->setText(name);
  details_->setText(qs(state.details));
  meter_->setLevel(state.meterLevel, !state.live);

  volumeIcon_->setSymbol(state.volumeSymbol);
  volume_->display(static_cast<int>(state.volume));
  volume_->setAccessibleName(name + QStringLiteral(" volume"));
  volumeText_->setText(QString::number(state.volume) + QStringLiteral("%"));
  delay_->setValue(state.offsetMs);
  delay_->setAccessibleLabel(name + QStringLiteral(" delay"));

  controls_->setEnabled(state.live);
  if (state.live) {
    controls_->setGraphicsEffect(nullptr);
  } else if (controls_->graphicsEffect() == nullptr) {
    auto* faded = new QGraphicsOpacityEffect(controls_);
    faded->setOpacity(0.45);
    controls_->setGraphicsEffect(faded);
  }

  problemRow_->setVisible(state.problem.has_value());
  if (state.problem) {
    problem_->setText(qs(*state.problem));
    setTextColour(*problem_, destructiveRed());
    problemIcon_->setSymbol("exclamationmark.triangle.fill", destructiveRed());
  }
}

void DeviceCard::paintEvent(QPaintEvent*) {
  const Scheme scheme = schemeOf(*this);
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF shape = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  painter.setPen(QPen(hairline(0.09, scheme), 1));
  painter.setBrush(cardBackground(scheme));
  painter.drawRoundedRect(shape, 12, 12);
}

Banners::Banners(AppModel& model, ModelBridge& bridge, QWidget* parent)
    : QWidget(parent), model_(model) {
  column_ = new QVBoxLayout(this);
  column_->setContentsMargins(0, 0, 0, 0);
  column_->setSpacing(10);
  connect(&bridge, &ModelBridge::changed, this, &Banners::refresh);
  refresh();
}

void Banners::refresh() {
  std::vector<BannerContent> next = chooseBanners(bannerFacts(model_));
  const bool same = next.size() == shown_.size() &&
                    std::equal(next.begin(), next.end(), shown_.begin(),
                               [](const BannerContent& a, const BannerContent& b) {
                                 return a.kind == b.kind && a.title == b.title &&
                                        a.message == b.message && a.actionTitle == b.actionTitle;
                               });
  if (same) return;
  for (Banner* widget : widgets_)
    widget->deleteLater();
  widgets_.clear();
  shown_ = std::move(next);
  for (const BannerContent& content : shown_) {
    auto* widget = new Banner(this);
    widget->setContent(content.symbol, qs(content.title), qs(content.message),
                       qs(content.actionTitle));
    connect(widget, &Banner::actionTriggered, this,
            [this, action = content.action] { act(action); });
    column_->addWidget(widget);
    widgets_.push_back(widget);
  }
  setVisible(!shown_.empty());
}

void Banners::act(BannerAction action) {
  switch (action) {
    case BannerAction::openPrivacySettings:
      QDesktopServices::openUrl(QUrl(qs(AppModel::privacySettingsURL())));
      break;
    case BannerAction::openSync:
      model_.setSection(AppSection::sync);
      break;
    case BannerAction::none:
      break;
  }
}

BroadcastBar::BroadcastBar(AppModel& model, ModelBridge& bridge, QWidget* parent)
    : QWidget(parent), model_(model) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(28, 12, 28, 14);
  row->setSpacing(10);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  selected_ = titleLabel({}, 0, this);
  auto* statusRow = new QHBoxLayout;
  statusRow->setSpacing(6);
  status_ = new QLabel(this);
  spinner_ = new Spinner(this);
  statusRow->addWidget(spinner_);
  statusRow->addWidget(status_, 1);
  texts->addWidget(selected_);
  texts->addLayout(statusRow);
  row->addLayout(texts, 1);
  button_ = new BrandButton(this);
  connect(button_, &QPushButton::clicked, this, &BroadcastBar::press);
  row->addWidget(button_);
  connect(&bridge, &ModelBridge::changed, this, &BroadcastBar::refresh);
  refresh();
}

void BroadcastBar::press() {
  if (!button_->isEnabled()) return;
  if (model_.isSharing()) {
    model_.stopSharing();
  } else {
    model_.startSharing();
  }
}

void BroadcastBar::refresh() {
  const Scheme scheme = schemeOf(*this);
  const int selected = static_cast<int>(model_.enabledDevices().size());
  const bool sharing = model_.isSharing();
  selected_->setText(qs(deviceCount(selected)) + QStringLiteral(" selected"));
  status_->setText(qs(model_.statusLine()));
  setTextColour(*status_, model_.statusIsWarning() ? warningOrange(scheme) : secondaryText(scheme));
  const EngineState& state = model_.engineState();
  spinner_->setVisible(state.is(EngineState::Kind::starting) ||
                       state.is(EngineState::Kind::rebuilding));
  const QString title =
      sharing ? QStringLiteral("Stop Broadcasting") : QStringLiteral("Start Broadcasting");
  if (button_->text() != title) {
    button_->setText(title);
    button_->setIcon(ui::icon(sharing ? "stop.fill" : "dot.radiowaves.left.and.right"));
    button_->updateGeometry();
  }
  button_->setDestructive(sharing);
  button_->setEnabled(broadcastButtonEnabled(sharing, selected));
}

void BroadcastBar::paintEvent(QPaintEvent*) {
  const Scheme scheme = schemeOf(*this);
  QPainter painter(this);
  painter.fillRect(rect(), cardBackground(scheme));
  painter.fillRect(QRect(0, 0, width(), 1), hairline(0.08, scheme));
}

DevicesPage::DevicesPage(AppModel& model, ModelBridge& bridge, QWidget* parent)
    : QWidget(parent), model_(model) {
  auto* page = new QVBoxLayout(this);
  page->setContentsMargins(0, 0, 0, 0);
  page->setSpacing(0);

  auto* header = new PageHeader(QStringLiteral("Output Devices"),
                                QStringLiteral("Select and configure your audio outputs"), this);
  chip_ = new Chip(header);
  syncTest_ = new SyncTestButton(model, bridge, header);
  header->trailing()->addWidget(chip_, 0, Qt::AlignVCenter);
  header->trailing()->addWidget(syncTest_, 0, Qt::AlignVCenter);
  auto* headerBox = new QVBoxLayout;
  headerBox->setContentsMargins(28, 24, 28, 14);
  headerBox->addWidget(header);
  page->addLayout(headerBox);

  auto* scroll = new QScrollArea(this);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  auto* content = new QWidget(scroll);
  auto* column = new QVBoxLayout(content);
  column->setContentsMargins(28, 4, 28, 18);
  column->setSpacing(10);
  banners_ = new Banners(model, bridge, content);
  column->addWidget(banners_);

  auto* hint = new Card(content);
  auto* hintRow = new QHBoxLayout(hint);
  hintRow->setContentsMargins(16, 14, 16, 14);
  hintRow->setSpacing(14);
  hintRow->addWidget(new SymbolView("hifispeaker.and.homepod", 26, hint));
  auto* hintTexts = new QVBoxLayout;
  hintTexts->setSpacing(3);
  hintTexts->addWidget(titleLabel(QStringLiteral("Connect another speaker"), 0, hint));
  QLabel* hintText =
      secondaryLabel(qs(PlatformTexts::shown(PlatformTexts::kEmptyDevicesMessage)), hint);
  hintText->setWordWrap(true);
  hintTexts->addWidget(hintText);
  hintRow->addLayout(hintTexts, 1);
  hint_ = hint;
  column->addWidget(hint_);

  cardColumn_ = new QVBoxLayout;
  cardColumn_->setSpacing(10);
  column->addLayout(cardColumn_);
  column->addStretch(1);
  scroll->setWidget(content);
  page->addWidget(scroll, 1);

  bar_ = new BroadcastBar(model, bridge, this);
  page->addWidget(bar_);

  connect(&bridge, &ModelBridge::changed, this, &DevicesPage::refresh);
  refresh();
}

void DevicesPage::rebuildCards() {
  for (DeviceCard* card : cards_)
    card->deleteLater();
  cards_.clear();
  cardUIDs_.clear();
  for (const AudioDeviceInfo& device : model_.devices()) {
    auto* card = new DeviceCard(model_, device, cardColumn_->parentWidget());
    cardColumn_->addWidget(card);
    cards_.push_back(card);
    cardUIDs_.push_back(device.uid);
  }
}

void DevicesPage::refresh() {
  const int bluetooth = model_.enabledBluetoothCount();
  chip_->setVisible(bluetooth >= 1);
  if (bluetooth >= 1) {
    chip_->setContent(QString::number(bluetooth) + QStringLiteral(" Bluetooth"), "wave.3.right",
                      brandAccent(schemeOf(*this)));
  }
  hint_->setVisible(showEmptyDevicesHint(model_));

  std::vector<std::string> uids;
  for (const AudioDeviceInfo& device : model_.devices())
    uids.push_back(device.uid);
  if (uids != cardUIDs_) {
    rebuildCards();
    return;
  }
  for (std::size_t i = 0; i < cards_.size(); ++i) {
    const AudioDeviceInfo& device = model_.devices()[i];
    if (!(cards_[i]->device() == device) || cards_[i]->device().kind != device.kind) {
      cards_[i]->setDevice(device);
    } else {
      cards_[i]->refresh();
    }
  }
}

void DevicesPage::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  // A delay field commits on Return itself and lets the key through.
  if (enter && qobject_cast<QLineEdit*>(focusWidget()) == nullptr) {
    bar_->press();
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace choralink::ui
