// Small building blocks every window of the application shares: cards, the
// on/off switch, chips, the brand's main button, page headers and scaffolds,
// banners. They draw in the brand palette and hold no model state.
#pragma once

#include <QAbstractButton>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <string>
#include <string_view>

class QBoxLayout;
class QHBoxLayout;
class QVBoxLayout;

namespace choralink::ui {

inline QString qs(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A label in the secondary text colour, optionally smaller.
QLabel* secondaryLabel(const QString& text, QWidget* parent = nullptr, qreal pointDelta = 0);
// A label in a bolder, larger font.
QLabel* titleLabel(const QString& text, qreal pointDelta, QWidget* parent = nullptr);

// A symbol of the icon table drawn in one colour: a given one, or the
// palette's secondary text colour (following appearance changes).
class SymbolView : public QWidget {
  Q_OBJECT

 public:
  SymbolView(std::string_view symbol, int size, QWidget* parent = nullptr);
  // An invalid colour means the secondary text colour.
  void setSymbol(std::string_view symbol, const QColor& color = {});
  const std::string& symbol() const { return symbol_; }
  QSize sizeHint() const override { return {size_, size_}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::string symbol_;
  int size_;
  QColor color_;
};

// A rounded card on the card background with a hairline border.
class Card : public QFrame {
  Q_OBJECT

 public:
  explicit Card(QWidget* parent = nullptr);
  // Draws the card selected (accent border) or not.
  void setSelected(bool selected);
  bool selected() const { return selected_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool selected_ = false;
};

// The on/off switch of device cards and settings rows.
class ToggleSwitch : public QAbstractButton {
  Q_OBJECT

 public:
  explicit ToggleSwitch(QWidget* parent = nullptr);
  QSize sizeHint() const override { return {40, 22}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A small rounded label with an optional symbol, in one colour.
class Chip : public QWidget {
  Q_OBJECT

 public:
  Chip(QWidget* parent = nullptr);
  void setContent(const QString& text, std::string_view symbol, const QColor& color);
  QString text() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  SymbolView* icon_;
  QLabel* text_;
  QColor color_;
};

// The main action's button: white semibold text on the brand gradient, or
// on red when destructive; 38 points high; faded while disabled.
class BrandButton : public QPushButton {
  Q_OBJECT

 public:
  explicit BrandButton(QWidget* parent = nullptr);
  void setDestructive(bool destructive);
  bool destructive() const { return destructive_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void updateShadow();
  bool destructive_ = false;
};

// A page's title and subtitle with room for controls on the right.
class PageHeader : public QWidget {
  Q_OBJECT

 public:
  PageHeader(const QString& title, const QString& subtitle, QWidget* parent = nullptr);
  // Controls added here line up at the header's right edge.
  QHBoxLayout* trailing() { return trailing_; }

 private:
  QHBoxLayout* trailing_;
};

// A page with a header above scrolling content.
class PageScaffold : public QWidget {
  Q_OBJECT

 public:
  PageScaffold(const QString& title, const QString& subtitle, QWidget* content,
               QWidget* parent = nullptr);
};

// A notice card with a symbol, a title, a message and an optional button.
class Banner : public Card {
  Q_OBJECT

 public:
  explicit Banner(QWidget* parent = nullptr);
  void setContent(std::string_view symbol, const QString& title, const QString& message,
                  const QString& actionTitle);
  QString title() const { return title_->text(); }
  QString message() const { return message_->text(); }
  QPushButton* actionButton() { return action_; }

 Q_SIGNALS:
  void actionTriggered();

 private:
  SymbolView* icon_;
  QLabel* title_;
  QLabel* message_;
  QPushButton* action_;
};

// A one-line text in the palette's link colour that opens something when
// clicked.
class LinkLabel : public QLabel {
  Q_OBJECT

 public:
  LinkLabel(const QString& text, QWidget* parent = nullptr);

 Q_SIGNALS:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};

// A one-pixel hairline rule across its width.
class HairlineRule : public QWidget {
  Q_OBJECT

 public:
  explicit HairlineRule(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A caption above a group of controls ("MODE", "DELAY").
QLabel* sectionCaption(const QString& text, QWidget* parent = nullptr);

}  // namespace choralink::ui
