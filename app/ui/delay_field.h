// A delay in whole milliseconds: a text field with monospaced digits, "ms",
// and a stepper of 5 ms over 0…500. The field keeps its own edit text until
// Return or leaving it commits (see commitDelay); every accepted change is
// reported through changed(). Holds only the edit text and focus.
#pragma once

#include <QWidget>
#include <cstdint>

class QLineEdit;
class QToolButton;

namespace choralink::ui {

class DelayField : public QWidget {
  Q_OBJECT

 public:
  explicit DelayField(QWidget* parent = nullptr);

  // The value shown; a different value resets the edit text.
  void setValue(std::int64_t value);
  std::int64_t value() const { return value_; }
  // The label read by assistive technology, for the field and its stepper.
  void setAccessibleLabel(const QString& label);

  QLineEdit* editor() const { return edit_; }
  QToolButton* stepUp() const { return up_; }
  QToolButton* stepDown() const { return down_; }

 Q_SIGNALS:
  void changed(std::int64_t ms);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void commit();
  void step(int direction);

  std::int64_t value_ = 0;
  QLineEdit* edit_;
  QToolButton* up_;
  QToolButton* down_;
};

}  // namespace choralink::ui
