#include "app/ui/sidebar.h"

#include <QDesktopServices>
#include <QEnterEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/ui/brand_mark.h"
#include "app/ui/icons.h"
#include "app/ui/palette.h"
#include "app/ui/view_rules.h"
#include "app/ui/widgets.h"

namespace choralink::ui {
namespace {

constexpr std::array<SectionItem, 5> kItems{{
    {AppSection::devices, "Devices", "hifispeaker.2"},
    {AppSection::sync, "Sync", "metronome"},
    {AppSection::settings, "Settings", "gearshape"},
    {AppSection::howTo, "How to Use", "book"},
    {AppSection::about, "About", "info.circle"},
}};

struct AppearanceButton {
  AppearanceMode mode;
  std::string_view symbol;
  const char* help;
};
constexpr std::array<AppearanceButton, 3> kAppearances{{
    {AppearanceMode::system, "circle.lefthalf.filled", "System appearance"},
    {AppearanceMode::light, "sun.max", "Light appearance"},
    {AppearanceMode::dark, "moon", "Dark appearance"},
}};

// The dot of the header's status row.
class Dot : public QWidget {
 public:
  explicit Dot(QWidget* parent) : QWidget(parent) { setFixedSize(6, 6); }
  void setOn(bool on) {
    if (on_ == on && painted_) return;
    on_ = on;
    painted_ = true;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    QColor off = palette().color(QPalette::PlaceholderText);
    off.setAlphaF(0.5f);
    painter.setBrush(on_ ? brandMint(schemeOf(*this)) : off);
    painter.drawEllipse(rect());
  }

