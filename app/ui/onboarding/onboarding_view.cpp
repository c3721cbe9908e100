#include "app/ui/onboarding/onboarding_view.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "app/model/platform_texts.h"
#include "app/ui/brand_mark.h"
#include "app/ui/device_icon.h"
#include "app/ui/icons.h"
#include "app/ui/main_window.h"
#include "app/ui/palette.h"
#include "app/ui/widgets.h"

namespace choralink::ui {
namespace {

QLabel* heading(const QString& title, QWidget* parent) {
  auto* label = new QLabel(title, parent);
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() * 1.45);
  font.setBold(true);
  label->setFont(font);
  label->setAlignment(Qt::AlignCenter);
  return label;
}

QLabel* body(const QString& content, QWidget* parent) {
  auto* label = new QLabel(content, parent);
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignCenter);
  QPalette quiet = label->palette();
  quiet.setColor(QPalette::WindowText, secondaryText(schemeOf(*parent)));
  label->setPalette(quiet);
  return label;
}

constexpr int kSymbolSize = 44;

}  // namespace

PageDots::PageDots(int count, QWidget* parent) : QWidget(parent), count_(count) {
  setCurrent(0);
}

void PageDots::setCurrent(int current) {
  current_ = current;
  setAccessibleName(QStringLiteral("Step %1 of %2").arg(current + 1).arg(count_));
  update();
}

QSize PageDots::sizeHint() const {
  return {count_ * 14, 14};
}

void PageDots::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  const Scheme scheme = schemeOf(*this);
  for (int i = 0; i < count_; ++i) {
    painter.setBrush(i == current_ ? brandAccent(scheme) : hairline(0.2, scheme));
    painter.drawEllipse(QPointF(7 + 14 * i, height() / 2.0), 3.5, 3.5);
  }
}

OnboardingView::OnboardingView(AppModel& model, ModelBridge& bridge, QWidget* host)
    : QDialog(host), model_(model), flow_(model) {
  setObjectName(QStringLiteral("onboarding"));
  setWindowTitle(QStringLiteral("Welcome to Choralink"));
  setWindowModality(Qt::WindowModal);
  // A sheet has no close button of its own.
  setWindowFlag(Qt::WindowCloseButtonHint, false);
  setFixedWidth(kWidth);
  setMinimumHeight(400);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(28, 28, 28, 18);
  pages_ = new QStackedWidget(this);
  pages_->addWidget(buildWelcome());
  pages_->addWidget(buildCapture());
  pages_->addWidget(buildDevices());
  column->addWidget(pages_, 1);

  auto* footer = new QHBoxLayout;
  dots_ = new PageDots(OnboardingFlow::kStepCount, this);
  back_ = new QPushButton(QStringLiteral("Back"), this);
  skip_ = new QPushButton(QStringLiteral("Skip for Now"), this);
  primary_ = new QPushButton(this);
  primary_->setDefault(true);
  for (QPushButton* button : {back_, skip_})
    button->setAutoDefault(false);
  footer->addWidget(dots_);
  footer->addStretch(1);
  footer->addWidget(back_);
  footer->addWidget(skip_);
  footer->addWidget(primary_);
  column->addLayout(footer);

  connect(back_, &QPushButton::clicked, this, [this] { flow_.back(); });
  connect(skip_, &QPushButton::clicked, this, [this] { flow_.skip(); });
  // Finishing may end this sheet (the model closes onboarding): nothing of
  // the view is touched after the press.
  connect(primary_, &QPushButton::clicked, this, [this] { flow_.pressPrimary(); });
  flow_.setOnChange([this] { refresh(); });
  connect(&bridge, &ModelBridge::changed, this, &OnboardingView::refresh);
  refresh();
}

OnboardingView::~OnboardingView() = default;

QWidget* OnboardingView::buildWelcome() {
  auto* page = new QWidget(this);
  auto* column = new QVBoxLayout(page);
  column->addStretch(1);
  column->addWidget(new BrandMark(72, page), 0, Qt::AlignHCenter);
  column->addSpacing(12);
  column->addWidget(heading(QStringLiteral("Welcome to Choralink"), page));
  column->addWidget(body(qs(PlatformTexts::shown(PlatformTexts::kOnboardingWelcome)), page));
  column->addStretch(1);
  return page;
}

QWidget* OnboardingView::buildCapture() {
  auto* page = new QWidget(this);
  auto* column = new QVBoxLayout(page);
  column->addStretch(1);
  captureSymbol_ = new QLabel(page);
  captureSymbol_->setFixedSize(kSymbolSize, kSymbolSize);
  column->addWidget(captureSymbol_, 0, Qt::AlignHCenter);
  column->addSpacing(8);
  captureTitle_ = heading({}, page);
  column->addWidget(captureTitle_);
  captureText_ = body({}, page);
  column->addWidget(captureText_);
  openSettings_ =
      new QPushButton(qs(PlatformTexts::shown(PlatformTexts::kOpenPrivacySettings)), page);
  openSettings_->setAutoDefault(false);
  column->addWidget(openSettings_, 0, Qt::AlignHCenter);
  connect(openSettings_, &QPushButton::clicked, this,
          [] { QDesktopServices::openUrl(QUrl(qs(AppModel::privacySettingsURL()))); });

  listening_ = new QWidget(page);
  auto* listening = new QHBoxLayout(listening_);
  auto* spinner = new QProgressBar(listening_);
  spinner->setRange(0, 0);
  spinner->setFixedWidth(80);
  spinner->setTextVisible(false);
  listening->addStretch(1);
  listening->addWidget(spinner);
  listening->addWidget(new QLabel(qs(OnboardingFlow::kListeningText), listening_));
  listening->addStretch(1);
  column->addWidget(listening_);
  column->addStretch(1);
  return page;
}

