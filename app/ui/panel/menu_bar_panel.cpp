#include "app/ui/panel/menu_bar_panel.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include "app/ui/brand_mark.h"
#include "app/ui/device_icon.h"
#include "app/ui/icons.h"
#include "app/ui/palette.h"
#include "app/ui/panel/menu_item.h"
#include "app/ui/panel/panel_rules.h"
#include "app/ui/widgets.h"

namespace choralink::ui {
namespace {

QFrame* divider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Plain);
  line->setFixedHeight(1);
  QPalette p = line->palette();
  p.setColor(QPalette::WindowText, hairline(0.12, schemeOf(*parent)));
  line->setPalette(p);
  return line;
}

void setTextColor(QLabel& label, const QColor& color) {
  QPalette p = label.palette();
  p.setColor(QPalette::WindowText, color);
  label.setPalette(p);
}

QLabel* symbolLabel(std::string_view symbol, int size, const QColor& color, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setPixmap(tintedSymbol(symbol, size, color, parent->devicePixelRatioF()));
  label->setFixedSize(size, size);
  return label;
}

}  // namespace

// One device: the pressable row and, while the device plays, the volume row.
class MenuDeviceRow : public QWidget {
 public:
  MenuDeviceRow(AppModel& model, const AudioDeviceInfo& device, QWidget* parent)
      : QWidget(parent), model_(model), device_(device) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    button_ = new MenuItem(this);
    auto* row = new QHBoxLayout(button_);
    row->setContentsMargins(10, 3, 10, 3);
    icon_ = new DeviceIcon(button_);
    icon_->setFixedSize(29, 29);  // the card's icon at 0.85
    auto* names = new QVBoxLayout;
    names->setSpacing(0);
    name_ = new QLabel(qs(device.name), button_);
    detail_ = new QLabel(button_);
    QFont small = detail_->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    detail_->setFont(small);
    setTextColor(*detail_, secondaryText(schemeOf(*parent)));
    names->addWidget(name_);
    names->addWidget(detail_);
    check_ = symbolLabel("checkmark", 14, brandAccent(schemeOf(*parent)), button_);
    for (QWidget* child : std::initializer_list<QWidget*>{icon_, name_, detail_, check_}) {
      MenuItem::passMouseThrough(*child);
    }
    row->addWidget(icon_);
    row->addLayout(names, 1);
    row->addWidget(check_);
    column->addWidget(button_);
    QObject::connect(button_, &QAbstractButton::clicked, this, [this] {
      model_.setEnabled(device_, menuDeviceRow(model_, device_).pressTurnsOn);
    });

    volumeRow_ = new QWidget(this);
    auto* volume = new QHBoxLayout(volumeRow_);
    volume->setContentsMargins(46, 0, 12, 4);
    const QColor quiet = secondaryText(schemeOf(*parent));
    volume->addWidget(symbolLabel("speaker.fill", 12, quiet, volumeRow_));
    slider_ = new QSlider(Qt::Horizontal, volumeRow_);
    slider_->setRange(0, 100);
    slider_->setAccessibleName(qs(device.name + " volume"));
    volume->addWidget(slider_, 1);
    volume->addWidget(symbolLabel("speaker.wave.3.fill", 14, quiet, volumeRow_));
    column->addWidget(volumeRow_);
    QObject::connect(slider_, &QSlider::valueChanged, this,
                     [this](int value) { model_.setVolume(device_, value); });
  }

  void update(const AudioDeviceInfo& device) {
    device_ = device;
    const MenuDeviceRowState state = menuDeviceRow(model_, device_);
    name_->setText(qs(state.name));
    detail_->setText(qs(state.detail));
    detail_->setVisible(!state.detail.empty());
    check_->setVisible(state.checkmark);
    button_->setEnabled(state.pressable);
    button_->setAccessibleName(qs(state.accessibleName));
    icon_->setDevice(device_.kind, model_.activeUIDs().count(device_.uid) > 0);
    volumeRow_->setVisible(state.showsVolume);
    if (!slider_->isSliderDown()) {
      const QSignalBlocker quiet(slider_);
      slider_->setValue(state.volume);
    }
  }

 private:
  AppModel& model_;
  AudioDeviceInfo device_;
  MenuItem* button_ = nullptr;
  DeviceIcon* icon_ = nullptr;
  QLabel* name_ = nullptr;
  QLabel* detail_ = nullptr;
  QLabel* check_ = nullptr;
  QWidget* volumeRow_ = nullptr;
  QSlider* slider_ = nullptr;
};

