#include "app/ui/model_bridge.h"

#include <QMetaObject>

namespace choralink::ui {

ModelBridge::ModelBridge(AppModel& model, QObject* parent) : QObject(parent), model_(model) {
  qRegisterMetaType<choralink::ModelField>();
  observation_ = model_.observe([this](ModelField field) { notified(field); });
}

void ModelBridge::notified(ModelField field) {
  Q_EMIT fieldChanged(field);
  if (changedPending_) return;
  changedPending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        changedPending_ = false;
        Q_EMIT changed();
      },
      Qt::QueuedConnection);
}

}  // namespace choralink::ui
