// The main window's sidebar: the brand and whether a broadcast runs, one
// item per section ("How to Use" opens the web guide instead of a page),
// the broadcast card and the appearance switch. Reads the model; each click
// is one model operation.
#pragma once

#include <QAbstractButton>
#include <QWidget>
#include <array>
#include <optional>
#include <utility>

#include "app/model/app_model.h"
#include "app/ui/model_bridge.h"
#include "app/ui/palette.h"

class QLabel;
class QToolButton;

namespace choralink::ui {

class SymbolView;

// The title and icon of each section's item.
struct SectionItem {
  AppSection section;
  std::string_view title;
  std::string_view symbol;
};
const std::array<SectionItem, 5>& sectionItems();

class SidebarItem : public QAbstractButton {
  Q_OBJECT

 public:
  SidebarItem(const SectionItem& item, QWidget* parent = nullptr);
  AppSection section() const { return section_; }
  void setSelected(bool selected);
  bool selected() const { return selected_; }
  QSize sizeHint() const override { return {200, 34}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  AppSection section_;
  std::string symbol_;
  bool external_;
  bool selected_ = false;
  bool hovered_ = false;
};

class SidebarStatusCard : public QWidget {
  Q_OBJECT

 public:
  explicit SidebarStatusCard(QWidget* parent = nullptr);
  void setContent(const QString& title, const QString& value, std::string_view symbol,
                  bool highlight, bool warning);
  QString value() const;
  bool highlighted() const { return highlight_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  SymbolView* icon_;
  QLabel* title_;
  QLabel* value_;
  bool highlight_ = false;
  bool warning_ = false;
  QString shownTag_;  // what the card shows, to skip refreshes that change nothing
};

class AppearanceSwitch : public QWidget {
  Q_OBJECT

 public:
  AppearanceSwitch(AppModel& model, ModelBridge& bridge, QWidget* parent = nullptr);
  QToolButton* button(AppearanceMode mode) const;

 private:
  void refresh();
  AppModel& model_;
  std::array<QToolButton*, 3> buttons_{};
  // The appearance and scheme drawn, to skip refreshes that change nothing.
  std::optional<std::pair<AppearanceMode, Scheme>> shown_;
};

class Sidebar : public QWidget {
  Q_OBJECT

 public:
  Sidebar(AppModel& model, ModelBridge& bridge, QWidget* parent = nullptr);

  SidebarItem* item(AppSection section) const;
  SidebarStatusCard* statusCard() const { return card_; }
  QLabel* stateText() const { return stateText_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void refresh();
  void activate(AppSection section);

  AppModel& model_;
  std::array<SidebarItem*, 5> items_{};
  QWidget* dot_ = nullptr;
  QLabel* stateText_ = nullptr;
  SidebarStatusCard* card_ = nullptr;
};

}  // namespace choralink::ui