MenuBarPanel::MenuBarPanel(AppModel& model, ModelBridge& bridge, QWidget* parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint), model_(model) {
  setObjectName(QStringLiteral("menuBarPanel"));
  setFixedWidth(kWidth);
  setAutoFillBackground(true);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(6, 10, 6, 6);
  column->setSpacing(6);

  auto* header = new QHBoxLayout;
  header->setContentsMargins(8, 0, 8, 0);
  header->addWidget(new BrandMark(28, this));
  auto* titles = new QVBoxLayout;
  titles->setSpacing(0);
  auto* title = new QLabel(QStringLiteral("Choralink"), this);
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);
  status_ = new QLabel(this);
  QFont small = status_->font();
  small.setPointSizeF(small.pointSizeF() * 0.9);
  status_->setFont(small);
  status_->setFixedWidth(kWidth - 130);  // one line, elided by the layout
  titles->addWidget(title);
  titles->addWidget(status_);
  header->addLayout(titles, 1);
  shareSwitch_ = new ToggleSwitch(this);
  shareSwitch_->setAccessibleName(QStringLiteral("Share audio"));
  header->addWidget(shareSwitch_);
  column->addLayout(header);
  connect(shareSwitch_, &ToggleSwitch::clicked, this, [this] {
    if (model_.isSharing()) {
      model_.stopSharing();
    } else {
      model_.startSharing();
    }
    refresh();  // a start that cannot happen leaves the switch off at once
  });

  column->addWidget(divider(this));
  rowsLayout_ = new QVBoxLayout;
  rowsLayout_->setSpacing(0);
  column->addLayout(rowsLayout_);
  column->addWidget(divider(this));
  commandsLayout_ = new QVBoxLayout;
  commandsLayout_->setSpacing(0);
  column->addLayout(commandsLayout_);

  addCommand(QStringLiteral("Open Choralink…"), QKeySequence(Qt::CTRL | Qt::Key_O), [this] {
    hide();
    if (model_.openMainWindow()) model_.openMainWindow()();
  });
  addCommand(QStringLiteral("Settings…"), QKeySequence(Qt::CTRL | Qt::Key_Comma), [this] {
    hide();
    Q_EMIT settingsRequested();
  });
  addCommand(QStringLiteral("Quit Choralink"), QKeySequence(Qt::CTRL | Qt::Key_Q), [this] {
    hide();
    Q_EMIT quitRequested();
  });

  connect(&bridge, &ModelBridge::changed, this, &MenuBarPanel::refresh);
  refresh();
}

MenuBarPanel::~MenuBarPanel() = default;

void MenuBarPanel::addCommand(const QString& title, const QKeySequence& key,
                              std::function<void()> action) {
  MenuItem* item = MenuItem::command(title, key.toString(QKeySequence::NativeText), this);
  commandsLayout_->addWidget(item);
  connect(item, &QAbstractButton::clicked, this, action);
  auto* shortcut = new QShortcut(key, this);
  connect(shortcut, &QShortcut::activated, this, action);
}

void MenuBarPanel::showAt(QRect iconGeometry) {
  adjustSize();
  const QPoint pointer = QCursor::pos();
  const QPoint probe = iconGeometry.isEmpty() ? pointer : iconGeometry.center();
  QScreen* screen = QGuiApplication::screenAt(probe);
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  const QRect available = screen ? screen->availableGeometry() : QRect(QPoint(0, 0), size());
  setGeometry(panelPlacement(iconGeometry, pointer, size(), available));
  show();
  raise();
  activateWindow();
}

void MenuBarPanel::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    hide();
    return;
  }
  QWidget::keyPressEvent(event);
}

void MenuBarPanel::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ActivationChange && isVisible() && !isActiveWindow()) hide();
  QWidget::changeEvent(event);
}

void MenuBarPanel::refresh() {
  status_->setText(qs(model_.statusLine()));
  setTextColor(*status_, model_.statusIsWarning() ? warningOrange(schemeOf(*this))
                                                  : secondaryText(schemeOf(*this)));
  shareSwitch_->setChecked(model_.isSharing());

  std::vector<std::string> uids;
  for (const AudioDeviceInfo& device : model_.devices())
    uids.push_back(device.uid);
  if (uids != rowUIDs_) rebuildRows();
  for (std::size_t i = 0; i < rows_.size(); ++i)
    rows_[i]->update(model_.devices()[i]);
  if (isVisible()) adjustSize();
}

void MenuBarPanel::rebuildRows() {
  for (MenuDeviceRow* row : rows_)
    delete row;
  rows_.clear();
  rowUIDs_.clear();
  for (const AudioDeviceInfo& device : model_.devices()) {
    auto* row = new MenuDeviceRow(model_, device, this);
    rowsLayout_->addWidget(row);
    rows_.push_back(row);
    rowUIDs_.push_back(device.uid);
  }
}

}  // namespace choralink::ui
