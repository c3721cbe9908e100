#include "app/ui/settings/sync_pane.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/icons.h"
#include "app/ui/palette.h"
#include "app/ui/widgets.h"

namespace choralink::ui {

SyncPane::SyncPane(AppModel& model, ModelBridge& bridge, QWidget* parent)
    : QWidget(parent), model_(model) {
  auto* column = new QVBoxLayout(this);
  auto* section = new Card(this);
  auto* row = new QHBoxLayout(section);
  row->setContentsMargins(14, 10, 14, 10);
  reset_ = new QPushButton(QStringLiteral("Reset All Delays"), section);
  test_ = new QPushButton(icon("metronome"), QStringLiteral("Test Sync"), section);
  row->addWidget(reset_);
  row->addStretch(1);
  row->addWidget(test_);
  column->addWidget(section);
  auto* footer = new QLabel(QStringLiteral("Test Sync plays six clicks on every device at once. "
                                           "Adjust each device's delay until the clicks sound "
                                           "like one."),
                            this);
  footer->setWordWrap(true);
  QPalette quiet = footer->palette();
  quiet.setColor(QPalette::WindowText, secondaryText(schemeOf(*this)));
  footer->setPalette(quiet);
  column->addWidget(footer);
  column->addStretch(1);

  connect(reset_, &QPushButton::clicked, this, [this] { model_.resetDelays(); });
  connect(test_, &QPushButton::clicked, this, [this] { model_.router().playTestTone(); });
  connect(&bridge, &ModelBridge::changed, this, &SyncPane::refresh);
  refresh();
}

void SyncPane::refresh() {
  test_->setEnabled(model_.engineState().is(EngineState::Kind::running));
}

}  // namespace choralink::ui
