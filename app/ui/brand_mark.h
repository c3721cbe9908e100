// The application's logo at a given size: our artwork, loaded once for the
// process and shared; where it cannot be loaded, the "waveform" symbol in
// the brand gradient. Accessible as "Choralink".
#pragma once

#include <QLinearGradient>
#include <QWidget>

#include "app/ui/palette.h"

namespace choralink::ui {

// The brand gradient over `rect`: brandDeep, brandTeal, brandMint from the
// bottom-left to the top-right corner.
QLinearGradient brandGradient(const QRectF& rect, Scheme scheme = currentScheme());

class BrandMark : public QWidget {
  Q_OBJECT

 public:
  explicit BrandMark(int size, QWidget* parent = nullptr);

  // Whether the logo artwork loaded (false: the waveform is drawn).
  static bool logoLoaded();

  QSize sizeHint() const override { return {size_, size_}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int size_;
};

}  // namespace choralink::ui