 private:
  bool on_ = false;
  bool painted_ = false;
};

}  // namespace

const std::array<SectionItem, 5>& sectionItems() {
  return kItems;
}

SidebarItem::SidebarItem(const SectionItem& item, QWidget* parent)
    : QAbstractButton(parent),
      section_(item.section),
      symbol_(item.symbol),
      external_(item.section == AppSection::howTo) {
  setText(qs(item.title));
  setAccessibleName(text());
  setCursor(Qt::PointingHandCursor);
  setFixedHeight(34);
  setFocusPolicy(Qt::TabFocus);
}

void SidebarItem::setSelected(bool selected) {
  if (selected_ == selected) return;
  selected_ = selected;
  update();
}

void SidebarItem::enterEvent(QEnterEvent* event) {
  hovered_ = true;
  update();
  QAbstractButton::enterEvent(event);
}

void SidebarItem::leaveEvent(QEvent* event) {
  hovered_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

void SidebarItem::paintEvent(QPaintEvent*) {
  const Scheme scheme = schemeOf(*this);
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  if (selected_ || hovered_) {
    QColor fill = selected_ ? brandAccent(scheme) : hairline(0.06, scheme);
    if (selected_) fill.setAlphaF(0.14f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0, 1, 0, -1), 8, 8);
  }
  const QColor glyph = selected_ ? brandAccent(scheme) : palette().color(QPalette::PlaceholderText);
  painter.drawPixmap(10, (height() - 16) / 2,
                     tintedSymbol(symbol_, 16, glyph, devicePixelRatioF()));
  QFont font = this->font();
  if (selected_) font.setWeight(QFont::DemiBold);
  painter.setFont(font);
  painter.setPen(selected_ ? brandAccent(scheme) : palette().color(QPalette::WindowText));
  painter.drawText(QRect(36, 0, width() - 60, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
  if (external_) {
    painter.drawPixmap(
        width() - 22, (height() - 11) / 2,
        tintedSymbol("arrow.up.right", 11, palette().color(QPalette::PlaceholderText),
                     devicePixelRatioF()));
  }
}

SidebarStatusCard::SidebarStatusCard(QWidget* parent) : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(12, 10, 12, 10);
  row->setSpacing(10);
  icon_ = new SymbolView({}, 18, this);
  row->addWidget(icon_);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(1);
  title_ = secondaryLabel({}, this, -1);
  value_ = titleLabel({}, 0, this);
  texts->addWidget(title_);
  texts->addWidget(value_);
  row->addLayout(texts, 1);
}

void SidebarStatusCard::setContent(const QString& title, const QString& value,
                                   std::string_view symbol, bool highlight, bool warning) {
  const Scheme scheme = schemeOf(*this);
  const QString tag = value + QString::number(int(highlight)) + QString::number(int(warning)) +
                      QString::number(int(scheme));
  if (title == title_->text() && tag == shownTag_) return;
  shownTag_ = tag;
  highlight_ = highlight;
  warning_ = warning;
  title_->setText(title);
  value_->setText(value);
  QColor tone = warning ? warningOrange(scheme) : highlight ? brandAccent(scheme) : QColor();
  icon_->setSymbol(symbol, tone);
  QPalette palette = value_->palette();
  palette.setColor(QPalette::WindowText,
                   tone.isValid() ? tone : this->palette().color(QPalette::WindowText));
  value_->setPalette(palette);
  setAccessibleName(title + QStringLiteral(", ") + value);
  update();
}

QString SidebarStatusCard::value() const {
  return value_->text();
}

void SidebarStatusCard::paintEvent(QPaintEvent*) {
  const Scheme scheme = schemeOf(*this);
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QColor fill = cardBackground(scheme);
  if (highlight_ || warning_) {
    fill = warning_ ? warningOrange(scheme) : brandTeal(scheme);
    fill.setAlphaF(0.12f);
  }
  painter.setPen(QPen(hairline(0.08, scheme), 1));
  painter.setBrush(fill);
  painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
}

AppearanceSwitch::AppearanceSwitch(AppModel& model, ModelBridge& bridge, QWidget* parent)
    : QWidget(parent), model_(model) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(4);
  for (std::size_t i = 0; i < kAppearances.size(); ++i) {
    auto* button = new QToolButton(this);
    const AppearanceButton& entry = kAppearances[i];
    button->setToolTip(QString::fromLatin1(entry.help));
    button->setAccessibleName(QString::fromLatin1(entry.help));
    button->setCheckable(true);
    button->setAutoRaise(true);
    button->setFixedSize(30, 26);
    button->setIconSize({15, 15});
    connect(button, &QToolButton::clicked, this, [this, mode = entry.mode] {
      if (model_.settings().appearance != mode) model_.setAppearance(mode);
      // A click on the current mode unchecked its button; draw it again.
      shown_.reset();
      refresh();
    });
    row->addWidget(button);
    buttons_[i] = button;
  }
  row->addStretch(1);
  connect(&bridge, &ModelBridge::changed, this, &AppearanceSwitch::refresh);
  refresh();
}

QToolButton* AppearanceSwitch::button(AppearanceMode mode) const {
  return buttons_[static_cast<std::size_t>(mode)];
}

void AppearanceSwitch::refresh() {
  const Scheme scheme = schemeOf(*this);
  const auto shown = std::pair{model_.settings().appearance, scheme};
  if (shown_ == shown) return;
  shown_ = shown;
  for (std::size_t i = 0; i < kAppearances.size(); ++i) {
    const bool current = model_.settings().appearance == kAppearances[i].mode;
    QToolButton* button = buttons_[i];
    button->setChecked(current);
    const QColor glyph = current ? brandAccent(scheme) : secondaryText(scheme);
    button->setIcon(QIcon(tintedSymbol(kAppearances[i].symbol, 15, glyph, devicePixelRatioF())));
    button->setStyleSheet(
        current
            ? QStringLiteral("QToolButton { background: %1; border: 1px solid "
                             "%2; border-radius: 6px; }")
                  .arg(cardBackground(scheme).name(), hairline(0.12, scheme).name(QColor::HexArgb))
            : QStringLiteral("QToolButton { border: none; }"));
  }
}

Sidebar::Sidebar(AppModel& model, ModelBridge& bridge, QWidget* parent)
    : QWidget(parent), model_(model) {
  setFixedWidth(220);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(14, 18, 14, 14);
  column->setSpacing(2);

  auto* header = new QHBoxLayout;
  header->setSpacing(10);
  header->addWidget(new BrandMark(30, this));
  auto* headerTexts = new QVBoxLayout;
  headerTexts->setSpacing(1);
  headerTexts->addWidget(titleLabel(QStringLiteral("Choralink"), 2, this));
  auto* status = new QHBoxLayout;
  status->setSpacing(6);
  dot_ = new Dot(this);
  stateText_ = secondaryLabel({}, this, -1);
  status->addWidget(dot_);
  status->addWidget(stateText_);
  status->addStretch(1);
  headerTexts->addLayout(status);
  header->addLayout(headerTexts, 1);
  column->addLayout(header);
  column->addSpacing(18);

  for (std::size_t i = 0; i < kItems.size(); ++i) {
    auto* item = new SidebarItem(kItems[i], this);
    connect(item, &SidebarItem::clicked, this,
            [this, section = kItems[i].section] { activate(section); });
    column->addWidget(item);
    items_[i] = item;
  }
  column->addStretch(1);
  card_ = new SidebarStatusCard(this);
  column->addWidget(card_);
  column->addSpacing(10);
  column->addWidget(new AppearanceSwitch(model, bridge, this));

  connect(&bridge, &ModelBridge::changed, this, &Sidebar::refresh);
  refresh();
}

SidebarItem* Sidebar::item(AppSection section) const {
  for (SidebarItem* item : items_) {
    if (item->section() == section) return item;
  }
  return nullptr;
}

void Sidebar::activate(AppSection section) {
  if (section == AppSection::howTo) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(howToUseURL())));
    return;
  }
  if (model_.section() != section) model_.setSection(section);
}

void Sidebar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const Scheme scheme = schemeOf(*this);
  painter.fillRect(rect(),
                   scheme == Scheme::dark ? QColor(0x24, 0x26, 0x2b) : QColor(0xe9, 0xeb, 0xef));
  painter.fillRect(QRect(width() - 1, 0, 1, height()), hairline(0.08, scheme));
}

void Sidebar::refresh() {
  const bool sharing = model_.isSharing();
  static_cast<Dot*>(dot_)->setOn(sharing);
  stateText_->setText(sharing ? QStringLiteral("Broadcasting") : QStringLiteral("Idle"));
  for (SidebarItem* item : items_)
    item->setSelected(item->section() == model_.section());
  card_->setContent(QStringLiteral("Broadcast"), qs(broadcastValue(sharing, model_.sharingCount())),
                    "dot.radiowaves.left.and.right", sharing, false);
}

}  // namespace choralink::ui
