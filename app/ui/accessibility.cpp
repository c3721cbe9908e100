#include "app/ui/accessibility.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QSlider>

namespace choralink::ui {
namespace {

// Reads a PercentSlider's value as "N percent".
class PercentSliderAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit PercentSliderAccessible(QWidget* widget)
      : QAccessibleWidget(widget, QAccessible::Slider) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }
  QString text(QAccessible::Text kind) const override {
    if (kind == QAccessible::Value)
      return QString::number(slider()->value()) + QStringLiteral(" percent");
    return QAccessibleWidget::text(kind);
  }
  QVariant currentValue() const override { return slider()->value(); }
  void setCurrentValue(const QVariant& value) override { slider()->setValue(value.toInt()); }
  QVariant maximumValue() const override { return slider()->maximum(); }
  QVariant minimumValue() const override { return slider()->minimum(); }
  QVariant minimumStepSize() const override { return 1; }

 private:
  QSlider* slider() const { return static_cast<QSlider*>(widget()); }
};

// The card's icon and meter only decorate what its name and controls say;
// assistive technology skips them.
class DecorationAccessible : public QAccessibleWidget {
 public:
  explicit DecorationAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::NoRole) {}
  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.invisible = true;
    return state;
  }
};

QAccessibleInterface* cardAccessibleFactory(const QString& className, QObject* object) {
  if (!object->isWidgetType()) return nullptr;
  auto* widget = static_cast<QWidget*>(object);
  if (className == QLatin1String("choralink::ui::PercentSlider")) {
    return new PercentSliderAccessible(widget);
  }
  if (className == QLatin1String("choralink::ui::DeviceIcon") ||
      className == QLatin1String("choralink::ui::LevelMeter")) {
    return new DecorationAccessible(widget);
  }
  return nullptr;
}

}  // namespace

void installAccessibleInterfaces() {
  static const bool installed = [] {
    QAccessible::installFactory(cardAccessibleFactory);
    return true;
  }();
  (void)installed;
}

}  // namespace choralink::ui