QWidget* OnboardingView::buildDevices() {
  auto* page = new QWidget(this);
  auto* column = new QVBoxLayout(page);
  column->addWidget(heading(QStringLiteral("Pick your speakers"), page));
  column->addSpacing(8);
  auto* list = new QFrame(page);
  list->setFrameShape(QFrame::StyledPanel);
  deviceRows_ = new QVBoxLayout(list);
  deviceRows_->setSpacing(2);
  column->addWidget(list);
  column->addStretch(1);
  return page;
}

void OnboardingView::closeEvent(QCloseEvent* event) {
  // The model ends onboarding; until then the sheet stays.
  if (model_.showOnboarding()) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void OnboardingView::refresh() {
  const int step = static_cast<int>(flow_.step());
  pages_->setCurrentIndex(step);
  dots_->setCurrent(step);
  back_->setVisible(flow_.showsBack());
  skip_->setVisible(flow_.showsSkip());
  const OnboardingFlow::Button primary = flow_.primary();
  primary_->setText(qs(primary.title));
  primary_->setEnabled(primary.enabled);

  const Scheme scheme = schemeOf(*this);
  const bool heard = flow_.heard() == true;
  captureSymbol_->setPixmap(tintedSymbol(flow_.captureSymbol(), kSymbolSize,
                                         heard ? QColor(52, 168, 83) : brandAccent(scheme),
                                         devicePixelRatioF()));
  captureTitle_->setText(qs(flow_.captureTitle()));
  captureText_->setText(qs(flow_.captureText()));
  openSettings_->setVisible(flow_.showsOpenSettings());
  listening_->setVisible(flow_.checking());
  refreshDevices();
}

void OnboardingView::refreshDevices() {
  std::vector<std::string> uids;
  for (const AudioDeviceInfo& device : model_.devices())
    uids.push_back(device.uid);
  if (uids == deviceUIDs_) {
    for (ToggleSwitch* toggle : findChildren<ToggleSwitch*>(QStringLiteral("deviceSwitch"))) {
      const QSignalBlocker quiet(toggle);
      toggle->setChecked(
          model_.deviceSettings(toggle->property("uid").toString().toStdString()).enabled);
    }
    return;
  }
  deviceUIDs_ = uids;
  while (QLayoutItem* item = deviceRows_->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  for (const AudioDeviceInfo& device : model_.devices()) {
    const bool supported = device.supportStatus == SupportStatus::supported;
    auto* row = new QWidget(this);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(8, 4, 8, 4);
    auto* deviceIcon = new DeviceIcon(row);
    deviceIcon->setDevice(device.kind, false);
    line->addWidget(deviceIcon);
    auto* names = new QVBoxLayout;
    names->setSpacing(0);
    names->addWidget(new QLabel(qs(device.name), row));
    auto* detail =
        body(qs(supported ? label(device.transport) : "AirPlay isn't supported yet"), row);
    detail->setAlignment(Qt::AlignLeft);
    names->addWidget(detail);
    line->addLayout(names, 1);
    if (supported) {
      auto* toggle = new ToggleSwitch(row);
      toggle->setObjectName(QStringLiteral("deviceSwitch"));
      toggle->setProperty("uid", QString::fromStdString(device.uid));
      toggle->setAccessibleName(qs(device.name));
      toggle->setChecked(model_.deviceSettings(device.uid).enabled);
      connect(toggle, &ToggleSwitch::clicked, this,
              [this, device](bool on) { model_.setEnabled(device, on); });
      line->addWidget(toggle);
    } else {
      row->setEnabled(false);  // drawn faded
    }
    deviceRows_->addWidget(row);
  }
}

OnboardingController::OnboardingController(AppModel& model, ModelBridge& bridge, MainWindow& window)
    : model_(model), bridge_(bridge), window_(window) {
  connect(&bridge, &ModelBridge::changed, this, &OnboardingController::sync);
  sync();
}

OnboardingController::~OnboardingController() = default;

void OnboardingController::sync() {
  if (model_.showOnboarding() && !view_) {
    if (!window_.isVisible() && model_.openMainWindow()) model_.openMainWindow()();
    view_ = std::make_unique<OnboardingView>(model_, bridge_, window_.sheetHost());
    view_->open();
  } else if (!model_.showOnboarding() && view_) {
    // Taken away on the next turn: the press that finished onboarding may
    // still be running inside the sheet.
    OnboardingView* leaving = view_.release();
    leaving->hide();
    leaving->deleteLater();
  }
}

}  // namespace choralink::ui
